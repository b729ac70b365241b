#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieconvert.h"
#include "ieglobal.h"

namespace {

std::vector<uint8_t> F(std::initializer_list<float> values) {
  std::vector<uint8_t> out;
  for (float v : values) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

std::vector<uint8_t> Cat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  // Built in one piece: GCC 12 misreads an insert into a by-value vector as an overflow.
  std::vector<uint8_t> out(a.size() + b.size());
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
  return out;
}

// A one-row bitmap of the given pixel bytes.
std::unique_ptr<TIEBitmap> OneRow(TIEPixelFormat format, int width, const std::vector<uint8_t>& bytes,
                                  const std::vector<TRGB>& palette = {}) {
  auto b = std::make_unique<TIEBitmap>(width, 1, format);
  EXPECT_LE(static_cast<int64_t>(bytes.size()), b->RowLen());
  std::memcpy(b->Scanline(0), bytes.data(), bytes.size());
  for (size_t i = 0; i < palette.size(); ++i) b->SetPaletteEntry(static_cast<int>(i), palette[i]);
  return b;
}

std::vector<uint8_t> Bytes(TIEBitmap& b, int y, size_t n) {
  const uint8_t* p = b.Scanline(y);
  return std::vector<uint8_t>(p, p + n);
}

const std::vector<TRGB> kPalette = {TRGB{0, 0, 0}, TRGB{10, 20, 30}};

}  // namespace

