#include "ietgafil.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

namespace {

constexpr int64_t kHeaderSize = 18;
constexpr int64_t kFooterSize = 26;
constexpr int64_t kExtensionSize = 495;
constexpr char kSignature[] = "TRUEVISION-XFILE.";  // 18 bytes with its zero
// A packet of a header byte and one index stands for 128 pixels; raw data
// cut to a sixteenth of its size still loads the rows it has. At depth 1
// every byte holds eight pixels.
constexpr int64_t kRlePixelsPerByte = 64;
constexpr int64_t kRawTruncationSlack = 16;

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The rest of the stream through an 8 KB buffer.
class TByteSource {
public:
  explicit TByteSource(TIEStream& stream) : fStream(stream) {}

  // Copies up to n bytes; returns how many there were.
  int64_t Take(uint8_t* out, int64_t n) {
    int64_t done = 0;
    while (done < n) {
      if (fPos == fLen && !Fill()) break;
      const size_t k = std::min(fLen - fPos, static_cast<size_t>(n - done));
      std::memcpy(out + done, fBuf + fPos, k);
      fPos += k;
      done += static_cast<int64_t>(k);
    }
    return done;
  }

  bool Next(uint8_t& b) {
    if (fPos == fLen && !Fill()) return false;
    b = fBuf[fPos++];
    return true;
  }

private:
  bool Fill() {
    if (fEnded) return false;
    const int64_t got = fStream.Read(fBuf, sizeof fBuf);
    if (got <= 0) {
      fEnded = true;
      return false;
    }
    fPos = 0;
    fLen = static_cast<size_t>(got);
    return true;
  }

  TIEStream& fStream;
  uint8_t fBuf[8192];
  size_t fPos = 0, fLen = 0;
  bool fEnded = false;
};

// Pixel values ("elements") of consecutive rows, raw or run-length encoded.
// A packet that does not fit in the current row goes on in the next one.
class TElementDecoder {
public:
  TElementDecoder(TByteSource& source, bool rle, int elementSize)
      : fSource(source), fRle(rle), fSize(elementSize) {}

  // Fills n elements; what the data does not have becomes 0. False once the
  // data has ended.
  bool Decode(uint8_t* out, int64_t n) {
    const int64_t bytes = n * fSize;
    if (!fRle) {
      const int64_t got = fSource.Take(out, bytes);
      if (got == bytes) return true;
      std::memset(out + got, 0, static_cast<size_t>(bytes - got));
      return false;
    }
    int64_t i = 0;  // elements done
    while (i < n) {
      if (fCount == 0) {
        uint8_t h;
        if (!fSource.Next(h)) break;
        fCount = (h & 0x7F) + 1;
        fRun = (h & 0x80) != 0;
        if (fRun && fSource.Take(fValue, fSize) != fSize) {
          fCount = 0;
          break;
        }
      }
      const int64_t k = std::min<int64_t>(fCount, n - i);
      uint8_t* dst = out + i * fSize;
      if (fRun) {
        if (fSize == 1) {
          std::memset(dst, fValue[0], static_cast<size_t>(k));
        } else {
          for (int64_t j = 0; j < k; ++j) std::memcpy(dst + j * fSize, fValue, static_cast<size_t>(fSize));
        }
      } else {
        const int64_t got = fSource.Take(dst, k * fSize);
        if (got != k * fSize) {
          i = (i * fSize + got) / fSize;  // whole elements that came
          fCount = 0;
          break;
        }
      }
      i += k;
      fCount -= static_cast<int>(k);
    }
    if (i == n) return true;
    std::memset(out + i * fSize, 0, static_cast<size_t>((n - i) * fSize));
    return false;
  }

private:
  TByteSource& fSource;
  bool fRle;
  int fSize;
  int fCount = 0;
  bool fRun = false;
  uint8_t fValue[4] = {};
};

// A 5-5-5 word; the top bit is not alpha for us.
inline void Put555(uint8_t* p, uint16_t v) {
  p[0] = uint8_t((v & 31) << 3);
  p[1] = uint8_t(((v >> 5) & 31) << 3);
  p[2] = uint8_t(((v >> 10) & 31) << 3);
}

// A zero-terminated text field of at most n bytes, without the blanks
// writers pad it with.
std::string TextField(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  while (len > 0 && p[len - 1] == ' ') --len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

TIEDateTime Today() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return TIEDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0, 0, 0};
}

