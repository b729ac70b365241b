// Pixel format conversions between bitmaps, and the per-pixel colour rules
// that readers share.
#pragma once

#include <cstdint>

#include "iebitmap.h"

// Fills target (already allocated with source's size and its own format)
// from source. Different sizes convert nothing. Pairs without a rule of
// their own go through 24-bit rows; the source itself is left unchanged.
// The source's alpha channel is copied to target.
void IECopyAndConvertFormat(TIEBitmap& source, TIEBitmap& target);

// Gray weights read from the global settings once per conversion.
struct TIEGrayWeights {
  int32_t r = 21, g = 71, b = 8;
  static TIEGrayWeights Current();
  // (R * wr + G * wg + B * wb) div 100; exact for weights summing to 100.
  int Gray8(int red, int green, int blue) const {
    return (red * r + green * g + blue * b) / 100;
  }
};

// Stored CMYK bytes are 255 - ink. Formula path (no colour engine):
// R = C' * K' div 255, G = M' * K' div 255, B = Y' * K' div 255.
inline TRGB IECMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
  return TRGB{uint8_t(y * k / 255), uint8_t(m * k / 255), uint8_t(c * k / 255)};
}

// K' = max(R, G, B); C' = R * 255 div K' and so on; black gives (255, 255, 255, 0).
inline void IERGBToCMYK(TRGB rgb, uint8_t out[4]) {
  int k = rgb.r > rgb.g ? rgb.r : rgb.g;
  if (rgb.b > k) k = rgb.b;
  if (k == 0) {
    out[0] = out[1] = out[2] = 255;
    out[3] = 0;
    return;
  }
  out[0] = uint8_t(rgb.r * 255 / k);
  out[1] = uint8_t(rgb.g * 255 / k);
  out[2] = uint8_t(rgb.b * 255 / k);
  out[3] = uint8_t(k);
}

// sRGB (D65) and CIE L*a*b* as stored in ieCIELab pixels: L* scaled so that
// 255 = 100, a* and b* as signed bytes.
void IERGBToCIELab(TRGB rgb, uint8_t out[3]);
TRGB IECIELabToRGB(const uint8_t lab[3]);

// Row helpers for readers: count pixels each, destination in ie24RGB order
// (blue, green, red).
void IECMYKRowToBGR(const uint8_t* cmyk, uint8_t* bgr, int64_t count);
void IECIELabRowToBGR(const uint8_t* lab, uint8_t* bgr, int64_t count);
// Little-endian red, green, blue words to their high bytes.
void IERGB48RowToBGR(const uint8_t* rgb48, uint8_t* bgr, int64_t count);
// Red, green, blue bytes to blue, green, red (may work in place).
void IERGBRowToBGR(const uint8_t* rgb, uint8_t* bgr, int64_t count);