TEST(ConvertFormat, EveryPairOnChosenPixels) {
  struct Case {
    const char* name;
    TIEPixelFormat from;
    int width;
    std::vector<uint8_t> source;
    TIEPixelFormat to;
    std::vector<uint8_t> expected;
  } cases[] = {
      // 24 bits to everything
      {"white to gray", ie24RGB, 1, {255, 255, 255}, ie8g, {255}},
      {"pure red to gray", ie24RGB, 1, {0, 0, 255}, ie8g, {53}},
      {"pure green to gray", ie24RGB, 1, {0, 255, 0}, ie8g, {181}},
      {"pure blue to gray", ie24RGB, 1, {255, 0, 0}, ie8g, {20}},
      {"red to 16-bit gray", ie24RGB, 1, {0, 0, 255}, ie16g, {0x45, 0x36}},
      {"white to 16-bit gray", ie24RGB, 1, {255, 255, 255}, ie16g, {0xFF, 0xFF}},
      {"red to float gray", ie24RGB, 1, {0, 0, 255}, ie32f, F({float(255 * 0.2126 / 255)})},
      {"black to CMYK", ie24RGB, 1, {0, 0, 0}, ieCMYK, {255, 255, 255, 0}},
      {"red to CMYK", ie24RGB, 1, {0, 0, 255}, ieCMYK, {255, 0, 0, 255}},
      {"dim colour to CMYK", ie24RGB, 1, {50, 100, 200}, ieCMYK, {255, 127, 63, 200}},
      {"to 48 bits, red first", ie24RGB, 1, {1, 2, 3}, ieRGB48, {3, 3, 2, 2, 1, 1}},
      {"to 32 bits", ie24RGB, 1, {1, 2, 3}, ie32RGB, {1, 2, 3, 255}},
      {"white to L*a*b*", ie24RGB, 1, {255, 255, 255}, ieCIELab, {255, 0, 0}},
      {"black to L*a*b*", ie24RGB, 1, {0, 0, 0}, ieCIELab, {0, 0, 0}},
      // 1 bit
      {"bits to 24", ie1g, 2, {0x80}, ie24RGB, {255, 255, 255, 0, 0, 0}},
      {"bits to gray", ie1g, 10, {0x80, 0x40}, ie8g, {255, 0, 0, 0, 0, 0, 0, 0, 0, 255}},
      {"bits to 16-bit gray", ie1g, 2, {0x80}, ie16g, {255, 255, 0, 0}},
      {"bits to float", ie1g, 2, {0x40}, ie32f, F({0.0f, 1.0f})},
      {"bits to 48", ie1g, 2, {0x80}, ieRGB48, {255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0}},
      {"bits to 32", ie1g, 2, {0x80}, ie32RGB, {255, 255, 255, 255, 0, 0, 0, 255}},
      {"bits to CMYK via 24", ie1g, 2, {0x80}, ieCMYK, {255, 255, 255, 255, 255, 255, 255, 0}},
      {"bits to palette", ie1g, 3, {0xA0}, ie8p, {1, 0, 1}},
      // palette
      {"palette to gray", ie8p, 2, {1, 0}, ie8g, {21, 0}},
      {"palette to 16-bit gray", ie8p, 1, {1}, ie16g, {0x74, 0x15}},
      {"palette to 24", ie8p, 2, {1, 0}, ie24RGB, {10, 20, 30, 0, 0, 0}},
      {"palette to 48", ie8p, 1, {1}, ieRGB48, {0x1E, 0x1E, 0x14, 0x14, 0x0A, 0x0A}},
      {"palette to 32", ie8p, 1, {1}, ie32RGB, {10, 20, 30, 255}},
      {"palette to float", ie8p, 1, {1}, ie32f,
       F({float((30 * 0.2126 + 20 * 0.7152 + 10 * 0.0722) / 255)})},
      // 8-bit gray
      {"gray to 16", ie8g, 1, {100}, ie16g, {100, 100}},
      {"gray to 24", ie8g, 1, {100}, ie24RGB, {100, 100, 100}},
      {"gray to float", ie8g, 1, {100}, ie32f, F({float(100 / 255.0)})},
      {"gray to 48", ie8g, 1, {100}, ieRGB48, {100, 100, 100, 100, 100, 100}},
      {"gray to 32", ie8g, 1, {100}, ie32RGB, {100, 100, 100, 255}},
      {"gray keeps bytes in a palette", ie8g, 3, {0, 100, 255}, ie8p, {0, 100, 255}},
      {"black gray to CMYK via 24", ie8g, 1, {0}, ieCMYK, {255, 255, 255, 0}},
      // 16-bit gray
      {"16 to gray", ie16g, 1, {0x34, 0x12}, ie8g, {0x12}},
      {"16 to 24", ie16g, 1, {0x34, 0x12}, ie24RGB, {0x12, 0x12, 0x12}},
      {"16 to float", ie16g, 1, {0x34, 0x12}, ie32f, F({float(0x1234 / 65535.0)})},
      {"16 to 48", ie16g, 1, {0x34, 0x12}, ieRGB48, {0x34, 0x12, 0x34, 0x12, 0x34, 0x12}},
      {"16 to 32", ie16g, 1, {0x34, 0x12}, ie32RGB, {0x12, 0x12, 0x12, 255}},
      {"16 to palette index", ie16g, 1, {0x34, 0x12}, ie8p, {0x12}},
      // float gray; values outside 0..1 are pinned
      {"float to gray", ie32f, 4, F({0.5f, 2.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}),
       ie8g, {127, 255, 0, 0}},
      {"float to 16", ie32f, 1, F({0.5f}), ie16g, {0xFF, 0x7F}},
      {"float to 24", ie32f, 1, F({0.5f}), ie24RGB, {127, 127, 127}},
      {"float to 48", ie32f, 1, F({1.0f}), ieRGB48, {255, 255, 255, 255, 255, 255}},
      {"float to 32", ie32f, 1, F({0.5f}), ie32RGB, {127, 127, 127, 255}},
      {"float to palette index", ie32f, 1, F({0.5f}), ie8p, {127}},
      // CMYK
      {"no ink is white", ieCMYK, 1, {255, 255, 255, 255}, ie24RGB, {255, 255, 255}},
      {"full cyan", ieCMYK, 1, {0, 255, 255, 255}, ie24RGB, {255, 255, 0}},
      {"full black", ieCMYK, 1, {255, 255, 255, 0}, ie24RGB, {0, 0, 0}},
      {"CMYK to 32", ieCMYK, 1, {0, 255, 255, 255}, ie32RGB, {255, 255, 0, 255}},
      {"CMYK to gray via 24", ieCMYK, 1, {0, 255, 255, 255}, ie8g, {201}},
      // 48 bits: R 0x1234, G 0x5678, B 0x9ABC
      {"48 to 24 by high bytes", ieRGB48, 1, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, ie24RGB,
       {0x9A, 0x56, 0x12}},
      {"48 to gray", ieRGB48, 1, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, ie8g, {77}},
      {"48 to 16-bit gray", ieRGB48, 1, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, ie16g, {0x1D, 0x4D}},
      {"48 to 32", ieRGB48, 1, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, ie32RGB, {0x9A, 0x56, 0x12, 255}},
      {"48 white to float", ieRGB48, 1, {255, 255, 255, 255, 255, 255}, ie32f,
       F({float((65535 * 0.2126 + 65535 * 0.7152 + 65535 * 0.0722) / 256.0 / 255.0)})},
      // L*a*b* and 32 bits
      {"L* 100 is white", ieCIELab, 1, {255, 0, 0}, ie24RGB, {255, 255, 255}},
      {"L* 0 is black", ieCIELab, 1, {0, 0, 0}, ie32RGB, {0, 0, 0, 255}},
      {"32 drops the fourth byte", ie32RGB, 1, {1, 2, 3, 9}, ie24RGB, {1, 2, 3}},
      {"32 to gray via 24", ie32RGB, 1, {0, 0, 255, 0}, ie8g, {53}},
  };
  for (const Case& c : cases) {
    auto src = OneRow(c.from, c.width, c.source, kPalette);
    const std::vector<uint8_t> before = Bytes(*src, 0, c.source.size());
    TIEBitmap dst(c.width, 1, c.to);
    dst.CopyAndConvertFormat(*src);
    EXPECT_EQ(Bytes(dst, 0, c.expected.size()), c.expected) << c.name;
    EXPECT_EQ(Bytes(*src, 0, c.source.size()), before) << c.name << ": source changed";
    // The in-place conversion gives the same.
    src->SetPixelFormat(c.to);
    EXPECT_EQ(src->PixelFormat(), c.to);
    EXPECT_EQ(Bytes(*src, 0, c.expected.size()), c.expected) << c.name << " in place";
  }
}

