// The BMP reader: header variants, bit depths, bit fields, run-length data,
// alpha, and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bmpfilt.h"
#include "iebitmap.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "pixelcheck.h"
#include "testsupport.h"

namespace {

using pixelcheck::PixelAt;
using pixelcheck::Describe;
using testsupport::Put16;
using testsupport::Put32;

struct BmpLayout {
  int headerSize = 40;
  int32_t width = 0, height = 0;
  int bitCount = 24;
  uint32_t compression = 0;
  std::vector<TRGB> palette;
  uint32_t colorsUsed = 0;
  std::vector<uint32_t> masks;  // in the header for sizes >= 52, else after the palette
  int32_t ppm = 2835;
  std::vector<uint8_t> pixels;  // as stored
};

std::vector<uint8_t> Build(const BmpLayout& s) {
  std::vector<uint8_t> info;
  Put32(info, static_cast<uint32_t>(s.headerSize));
  if (s.headerSize == 12) {
    Put16(info, static_cast<uint32_t>(s.width));
    Put16(info, static_cast<uint32_t>(s.height));
    Put16(info, 1);
    Put16(info, static_cast<uint32_t>(s.bitCount));
  } else {
    Put32(info, static_cast<uint32_t>(s.width));
    Put32(info, static_cast<uint32_t>(s.height));
    Put16(info, 1);
    Put16(info, static_cast<uint32_t>(s.bitCount));
    Put32(info, s.compression);
    Put32(info, static_cast<uint32_t>(s.pixels.size()));
    Put32(info, static_cast<uint32_t>(s.ppm));
    Put32(info, static_cast<uint32_t>(s.ppm));
    Put32(info, s.colorsUsed);
    Put32(info, 0);
    if (s.headerSize >= 52)
      for (uint32_t m : s.masks) Put32(info, m);
    info.resize(static_cast<size_t>(s.headerSize), 0);
  }
  for (const TRGB& c : s.palette) {
    info.insert(info.end(), {c.b, c.g, c.r});
    if (s.headerSize != 12) info.push_back(0);
  }
  if (s.headerSize < 52)
    for (uint32_t m : s.masks) Put32(info, m);
  std::vector<uint8_t> v = {'B', 'M'};
  Put32(v, static_cast<uint32_t>(14 + info.size() + s.pixels.size()));
  Put32(v, 0);
  Put32(v, static_cast<uint32_t>(14 + info.size()));
  v.insert(v.end(), info.begin(), info.end());
  v.insert(v.end(), s.pixels.begin(), s.pixels.end());
  return v;
}

// Rows as stored (bottom-up unless topDown), each padded to 32 bits; pixel
// (x, y) of the picture is written by put(row bytes, x, y).
std::vector<uint8_t> Rows(int w, int h, int bitCount, bool topDown,
                          const std::function<void(std::vector<uint8_t>&, int, int)>& put) {
  const size_t rowLen = static_cast<size_t>((w * bitCount + 31) / 32 * 4);
  std::vector<uint8_t> out;
  for (int r = 0; r < h; ++r) {
    const int y = topDown ? r : h - 1 - r;
    std::vector<uint8_t> row(rowLen, 0);
    for (int x = 0; x < w; ++x) put(row, x, y);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// The reference picture: 5 x 3 pixels of four colours that every depth can
// store exactly (5-bit channels, 6-bit green).
constexpr int kW = 5, kH = 3;
const TRGB kColors[4] = {{128, 64, 8}, {0, 0, 248}, {0, 248, 0}, {248, 0, 0}};  // blue, green, red
int Index(int x, int y) { return (x + 2 * y) % 4; }
TRGB Color(int x, int y) { return kColors[Index(x, y)]; }

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void LoadBytes(const std::vector<uint8_t>& bytes, Loaded& out, bool native = false, bool readAlpha = false) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().NativePixelFormat = native;
  io.Params().BmpReadAlpha = readAlpha;
  out.ok = io.LoadFromStreamBMP(s);
  out.params = io.Params();
}

void ExpectReference(TIEBitmap& b, const std::string& what) {
  ASSERT_EQ(b.Width(), kW) << what;
  ASSERT_EQ(b.Height(), kH) << what;
  ASSERT_EQ(b.PixelFormat(), ie24RGB) << what;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      EXPECT_EQ(PixelAt(b, x, y), Color(x, y)) << what << " at " << x << "," << y << ": "
                                               << Describe(PixelAt(b, x, y));
}

std::vector<TRGB> Palette4() { return {kColors[0], kColors[1], kColors[2], kColors[3]}; }

uint16_t Pack555(TRGB c) { return uint16_t(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3)); }
uint16_t Pack565(TRGB c) { return uint16_t(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3)); }

