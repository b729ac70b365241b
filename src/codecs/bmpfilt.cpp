#include "bmpfilt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

namespace {

// How many pixels one byte of a BMP can stand for before the header is taken
// for a lie. Run-length data legitimately skips pixels with end-of-line,
// delta and end-of-bitmap codes, so it gets a wide margin; uncompressed data
// is at most 8 pixels a byte, and a file cut to a sixteenth of its pixel data
// still loads what it has.
constexpr int64_t kRlePixelsPerByte = 1024;
constexpr int64_t kRawTruncationSlack = 16;

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Length of the run of set bits that starts at the mask's lowest set bit.
int ContiguousBits(uint32_t mask) {
  if (mask == 0) return 0;
  while (!(mask & 1)) mask >>= 1;
  int n = 0;
  while (mask & 1) {
    ++n;
    mask >>= 1;
  }
  return n;
}

int LowestBit(uint32_t mask) { return mask ? __builtin_ctz(mask) : 0; }

// Shift right by s (left for negative s); shifts of 32 or more give 0.
uint32_t Shift(uint32_t v, int s) {
  if (s >= 32 || s <= -32) return 0;
  return s >= 0 ? v >> s : v << -s;
}

int DpiFromPixelsPerMetre(int32_t ppm, int32_t fallback) {
  double dpi = std::nearbyint(static_cast<double>(ppm) / 100.0 * 2.54);
  if (dpi == 0) return fallback;
  return static_cast<int>(std::clamp(dpi, -2147483647.0, 2147483647.0));
}

// Writes decoded palette indices into a row: indices in native mode,
// palette colours otherwise. Indices beyond the file's palette are black.
struct TIndexWriter {
  bool native;
  const TRGB* palette;  // 256 entries
  void Put(uint8_t* row, int x, uint8_t index) const {
    if (native) {
      row[x] = index;
    } else {
      const TRGB& c = palette[index];
      uint8_t* p = row + static_cast<int64_t>(x) * 3;
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
    }
  }
};

class TRleDecoder {
public:
  TRleDecoder(TIEBitmap& bitmap, bool bottomUp, const TIndexWriter& writer, TProgressRecord& progress)
      : fBitmap(bitmap), fBottomUp(bottomUp), fWriter(writer), fProgress(progress),
        fWidth(bitmap.Width()), fHeight(bitmap.Height()) {}

  // 8 bits: pixels past the right edge all land on the last column.
  void Decode8(const std::vector<uint8_t>& d) {
    Begin();
    size_t i = 0, n = d.size();
    while (i + 1 < n) {
      uint8_t a = d[i], b = d[i + 1];
      i += 2;
      if (a > 0) {
        for (int k = 0; k < a; ++k) Put8(b);
      } else if (b == 0) {
        if (!EndOfLine()) return;
      } else if (b == 1) {
        return;
      } else if (b == 2) {
        if (i + 1 >= n || !Delta(d[i], d[i + 1])) return;
        i += 2;
      } else {
        for (int k = 0; k < b && i < n; ++k) Put8(d[i++]);
        if (b & 1) ++i;
      }
    }
  }

  // 4 bits: pixels past the right edge are dropped.
  void Decode4(const std::vector<uint8_t>& d) {
    Begin();
    size_t i = 0, n = d.size();
    while (i + 1 < n) {
      uint8_t a = d[i], b = d[i + 1];
      i += 2;
      if (a > 0) {
        for (int k = 0; k < a; ++k) Put4((k & 1) ? (b & 15) : (b >> 4));
      } else if (b == 0) {
        if (!EndOfLine()) return;
      } else if (b == 1) {
        return;
      } else if (b == 2) {
        if (i + 1 >= n || !Delta(d[i], d[i + 1])) return;
        i += 2;
      } else {
        size_t bytes = (b + 1u) / 2;
        for (int k = 0; k < b && i + k / 2 < n; ++k) {
          uint8_t v = d[i + k / 2];
          Put4((k & 1) ? (v & 15) : (v >> 4));
        }
        i += bytes + (bytes & 1);
      }
    }
  }

private:
  void Begin() {
    fX = 0;
    fRow = 0;
    fLine = fBitmap.Scanline(BitmapRow(0));
  }
  int BitmapRow(int fileRow) const { return fBottomUp ? fHeight - 1 - fileRow : fileRow; }
  void Put8(uint8_t index) {
    if (fLine) fWriter.Put(fLine, fX < fWidth ? fX : fWidth - 1, index);
    if (fX < fWidth) ++fX;
  }
  void Put4(uint8_t index) {
    if (fLine && fX < fWidth) fWriter.Put(fLine, fX, index);
    if (fX < fWidth) ++fX;
  }
  bool EndOfLine() {
    ++fRow;
    fX = 0;
    fProgress.Report(static_cast<int>(static_cast<int64_t>(fRow) * 100 / fHeight));
    if (fProgress.Aborted() || fRow >= fHeight) return false;
    fLine = fBitmap.Scanline(BitmapRow(fRow));
    return true;
  }
  bool Delta(uint8_t dx, uint8_t dy) {
    fX = std::min(fX + dx, fWidth);
    if (dy == 0) return true;
    fRow += dy;
    if (fRow >= fHeight) return false;
    fLine = fBitmap.Scanline(BitmapRow(fRow));
    return true;
  }

