// The PNM (P1 to P6) and WBMP readers.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieformats.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "pixelcheck.h"
#include "testsupport.h"

namespace {

using pixelcheck::PixelAt;

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void LoadPnm(const std::vector<uint8_t>& bytes, Loaded& out, bool native = false) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().NativePixelFormat = native;
  out.ok = io.LoadFromStreamPXM(s);
  out.params = io.Params();
}

void LoadWbmp(const std::vector<uint8_t>& bytes, Loaded& out) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  out.ok = io.LoadFromStreamWBMP(s);
  out.params = io.Params();
}

bool BitAt(TIEBitmap& b, int x, int y) { return (b.Scanline(y)[x >> 3] >> (7 - (x & 7))) & 1; }

// The bi-level reference: 10 x 3, black where (x + y) % 3 == 0.
constexpr int kW = 10, kH = 3;
bool Black(int x, int y) { return (x + y) % 3 == 0; }

std::string PlainBits(bool comments) {
  std::string s = comments ? "P1\n# made by hand\n10 # width\n# height next\n3\n" : "P1\n10 3\n";
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) s += Black(x, y) ? "1 " : "0 ";
    s += comments ? "# 1 1 1 digits in a comment are no pixels\n" : "\n";
  }
  return s;
}

std::string RawBits() {
  std::string s = "P4\n10 3\n";
  for (int y = 0; y < kH; ++y) {
    uint8_t row[2] = {0, 0};
    for (int x = 0; x < kW; ++x)
      if (Black(x, y)) row[x / 8] |= uint8_t(0x80 >> (x % 8));
    s.append(reinterpret_cast<char*>(row), 2);
  }
  return s;
}

void ExpectReferenceBits(TIEBitmap& b, const std::string& what) {
  ASSERT_EQ(b.PixelFormat(), ie1g) << what;
  ASSERT_EQ(b.Width(), kW) << what;
  ASSERT_EQ(b.Height(), kH) << what;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) EXPECT_EQ(BitAt(b, x, y), !Black(x, y)) << what << " at " << x << "," << y;
  // Bits past the width stay clear.
  EXPECT_EQ(b.Scanline(0)[1] & 0x3F, 0) << what;
}

// The grey and colour reference: 4 x 2.
uint8_t Grey(int x, int y) { return uint8_t(x * 60 + y * 15); }
TRGB Colour(int x, int y) { return TRGB{uint8_t(x * 50), uint8_t(y * 100 + 7), uint8_t(255 - x * 20)}; }

std::string GreyFile(bool text) {
  std::string s = text ? "P2\n4 2\n255\n" : "P5 4 2 255\n";
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      if (text) s += std::to_string(Grey(x, y)) + (x == 3 ? "\n" : " ");
      else s += static_cast<char>(Grey(x, y));
    }
  return s;
}

std::string ColourFile(bool text) {
  std::string s = text ? "P3\n# colour\n4 2\n255\n" : "P6\n4 2\n255\n";
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      const TRGB c = Colour(x, y);
      for (uint8_t v : {c.r, c.g, c.b}) {
        if (text) s += std::to_string(v) + " ";
        else s += static_cast<char>(v);
      }
    }
  return s;
}

}  // namespace

TEST(PnmReader, BitmapsPlainRawAndWithComments) {
  struct Case {
    const char* what;
    std::string file;
  } cases[] = {
      {"P1", PlainBits(false)},
      {"P1 with comments between the numbers", PlainBits(true)},
      {"P1 without spaces between the bits", "P1 10 3 100100100100100100100100100100"},
      {"P4", RawBits()},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadPnm(Bytes(c.file), l);
    ASSERT_TRUE(l.ok) << c.what;
    ExpectReferenceBits(l.bitmap, c.what);
    EXPECT_EQ(l.params.BitsPerSample, 1) << c.what;
    EXPECT_EQ(l.params.SamplesPerPixel, 1) << c.what;
    EXPECT_EQ(l.params.DpiX(), 300) << c.what;
    EXPECT_EQ(l.params.ImageCount(), 1) << c.what;
  }
  Loaded l;
  LoadPnm(Bytes(PlainBits(true)), l);
  EXPECT_EQ(l.params.PnmComments, (std::vector<std::string>{"made by hand", "width", "height next"}));
}

