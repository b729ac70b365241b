#include "ieconvert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "ieglobal.h"

TIEGrayWeights TIEGrayWeights::Current() {
  const TIEGlobalSettings& s = IEGlobalSettings();
  return TIEGrayWeights{s.RedToGrayCoef, s.GreenToGrayCoef, s.BlueToGrayCoef};
}

// CIE L*a*b* -----------------------------------------------------------------------

namespace {

// sRGB byte to linear light.
const std::array<double, 256>& LinearTable() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int i = 0; i < 256; ++i) {
      double c = i / 255.0;
      t[i] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    }
    return t;
  }();
  return table;
}

constexpr double kWhiteX = 0.95047, kWhiteY = 1.0, kWhiteZ = 1.08883;
constexpr double kEpsilon = 0.008856;

double LabF(double t) { return t > kEpsilon ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; }

double LabFInverse(double f) {
  double t = f * f * f;
  return t > kEpsilon ? t : (f - 16.0 / 116.0) / 7.787;
}

uint8_t ClampByte(double v) {
  if (!(v > 0.0)) return 0;  // also NaN
  if (v >= 255.0) return 255;
  return static_cast<uint8_t>(std::nearbyint(v));
}

int8_t ClampSignedByte(double v) {
  if (std::isnan(v)) return 0;
  v = std::nearbyint(v);
  if (v < -128.0) return -128;
  if (v > 127.0) return 127;
  return static_cast<int8_t>(v);
}

uint8_t Compand(double c) {
  c = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(std::max(c, 0.0), 1.0 / 2.4) - 0.055;
  return ClampByte(c * 255.0);
}

}  // namespace

void IERGBToCIELab(TRGB rgb, uint8_t out[3]) {
  const auto& lin = LinearTable();
  const double r = lin[rgb.r], g = lin[rgb.g], b = lin[rgb.b];
  const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / kWhiteX;
  const double y = (0.2126729 * r + 0.7151522 * g + 0.0721750 * b) / kWhiteY;
  const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / kWhiteZ;
  const double fx = LabF(x), fy = LabF(y), fz = LabF(z);
  const double L = y > kEpsilon ? 116.0 * fy - 16.0 : 903.3 * y;
  out[0] = ClampByte(L * 255.0 / 100.0);
  out[1] = static_cast<uint8_t>(ClampSignedByte(500.0 * (fx - fy)));
  out[2] = static_cast<uint8_t>(ClampSignedByte(200.0 * (fy - fz)));
}

TRGB IECIELabToRGB(const uint8_t lab[3]) {
  const double L = lab[0] * 100.0 / 255.0;
  const double a = static_cast<int8_t>(lab[1]), bb = static_cast<int8_t>(lab[2]);
  const double fy = (L + 16.0) / 116.0;
  const double fx = fy + a / 500.0, fz = fy - bb / 200.0;
  const double y = L > 903.3 * kEpsilon ? fy * fy * fy : L / 903.3;
  const double x = LabFInverse(fx) * kWhiteX, z = LabFInverse(fz) * kWhiteZ;
  const double r = 3.2404542 * x - 1.5371385 * y - 0.4985314 * z;
  const double g = -0.9692660 * x + 1.8760108 * y + 0.0415560 * z;
  const double b = 0.0556434 * x - 0.2040259 * y + 1.0572252 * z;
  return TRGB{Compand(b), Compand(g), Compand(r)};
}

void IECMYKRowToBGR(const uint8_t* cmyk, uint8_t* bgr, int64_t count) {
  for (int64_t i = 0; i < count; ++i, cmyk += 4, bgr += 3) {
    const uint32_t k = cmyk[3];
    bgr[0] = static_cast<uint8_t>(cmyk[2] * k / 255);
    bgr[1] = static_cast<uint8_t>(cmyk[1] * k / 255);
    bgr[2] = static_cast<uint8_t>(cmyk[0] * k / 255);
  }
}

