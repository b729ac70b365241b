#include "tiffilt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ieconvert.h"
#include "ieglobal.h"
#include "iestream.h"
#include "jpegfilt.h"
#include "tifdecomp.h"
#include "tiffifd.h"

namespace {

// Tags.
constexpr uint16_t kTagNewSubfileType = 254;
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagBitsPerSample = 258;
constexpr uint16_t kTagCompression = 259;
constexpr uint16_t kTagPhotometric = 262;
constexpr uint16_t kTagFillOrder = 266;
constexpr uint16_t kTagDocumentName = 269;
constexpr uint16_t kTagImageDescription = 270;
constexpr uint16_t kTagMake = 271;
constexpr uint16_t kTagModel = 272;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagOrientation = 274;
constexpr uint16_t kTagSamplesPerPixel = 277;
constexpr uint16_t kTagRowsPerStrip = 278;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagXResolution = 282;
constexpr uint16_t kTagYResolution = 283;
constexpr uint16_t kTagPlanarConfig = 284;
constexpr uint16_t kTagPageName = 285;
constexpr uint16_t kTagXPosition = 286;
constexpr uint16_t kTagYPosition = 287;
constexpr uint16_t kTagT4Options = 292;
constexpr uint16_t kTagT6Options = 293;
constexpr uint16_t kTagResolutionUnit = 296;
constexpr uint16_t kTagPageNumber = 297;
constexpr uint16_t kTagSoftware = 305;
constexpr uint16_t kTagDateTime = 306;
constexpr uint16_t kTagArtist = 315;
constexpr uint16_t kTagPredictor = 317;
constexpr uint16_t kTagColorMap = 320;
constexpr uint16_t kTagTileWidth = 322;
constexpr uint16_t kTagTileLength = 323;
constexpr uint16_t kTagTileOffsets = 324;
constexpr uint16_t kTagTileByteCounts = 325;
constexpr uint16_t kTagSubIFDs = 330;
constexpr uint16_t kTagExtraSamples = 338;
constexpr uint16_t kTagSampleFormat = 339;
constexpr uint16_t kTagJpegTables = 347;
constexpr uint16_t kTagJpegProc = 512;
constexpr uint16_t kTagJpegIF = 513;
constexpr uint16_t kTagJpegIFLength = 514;
constexpr uint16_t kTagJpegQTables = 519;
constexpr uint16_t kTagJpegDCTables = 520;
constexpr uint16_t kTagJpegACTables = 521;
constexpr uint16_t kTagYCbCrSubSampling = 530;
constexpr uint16_t kTagXmp = 700;
constexpr uint16_t kTagAnnotations = 32932;
constexpr uint16_t kTagIptc = 33723;
constexpr uint16_t kTagImageResources = 34377;
constexpr uint16_t kTagExifIFD = 34665;
constexpr uint16_t kTagIccProfile = 34675;
constexpr uint16_t kTagImageSourceData = 37724;
constexpr uint16_t kTagInteropIFD = 40965;
constexpr uint16_t kTagInteropIndex = 1;

// Photometric interpretations.
constexpr int kWhiteIsZero = 0;
constexpr int kBlackIsZero = 1;
constexpr int kRGB = 2;
constexpr int kPalette = 3;
constexpr int kSeparated = 5;
constexpr int kYCbCr = 6;
constexpr int kCIELab = 8;

constexpr int kMaxExtraSamples = 10;
// More samples than this per pixel is no picture anyone has made.
constexpr int kMaxSamples = 64;

// The most decoded bytes one byte of a strip can give, per compression: the
// plausibility bound against lying sizes. Uncompressed and PackBits data get
// room for files cut short (their missing rows load as zeros).
int64_t ExpansionOf(int compression) {
  switch (compression) {
    case kTiffLzw: return 4096;                          // a 12-bit code stands for up to 4096 bytes
    case kTiffAdobeDeflate: case kTiffDeflate: return 1100;  // zlib's limit is 1032
    case kTiffJpeg: case kTiffOldJpeg: return 2048 * 3;  // as the JPEG reader's bound, three bytes a pixel
    default: return 256;
  }
}

// Bytes read from the file for one page's strips and tiles may exceed the
// file only where strips share data; a file whose strips all claim the whole
// file would otherwise be read once per strip.
constexpr int64_t kReadBudgetSlack = int64_t(64) << 20;

enum TRowKind : uint8_t {
  rkNone,
  rkBilevel,
  rkPalette1,
  rkFloat,
  rkCMYK8,
  rkCMYK16,
  rkLab8,
  rkYCbCr,
  rkGrey12,
  rkGrey16,
  rkGreyAlpha8,
  rkGrey8,
  rkPaletteAlpha8,
  rkPalette8,
  rkRGB555,
  rkRGB16,
  rkRGB8,
};

// The decoding state of one page.
struct TPage {
  int32_t width = 0, height = 0;
  int spp = 1, bits = 1, sampleFormat = 1;
  int photometric = kRGB;
  int planar = 1;
  int orientation = 1;
  int compression = kTiffNone;
  int predictor = 1;
  int fillOrder = 1;
  uint32_t t4 = 0, t6 = 0;
  int64_t rowsPerStrip = 0;
  bool tiled = false;
  int64_t tileWidth = 0, tileLength = 0;
  std::string software;
  int64_t jpegProc = 0, jpegIF = 0, jpegIFLength = 0;
  bool hasJpegIF = false;
  std::vector<int64_t> jpegQ, jpegDC, jpegAC;
  int64_t extraCount = 0;
  int extra[kMaxExtraSamples] = {};
  int ycbcrH = 2, ycbcrV = 2;
  std::vector<int64_t> stripOffsets, stripCounts, tileOffsets, tileCounts;
  bool hasStripCounts = false;
  std::vector<uint8_t> jpegTables;
  std::vector<TRGB> colorMap;
  bool little = true;
};

int32_t ClampInt(int64_t v, int32_t lo, int32_t hi) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, lo, hi));
}

int32_t RoundToInt(double v, int32_t fallback) {
  if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0) return fallback;
  return static_cast<int32_t>(std::nearbyint(v));
}

int32_t TruncToInt(double v) {
  if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0) return 0;
  return static_cast<int32_t>(std::trunc(v));
}

int CompressionCode(int c) {
  switch (c) {
    case kTiffNone: return 0;
    case kTiffCcittRle: return 1;
    case kTiffGroup3: return 2;  // 3 for two-dimensional, set by the caller
    case kTiffGroup4: return 4;
    case kTiffLzw: return 5;
    case kTiffOldJpeg: return 6;
    case kTiffJpeg: return 7;
    case kTiffPackBits: return 8;
    case kTiffDeflate: return 9;
    case kTiffAdobeDeflate: return 10;
    default: return 11;
  }
}

int PhotometricCode(int p, int current) {
  switch (p) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: return p;
    case kCIELab: return 7;
    default: return current;
  }
}

TRowKind KindOf(const TPage& p) {
  const int ph = p.photometric, spp = p.spp, b = p.bits;
  const bool bytes = b >= 1 && b <= 8 && !(b == 1 && spp == 1);  // delivered one byte per sample
  switch (ph) {
    case kWhiteIsZero:
    case kBlackIsZero:
      if (spp == 1 && b == 32 && p.sampleFormat == 3) return rkFloat;
      if (spp == 1 && b == 1) return rkBilevel;
      if (spp == 1 && b == 12) return rkGrey12;
      if (b == 16) return rkGrey16;
      if (bytes) return spp >= 2 ? rkGreyAlpha8 : rkGrey8;
      return rkNone;
    case kPalette:
      if (b == 1 && spp == 1) return rkPalette1;
      if (bytes && spp == 2) return rkPaletteAlpha8;
      if (bytes && spp == 1) return rkPalette8;
      return rkNone;
    case kRGB:
      if (b == 16 && spp == 1) return rkRGB555;
      if (b == 16 && spp >= 3) return rkRGB16;
      if (bytes && spp >= 3) return rkRGB8;
      return rkNone;
    case kSeparated:
      if (bytes && spp >= 4) return rkCMYK8;
      if (b == 16 && spp >= 4) return rkCMYK16;
      return rkNone;
    case kYCbCr:
      return b == 8 && spp == 3 ? rkYCbCr : rkNone;
    case kCIELab:
      return b == 8 && spp >= 3 ? rkLab8 : rkNone;
    default:
      return rkNone;
  }
}

