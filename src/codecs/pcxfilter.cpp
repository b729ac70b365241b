#include "pcxfilter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ieformats.h"
#include "ieglobal.h"
#include "iestream.h"

namespace {

constexpr int64_t kHeaderSize = 128;
constexpr int64_t kPaletteSize = 768;
constexpr uint32_t kDcxMagic = 0x3ADE68B1;
constexpr int kDcxMaxPages = 1024;
// A run is two bytes for at most 63 bytes of line data, so no byte of a
// PCX stands for more than 32 bytes of lines. Uncompressed data cut to a
// thirty-second of its size still loads what it has.
constexpr int64_t kLineBytesPerInputByte = 32;

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// How the planes of a line make pixels.
enum TPcxLayout : uint8_t {
  plNone,       // nothing we can show
  plMono,       // 1 bit x 1 plane: ie1g
  plPacked,     // 2 or 4 bits x 1 plane: indices into the header palette
  plIndexed8,   // 8 bits x 1 plane: indices into the trailing palette
  plBitPlanes,  // 1 bit x 2 to 4 planes: plane k adds 2^k to the index
  plRGB,        // 8 bits x 3 planes: red, green, blue lines
  plRGBA,       // 8 bits x 4 planes: red, green, blue, alpha lines
};

TPcxLayout LayoutOf(int bits, int planes) {
  if (planes == 1) {
    if (bits == 1) return plMono;
    if (bits == 2 || bits == 4) return plPacked;
    if (bits == 8) return plIndexed8;
    return plNone;
  }
  if (bits == 1 && planes >= 2 && planes <= 4) return plBitPlanes;
  if (bits == 8 && planes == 3) return plRGB;
  if (bits == 8 && planes == 4) return plRGBA;
  return plNone;
}

// The bytes of one range of the stream, read through a buffer.
class TByteSource {
public:
  TByteSource(TIEStream& stream, int64_t count) : fStream(stream), fLeft(count), fBuf(64 * 1024) {}

  // False at the end of the range or of the stream.
  bool Next(uint8_t& b) {
    if (fPos == fLen && !Fill()) return false;
    b = fBuf[fPos++];
    return true;
  }

  // Copies up to n bytes; returns how many there were.
  int64_t Take(uint8_t* out, int64_t n) {
    int64_t done = 0;
    while (done < n) {
      if (fPos == fLen && !Fill()) break;
      const size_t k = std::min(fLen - fPos, static_cast<size_t>(n - done));
      std::memcpy(out + done, fBuf.data() + fPos, k);
      fPos += k;
      done += static_cast<int64_t>(k);
    }
    return done;
  }

private:
  bool Fill() {
    if (fLeft <= 0) return false;
    const int64_t got = fStream.Read(fBuf.data(), std::min<int64_t>(fLeft, static_cast<int64_t>(fBuf.size())));
    if (got <= 0) {
      fLeft = 0;
      return false;
    }
    fLeft -= got;
    fPos = 0;
    fLen = static_cast<size_t>(got);
    return true;
  }

  TIEStream& fStream;
  int64_t fLeft;
  std::vector<uint8_t> fBuf;
  size_t fPos = 0, fLen = 0;
};

// Hands out the bytes of consecutive lines. A run that does not fit in the
// current line continues in the next one: writers encode the whole image as
// one byte stream, across planes and rows.
class TLineDecoder {
public:
  TLineDecoder(TByteSource& source, bool rle) : fSource(source), fRle(rle) {}

  // Fills n bytes; bytes the data does not have become 0. False once the
  // data has ended.
  bool Decode(uint8_t* out, int64_t n) {
    if (!fRle) {
      const int64_t got = fSource.Take(out, n);
      if (got == n) return true;
      std::memset(out + got, 0, static_cast<size_t>(n - got));
      return false;
    }
    int64_t i = 0;
    while (i < n) {
      if (fRun > 0) {
        const int64_t k = std::min<int64_t>(fRun, n - i);
        std::memset(out + i, fValue, static_cast<size_t>(k));
        i += k;
        fRun -= static_cast<int>(k);
        continue;
      }
      uint8_t b;
      if (!fSource.Next(b)) break;
      if (b < 0xC0) {
        out[i++] = b;
      } else if (fSource.Next(fValue)) {
        fRun = b & 0x3F;
      } else {
        break;
      }
    }
    if (i == n) return true;
    std::memset(out + i, 0, static_cast<size_t>(n - i));
    return false;
  }

private:
  TByteSource& fSource;
  bool fRle;
  int fRun = 0;
  uint8_t fValue = 0;
};

inline void PutColor(uint8_t* p, const TRGB& c) {
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
}

}  // namespace

void PCXReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                   TProgressRecord& progress, int64_t dataLength, std::unique_ptr<TIEMask>& mask) {
  const int64_t start = stream.Position();
  dataLength = std::min(dataLength, stream.Size() - start);
  uint8_t h[kHeaderSize];
  if (dataLength < kHeaderSize || !stream.ReadExact(h, kHeaderSize) || h[0] != 0x0A || h[2] > 1 || h[3] > 8) {
    progress.Abort();
    return;
  }
  const bool rle = h[2] == 1;
  const int bits = h[3], planes = h[65];
  const int64_t width = int64_t(LE16(h + 8)) - LE16(h + 4) + 1;
  const int64_t height = int64_t(LE16(h + 10)) - LE16(h + 6) + 1;
  const int64_t bytesPerLine = LE16(h + 66);
  const TPcxLayout layout = LayoutOf(bits, planes);

  params.SetImageCount(1);
  int32_t dpiX = LE16(h + 12), dpiY = LE16(h + 14);
  if (dpiX == 0 || dpiY == 0) {
    const TIEGlobalSettings& settings = IEGlobalSettings();
    dpiX = settings.DefaultDpiX;
    dpiY = settings.DefaultDpiY;
  }
  params.SetDpiX(dpiX);
  params.SetDpiY(dpiY);
  params.Width = params.OriginalWidth = static_cast<int32_t>(width);
  params.Height = params.OriginalHeight = static_cast<int32_t>(height);

  TRGB headerPalette[16];
  for (int i = 0; i < 16; ++i) headerPalette[i] = TRGB{h[18 + 3 * i], h[17 + 3 * i], h[16 + 3 * i]};
  std::vector<TRGB> palette256;
  if (layout == plIndexed8) {
    // The palette is the last 768 bytes of the image, whether or not the
    // 0x0C marker stands in front of it.
    uint8_t raw[kPaletteSize];
    if (dataLength < kHeaderSize + kPaletteSize) {
      progress.Abort();
      return;
    }
    stream.SetPosition(start + dataLength - kPaletteSize);
    if (!stream.ReadExact(raw, kPaletteSize)) {
      progress.Abort();
      return;
    }
    stream.SetPosition(start + kHeaderSize);
    palette256.resize(256);
    for (int i = 0; i < 256; ++i) palette256[i] = TRGB{raw[3 * i + 2], raw[3 * i + 1], raw[3 * i]};
  }

  // 1 bit in several planes is one index of planes bits.
  params.BitsPerSample = layout == plBitPlanes ? planes : bits;
  params.SamplesPerPixel = layout == plBitPlanes ? 1 : planes;
  params.PcxVersion = h[1];
  params.FreeColorMap();
  if (layout == plIndexed8) {
    params.ColorMap = palette256;
  } else if (layout == plMono || layout == plPacked || layout == plBitPlanes) {
    const int count = 1 << (layout == plBitPlanes ? planes : bits);
    params.ColorMap.assign(headerPalette, headerPalette + count);
  }

  // Every line of a plane must hold the row's pixels.
  const int64_t needPerLine = (layout == plIndexed8 || layout == plRGB || layout == plRGBA)
                                  ? width
                                  : (width * (layout == plPacked ? bits : 1) + 7) / 8;
  if (layout == plNone || width <= 0 || height <= 0 || bytesPerLine < needPerLine) {
    progress.Abort();
    return;
  }
  if (headerOnly) return;

  const int64_t inputBytes = dataLength - kHeaderSize;
  const int64_t lineLen = bytesPerLine * planes;
  int64_t allLines = 0, mostLines = 0;
  const TIEPixelFormat format = layout == plMono ? ie1g : ie24RGB;
  const int64_t pixelsPerByte = std::max<int64_t>(1, kLineBytesPerInputByte * 8 / (bits * planes));
  if (!IEImageSizeOk(width, height, IEBitsPerPixel(format)) ||
      !IEPlausibleForInput(width, height, inputBytes, pixelsPerByte) || !IECheckedMul(lineLen, height, allLines) ||
      !IECheckedMul(std::max<int64_t>(inputBytes, 1), kLineBytesPerInputByte, mostLines) ||
      allLines > mostLines || !bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), format)) {
    progress.Abort();
    return;
  }
  const int w = static_cast<int>(width), ht = static_cast<int>(height);
  const size_t bpl = static_cast<size_t>(bytesPerLine);

  TIEMask* alpha = nullptr;
  bool anyTranslucent = false, anyNonZero = false;
  if (layout == plRGBA) {
    if (!mask) mask = std::make_unique<TIEMask>();
    if (mask->Allocate(w, ht, 8)) {
      mask->Fill(255);
      alpha = mask.get();
    }
  }

  try {
    TByteSource source(stream, inputBytes);
    TLineDecoder decoder(source, rle);
    std::vector<uint8_t> line(static_cast<size_t>(lineLen));
    const uint8_t* p0 = line.data();
    const uint8_t* p1 = p0 + bpl;
    const uint8_t* p2 = p1 + bpl;
    const uint8_t* p3 = p2 + bpl;
    int lastPercent = -1;
    for (int y = 0; y < ht; ++y) {
      const int percent = static_cast<int>(static_cast<int64_t>(y) * 100 / ht);
      if (percent != lastPercent) {
        progress.Report(percent);
        lastPercent = percent;
      }
      if (progress.Aborted()) return;
      // Rows past the end of the data stay black.
      const bool more = decoder.Decode(line.data(), lineLen);
      uint8_t* dst = bitmap.Scanline(y);
      switch (layout) {
        case plMono: {
          const size_t n = static_cast<size_t>((w + 7) / 8);
          std::memcpy(dst, p0, n);
          if (w & 7) dst[n - 1] &= uint8_t(0xFF00 >> (w & 7));
          break;
        }
        case plPacked: {
          const int perByte = 8 / bits, valueMask = (1 << bits) - 1;
          for (int x = 0; x < w; ++x) {
            const int shift = 8 - bits * (x % perByte + 1);
            PutColor(dst + 3 * x, headerPalette[(p0[x / perByte] >> shift) & valueMask]);
          }
          break;
        }
        case plIndexed8:
          for (int x = 0; x < w; ++x) PutColor(dst + 3 * x, palette256[p0[x]]);
          break;
        case plBitPlanes:
          for (int x = 0; x < w; ++x) {
            const size_t byte = static_cast<size_t>(x >> 3);
            const int shift = 7 - (x & 7);
            int index = 0;
            for (int k = 0; k < planes; ++k) index |= ((p0[k * bpl + byte] >> shift) & 1) << k;
            PutColor(dst + 3 * x, headerPalette[index]);
          }
          break;
        case plRGB:
        case plRGBA:
          for (int x = 0; x < w; ++x) {
            uint8_t* p = dst + 3 * x;
            p[0] = p2[x];
            p[1] = p1[x];
            p[2] = p0[x];
          }
          if (uint8_t* a = alpha ? alpha->Scanline(y) : nullptr) {
            std::memcpy(a, p3, static_cast<size_t>(w));
            for (int x = 0; x < w; ++x) {
              anyTranslucent |= p3[x] != 255;
              anyNonZero |= p3[x] != 0;
            }
          }
          break;
        case plNone:
          break;
      }
      if (!more) {
        // Rows the data does not reach stay opaque black.
        if (y + 1 < ht) anyNonZero = true;
        break;
      }
    }
  } catch (const EIEException&) {
    progress.Abort();
    return;
  }
  // An alpha plane that is all opaque or all zero (writers that fill the
  // fourth plane with nothing) is no transparency.
  if (alpha && (!anyTranslucent || !anyNonZero)) mask.reset();
}

void DCXReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                   TProgressRecord& progress, std::unique_ptr<TIEMask>& mask) {
  const int64_t start = stream.Position();
  if (!IEProbeDCX(stream)) {
    progress.Abort();
    return;
  }
  const int64_t size = stream.Size() - start;
  uint8_t table[4 + 4 * kDcxMaxPages];
  const int64_t got = stream.Read(table, sizeof table);
  std::vector<uint32_t> pages;
  if (got >= 4 && LE32(table) == kDcxMagic) {
    for (int64_t at = 4; at + 4 <= got; at += 4) {
      const uint32_t offset = LE32(table + at);
      if (offset == 0) break;
      pages.push_back(offset);
    }
  }
  if (pages.empty()) {
    progress.Abort();
    return;
  }
  const int32_t count = static_cast<int32_t>(pages.size());
  const int32_t index = std::clamp(params.DcxImageIndex, 0, count - 1);
  params.SetImageIndex(index);
  // A page runs to the next larger offset of the table, or to the end.
  const uint32_t offset = pages[static_cast<size_t>(index)];
  int64_t end = size;
  for (uint32_t p : pages)
    if (p > offset && p < end) end = p;
  stream.SetPosition(start + offset);
  PCXReadStream(stream, bitmap, params, headerOnly, progress, end - offset, mask);
  params.SetImageCount(count);
}

void IEPcxLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  PCXReadStream(stream, bitmap, params, false, progress, stream.Remaining(), mask);
}

void IEDcxLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  DCXReadStream(stream, bitmap, params, false, progress, mask);
}