// The footer and extension area of a version 2.0 file, when there are.
void ReadExtension(TIEStream& stream, int64_t start, TIOParams& params) {
  params.TgaAuthor.clear();
  params.TgaSoftware.clear();
  params.TgaDate = Today();
  params.TgaKeyColor = TRGB{0, 0, 0};
  params.TgaAspectRatio = 1.0;
  params.TgaGamma = 2.2;

  const int64_t end = stream.Size();
  if (end - start < kFooterSize) return;
  uint8_t f[kFooterSize];
  stream.SetPosition(end - kFooterSize);
  if (!stream.ReadExact(f, kFooterSize) || std::memcmp(f + 8, kSignature, sizeof kSignature) != 0) return;
  // Offset 0 means the file has no extension area.
  const uint32_t offset = LE32(f);
  if (offset == 0 || offset > end - start) return;
  uint8_t e[kExtensionSize];
  stream.SetPosition(start + offset);
  if (!stream.ReadExact(e, kExtensionSize)) return;

  params.TgaAuthor = TextField(e + 2, 41);
  params.TgaSoftware = TextField(e + 426, 41);
  const int month = LE16(e + 367), day = LE16(e + 369), year = LE16(e + 371);
  const int hour = LE16(e + 373), minute = LE16(e + 375), second = LE16(e + 377);
  if (month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 1 && year <= 2499 && hour < 24 &&
      minute < 60 && second < 60)
    params.TgaDate = TIEDateTime{year, month, day, hour, minute, second};
  // The key colour is a little-endian A:R:G:B word.
  params.TgaKeyColor = TRGB{e[470], e[471], e[472]};
  const uint16_t aspectNum = LE16(e + 474), aspectDen = LE16(e + 476);
  if (aspectNum != 0 && aspectDen != 0) params.TgaAspectRatio = double(aspectNum) / aspectDen;
  const uint16_t gammaNum = LE16(e + 478), gammaDen = LE16(e + 480);
  if (gammaNum != 0 && gammaDen != 0) params.TgaGamma = double(gammaNum) / gammaDen;
}

// Mirrors the first width pixels of a row (3 bytes each, or bits at depth 1).
void MirrorRow(uint8_t* row, uint8_t* alphaRow, int width, bool bits) {
  if (bits) {
    std::vector<uint8_t> copy(row, row + (width + 7) / 8);
    std::memset(row, 0, copy.size());
    for (int x = 0; x < width; ++x) {
      const int from = width - 1 - x;
      if (copy[static_cast<size_t>(from >> 3)] & (0x80 >> (from & 7))) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
    return;
  }
  for (int a = 0, b = width - 1; a < b; ++a, --b) {
    std::swap_ranges(row + 3 * a, row + 3 * a + 3, row + 3 * b);
    if (alphaRow) std::swap(alphaRow[a], alphaRow[b]);
  }
}

}  // namespace

void TGAReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress) {
  const int64_t start = stream.Position();
  ReadExtension(stream, start, params);

  uint8_t h[kHeaderSize];
  stream.SetPosition(start);
  if (!stream.ReadExact(h, kHeaderSize)) {
    progress.Abort();
    return;
  }
  const int idLength = h[0], type = h[2], depth = h[16], descriptor = h[17];
  const int firstEntry = LE16(h + 3), mapLength = LE16(h + 5), entryBits = h[7];
  const int width = LE16(h + 12), height = LE16(h + 14);
  // Depth 15 is the 5-5-5 layout of depth 16 as some writers label it.
  const bool typeOk = (type >= 1 && type <= 3) || (type >= 9 && type <= 11);
  const bool depthOk = depth == 1 || depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
  if (!typeOk || !depthOk) {
    progress.Abort();
    return;
  }

  TByteSource source(stream);
  std::vector<uint8_t> id(static_cast<size_t>(idLength));
  id.resize(static_cast<size_t>(source.Take(id.data(), idLength)));
  params.TgaImageId = TextField(id.data(), id.size());

  // Working palette: the default cube, then the colour map, or the grey
  // ramp or black and white when there is no map.
  TRGB palette[256];
  uint8_t paletteAlpha[256];
  bool hasPaletteAlpha = false;
  for (int i = 0; i < 256; ++i) {
    const int r = i >> 5, g = (i >> 2) & 7, b = i & 3;
    palette[i] = TRGB{uint8_t(b * 64 + 60), uint8_t(g * 32 + 28), uint8_t(r * 32 + 28)};
    paletteAlpha[i] = 255;
  }
  const bool hasMap = h[1] == 1 && mapLength > 0;
  const int entryBytes = (entryBits + 7) / 8;
  if (h[1] == 1) {
    std::vector<uint8_t> map(static_cast<size_t>(mapLength) * static_cast<size_t>(entryBytes));
    map.resize(static_cast<size_t>(source.Take(map.data(), static_cast<int64_t>(map.size()))));
    const bool known = entryBits == 15 || entryBits == 16 || entryBits == 24 || entryBits == 32;
    for (int i = 0; known && i < mapLength; ++i) {
      const size_t at = static_cast<size_t>(i) * static_cast<size_t>(entryBytes);
      const int slot = firstEntry + i;
      if (slot > 255 || at + static_cast<size_t>(entryBytes) > map.size()) break;
      const uint8_t* e = map.data() + at;
      if (entryBytes == 2) {
        uint8_t c[3];
        Put555(c, LE16(e));
        palette[slot] = TRGB{c[0], c[1], c[2]};
      } else {
        palette[slot] = TRGB{e[0], e[1], e[2]};
        if (entryBytes == 4) paletteAlpha[slot] = e[3];
      }
    }
    hasPaletteAlpha = entryBits == 32;
  }
  if (!hasMap && depth == 8) {
    for (int i = 0; i < 256; ++i) palette[i] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
  } else if (!hasMap && depth == 1) {
    palette[0] = TRGB{0, 0, 0};
    palette[1] = TRGB{255, 255, 255};
  }

  const TIEGlobalSettings& settings = IEGlobalSettings();
  params.Width = params.OriginalWidth = width;
  params.Height = params.OriginalHeight = height;
  params.SetDpiX(settings.DefaultDpiX);
  params.SetDpiY(settings.DefaultDpiY);
  params.SetImageCount(1);
  switch (depth) {
    case 1: params.BitsPerSample = 1, params.SamplesPerPixel = 1; break;
    case 8: params.BitsPerSample = 8, params.SamplesPerPixel = 1; break;
    case 15:
    case 16: params.BitsPerSample = 5, params.SamplesPerPixel = 3; break;
    case 24: params.BitsPerSample = 8, params.SamplesPerPixel = 3; break;
    default: params.BitsPerSample = 8, params.SamplesPerPixel = 4; break;
  }
  params.TgaXPos = LE16(h + 8);
  params.TgaYPos = LE16(h + 10);
  params.TgaCompressed = type >= 9;
  params.TgaGrayLevel = depth == 8 && !hasMap;
  if (hasMap) params.ColorMap.assign(palette, palette + std::min(mapLength, 256));
  if (headerOnly) return;

  const TIEPixelFormat format = depth == 1 ? ie1g : ie24RGB;
  const int64_t mapBytes = h[1] == 1 ? int64_t(mapLength) * entryBytes : 0;
  const int64_t pixelBytes = stream.Size() - start - kHeaderSize - idLength - mapBytes;
  const int64_t perByte = (type >= 9 ? kRlePixelsPerByte : kRawTruncationSlack) * (depth == 1 ? 8 : 1);
  if (!IEImageSizeOk(width, height, IEBitsPerPixel(format)) ||
      !IEPlausibleForInput(width, height, pixelBytes, perByte) ||
      !bitmap.Allocate(width, height, format)) {
    progress.Abort();
    return;
  }

  // Alpha comes from 32-bit pixels, or from the map of 8-bit indices.
  const bool alphaPixels = depth == 32 || (depth == 8 && hasPaletteAlpha);
  TIEMask* alpha = nullptr;
  if (alphaPixels && !ignoreAlpha) {
    if (!mask) mask = std::make_unique<TIEMask>();
    if (mask->Allocate(width, height, 8)) {
      mask->Fill(255);
      alpha = mask.get();
    }
  }
  bool anyNonZero = false;

  const int elementSize = depth == 1 ? 1 : (depth + 7) / 8;
  const int64_t rowElements = depth == 1 ? (width + 7) / 8 : width;
  std::vector<uint8_t> elements(static_cast<size_t>(rowElements * elementSize));
  std::vector<uint8_t> alphaRow(static_cast<size_t>(width), 255);
  TElementDecoder decoder(source, type >= 9, elementSize);
  const bool topDown = (descriptor & 0x20) != 0, rightToLeft = (descriptor & 0x10) != 0;

  try {
    for (int r = 0; r < height; ++r) {
      if (progress.Aborted()) return;
      const bool more = decoder.Decode(elements.data(), rowElements);
      const int y = topDown ? r : height - 1 - r;
      uint8_t* dst = bitmap.Scanline(y);
      const uint8_t* e = elements.data();
      switch (depth) {
        case 1:
          std::memcpy(dst, e, static_cast<size_t>(rowElements));
          if (width & 7) dst[rowElements - 1] &= uint8_t(0xFF00 >> (width & 7));
          break;
        case 8:
          for (int x = 0; x < width; ++x) {
            const TRGB& c = palette[e[x]];
            uint8_t* p = dst + 3 * x;
            p[0] = c.b, p[1] = c.g, p[2] = c.r;
          }
          if (alpha)
            for (int x = 0; x < width; ++x) alphaRow[static_cast<size_t>(x)] = paletteAlpha[e[x]];
          break;
        case 15:
        case 16:
          for (int x = 0; x < width; ++x) Put555(dst + 3 * x, LE16(e + 2 * x));
          break;
        case 24:
          std::memcpy(dst, e, static_cast<size_t>(width) * 3);
          break;
        case 32:
          for (int x = 0; x < width; ++x) {
            uint8_t* p = dst + 3 * x;
            const uint8_t* s = e + 4 * x;
            p[0] = s[0], p[1] = s[1], p[2] = s[2];
          }
          if (alpha)
            for (int x = 0; x < width; ++x) alphaRow[static_cast<size_t>(x)] = e[4 * x + 3];
          break;
      }
      if (rightToLeft) MirrorRow(dst, alpha ? alphaRow.data() : nullptr, width, depth == 1);
      if (alpha) {
        std::memcpy(alpha->Scanline(y), alphaRow.data(), alphaRow.size());
        if (!anyNonZero)
          anyNonZero = std::any_of(alphaRow.begin(), alphaRow.end(), [](uint8_t a) { return a != 0; });
      }
      progress.Report(static_cast<int>(static_cast<int64_t>(r + 1) * 100 / height));
      if (!more) {
        // Rows the data does not reach stay black and opaque.
        if (r + 1 < height) anyNonZero = true;
        break;
      }
    }
  } catch (const EIEException&) {
    progress.Abort();
    return;
  }
  // All-zero alpha is a writer that did not use the fourth byte.
  if (alpha && !anyNonZero) mask.reset();
}

void IETgaLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  TGAReadStream(stream, bitmap, params, false, mask, false, progress);
}