TEST(PnmReader, GreyAndColourPlainEqualsRaw) {
  for (bool text : {true, false}) {
    Loaded g, c;
    LoadPnm(Bytes(GreyFile(text)), g);
    LoadPnm(Bytes(ColourFile(text)), c);
    ASSERT_TRUE(g.ok && c.ok) << text;
    ASSERT_EQ(g.bitmap.PixelFormat(), ie24RGB);
    ASSERT_EQ(c.bitmap.PixelFormat(), ie24RGB);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(PixelAt(g.bitmap, x, y), (TRGB{Grey(x, y), Grey(x, y), Grey(x, y)})) << text;
        EXPECT_EQ(PixelAt(c.bitmap, x, y), Colour(x, y)) << text;
      }
    EXPECT_EQ(g.params.SamplesPerPixel, 1);
    EXPECT_EQ(c.params.SamplesPerPixel, 3);
    EXPECT_EQ(c.params.BitsPerSample, 8);
  }
}

TEST(PnmReader, MaximumValuesScaleSamples) {
  auto raw16 = [](const char* head, std::vector<uint16_t> v) {
    std::string s = head;
    for (uint16_t x : v) s += static_cast<char>(x >> 8), s += static_cast<char>(x & 0xFF);
    return s;
  };
  struct Case {
    const char* what;
    std::string file;
    bool native;
    TIEPixelFormat format;
    std::vector<uint8_t> firstBytes;  // of row 0
    int bits;
  } cases[] = {
      {"P5 maximum 15", std::string("P5 3 1 15\n") + '\x0f' + '\x07' + '\x14', false, ie24RGB,
       {255, 255, 255, 119, 119, 119, 255, 255, 255}, 8},
      {"P2 maximum 15", "P2 3 1 15 15 7 0", false, ie24RGB, {255, 255, 255, 119, 119, 119, 0, 0, 0}, 8},
      {"P6 maximum 15 scales too", std::string("P6 1 1 15\n") + '\x0f' + '\x07' + '\x00', false, ie24RGB,
       {0, 119, 255}, 8},
      {"P5 16-bit", raw16("P5 2 1 65535\n", {0x12FF, 0xFFFF}), false, ie24RGB, {18, 18, 18, 255, 255, 255}, 16},
      {"P5 16-bit, maximum 1000", raw16("P5 2 1 1000\n", {500, 1000}), false, ie24RGB,
       {127, 127, 127, 255, 255, 255}, 16},
      {"P5 16-bit native", raw16("P5 2 1 65535\n", {0x12FF, 0xFFFF}), true, ie16g, {0xFF, 0x12, 0xFF, 0xFF}, 16},
      {"P5 16-bit native, maximum 1000", raw16("P5 1 1 1000\n", {500}), true, ie16g, {0xFF, 0x7F}, 16},
      {"P6 16-bit: high bytes", raw16("P6 1 1 65535\n", {0x1280, 0x3480, 0x5680}), false, ie24RGB,
       {0x56, 0x34, 0x12}, 16},
      {"P6 16-bit native", raw16("P6 1 1 65535\n", {0x1280, 0x3480, 0x5680}), true, ieRGB48,
       {0x80, 0x12, 0x80, 0x34, 0x80, 0x56}, 16},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadPnm(Bytes(c.file), l, c.native);
    ASSERT_TRUE(l.ok) << c.what;
    ASSERT_EQ(l.bitmap.PixelFormat(), c.format) << c.what;
    const uint8_t* row = l.bitmap.Scanline(0);
    EXPECT_EQ(std::vector<uint8_t>(row, row + c.firstBytes.size()), c.firstBytes) << c.what;
    EXPECT_EQ(l.params.BitsPerSample, c.bits) << c.what;
  }
}