BmpLayout Indexed(int bitCount, int headerSize, bool topDown = false) {
  BmpLayout s;
  s.headerSize = headerSize;
  s.width = kW;
  s.height = topDown ? -kH : kH;
  s.bitCount = bitCount;
  s.palette = Palette4();
  if (headerSize == 12) s.palette.resize(static_cast<size_t>(1) << bitCount);  // core headers: full palette
  else s.colorsUsed = 4;
  s.pixels = Rows(kW, kH, bitCount, topDown, [&](std::vector<uint8_t>& row, int x, int y) {
    if (bitCount == 8) row[static_cast<size_t>(x)] = uint8_t(Index(x, y));
    else row[static_cast<size_t>(x / 2)] |= uint8_t(Index(x, y) << ((x & 1) ? 0 : 4));
  });
  return s;
}

BmpLayout Direct(int bitCount, int headerSize, uint32_t compression, std::vector<uint32_t> masks,
               const std::function<uint32_t(TRGB)>& pack) {
  BmpLayout s;
  s.headerSize = headerSize;
  s.width = kW;
  s.height = kH;
  s.bitCount = bitCount;
  s.compression = compression;
  s.masks = std::move(masks);
  const int bytes = bitCount / 8;
  s.pixels = Rows(kW, kH, bitCount, false, [&](std::vector<uint8_t>& row, int x, int y) {
    uint32_t v = pack(Color(x, y));
    for (int i = 0; i < bytes; ++i) row[static_cast<size_t>(x * bytes + i)] = uint8_t(v >> (8 * i));
  });
  return s;
}

uint32_t PackBGR(TRGB c) { return c.b | (c.g << 8) | (uint32_t(c.r) << 16); }

}  // namespace

TEST(BmpReader, EveryDepthAndHeaderGivesTheSamePicture) {
  struct Case {
    const char* what;
    BmpLayout layout;
    int version;
  } cases[] = {
      {"4-bit, 40-byte header", Indexed(4, 40), 1},
      {"8-bit, 40-byte header", Indexed(8, 40), 1},
      {"8-bit, top-down", Indexed(8, 40, true), 1},
      {"4-bit, OS/2 core header", Indexed(4, 12), 2},
      {"8-bit, OS/2 core header", Indexed(8, 12), 2},
      {"8-bit, 64-byte header", Indexed(8, 64), 3},
      {"8-bit, version 4 header", Indexed(8, 108), 4},
      {"8-bit, version 5 header", Indexed(8, 124), 5},
      {"24-bit, 40-byte header", Direct(24, 40, 0, {}, PackBGR), 1},
      {"24-bit, OS/2 core header", Direct(24, 12, 0, {}, PackBGR), 2},
      {"24-bit, version 5 header", Direct(24, 124, 0, {}, PackBGR), 5},
      {"16-bit 555, no compression", Direct(16, 40, 0, {}, [](TRGB c) { return Pack555(c); }), 1},
      {"16-bit 565 bit fields after header",
       Direct(16, 40, 3, {0xF800, 0x07E0, 0x001F}, [](TRGB c) { return Pack565(c); }), 1},
      {"16-bit 565 bit fields, version 5 header",
       Direct(16, 124, 3, {0xF800, 0x07E0, 0x001F, 0}, [](TRGB c) { return Pack565(c); }), 5},
      {"16-bit 555 bit fields, 56-byte header",
       Direct(16, 56, 3, {0x7C00, 0x03E0, 0x001F, 0}, [](TRGB c) { return Pack555(c); }), 0},
      {"32-bit, no compression", Direct(32, 40, 0, {}, PackBGR), 1},
      {"32-bit bit fields in R, G, B, A byte order",
       Direct(32, 40, 3, {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000},
              [](TRGB c) { return c.r | (c.g << 8) | (uint32_t(c.b) << 16); }),
       1},
      {"32-bit bit fields, version 4 header",
       Direct(32, 108, 3, {0x0000FF00, 0x00FF0000, 0xFF000000, 0},
              [](TRGB c) { return (uint32_t(c.r) << 8) | (c.g << 16) | (uint32_t(c.b) << 24); }),
       4},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadBytes(Build(c.layout), l);
    ASSERT_TRUE(l.ok) << c.what;
    ExpectReference(l.bitmap, c.what);
    EXPECT_EQ(l.params.BmpHeaderVersion, c.version) << c.what;
    EXPECT_EQ(l.params.ImageCount(), 1) << c.what;
    EXPECT_EQ(l.params.Width, kW) << c.what;
    EXPECT_EQ(l.params.Height, kH) << c.what;
  }
}

