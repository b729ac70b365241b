// The PCX and DCX readers: every plane layout against independent decoders,
// runs across lines and planes, the trailing palette, resolutions, DCX page
// selection, and hostile files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieformats.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "pcxfilter.h"
#include "pixelcheck.h"
#include "testsupport.h"

namespace {

using pixelcheck::PixelAt;
using pixelcheck::Describe;
using pixelcheck::Netpbm;
using pixelcheck::ReadNetpbm;
using testsupport::Put16;
using testsupport::Put32;

struct PcxSample {
  int bits = 8, planes = 1;
  int width = 4, height = 2;
  int bytesPerLine = 4;
  int encoding = 1;
  int dpiX = 72, dpiY = 72;
  std::vector<TRGB> headerPalette;  // up to 16
  std::vector<uint8_t> data;        // image data as stored
  std::vector<uint8_t> trailer;     // after the data (marker and palette)
};

std::vector<uint8_t> Build(const PcxSample& s) {
  std::vector<uint8_t> v = {0x0A, 5, uint8_t(s.encoding), uint8_t(s.bits)};
  Put16(v, 0);
  Put16(v, 0);
  Put16(v, static_cast<uint32_t>(s.width - 1));
  Put16(v, static_cast<uint32_t>(s.height - 1));
  Put16(v, static_cast<uint32_t>(s.dpiX));
  Put16(v, static_cast<uint32_t>(s.dpiY));
  for (int i = 0; i < 16; ++i) {
    TRGB c = i < static_cast<int>(s.headerPalette.size()) ? s.headerPalette[i] : TRGB{};
    v.insert(v.end(), {c.r, c.g, c.b});
  }
  v.push_back(0);
  v.push_back(uint8_t(s.planes));
  Put16(v, static_cast<uint32_t>(s.bytesPerLine));
  v.resize(128, 0);
  v.insert(v.end(), s.data.begin(), s.data.end());
  v.insert(v.end(), s.trailer.begin(), s.trailer.end());
  return v;
}

// 768 bytes of red, green, blue: entry i is (i, 255 - i, i / 2).
std::vector<uint8_t> Palette256() {
  std::vector<uint8_t> p;
  for (int i = 0; i < 256; ++i) p.insert(p.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
  return p;
}
TRGB Entry256(int i) { return TRGB{uint8_t(i / 2), uint8_t(255 - i), uint8_t(i)}; }

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void LoadBytes(const std::vector<uint8_t>& bytes, Loaded& out, int32_t type = ioPCX, int32_t index = 0) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().SetImageIndex(index);
  out.ok = io.LoadFromStreamFormat(s, type);
  out.params = io.Params();
}

void ExpectPixels(TIEBitmap& bitmap, const Netpbm& ref, const std::string& what) {
  ASSERT_EQ(bitmap.Width(), ref.width) << what;
  ASSERT_EQ(bitmap.Height(), ref.height) << what;
  ASSERT_EQ(ref.channels, 3) << what;
  if (bitmap.PixelFormat() != ie24RGB) bitmap.SetPixelFormat(ie24RGB);
  int wrong = 0;
  for (int y = 0; y < ref.height; ++y)
    for (int x = 0; x < ref.width; ++x) {
      const uint8_t* r = ref.samples.data() + (static_cast<size_t>(y) * ref.width + x) * 3;
      const TRGB want{r[2], r[1], r[0]}, got = PixelAt(bitmap, x, y);
      if (got != want && ++wrong <= 3)
        ADD_FAILURE() << what << " at " << x << "," << y << ": " << Describe(got) << " instead of " << Describe(want);
    }
  EXPECT_EQ(wrong, 0) << what;
}

std::string Data(const std::string& name) { return testsupport::DataPath("pcx/" + name); }

}  // namespace

