#include "iebitmap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "iecore.h"
#include "ieconvert.h"
#include "ieglobal.h"
#include "ietempfile.h"

namespace {

constexpr int kBitsPerPixel[] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24, 32};
constexpr int kChannelsPerPixel[] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3, 4};
constexpr int kFormatCount = sizeof(kBitsPerPixel) / sizeof(kBitsPerPixel[0]);

// Blocks come with this much slack so that the row base can be moved up to
// the next 64-byte boundary.
constexpr int64_t kBlockSlack = 128;
// Segments below this size are not worth more than four of them.
constexpr int64_t kMinSegmentBytes = 10485760;
constexpr int64_t kAssignChunk = 1 << 20;

bool BlockAllowed(int64_t size) {
  int64_t limit = IEGlobalSettings().MaxMemoryBlock;
  return limit < 0 || size <= limit;
}

void* ZeroedBlock(int64_t size) {
  if (size <= 0 || !BlockAllowed(size)) return nullptr;
  if (static_cast<uint64_t>(size) > SIZE_MAX) return nullptr;
  void* block = std::calloc(static_cast<size_t>(size), 1);
  // A large picture's first touch costs one fault per 4 KB page, which on a
  // virtual machine is slower than decoding it; huge pages cut that 500-fold.
  constexpr uintptr_t kHuge = uintptr_t(2) << 20;
  if (block && size >= int64_t(4 * kHuge)) {
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + static_cast<uintptr_t>(size)) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return block;
}

// Reads exactly count bytes at offset; bytes past the end of the file read as 0.
void PReadAll(int fd, uint8_t* buffer, int64_t count, int64_t offset) {
  while (count > 0) {
    ssize_t n = ::pread(fd, buffer, static_cast<size_t>(count), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EIEException(std::string("Unable to read the image's temporary file: ") +
                         std::strerror(errno));
    }
    if (n == 0) {
      std::memset(buffer, 0, static_cast<size_t>(count));
      return;
    }
    buffer += n;
    count -= n;
    offset += n;
  }
}

void PWriteAll(int fd, const uint8_t* buffer, int64_t count, int64_t offset) {
  while (count > 0) {
    ssize_t n = ::pwrite(fd, buffer, static_cast<size_t>(count), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EIEException(std::string("Unable to write the image's temporary file: ") +
                         std::strerror(errno));
    }
    buffer += n;
    count -= n;
    offset += n;
  }
}

// Gives the file its full size with real disk space behind it where the file
// system can, so that a full disk shows now rather than at a later row write.
bool SizeFile(int fd, int64_t size) {
  if (::ftruncate(fd, 0) != 0) return false;
  int r = ::posix_fallocate(fd, 0, size);
  if (r == 0) return true;
  if (r == EOPNOTSUPP || r == EINVAL) return ::ftruncate(fd, size) == 0;
  return false;
}

// Copies count bits from src starting at bit srcBit to dst starting at dstBit
// (bit 0 = most significant bit of the first byte).
void CopyBits(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    int64_t s = srcBit + i, d = dstBit + i;
    uint8_t bit = (src[s >> 3] >> (7 - (s & 7))) & 1;
    uint8_t mask = static_cast<uint8_t>(0x80 >> (d & 7));
    if (bit)
      dst[d >> 3] |= mask;
    else
      dst[d >> 3] &= static_cast<uint8_t>(~mask);
  }
}

// Copies pixels [srcX, srcX + count) of a row into [dstX, ...) of another row.
void CopyPixels(const uint8_t* src, int srcX, uint8_t* dst, int dstX, int count, int bitCount) {
  if (count <= 0) return;
  if (bitCount == 1) {
    if ((srcX & 7) == 0 && (dstX & 7) == 0 && (count & 7) == 0) {
      std::memcpy(dst + dstX / 8, src + srcX / 8, static_cast<size_t>(count / 8));
      return;
    }
    CopyBits(src, srcX, dst, dstX, count);
    return;
  }
  int64_t bpp = bitCount / 8;
  std::memcpy(dst + dstX * bpp, src + srcX * bpp, static_cast<size_t>(count * bpp));
}