TIEPixelFormat FormatOf(const TPage& p, TRowKind kind, bool native) {
  switch (kind) {
    case rkBilevel: return ie1g;
    case rkPalette8: return native && p.bits == 8 ? ie8p : ie24RGB;
    case rkGrey8: return native && p.bits == 8 ? ie8g : ie24RGB;
    case rkGrey12: case rkGrey16: return native ? ie16g : ie24RGB;
    case rkFloat: return ie32f;
    case rkCMYK8: return native && p.bits == 8 ? ieCMYK : ie24RGB;
    case rkCMYK16: return native && p.spp == 4 ? ieCMYK : ie24RGB;
    case rkRGB16: return native && p.spp == 3 ? ieRGB48 : ie24RGB;
    default: return ie24RGB;
  }
}

// ---------------------------------------------------------------------------
// Reading the page's tags.

// Reads the tags of the loaded directory. False when the page is refused.
bool ReadTags(TIETIFFIFDReader& r, TPage& p) {
  p.little = r.LittleEndian();
  const int64_t w = r.ReadInteger(kTagImageWidth, 0, 0), h = r.ReadInteger(kTagImageLength, 0, 0);
  p.width = ClampInt(w, -1, IELimits::kMaxDimension + 1);
  p.height = ClampInt(h, -1, IELimits::kMaxDimension + 1);
  p.spp = ClampInt(r.ReadInteger(kTagSamplesPerPixel, 0, 1), 0, 0xFFFF);
  if (r.HasTag(kTagBitsPerSample)) {
    const std::vector<int64_t> bits = r.ReadArray(kTagBitsPerSample);
    if (bits.empty()) return false;
    for (int64_t b : bits)
      if (b != bits[0]) return false;
    p.bits = ClampInt(bits[0], 0, 0xFFFF);
  }
  p.compression = ClampInt(r.ReadInteger(kTagCompression, 0, 1), 0, 0xFFFF);
  p.photometric = ClampInt(r.ReadInteger(kTagPhotometric, 0, kRGB), 0, 0xFFFF);
  const bool photometricGiven = r.HasTag(kTagPhotometric);
  p.fillOrder = r.ReadInteger(kTagFillOrder, 0, 1) == 2 ? 2 : 1;
  p.orientation = ClampInt(r.ReadInteger(kTagOrientation, 0, 1), 0, 0xFFFF);
  p.rowsPerStrip = r.ReadInteger(kTagRowsPerStrip, 0, p.height);
  if (p.rowsPerStrip <= 0 || p.rowsPerStrip > p.height) p.rowsPerStrip = p.height;
  p.planar = ClampInt(r.ReadInteger(kTagPlanarConfig, 0, 1), 0, 0xFFFF);
  p.t4 = static_cast<uint32_t>(r.ReadInteger(kTagT4Options, 0, 0));
  p.t6 = static_cast<uint32_t>(r.ReadInteger(kTagT6Options, 0, 0));
  p.predictor = ClampInt(r.ReadInteger(kTagPredictor, 0, 1), 0, 0xFFFF);
  p.sampleFormat = ClampInt(r.ReadInteger(kTagSampleFormat, 0, 1), 0, 0xFFFF);
  p.tiled = r.HasTag(kTagTileWidth) || r.HasTag(kTagTileLength);
  p.tileWidth = r.ReadInteger(kTagTileWidth, 0, 0);
  p.tileLength = r.ReadInteger(kTagTileLength, 0, 0);
  p.software = r.ReadString(kTagSoftware);

  if (const TIETIFFEntry* e = r.FindEntry(kTagExtraSamples)) {
    p.extraCount = static_cast<int64_t>(std::min<uint64_t>(e->Count, 0xFFFF));
    for (int i = 0; i < kMaxExtraSamples && i < p.extraCount; ++i)
      p.extra[i] = ClampInt(r.ReadInteger(kTagExtraSamples, i, 0), 0, 0xFFFF);
  }
  int64_t h2 = r.ReadInteger(kTagYCbCrSubSampling, 0, 2), v2 = r.ReadInteger(kTagYCbCrSubSampling, 1, 2);
  p.ycbcrH = h2 == 0 ? 2 : ClampInt(h2, 0, 0xFFFF);
  p.ycbcrV = v2 == 0 ? 2 : ClampInt(v2, 0, 0xFFFF);

  p.stripOffsets = r.ReadArray(kTagStripOffsets);
  p.hasStripCounts = r.HasTag(kTagStripByteCounts);
  p.stripCounts = r.ReadArray(kTagStripByteCounts);
  p.tileOffsets = r.ReadArray(kTagTileOffsets);
  p.tileCounts = r.ReadArray(kTagTileByteCounts);
  p.jpegTables = r.ReadBytes(kTagJpegTables);
  p.jpegProc = r.ReadInteger(kTagJpegProc, 0, 0);
  p.hasJpegIF = r.HasTag(kTagJpegIF);
  p.jpegIF = r.ReadInteger(kTagJpegIF, 0, 0);
  p.jpegIFLength = r.ReadInteger(kTagJpegIFLength, 0, 0);
  for (int k = 0; k < 7; ++k) {
    p.jpegQ.push_back(r.ReadInteger(kTagJpegQTables, k, 0));
    p.jpegDC.push_back(r.ReadInteger(kTagJpegDCTables, k, 0));
    p.jpegAC.push_back(r.ReadInteger(kTagJpegACTables, k, 0));
  }

  // One-bit pages that do not say black or white. The fax compressions
  // code white runs; everything else is taken as black on zero.
  if (p.spp == 1 && p.bits == 1 && p.photometric != kWhiteIsZero && p.photometric != kBlackIsZero &&
      p.photometric != kPalette)
    p.photometric = p.compression >= kTiffNone && p.compression <= kTiffGroup4 ? kWhiteIsZero : kBlackIsZero;
  // Grey files that forgot the tag.
  if (!photometricGiven && p.spp <= 2 && p.bits != 16 && p.bits != 1) p.photometric = kBlackIsZero;

  if (p.photometric == kPalette && p.bits >= 1 && p.bits <= 8) {
    const std::vector<int64_t> map = r.ReadArray(kTagColorMap);
    const size_t n = size_t(1) << p.bits;
    bool wide = false;
    for (int64_t v : map)
      if (v > 255) wide = true;
    auto value = [&](size_t i) -> uint8_t {
      if (i >= map.size()) return 0;
      const int64_t v = map[i];
      return static_cast<uint8_t>(wide ? (v >> 8) & 0xFF : v & 0xFF);
    };
    p.colorMap.resize(n);
    for (size_t i = 0; i < n; ++i) p.colorMap[i] = TRGB{value(2 * n + i), value(n + i), value(i)};
  }
  return true;
}

// Fills the fields of the parameter record that come from the page's tags.
void FillParams(TIETIFFIFDReader& r, const TPage& p, TIOParams& params) {
  params.BitsPerSample = p.bits;
  params.SamplesPerPixel = p.spp;
  params.Width = params.OriginalWidth = std::max(p.width, 0);
  params.Height = params.OriginalHeight = std::max(p.height, 0);

  const int64_t unit = r.ReadInteger(kTagResolutionUnit, 0, 2);
  const double factor = unit == 3 ? 2.54 : 1.0;
  const double xres = r.ReadReal(kTagXResolution, 0, 300.0) * factor;
  const double yres = r.ReadReal(kTagYResolution, 0, 300.0) * factor;
  int32_t dpiX = RoundToInt(xres, 300), dpiY = RoundToInt(yres, 300);
  params.SetDpiX(dpiX == 0 ? 300 : dpiX);
  params.SetDpiY(dpiY == 0 ? 300 : dpiY);
  // The setters stored the rounded values; keep the exact ones.
  if (std::isfinite(xres) && dpiX != 0) params.ExifXResolution = xres;
  if (std::isfinite(yres) && dpiY != 0) params.ExifYResolution = yres;
  params.TiffResolutionUnit = ClampInt(unit, INT32_MIN, INT32_MAX);
  params.TiffXPos = TruncToInt(r.ReadReal(kTagXPosition, 0, 0.0) * factor);
  params.TiffYPos = TruncToInt(r.ReadReal(kTagYPosition, 0, 0.0) * factor);

  params.ColorMap = p.colorMap;
  int code = CompressionCode(p.compression);
  if (code == 2 && (p.t4 & 1)) code = 3;
  params.TiffCompression = code;
  params.TiffPhotometric = PhotometricCode(p.photometric, params.TiffPhotometric);
  params.TiffPlanarConfig = p.planar;
  params.TiffOrientation = p.orientation;
  params.TiffFillOrder = p.fillOrder;
  params.TiffLittleEndian = r.LittleEndian();
  params.TiffBig = r.BigTiff();
  params.TiffNewSubfileType = ClampInt(r.ReadInteger(kTagNewSubfileType, 0, 0), INT32_MIN, INT32_MAX);
  params.TiffDocumentName = r.ReadString(kTagDocumentName);
  params.TiffImageDescription = r.ReadString(kTagImageDescription);
  params.TiffPageName = r.ReadString(kTagPageName);
  params.TiffPageNumber = {ClampInt(r.ReadInteger(kTagPageNumber, 0, 0), INT32_MIN, INT32_MAX),
                           ClampInt(r.ReadInteger(kTagPageNumber, 1, 0), INT32_MIN, INT32_MAX)};
  params.ExifMake = r.ReadString(kTagMake);
  params.ExifModel = r.ReadString(kTagModel);
  params.ExifDateTime = r.ReadString(kTagDateTime);
  params.ExifSoftware = p.software;
  params.ExifArtist = r.ReadString(kTagArtist);

  params.InputICCProfile = r.ReadBytes(kTagIccProfile);
  if (params.ReadMetadata) {
    params.IptcData = r.ReadBytes(kTagIptc);
    const std::vector<uint8_t> xmp = r.ReadBytes(kTagXmp);
    params.XmpData.assign(xmp.begin(), xmp.end());
    params.Annotations = r.ReadBytes(kTagAnnotations);
    params.TiffImageResources = r.ReadBytes(kTagImageResources);
    params.TiffImageSourceData = r.ReadBytes(kTagImageSourceData);
  }
}