TEST(PcxReader, MatchesIndependentDecoders) {
  // Files written by netpbm's ppmtopcx and ImageMagick; the references are
  // what netpbm and ImageMagick decode from them (both agree with the
  // pictures the files were made from, except ImageMagick on 1-bit files
  // and netpbm on 4-plane files, which these rows do not ask of them).
  struct Case {
    const char* file;
    const char* reference;
    int bits, samples, colorMapCount;
    TIEPixelFormat format;
  } cases[] = {
      {"planar16.pcx", "p16.ppm", 4, 1, 16, ie24RGB},  // 1 bit x 4 planes
      {"packed16.pcx", "p16.ppm", 4, 1, 16, ie24RGB},  // 4 bits x 1 plane
      {"planar4.pcx", "p4.ppm", 2, 1, 4, ie24RGB},     // 1 bit x 2 planes
      {"packed4.pcx", "p4.ppm", 2, 1, 4, ie24RGB},     // 2 bits x 1 plane
      {"mono.pcx", "mono.ppm", 1, 1, 2, ie1g},
      {"pal256.pcx", "p200.ppm", 8, 1, 256, ie24RGB},
      {"im256.pcx", "p200.ppm", 8, 1, 256, ie24RGB},
      {"rgb24.pcx", "base.ppm", 8, 3, 0, ie24RGB},
      {"rgba.pcx", "rgba.ppm", 8, 4, 0, ie24RGB},
  };
  for (const Case& c : cases) {
    TIEBitmap b;
    TIOParams params;
    ASSERT_TRUE(b.Read(Data(c.file), &params)) << c.file;
    EXPECT_EQ(params.FileType, ioPCX) << c.file;
    EXPECT_EQ(DetectFileFormat(Data(c.file)), ioPCX) << c.file << ": content detection";
    EXPECT_EQ(b.PixelFormat(), c.format) << c.file;
    EXPECT_EQ(params.BitsPerSample, c.bits) << c.file;
    EXPECT_EQ(params.SamplesPerPixel, c.samples) << c.file;
    EXPECT_EQ(params.ColorMapCount(), c.colorMapCount) << c.file;
    EXPECT_EQ(params.ImageCount(), 1) << c.file;
    EXPECT_EQ(params.PcxVersion, 5) << c.file;
    EXPECT_EQ(b.HasAlphaChannel(), std::string(c.file) == "rgba.pcx") << c.file;
    if (TIEBitmap* alpha = b.AlphaChannelOrNull()) {
      Netpbm ref = ReadNetpbm(Data("rgba-alpha.pgm"));
      ASSERT_EQ(alpha->Width(), ref.width);
      for (int y = 0; y < ref.height; ++y)
        EXPECT_EQ(std::memcmp(alpha->Scanline(y), ref.samples.data() + static_cast<size_t>(y) * ref.width,
                              static_cast<size_t>(ref.width)),
                  0)
            << "alpha row " << y;
    }
    ExpectPixels(b, ReadNetpbm(Data(c.reference)), c.file);
  }
}

TEST(PcxReader, PlanarSixteenColoursEqualsPacked) {
  TIEBitmap planar, packed;
  ASSERT_TRUE(planar.Read(Data("planar16.pcx")));
  ASSERT_TRUE(packed.Read(Data("packed16.pcx")));
  ASSERT_EQ(planar.Width(), packed.Width());
  ASSERT_EQ(planar.PixelFormat(), ie24RGB);
  for (int y = 0; y < planar.Height(); ++y)
    EXPECT_EQ(std::memcmp(planar.Scanline(y), packed.Scanline(y), static_cast<size_t>(planar.Width()) * 3), 0)
        << "row " << y;
}

TEST(PcxReader, OneBitKeepsItsBits) {
  // 10 x 2, bytes per line 2 (padding bits set in the file).
  PcxSample s;
  s.bits = 1;
  s.width = 10;
  s.bytesPerLine = 2;
  s.encoding = 0;
  s.headerPalette = {{255, 255, 255}, {0, 0, 0}};  // not looked at: 1 is white
  s.data = {0xA5, 0xFF, 0x0F, 0x3F};
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.bitmap.PixelFormat(), ie1g);
  EXPECT_EQ(l.bitmap.Scanline(0)[0], 0xA5);
  EXPECT_EQ(l.bitmap.Scanline(0)[1], 0xC0) << "bits past the width are cleared";
  EXPECT_EQ(l.bitmap.Scanline(1)[0], 0x0F);
  EXPECT_EQ(l.bitmap.Scanline(1)[1], 0x00);
  EXPECT_EQ(l.params.BitsPerSample, 1);
  EXPECT_EQ(l.params.SamplesPerPixel, 1);
}