TEST(PnmReader, BadHeadersFailAndShortDataLoads) {
  struct Case {
    const char* what;
    std::string file;
  } cases[] = {
      {"maximum 0", "P2 2 2 0 0 0 0 0"},
      {"maximum 0, raw", std::string("P5 2 2 0\n") + std::string(4, '\0')},
      {"maximum above 65535", "P5 2 2 65536\n\0\0\0\0\0\0\0\0"},
      {"width 0", "P4 0 2\n\0\0"},
      {"height missing", "P6 4"},
      {"P7", "P7 2 2 255\n"},
      {"no magic", "hello 2 2 255\n"},
      {"width not a number", "P5 2x 2 255\n\0\0\0\0"},
      {"width of twelve digits", "P5 100000000000 1 255\n\0"},
      {"a million squared pixels from a tiny file", "P4 1000000 1000000\n\0\0\0\0"},
      {"empty", ""},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadPnm(Bytes(c.file), l);
    EXPECT_FALSE(l.ok) << c.what;
  }
  // Data that ends early leaves the rest as the allocation left it.
  Loaded shortGrey;
  LoadPnm(Bytes(std::string("P5 4 4 255\n") + "\x10\x20\x30\x40\x50"), shortGrey);
  ASSERT_TRUE(shortGrey.ok);
  EXPECT_EQ(PixelAt(shortGrey.bitmap, 0, 1), (TRGB{0x50, 0x50, 0x50}));
  EXPECT_EQ(PixelAt(shortGrey.bitmap, 1, 1), (TRGB{0, 0, 0}));
  EXPECT_EQ(PixelAt(shortGrey.bitmap, 3, 3), (TRGB{0, 0, 0}));
}

TEST(PnmReader, FilesCutAtEveryLengthNeverCrash) {
  for (const std::string& full : {PlainBits(true), RawBits(), GreyFile(true), ColourFile(false)}) {
    for (size_t n = 0; n <= full.size(); ++n) {
      Loaded l;
      LoadPnm(Bytes(full.substr(0, n)), l);
      if (l.ok) {
        EXPECT_GT(l.bitmap.Width(), 0);
      }
    }
  }
}

TEST(PnmReader, DetectedByContentAndMatchesNetpbm) {
  if (!testsupport::HaveTool("pamtopnm") || !testsupport::HaveTool("/usr/bin/convert"))
    GTEST_SKIP() << "netpbm or ImageMagick not installed";
  testsupport::TempDir dir;
  // ImageMagick writes the files; netpbm's pamtopnm decodes them as a PPM.
  const std::string src = dir.File("src.ppm");
  auto r = testsupport::RunCommand("/usr/bin/convert -size 17x5 gradient:'#102030-#f0e0d0' -depth 4 ppm:" +
                                   testsupport::Quote(src));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string name = dir.File("picture.unknown");
  std::filesystem::copy_file(src, name);
  TIEBitmap bitmap;
  TIOParams params;
  ASSERT_TRUE(bitmap.Read(name, &params));
  EXPECT_EQ(params.FileType, ioPXM);
  r = testsupport::RunCommand("pamdepth 255 " + testsupport::Quote(src) + " | pamtopnm -plain");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::istringstream plain(r.output);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  plain >> magic >> w >> h >> maxval;
  ASSERT_EQ(w, 17);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int red = 0, green = 0, blue = 0;
      plain >> red >> green >> blue;
      const TRGB p = PixelAt(bitmap, x, y);
      // netpbm rounds when it rescales; we truncate.
      EXPECT_NEAR(p.r, red, 1) << x << "," << y;
      EXPECT_NEAR(p.g, green, 1) << x << "," << y;
      EXPECT_NEAR(p.b, blue, 1) << x << "," << y;
    }
}