// The EXIF directory and its interoperability directory. Loads other
// directories into r, so it comes after everything else is read.
void ReadExif(TIETIFFIFDReader& r, TIOParams& params) {
  const int64_t exif = r.ReadInteger(kTagExifIFD, 0, 0);
  if (exif <= 0 || !r.LoadDirectoryAt(static_cast<uint64_t>(exif))) return;
  params.ExifHasExifData = true;
  const int64_t interop = r.ReadInteger(kTagInteropIFD, 0, 0);
  if (interop > 0 && static_cast<uint64_t>(interop) != static_cast<uint64_t>(exif) &&
      r.LoadDirectoryAt(static_cast<uint64_t>(interop)))
    params.ExifInteropIndex = r.ReadString(kTagInteropIndex);
}

// ---------------------------------------------------------------------------
// Orientation.

void OrientedPosition(int o, int w, int h, int x, int y, int& tx, int& ty) {
  tx = x, ty = y;
  switch (o) {
    case 2: tx = w - 1 - x; break;
    case 3: tx = w - 1 - x, ty = h - 1 - y; break;
    case 4: ty = h - 1 - y; break;
    case 5: tx = y, ty = x; break;
    case 6: tx = h - 1 - y, ty = x; break;
    case 7: tx = h - 1 - y, ty = w - 1 - x; break;
    case 8: tx = y, ty = w - 1 - x; break;
    default: break;
  }
}

// The byte formats go through the JPEG reader's step; one-bit pages and the
// mask are turned here.
void Orient(TIEBitmap& bitmap, std::unique_ptr<TIEMask>& mask, int o) {
  if (o < 2 || o > 8 || bitmap.IsEmpty()) return;
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool quarter = o >= 5;
  const int nw = quarter ? h : w, nh = quarter ? w : h;
  if (mask && mask->Width() == w && mask->Height() == h) {
    TIEMask turned(nw, nh, 8);
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = mask->Scanline(y);
      for (int x = 0; x < w; ++x) {
        int tx, ty;
        OrientedPosition(o, w, h, x, y, tx, ty);
        turned.Scanline(ty)[tx] = row[x];
      }
    }
    *mask = turned;
  }
  if (bitmap.PixelFormat() != ie1g) {
    IEApplyExifOrientation(bitmap, o);
    return;
  }
  TIEBitmap turned;
  turned.SetLocation(bitmap.Location());
  if (!turned.Allocate(nw, nh, ie1g)) return;
  std::vector<uint8_t> row;
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = bitmap.Scanline(y);
    row.assign(src, src + (w + 7) / 8);
    for (int x = 0; x < w; ++x) {
      if (!(row[x >> 3] & (0x80 >> (x & 7)))) continue;
      int tx, ty;
      OrientedPosition(o, w, h, x, y, tx, ty);
      turned.Scanline(ty)[tx >> 3] |= static_cast<uint8_t>(0x80 >> (tx & 7));
    }
  }
  std::vector<uint8_t> icc = bitmap.InputICCProfile();
  bitmap.Assign(&turned);
  bitmap.InputICCProfile() = std::move(icc);
}

// ---------------------------------------------------------------------------
// Colour.

struct TYCbCrTables {
  int crR[256], cbB[256], crG[256], cbG[256];
  TYCbCrTables() {
    // ITU-R BT.601 coefficients and the full-range reference of TIFF's defaults.
    for (int i = 0; i < 256; ++i) {
      const int c = i - 128;
      crR[i] = static_cast<int>(std::lround(1.402 * c * 65536));
      cbB[i] = static_cast<int>(std::lround(1.772 * c * 65536));
      crG[i] = static_cast<int>(std::lround(-0.714136 * c * 65536));
      cbG[i] = static_cast<int>(std::lround(-0.344136 * c * 65536));
    }
  }
};
const TYCbCrTables& YCbCr() {
  static const TYCbCrTables t;
  return t;
}

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

inline void YCbCrToBGR(int y, int cb, int cr, uint8_t* o) {
  const TYCbCrTables& t = YCbCr();
  const int y16 = (y << 16) + 32768;
  o[0] = Clamp255((y16 + t.cbB[cb]) >> 16);
  o[1] = Clamp255((y16 + t.cbG[cb] + t.crG[cr]) >> 16);
  o[2] = Clamp255((y16 + t.crR[cr]) >> 16);
}

// Premultiplied colour back to straight colour.
inline uint8_t Unassociate(uint8_t c, uint8_t a) {
  if (a == 255) return c;
  const int v = a == 0 ? (c ? 255 : 0) : c * 255 / a;
  return static_cast<uint8_t>(v > 255 ? 255 : v);
}

// Red, green, blue to blue, green, red between buffers that never overlap,
// so the compiler is free to vectorise: this runs once per pixel of every
// RGB page.
void RGBToBGR(const uint8_t* __restrict s, uint8_t* __restrict d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    d[3 * i] = s[3 * i + 2];
    d[3 * i + 1] = s[3 * i + 1];
    d[3 * i + 2] = s[3 * i];
  }
}

// ---------------------------------------------------------------------------
// Decoding into the bitmap.

class TPageDecoder {
public:
  TPageDecoder(TPage& p, TIEStream& stream, int64_t base, TIEBitmap& bitmap, TIEMask* mask,
               TProgressRecord& progress, TIOParams& params, TRowKind kind)
      : p_(p), stream_(stream), base_(base), bitmap_(bitmap), mask_(mask), progress_(progress),
        params_(params), kind_(kind) {
    streamSize_ = stream_.Size();
    const int64_t fileBytes = std::max<int64_t>(streamSize_ - base_, 0);
    budget_ = fileBytes > (INT64_MAX - kReadBudgetSlack) / 4 ? INT64_MAX : fileBytes * 4 + kReadBudgetSlack;
    format_ = bitmap.PixelFormat();
    pixelBytes_ = IEBitsPerPixel(format_) / 8;
    invertBilevel_ = (p.photometric == kWhiteIsZero && !IETiffIsCcitt(p.compression)) ||
                     (p.photometric == kBlackIsZero && IETiffIsCcitt(p.compression));
    subsampled_ = kind == rkYCbCr && p.compression != kTiffJpeg && (p.ycbcrH != 1 || p.ycbcrV != 1);
  }

  // Decodes the whole page, or the one tile asked for. False: the page
  // fails (abort flag set by the caller).
  bool Run(int64_t tileIndex);

private:
  TIETiffRowFormat RowFormat(int samples) const;
  bool Strips();
  bool PlanarStrips();
  bool Tiles(int64_t tileIndex);
  // Decodes rows rows of width w whose top left lands at (x, y).
  bool Block(int64_t offset, int64_t count, int64_t x, int64_t y, int64_t w, int64_t rows);
  bool JpegBlock(const std::vector<uint8_t>& data, int64_t x, int64_t y, int64_t w, int64_t rows);
  std::vector<uint8_t> ReadBlock(int64_t offset, int64_t count, int64_t limit);
  void Place(const uint8_t* src, int64_t x, int64_t y, int64_t w, int subRow);
  void Convert(const uint8_t* src, int64_t w, uint8_t* dst, uint8_t* m, int subRow);
  void Blit(const uint8_t* conv, const uint8_t* mrow, int64_t x, int64_t y, int64_t visible);
  void Progress(int64_t rows);