TEST(PcxReader, RunsContinueAcrossLinesAndPlanes) {
  struct Case {
    const char* what;
    PcxSample sample;
    std::vector<std::vector<TRGB>> rows;
  };
  PcxSample lines;  // 8 bits, 4 x 2: a run of 6 fills row 0 and half of row 1
  lines.data = {0xC6, 5, 1, 2};
  lines.trailer.push_back(0x0C);
  auto pal = Palette256();
  lines.trailer.insert(lines.trailer.end(), pal.begin(), pal.end());

  PcxSample planes;  // 8 bits x 3 planes, 2 x 2: runs over the red, green and blue lines and the rows
  planes.planes = 3;
  planes.width = 2;
  planes.bytesPerLine = 2;
  planes.data = {0xC3, 0x10, 0x20, 0xC5, 0x30, 0x40, 0x50, 0x60, 0x70};
  // Row 0: red 10 10, green 10 20, blue 30 30; row 1: red 30 30, green 30 40, blue 50 60.
  // The trailing 0x70 is past the picture.

  Case cases[] = {
      {"run of an 8-bit line into the next row",
       lines,
       {{Entry256(5), Entry256(5), Entry256(5), Entry256(5)}, {Entry256(5), Entry256(5), Entry256(1), Entry256(2)}}},
      {"runs over planes and rows",
       planes,
       {{TRGB{0x30, 0x10, 0x10}, TRGB{0x30, 0x20, 0x10}}, {TRGB{0x50, 0x30, 0x30}, TRGB{0x60, 0x40, 0x30}}}},
  };
  for (Case& c : cases) {
    Loaded l;
    LoadBytes(Build(c.sample), l);
    ASSERT_TRUE(l.ok) << c.what;
    for (int y = 0; y < static_cast<int>(c.rows.size()); ++y)
      for (int x = 0; x < static_cast<int>(c.rows[y].size()); ++x)
        EXPECT_EQ(PixelAt(l.bitmap, x, y), c.rows[y][x])
            << c.what << " at " << x << "," << y << ": " << Describe(PixelAt(l.bitmap, x, y));
  }
}

TEST(PcxReader, PaletteIsTheLastBytesWithOrWithoutMarker) {
  for (bool marker : {true, false}) {
    PcxSample s;
    s.encoding = 0;
    s.data = {0, 7, 200, 255, 1, 2, 3, 4};
    if (marker) s.trailer.push_back(0x0C);
    else s.trailer = {0x55, 0x66};  // junk where the marker should be
    auto pal = Palette256();
    s.trailer.insert(s.trailer.end(), pal.begin(), pal.end());
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok) << marker;
    const int index[8] = {0, 7, 200, 255, 1, 2, 3, 4};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(PixelAt(l.bitmap, i % 4, i / 4), Entry256(index[i])) << marker << " " << i;
    ASSERT_EQ(l.params.ColorMapCount(), 256);
    EXPECT_EQ(l.params.ColorMap[200], Entry256(200));
  }
}

TEST(PcxReader, Resolution) {
  struct Case {
    int dpiX, dpiY, wantX, wantY;
  } cases[] = {{72, 0, 300, 300}, {0, 96, 300, 300}, {0, 0, 300, 300}, {72, 96, 72, 96}, {1, 600, 300, 600}};
  for (const Case& c : cases) {
    PcxSample s;
    s.bits = 1;
    s.bytesPerLine = 2;
    s.dpiX = c.dpiX;
    s.dpiY = c.dpiY;
    s.encoding = 0;
    s.data.assign(4, 0);
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.DpiX(), c.wantX) << c.dpiX << " x " << c.dpiY;
    EXPECT_EQ(l.params.DpiY(), c.wantY) << c.dpiX << " x " << c.dpiY;
  }
}