TEST(ConvertFormat, PalettesOfGrayAndBitTargets) {
  auto gray = OneRow(ie8g, 1, {9});
  gray->SetPixelFormat(ie8p);
  EXPECT_EQ(gray->PaletteEntry(0), (TRGB{0, 0, 0}));
  EXPECT_EQ(gray->PaletteEntry(200), (TRGB{200, 200, 200}));
  auto bits = OneRow(ie1g, 1, {0x80});
  bits->SetPixelFormat(ie8p);
  EXPECT_EQ(bits->PaletteEntry(0), (TRGB{0, 0, 0}));
  EXPECT_EQ(bits->PaletteEntry(1), (TRGB{255, 255, 255}));
}

TEST(ConvertFormat, BitsToLabGoThrough24Bits) {
  auto direct = OneRow(ie1g, 9, {0xA5, 0x80});
  auto via = OneRow(ie1g, 9, {0xA5, 0x80});
  direct->SetPixelFormat(ieCIELab);
  via->SetPixelFormat(ie24RGB);
  via->SetPixelFormat(ieCIELab);
  EXPECT_EQ(Bytes(*direct, 0, 27), Bytes(*via, 0, 27));
}

TEST(ConvertFormat, LabRoundTripStaysClose) {
  std::mt19937 rng(3);
  TIEBitmap b(64, 16, ie24RGB);
  for (int y = 0; y < 16; ++y)
    for (int i = 0; i < 64 * 3; ++i) b.Scanline(y)[i] = static_cast<uint8_t>(rng());
  TIEBitmap original;
  original.Assign(&b);
  b.SetPixelFormat(ieCIELab);
  b.SetPixelFormat(ie24RGB);
  int worst = 0;
  for (int y = 0; y < 16; ++y)
    for (int i = 0; i < 64 * 3; ++i)
      worst = std::max(worst, std::abs(b.Scanline(y)[i] - original.Scanline(y)[i]));
  // a* and b* are whole numbers and clamped to a signed byte: saturated
  // colours lose a little.
  EXPECT_LE(worst, 30);
}

TEST(ConvertFormat, DisplayRangeWindowsGrayExpansion) {
  // The target's window wins and is used up.
  auto g16 = OneRow(ie16g, 3, {0xF4, 0x01, 0xD0, 0x07, 0x00, 0x00});  // 500, 2000, 0
  TIEBitmap rgb(3, 1, ie24RGB);
  rgb.SetDisplayRange(0, 1000);
  g16->SetDisplayRange(0, 4000);
  rgb.CopyAndConvertFormat(*g16);
  EXPECT_EQ(Bytes(rgb, 0, 9), (std::vector<uint8_t>{127, 127, 127, 255, 255, 255, 0, 0, 0}));
  EXPECT_EQ(rgb.DisplayRange().Max, 0);
  // Without one on the target the source's applies.
  TIEBitmap again(3, 1, ie24RGB);
  again.CopyAndConvertFormat(*g16);
  EXPECT_EQ(Bytes(again, 0, 9), (std::vector<uint8_t>{31, 31, 31, 127, 127, 127, 0, 0, 0}));
  // An 8-bit source with a window from 100 to 200.
  auto g8 = OneRow(ie8g, 2, {150, 50});
  g8->SetDisplayRange(100, 200);
  g8->SetPixelFormat(ie24RGB);
  EXPECT_EQ(Bytes(*g8, 0, 6), (std::vector<uint8_t>{127, 127, 127, 0, 0, 0}));
}

