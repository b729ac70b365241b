#include "icofilt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "bmpfilt.h"
#include "ieglobal.h"
#include "iestream.h"
#include "pngfilt.h"

namespace {

// Directory entries recorded in IcoSizes and IcoBitCounts.
constexpr int kRecordedEntries = 16;
// A DIB cut short still loads the rows it has; beyond this many pixels per
// byte left in the stream the header is taken for a lie (as for BMP files).
constexpr int64_t kTruncationSlack = 16;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Bit count implied by a directory entry's colour count (0: none).
int BitsFromColorCount(int colors) {
  if (colors == 0) return 0;
  if (colors <= 2) return 1;
  if (colors <= 16) return 4;
  return 8;
}

struct TDirEntry {
  int width = 0, height = 0;  // as stored: 0 stands for 256
  int colors = 0;
  int planes = 0;     // cursors: hotspot x
  int bitCount = 0;   // cursors: hotspot y
  uint32_t offset = 0;
};

TDirEntry ParseEntry(const uint8_t* e) {
  TDirEntry d;
  d.width = e[0];
  d.height = e[1];
  d.colors = e[2];
  d.planes = LE16(e + 4);
  d.bitCount = LE16(e + 6);
  d.offset = LE32(e + 12);
  return d;
}

int DpiFromPixelsPerMetre(int32_t ppm, int fallback) {
  const double dpi = std::nearbyint(static_cast<double>(ppm) * 0.0254);
  return dpi < 1 ? fallback : static_cast<int>(std::min(dpi, 2147483647.0));
}

bool AndBit(const uint8_t* row, int x) { return row && ((row[x >> 3] >> (7 - (x & 7))) & 1); }

// Rebuilds an 8-bit mask from complete AND rows (bottom-up in the block).
void MaskFromAndRows(TIEMask& mask, const std::vector<uint8_t>& andBlock, int64_t andRowLen, int width,
                     int height) {
  for (int r = 0; r < height; ++r) {
    const uint8_t* andRow = andBlock.data() + r * andRowLen;
    uint8_t* m = mask.Scanline(height - 1 - r);
    for (int x = 0; x < width; ++x) m[x] = AndBit(andRow, x) ? 0 : 255;
  }
}

bool MaskAllOpaque(const TIEMask& mask) {
  for (int y = 0; y < mask.Height(); ++y) {
    const uint8_t* m = mask.Scanline(y);
    for (int x = 0; x < mask.Width(); ++x)
      if (m[x] != 255) return false;
  }
  return true;
}

}  // namespace

void IEIconReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool cursor, bool ignoreAlpha,
                      std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress) {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  const int64_t p0 = stream.Position();
  const int64_t streamBytes = std::max<int64_t>(0, stream.Size() - p0);
  const bool bare = params.BmpNoFileHeader;
  params.IcoPng = false;
  params.FreeColorMap();
  auto fail = [&] { progress.Abort(); };

  TDirEntry entry;
  bool haveEntry = false;
  if (bare) {
    if (cursor) {
      uint8_t hot[4];
      if (!stream.ReadExact(hot, 4)) return fail();
      params.CurHotX = LE16(hot);
      params.CurHotY = LE16(hot + 2);
    }
    params.SetImageCount(1);
  } else {
    uint8_t head[6];
    if (!stream.ReadExact(head, 6)) return fail();
    if (head[0] == 'B' && head[1] == 'M') {
      stream.SetPosition(p0);
      BMPReadStream(stream, bitmap, 0, ignoreAlpha, mask, false, headerOnly, progress, params);
      return;
    }
    const int count = LE16(head + 4);
    const int index = cursor ? params.CurImageIndex : params.IcoImageIndex;
    // An image the file does not have is a failed load, not an empty success
    // that would leave the previous picture in the bitmap.
    if (index < 0 || index >= count) return fail();
    params.SetImageCount(count);
    params.IcoSizes.clear();
    params.IcoBitCounts.clear();
    for (int i = 0; i < std::min(count, kRecordedEntries); ++i) {
      uint8_t e[16];
      if (!stream.ReadExact(e, 16)) break;
      const TDirEntry d = ParseEntry(e);
      params.IcoSizes.push_back(TIESize{d.width ? d.width : 256, d.height ? d.height : 256});
      int bits = cursor ? 0 : d.bitCount;  // a cursor's bit count field is its hotspot
      if (bits == 0) bits = BitsFromColorCount(d.colors);
      params.IcoBitCounts.push_back(bits ? bits : 24);
    }
    uint8_t e[16];
    stream.SetPosition(p0 + 6 + 16 * static_cast<int64_t>(index));
    if (!stream.ReadExact(e, 16)) return fail();
    entry = ParseEntry(e);
    haveEntry = true;
    if (cursor) {
      params.CurHotX = entry.planes;
      params.CurHotY = entry.bitCount;
    }
    if (static_cast<int64_t>(entry.offset) + 40 >= streamBytes) return fail();
    stream.SetPosition(p0 + entry.offset);

    uint8_t sig[8];
    const bool png = stream.ReadExact(sig, 8) && std::memcmp(sig, kPngSignature, 8) == 0;
    stream.SetPosition(p0 + entry.offset);
    if (png) {
      IEPngReadStream(stream, bitmap, params, headerOnly, progress);
      params.IcoPng = true;
      params.SetImageCount(count);
      return;
    }
  }

  // The DIB: a BITMAPINFOHEADER whose height counts the colour rows and the
  // AND rows, a palette, colour rows and AND rows, all bottom-up and padded
  // to 32 bits.
  const int64_t dibStart = stream.Position();
  uint8_t h[40];
  if (!stream.ReadExact(h, 40)) return fail();
  const uint32_t headerSize = LE32(h);
  const int32_t headerWidth = static_cast<int32_t>(LE32(h + 4));
  const int32_t headerHeight = static_cast<int32_t>(LE32(h + 8)) / 2;
  const uint32_t compression = LE32(h + 16);
  const uint32_t colorsUsed = LE32(h + 32);

  params.SetDpiX(DpiFromPixelsPerMetre(static_cast<int32_t>(LE32(h + 24)), settings.DefaultDpiX));
  params.SetDpiY(DpiFromPixelsPerMetre(static_cast<int32_t>(LE32(h + 28)), settings.DefaultDpiY));

  int bitCount = LE16(h + 14);
  if (bitCount == 0 && haveEntry && !cursor) bitCount = entry.bitCount;
  if (bitCount == 0 && haveEntry) bitCount = BitsFromColorCount(entry.colors);
  if (bitCount == 0) return fail();
  params.BitsPerSample = bitCount <= 8 ? bitCount : 8;
  params.SamplesPerPixel = bitCount <= 8 ? 1 : bitCount == 32 ? 4 : 3;

  int64_t width = headerWidth, height = headerHeight;
  if (cursor) {
    if (haveEntry) {
      width = entry.width ? entry.width : 256;
      height = entry.height ? entry.height : 256;
    }
  } else if (haveEntry) {
    const int dw = entry.width, dh = entry.height;
    const bool disagree = dw != headerWidth || dh != headerHeight;
    const bool headerLarge = headerWidth > 255 || headerHeight > 255;
    const bool allSmall = dw != 0 && dh != 0 && headerWidth != 0 && headerHeight != 0 && headerWidth < 2048 &&
                          headerHeight < 2048;
    const bool useHeader = (disagree && headerLarge) || dw == 0 || dh == 0 || (disagree && allSmall);
    if (!useHeader) width = dw, height = dh;
  }
  params.Width = params.OriginalWidth = static_cast<int32_t>(width);
  params.Height = params.OriginalHeight = static_cast<int32_t>(height);

  // Palette: 2^bits entries, fewer when the header says it holds fewer (the
  // colour rows follow the entries that are there).
  const int64_t headerBytes = headerSize >= 40 && headerSize <= 124 ? headerSize : 40;
  stream.SetPosition(dibStart + headerBytes);
  TRGB palette[256] = {};
  int paletteCount = 0;
  if (bitCount <= 8) {
    paletteCount = 1 << bitCount;
    if (colorsUsed >= 1 && colorsUsed < static_cast<uint32_t>(paletteCount)) paletteCount = static_cast<int>(colorsUsed);
    uint8_t raw[256 * 4] = {};
    if (!stream.ReadExact(raw, paletteCount * 4)) return fail();
    params.ColorMap.resize(static_cast<size_t>(paletteCount));
    for (int i = 0; i < paletteCount; ++i) {
      palette[i] = TRGB{raw[4 * i], raw[4 * i + 1], raw[4 * i + 2]};
      params.ColorMap[static_cast<size_t>(i)] = palette[i];
    }
  }
  if (headerOnly) return;

  const bool native = params.NativePixelFormat;
  TIEPixelFormat format = ie24RGB;
  switch (bitCount) {
    case 1: format = ie1g; break;
    case 4: case 8: format = native ? ie8p : ie24RGB; break;
    case 24: case 32: break;
    default:
      if (native) throw EIEException("Unsupported pixel format");
      return fail();  // we have no decoding for it: a black picture would be a lie
  }
  // Compressed DIBs do not occur in icons; reading one as raw rows would be noise.
  if (compression != 0) return fail();

  const int64_t colorRowLen = IERowLen(width, bitCount, 32);
  const int64_t andRowLen = IERowLen(width, 1, 32);
  const int64_t perByte = std::max(1, 8 / bitCount) * kTruncationSlack;
  if (!IEImageSizeOk(width, height, IEBitsPerPixel(format)) ||
      !IEPlausibleForInput(width, height, streamBytes, perByte) ||
      !bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), format)) {
    return fail();
  }
  const int w = static_cast<int>(width), ht = static_cast<int>(height);
  if (format == ie8p) {
    for (int i = 0; i < paletteCount; ++i) bitmap.SetPaletteEntry(i, palette[i]);
    bitmap.SetPaletteUsed(1 << bitCount);
  }

  // The AND rows, as many as the stream has (they are 1 bit a pixel, so
  // never more than the file).
  const int64_t colorStart = stream.Position();
  const int64_t andStart = colorStart + colorRowLen * ht;
  std::vector<uint8_t> andBlock;
  int andRows = 0;
  if (andStart < p0 + streamBytes) {
    const int64_t want = std::min(andRowLen * ht, p0 + streamBytes - andStart);
    andBlock.resize(static_cast<size_t>(want));
    stream.SetPosition(andStart);
    const int64_t got = stream.Read(andBlock.data(), want);
    andRows = static_cast<int>(std::max<int64_t>(got, 0) / andRowLen);
  }
  const bool andComplete = andRows == ht;

  TIEMask* m = nullptr;
  if (!ignoreAlpha) {
    if (!mask) mask = std::make_unique<TIEMask>();
    if (mask->Allocate(w, ht, 8)) {
      mask->Fill(255);
      m = mask.get();
    }
  }
  const TRGB background = cursor ? params.CurBackground : params.IcoBackground;
  const bool whiteBackground = background == TRGB{255, 255, 255};

  stream.SetPosition(colorStart);
  std::vector<uint8_t> row(static_cast<size_t>(colorRowLen));
  bool allAlphaZero = true;
  int lastPercent = -1;
  for (int r = 0; r < ht; ++r) {
    const int percent = static_cast<int>(static_cast<int64_t>(r) * 100 / ht);
    if (percent != lastPercent) {
      progress.Report(percent);
      lastPercent = percent;
    }
    if (progress.Aborted()) return;
    // Rows the stream does not have keep the zeroed allocation.
    const int64_t got = stream.Read(row.data(), colorRowLen);
    if (got <= 0) break;
    if (got < colorRowLen) std::fill(row.begin() + got, row.end(), uint8_t(0));
    const int y = ht - 1 - r;
    uint8_t* dst = bitmap.Scanline(y);
    uint8_t* maskRow = m ? m->Scanline(y) : nullptr;
    const uint8_t* andRow = r < andRows ? andBlock.data() + r * andRowLen : nullptr;
    const uint8_t* src = row.data();
    switch (bitCount) {
      case 1:
        std::memcpy(dst, src, static_cast<size_t>(std::min(colorRowLen, bitmap.RowLen())));
        for (int x = 0; x < w; ++x) {
          if (!AndBit(andRow, x)) continue;
          if (maskRow) maskRow[x] = 0;
          // Transparent pixels (colour 0) show white, inverting ones black.
          if (whiteBackground) dst[x >> 3] ^= uint8_t(0x80 >> (x & 7));
        }
        break;
      case 4:
      case 8:
        for (int x = 0; x < w; ++x) {
          const int index = bitCount == 8 ? src[x] : (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4);
          const bool transparent = AndBit(andRow, x);
          if (transparent && maskRow) maskRow[x] = 0;
          if (format == ie8p) {
            dst[x] = static_cast<uint8_t>(index);
          } else {
            const TRGB& c = transparent ? background : palette[index];
            dst[3 * x] = c.b;
            dst[3 * x + 1] = c.g;
            dst[3 * x + 2] = c.r;
          }
        }
        break;
      case 24:
        std::memcpy(dst, src, static_cast<size_t>(w) * 3);
        break;
      case 32:
        for (int x = 0; x < w; ++x) {
          dst[3 * x] = src[4 * x];
          dst[3 * x + 1] = src[4 * x + 1];
          dst[3 * x + 2] = src[4 * x + 2];
          if (maskRow) maskRow[x] = src[4 * x + 3];
          allAlphaZero &= src[4 * x + 3] == 0;
        }
        break;
    }
  }
  if (!m) return;
  if (bitCount == 24 && andComplete) MaskFromAndRows(*m, andBlock, andRowLen, w, ht);
  if (bitCount == 32 && allAlphaZero) {
    // Older writers leave the fourth byte 0 and keep the transparency in the
    // AND rows; without them the picture is opaque, not invisible.
    if (andComplete) MaskFromAndRows(*m, andBlock, andRowLen, w, ht);
    else m->Fill(255);
  }
  if (MaskAllOpaque(*m)) mask.reset();
}

void IEIcoLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  IEIconReadStream(stream, bitmap, params, false, false, mask, false, progress);
}

void IECurLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  IEIconReadStream(stream, bitmap, params, true, false, mask, false, progress);
}