TEST(BmpReader, FieldsOfTheParameterRecord) {
  struct Case {
    int bitCount;
    int bitsPerSample, samplesPerPixel;
  } cases[] = {{4, 4, 1}, {8, 8, 1}, {16, 5, 3}, {24, 8, 3}, {32, 8, 4}};
  for (const Case& c : cases) {
    BmpLayout s = c.bitCount <= 8 ? Indexed(c.bitCount, 40) : Direct(c.bitCount, 40, 0, {}, PackBGR);
    s.ppm = 3937;  // 100 dpi
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.BitsPerSample, c.bitsPerSample) << c.bitCount;
    EXPECT_EQ(l.params.SamplesPerPixel, c.samplesPerPixel) << c.bitCount;
    EXPECT_EQ(l.params.DpiX(), 100);
    EXPECT_EQ(l.params.ColorMapCount(), c.bitCount <= 8 ? 4 : 0) << c.bitCount;
    EXPECT_FALSE(l.params.BmpCompressed);
  }
  Loaded os2;
  LoadBytes(Build(Indexed(8, 12)), os2);
  EXPECT_EQ(os2.params.DpiX(), 300) << "core headers carry no resolution";
  EXPECT_EQ(os2.params.DpiY(), 300);
  EXPECT_EQ(os2.params.ColorMapCount(), 256);
}

TEST(BmpReader, SixteenBitGreensKeepLowBitsZero) {
  Loaded l565, l555;
  LoadBytes(Build(Direct(16, 40, 3, {0xF800, 0x07E0, 0x001F}, [](TRGB) { return 0x07E0u; })), l565);
  LoadBytes(Build(Direct(16, 40, 0, {}, [](TRGB) { return 0x03E0u; })), l555);
  ASSERT_TRUE(l565.ok && l555.ok);
  EXPECT_EQ(PixelAt(l565.bitmap, 0, 0), (TRGB{0, 252, 0}));
  EXPECT_EQ(PixelAt(l555.bitmap, 0, 0), (TRGB{0, 248, 0}));
}

TEST(BmpReader, SixteenBitGreyEncoding) {
  BmpLayout s = Direct(16, 40, 3, {0xFFFFFFFF, 0, 0}, [](TRGB) { return 0xABCDu; });
  Loaded rgb, native;
  LoadBytes(Build(s), rgb);
  LoadBytes(Build(s), native, true);
  EXPECT_EQ(PixelAt(rgb.bitmap, 1, 1), (TRGB{0xAB, 0xAB, 0xAB}));
  ASSERT_EQ(native.bitmap.PixelFormat(), ie16g);
  EXPECT_EQ(native.bitmap.Scanline(0)[0], 0xCD);
  EXPECT_EQ(native.bitmap.Scanline(0)[1], 0xAB);
}

TEST(BmpReader, NativeModeKeepsIndices) {
  Loaded l;
  LoadBytes(Build(Indexed(4, 40)), l, true);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.bitmap.PixelFormat(), ie8p);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) EXPECT_EQ(l.bitmap.Scanline(y)[x], Index(x, y));
  EXPECT_EQ(l.bitmap.PaletteEntry(3), kColors[3]);
}

TEST(BmpReader, TopDownEqualsBottomUp) {
  for (int bits : {4, 8}) {
    Loaded up, down;
    LoadBytes(Build(Indexed(bits, 40, false)), up);
    LoadBytes(Build(Indexed(bits, 40, true)), down);
    ASSERT_TRUE(up.ok && down.ok);
    for (int y = 0; y < kH; ++y)
      EXPECT_EQ(std::memcmp(up.bitmap.Scanline(y), down.bitmap.Scanline(y), kW * 3), 0) << bits << " row " << y;
  }
}

