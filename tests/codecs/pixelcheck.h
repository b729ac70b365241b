// Pixel access and reference pictures shared by the reader tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "testsupport.h"

namespace pixelcheck {

// The colour at (x, y) of an ie24RGB bitmap.
inline TRGB PixelAt(TIEBitmap& b, int x, int y) {
  const uint8_t* p = b.Scanline(y) + 3 * x;
  return TRGB{p[0], p[1], p[2]};
}

inline std::string Describe(TRGB c) {
  std::ostringstream s;
  s << "(r " << int(c.r) << ", g " << int(c.g) << ", b " << int(c.b) << ")";
  return s.str();
}

// A binary PPM (P6) or PGM (P5) of maximum 255: size and samples.
struct Netpbm {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> samples;
};

inline Netpbm ReadNetpbm(const std::string& path) {
  std::vector<uint8_t> f = testsupport::ReadFileBytes(path);
  Netpbm n;
  std::istringstream head(std::string(f.begin(), f.begin() + std::min<size_t>(f.size(), 40)));
  std::string magic;
  int maxValue = 0;
  head >> magic >> n.width >> n.height >> maxValue;
  n.channels = magic == "P6" ? 3 : 1;
  const size_t bytes = static_cast<size_t>(n.width) * n.height * n.channels;
  if (bytes <= f.size()) n.samples.assign(f.end() - static_cast<std::ptrdiff_t>(bytes), f.end());
  return n;
}

}  // namespace pixelcheck