  TPage& p_;
  TIEStream& stream_;
  int64_t base_;
  TIEBitmap& bitmap_;
  TIEMask* mask_;
  TProgressRecord& progress_;
  TIOParams& params_;
  TRowKind kind_;
  TIEPixelFormat format_ = ie24RGB;
  int pixelBytes_ = 3;
  int64_t streamSize_ = 0;
  int64_t budget_ = 0;
  bool invertBilevel_ = false;
  bool subsampled_ = false;
  std::vector<uint8_t> conv_, maskRow_, chunky_;
  int64_t rowsDone_ = 0, rowsTotal_ = 1;
  int lastPercent_ = -1;
};

TIETiffRowFormat TPageDecoder::RowFormat(int samples) const {
  TIETiffRowFormat f;
  f.Compression = p_.compression;
  f.BitsPerSample = p_.bits;
  f.SamplesPerPixel = samples;
  f.SampleFormat = p_.sampleFormat;
  f.ScaleToBytes = p_.photometric != kPalette;
  f.FillOrder = p_.fillOrder;
  f.T4Options = p_.t4;
  f.Predictor = subsampled_ ? 1 : p_.predictor;
  f.LittleEndian = p_.little;
  f.LzwDecoder = params_.TiffLzwDecoder ? params_.TiffLzwDecoder : IEGlobalSettings().TiffLzwDecoder;
  return f;
}

void TPageDecoder::Progress(int64_t rows) {
  rowsDone_ += rows;
  if (!progress_.fnet) return;
  const int percent = static_cast<int>(std::min<int64_t>(rowsDone_, rowsTotal_) * 100 / rowsTotal_);
  if (percent != lastPercent_) {
    lastPercent_ = percent;
    progress_.Report(percent);
  }
}

std::vector<uint8_t> TPageDecoder::ReadBlock(int64_t offset, int64_t count, int64_t limit) {
  std::vector<uint8_t> data;
  if (offset < 0 || offset > streamSize_ - base_) return data;
  const int64_t at = base_ + offset;
  int64_t n = count <= 0 ? streamSize_ - at : std::min(count, streamSize_ - at);
  n = std::min({n, limit, budget_});
  if (n <= 0) return data;
  budget_ -= n;
  data.resize(static_cast<size_t>(n));
  stream_.SetPosition(at);
  const int64_t got = stream_.Read(data.data(), n);
  data.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
  return data;
}

// One converted row of w pixels into dst (the target format) and m (w mask
// bytes, or null).
void TPageDecoder::Convert(const uint8_t* s, int64_t w, uint8_t* d, uint8_t* m, int subRow) {
  const int spp = p_.spp;
  const std::vector<TRGB>& map = p_.colorMap;
  auto colour = [&](int index, uint8_t* o) {
    const TRGB c = static_cast<size_t>(index) < map.size() ? map[static_cast<size_t>(index)] : TRGB{};
    o[0] = c.b, o[1] = c.g, o[2] = c.r;
  };
  const bool le = p_.little;
  auto word = [&](const uint8_t* q) -> int { return le ? q[0] | (q[1] << 8) : (q[0] << 8) | q[1]; };
  const int hi = le ? 1 : 0;  // high byte of a 16-bit sample
  const bool whiteIsZero = p_.photometric == kWhiteIsZero;

  switch (kind_) {
    case rkBilevel: {
      const int64_t n = (w + 7) / 8;
      if (invertBilevel_)
        for (int64_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(~s[i]);
      else
        std::memcpy(d, s, static_cast<size_t>(n));
      break;
    }
    case rkPalette1:
      for (int64_t x = 0; x < w; ++x) {
        const int bit = (s[x >> 3] >> (7 - (x & 7))) & 1;
        if (format_ == ie8p) d[x] = static_cast<uint8_t>(bit);
        else colour(bit, d + 3 * x);
      }
      break;
    case rkFloat:
      std::memcpy(d, s, static_cast<size_t>(w * 4));
      if (!le)
        for (int64_t i = 0; i < w; ++i) std::reverse(d + 4 * i, d + 4 * i + 4);
      break;
    case rkCMYK8:
    case rkCMYK16: {
      const int step = kind_ == rkCMYK16 ? 2 : 1;
      const int off = kind_ == rkCMYK16 ? hi : 0;
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* q = s + x * spp * step;
        const uint8_t c = 255 - q[off], mg = 255 - q[step + off], y = 255 - q[2 * step + off],
                      k = 255 - q[3 * step + off];
        if (format_ == ieCMYK) {
          uint8_t* o = d + 4 * x;
          o[0] = c, o[1] = mg, o[2] = y, o[3] = k;
        } else {
          const TRGB rgb = IECMYKToRGB(c, mg, y, k);
          d[3 * x] = rgb.b, d[3 * x + 1] = rgb.g, d[3 * x + 2] = rgb.r;
        }
        if (m && spp > 4) m[x] = q[4 * step + off];
      }
      break;
    }
    case rkLab8:
      if (spp == 3) {
        IECIELabRowToBGR(s, d, w);
      } else {
        for (int64_t x = 0; x < w; ++x) IECIELabRowToBGR(s + x * spp, d + 3 * x, 1);
      }
      break;
    case rkYCbCr:
      if (!subsampled_) {
        for (int64_t x = 0; x < w; ++x) YCbCrToBGR(s[3 * x], s[3 * x + 1], s[3 * x + 2], d + 3 * x);
      } else {
        // Units of H x V luma samples, then Cb and Cr, covering H x V pixels.
        const int H = p_.ycbcrH, V = p_.ycbcrV, unit = H * V + 2;
        for (int64_t x = 0; x < w; ++x) {
          const uint8_t* u = s + (x / H) * unit;
          YCbCrToBGR(u[subRow * H + x % H], u[H * V], u[H * V + 1], d + 3 * x);
        }
      }
      break;
    case rkGrey12:
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* q = s + (x / 2) * 3;
        int v = x & 1 ? ((q[1] & 15) << 8) | q[2] : (q[0] << 4) | (q[1] >> 4);
        if (whiteIsZero) v = 4095 - v;
        if (format_ == ie16g) {
          const int v16 = v << 4;
          d[2 * x] = static_cast<uint8_t>(v16), d[2 * x + 1] = static_cast<uint8_t>(v16 >> 8);
        } else {
          d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = static_cast<uint8_t>(v >> 4);
        }
      }
      break;
    case rkGrey16: {
      // An old scanner program wrote 12-bit values into 16-bit samples.
      const bool twelve = p_.software.compare(0, 15, "Look@Molli v1.1") == 0;
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* q = s + x * spp * 2;
        int v = word(q);
        if (p_.sampleFormat == 2) v = (v - 0x8000) & 0xFFFF;
        if (whiteIsZero) v = 0xFFFF - v;
        if (format_ == ie16g) {
          d[2 * x] = static_cast<uint8_t>(v), d[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        } else {
          const int g = twelve ? std::min(v >> 4, 255) : v >> 8;
          d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = static_cast<uint8_t>(g);
        }
        if (m && spp >= 2) m[x] = q[2 + hi];
      }
      break;
    }
    case rkGreyAlpha8: {
      const bool associated = p_.extraCount > 0 && p_.extra[0] == 1;
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* q = s + x * spp;
        uint8_t g = whiteIsZero ? 255 - q[0] : q[0];
        if (m) {
          m[x] = q[1];
          if (associated) g = Unassociate(g, q[1]);
        }
        if (format_ == ie8g) d[x] = g;
        else d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = g;
      }
      break;
    }
    case rkGrey8:
      if (format_ == ie8g) {
        if (whiteIsZero)
          for (int64_t x = 0; x < w; ++x) d[x] = 255 - s[x];
        else
          std::memcpy(d, s, static_cast<size_t>(w));
      } else {
        for (int64_t x = 0; x < w; ++x) {
          const uint8_t g = whiteIsZero ? 255 - s[x] : s[x];
          d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = g;
        }
      }
      break;
    case rkPaletteAlpha8:
      for (int64_t x = 0; x < w; ++x) {
        colour(s[2 * x], d + 3 * x);
        if (m) m[x] = s[2 * x + 1];
      }
      break;
    case rkPalette8:
      if (format_ == ie8p) std::memcpy(d, s, static_cast<size_t>(w));
      else
        for (int64_t x = 0; x < w; ++x) colour(s[x], d + 3 * x);
      break;
    case rkRGB555:
      for (int64_t x = 0; x < w; ++x) {
        const int v = s[2 * x] | (s[2 * x + 1] << 8);
        d[3 * x] = static_cast<uint8_t>((v & 31) * 8);
        d[3 * x + 1] = static_cast<uint8_t>(((v >> 5) & 31) * 8);
        d[3 * x + 2] = static_cast<uint8_t>(((v >> 10) & 31) * 8);
      }
      break;
    case rkRGB16:
    case rkRGB8: {
      const bool wide = kind_ == rkRGB16;
      const int step = wide ? 2 : 1;
      if (!wide && spp == 3 && !m) {
        RGBToBGR(s, d, w);
        break;
      }
      const int off = wide ? hi : 0;
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* q = s + x * spp * step;
        int associated = -1;
        if (m) {
          for (int e = 0; e + 3 < spp && e < kMaxExtraSamples && e < p_.extraCount; ++e) {
            const uint8_t a = q[(3 + e) * step + off];
            if (p_.extra[e] == 1) m[x] = a, associated = a;
            else if (p_.extra[e] == 2) m[x] = a;
          }
        }
        if (format_ == ieRGB48) {
          uint8_t* o = d + 6 * x;
          for (int c = 0; c < 3; ++c) {
            const int v = word(q + 2 * c);
            o[2 * c] = static_cast<uint8_t>(v), o[2 * c + 1] = static_cast<uint8_t>(v >> 8);
          }
          continue;
        }
        uint8_t r = q[off], g = q[step + off], b = q[2 * step + off];
        if (associated >= 0) {
          const uint8_t a = static_cast<uint8_t>(associated);
          r = Unassociate(r, a), g = Unassociate(g, a), b = Unassociate(b, a);
        }
        d[3 * x] = b, d[3 * x + 1] = g, d[3 * x + 2] = r;
      }
      break;
    }
    case rkNone:
      break;
  }
}