int64_t InitialMemoryThreshold() {
  int64_t override = IEGlobalSettings().MemoryThresholdOverride;
  if (override >= 0) return override;
  int64_t physical = IEPhysicalMemory();
  if (physical <= 0) return 33554432;
  return static_cast<int64_t>(static_cast<double>(physical) / 1.1);
}

// Saves and restores a bitmap's Access around a copy.
class TAccessScope {
public:
  TAccessScope(TIEBitmap& bitmap, uint8_t access) : fBitmap(bitmap), fSaved(bitmap.Access()) {
    fBitmap.SetAccess(access);
  }
  // Callers flush written rows themselves so that a write error is raised
  // there; a failure here can only repeat one.
  ~TAccessScope() {
    try {
      fBitmap.SetAccess(fSaved);
    } catch (const EIEException&) {
    }
  }
  TAccessScope(const TAccessScope&) = delete;
  TAccessScope& operator=(const TAccessScope&) = delete;

private:
  TIEBitmap& fBitmap;
  uint8_t fSaved;
};

}  // namespace

int IEBitsPerPixel(TIEPixelFormat format) {
  return format < kFormatCount ? kBitsPerPixel[format] : 0;
}

int IEChannelsPerPixel(TIEPixelFormat format) {
  return format < kFormatCount ? kChannelsPerPixel[format] : 0;
}

int64_t IERowLen(int64_t width, int bitCount, int rowAlign) {
  if (width < 0 || bitCount < 0 || rowAlign <= 0 || rowAlign % 8 != 0) return -1;
  int64_t bits = 0;
  if (!IECheckedMul(width, bitCount, bits)) return -1;
  if (!IECheckedAdd(bits, rowAlign - 1, bits)) return -1;
  return (bits / rowAlign) * (rowAlign / 8);
}

// File storage -----------------------------------------------------------------

struct TIEBitmap::TFileStore {
  struct THeld {
    std::unique_ptr<uint8_t[]> buffer;
    int row;
  };

  int fd = -1;
  int64_t rowLen = 0;
  int64_t size = 0;
  std::unique_ptr<uint8_t[]> mapped;
  int mappedRow = -1;
  std::vector<THeld> held;

  ~TFileStore() {
    if (fd >= 0) ::close(fd);
  }

  void Load(int row, uint8_t* buffer, uint8_t access) const {
    if (access & ieaRead)
      PReadAll(fd, buffer, rowLen, static_cast<int64_t>(row) * rowLen);
    else
      std::memset(buffer, 0, static_cast<size_t>(rowLen));
  }
  void Store(int row, const uint8_t* buffer) const {
    PWriteAll(fd, buffer, rowLen, static_cast<int64_t>(row) * rowLen);
  }
  void ReleaseMapped(uint8_t access) {
    if (mappedRow >= 0 && (access & ieaWrite)) Store(mappedRow, mapped.get());
    mappedRow = -1;
  }
  uint8_t* Map(int row, uint8_t access) {
    if (row == mappedRow) return mapped.get();
    ReleaseMapped(access);
    if (!mapped) mapped = std::make_unique<uint8_t[]>(static_cast<size_t>(rowLen));
    Load(row, mapped.get(), access);
    mappedRow = row;
    return mapped.get();
  }
};

// Construction -------------------------------------------------------------------

TIEBitmap::TIEBitmap() : fMemoryThreshold(InitialMemoryThreshold()) {}

TIEBitmap::TIEBitmap(int width, int height, TIEPixelFormat format) : TIEBitmap() {
  Allocate(width, height, format);
}

TIEBitmap::TIEBitmap(TIEBitmap& source, int x, int y, int width, int height) : TIEBitmap() {
  int x0 = std::max(x, 0), y0 = std::max(y, 0);
  int64_t x1 = std::min<int64_t>(int64_t(x) + width, source.Width());
  int64_t y1 = std::min<int64_t>(int64_t(y) + height, source.Height());
  fPixelFormat = source.PixelFormat();
  if (x1 <= x0 || y1 <= y0) return;
  int w = static_cast<int>(x1 - x0), h = static_cast<int>(y1 - y0);
  fRowAlign = source.RowAlign();
  if (!Allocate(w, h, source.PixelFormat()))
    throw EIEException("Not enough memory for the image copy");
  {
    TAccessScope readOnly(source, ieaRead);
    TAccessScope writeOnly(*this, ieaWrite);
    for (int r = 0; r < h; ++r)
      CopyPixels(source.Scanline(y0 + r), x0, Scanline(r), 0, w, fBitCount);
  }
  fColorMap = source.ColorMap();
  fPaletteUsed = source.PaletteUsed();
  fMonoConversion = source.MonoConversion();
  fDisplayRange = source.DisplayRange();
  fInputICC = source.InputICCProfile();
  fOutputICC = source.OutputICCProfile();
  if (TIEBitmap* alpha = source.AlphaChannelOrNull()) {
    auto part = std::make_unique<TIEBitmap>(*alpha, x0, y0, w, h);
    part->fIsAlphaChannel = true;
    part->fOwner = this;
    fAlpha = std::move(part);
  }
}

