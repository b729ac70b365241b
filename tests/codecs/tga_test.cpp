// The TGA reader: every image type against independent decoders, row and
// pixel order, 16-bit pixels, alpha, packets across rows, colour maps and
// their defaults, the version 2.0 extension area, and hostile files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieformats.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "ietgafil.h"
#include "pixelcheck.h"
#include "testsupport.h"

namespace {

using pixelcheck::PixelAt;
using pixelcheck::Describe;
using pixelcheck::Netpbm;
using pixelcheck::ReadNetpbm;
using testsupport::Put16;
using testsupport::Put32;

struct TgaSpec {
  uint8_t type = 2, depth = 24, descriptor = 0;
  int width = 3, height = 2;
  std::string id;
  uint8_t mapType = 0, entryBits = 0;
  uint16_t firstEntry = 0, mapLength = 0;
  std::vector<uint8_t> map;   // entries as stored
  std::vector<uint8_t> data;  // pixel data as stored
  std::vector<uint8_t> tail;  // after the data (extension area and footer)
};

std::vector<uint8_t> Build(const TgaSpec& s) {
  std::vector<uint8_t> v = {uint8_t(s.id.size()), s.mapType, s.type};
  Put16(v, s.firstEntry);
  Put16(v, s.mapLength);
  v.push_back(s.entryBits);
  Put16(v, 5);  // x origin
  Put16(v, 7);  // y origin
  Put16(v, static_cast<uint32_t>(s.width));
  Put16(v, static_cast<uint32_t>(s.height));
  v.push_back(s.depth);
  v.push_back(s.descriptor);
  v.insert(v.end(), s.id.begin(), s.id.end());
  v.insert(v.end(), s.map.begin(), s.map.end());
  v.insert(v.end(), s.data.begin(), s.data.end());
  v.insert(v.end(), s.tail.begin(), s.tail.end());
  return v;
}

// The picture of the hand-made 24-bit files: pixel (x, y) of 3 x 2.
TRGB Color(int x, int y) { return TRGB{uint8_t(10 + x), uint8_t(20 + y), uint8_t(100 + 10 * x + y)}; }

// Rows of a picture in file order: bottom-up unless topDown, right to left
// when rightToLeft; each pixel written by put.
template <typename Put>
std::vector<uint8_t> Rows(int w, int h, bool topDown, bool rightToLeft, Put put) {
  std::vector<uint8_t> v;
  for (int r = 0; r < h; ++r)
    for (int i = 0; i < w; ++i) put(v, rightToLeft ? w - 1 - i : i, topDown ? r : h - 1 - r);
  return v;
}

void PutBGR(std::vector<uint8_t>& v, int x, int y) {
  TRGB c = Color(x, y);
  v.insert(v.end(), {c.b, c.g, c.r});
}

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void LoadBytes(const std::vector<uint8_t>& bytes, Loaded& out) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  out.ok = io.LoadFromStreamTGA(s);
  out.params = io.Params();
}

void ExpectPicture(TIEBitmap& b, const std::string& what) {
  ASSERT_EQ(b.Width(), 3) << what;
  ASSERT_EQ(b.Height(), 2) << what;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(PixelAt(b, x, y), Color(x, y)) << what << " at " << x << "," << y << ": " << Describe(PixelAt(b, x, y));
}

std::string Data(const std::string& name) { return testsupport::DataPath("tga/" + name); }

// Extension area (495 bytes) and footer for a version 2.0 file whose
// extension area starts at offset.
std::vector<uint8_t> Version2Tail(uint32_t offset, const std::string& author, const std::string& software,
                                  std::vector<uint16_t> date, uint16_t aspect[2], uint16_t gamma[2],
                                  uint32_t keyColor) {
  std::vector<uint8_t> e(495, 0);
  e[0] = 0xEF, e[1] = 0x01;
  std::memcpy(e.data() + 2, author.data(), author.size());
  for (size_t i = 0; i < date.size(); ++i) e[367 + 2 * i] = uint8_t(date[i]), e[368 + 2 * i] = uint8_t(date[i] >> 8);
  std::memcpy(e.data() + 426, software.data(), software.size());
  for (int i = 0; i < 4; ++i) e[470 + i] = uint8_t(keyColor >> (8 * i));
  e[474] = uint8_t(aspect[0]), e[475] = uint8_t(aspect[0] >> 8), e[476] = uint8_t(aspect[1]), e[477] = uint8_t(aspect[1] >> 8);
  e[478] = uint8_t(gamma[0]), e[479] = uint8_t(gamma[0] >> 8), e[480] = uint8_t(gamma[1]), e[481] = uint8_t(gamma[1] >> 8);
  Put32(e, offset);
  Put32(e, 0);
  const char sig[] = "TRUEVISION-XFILE.";
  e.insert(e.end(), sig, sig + sizeof sig);
  return e;
}