// Copies visible pixels of a converted row of the strip or tile to column x.
void TPageDecoder::Blit(const uint8_t* conv, const uint8_t* mrow, int64_t x, int64_t y, int64_t visible) {
  uint8_t* row = bitmap_.Scanline(static_cast<int>(y));
  if (format_ == ie1g) {
    for (int64_t i = 0; i < visible; ++i) {
      const int64_t tx = x + i;
      const uint8_t bit = static_cast<uint8_t>(0x80 >> (tx & 7));
      if (conv[i >> 3] & (0x80 >> (i & 7))) row[tx >> 3] |= bit;
      else row[tx >> 3] &= static_cast<uint8_t>(~bit);
    }
  } else {
    std::memcpy(row + x * pixelBytes_, conv, static_cast<size_t>(visible * pixelBytes_));
  }
  if (mask_ && mrow) std::memcpy(mask_->Scanline(static_cast<int>(y)) + x, mrow, static_cast<size_t>(visible));
}

void TPageDecoder::Place(const uint8_t* src, int64_t x, int64_t y, int64_t w, int subRow) {
  const int64_t W = bitmap_.Width(), H = bitmap_.Height();
  if (y < 0 || y >= H || x >= W) return;
  const int64_t visible = std::min(w, W - x);
  if (x == 0 && w == W) {
    // The common case: straight into the bitmap's own row.
    Convert(src, w, bitmap_.Scanline(static_cast<int>(y)), mask_ ? mask_->Scanline(static_cast<int>(y)) : nullptr,
            subRow);
    return;
  }
  Convert(src, w, conv_.data(), mask_ ? maskRow_.data() : nullptr, subRow);
  Blit(conv_.data(), mask_ ? maskRow_.data() : nullptr, x, y, visible);
}

bool TPageDecoder::Block(int64_t offset, int64_t count, int64_t x, int64_t y, int64_t w, int64_t rows) {
  const int64_t H = bitmap_.Height();
  const int64_t visibleRows = std::min(rows, H - y);
  if (visibleRows <= 0) return true;
  const int V = subsampled_ ? p_.ycbcrV : 1;
  const int64_t units = (rows + V - 1) / V, visibleUnits = (visibleRows + V - 1) / V;

  if (p_.compression == kTiffJpeg) {
    // The shared tables are parsed again for every strip: they count too.
    const int64_t tables = static_cast<int64_t>(p_.jpegTables.size());
    if (budget_ < tables) return false;
    budget_ -= tables;
    std::vector<uint8_t> data = ReadBlock(offset, count, streamSize_);
    return JpegBlock(data, x, y, w, rows);
  }
  TIETiffRowFormat f = RowFormat(p_.spp);
  f.Width = static_cast<int32_t>(w);
  if (subsampled_) {
    const int64_t H2 = p_.ycbcrH;
    f.PackedRowBytes = (w + H2 - 1) / H2 * (H2 * V + 2);
  }
  TIETiffRowDecoder dec(f);
  if (!dec.Valid()) return false;

  if (p_.compression == kTiffNone) {
    // Straight from the file, one row at a time; rows past its end are zeros.
    const int64_t at = offset >= 0 && offset <= streamSize_ - base_ ? base_ + offset : streamSize_;
    stream_.SetPosition(at);
    const int64_t rowBytes = dec.PackedRowBytes();
    for (int64_t u = 0; u < visibleUnits; ++u) {
      uint8_t* raw = dec.PackedBuffer();
      const int64_t got = std::max<int64_t>(stream_.Read(raw, rowBytes), 0);
      if (got < rowBytes) std::memset(raw + got, 0, static_cast<size_t>(rowBytes - got));
      const uint8_t* row = dec.Finish();
      for (int v = 0; v < V && u * V + v < visibleRows; ++v) Place(row, x, y + u * V + v, w, v);
    }
  } else {
    // Compressed data never needs more than a generous multiple of its rows.
    int64_t limit = INT64_MAX;
    int64_t raw = 0;
    if (IECheckedMul(dec.PackedRowBytes(), units, raw) && raw < INT64_MAX / 64 - (1 << 20))
      limit = raw * 64 + (1 << 20);
    std::vector<uint8_t> data = ReadBlock(offset, count, limit);
    dec.StartStrip(data.data(), static_cast<int64_t>(data.size()), units);
    for (int64_t u = 0; u < visibleUnits; ++u) {
      const uint8_t* row = dec.NextRow();
      if (!row) return false;
      for (int v = 0; v < V && u * V + v < visibleRows; ++v) Place(row, x, y + u * V + v, w, v);
    }
    dec.EndStrip();
  }
  return true;
}

bool TPageDecoder::JpegBlock(const std::vector<uint8_t>& data, int64_t x, int64_t y, int64_t w, int64_t rows) {
  TIEMemoryStream stream(data.data(), static_cast<int64_t>(data.size()));
  TIEMemoryStream tables(p_.jpegTables.data(), static_cast<int64_t>(p_.jpegTables.size()));
  TIEJpegReadOptions options;
  options.Tables = p_.jpegTables.empty() ? nullptr : &tables;
  options.NativeFormat = format_ != ie24RGB;
  options.ReadICC = false;
  options.ReadMetadata = false;
  // TIFF stores inks as they are; the reader's CMYK rule expects them inverted.
  options.InvertCMYK = p_.photometric == kSeparated;
  // Strips carry no JFIF or Adobe marker; the photometric tag says what they hold.
  switch (p_.photometric) {
    case kWhiteIsZero: case kBlackIsZero: options.ColorSpace = 1; break;
    case kRGB: options.ColorSpace = 2; break;
    case kYCbCr: options.ColorSpace = 3; break;
    case kSeparated: options.ColorSpace = 4; break;
    default: break;
  }
  TIOParams scratch;
  scratch.JpegDctMethod = params_.JpegDctMethod;
  bool aborted = false;
  TProgressRecord local;
  local.Aborting = &aborted;
  TIEBitmap decoded;
  decoded.SetLocation(bitmap_.Location());
  IEJpegReadStream(stream, &decoded, scratch, local, options);
  if (aborted || decoded.IsEmpty()) return false;
  if (decoded.PixelFormat() != format_) decoded.SetPixelFormat(format_);
  if (decoded.PixelFormat() != format_) return false;
  const bool invert = (format_ == ieCMYK && p_.photometric == kSeparated) ||
                      (format_ == ie8g && p_.photometric == kWhiteIsZero);
  const int64_t W = bitmap_.Width(), H = bitmap_.Height();
  const int64_t cols = std::min<int64_t>({w, decoded.Width(), W - x});
  const int64_t n = std::min<int64_t>({rows, decoded.Height(), H - y});
  std::vector<uint8_t> line(static_cast<size_t>(std::max<int64_t>(cols, 0) * pixelBytes_));
  for (int64_t r = 0; r < n && cols > 0; ++r) {
    const uint8_t* src = decoded.Scanline(static_cast<int>(r));
    std::memcpy(line.data(), src, line.size());
    if (invert)
      for (uint8_t& b : line) b = static_cast<uint8_t>(255 - b);
    if (format_ == ie24RGB && p_.photometric == kWhiteIsZero)
      for (uint8_t& b : line) b = static_cast<uint8_t>(255 - b);
    std::memcpy(bitmap_.Scanline(static_cast<int>(y + r)) + x * pixelBytes_, line.data(), line.size());
  }
  return true;
}