TIEBitmap::~TIEBitmap() { ReleaseStorage(); }

// Storage ------------------------------------------------------------------------

void TIEBitmap::ReleaseStorage() {
  std::free(fBlock);
  fBlock = nullptr;
  fRowBase = nullptr;
  for (uint8_t* segment : fSegments) std::free(segment);
  fSegments.clear();
  fRowsPerSegment = 0;
  fFile.reset();  // closing the descriptor deletes the already unlinked file
}

bool TIEBitmap::AllocateMemory(int64_t size) {
  int64_t total = 0;
  if (!IECheckedAdd(size, kBlockSlack, total)) return false;
  void* block = ZeroedBlock(total);
  if (!block) return false;
  fBlock = block;
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  fRowBase = reinterpret_cast<uint8_t*>((address + 63) & ~uintptr_t(63));
  fLocation = ieMemory;
  return true;
}

bool TIEBitmap::AllocateSegments() {
  if (!IEGlobalSettings().AllowSegmentedAllocation) return false;
  for (int64_t n = 4; n < fHeight; n *= 2) {
    int64_t rows = (fHeight + n - 1) / n;
    int64_t segmentBytes = rows * fRowLen;
    if (n > 4 && segmentBytes < kMinSegmentBytes) break;
    int64_t count = (fHeight + rows - 1) / rows;
    std::vector<uint8_t*> segments;
    bool ok = true;
    for (int64_t i = 0; i < count && ok; ++i) {
      int64_t rowsHere = std::min<int64_t>(rows, fHeight - i * rows);
      void* segment = ZeroedBlock(rowsHere * fRowLen);
      if (segment)
        segments.push_back(static_cast<uint8_t*>(segment));
      else
        ok = false;
    }
    if (ok) {
      fSegments = std::move(segments);
      fRowsPerSegment = static_cast<int32_t>(rows);
      fLocation = ieMemory;
      return true;
    }
    for (uint8_t* segment : segments) std::free(segment);
  }
  return false;
}

bool TIEBitmap::AllocateFile(int64_t size) {
  int fd = -1;
  try {
    fd = IECreateTempFile(IEGlobalSettings().TempFolder, "IMG");
  } catch (const EIEException&) {
    return false;
  }
  if (!SizeFile(fd, size)) {
    ::close(fd);
    return false;
  }
  fFile = std::make_unique<TFileStore>();
  fFile->fd = fd;
  fFile->rowLen = fRowLen;
  fFile->size = size;
  fLocation = ieFile;
  return true;
}