TIEDateTime Today() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return TIEDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0, 0, 0};
}

}  // namespace

TEST(TgaReader, MatchesIndependentDecoders) {
  // Files written by netpbm's ppmtotga (bottom-up, with an image ID) and by
  // ImageMagick (top-down); references are what netpbm's tgatoppm and
  // ImageMagick decode from them (they agree).
  struct Case {
    const char* file;
    const char* reference;
    const char* id;
    bool compressed, grey, alpha;
    int colorMapCount, bits, samples;
  } cases[] = {
      {"rgb24.tga", "base.ppm", "base", false, false, false, 0, 8, 3},
      {"rgb24-rle.tga", "base.ppm", "base", true, false, false, 0, 8, 3},
      {"cmap.tga", "p200.ppm", "p200", false, false, false, 186, 8, 1},
      {"cmap-rle.tga", "p200.ppm", "p200", true, false, false, 186, 8, 1},
      {"grey-rle.tga", "grey.ppm", "grey", true, true, false, 0, 8, 1},
      {"grey.tga", "grey.ppm", "", false, true, false, 0, 8, 1},
      {"rgba.tga", "rgba.ppm", "", false, false, true, 0, 8, 4},
      {"rgba-rle.tga", "rgba.ppm", "", true, false, true, 0, 8, 4},
  };
  const Netpbm refAlpha = ReadNetpbm(Data("rgba-alpha.pgm"));
  for (const Case& c : cases) {
    TIEBitmap b;
    TIOParams params;
    ASSERT_TRUE(b.Read(Data(c.file), &params)) << c.file;
    EXPECT_EQ(params.FileType, ioTGA) << c.file;
    EXPECT_EQ(DetectFileFormat(Data(c.file)), ioTGA) << c.file << ": content detection";
    EXPECT_EQ(params.TgaImageId, c.id) << c.file;
    EXPECT_EQ(params.TgaCompressed, c.compressed) << c.file;
    EXPECT_EQ(params.TgaGrayLevel, c.grey) << c.file;
    EXPECT_EQ(params.ColorMapCount(), c.colorMapCount) << c.file;
    EXPECT_EQ(params.BitsPerSample, c.bits) << c.file;
    EXPECT_EQ(params.SamplesPerPixel, c.samples) << c.file;
    EXPECT_EQ(params.ImageCount(), 1) << c.file;
    EXPECT_EQ(params.DpiX(), 300) << c.file;
    ASSERT_EQ(b.PixelFormat(), ie24RGB) << c.file;
    ASSERT_EQ(b.HasAlphaChannel(), c.alpha) << c.file;
    const Netpbm ref = ReadNetpbm(Data(c.reference));
    ASSERT_EQ(b.Width(), ref.width) << c.file;
    ASSERT_EQ(b.Height(), ref.height) << c.file;
    int wrong = 0, wrongAlpha = 0;
    for (int y = 0; y < ref.height; ++y)
      for (int x = 0; x < ref.width; ++x) {
        const uint8_t* r = ref.samples.data() + (static_cast<size_t>(y) * ref.width + x) * 3;
        wrong += PixelAt(b, x, y) != TRGB{r[2], r[1], r[0]};
        if (c.alpha)
          wrongAlpha += b.AlphaChannel()->Scanline(y)[x] != refAlpha.samples[static_cast<size_t>(y) * ref.width + x];
      }
    EXPECT_EQ(wrong, 0) << c.file;
    EXPECT_EQ(wrongAlpha, 0) << c.file;
  }
}