bool TPageDecoder::Strips() {
  const int64_t H = bitmap_.Height();
  const int64_t rps = p_.rowsPerStrip;
  const int64_t needed = (H + rps - 1) / rps;
  const int64_t count = std::min<int64_t>(static_cast<int64_t>(p_.stripOffsets.size()), needed);
  rowsTotal_ = std::max<int64_t>(H, 1);
  for (int64_t i = 0; i < count; ++i) {
    const int64_t y = i * rps;
    const int64_t rows = std::min(rps, H - y);
    const int64_t bytes = i < static_cast<int64_t>(p_.stripCounts.size()) ? p_.stripCounts[static_cast<size_t>(i)] : 0;
    if (!Block(p_.stripOffsets[static_cast<size_t>(i)], bytes, 0, y, bitmap_.Width(), rows)) return false;
    Progress(rows);
    if (progress_.Aborted()) return true;
  }
  return true;
}

// Each plane of a strip row group is decoded on its own and the samples are
// put side by side, so every layout the chunky rules know works planar too.
bool TPageDecoder::PlanarStrips() {
  const int spp = p_.spp;
  const int64_t W = bitmap_.Width(), H = bitmap_.Height();
  const int64_t rps = p_.rowsPerStrip;
  const int64_t perPlane = static_cast<int64_t>(p_.stripOffsets.size()) / spp;
  const int64_t groups = std::min<int64_t>(perPlane, (H + rps - 1) / rps);
  if (p_.compression == kTiffJpeg || subsampled_) return false;
  TIETiffRowFormat f = RowFormat(1);
  f.Width = static_cast<int32_t>(W);
  f.UnpackBits = spp > 1;
  std::vector<std::unique_ptr<TIETiffRowDecoder>> planes;
  for (int s = 0; s < spp; ++s) {
    planes.push_back(std::make_unique<TIETiffRowDecoder>(f));
    if (!planes.back()->Valid()) return false;
  }
  const int sampleBytes = std::max(1, planes[0]->DeliveredBits() / 8);
  if (planes[0]->DeliveredBits() % 8 != 0 && spp > 1) return false;
  int64_t chunkyBytes = 0;
  if (!IECheckedMul(W * spp, sampleBytes, chunkyBytes)) return false;
  chunky_.assign(static_cast<size_t>(chunkyBytes) + 8, 0);
  rowsTotal_ = std::max<int64_t>(H, 1);
  std::vector<std::vector<uint8_t>> data(static_cast<size_t>(spp));
  for (int64_t g = 0; g < groups; ++g) {
    const int64_t y = g * rps;
    const int64_t rows = std::min(rps, H - y);
    for (int s = 0; s < spp; ++s) {
      const size_t i = static_cast<size_t>(s * perPlane + g);
      const int64_t bytes = i < p_.stripCounts.size() ? p_.stripCounts[i] : 0;
      TIETiffRowDecoder& dec = *planes[static_cast<size_t>(s)];
      int64_t limit = INT64_MAX, raw = 0;
      if (IECheckedMul(dec.PackedRowBytes(), rows, raw) && raw < INT64_MAX / 64 - (1 << 20))
        limit = raw * 64 + (1 << 20);
      if (p_.compression == kTiffNone) {
        int64_t full = 0;
        if (!IECheckedMul(dec.PackedRowBytes(), rows, full)) return false;
        data[static_cast<size_t>(s)] = ReadBlock(p_.stripOffsets[i], full, full);
      } else {
        data[static_cast<size_t>(s)] = ReadBlock(p_.stripOffsets[i], bytes, limit);
      }
      dec.StartStrip(data[static_cast<size_t>(s)].data(), static_cast<int64_t>(data[static_cast<size_t>(s)].size()),
                     rows);
    }
    for (int64_t r = 0; r < rows; ++r) {
      for (int s = 0; s < spp; ++s) {
        const uint8_t* row = planes[static_cast<size_t>(s)]->NextRow();
        if (!row) return false;
        if (spp == 1) {
          std::memcpy(chunky_.data(), row, static_cast<size_t>(planes[0]->RowBytes()));
          continue;
        }
        uint8_t* o = chunky_.data() + s * sampleBytes;
        for (int64_t x = 0; x < W; ++x)
          std::memcpy(o + x * spp * sampleBytes, row + x * sampleBytes, static_cast<size_t>(sampleBytes));
      }
      Place(chunky_.data(), 0, y + r, W, 0);
    }
    for (auto& d : planes) d->EndStrip();
    Progress(rows);
    if (progress_.Aborted()) return true;
  }
  return true;
}

bool TPageDecoder::Tiles(int64_t tileIndex) {
  const int64_t W = bitmap_.Width(), H = bitmap_.Height();
  const int64_t tw = p_.tileWidth, tl = p_.tileLength;
  const bool stripsAsTiles = p_.tileOffsets.empty();
  const std::vector<int64_t>& offsets = stripsAsTiles ? p_.stripOffsets : p_.tileOffsets;
  const std::vector<int64_t>& counts = stripsAsTiles ? p_.stripCounts : p_.tileCounts;
  const int64_t across = (static_cast<int64_t>(p_.width) + tw - 1) / tw;
  const int64_t down = (static_cast<int64_t>(p_.height) + tl - 1) / tl;
  int64_t grid = 0;
  if (!IECheckedMul(across, down, grid)) return false;
  const int64_t first = tileIndex >= 0 ? tileIndex : 0;
  const int64_t last = tileIndex >= 0 ? tileIndex + 1 : std::min<int64_t>(static_cast<int64_t>(offsets.size()), grid);
  if (first >= static_cast<int64_t>(offsets.size()) || first >= grid) return false;
  rowsTotal_ = std::max<int64_t>((last - first) * tl, 1);
  int64_t x = 0, y = 0;
  for (int64_t i = first; i < last; ++i) {
    const int64_t bytes = i < static_cast<int64_t>(counts.size()) ? counts[static_cast<size_t>(i)] : 0;
    if (!Block(offsets[static_cast<size_t>(i)], bytes, x, y, tw, tl)) return false;
    Progress(tl);
    if (progress_.Aborted()) return true;
    x += tw;
    if (x >= W) {
      x = 0;
      y += tl;
      if (y >= H) break;
    }
  }
  return true;
}

bool TPageDecoder::Run(int64_t tileIndex) {
  const int64_t w = p_.tiled ? p_.tileWidth : bitmap_.Width();
  conv_.assign(static_cast<size_t>(w * std::max(pixelBytes_, 1) + 8), 0);
  maskRow_.assign(static_cast<size_t>(w + 8), 255);
  if (p_.tiled) {
    if (p_.planar == 2) return false;
    return Tiles(tileIndex);
  }
  if (p_.stripOffsets.empty()) return false;
  return p_.planar == 2 && p_.spp > 1 ? PlanarStrips() : Strips();
}

// ---------------------------------------------------------------------------
// Old-style JPEG (compression 6).

void PutMarker(std::vector<uint8_t>& v, uint8_t marker, size_t length) {
  v.push_back(0xFF);
  v.push_back(marker);
  v.push_back(static_cast<uint8_t>(length >> 8));
  v.push_back(static_cast<uint8_t>(length));
}

std::vector<uint8_t> ReadAt(TIEStream& s, int64_t base, int64_t offset, int64_t count) {
  std::vector<uint8_t> out;
  const int64_t size = s.Size();
  if (offset < 0 || count <= 0 || offset >= size - base) return out;
  count = std::min(count, size - base - offset);
  out.resize(static_cast<size_t>(count));
  s.SetPosition(base + offset);
  out.resize(static_cast<size_t>(std::max<int64_t>(s.Read(out.data(), count), 0)));
  return out;
}