bool TIEBitmap::Allocate(int width, int height, TIEPixelFormat format) {
  if (!fNeedsAllocation && width == fWidth && height == fHeight && format == fPixelFormat &&
      fWidth > 0) {
    // Same geometry: keep the storage but never hand back the old picture.
    int64_t size = fRowLen * fHeight;
    if (fRowBase) {
      std::memset(fRowBase, 0, static_cast<size_t>(size));
    } else if (!fSegments.empty()) {
      for (size_t i = 0; i < fSegments.size(); ++i) {
        int64_t rows = std::min<int64_t>(fRowsPerSegment, fHeight - int64_t(i) * fRowsPerSegment);
        std::memset(fSegments[i], 0, static_cast<size_t>(rows * fRowLen));
      }
    } else if (fFile) {
      fFile->mappedRow = -1;
      fFile->held.clear();
      if (!SizeFile(fFile->fd, size))
        throw EIEException("Unable to clear the image's temporary file");
    }
    fFull = false;
    return true;
  }

  ReleaseStorage();
  fAlpha.reset();
  fColorMap.clear();
  fFull = false;
  fNeedsAllocation = true;
  fWidth = width;
  fHeight = height;
  fPixelFormat = format;
  fBitCount = IEBitsPerPixel(format);
  fChannelCount = IEChannelsPerPixel(format);
  fRowLen = 0;

  auto fail = [this] {
    fWidth = fHeight = 0;
    fRowLen = 0;
    return false;
  };
  if (width <= 0 || height <= 0 || fBitCount == 0) return fail();
  if (!IEImageSizeOk(width, height, fBitCount)) return fail();
  int64_t rowLen = IERowLen(width, fBitCount, fRowAlign);
  int64_t size = 0;
  if (rowLen <= 0 || !IECheckedMul(rowLen, height, size) || size > IELimits::kMaxImageBytes)
    return fail();
  fRowLen = rowLen;
  if (format == ie8p) fColorMap.assign(256, TRGB{});

  const TIEGlobalSettings& settings = IEGlobalSettings();
  bool triedFile = false;
  bool ok = false;
  if (size > fMemoryThreshold) {
    triedFile = true;
    ok = AllocateFile(size);
  }
  if (!ok) ok = AllocateMemory(size) || AllocateSegments();
  if (!ok && !triedFile && settings.TempFileFallback) ok = AllocateFile(size);
  if (!ok) {
    fColorMap.clear();
    return fail();
  }
  fNeedsAllocation = false;
  return true;
}

bool TIEBitmap::AllocateFilled(int width, int height, uint32_t color, uint8_t alpha) {
  if (!Allocate(width, height, ie24RGB)) return false;
  Fill(color);
  if (alpha < 255) {
    TIEBitmap* channel = AlphaChannel();
    channel->Fill(alpha);
    channel->SetFull(false);
  }
  return true;
}

void TIEBitmap::FreeImage() {
  ReleaseStorage();
  fAlpha.reset();
  fColorMap.clear();
  fWidth = fHeight = 0;
  fRowLen = 0;
  fFull = false;
  fNeedsAllocation = true;
}

void TIEBitmap::SetLocation(TIELocation location) {
  if (location == ieTBitmap) return;  // platform bitmaps are not supported here
  if (location != fLocation) fNeedsAllocation = true;
  fLocation = location;
}

void TIEBitmap::SetRowAlign(int bits) {
  if (bits <= 0 || bits % 8 != 0 || bits == fRowAlign) return;
  fRowAlign = bits;
  fNeedsAllocation = true;
}

void TIEBitmap::MoveStorageTo(TIEBitmap& other) {
  other.ReleaseStorage();
  other.fBlock = fBlock;
  other.fRowBase = fRowBase;
  other.fSegments = std::move(fSegments);
  other.fRowsPerSegment = fRowsPerSegment;
  other.fFile = std::move(fFile);
  other.fWidth = fWidth;
  other.fHeight = fHeight;
  other.fBitCount = fBitCount;
  other.fChannelCount = fChannelCount;
  other.fRowLen = fRowLen;
  other.fPixelFormat = fPixelFormat;
  other.fLocation = fLocation;
  other.fRowAlign = fRowAlign;
  other.fRowOrderReversed = fRowOrderReversed;
  other.fFull = fFull;
  other.fColorMap = std::move(fColorMap);
  other.fPaletteUsed = fPaletteUsed;
  other.fAlpha = std::move(fAlpha);
  if (other.fAlpha) other.fAlpha->fOwner = &other;
  other.fMonoConversion = fMonoConversion;
  other.fDisplayRange = fDisplayRange;
  other.fNeedsAllocation = false;
  fBlock = nullptr;
  fRowBase = nullptr;
  fSegments.clear();
  fRowsPerSegment = 0;
  fFile.reset();
  fColorMap.clear();
  fWidth = fHeight = 0;
  fRowLen = 0;
  fFull = false;
  fNeedsAllocation = true;
}

// Rows ---------------------------------------------------------------------------

uint8_t* TIEBitmap::MemoryRow(int row) const {
  if (fRowBase) return fRowBase + static_cast<int64_t>(fHeight - 1 - row) * fRowLen;
  if (!fSegments.empty())
    return fSegments[row / fRowsPerSegment] + static_cast<int64_t>(row % fRowsPerSegment) * fRowLen;
  return nullptr;
}