TEST(TgaReader, RowAndPixelOrderGiveTheSamePicture) {
  struct Case {
    const char* what;
    bool topDown, rightToLeft, rle;
  } cases[] = {
      {"bottom-up", false, false, false},         {"top-down", true, false, false},
      {"bottom-up, right to left", false, true, false}, {"top-down, right to left", true, true, false},
      {"top-down, run-length", true, false, true},     {"bottom-up, right to left, run-length", false, true, true},
  };
  for (const Case& c : cases) {
    TgaSpec s;
    s.descriptor = uint8_t((c.topDown ? 0x20 : 0) | (c.rightToLeft ? 0x10 : 0));
    s.data = Rows(3, 2, c.topDown, c.rightToLeft, PutBGR);
    if (c.rle) {
      s.type = 10;
      s.data.insert(s.data.begin(), 5);  // one raw packet of all six pixels
    }
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok) << c.what;
    ExpectPicture(l.bitmap, c.what);
    EXPECT_EQ(l.params.TgaXPos, 5);
    EXPECT_EQ(l.params.TgaYPos, 7);
  }
  // Right to left at 32 bits: the alpha follows its pixel.
  TgaSpec s;
  s.depth = 32;
  s.descriptor = 0x30;
  s.data = Rows(3, 2, true, true, [](std::vector<uint8_t>& v, int x, int y) {
    PutBGR(v, x, y);
    v.push_back(uint8_t(x * 100 + y));
  });
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  ExpectPicture(l.bitmap, "32-bit right to left");
  ASSERT_TRUE(l.bitmap.HasAlphaChannel());
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(l.bitmap.AlphaChannel()->Scanline(y)[x], x * 100 + y) << x << "," << y;
}

TEST(TgaReader, SixteenBitPixels) {
  for (uint8_t depth : {uint8_t(16), uint8_t(15)}) {
    TgaSpec s;
    s.depth = depth;
    s.width = 4;
    s.height = 1;
    for (uint16_t w : {0x7C00, 0x03E0, 0x001F, 0xFFFF}) Put16(s.data, w);
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok) << int(depth);
    EXPECT_EQ(PixelAt(l.bitmap, 0, 0), (TRGB{0, 0, 248})) << "red";
    EXPECT_EQ(PixelAt(l.bitmap, 1, 0), (TRGB{0, 248, 0})) << "green";
    EXPECT_EQ(PixelAt(l.bitmap, 2, 0), (TRGB{248, 0, 0})) << "blue";
    EXPECT_EQ(PixelAt(l.bitmap, 3, 0), (TRGB{248, 248, 248})) << "the top bit is no alpha";
    EXPECT_FALSE(l.bitmap.HasAlphaChannel());
    EXPECT_EQ(l.params.BitsPerSample, 5);
    EXPECT_EQ(l.params.SamplesPerPixel, 3);
  }
}

TEST(TgaReader, ThirtyTwoBitAlpha) {
  auto file = [](auto alphaOf) {
    TgaSpec s;
    s.depth = 32;
    s.data = Rows(3, 2, false, false, [&](std::vector<uint8_t>& v, int x, int y) {
      PutBGR(v, x, y);
      v.push_back(alphaOf(x, y));
    });
    return Build(s);
  };
  Loaded zeros, opaque, mixed;
  LoadBytes(file([](int, int) { return uint8_t(0); }), zeros);
  LoadBytes(file([](int, int) { return uint8_t(255); }), opaque);
  LoadBytes(file([](int x, int y) { return uint8_t(x * 20 + y); }), mixed);
  ASSERT_TRUE(zeros.ok && opaque.ok && mixed.ok);
  ExpectPicture(zeros.bitmap, "alpha all 0");
  EXPECT_FALSE(zeros.bitmap.HasAlphaChannel()) << "all-zero alpha is taken as opaque";
  ASSERT_TRUE(opaque.bitmap.HasAlphaChannel());
  ASSERT_TRUE(mixed.bitmap.HasAlphaChannel());
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(opaque.bitmap.AlphaChannel()->Scanline(y)[x], 255);
      EXPECT_EQ(mixed.bitmap.AlphaChannel()->Scanline(y)[x], x * 20 + y);
    }

  // Alpha from a 32-bit colour map of an 8-bit image.
  TgaSpec s;
  s.type = 1;
  s.depth = 8;
  s.mapType = 1;
  s.entryBits = 32;
  s.mapLength = 2;
  s.map = {1, 2, 3, 0, 4, 5, 6, 128};
  s.width = 2;
  s.height = 1;
  s.data = {0, 1};
  Loaded mapped;
  LoadBytes(Build(s), mapped);
  ASSERT_TRUE(mapped.ok);
  EXPECT_EQ(PixelAt(mapped.bitmap, 1, 0), (TRGB{4, 5, 6}));
  ASSERT_TRUE(mapped.bitmap.HasAlphaChannel());
  EXPECT_EQ(mapped.bitmap.AlphaChannel()->Scanline(0)[0], 0);
  EXPECT_EQ(mapped.bitmap.AlphaChannel()->Scanline(0)[1], 128);
}