TEST(PcxReader, DataThatEndsEarlyLeavesTheRestBlack) {
  PcxSample s;
  s.planes = 3;
  s.width = 2;
  s.height = 3;
  s.bytesPerLine = 2;
  s.data = {0xC9, 0x80};  // row 0 and the red and half the green line of row 1
  Loaded l;
  LoadBytes(Build(s), l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(PixelAt(l.bitmap, 1, 0), (TRGB{0x80, 0x80, 0x80}));
  EXPECT_EQ(PixelAt(l.bitmap, 0, 1), (TRGB{0, 0x80, 0x80}));
  EXPECT_EQ(PixelAt(l.bitmap, 1, 1), (TRGB{0, 0, 0x80}));
  EXPECT_EQ(PixelAt(l.bitmap, 1, 2), (TRGB{0, 0, 0}));
}

TEST(PcxReader, AlphaPlaneThatSaysNothingIsDropped) {
  for (uint8_t a : {uint8_t(0), uint8_t(255)}) {
    PcxSample s;
    s.planes = 4;
    s.width = 2;
    s.height = 1;
    s.bytesPerLine = 2;
    s.encoding = 0;
    s.data = {1, 2, 3, 4, 5, 6, a, a};
    Loaded l;
    LoadBytes(Build(s), l);
    ASSERT_TRUE(l.ok);
    EXPECT_FALSE(l.bitmap.HasAlphaChannel()) << int(a);
    EXPECT_EQ(PixelAt(l.bitmap, 1, 0), (TRGB{6, 4, 2}));
  }
}

TEST(PcxReader, HostileHeadersFailCleanly) {
  auto with = [](auto change) {
    PcxSample s;
    s.data.assign(64, 0x11);
    auto pal = Palette256();
    s.trailer.insert(s.trailer.end(), pal.begin(), pal.end());
    change(s);
    return Build(s);
  };
  std::vector<uint8_t> badMaker = with([](PcxSample&) {});
  badMaker[0] = 0x0B;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"manufacturer not 0x0A", badMaker},
      {"encoding 2", with([](PcxSample& s) { s.encoding = 2; })},
      {"9 bits per pixel", with([](PcxSample& s) { s.bits = 9; })},
      {"4 bits x 2 planes", with([](PcxSample& s) { s.bits = 4, s.planes = 2; })},
      {"8 bits x 2 planes", with([](PcxSample& s) { s.planes = 2; })},
      {"no planes", with([](PcxSample& s) { s.planes = 0; })},
      {"1 bit in no planes", with([](PcxSample& s) { s.bits = 1, s.planes = 0, s.bytesPerLine = 2; })},
      {"8-bit bytes per line below the width", with([](PcxSample& s) { s.width = 8, s.bytesPerLine = 7; })},
      {"24-bit bytes per line below the width", with([](PcxSample& s) { s.planes = 3, s.width = 8, s.bytesPerLine = 4; })},
      {"1-bit bytes per line below the width", with([](PcxSample& s) { s.bits = 1, s.width = 17, s.bytesPerLine = 2; })},
      {"planar bytes per line 0", with([](PcxSample& s) { s.bits = 1, s.planes = 4, s.bytesPerLine = 0; })},
      {"xmax before xmin", with([](PcxSample& s) { s.width = 0; })},
      {"1-bit 65536 x 65536 in 1 KB", with([](PcxSample& s) { s.bits = 1, s.width = 65536, s.height = 65536, s.bytesPerLine = 8192; })},
      {"wide padding lines in 1 KB", with([](PcxSample& s) { s.width = 1, s.height = 60000, s.bytesPerLine = 60000; })},
      {"8-bit without room for a palette", Build(PcxSample{})},
      {"header cut short", std::vector<uint8_t>(badMaker.begin(), badMaker.begin() + 100)},
  };
  for (const Case& c : cases) {
    Loaded l;
    auto start = std::chrono::steady_clock::now();
    LoadBytes(c.bytes, l);
    EXPECT_FALSE(l.ok) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
  }
}