uint8_t* TIEBitmap::Scanline(int row) {
  if (row < 0 || row >= fHeight) return nullptr;
  if (fRowOrderReversed) row = fHeight - 1 - row;
  if (fFile) return fFile->Map(row, fAccess);
  return MemoryRow(row);
}

uint8_t* TIEBitmap::GetRow(int row) {
  if (!fFile) return Scanline(row);
  if (row < 0 || row >= fHeight) return nullptr;
  if (fRowOrderReversed) row = fHeight - 1 - row;
  auto buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(fRowLen));
  if (row == fFile->mappedRow)
    std::memcpy(buffer.get(), fFile->mapped.get(), static_cast<size_t>(fRowLen));
  else
    fFile->Load(row, buffer.get(), fAccess);
  uint8_t* result = buffer.get();
  fFile->held.push_back({std::move(buffer), row});
  return result;
}

void TIEBitmap::FreeRow(uint8_t* row) {
  if (!fFile || !row) return;
  auto& held = fFile->held;
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (it->buffer.get() != row) continue;
    if (fAccess & ieaWrite) {
      fFile->Store(it->row, row);
      // Keep the row mapped by Scanline in step with what was just written.
      if (it->row == fFile->mappedRow)
        std::memcpy(fFile->mapped.get(), row, static_cast<size_t>(fRowLen));
    }
    held.erase(it);
    return;
  }
}

uint8_t* TIEBitmap::PixelAddress(int row, int col) {
  uint8_t* line = Scanline(row);
  if (!line || col < 0 || col >= fWidth) return nullptr;
  return line + static_cast<int64_t>(col) * (fBitCount / 8);
}

void TIEBitmap::SetAccess(uint8_t access) {
  if (fFile && access != fAccess) {
    // Rows mapped under the old access are written back under it.
    fFile->ReleaseMapped(fAccess);
  }
  fAccess = access;
}

void TIEBitmap::FlushRows() {
  if (!fFile || !(fAccess & ieaWrite)) return;
  if (fFile->mappedRow >= 0) fFile->Store(fFile->mappedRow, fFile->mapped.get());
  for (const auto& h : fFile->held) fFile->Store(h.row, h.buffer.get());
}

// Palette ------------------------------------------------------------------------

TRGB TIEBitmap::PaletteEntry(int index) const {
  if (index < 0 || index >= PaletteLength()) return TRGB{};
  return fColorMap[static_cast<size_t>(index)];
}

void TIEBitmap::SetPaletteEntry(int index, TRGB color) {
  if (index < 0 || index >= PaletteLength()) return;
  fColorMap[static_cast<size_t>(index)] = color;
}

void TIEBitmap::CopyPaletteTo(TIEBitmap& target) const {
  target.fColorMap = fColorMap;
  target.fPaletteUsed = fPaletteUsed;
}

// Pixel format -------------------------------------------------------------------

void TIEBitmap::SetPixelFormat(TIEPixelFormat format) {
  if (format == fPixelFormat) return;
  if (IsEmpty() || (!fRowBase && fSegments.empty() && !fFile)) {
    fPixelFormat = format;
    fBitCount = IEBitsPerPixel(format);
    fChannelCount = IEChannelsPerPixel(format);
    fNeedsAllocation = true;
    return;
  }
  FlushRows();
  TIEBitmap old;
  MoveStorageTo(old);
  std::unique_ptr<TIEBitmap> alpha = std::move(old.fAlpha);
  int width = old.fWidth, height = old.fHeight;
  fRowAlign = old.fRowAlign;
  fRowOrderReversed = 0;
  if (!Allocate(width, height, format)) {
    old.MoveStorageTo(*this);
    fAlpha = std::move(alpha);
    throw EIEException("Not enough memory to convert the image");
  }
  // The palette a conversion to ie8p builds is limited by PaletteUsed.
  fPaletteUsed = old.fPaletteUsed;
  if (format == ie8p && fPaletteUsed <= 0) fPaletteUsed = 256;
  IECopyAndConvertFormat(old, *this);
  FlushRows();
  fAlpha = std::move(alpha);
  if (fAlpha) fAlpha->fOwner = this;
}