TEST(TgaReader, PacketsContinueAcrossRows) {
  TgaSpec s;
  s.type = 10;
  s.descriptor = 0x20;
  // A run of four (row 0 and the first pixel of row 1), then a raw packet of
  // three that ends row 1 and starts row 2, then a run of two.
  const uint8_t A[3] = {1, 2, 3}, B[3] = {4, 5, 6}, C[3] = {7, 8, 9}, D[3] = {10, 11, 12}, E[3] = {13, 14, 15};
  s.height = 3;
  s.data = {0x83};
  s.data.insert(s.data.end(), A, A + 3);
  s.data.push_back(0x02);
  for (const uint8_t* p : {B, C, D}) s.data.insert(s.data.end(), p, p + 3);
  s.data.push_back(0x81);
  s.data.insert(s.data.end(), E, E + 3);
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  const uint8_t* want[3][3] = {{A, A, A}, {A, B, C}, {D, E, E}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(PixelAt(l.bitmap, x, y), (TRGB{want[y][x][0], want[y][x][1], want[y][x][2]})) << x << "," << y;
}

TEST(TgaReader, ExtensionAreaAndItsDefaults) {
  TgaSpec v1;
  v1.data = Rows(3, 2, false, false, PutBGR);
  Loaded old;
  LoadBytes(Build(v1), old);
  ASSERT_TRUE(old.ok);
  EXPECT_EQ(old.params.TgaGamma, 2.2);
  EXPECT_EQ(old.params.TgaAspectRatio, 1.0);
  EXPECT_TRUE(old.params.TgaAuthor.empty());
  EXPECT_TRUE(old.params.TgaSoftware.empty());
  EXPECT_EQ(old.params.TgaKeyColor, (TRGB{0, 0, 0}));
  EXPECT_EQ(old.params.TgaDate, Today());

  const uint32_t at = static_cast<uint32_t>(Build(v1).size());
  uint16_t aspect[2] = {4, 3}, gamma[2] = {22, 10}, zero[2] = {0, 7};
  TgaSpec v2 = v1;
  v2.tail = Version2Tail(at, "Ada Lovelace   ", "Velmora test", {12, 24, 2019, 23, 59, 58}, aspect, gamma,
                         0xFF102030);
  Loaded l;
  LoadBytes(Build(v2), l);
  ASSERT_TRUE(l.ok);
  ExpectPicture(l.bitmap, "version 2.0");
  EXPECT_EQ(l.params.TgaAuthor, "Ada Lovelace");
  EXPECT_EQ(l.params.TgaSoftware, "Velmora test");
  EXPECT_EQ(l.params.TgaDate, (TIEDateTime{2019, 12, 24, 23, 59, 58}));
  EXPECT_EQ(l.params.TgaKeyColor, (TRGB{0x30, 0x20, 0x10}));
  EXPECT_DOUBLE_EQ(l.params.TgaAspectRatio, 4.0 / 3.0);
  EXPECT_DOUBLE_EQ(l.params.TgaGamma, 2.2);

  struct Bad {
    const char* what;
    std::vector<uint16_t> date;
  } bad[] = {{"month 13", {13, 1, 2000, 0, 0, 0}}, {"day 0", {1, 0, 2000, 0, 0, 0}},
             {"year 2500", {1, 1, 2500, 0, 0, 0}}, {"hour 24", {1, 1, 2000, 24, 0, 0}},
             {"second 60", {1, 1, 2000, 0, 0, 60}}};
  for (const Bad& b : bad) {
    TgaSpec s = v1;
    s.tail = Version2Tail(at, "", "", b.date, zero, zero, 0);
    Loaded x;
    LoadBytes(Build(s), x);
    ASSERT_TRUE(x.ok) << b.what;
    EXPECT_EQ(x.params.TgaDate, Today()) << b.what;
    EXPECT_EQ(x.params.TgaAspectRatio, 1.0) << "a zero numerator keeps the default";
    EXPECT_EQ(x.params.TgaGamma, 2.2);
  }

  // Offsets that lead nowhere keep the defaults: 0 (no extension area) and
  // past the end.
  for (uint32_t offset : {0u, 100000u}) {
    TgaSpec s = v1;
    s.tail = Version2Tail(offset, "Someone", "Something", {1, 2, 2003, 4, 5, 6}, aspect, gamma, 0);
    Loaded x;
    LoadBytes(Build(s), x);
    ASSERT_TRUE(x.ok) << offset;
    EXPECT_TRUE(x.params.TgaAuthor.empty()) << offset;
    EXPECT_EQ(x.params.TgaGamma, 2.2) << offset;
  }
}

TEST(TgaReader, GreyAndColourMapsAndTheirDefaults) {
  // Grey without a colour map: the index is the grey level.
  TgaSpec grey;
  grey.type = 3;
  grey.depth = 8;
  grey.data = {0, 17, 255, 128, 3, 200};
  Loaded g;
  LoadBytes(Build(grey), g);
  ASSERT_TRUE(g.ok);
  EXPECT_TRUE(g.params.TgaGrayLevel);
  EXPECT_EQ(g.params.ColorMapCount(), 0);
  ASSERT_EQ(g.bitmap.PixelFormat(), ie24RGB);
  EXPECT_EQ(PixelAt(g.bitmap, 1, 1), (TRGB{17, 17, 17}));
  EXPECT_EQ(PixelAt(g.bitmap, 0, 0), (TRGB{128, 128, 128}));

  // A colour map of 16-bit entries from entry 2 on; the other indices keep
  // the default colour cube, and indices past the map are no trouble.
  TgaSpec mapped;
  mapped.type = 1;
  mapped.depth = 8;
  mapped.mapType = 1;
  mapped.entryBits = 16;
  mapped.firstEntry = 2;
  mapped.mapLength = 2;
  Put16(mapped.map, 0x7C00);
  Put16(mapped.map, 0x001F);
  mapped.descriptor = 0x20;
  mapped.data = {2, 3, 0, 255, uint8_t(5 * 32 + 3 * 4 + 1), 4};
  auto cube = [](int r, int g, int b) { return TRGB{uint8_t(b * 64 + 60), uint8_t(g * 32 + 28), uint8_t(r * 32 + 28)}; };
  Loaded m;
  LoadBytes(Build(mapped), m);
  ASSERT_TRUE(m.ok);
  EXPECT_FALSE(m.params.TgaGrayLevel);
  EXPECT_EQ(PixelAt(m.bitmap, 0, 0), (TRGB{0, 0, 248}));
  EXPECT_EQ(PixelAt(m.bitmap, 1, 0), (TRGB{248, 0, 0}));
  EXPECT_EQ(PixelAt(m.bitmap, 2, 0), cube(0, 0, 0));
  EXPECT_EQ(PixelAt(m.bitmap, 0, 1), cube(7, 7, 3));
  EXPECT_EQ(PixelAt(m.bitmap, 1, 1), cube(5, 3, 1));
  EXPECT_EQ(PixelAt(m.bitmap, 2, 1), cube(0, 1, 0));
  EXPECT_EQ(m.params.ColorMapCount(), 2);

  // Maps of 15, 24 and 32 bits, and a map that runs past entry 255.
  struct Entry {
    uint8_t bits;
    std::vector<uint8_t> bytes;
    TRGB color;
  } entries[] = {{15, {0xE0, 0x03}, {0, 248, 0}}, {24, {1, 2, 3}, {1, 2, 3}}, {32, {1, 2, 3, 255}, {1, 2, 3}}};
  for (const Entry& e : entries) {
    TgaSpec s;
    s.type = 1;
    s.depth = 8;
    s.mapType = 1;
    s.entryBits = e.bits;
    s.firstEntry = 250;
    s.mapLength = 10;
    for (int i = 0; i < 10; ++i) s.map.insert(s.map.end(), e.bytes.begin(), e.bytes.end());
    s.width = 2;
    s.height = 1;
    s.data = {255, 249};
    Loaded x;
    LoadBytes(Build(s), x);
    ASSERT_TRUE(x.ok) << int(e.bits);
    EXPECT_EQ(PixelAt(x.bitmap, 0, 0), e.color) << int(e.bits);
    EXPECT_EQ(PixelAt(x.bitmap, 1, 0), cube(7, 6, 1)) << int(e.bits);
  }
}

TEST(TgaReader, OneBitKeepsItsBits) {
  for (bool rle : {false, true}) {
    TgaSpec s;
    s.type = rle ? 11 : 3;
    s.depth = 1;
    s.width = 10;
    s.height = 2;
    s.descriptor = 0x20;
    s.data = rle ? std::vector<uint8_t>{0x03, 0xA5, 0xFF, 0x0F, 0x3F} : std::vector<uint8_t>{0xA5, 0xFF, 0x0F, 0x3F};
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok) << rle;
    ASSERT_EQ(l.bitmap.PixelFormat(), ie1g);
    EXPECT_EQ(l.bitmap.Scanline(0)[0], 0xA5) << rle;
    EXPECT_EQ(l.bitmap.Scanline(0)[1], 0xC0) << rle;
    EXPECT_EQ(l.bitmap.Scanline(1)[0], 0x0F) << rle;
    EXPECT_EQ(l.params.BitsPerSample, 1);
  }
}