  TIEBitmap& fBitmap;
  bool fBottomUp;
  TIndexWriter fWriter;
  TProgressRecord& fProgress;
  int fWidth, fHeight;
  int fX = 0, fRow = 0;
  uint8_t* fLine = nullptr;
};

}  // namespace

void BMPReadStream(TIEStream& stream, TIEBitmap& bitmap, int64_t dataLength, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool noFileHeader, bool headerOnly,
                   TProgressRecord& progress, TIOParams& params) {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  const int64_t p0 = stream.Position();
  const int64_t streamSize = stream.Size();
  const int64_t fileBytes = std::max<int64_t>(0, streamSize - p0);

  // File header.
  int64_t fileSize = 0, pixelOffset = 0;
  if (noFileHeader || params.BmpNoFileHeader) {
    fileSize = fileBytes;
  } else {
    uint8_t fh[14];
    if (!stream.ReadExact(fh, 14) || fh[0] != 'B' || fh[1] != 'M') {
      progress.Abort();
      return;
    }
    fileSize = LE32(fh + 2);
    pixelOffset = LE32(fh + 10);
  }
  if (fileSize > 0 && dataLength < 1) dataLength = fileSize;

  // Info header, by its size.
  const int64_t infoStart = stream.Position();
  uint8_t h[124] = {};
  if (!stream.ReadExact(h, 4)) {
    progress.Abort();
    return;
  }
  const uint32_t headerSize = LE32(h);
  stream.SetPosition(infoStart);
  int64_t width = 0, height = 0;
  int bitCount = 0;
  uint32_t compression = 0, imageSize = 0, colorsUsed = 0;
  int32_t ppmX = 0, ppmY = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  bool headerMasks = false;
  const bool os2 = headerSize == 12;
  if (os2) {
    stream.Read(h, 12);
    width = LE16(h + 4);
    height = LE16(h + 6);
    bitCount = LE16(h + 10);
    params.BmpHeaderVersion = 2;
  } else {
    int64_t want = (headerSize == 108 || headerSize == 124) ? headerSize : std::min<uint32_t>(headerSize, 64);
    stream.Read(h, want);
    if (headerSize > 64 && headerSize != 108 && headerSize != 124)
      stream.SetPosition(infoStart + static_cast<int64_t>(headerSize));
    width = static_cast<int32_t>(LE32(h + 4));
    height = static_cast<int32_t>(LE32(h + 8));
    bitCount = LE16(h + 14);
    compression = LE32(h + 16);
    imageSize = LE32(h + 20);
    ppmX = static_cast<int32_t>(LE32(h + 24));
    ppmY = static_cast<int32_t>(LE32(h + 28));
    colorsUsed = LE32(h + 32);
    params.BmpHeaderVersion = headerSize == 108 ? 4 : headerSize == 124 ? 5 : headerSize == 40 ? 1
                            : headerSize == 64 ? 3 : 0;
    // Version 4 and 5 headers carry the masks, and so do the 52- and 56-byte
    // headers written by some editors between the 40-byte and version 4 forms.
    if (headerSize == 108 || headerSize == 124 || headerSize == 52 || headerSize == 56) {
      headerMasks = true;
      for (int i = 0; i < 4; ++i) masks[i] = LE32(h + 40 + 4 * i);
      if (headerSize == 52) masks[3] = 0;
    }
  }
  // A negative height means top-down rows; its magnitude must exist.
  if (width < 0 || height == INT32_MIN) {
    progress.Abort();
    return;
  }
  const bool bottomUp = height >= 0;
  height = height < 0 ? -height : height;
  params.Width = params.OriginalWidth = static_cast<int32_t>(width);
  params.Height = params.OriginalHeight = static_cast<int32_t>(height);

  if (os2) {
    params.SetDpiX(settings.DefaultDpiX);
    params.SetDpiY(settings.DefaultDpiY);
  } else {
    params.SetDpiX(DpiFromPixelsPerMetre(ppmX, settings.DefaultDpiX));
    params.SetDpiY(DpiFromPixelsPerMetre(ppmY, settings.DefaultDpiY));
  }

  switch (bitCount) {
    case 1: params.BitsPerSample = 1, params.SamplesPerPixel = 1; break;
    case 4: params.BitsPerSample = 4, params.SamplesPerPixel = 1; break;
    case 8: params.BitsPerSample = 8, params.SamplesPerPixel = 1; break;
    case 16: params.BitsPerSample = 5, params.SamplesPerPixel = 3; break;
    case 24: params.BitsPerSample = 8, params.SamplesPerPixel = 3; break;
    case 32: params.BitsPerSample = 8, params.SamplesPerPixel = 4; break;
    default: break;
  }

  // Palette.
  params.FreeColorMap();
  TRGB palette[256];
  int paletteCount = 0;
  if (bitCount <= 8) {
    int entries = 1 << bitCount;
    if (!os2 && colorsUsed >= 1 && colorsUsed <= 256) entries = static_cast<int>(colorsUsed);
    const int entrySize = os2 ? 3 : 4;
    uint8_t raw[256 * 4] = {};
    stream.Read(raw, static_cast<int64_t>(entries) * entrySize);
    params.ColorMap.resize(static_cast<size_t>(entries));
    for (int i = 0; i < entries; ++i) {
      const uint8_t* e = raw + i * entrySize;
      palette[i] = TRGB{e[0], e[1], e[2]};
      params.ColorMap[static_cast<size_t>(i)] = palette[i];
    }
    paletteCount = entries;
  }

  // Bit-field masks.
  if (compression == 3 && !headerMasks && (bitCount == 16 || bitCount == 32)) {
    const int64_t maskStart = stream.Position();
    uint8_t m[16] = {};
    stream.Read(m, bitCount == 16 ? 12 : 16);
    for (int i = 0; i < 4; ++i) masks[i] = LE32(m + 4 * i);
    if (bitCount == 16) masks[3] = 0;
    // Most writers store only three masks; a fourth word that is already
    // pixel data is no alpha mask.
    if (pixelOffset != 0 && maskStart + 16 > p0 + pixelOffset) masks[3] = 0;
  } else if (compression == 0 && bitCount == 16) {
    masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F, masks[3] = 0;
  } else if (compression == 0 && bitCount == 32) {
    masks[0] = 0x00FF0000, masks[1] = 0x0000FF00, masks[2] = 0x000000FF, masks[3] = 0xFF000000;
  }
  params.SetImageCount(1);
  params.BmpCompressed = compression == 1 || compression == 2;

  // Pixel data position and the length of run-length data.
  if (pixelOffset != 0 && stream.Position() != p0 + pixelOffset) stream.SetPosition(p0 + pixelOffset);
  const int64_t remaining = stream.Remaining();
  int64_t packedSize = dataLength > 0 ? p0 + dataLength - stream.Position() : int64_t(imageSize);
  if (packedSize <= 0) packedSize = remaining;
  packedSize = std::min(packedSize, remaining);

  if (headerOnly || width == 0 || height == 0) return;

  const bool native = params.NativePixelFormat;
  const int nR = ContiguousBits(masks[0]), nG = ContiguousBits(masks[1]), nB = ContiguousBits(masks[2]);
  const bool grey16 = bitCount == 16 && (nR == 32 || nG == 32 || nB == 32);
  TIEPixelFormat format = ie24RGB;
  if (bitCount == 1) format = ie1g;
  else if ((bitCount == 4 || bitCount == 8) && native) format = ie8p;
  else if (grey16 && native) format = ie16g;

  const bool rle = (bitCount == 8 && compression == 1) || (bitCount == 4 && compression == 2);
  const int64_t perByte = rle ? kRlePixelsPerByte
                              : std::max<int64_t>(1, 8 / std::max(bitCount, 1)) * kRawTruncationSlack;
  if (!IEImageSizeOk(width, height, IEBitsPerPixel(format)) ||
      !IEPlausibleForInput(width, height, fileBytes, perByte) ||
      !bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), format)) {
    progress.Abort();
    return;
  }
  const int w = static_cast<int>(width), ht = static_cast<int>(height);
  if (format == ie8p) {
    for (int i = 0; i < paletteCount; ++i) bitmap.SetPaletteEntry(i, palette[i]);
    bitmap.SetPaletteUsed(bitCount == 4 ? 16 : 256);
  }
  const TIndexWriter writer{format == ie8p, palette};

  if (rle) {
    std::vector<uint8_t> packed(static_cast<size_t>(packedSize));
    int64_t got = stream.Read(packed.data(), packedSize);
    packed.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
    TRleDecoder decoder(bitmap, bottomUp, writer, progress);
    if (bitCount == 8) decoder.Decode8(packed);
    else decoder.Decode4(packed);
    return;
  }

  // Which depths and compressions store pixels; others leave the zeroed bitmap.
  bool supported = false;
  switch (bitCount) {
    case 1: case 4: case 8: supported = compression == 0; break;
    case 16: case 32: supported = compression == 0 || compression == 3; break;
    case 24: supported = true; break;
    default: break;
  }
  if (!supported) return;

  const int64_t fileRowLen = ((width * bitCount + 31) / 32) * 4;
  std::vector<uint8_t> row(static_cast<size_t>(fileRowLen));
  const bool invert1 = bitCount == 1 && paletteCount == 2 && palette[0] == TRGB{255, 255, 255} &&
                       palette[1] == TRGB{0, 0, 0};
  const int redShift = nR + nG + nB - 8, greenShift = nG + nB - 8, blueShift = 8 - nB;
  const int low[3] = {LowestBit(masks[0]), LowestBit(masks[1]), LowestBit(masks[2])};
  const int lowAlpha = LowestBit(masks[3]);
  TIEMask* alpha = nullptr;
  bool anyTranslucent = false, anyNonZero = false;
  if (bitCount == 32 && !ignoreAlpha) {
    if (!mask) mask = std::make_unique<TIEMask>();
    if (mask->Allocate(w, ht, 8)) {
      mask->Fill(255);
      alpha = mask.get();
    }
  }

  int lastPercent = -1;
  for (int r = 0; r < ht; ++r) {
    int percent = static_cast<int>(static_cast<int64_t>(r) * 100 / ht);
    if (percent != lastPercent) {
      progress.Report(percent);
      lastPercent = percent;
    }
    if (progress.Aborted()) return;
    // Rows the file does not have keep the zeroed allocation.
    int64_t got = stream.Read(row.data(), fileRowLen);
    if (got <= 0) break;
    if (got < fileRowLen) std::fill(row.begin() + got, row.end(), uint8_t(0));
    const int y = bottomUp ? ht - 1 - r : r;
    uint8_t* dst = bitmap.Scanline(y);
    if (!dst) break;
    const uint8_t* src = row.data();
    switch (bitCount) {
      case 1: {
        int64_t n = std::min(fileRowLen, bitmap.RowLen());
        if (invert1)
          for (int64_t i = 0; i < n; ++i) dst[i] = uint8_t(~src[i]);
        else
          std::memcpy(dst, src, static_cast<size_t>(n));
        break;
      }
      case 4:
        for (int x = 0; x < w; ++x) writer.Put(dst, x, (x & 1) ? (src[x / 2] & 15) : (src[x / 2] >> 4));
        break;
      case 8:
        for (int x = 0; x < w; ++x) writer.Put(dst, x, src[x]);
        break;
      case 16:
        for (int x = 0; x < w; ++x) {
          uint32_t v = LE16(src + 2 * x);
          if (grey16) {
            if (format == ie16g) {
              dst[2 * x] = uint8_t(v);
              dst[2 * x + 1] = uint8_t(v >> 8);
            } else {
              dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = uint8_t(v >> 8);
            }
            continue;
          }
          uint8_t* p = dst + 3 * x;
          p[2] = uint8_t(Shift(v & masks[0], redShift));
          p[1] = uint8_t(Shift(v & masks[1], greenShift));
          p[0] = uint8_t(Shift((v & 0xFF) & (masks[2] & 0xFF), -blueShift));
        }
        break;
      case 24:
        std::memcpy(dst, src, static_cast<size_t>(std::min<int64_t>(fileRowLen, int64_t(w) * 3)));
        break;
      case 32: {
        uint8_t* alphaRow = alpha ? alpha->Scanline(y) : nullptr;
        for (int x = 0; x < w; ++x) {
          uint32_t v = LE32(src + 4 * x);
          uint8_t* p = dst + 3 * x;
          p[2] = uint8_t((v & masks[0]) >> low[0]);
          p[1] = uint8_t((v & masks[1]) >> low[1]);
          p[0] = uint8_t((v & masks[2]) >> low[2]);
          if (alphaRow) {
            uint8_t a = uint8_t((v & masks[3]) >> lowAlpha);
            alphaRow[x] = a;
            anyTranslucent |= a != 255;
            anyNonZero |= a != 0;
          }
        }
        break;
      }
    }
  }
  // All opaque, or all zero (writers that leave the fourth byte unused).
  if (alpha && (!anyTranslucent || !anyNonZero)) mask.reset();
}

void IEBmpLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  BMPReadStream(stream, bitmap, 0, !params.BmpReadAlpha, mask, false, false, progress, params);
}