void TIEBitmap::CopyAndConvertFormat(TIEBitmap& source) { IECopyAndConvertFormat(source, *this); }

// Alpha channel ------------------------------------------------------------------

TIEBitmap* TIEBitmap::AlphaChannel() {
  if (fIsAlphaChannel) return nullptr;
  if (!fAlpha) {
    auto alpha = std::make_unique<TIEBitmap>();
    alpha->fIsAlphaChannel = true;
    alpha->fOwner = this;
    if (fWidth > 0 && fHeight > 0) {
      if (!alpha->Allocate(fWidth, fHeight, ie8g))
        throw EIEException("Not enough memory for the alpha channel");
      alpha->Fill(255);
    } else {
      alpha->fPixelFormat = ie8g;
    }
    fAlpha = std::move(alpha);
  }
  return fAlpha.get();
}

void TIEBitmap::RemoveAlphaChannel(bool merge, uint32_t background) {
  if (!fAlpha || fIsAlphaChannel) return;
  if (merge && fPixelFormat == ie24RGB && fAlpha->Width() == fWidth &&
      fAlpha->Height() == fHeight && fAlpha->PixelFormat() == ie8g) {
    const int32_t bb = (background >> 16) & 0xFF, bg = (background >> 8) & 0xFF,
                  br = background & 0xFF;
    TAccessScope readOnly(*fAlpha, ieaRead);
    for (int y = 0; y < fHeight; ++y) {
      uint8_t* p = Scanline(y);
      const uint8_t* a = fAlpha->Scanline(y);
      for (int x = 0; x < fWidth; ++x, p += 3) {
        const int32_t w = int32_t(a[x]) * 1024;
        p[0] = static_cast<uint8_t>(bb + (((int32_t(p[0]) - bb) * w) >> 18));
        p[1] = static_cast<uint8_t>(bg + (((int32_t(p[1]) - bg) * w) >> 18));
        p[2] = static_cast<uint8_t>(br + (((int32_t(p[2]) - br) * w) >> 18));
      }
    }
  }
  fAlpha.reset();
}

void TIEBitmap::ReplaceAlphaChannel(std::unique_ptr<TIEBitmap> alpha) {
  if (fIsAlphaChannel) return;
  fAlpha.reset();
  if (!alpha) return;
  alpha->RemoveAlphaChannel(false);
  alpha->fIsAlphaChannel = true;
  alpha->fOwner = this;
  if (alpha->PixelFormat() != ie8g) alpha->SetPixelFormat(ie8g);
  // An alpha channel of another size would send readers of it out of bounds.
  if (alpha->Width() != fWidth || alpha->Height() != fHeight) {
    if (fWidth > 0 && fHeight > 0 && alpha->Width() > 0 && alpha->Height() > 0)
      alpha->Resize(fWidth, fHeight, 255, 255);
    else if (fWidth > 0 && fHeight > 0) {
      alpha->Allocate(fWidth, fHeight, ie8g);
      alpha->Fill(255);
    } else
      alpha->FreeImage();
  }
  fAlpha = std::move(alpha);
}

std::unique_ptr<TIEBitmap> TIEBitmap::DetachAlphaChannel() {
  if (fAlpha) {
    fAlpha->fIsAlphaChannel = false;
    fAlpha->fOwner = nullptr;
  }
  return std::move(fAlpha);
}

// Copying ------------------------------------------------------------------------