TEST(ConvertToBits, ThresholdAtTheMeanColour) {
  struct Case {
    const char* name;
    TIEPixelFormat format;
    int width;
    std::vector<uint8_t> row;  // every row of the image
    std::vector<uint8_t> bits;
  } cases[] = {
      {"half black, half white", ie24RGB, 8,
       Cat(std::vector<uint8_t>(12, 0), std::vector<uint8_t>(12, 255)), {0x0F}},
      {"uniform black becomes white", ie24RGB, 5, std::vector<uint8_t>(15, 0), {0xF8}},
      {"uniform gray becomes white", ie8g, 9, std::vector<uint8_t>(9, 77), {0xFF, 0x80}},
      {"gray half and half", ie8g, 4, {0, 0, 255, 255}, {0x30}},
      {"palette through its colours", ie8p, 4, {1, 1, 0, 0}, {0xC0}},
      {"16-bit by high bytes", ie16g, 2, {0xFF, 0x00, 0x00, 0xFF}, {0x40}},
      {"CMYK through RGB", ieCMYK, 2, {255, 255, 255, 255, 255, 255, 255, 0}, {0x80}},
  };
  for (const Case& c : cases) {
    TIEBitmap src(c.width, 3, c.format);
    for (int y = 0; y < 3; ++y) std::memcpy(src.Scanline(y), c.row.data(), c.row.size());
    for (size_t i = 0; i < kPalette.size(); ++i) src.SetPaletteEntry(int(i), kPalette[i]);
    TIEBitmap dst(c.width, 3, ie1g);
    ASSERT_EQ(dst.MonoConversion(), 1);
    dst.CopyAndConvertFormat(src);
    for (int y = 0; y < 3; ++y) EXPECT_EQ(Bytes(dst, y, c.bits.size()), c.bits) << c.name;
  }
}

TEST(ConvertToBits, OrderedDitherFollowsTheBayerMatrix) {
  TIEBitmap src(8, 2, ie8g);
  std::memset(src.Scanline(0), 128, 8);  // q = 32: half of the matrix
  std::memset(src.Scanline(1), 128, 8);
  TIEBitmap dst(8, 2, ie1g);
  dst.SetMonoConversion(0);
  dst.CopyAndConvertFormat(src);
  EXPECT_EQ(dst.Scanline(0)[0], 0xAA);
  EXPECT_EQ(dst.Scanline(1)[0], 0x55);

  TIEBitmap white(3, 1, ie24RGB), out(3, 1, ie1g);
  white.Fill(0xFFFFFF);
  out.SetMonoConversion(0);
  out.CopyAndConvertFormat(white);
  EXPECT_EQ(out.Scanline(0)[0], 0xE0);
}

TEST(ConvertToPalette, FewColoursExactlyManyColoursClosely) {
  TIEBitmap few(4, 2, ie24RGB);
  const uint8_t colours[3][3] = {{10, 20, 30}, {200, 100, 0}, {1, 2, 3}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) std::memcpy(few.PixelAddress(y, x), colours[(x + y) % 3], 3);
  TIEBitmap indexed(4, 2, ie8p);
  indexed.CopyAndConvertFormat(few);
  EXPECT_EQ(indexed.PaletteUsed(), 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      const TRGB c = indexed.PaletteEntry(indexed.Scanline(y)[x]);
      const uint8_t* e = colours[(x + y) % 3];
      EXPECT_EQ(c, (TRGB{e[0], e[1], e[2]}));
    }

  // A smooth gradient of many colours, asked for 16: every pixel lands near its colour.
  TIEBitmap ramp(256, 32, ie24RGB);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 256; ++x) {
      uint8_t* p = ramp.PixelAddress(y, x);
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y * 8);
      p[2] = static_cast<uint8_t>(255 - x);
    }
  TIEBitmap small(256, 32, ie8p);
  small.SetPaletteUsed(16);
  small.CopyAndConvertFormat(ramp);
  EXPECT_LE(small.PaletteUsed(), 16);
  EXPECT_GE(small.PaletteUsed(), 12);
  double error = 0;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 256; ++x) {
      const uint8_t index = small.Scanline(y)[x];
      ASSERT_LT(index, small.PaletteUsed());
      const TRGB c = small.PaletteEntry(index);
      const uint8_t* p = ramp.PixelAddress(y, x);
      error += std::abs(c.b - p[0]) + std::abs(c.g - p[1]) + std::abs(c.r - p[2]);
    }
  EXPECT_LT(error / (256 * 32 * 3), 24.0);
}