TEST(PcxReader, FilesCutAtEveryLengthNeverCrash) {
  for (const char* name : {"planar16.pcx", "packed4.pcx", "mono.pcx", "pal256.pcx", "rgba.pcx", "three.dcx"}) {
    const std::vector<uint8_t> full = testsupport::ReadFileBytes(Data(name));
    ASSERT_FALSE(full.empty()) << name;
    const int32_t type = std::string(name).ends_with(".dcx") ? ioDCX : ioPCX;
    for (size_t n = 0; n <= full.size(); n += (n < 200 ? 1 : 7)) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l;
      LoadBytes(cut, l, type, 1);
    }
  }
}

TEST(DcxReader, PagesAndTheClampedIndex) {
  const char* refs[3] = {"p16.ppm", "p200.ppm", "base.ppm"};
  struct Case {
    int32_t index, page;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {7, 2}, {-3, 0}};
  for (const Case& c : cases) {
    TIEBitmap b;
    TIOParams params;
    params.SetImageIndex(c.index);
    ASSERT_TRUE(b.Read(Data("three.dcx"), &params)) << c.index;
    EXPECT_EQ(params.FileType, ioDCX);
    EXPECT_EQ(params.ImageCount(), 3);
    EXPECT_EQ(params.DcxImageCount, 3);
    EXPECT_EQ(params.ImageIndex(), c.page) << "the clamped index is stored back";
    EXPECT_EQ(params.DcxImageIndex, c.page);
    ExpectPixels(b, ReadNetpbm(Data(refs[c.page])), "page " + std::to_string(c.page));
  }
  EXPECT_EQ(CountFileFrames(Data("three.dcx")), 3);
  EXPECT_EQ(DetectFileFormat(Data("three.dcx")), ioDCX);
}

TEST(DcxReader, BadTablesFailCleanly) {
  // A one-page DCX: magic, offset 12, terminator, then a 2 x 1 24-bit PCX.
  PcxSample page;
  page.planes = 3;
  page.width = 2;
  page.height = 1;
  page.bytesPerLine = 2;
  page.encoding = 0;
  page.data = {1, 2, 3, 4, 5, 6};
  const std::vector<uint8_t> pcx = Build(page);
  auto dcx = [&](std::vector<uint32_t> table) {
    std::vector<uint8_t> v;
    Put32(v, 0x3ADE68B1);
    for (uint32_t t : table) Put32(v, t);
    v.insert(v.end(), pcx.begin(), pcx.end());
    return v;
  };
  Loaded good;
  LoadBytes(dcx({12, 0}), good, ioDCX, 5);
  ASSERT_TRUE(good.ok);
  EXPECT_EQ(PixelAt(good.bitmap, 1, 0), (TRGB{6, 4, 2}));
  EXPECT_EQ(good.params.ImageIndex(), 0);

  // The second page's offset makes the first one end early, so its data is cut.
  Loaded shortPage;
  LoadBytes(dcx({16, 16 + 128 + 3, 0}), shortPage, ioDCX, 0);
  ASSERT_TRUE(shortPage.ok);
  EXPECT_EQ(PixelAt(shortPage.bitmap, 0, 0), (TRGB{0, 3, 1}));
  EXPECT_EQ(PixelAt(shortPage.bitmap, 1, 0), (TRGB{0, 0, 2}));

  const std::vector<uint8_t> good4 = dcx({12, 0});
  std::vector<uint8_t> badMagic = good4;
  badMagic[0] ^= 1;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"offset past the end", dcx({12, 100000, 0})},
      {"offset at the end", dcx({12, static_cast<uint32_t>(12 + pcx.size()), 0})},
      {"empty table", dcx({0})},
      {"wrong magic", badMagic},
      {"offset into the table", dcx({4, 0})},
      {"only the magic", std::vector<uint8_t>(good4.begin(), good4.begin() + 4)},
  };
  for (const Case& c : cases) {
    Loaded l;
    LoadBytes(c.bytes, l, ioDCX, 0);
    EXPECT_FALSE(l.ok) << c.what;
  }
}