void TIEBitmap::Assign(TIEBitmap* source) {
  if (!source || source == this) return;
  source->FlushRows();
  fFull = source->fFull;
  fRowAlign = source->fRowAlign;
  fRowOrderReversed = source->fRowOrderReversed;
  fNeedsAllocation = true;
  if (source->IsEmpty()) {
    FreeImage();
    fPixelFormat = source->fPixelFormat;
    fBitCount = IEBitsPerPixel(fPixelFormat);
    fChannelCount = IEChannelsPerPixel(fPixelFormat);
  } else {
    bool full = source->fFull;
    if (!Allocate(source->fWidth, source->fHeight, source->fPixelFormat))
      throw EIEException("Not enough memory to copy the image");
    fFull = full;
    if (fFile && source->fFile && fRowLen == source->fRowLen &&
        fRowOrderReversed == source->fRowOrderReversed) {
      std::vector<uint8_t> chunk(static_cast<size_t>(std::min(kAssignChunk, fFile->size)));
      for (int64_t offset = 0; offset < fFile->size; offset += kAssignChunk) {
        int64_t n = std::min(kAssignChunk, fFile->size - offset);
        PReadAll(source->fFile->fd, chunk.data(), n, offset);
        PWriteAll(fFile->fd, chunk.data(), n, offset);
      }
    } else {
      TAccessScope readOnly(*source, ieaRead);
      TAccessScope writeOnly(*this, ieaWrite);
      size_t n = static_cast<size_t>(std::min(fRowLen, source->fRowLen));
      for (int y = 0; y < fHeight; ++y) std::memcpy(Scanline(y), source->Scanline(y), n);
      FlushRows();
    }
  }
  if (source->fAlpha && !fIsAlphaChannel) {
    auto alpha = std::make_unique<TIEBitmap>();
    alpha->fIsAlphaChannel = true;
    alpha->fOwner = this;
    alpha->Assign(source->fAlpha.get());
    fAlpha = std::move(alpha);
  } else {
    fAlpha.reset();
  }
  fColorMap = source->fColorMap;
  fPaletteUsed = source->fPaletteUsed;
  fMonoConversion = source->fMonoConversion;
  fDisplayRange = source->fDisplayRange;
  fInputICC = source->fInputICC;
  fOutputICC = source->fOutputICC;
}