// A JPEG stream built from the table tags and the first tile.
std::vector<uint8_t> SynthesiseOldJpeg(TIEStream& s, int64_t base, const TPage& p) {
  std::vector<uint8_t> j = {0xFF, 0xD8};
  PutMarker(j, 0xE0, 16);
  j.insert(j.end(), {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 72, 0, 72, 0, 0});
  for (int k = 0; k < 4 && k < static_cast<int>(p.jpegQ.size()) && p.jpegQ[static_cast<size_t>(k)] > 0; ++k) {
    std::vector<uint8_t> q = ReadAt(s, base, p.jpegQ[static_cast<size_t>(k)], 64);
    if (q.size() != 64) return {};
    PutMarker(j, 0xDB, 67);
    j.push_back(static_cast<uint8_t>(k));
    j.insert(j.end(), q.begin(), q.end());
  }
  const int n = std::min(p.spp, 4);
  if (n < 1 || p.width > 65535 || p.height > 65535) return {};
  PutMarker(j, 0xC0, static_cast<size_t>(8 + 3 * n));
  j.insert(j.end(), {8, static_cast<uint8_t>(p.height >> 8), static_cast<uint8_t>(p.height),
                     static_cast<uint8_t>(p.width >> 8), static_cast<uint8_t>(p.width), static_cast<uint8_t>(n)});
  for (int k = 0; k < n; ++k) j.insert(j.end(), {static_cast<uint8_t>(k + 1), 0x11, static_cast<uint8_t>(k)});
  for (int cls = 0; cls < 2; ++cls) {
    const std::vector<int64_t>& at = cls == 0 ? p.jpegDC : p.jpegAC;
    for (int k = 0; k < n; ++k) {
      std::vector<uint8_t> counts = ReadAt(s, base, at[static_cast<size_t>(k)], 16);
      if (counts.size() != 16 || at[static_cast<size_t>(k)] <= 0) return {};
      size_t total = 0;
      for (uint8_t c : counts) total += c;
      if (total > 256) return {};
      std::vector<uint8_t> values = ReadAt(s, base, at[static_cast<size_t>(k)] + 16, static_cast<int64_t>(total));
      if (values.size() != total) return {};
      PutMarker(j, 0xC4, 3 + 16 + total);
      j.push_back(static_cast<uint8_t>((cls << 4) | k));
      j.insert(j.end(), counts.begin(), counts.end());
      j.insert(j.end(), values.begin(), values.end());
    }
  }
  PutMarker(j, 0xDA, static_cast<size_t>(6 + 2 * n));
  j.push_back(static_cast<uint8_t>(n));
  for (int k = 0; k < n; ++k) j.insert(j.end(), {static_cast<uint8_t>(k + 1), static_cast<uint8_t>((k << 4) | k)});
  j.insert(j.end(), {0, 63, 0});
  if (p.tileOffsets.empty()) return {};
  const int64_t count = p.tileCounts.empty() ? s.Size() : p.tileCounts[0];
  std::vector<uint8_t> tile = ReadAt(s, base, p.tileOffsets[0], count);
  j.insert(j.end(), tile.begin(), tile.end());
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

void DecodeJpegInto(TIEStream& s, TIEBitmap& bitmap, int maxRows, bool& aborted, int& delivered) {
  TIEJpegReadOptions options;
  options.ReadICC = false;
  options.ReadMetadata = false;
  options.MaxRows = maxRows;
  TIOParams scratch;
  aborted = false;
  TProgressRecord local;
  local.Aborting = &aborted;
  delivered = IEJpegReadStream(s, &bitmap, scratch, local, options);
}

void ReadOldJpeg(TIEStream& s, int64_t base, const TPage& p, TIEBitmap& bitmap, TIOParams& params,
                 TProgressRecord& progress) {
  const int64_t fileBytes = s.Size() - base;
  if (!p.stripCounts.empty()) {
    if (!IEImageSizeOk(p.width, p.height, 24) ||
        !IEPlausibleForInput(p.width, p.height, fileBytes, ExpansionOf(kTiffOldJpeg)) ||
        !bitmap.Allocate(p.width, p.height, ie24RGB)) {
      progress.Abort();
      return;
    }
    const std::vector<uint8_t> tables = p.jpegIF > 0 ? ReadAt(s, base, p.jpegIF, p.jpegIFLength) : std::vector<uint8_t>();
    std::vector<uint8_t> segment;
    if (!p.stripOffsets.empty()) {
      std::vector<uint8_t> head = ReadAt(s, base, p.stripOffsets[0], 4);
      if (head.size() == 4) segment = ReadAt(s, base, p.stripOffsets[0], 2 + ((head[2] << 8) | head[3]));
    }
    const int64_t rps = p.rowsPerStrip;
    const int64_t count = std::min<int64_t>(static_cast<int64_t>(p.stripOffsets.size()), (p.height + rps - 1) / rps);
    int64_t budget = fileBytes * 4 + kReadBudgetSlack;
    progress.Start(count);
    for (int64_t i = 0; i < count; ++i) {
      std::vector<uint8_t> data = tables;
      if (i > 0) data.insert(data.end(), segment.begin(), segment.end());
      // Tables and strips that all claim most of the file are read once per
      // strip; past the budget the page is given up.
      budget -= static_cast<int64_t>(data.size());
      if (budget < 0) {
        progress.Abort();
        return;
      }
      const int64_t bytes = i < static_cast<int64_t>(p.stripCounts.size()) ? p.stripCounts[static_cast<size_t>(i)] : 0;
      const int64_t want = std::min(bytes > 0 ? bytes : fileBytes, budget);
      std::vector<uint8_t> strip = ReadAt(s, base, p.stripOffsets[static_cast<size_t>(i)], want);
      budget -= static_cast<int64_t>(strip.size());
      data.insert(data.end(), strip.begin(), strip.end());
      const int64_t y = i * rps;
      const int rows = static_cast<int>(std::min(rps, static_cast<int64_t>(p.height) - y));
      TIEMemoryStream m(data.data(), static_cast<int64_t>(data.size()));
      TIEBitmap decoded;
      bool aborted = false;
      int delivered = 0;
      DecodeJpegInto(m, decoded, rows, aborted, delivered);
      if (!decoded.IsEmpty() && decoded.PixelFormat() != ie24RGB) decoded.SetPixelFormat(ie24RGB);
      if (!decoded.IsEmpty() && decoded.PixelFormat() == ie24RGB) {
        const int cols = std::min(decoded.Width(), p.width);
        const int n = std::min(rows, decoded.Height());
        std::vector<uint8_t> line(static_cast<size_t>(cols) * 3);
        for (int r = 0; r < n; ++r) {
          std::memcpy(line.data(), decoded.Scanline(r), line.size());
          std::memcpy(bitmap.Scanline(static_cast<int>(y + r)), line.data(), line.size());
        }
      }
      // A strip that mostly decoded is kept.
      if (aborted && delivered * 2 <= rows) {
        progress.Abort();
        return;
      }
      progress.Step();
      if (progress.Aborted()) return;
    }
    return;
  }
  std::vector<uint8_t> synthetic;
  TIEMemoryStream memory;
  TIEStream* source = &s;
  if (p.jpegIF > 0) {
    s.SetPosition(base + p.jpegIF);
  } else if (!p.stripOffsets.empty()) {
    s.SetPosition(base + std::max<int64_t>(p.stripOffsets[0], 0));
  } else if (!p.tileOffsets.empty() && p.jpegQ[0] > 0 && p.jpegDC[0] > 0 && p.jpegAC[0] > 0) {
    synthetic = SynthesiseOldJpeg(s, base, p);
    if (synthetic.empty()) {
      progress.Abort();
      return;
    }
    memory.Write(synthetic.data(), static_cast<int64_t>(synthetic.size()));
    memory.SetPosition(0);
    source = &memory;
  } else {
    progress.Abort();
    return;
  }
  bool aborted = false;
  int delivered = 0;
  DecodeJpegInto(*source, bitmap, -1, aborted, delivered);
  if (aborted || bitmap.IsEmpty()) {
    progress.Abort();
    return;
  }
  if (bitmap.PixelFormat() != ie24RGB) bitmap.SetPixelFormat(ie24RGB);
  params.Width = bitmap.Width();
  params.Height = bitmap.Height();
}

// Floats of any range become 0..1 grey; pages already inside it stay as they are.
void NormaliseFloat(TIEBitmap& bitmap) {
  float lo = 0.0f, hi = 1.0f;
  bool outside = false, any = false;
  const int w = bitmap.Width();
  for (int y = 0; y < bitmap.Height(); ++y) {
    float* row = reinterpret_cast<float*>(bitmap.Scanline(y));
    for (int x = 0; x < w; ++x) {
      float v = row[x];
      if (!std::isfinite(v)) row[x] = v = 0.0f;
      if (!any) lo = hi = v, any = true;
      lo = std::min(lo, v), hi = std::max(hi, v);
      if (v < 0.0f || v > 1.0f) outside = true;
    }
  }
  if (!outside) return;
  const float range = hi - lo;
  for (int y = 0; y < bitmap.Height(); ++y) {
    float* row = reinterpret_cast<float*>(bitmap.Scanline(y));
    for (int x = 0; x < w; ++x) row[x] = range > 0 ? (row[x] - lo) / range : 0.0f;
  }
}

}  // namespace