TEST(BmpReader, OneBitIgnoresPaletteColoursButFollowsWhiteBlackOrder) {
  // Picture bits: 1 = white wanted.
  auto bitsOf = [](int x, int y) { return ((x + y) & 1) != 0; };
  auto make = [&](std::vector<TRGB> palette, bool storeInverted) {
    BmpLayout s;
    s.width = 10;
    s.height = 2;
    s.bitCount = 1;
    s.palette = std::move(palette);
    s.pixels = Rows(10, 2, 1, false, [&](std::vector<uint8_t>& row, int x, int y) {
      bool bit = bitsOf(x, y) != storeInverted;
      if (bit) row[static_cast<size_t>(x / 8)] |= uint8_t(0x80 >> (x % 8));
    });
    return Build(s);
  };
  Loaded blackWhite, whiteBlack, redBlue;
  LoadBytes(make({{0, 0, 0}, {255, 255, 255}}, false), blackWhite);
  LoadBytes(make({{255, 255, 255}, {0, 0, 0}}, true), whiteBlack);
  LoadBytes(make({{0, 0, 255}, {255, 0, 0}}, false), redBlue);
  for (Loaded* l : {&blackWhite, &whiteBlack, &redBlue}) {
    ASSERT_TRUE(l->ok);
    ASSERT_EQ(l->bitmap.PixelFormat(), ie1g);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 10; ++x) {
        bool white = (l->bitmap.Scanline(y)[x / 8] & (0x80 >> (x % 8))) != 0;
        EXPECT_EQ(white, bitsOf(x, y)) << x << "," << y;
      }
  }
  EXPECT_EQ(blackWhite.params.BitsPerSample, 1);
}

TEST(BmpReader, ThirtyTwoBitAlpha) {
  auto withAlpha = [](const std::function<uint8_t(int, int)>& alpha) {
    BmpLayout s = Direct(32, 40, 0, {}, PackBGR);
    s.pixels = Rows(kW, kH, 32, false, [&](std::vector<uint8_t>& row, int x, int y) {
      uint32_t v = PackBGR(Color(x, y)) | (uint32_t(alpha(x, y)) << 24);
      for (int i = 0; i < 4; ++i) row[static_cast<size_t>(x * 4 + i)] = uint8_t(v >> (8 * i));
    });
    return Build(s);
  };
  const auto mixed = withAlpha([](int x, int y) { return uint8_t(x * 50 + y); });
  Loaded withRead, without, zeros, opaque;
  LoadBytes(mixed, withRead, false, true);
  LoadBytes(mixed, without, false, false);
  LoadBytes(withAlpha([](int, int) { return uint8_t(0); }), zeros, false, true);
  LoadBytes(withAlpha([](int, int) { return uint8_t(255); }), opaque, false, true);
  ASSERT_TRUE(withRead.ok);
  ExpectReference(withRead.bitmap, "colours beside alpha");
  ASSERT_TRUE(withRead.bitmap.HasAlphaChannel());
  TIEBitmap* a = withRead.bitmap.AlphaChannel();
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) EXPECT_EQ(a->Scanline(y)[x], x * 50 + y) << x << "," << y;
  EXPECT_FALSE(without.bitmap.HasAlphaChannel()) << "alpha is read only when asked";
  EXPECT_FALSE(zeros.bitmap.HasAlphaChannel()) << "all-zero alpha means no alpha";
  EXPECT_FALSE(opaque.bitmap.HasAlphaChannel());
}