namespace {

void PutMultiByte(std::vector<uint8_t>& v, uint32_t x) {
  std::vector<uint8_t> groups;
  do {
    groups.push_back(uint8_t(x & 0x7F));
    x >>= 7;
  } while (x);
  for (size_t i = groups.size(); i-- > 0;) v.push_back(uint8_t(groups[i] | (i ? 0x80 : 0)));
}

std::vector<uint8_t> Wbmp(int w, int h, const std::function<bool(int, int)>& white) {
  std::vector<uint8_t> v = {0, 0};
  PutMultiByte(v, static_cast<uint32_t>(w));
  PutMultiByte(v, static_cast<uint32_t>(h));
  const int rowLen = (w + 7) / 8;
  for (int y = 0; y < h; ++y) {
    std::vector<uint8_t> row(static_cast<size_t>(rowLen), 0);
    for (int x = 0; x < w; ++x)
      if (white(x, y)) row[static_cast<size_t>(x / 8)] |= uint8_t(0x80 >> (x % 8));
    v.insert(v.end(), row.begin(), row.end());
  }
  return v;
}

bool WbmpWhite(int x, int y) { return (x * 7 + y * 3) % 4 != 0; }

}  // namespace

TEST(WbmpReader, ReadsRowsOfBits) {
  for (int w : {10, 300}) {
    Loaded l;
    LoadWbmp(Wbmp(w, 3, WbmpWhite), l);
    ASSERT_TRUE(l.ok) << w;
    ASSERT_EQ(l.bitmap.PixelFormat(), ie1g);
    // The full width, not the width modulo 256.
    ASSERT_EQ(l.bitmap.Width(), w);
    ASSERT_EQ(l.params.Width, w);
    ASSERT_EQ(l.bitmap.Height(), 3);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < w; ++x) EXPECT_EQ(BitAt(l.bitmap, x, y), WbmpWhite(x, y)) << w << ": " << x << "," << y;
    EXPECT_EQ(l.params.BitsPerSample, 1);
    EXPECT_EQ(l.params.DpiX(), 300);
  }
}

TEST(WbmpReader, WideFileMatchesImageMagick) {
  if (!testsupport::HaveTool("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick not installed";
  testsupport::TempDir dir;
  const std::string path = dir.File("wide.wbmp");
  testsupport::WriteFileBytes(path, Wbmp(300, 4, WbmpWhite));
  TIEBitmap bitmap;
  ASSERT_TRUE(bitmap.Read(path));
  auto r = testsupport::RunCommand("/usr/bin/convert " + testsupport::Quote(path) + " -depth 8 gray:-");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(r.output.size(), static_cast<size_t>(300 * 4));
  ASSERT_EQ(bitmap.Width(), 300);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 300; ++x)
      EXPECT_EQ(BitAt(bitmap, x, y), uint8_t(r.output[static_cast<size_t>(y * 300 + x)]) == 255) << x << "," << y;
}

TEST(WbmpReader, BadHeadersFail) {
  std::vector<uint8_t> endless = {0, 0};
  endless.insert(endless.end(), 100000, 0x81);
  std::vector<uint8_t> type2 = Wbmp(8, 1, WbmpWhite);
  type2[0] = 2;
  std::vector<uint8_t> extHeader = Wbmp(8, 1, WbmpWhite);
  extHeader[1] = 0x80;
  std::vector<uint8_t> huge = {0, 0};
  PutMultiByte(huge, (1u << 28) - 1);
  PutMultiByte(huge, (1u << 28) - 1);
  huge.push_back(0xFF);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"endless continuation bytes", endless},
      {"type 2", type2},
      {"extension headers", extHeader},
      {"width 0", {0, 0, 0, 5, 0xFF}},
      {"height 0", {0, 0, 5, 0, 0xFF}},
      {"2^28 squared pixels", huge},
      {"cut in the header", {0, 0, 0x81}},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadWbmp(c.bytes, l);
    EXPECT_FALSE(l.ok) << c.what;
  }
  // Rows the file does not have stay black.
  std::vector<uint8_t> cut = Wbmp(8, 4, [](int, int) { return true; });
  cut.resize(cut.size() - 2);
  Loaded l;
  LoadWbmp(cut, l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.Scanline(1)[0], 0xFF);
  EXPECT_EQ(l.bitmap.Scanline(3)[0], 0x00);
}