TEST(TgaReader, ShortDataLeavesTheRestBlack) {
  TgaSpec s;
  s.descriptor = 0x20;
  s.data = Rows(3, 2, true, false, PutBGR);
  s.data.resize(12);  // row 0 and one pixel of row 1
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(PixelAt(l.bitmap, 2, 0), Color(2, 0));
  EXPECT_EQ(PixelAt(l.bitmap, 0, 1), Color(0, 1));
  EXPECT_EQ(PixelAt(l.bitmap, 1, 1), (TRGB{0, 0, 0}));
}

TEST(TgaReader, ProgressHandlerCanCancel) {
  TgaSpec s;
  s.data = Rows(3, 2, false, false, PutBGR);
  const std::vector<uint8_t> bytes = Build(s);
  TIEMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  int calls = 0;
  io.OnProgress = [&](void*, int percent) {
    ++calls;
    if (percent > 0 && percent < 100) io.SetLoadAborted(true);
  };
  EXPECT_FALSE(io.LoadFromStreamTGA(stream));
  EXPECT_EQ(PixelAt(bitmap, 0, 0), (TRGB{0, 0, 0})) << "the second row was not read";
  EXPECT_GT(calls, 0);
}

TEST(TgaReader, ProbeAndHostileFiles) {
  TgaSpec good;
  good.data = Rows(3, 2, false, false, PutBGR);
  {
    const std::vector<uint8_t> b = Build(good);
    TIEMemoryStream s(b.data(), static_cast<int64_t>(b.size()));
    EXPECT_EQ(DetectStreamFormat(s), ioTGA);
  }
  auto with = [&](auto change) {
    TgaSpec s = good;
    change(s);
    return Build(s);
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"type 0", with([](TgaSpec& s) { s.type = 0; })},
      {"type 4", with([](TgaSpec& s) { s.type = 4; })},
      {"type 32", with([](TgaSpec& s) { s.type = 32; })},
      {"depth 4", with([](TgaSpec& s) { s.depth = 4; })},
      {"depth 7", with([](TgaSpec& s) { s.depth = 7; })},
      {"width 0", with([](TgaSpec& s) { s.width = 0; })},
      {"65535 x 65535 in 40 bytes", with([](TgaSpec& s) { s.width = s.height = 65535; })},
      {"run-length 65535 x 65535", with([](TgaSpec& s) { s.type = 10, s.width = s.height = 65535; })},
      {"header cut short", std::vector<uint8_t>(10, 2)},
  };
  for (const Case& c : cases) {
    Loaded l;
    auto start = std::chrono::steady_clock::now();
    LoadBytes(c.bytes, l);
    EXPECT_FALSE(l.ok) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
  }
  // A map of 65535 entries in a file that ends inside it.
  Loaded l;
  LoadBytes(with([](TgaSpec& s) {
              s.type = 1, s.depth = 8, s.mapType = 1, s.entryBits = 24, s.mapLength = 65535;
              s.map.assign(30, 7);
            }),
            l);
}

TEST(TgaReader, FilesCutAtEveryLengthNeverCrash) {
  for (const char* name : {"rgb24-rle.tga", "cmap-rle.tga", "rgba-rle.tga", "grey.tga"}) {
    const std::vector<uint8_t> full = testsupport::ReadFileBytes(Data(name));
    ASSERT_FALSE(full.empty()) << name;
    for (size_t n = 0; n <= full.size(); n += (n < 100 ? 1 : 5)) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l;
      LoadBytes(cut, l);
    }
  }
}