TEST(BmpReader, RunLengthEightBitWithDeltasAndEndCodes) {
  // 6 x 4 picture, bottom-up. Index 0 black, 1 red, 2 green, 3 blue.
  const std::vector<uint8_t> rle = {
      3, 1, 0, 3, 2, 3, 2, 0,  // row 0 (bottom): 1 1 1 2 3 2, literal padded
      0, 0,                    // end of line
      0, 2, 2, 1,              // delta: two right, one up: skip row 1 at x 2 -> row 2, x 2
      2, 3,                    // row 2: x 2..3 = 3
      0, 0,                    // end of line -> row 3
      9, 2,                    // 9 pixels of 2 in a row of 6: the rest piles up on the last column
      0, 1,                    // end of bitmap
      5, 1,                    // ignored
  };
  BmpLayout s;
  s.width = 6;
  s.height = 4;
  s.bitCount = 8;
  s.compression = 1;
  s.palette = {{0, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
  s.pixels = rle;
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  EXPECT_TRUE(l.params.BmpCompressed);
  const TRGB K{0, 0, 0}, R{0, 0, 255}, G{0, 255, 0}, B{255, 0, 0};
  const TRGB expected[4][6] = {
      {G, G, G, G, G, G},  // top: file row 3
      {K, K, B, B, K, K},  // file row 2
      {K, K, K, K, K, K},  // file row 1, skipped by the delta
      {R, R, R, G, B, G},  // bottom: file row 0
  };
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(PixelAt(l.bitmap, x, y), expected[y][x]) << x << "," << y;
}

TEST(BmpReader, RunLengthFourBit) {
  // 7 x 2: run alternating nibbles, literal with padding, pixels past the edge dropped.
  const std::vector<uint8_t> rle = {
      5, 0x12, 0, 0,           // row 0: 1 2 1 2 1
      0, 3, 0x32, 0x10, 0, 0,  // row 1: literal 3 2 1 (two bytes, padded to an even count) -- then EOL
      9, 0x33,                 // beyond the last row: ignored
  };
  BmpLayout s;
  s.width = 7;
  s.height = 2;
  s.bitCount = 4;
  s.compression = 2;
  s.palette = {{0, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
  s.pixels = rle;
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  const TRGB K{0, 0, 0}, R{0, 0, 255}, G{0, 255, 0}, B{255, 0, 0};
  const TRGB expected[2][7] = {{B, G, R, K, K, K, K}, {R, G, R, G, R, K, K}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(PixelAt(l.bitmap, x, y), expected[y][x]) << x << "," << y;
}

TEST(BmpReader, RunLengthWithoutEndCodeStopsAtTheEndOfItsData) {
  BmpLayout s;
  s.width = 4;
  s.height = 3;
  s.bitCount = 8;
  s.compression = 1;
  s.palette = {{0, 0, 0}, {0, 0, 255}};
  s.pixels = {4, 1, 0, 0, 2, 1};
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(PixelAt(l.bitmap, 3, 2), (TRGB{0, 0, 255}));
  EXPECT_EQ(PixelAt(l.bitmap, 1, 1), (TRGB{0, 0, 255}));
  EXPECT_EQ(PixelAt(l.bitmap, 2, 1), (TRGB{0, 0, 0}));
  EXPECT_EQ(PixelAt(l.bitmap, 0, 0), (TRGB{0, 0, 0}));
}

TEST(BmpReader, OddCasesThatStillLoad) {
  BmpLayout zeroWidth = Indexed(8, 40);
  zeroWidth.width = 0;
  Loaded a;
  LoadBytes(Build(zeroWidth), a);
  EXPECT_TRUE(a.ok) << "a header with width 0 loads, without pixels";
  EXPECT_TRUE(a.bitmap.IsEmpty());

  BmpLayout beyond = Indexed(8, 40);
  beyond.colorsUsed = 2;
  beyond.palette.resize(2);
  beyond.pixels[0] = 200;  // index past the palette
  Loaded b;
  LoadBytes(Build(beyond), b);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(PixelAt(b.bitmap, 0, kH - 1), (TRGB{0, 0, 0}));

  BmpLayout odd = Direct(24, 40, 0, {}, PackBGR);
  odd.bitCount = 7;
  Loaded c;
  LoadBytes(Build(odd), c);
  EXPECT_TRUE(c.ok) << "unknown depth: allocated, no pixels, no failure";
  EXPECT_EQ(c.bitmap.Width(), kW);

  std::vector<uint8_t> cut = Build(Direct(24, 40, 0, {}, PackBGR));
  cut.resize(cut.size() - 20);  // last row partly missing
  Loaded d;
  LoadBytes(cut, d);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(PixelAt(d.bitmap, 0, kH - 1), Color(0, kH - 1)) << "rows that are there are read";
}

TEST(BmpReader, HostileFilesFailWithoutHugeAllocations) {
  auto lying = [](int32_t w, int32_t h, int bits, uint32_t compression) {
    BmpLayout s;
    s.width = w;
    s.height = h;
    s.bitCount = bits;
    s.compression = compression;
    s.pixels.assign(30, 0x11);
    return Build(s);
  };
  BmpLayout wideHeader = Indexed(8, 40);
  std::vector<uint8_t> hugeHeader = Build(wideHeader);
  hugeHeader[14] = 0xFF, hugeHeader[15] = 0xFF, hugeHeader[16] = 0xFF, hugeHeader[17] = 0x7F;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"100-byte file claiming 60000 x 60000", lying(60000, 60000, 24, 0)},
      {"RLE8 claiming 60000 x 60000", lying(60000, 60000, 8, 1)},
      {"1-bit claiming 30000 x 30000", lying(30000, 30000, 1, 0)},
      {"height INT32_MIN", lying(4, INT32_MIN, 24, 0)},
      {"negative width", lying(-4, 4, 24, 0)},
      {"width beyond the limits", lying(1 << 30, 1, 24, 0)},
      {"not BM", {'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0}},
      {"header cut short", {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40}},
  };
  for (const Case& c : cases) {
    Loaded l;
    auto start = std::chrono::steady_clock::now();
    LoadBytes(c.bytes, l);
    EXPECT_FALSE(l.ok) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
  }
  Loaded l;
  LoadBytes(hugeHeader, l);  // absurd header size: reads nothing sensible, must not crash
}

TEST(BmpReader, FilesCutAtEveryLengthNeverCrash) {
  std::vector<std::vector<uint8_t>> files = {Build(Indexed(4, 40)), Build(Indexed(8, 124)),
                                             Build(Direct(32, 108, 3, {0xFF00, 0xFF0000, 0xFF000000, 0xFF},
                                                          PackBGR))};
  BmpLayout rle;
  rle.width = 6;
  rle.height = 4;
  rle.bitCount = 8;
  rle.compression = 1;
  rle.palette = {{0, 0, 0}, {1, 2, 3}};
  rle.pixels = {3, 1, 0, 3, 1, 1, 1, 0, 0, 0, 2, 5, 5, 0, 0, 0, 1};
  files.push_back(Build(rle));
  for (const auto& full : files) {
    for (size_t n = 0; n <= full.size(); ++n) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l;
      LoadBytes(cut, l, n % 2 == 1, true);
    }
  }
}

TEST(BmpReader, MatchesAnIndependentDecoder) {
  // Files written by ImageMagick and the pixels ImageMagick decodes from them.
  struct Case {
    const char* name;
    int tolerance;  // 16-bit: ImageMagick widens 5 bits by replication, we by zeros
  } cases[] = {{"rgb24", 0}, {"p4", 0}, {"p8", 0}, {"rle8", 0}, {"rle4", 0},
               {"os2", 0},   {"mono", 0}, {"argb32", 0}, {"rgb565", 7}};
  for (const Case& c : cases) {
    TIEBitmap b;
    TIOParams params;
    ASSERT_TRUE(b.Read(testsupport::DataPath(std::string("bmp/") + c.name + ".bmp"), &params)) << c.name;
    std::vector<uint8_t> ppm = testsupport::ReadFileBytes(testsupport::DataPath(std::string("bmp/") + c.name + ".ppm"));
    std::istringstream head(std::string(ppm.begin(), ppm.begin() + 20));
    std::string magic;
    int w = 0, h = 0, maxv = 0;
    head >> magic >> w >> h >> maxv;
    ASSERT_EQ(magic, "P6");
    const size_t offset = ppm.size() - static_cast<size_t>(w) * h * 3;
    ASSERT_EQ(b.Width(), w) << c.name;
    ASSERT_EQ(b.Height(), h) << c.name;
    if (b.PixelFormat() != ie24RGB) b.SetPixelFormat(ie24RGB);
    int worst = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* ref = ppm.data() + offset + (static_cast<size_t>(y) * w + x) * 3;
        TRGB got = PixelAt(b, x, y);
        worst = std::max({worst, std::abs(got.r - ref[0]), std::abs(got.g - ref[1]), std::abs(got.b - ref[2])});
      }
    EXPECT_LE(worst, c.tolerance) << c.name;
  }
}