void TIEBitmap::CopyFromTIEMask(const TIEMask* mask) {
  if (!mask) {
    Fill(255);
    if (fIsAlphaChannel && fPixelFormat != ie8g && !IsEmpty()) SetPixelFormat(ie8g);
    return;
  }
  const int width = mask->Width(), height = mask->Height();
  const bool widen = fIsAlphaChannel && mask->BitsPerPixel() == 1;
  fNeedsAllocation = true;
  if (!Allocate(width, height, (mask->BitsPerPixel() == 1 && !widen) ? ie1g : ie8g)) return;
  TAccessScope writeOnly(*this, ieaWrite);
  if (widen) {
    for (int y = 0; y < height; ++y) {
      const uint8_t* src = mask->Scanline(y);
      uint8_t* dst = Scanline(y);
      for (int x = 0; x < width; ++x) dst[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    }
  } else {
    size_t n = static_cast<size_t>(std::min(fRowLen, mask->RowLen()));
    for (int y = 0; y < height; ++y) std::memcpy(Scanline(y), mask->Scanline(y), n);
  }
  FlushRows();
  fFull = mask->Full();
  // An alpha channel always has its owner's size: a mask of another size
  // (a file that lies) is cut or padded as opaque.
  if (fIsAlphaChannel && fOwner && fOwner->fWidth > 0 && fOwner->fHeight > 0 &&
      (fWidth != fOwner->fWidth || fHeight != fOwner->fHeight)) {
    if (IsEmpty()) {
      Allocate(fOwner->fWidth, fOwner->fHeight, ie8g);
      Fill(255);
    } else {
      bool full = fFull;
      Resize(fOwner->fWidth, fOwner->fHeight, 255);
      fFull = full;
    }
  }
}

// Fill and resize ----------------------------------------------------------------

void TIEBitmap::Fill(double value) {
  if (IsEmpty()) return;
  // Truncation as the value's integer part; out-of-range and NaN values are
  // pinned instead of being undefined.
  int64_t v = 0;
  if (std::isfinite(value))
    v = value >= 9.2e18 ? INT64_MAX : value <= -9.2e18 ? INT64_MIN : static_cast<int64_t>(value);
  std::vector<uint8_t> pattern(static_cast<size_t>(fRowLen), 0);
  uint8_t* p = pattern.data();
  const int w = fWidth;
  bool full = false;
  switch (fPixelFormat) {
    case ie1g:
      std::memset(p, v != 0 ? 0xFF : 0, static_cast<size_t>((int64_t(w) + 7) / 8));
      if ((w & 7) != 0 && v != 0) p[w / 8] = static_cast<uint8_t>(0xFF << (8 - (w & 7)));
      full = v != 0;
      break;
    case ie8p:
    case ie8g:
      std::memset(p, static_cast<uint8_t>(v), static_cast<size_t>(w));
      full = static_cast<uint8_t>(v) == 255;
      break;
    case ie16g:
      for (int x = 0; x < w; ++x) {
        p[2 * x] = static_cast<uint8_t>(v);
        p[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      }
      full = static_cast<uint16_t>(v) == 65535;
      break;
    case ie24RGB:
    case ie32RGB: {
      const int step = fPixelFormat == ie24RGB ? 3 : 4;
      TRGB c = IEColorToRGB(static_cast<uint32_t>(v));
      for (int x = 0; x < w; ++x) {
        uint8_t* q = p + int64_t(x) * step;
        q[0] = c.b;
        q[1] = c.g;
        q[2] = c.r;
        if (step == 4) q[3] = 255;
      }
      break;
    }
    case ieRGB48: {
      TRGB c = IEColorToRGB(static_cast<uint32_t>(v));
      const uint16_t words[3] = {uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257)};
      for (int x = 0; x < w; ++x)
        for (int i = 0; i < 3; ++i) {
          p[int64_t(x) * 6 + 2 * i] = static_cast<uint8_t>(words[i]);
          p[int64_t(x) * 6 + 2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        }
      break;
    }
    case ie32f: {
      float f = static_cast<float>(value);
      for (int x = 0; x < w; ++x) std::memcpy(p + int64_t(x) * 4, &f, 4);
      break;
    }
    case ieCMYK:
    case ieCIELab: {
      const int step = fBitCount / 8;
      for (int x = 0; x < w; ++x)
        for (int i = 0; i < step; ++i)
          p[int64_t(x) * step + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
      break;
    }
    default:
      return;
  }
  {
    TAccessScope writeOnly(*this, ieaWrite);
    for (int y = 0; y < fHeight; ++y)
      std::memcpy(Scanline(y), p, static_cast<size_t>(fRowLen));
    FlushRows();
  }
  fFull = full;
}

bool TIEBitmap::Resize(int newWidth, int newHeight, uint32_t background, int alphaFill,
                       TIEHAlign hAlign, TIEVAlign vAlign) {
  if (newWidth == fWidth && newHeight == fHeight && !IsEmpty()) return true;
  FlushRows();
  TIEBitmap old;
  const TIEPixelFormat format = fPixelFormat;
  const bool wasEmpty = IsEmpty();
  if (!wasEmpty) MoveStorageTo(old);
  std::unique_ptr<TIEBitmap> alpha = std::move(old.fAlpha);
  fNeedsAllocation = true;
  if (!Allocate(newWidth, newHeight, format)) {
    if (!wasEmpty) {
      old.MoveStorageTo(*this);
      fAlpha = std::move(alpha);
    }
    return false;
  }
  if (!wasEmpty) {
    fColorMap = std::move(old.fColorMap);
    fPaletteUsed = old.fPaletteUsed;
  }
  if (background != 0 || format == ie32RGB) {
    const bool colour = format == ie24RGB || format == ie32RGB || format == ieRGB48;
    Fill(colour || format == ie1g ? double(background) : double(background & 0xFFFF));
  }
  fFull = false;
  if (!wasEmpty) {
    auto offset = [](int anchor, int newSize, int oldSize) {
      return anchor == 0 ? 0 : anchor == 1 ? (newSize - oldSize) / 2 : newSize - oldSize;
    };
    const int dx = offset(hAlign, newWidth, old.fWidth);
    const int dy = offset(vAlign, newHeight, old.fHeight);
    const int x0 = std::max(0, dx), x1 = std::min(newWidth, dx + old.fWidth);
    const int y0 = std::max(0, dy), y1 = std::min(newHeight, dy + old.fHeight);
    TAccessScope readOnly(old, ieaRead);
    for (int y = y0; y < y1; ++y)
      CopyPixels(old.Scanline(y - dy), x0 - dx, Scanline(y), x0, x1 - x0, fBitCount);
    FlushRows();
    if (alpha) {
      const bool full = alpha->Full() && alphaFill == 255;
      alpha->Resize(newWidth, newHeight, static_cast<uint32_t>(alphaFill & 0xFF), 255, hAlign,
                    vAlign);
      alpha->SetFull(full);
      fAlpha = std::move(alpha);
    }
  }
  return true;
}