TEST(ConvertFormat, CarriesTheAlphaChannelAndIgnoresOtherSizes) {
  TIEBitmap src(3, 2, ie24RGB);
  src.AlphaChannel()->Scanline(1)[2] = 66;
  TIEBitmap dst(3, 2, ie8g);
  dst.CopyAndConvertFormat(src);
  ASSERT_TRUE(dst.HasAlphaChannel());
  EXPECT_EQ(dst.AlphaChannelOrNull()->Scanline(1)[2], 66);

  TIEBitmap other(4, 2, ie8g);
  other.Fill(9);
  other.CopyAndConvertFormat(src);
  EXPECT_EQ(other.Scanline(0)[0], 9);
  EXPECT_FALSE(other.HasAlphaChannel());
}

TEST(ConvertFormat, FileStorageGivesTheSamePixels) {
  auto& g = IEGlobalSettings();
  const int64_t saved = g.MemoryThresholdOverride;
  std::mt19937 rng(11);
  const int w = 45, h = 13;
  auto fill = [&](TIEBitmap& b) {
    for (int y = 0; y < h; ++y)
      for (int i = 0; i < w * 3; ++i) b.Scanline(y)[i] = static_cast<uint8_t>(rng());
  };
  TIEBitmap memory(w, h, ie24RGB);
  fill(memory);
  g.MemoryThresholdOverride = 0;
  TIEBitmap file;
  file.Assign(&memory);
  TIEBitmap fileGray, fileBits;
  ASSERT_TRUE(fileGray.Allocate(w, h, ie8g));
  ASSERT_TRUE(fileBits.Allocate(w, h, ie1g));
  g.MemoryThresholdOverride = saved;
  ASSERT_EQ(file.Location(), ieFile);
  ASSERT_EQ(fileBits.Location(), ieFile);

  TIEBitmap gray(w, h, ie8g), bits(w, h, ie1g);
  gray.CopyAndConvertFormat(memory);
  bits.CopyAndConvertFormat(memory);
  fileGray.CopyAndConvertFormat(file);
  fileBits.CopyAndConvertFormat(file);
  for (int y = 0; y < h; ++y) {
    EXPECT_EQ(Bytes(fileGray, y, w), Bytes(gray, y, w)) << y;
    EXPECT_EQ(Bytes(fileBits, y, 6), Bytes(bits, y, 6)) << y;
  }
  fileBits.SetPixelFormat(ie24RGB);
  bits.SetPixelFormat(ie24RGB);
  for (int y = 0; y < h; ++y) EXPECT_EQ(Bytes(fileBits, y, w * 3), Bytes(bits, y, w * 3)) << y;
}

TEST(ConvertHelpers, RowHelpersMatchThePixelRules) {
  const uint8_t cmyk[8] = {0, 255, 255, 255, 128, 64, 32, 200};
  uint8_t bgr[6];
  IECMYKRowToBGR(cmyk, bgr, 2);
  EXPECT_EQ(bgr[0], 255);
  EXPECT_EQ(bgr[2], 0);
  EXPECT_EQ(bgr[3], 32 * 200 / 255);
  EXPECT_EQ(bgr[5], 128 * 200 / 255);
  const uint8_t rgb[3] = {1, 2, 3};
  IERGBRowToBGR(rgb, bgr, 1);
  EXPECT_EQ(bgr[0], 3);
  EXPECT_EQ(bgr[2], 1);
  EXPECT_EQ(TIEGrayWeights{}.Gray8(255, 0, 0), 53);
}