void IETiffReadStream(TIEStream& stream, TIEBitmap* bitmap, int& pageCount, TIOParams& params,
                      TProgressRecord& progress, std::unique_ptr<TIEMask>& mask, const TIETiffReadOptions& options) {
  pageCount = 0;
  const int64_t base = stream.Position();
  TIETIFFIFDReader r(stream, base);
  if (!r.ReadHeader()) {
    progress.Abort();
    return;
  }
  int pages = 0;
  const int index = params.TiffImageIndex;
  bool loaded = false;
  if (index >= 0) loaded = r.LoadDirectory(index, &pages);
  else r.LoadDirectory(-1, &pages);
  pageCount = pages;
  params.SetImageCount(pages);
  if (!loaded) {
    progress.Abort();
    return;
  }
  if (params.TiffSubIndex >= 0) {
    const TIETIFFEntry* e = r.FindEntry(kTagSubIFDs);
    if (e && static_cast<uint64_t>(params.TiffSubIndex) < e->Count) {
      const int64_t offset = r.ReadInteger(kTagSubIFDs, params.TiffSubIndex, 0);
      if (offset <= 0 || !r.LoadDirectoryAt(static_cast<uint64_t>(offset))) {
        progress.Abort();
        return;
      }
    }
  }

  TPage p;
  if (!ReadTags(r, p)) {
    FillParams(r, p, params);
    progress.Abort();
    return;
  }
  const bool tileOnly = p.tiled && params.TiffTileIndex != -1;
  if (tileOnly && params.TiffTileIndex < 0) {
    FillParams(r, p, params);
    progress.Abort();
    return;
  }
  FillParams(r, p, params);
  if (tileOnly) {
    params.Width = params.OriginalWidth = ClampInt(p.tileWidth, 0, INT32_MAX);
    params.Height = params.OriginalHeight = ClampInt(p.tileLength, 0, INT32_MAX);
  }
  if (params.ReadMetadata) ReadExif(r, params);

  const TIETiffLzwDecoder lzw = params.TiffLzwDecoder ? params.TiffLzwDecoder : IEGlobalSettings().TiffLzwDecoder;
  if (p.compression == kTiffLzw && !lzw) {
    progress.Abort();
    return;
  }
  if (options.CountOnly || !bitmap) return;

  const int64_t fileBytes = std::max<int64_t>(stream.Size() - base, 0);
  const bool oldJpeg = (p.compression == kTiffOldJpeg ||
                        (p.hasJpegIF && p.compression != kTiffLzw && p.compression != kTiffJpeg)) &&
                       p.jpegProc < 2;
  if (oldJpeg) {
    ReadOldJpeg(stream, base, p, *bitmap, params, progress);
  } else {
    // The page's shape.
    if (p.width <= 0 || p.height <= 0 || p.spp < 1 || p.spp > kMaxSamples) {
      progress.Abort();
      return;
    }
    if (p.tiled && (p.tileWidth <= 0 || p.tileLength <= 0 || !IEImageSizeOk(p.tileWidth, p.tileLength, 1))) {
      progress.Abort();
      return;
    }
    const TRowKind kind = KindOf(p);
    const bool jpeg = p.compression == kTiffJpeg;
    bool supported = kind != rkNone && (IETiffRowCompression(p.compression) || jpeg);
    if (jpeg)
      supported = supported && p.bits == 8 && p.planar != 2 &&
                  ((kind == rkGrey8 && p.spp == 1) || ((kind == rkRGB8 || kind == rkYCbCr) && p.spp == 3) ||
                   (kind == rkCMYK8 && p.spp == 4));
    if (kind == rkYCbCr && !jpeg) {
      auto ok = [](int s) { return s == 1 || s == 2 || s == 4; };
      supported = supported && ok(p.ycbcrH) && ok(p.ycbcrV) && (p.planar != 2 || (p.ycbcrH == 1 && p.ycbcrV == 1));
    }
    if (!supported) {
      progress.Abort();
      return;
    }
    const int32_t width = tileOnly ? static_cast<int32_t>(p.tileWidth) : p.width;
    const int32_t height = tileOnly ? static_cast<int32_t>(p.tileLength) : p.height;
    const TIEPixelFormat format = FormatOf(p, kind, params.NativePixelFormat);

    // Everything decoded, edge tiles included, must be something the file
    // can hold.
    int64_t decodedW = width, decodedH = height;
    if (p.tiled && !tileOnly) {
      decodedW = (static_cast<int64_t>(p.width) + p.tileWidth - 1) / p.tileWidth * p.tileWidth;
      decodedH = (static_cast<int64_t>(p.height) + p.tileLength - 1) / p.tileLength * p.tileLength;
    }
    int64_t samples = 0, bitsPerPixel = 0;
    IECheckedMul(p.spp, p.bits, bitsPerPixel);
    bool plausible;
    if (IETiffIsCcitt(p.compression)) {
      // A fax row can be a single bit.
      plausible = decodedH <= fileBytes * 8 + 8;
    } else {
      // Pixels per input byte: decoded bytes per byte times pixels per decoded byte.
      const int64_t perByte = std::max<int64_t>(ExpansionOf(p.compression) * 8 / std::max<int64_t>(bitsPerPixel, 1), 1);
      plausible = IEPlausibleForInput(decodedW, decodedH, fileBytes, perByte);
    }
    if (!IEImageSizeOk(width, height, std::max(IEBitsPerPixel(format), 1)) ||
        !IEImageSizeOk(decodedW, decodedH, 1) || !IECheckedMul(decodedW, p.spp, samples) || !plausible) {
      progress.Abort();
      return;
    }
    if (!bitmap->Allocate(width, height, format)) {
      progress.Abort();
      return;
    }
    if (format == ie8p) {
      for (size_t i = 0; i < p.colorMap.size() && i < 256; ++i) bitmap->SetPaletteEntry(static_cast<int>(i), p.colorMap[i]);
      bitmap->SetPaletteUsed(static_cast<int>(std::min<size_t>(p.colorMap.size(), 256)));
    }

    // Transparency.
    const bool alpha = !options.IgnoreAlpha &&
                       ((p.spp == 4 && p.extraCount > 0 && p.extra[0] == 2) || (p.spp >= 4 && p.extraCount >= 1) ||
                        (p.spp == 2 && p.bits == 8) || (p.spp >= 2 && p.extraCount > 0 && p.extra[0] == 1) ||
                        (p.spp == 4 && p.photometric == kRGB));
    TIEMask* m = nullptr;
    if (alpha && !jpeg) {
      if (!mask) mask = std::make_unique<TIEMask>();
      if (!mask->Allocate(width, height, 8)) {
        progress.Abort();
        return;
      }
      mask->Fill(255);
      m = mask.get();
    }

    TPageDecoder decoder(p, stream, base, *bitmap, m, progress, params, kind);
    if (!decoder.Run(tileOnly ? params.TiffTileIndex : -1)) {
      progress.Abort();
      return;
    }
    if (progress.Aborted()) return;
    if (format == ie32f) {
      NormaliseFloat(*bitmap);
      if (!params.NativePixelFormat) bitmap->SetPixelFormat(ie24RGB);
    }
  }
  if (progress.Aborted()) return;

  if (params.TiffEnableAdjustOrientation && p.orientation >= 2 && p.orientation <= 8) {
    Orient(*bitmap, mask, p.orientation);
    if (p.orientation >= 5) std::swap(params.Width, params.Height);
    params.TiffOrientation = 1;
  }
  bitmap->InputICCProfile() = params.InputICCProfile;
}

void IETiffLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>& mask) {
  int pages = 0;
  IETiffReadStream(stream, &bitmap, pages, params, progress, mask);
}

int32_t IETiffPageCount(TIEStream& stream) {
  const int64_t pos = stream.Position();
  int pages = 0;
  TIETIFFIFDReader r(stream, pos);
  if (r.ReadHeader()) r.LoadDirectory(-1, &pages);
  stream.SetPosition(pos);
  return pages;
}