void IECIELabRowToBGR(const uint8_t* lab, uint8_t* bgr, int64_t count) {
  for (int64_t i = 0; i < count; ++i, lab += 3, bgr += 3) {
    const TRGB c = IECIELabToRGB(lab);
    bgr[0] = c.b;
    bgr[1] = c.g;
    bgr[2] = c.r;
  }
}

void IERGB48RowToBGR(const uint8_t* rgb48, uint8_t* bgr, int64_t count) {
  for (int64_t i = 0; i < count; ++i, rgb48 += 6, bgr += 3) {
    bgr[0] = rgb48[5];
    bgr[1] = rgb48[3];
    bgr[2] = rgb48[1];
  }
}

void IERGBRowToBGR(const uint8_t* rgb, uint8_t* bgr, int64_t count) {
  for (int64_t i = 0; i < count; ++i, rgb += 3, bgr += 3) {
    const uint8_t r = rgb[0], g = rgb[1], b = rgb[2];
    bgr[0] = b;
    bgr[1] = g;
    bgr[2] = r;
  }
}

namespace {

// Helpers ---------------------------------------------------------------------------

inline uint32_t Word(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

inline void PutWord(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline float Float(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

inline void PutFloat(uint8_t* p, float f) { std::memcpy(p, &f, 4); }

// trunc(v * scale); values outside 0.0 .. 1.0 (and NaN) are pinned to the
// ends instead of wrapping.
inline uint32_t FloatTo(float v, uint32_t scale) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return scale;
  return static_cast<uint32_t>(v * static_cast<float>(scale));
}

// Each source byte of a 1-bit row as 24 bytes of black or white.
const std::array<std::array<uint8_t, 24>, 256>& BitsTo24() {
  static const auto table = [] {
    std::array<std::array<uint8_t, 24>, 256> t{};
    for (int v = 0; v < 256; ++v)
      for (int bit = 0; bit < 8; ++bit) {
        uint8_t c = (v & (0x80 >> bit)) ? 255 : 0;
        t[v][bit * 3] = t[v][bit * 3 + 1] = t[v][bit * 3 + 2] = c;
      }
    return t;
  }();
  return table;
}

// Each source byte of a 1-bit row as 8 bytes of 0 or 255.
const std::array<std::array<uint8_t, 8>, 256>& BitsTo8() {
  static const auto table = [] {
    std::array<std::array<uint8_t, 8>, 256> t{};
    for (int v = 0; v < 256; ++v)
      for (int bit = 0; bit < 8; ++bit) t[v][bit] = (v & (0x80 >> bit)) ? 255 : 0;
    return t;
  }();
  return table;
}

inline bool Bit(const uint8_t* row, int x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

constexpr uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

bool IsGray(TIEPixelFormat f) { return f == ie8g || f == ie16g || f == ie32f; }

// How one source row becomes blue, green, red bytes.
struct TSource {
  TIEPixelFormat format = ieNull;
  std::array<TRGB, 256> palette{};
  // Display-range table for ie8g (256 entries) or ie16g (65536); empty = off.
  std::vector<uint8_t> range;

  explicit TSource(const TIEBitmap& bitmap) : format(bitmap.PixelFormat()) {
    const auto& map = bitmap.ColorMap();
    for (size_t i = 0; i < map.size() && i < 256; ++i) palette[i] = map[i];
  }

  void UseRange(const TIEDisplayRange& r) {
    range.clear();
    if (r.Max == r.Min || (format != ie8g && format != ie16g)) return;
    const size_t n = format == ie8g ? 256 : 65536;
    range.resize(n);
    for (size_t v = 0; v < n; ++v) {
      double c = static_cast<double>(v);
      if (c < r.Min) c = r.Min;
      if (c > r.Max) c = r.Max;
      double t = std::trunc((c - r.Min) / (r.Max - r.Min) * 255.0);
      range[v] = static_cast<uint8_t>(std::clamp(t, 0.0, 255.0));
    }
  }

  void ToBGR(const uint8_t* s, uint8_t* d, int w) const {
    switch (format) {
      case ie1g: {
        const auto& t = BitsTo24();
        const int whole = w / 8;
        for (int i = 0; i < whole; ++i, d += 24) std::memcpy(d, t[s[i]].data(), 24);
        for (int x = whole * 8; x < w; ++x, d += 3) d[0] = d[1] = d[2] = Bit(s, x) ? 255 : 0;
        break;
      }
      case ie8p:
        for (int x = 0; x < w; ++x, d += 3) {
          const TRGB c = palette[s[x]];
          d[0] = c.b;
          d[1] = c.g;
          d[2] = c.r;
        }
        break;
      case ie8g:
        if (!range.empty())
          for (int x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = range[s[x]];
        else
          for (int x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = s[x];
        break;
      case ie16g:
        if (!range.empty())
          for (int x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = range[Word(s + 2 * x)];
        else
          for (int x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = s[2 * x + 1];
        break;
      case ie24RGB:
        std::memcpy(d, s, static_cast<size_t>(w) * 3);
        break;
      case ie32f:
        for (int x = 0; x < w; ++x, d += 3)
          d[0] = d[1] = d[2] = static_cast<uint8_t>(FloatTo(Float(s + 4 * x), 255));
        break;
      case ieCMYK:
        IECMYKRowToBGR(s, d, w);
        break;
      case ieRGB48:
        IERGB48RowToBGR(s, d, w);
        break;
      case ieCIELab:
        IECIELabRowToBGR(s, d, w);
        break;
      case ie32RGB:
        for (int x = 0; x < w; ++x, d += 3, s += 4) {
          d[0] = s[0];
          d[1] = s[1];
          d[2] = s[2];
        }
        break;
      default:
        std::memset(d, 0, static_cast<size_t>(w) * 3);
    }
  }

  // Gray bytes of ie8g, ie16g (high byte) and ie32f rows.
  void ToGray(const uint8_t* s, uint8_t* d, int w) const {
    switch (format) {
      case ie8g:
        std::memcpy(d, s, static_cast<size_t>(w));
        break;
      case ie16g:
        for (int x = 0; x < w; ++x) d[x] = s[2 * x + 1];
        break;
      case ie32f:
        for (int x = 0; x < w; ++x) d[x] = static_cast<uint8_t>(FloatTo(Float(s + 4 * x), 255));
        break;
      default:
        std::memset(d, 0, static_cast<size_t>(w));
    }
  }
};

// Blue, green, red bytes to a target row.
void FromBGR(TIEPixelFormat target, const uint8_t* s, uint8_t* d, int w, const TIEGrayWeights& gw) {
  switch (target) {
    case ie8g: {
      const uint32_t wr = gw.r, wg = gw.g, wb = gw.b;
      if (wr + wg + wb <= 100) {
        // sum <= 25500 here, where (sum * 5243) >> 19 equals sum div 100.
        for (int x = 0; x < w; ++x, s += 3)
          d[x] = static_cast<uint8_t>(((s[2] * wr + s[1] * wg + s[0] * wb) * 5243u) >> 19);
      } else {
        for (int x = 0; x < w; ++x, s += 3)
          d[x] = static_cast<uint8_t>((s[2] * wr + s[1] * wg + s[0] * wb) / 100);
      }
      break;
    }
    case ie16g:
      for (int x = 0; x < w; ++x, s += 3)
        PutWord(d + 2 * x, (s[2] * 54484u + s[1] * 183241u + s[0] * 19275u) / 1000);
      break;
    case ie24RGB:
      std::memcpy(d, s, static_cast<size_t>(w) * 3);
      break;
    case ie32f:
      for (int x = 0; x < w; ++x, s += 3)
        PutFloat(d + 4 * x,
                 static_cast<float>((s[2] * 0.2126 + s[1] * 0.7152 + s[0] * 0.0722) / 255.0));
      break;
    case ieCMYK:
      for (int x = 0; x < w; ++x, s += 3, d += 4) IERGBToCMYK(TRGB{s[0], s[1], s[2]}, d);
      break;
    case ieRGB48:
      for (int x = 0; x < w; ++x, s += 3, d += 6) {
        PutWord(d, s[2] * 257u);
        PutWord(d + 2, s[1] * 257u);
        PutWord(d + 4, s[0] * 257u);
      }
      break;
    case ieCIELab:
      for (int x = 0; x < w; ++x, s += 3, d += 3) IERGBToCIELab(TRGB{s[0], s[1], s[2]}, d);
      break;
    case ie32RGB:
      for (int x = 0; x < w; ++x, s += 3, d += 4) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = 255;
      }
      break;
    default:
      break;
  }
}

// Rules that keep more precision than going through 24 bits. False when the
// pair has none.
bool DirectRow(TIEPixelFormat source, TIEPixelFormat target, const uint8_t* s, uint8_t* d, int w) {
  switch (source) {
    case ie1g:
      if (target == ie8g) {
        const auto& t = BitsTo8();
        const int whole = w / 8;
        for (int i = 0; i < whole; ++i) std::memcpy(d + 8 * i, t[s[i]].data(), 8);
        for (int x = whole * 8; x < w; ++x) d[x] = Bit(s, x) ? 255 : 0;
        return true;
      }
      if (target == ie32f) {
        for (int x = 0; x < w; ++x) PutFloat(d + 4 * x, Bit(s, x) ? 1.0f : 0.0f);
        return true;
      }
      return false;
    case ie8g:
      if (target == ie16g) {
        for (int x = 0; x < w; ++x) PutWord(d + 2 * x, s[x] * 257u);
        return true;
      }
      if (target == ie32f) {
        for (int x = 0; x < w; ++x) PutFloat(d + 4 * x, static_cast<float>(s[x] / 255.0));
        return true;
      }
      return false;
    case ie16g:
      if (target == ie8g) {
        for (int x = 0; x < w; ++x) d[x] = s[2 * x + 1];
        return true;
      }
      if (target == ie32f) {
        for (int x = 0; x < w; ++x) PutFloat(d + 4 * x, static_cast<float>(Word(s + 2 * x) / 65535.0));
        return true;
      }
      if (target == ieRGB48) {
        for (int x = 0; x < w; ++x, d += 6) {
          const uint8_t lo = s[2 * x], hi = s[2 * x + 1];
          d[0] = d[2] = d[4] = lo;
          d[1] = d[3] = d[5] = hi;
        }
        return true;
      }
      return false;
    case ie32f:
      if (target == ie8g) {
        for (int x = 0; x < w; ++x) d[x] = static_cast<uint8_t>(FloatTo(Float(s + 4 * x), 255));
        return true;
      }
      if (target == ie16g) {
        for (int x = 0; x < w; ++x) PutWord(d + 2 * x, FloatTo(Float(s + 4 * x), 65535));
        return true;
      }
      if (target == ieRGB48) {
        for (int x = 0; x < w; ++x, d += 6) {
          const uint32_t v = FloatTo(Float(s + 4 * x), 65535);
          PutWord(d, v);
          PutWord(d + 2, v);
          PutWord(d + 4, v);
        }
        return true;
      }
      return false;
    case ieRGB48:
      if (target == ie16g) {
        for (int x = 0; x < w; ++x, s += 6)
          PutWord(d + 2 * x, (Word(s) * 212u + Word(s + 2) * 713u + Word(s + 4) * 75u) / 1000);
        return true;
      }
      if (target == ie32f) {
        for (int x = 0; x < w; ++x, s += 6)
          PutFloat(d + 4 * x, static_cast<float>((Word(s) * 0.2126 + Word(s + 2) * 0.7152 +
                                                  Word(s + 4) * 0.0722) /
                                                 256.0 / 255.0));
        return true;
      }
      return false;
    default:
      return false;
  }
}

// Keeps a bitmap's Access for the length of a conversion.
class TAccess {
public:
  TAccess(TIEBitmap& b, uint8_t access) : fBitmap(b), fSaved(b.Access()) { b.SetAccess(access); }
  ~TAccess() {
    try {
      fBitmap.SetAccess(fSaved);
    } catch (const EIEException&) {
    }
  }
  TAccess(const TAccess&) = delete;
  TAccess& operator=(const TAccess&) = delete;

private:
  TIEBitmap& fBitmap;
  uint8_t fSaved;
};

// Conversion to ie1g ------------------------------------------------------------------

// Packs one row of bits: pixel x is set when its value reaches limit[x & 7].
// value(x) is the weighted colour sum (colour rows) or the gray byte.
template <typename Value>
void PackRow(uint8_t* d, int w, const uint32_t limit[8], Value value) {
  const int whole = w / 8;
  for (int i = 0; i < whole; ++i) {
    uint32_t acc = 0;
    for (int k = 0; k < 8; ++k) acc = (acc << 1) | uint32_t(value(i * 8 + k) >= limit[k]);
    d[i] = static_cast<uint8_t>(acc);
  }
  if (w & 7) {
    uint32_t acc = 0;
    for (int k = 0; k < (w & 7); ++k) acc = (acc << 1) | uint32_t(value(whole * 8 + k) >= limit[k]);
    d[whole] = static_cast<uint8_t>(acc << (8 - (w & 7)));
  }
}

void ToBlackAndWhite(TIEBitmap& source, TIEBitmap& target, const TIEGrayWeights& gw) {
  const int w = source.Width(), h = source.Height();
  TSource src(source);
  const bool gray = IsGray(src.format);
  std::vector<uint8_t> buffer(static_cast<size_t>(w) * 3);
  // Gray bytes or blue, green, red bytes of row y.
  auto row = [&](int y) -> const uint8_t* {
    const uint8_t* s = source.Scanline(y);
    if (src.format == ie24RGB) return s;
    if (gray)
      src.ToGray(s, buffer.data(), w);
    else
      src.ToBGR(s, buffer.data(), w);
    return buffer.data();
  };
  const uint32_t wr = gw.r, wg = gw.g, wb = gw.b;
  // gray8(p) = sum div 100 reaches a gray value v exactly when sum >= 100 v,
  // so colour rows are compared by their weighted sums without dividing.
  const uint32_t unit = gray ? 1 : 100;
  uint32_t limit[8];
  auto pack = [&](const uint8_t* s, uint8_t* d) {
    if (gray)
      PackRow(d, w, limit, [s](int x) { return uint32_t(s[x]); });
    else
      PackRow(d, w, limit, [s, wr, wg, wb](int x) {
        const uint8_t* p = s + 3 * x;
        return p[2] * wr + p[1] * wg + p[0] * wb;
      });
  };

  if (target.MonoConversion() == 0) {
    // Set when M[x mod 8][y mod 8] < gray div 4, that is gray >= 4 (M + 1).
    for (int y = 0; y < h; ++y) {
      for (int k = 0; k < 8; ++k) limit[k] = (4u * kBayer[k][y & 7] + 4u) * unit;
      pack(row(y), target.Scanline(y));
    }
    return;
  }

  // Threshold at the mean colour: row means summed, then divided by the height.
  int64_t meanR = 0, meanG = 0, meanB = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = row(y);
    uint64_t r = 0, g = 0, b = 0;
    if (gray) {
      for (int x = 0; x < w; ++x) r += s[x];
      g = b = r;
    } else {
      for (int x = 0; x < w; ++x, s += 3) {
        b += s[0];
        g += s[1];
        r += s[2];
      }
    }
    meanR += static_cast<int64_t>(r / w);
    meanG += static_cast<int64_t>(g / w);
    meanB += static_cast<int64_t>(b / w);
  }
  meanR /= h;
  meanG /= h;
  meanB /= h;
  const int64_t t = (meanR * wr + meanG * wg + meanB * wb) / 100;
  for (uint32_t& l : limit) l = static_cast<uint32_t>(t) * unit;
  for (int y = 0; y < h; ++y) pack(row(y), target.Scanline(y));
}

// Adaptive palette ------------------------------------------------------------------

// Median cut over a 5-5-5 histogram; images with few colours get them exactly.
class TQuantizer {
public:
  explicit TQuantizer(int maxColors) : fMax(std::clamp(maxColors, 1, 256)) {
    fCount.assign(kBins, 0);
    fSum.assign(kBins * 3, 0);
    fExactKeys.assign(kExactSize, 0);
  }

  void Add(const uint8_t* bgr, int w) {
    for (int x = 0; x < w; ++x, bgr += 3) {
      const uint32_t bin = Bin(bgr);
      ++fCount[bin];
      fSum[bin * 3] += bgr[0];
      fSum[bin * 3 + 1] += bgr[1];
      fSum[bin * 3 + 2] += bgr[2];
      if (fExact) AddExact(Key(bgr));
    }
  }

  // Builds the palette; returns its entries.
  std::vector<TRGB> Build() {
    if (fExact) {
      std::vector<TRGB> palette;
      for (uint32_t i = 0; i < kExactSize; ++i) {
        if (!fExactKeys[i]) continue;
        fExactIndex[i] = static_cast<uint8_t>(palette.size());
        const uint32_t c = fExactKeys[i] - 1;
        palette.push_back(TRGB{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
      }
      return palette;
    }
    return MedianCut();
  }

  uint8_t Index(const uint8_t* bgr) const {
    if (fExact) {
      const uint32_t key = Key(bgr) + 1;
      uint32_t i = Hash(key);
      while (fExactKeys[i] != key) i = (i + 1) & (kExactSize - 1);
      return fExactIndex[i];
    }
    return fMap[Bin(bgr)];
  }

private:
  static constexpr uint32_t kBins = 32768;
  static constexpr uint32_t kExactSize = 1024;  // open addressing, at most 256 used

  static uint32_t Bin(const uint8_t* bgr) {
    return (uint32_t(bgr[2] >> 3) << 10) | (uint32_t(bgr[1] >> 3) << 5) | (bgr[0] >> 3);
  }
  static uint32_t Key(const uint8_t* bgr) {
    return uint32_t(bgr[0]) | (uint32_t(bgr[1]) << 8) | (uint32_t(bgr[2]) << 16);
  }
  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> 22; }

  void AddExact(uint32_t key) {
    ++key;  // 0 marks a free slot
    uint32_t i = Hash(key);
    while (fExactKeys[i] != 0) {
      if (fExactKeys[i] == key) return;
      i = (i + 1) & (kExactSize - 1);
    }
    if (fExactUsed == fMax) {
      fExact = false;
      return;
    }
    fExactKeys[i] = key;
    ++fExactUsed;
  }

  struct TBox {
    int lo[3], hi[3];  // bin coordinates per channel (0 red, 1 green, 2 blue), inclusive
    uint64_t count;
  };

  uint32_t BinOf(int r, int g, int b) const { return (uint32_t(r) << 10) | (uint32_t(g) << 5) | uint32_t(b); }

  // Shrinks a box to its occupied bins and counts its pixels.
  void Shrink(TBox& box) const {
    int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
    uint64_t count = 0;
    for (int r = box.lo[0]; r <= box.hi[0]; ++r)
      for (int g = box.lo[1]; g <= box.hi[1]; ++g)
        for (int b = box.lo[2]; b <= box.hi[2]; ++b) {
          const uint32_t n = fCount[BinOf(r, g, b)];
          if (!n) continue;
          count += n;
          const int c[3] = {r, g, b};
          for (int i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], c[i]);
            hi[i] = std::max(hi[i], c[i]);
          }
        }
    box.count = count;
    if (count) {
      std::copy(lo, lo + 3, box.lo);
      std::copy(hi, hi + 3, box.hi);
    }
  }

  std::vector<TRGB> MedianCut() {
    std::vector<TBox> boxes;
    TBox all{{0, 0, 0}, {31, 31, 31}, 0};
    Shrink(all);
    if (all.count == 0) return {TRGB{}};
    boxes.push_back(all);
    while (static_cast<int>(boxes.size()) < fMax) {
      // Split the most populated box that still spans more than one bin.
      int best = -1;
      for (int i = 0; i < static_cast<int>(boxes.size()); ++i) {
        const TBox& b = boxes[i];
        if (b.lo[0] == b.hi[0] && b.lo[1] == b.hi[1] && b.lo[2] == b.hi[2]) continue;
        if (best < 0 || b.count > boxes[best].count) best = i;
      }
      if (best < 0) break;
      TBox box = boxes[best];
      int axis = 0;
      for (int i = 1; i < 3; ++i)
        if (box.hi[i] - box.lo[i] > box.hi[axis] - box.lo[axis]) axis = i;
      // Pixel count per slice along the axis, then cut at the median.
      uint64_t slices[32] = {};
      for (int r = box.lo[0]; r <= box.hi[0]; ++r)
        for (int g = box.lo[1]; g <= box.hi[1]; ++g)
          for (int b = box.lo[2]; b <= box.hi[2]; ++b) {
            const int c[3] = {r, g, b};
            slices[c[axis]] += fCount[BinOf(r, g, b)];
          }
      uint64_t running = 0;
      int cut = box.lo[axis];
      for (int v = box.lo[axis]; v < box.hi[axis]; ++v) {
        running += slices[v];
        cut = v;
        if (running * 2 >= box.count) break;
      }
      TBox first = box, second = box;
      first.hi[axis] = cut;
      second.lo[axis] = cut + 1;
      Shrink(first);
      Shrink(second);
      boxes[best] = first;
      if (second.count) boxes.push_back(second);
    }
    std::vector<TRGB> palette;
    for (const TBox& box : boxes) {
      uint64_t s[3] = {0, 0, 0};
      for (int r = box.lo[0]; r <= box.hi[0]; ++r)
        for (int g = box.lo[1]; g <= box.hi[1]; ++g)
          for (int b = box.lo[2]; b <= box.hi[2]; ++b) {
            const uint32_t bin = BinOf(r, g, b);
            for (int i = 0; i < 3; ++i) s[i] += fSum[bin * 3 + i];
          }
      const uint64_t n = box.count;
      palette.push_back(TRGB{uint8_t((s[0] + n / 2) / n), uint8_t((s[1] + n / 2) / n),
                             uint8_t((s[2] + n / 2) / n)});
    }
    // Each occupied bin maps to the palette colour nearest to its mean.
    fMap.assign(kBins, 0);
    for (uint32_t bin = 0; bin < kBins; ++bin) {
      const uint64_t n = fCount[bin];
      if (!n) continue;
      const int b = int(fSum[bin * 3] / n), g = int(fSum[bin * 3 + 1] / n), r = int(fSum[bin * 3 + 2] / n);
      int best = 0;
      int bestDistance = INT32_MAX;
      for (size_t i = 0; i < palette.size(); ++i) {
        const int db = b - palette[i].b, dg = g - palette[i].g, dr = r - palette[i].r;
        const int distance = dr * dr * 3 + dg * dg * 4 + db * db * 2;
        if (distance < bestDistance) {
          bestDistance = distance;
          best = static_cast<int>(i);
        }
      }
      fMap[bin] = static_cast<uint8_t>(best);
    }
    return palette;
  }

  int fMax;
  std::vector<uint32_t> fCount;
  std::vector<uint64_t> fSum;  // blue, green, red per bin
  std::vector<uint8_t> fMap;
  bool fExact = true;
  int fExactUsed = 0;
  std::vector<uint32_t> fExactKeys;
  std::array<uint8_t, kExactSize> fExactIndex{};
};

void ToPalette(TIEBitmap& source, TIEBitmap& target) {
  const int w = source.Width(), h = source.Height();
  TSource src(source);
  auto& palette = target.ColorMap();
  palette.assign(256, TRGB{});
  if (src.format == ie1g) {
    palette[1] = TRGB{255, 255, 255};
    target.SetPaletteUsed(2);
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = source.Scanline(y);
      uint8_t* d = target.Scanline(y);
      for (int x = 0; x < w; ++x) d[x] = Bit(s, x);
    }
    return;
  }
  if (IsGray(src.format)) {
    for (int i = 0; i < 256; ++i) palette[i] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
    target.SetPaletteUsed(256);
    for (int y = 0; y < h; ++y) src.ToGray(source.Scanline(y), target.Scanline(y), w);
    return;
  }
  // Colour: two passes, the first one to build the palette.
  std::vector<uint8_t> buffer(static_cast<size_t>(w) * 3);
  auto row = [&](int y) -> const uint8_t* {
    const uint8_t* s = source.Scanline(y);
    if (src.format == ie24RGB) return s;
    src.ToBGR(s, buffer.data(), w);
    return buffer.data();
  };
  TQuantizer quantizer(target.PaletteUsed() > 0 ? target.PaletteUsed() : 256);
  for (int y = 0; y < h; ++y) quantizer.Add(row(y), w);
  const std::vector<TRGB> colors = quantizer.Build();
  std::copy(colors.begin(), colors.end(), palette.begin());
  target.SetPaletteUsed(static_cast<int>(colors.size()));
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = row(y);
    uint8_t* d = target.Scanline(y);
    for (int x = 0; x < w; ++x, s += 3) d[x] = quantizer.Index(s);
  }
}

}  // namespace

void IECopyAndConvertFormat(TIEBitmap& source, TIEBitmap& target) {
  if (&source == &target) return;
  const int w = source.Width(), h = source.Height();
  if (w != target.Width() || h != target.Height() || source.IsEmpty() || target.IsEmpty()) return;
  const TIEPixelFormat from = source.PixelFormat(), to = target.PixelFormat();
  const TIEGrayWeights gw = TIEGrayWeights::Current();

  source.FlushRows();
  {
    TAccess readOnly(source, ieaRead);
    TAccess writeOnly(target, ieaWrite);
    if (from == to) {
      const size_t n = static_cast<size_t>(std::min(source.RowLen(), target.RowLen()));
      for (int y = 0; y < h; ++y) std::memcpy(target.Scanline(y), source.Scanline(y), n);
      target.ColorMap() = source.ColorMap();
      target.SetPaletteUsed(source.PaletteUsed());
    } else if (to == ie1g) {
      ToBlackAndWhite(source, target, gw);
    } else if (to == ie8p) {
      ToPalette(source, target);
    } else {
      TSource src(source);
      if (to == ie24RGB && IsGray(from)) {
        // The target's value window wins and is used up; else the source's.
        if (target.DisplayRange().Max != target.DisplayRange().Min) {
          src.UseRange(target.DisplayRange());
          target.SetDisplayRange(0, 0);
        } else {
          src.UseRange(source.DisplayRange());
        }
      } else if (to == ieCMYK || to == ieCIELab) {
        // These go through 24 bits, where the source's window applies.
        src.UseRange(source.DisplayRange());
      }
      std::vector<uint8_t> buffer;
      for (int y = 0; y < h; ++y) {
        const uint8_t* s = source.Scanline(y);
        uint8_t* d = target.Scanline(y);
        if (DirectRow(from, to, s, d, w)) continue;
        if (to == ie24RGB) {
          src.ToBGR(s, d, w);
        } else if (from == ie24RGB) {
          FromBGR(to, s, d, w, gw);
        } else {
          if (buffer.empty()) buffer.resize(static_cast<size_t>(w) * 3);
          src.ToBGR(s, buffer.data(), w);
          FromBGR(to, buffer.data(), d, w, gw);
        }
      }
    }
    target.FlushRows();
  }

  if (TIEBitmap* alpha = source.AlphaChannelOrNull(); alpha && !target.IsAlphaChannel()) {
    auto copy = std::make_unique<TIEBitmap>();
    copy->Assign(alpha);
    target.ReplaceAlphaChannel(std::move(copy));
  }
}
