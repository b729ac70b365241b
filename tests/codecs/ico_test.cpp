// The icon and cursor reader: directories, DIB images of every depth with
// their AND masks, PNG images, the size rules, cursors, and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieformats.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "icofilt.h"
#include "pixelcheck.h"
#include "testsupport.h"

namespace {

using pixelcheck::PixelAt;
using testsupport::Put16;
using testsupport::Put32;

// Rows bottom-up, padded to 32 bits; put(row, x, y) writes pixel (x, y).
std::vector<uint8_t> Rows(int w, int h, int bits, const std::function<void(uint8_t*, int, int)>& put) {
  const size_t rowLen = static_cast<size_t>((w * bits + 31) / 32 * 4);
  std::vector<uint8_t> out(rowLen * static_cast<size_t>(h), 0);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) put(out.data() + rowLen * r, x, h - 1 - r);
  return out;
}

void SetBit(uint8_t* row, int x) { row[x >> 3] |= uint8_t(0x80 >> (x & 7)); }

std::vector<uint8_t> AndRows(int w, int h, const std::function<bool(int, int)>& transparent) {
  return Rows(w, h, 1, [&](uint8_t* row, int x, int y) {
    if (transparent(x, y)) SetBit(row, x);
  });
}

struct Dib {
  int width = 0, height = 0;  // the picture's; the header stores twice the height
  int bitCount = 0;
  std::vector<TRGB> palette;
  uint32_t colorsUsed = 0;
  int32_t ppm = 0;
  std::vector<uint8_t> color, andMask;
};

std::vector<uint8_t> Build(const Dib& d) {
  std::vector<uint8_t> v;
  Put32(v, 40);
  Put32(v, static_cast<uint32_t>(d.width));
  Put32(v, static_cast<uint32_t>(d.height * 2));
  Put16(v, 1);
  Put16(v, static_cast<uint32_t>(d.bitCount));
  Put32(v, 0);
  Put32(v, static_cast<uint32_t>(d.color.size() + d.andMask.size()));
  Put32(v, static_cast<uint32_t>(d.ppm));
  Put32(v, static_cast<uint32_t>(d.ppm));
  Put32(v, d.colorsUsed);
  Put32(v, 0);
  for (const TRGB& c : d.palette) v.insert(v.end(), {c.b, c.g, c.r, 0});
  v.insert(v.end(), d.color.begin(), d.color.end());
  v.insert(v.end(), d.andMask.begin(), d.andMask.end());
  return v;
}

struct Entry {
  int width = 0, height = 0, colors = 0;
  int planes = 1, bitCount = 0;  // cursors: hotspot x and y
  std::vector<uint8_t> data;
  int64_t offset = -1;  // -1: where the data is put
};

std::vector<uint8_t> IconFile(const std::vector<Entry>& entries, int type = 1) {
  std::vector<uint8_t> v;
  Put16(v, 0);
  Put16(v, static_cast<uint32_t>(type));
  Put16(v, static_cast<uint32_t>(entries.size()));
  uint32_t at = static_cast<uint32_t>(6 + 16 * entries.size());
  for (const Entry& e : entries) {
    v.insert(v.end(), {uint8_t(e.width), uint8_t(e.height), uint8_t(e.colors), 0});
    Put16(v, static_cast<uint32_t>(e.planes));
    Put16(v, static_cast<uint32_t>(e.bitCount));
    Put32(v, static_cast<uint32_t>(e.data.size()));
    Put32(v, e.offset >= 0 ? static_cast<uint32_t>(e.offset) : at);
    at += static_cast<uint32_t>(e.data.size());
  }
  for (const Entry& e : entries) v.insert(v.end(), e.data.begin(), e.data.end());
  return v;
}

Entry EntryFor(const Dib& d) {
  Entry e;
  e.width = d.width;
  e.height = d.height;
  e.bitCount = d.bitCount;
  e.data = Build(d);
  return e;
}

const TRGB kWhite{255, 255, 255}, kBlack{0, 0, 0};
const TRGB kPalette16[4] = {{0, 0, 200}, {0, 200, 0}, {200, 0, 0}, {50, 60, 70}};  // blue, green, red

// Pixel (x, y) of the test pictures and its transparency.
int Index(int x, int y) { return (x + 2 * y) % 4; }
bool Hole(int x, int y) { return (x * 3 + y) % 5 == 0; }

Dib Indexed(int bits, int w = 9, int h = 6) {
  Dib d;
  d.width = w, d.height = h, d.bitCount = bits;
  d.palette.assign(static_cast<size_t>(1) << bits, kBlack);
  for (int i = 0; i < 4; ++i) d.palette[static_cast<size_t>(i)] = kPalette16[i];
  d.color = Rows(w, h, bits, [&](uint8_t* row, int x, int y) {
    if (bits == 8) row[x] = uint8_t(Index(x, y));
    else row[x / 2] |= uint8_t(Index(x, y) << ((x & 1) ? 0 : 4));
  });
  d.andMask = AndRows(w, h, Hole);
  return d;
}

TRGB Rgb(int x, int y) { return TRGB{uint8_t(10 * x), uint8_t(20 * y), uint8_t(x + y)}; }

Dib Direct(int bits, const std::function<uint8_t(int, int)>& alpha, int w = 9, int h = 6) {
  Dib d;
  d.width = w, d.height = h, d.bitCount = bits;
  d.color = Rows(w, h, bits, [&](uint8_t* row, int x, int y) {
    uint8_t* p = row + x * (bits / 8);
    const TRGB c = Rgb(x, y);
    p[0] = c.b, p[1] = c.g, p[2] = c.r;
    if (bits == 32) p[3] = alpha(x, y);
  });
  d.andMask = AndRows(w, h, Hole);
  return d;
}

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void Load(const std::vector<uint8_t>& bytes, Loaded& out, int index = 0, bool cursor = false,
          const std::function<void(TIOParams&)>& prepare = nullptr) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().SetImageIndex(index);
  if (prepare) prepare(io.Params());
  out.ok = cursor ? io.LoadFromStreamCUR(s) : io.LoadFromStreamICO(s);
  out.params = io.Params();
}

int AlphaAt(TIEBitmap& b, int x, int y) {
  TIEBitmap* a = b.AlphaChannelOrNull();
  return a ? a->Scanline(y)[x] : 255;
}

bool BitAt(TIEBitmap& b, int x, int y) { return (b.Scanline(y)[x >> 3] >> (7 - (x & 7))) & 1; }

}  // namespace

TEST(IcoReader, ThreeSizesAndTheChosenImage) {
  const std::vector<uint8_t> file = testsupport::ReadFileBytes(testsupport::DataPath("ico/three.ico"));
  for (int index = 0; index < 3; ++index) {
    Loaded l;
    Load(file, l, index);
    ASSERT_TRUE(l.ok) << index;
    EXPECT_EQ(l.params.ImageCount(), 3);
    EXPECT_EQ(l.params.IcoSizes, (std::vector<TIESize>{{16, 16}, {32, 32}, {48, 48}}));
    EXPECT_EQ(l.params.IcoBitCounts, (std::vector<int32_t>{32, 32, 32}));
    EXPECT_FALSE(l.params.IcoPng);
    EXPECT_EQ(l.bitmap.Width(), 16 * (index + 1)) << index;
    EXPECT_EQ(l.bitmap.Height(), l.bitmap.Width()) << index;
    EXPECT_TRUE(l.bitmap.HasAlphaChannel()) << index;
  }
  testsupport::TempDir dir;
  const std::string path = dir.File("three.ico");
  testsupport::WriteFileBytes(path, file);
  EXPECT_EQ(CountFileFrames(path), 3);
}

TEST(IcoReader, PngImageGoesThroughThePngReader) {
  Loaded l;
  Load(testsupport::ReadFileBytes(testsupport::DataPath("ico/png256.ico")), l);
  ASSERT_TRUE(l.ok);
  EXPECT_TRUE(l.params.IcoPng);
  EXPECT_EQ(l.params.ImageCount(), 1);
  EXPECT_EQ(l.params.IcoSizes, (std::vector<TIESize>{{256, 256}}));
  EXPECT_EQ(l.bitmap.Width(), 256);
  ASSERT_TRUE(l.bitmap.HasAlphaChannel());
  EXPECT_EQ(AlphaAt(l.bitmap, 2, 2), 0) << "corner outside every shape";
  EXPECT_EQ(PixelAt(l.bitmap, 128, 200), (TRGB{0x20, 0x20, 0xd0}));
  EXPECT_EQ(AlphaAt(l.bitmap, 128, 200), 255);
}

// Both committed icons against ImageMagick's decoding: alpha everywhere,
// colours where a pixel is not fully transparent.
TEST(IcoReader, MatchesAnIndependentDecoder) {
  if (!testsupport::HaveTool("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick not installed";
  // The PNG image has 16-bit samples: ImageMagick rounds them, we keep the
  // high bytes.
  struct Case {
    const char* file;
    int index;
    int tolerance;
  } cases[] = {{"three.ico", 0, 0}, {"three.ico", 1, 0}, {"three.ico", 2, 0}, {"png256.ico", 0, 1}};
  for (const Case& c : cases) {
    const std::string path = testsupport::DataPath(std::string("ico/") + c.file);
    TIEBitmap bitmap;
    TIOParams params;
    params.SetImageIndex(c.index);
    ASSERT_TRUE(bitmap.Read(path, &params)) << c.file << c.index;
    auto r = testsupport::RunCommand("/usr/bin/convert " + testsupport::Quote(path + "[" + std::to_string(c.index) + "]") +
                                     " -depth 8 rgba:-");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(r.output.size(), static_cast<size_t>(bitmap.Width()) * bitmap.Height() * 4) << c.file << c.index;
    int mismatches = 0;
    for (int y = 0; y < bitmap.Height(); ++y)
      for (int x = 0; x < bitmap.Width(); ++x) {
        const uint8_t* o = reinterpret_cast<const uint8_t*>(r.output.data()) + 4 * (y * bitmap.Width() + x);
        const TRGB p = PixelAt(bitmap, x, y);
        const int a = AlphaAt(bitmap, x, y);
        auto off = [&](int v, uint8_t want) { return std::abs(v - int(want)) > c.tolerance; };
        if (off(a, o[3]) || (a > 0 && (off(p.r, o[0]) || off(p.g, o[1]) || off(p.b, o[2])))) ++mismatches;
      }
    EXPECT_EQ(mismatches, 0) << c.file << " image " << c.index;
  }
}

TEST(IcoReader, PaletteImagesTakeTheBackgroundWhereTransparent) {
  for (int bits : {4, 8}) {
    for (bool customBackground : {false, true}) {
      const std::string what = std::to_string(bits) + "-bit" + (customBackground ? ", red background" : "");
      Loaded l;
      const TRGB background = customBackground ? TRGB{0, 0, 255} : kWhite;
      Load(IconFile({EntryFor(Indexed(bits))}), l, 0, false, [&](TIOParams& p) {
        if (customBackground) p.IcoBackground = background;
      });
      ASSERT_TRUE(l.ok) << what;
      ASSERT_EQ(l.bitmap.PixelFormat(), ie24RGB) << what;
      ASSERT_TRUE(l.bitmap.HasAlphaChannel()) << what;
      EXPECT_EQ(l.params.ColorMapCount(), 1 << bits) << what;
      EXPECT_EQ(l.params.BitsPerSample, bits) << what;
      for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 9; ++x) {
          EXPECT_EQ(PixelAt(l.bitmap, x, y), Hole(x, y) ? background : kPalette16[Index(x, y)])
              << what << " at " << x << "," << y;
          EXPECT_EQ(AlphaAt(l.bitmap, x, y), Hole(x, y) ? 0 : 255) << what << " at " << x << "," << y;
        }
    }
  }
}

TEST(IcoReader, NativeModeKeepsIndexes) {
  Loaded l;
  Load(IconFile({EntryFor(Indexed(4))}), l, 0, false, [](TIOParams& p) { p.NativePixelFormat = true; });
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.bitmap.PixelFormat(), ie8p);
  EXPECT_EQ(l.bitmap.PaletteUsed(), 16);
  EXPECT_EQ(l.bitmap.Scanline(1)[3], Index(3, 1));
  EXPECT_EQ(l.bitmap.PaletteEntry(2), kPalette16[2]);
  EXPECT_EQ(AlphaAt(l.bitmap, 0, 0), 0);

  Dib sixteen = Direct(24, nullptr);
  sixteen.bitCount = 16;
  Loaded n;
  EXPECT_THROW(Load(IconFile({EntryFor(sixteen)}), n, 0, false, [](TIOParams& p) { p.NativePixelFormat = true; }),
               EIEException);
}

TEST(IcoReader, TrueColourTransparency) {
  const std::vector<uint8_t> fullAnd = AndRows(9, 6, Hole);
  Dib zeroAlpha = Direct(32, [](int, int) { return uint8_t(0); });
  Dib realAlpha = Direct(32, [](int x, int) { return uint8_t(x * 25); });
  Dib opaque32 = Direct(32, [](int, int) { return uint8_t(255); });
  opaque32.andMask = AndRows(9, 6, [](int, int) { return false; });
  Dib zeroAlphaNoAnd = zeroAlpha;
  zeroAlphaNoAnd.andMask.clear();
  Dib rgb24 = Direct(24, nullptr);
  Dib rgb24NoAnd = rgb24;
  rgb24NoAnd.andMask.resize(rgb24NoAnd.andMask.size() - 1);  // one byte short: not complete
  struct Case {
    const char* what;
    Dib dib;
    std::function<int(int, int)> alpha;  // nullptr: no alpha channel
  } cases[] = {
      {"32-bit, alpha all 0: the AND mask decides", zeroAlpha, [](int x, int y) { return Hole(x, y) ? 0 : 255; }},
      {"32-bit with alpha", realAlpha, [](int x, int) { return x * 25; }},
      {"32-bit, all opaque", opaque32, nullptr},
      {"32-bit, alpha all 0, no AND rows: opaque", zeroAlphaNoAnd, nullptr},
      {"24-bit with AND rows", rgb24, [](int x, int y) { return Hole(x, y) ? 0 : 255; }},
      {"24-bit, AND rows cut short", rgb24NoAnd, nullptr},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(IconFile({EntryFor(c.dib)}), l);
    ASSERT_TRUE(l.ok) << c.what;
    ASSERT_EQ(l.bitmap.PixelFormat(), ie24RGB) << c.what;
    EXPECT_EQ(l.bitmap.HasAlphaChannel(), c.alpha != nullptr) << c.what;
    EXPECT_EQ(l.params.SamplesPerPixel, c.dib.bitCount == 32 ? 4 : 3) << c.what;
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 9; ++x) {
        EXPECT_EQ(PixelAt(l.bitmap, x, y), Rgb(x, y)) << c.what << " at " << x << "," << y;
        if (c.alpha) {
          EXPECT_EQ(AlphaAt(l.bitmap, x, y), c.alpha(x, y)) << c.what << " at " << x << "," << y;
        }
      }
  }
}

TEST(IcoReader, OneBitIconsShowTransparentWhiteAndInvertedBlack) {
  // Colour bit and AND bit of four columns: black, white, transparent, inverted.
  Dib d;
  d.width = 4, d.height = 2, d.bitCount = 1;
  d.palette = {kBlack, kWhite};
  const bool color[4] = {false, true, false, true}, hole[4] = {false, false, true, true};
  d.color = Rows(4, 2, 1, [&](uint8_t* row, int x, int) {
    if (color[x]) SetBit(row, x);
  });
  d.andMask = AndRows(4, 2, [&](int x, int) { return hole[x]; });
  for (bool whiteBackground : {true, false}) {
    Loaded l;
    Load(IconFile({EntryFor(d)}), l, 0, false, [&](TIOParams& p) {
      if (!whiteBackground) p.IcoBackground = TRGB{0, 0, 0};
    });
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.bitmap.PixelFormat(), ie1g);
    const bool want[4] = {false, true, whiteBackground, !whiteBackground};
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(BitAt(l.bitmap, x, 1), want[x]) << "column " << x << (whiteBackground ? "" : ", black background");
      EXPECT_EQ(AlphaAt(l.bitmap, x, 1), hole[x] ? 0 : 255) << "column " << x;
    }
  }
}

TEST(IcoReader, SizeRules) {
  // The directory and header sizes of one 8 x 6 image (header: width and
  // height of the colour rows); the data always follows the header.
  struct Case {
    const char* what;
    int dirW, dirH;
    int headerW, headerH;
    int wantW, wantH;
  } cases[] = {
      {"agreeing", 8, 6, 8, 6, 8, 6},
      {"directory 0 x 0 (256)", 0, 0, 8, 6, 8, 6},
      {"disagreeing, all small: header", 16, 16, 8, 6, 8, 6},
      {"header width 0: directory", 8, 6, 0, 6, 8, 6},
      {"header larger than 255 disagrees: header", 4, 4, 300, 2, 300, 2},
  };
  for (const Case& c : cases) {
    Dib d;
    d.width = c.headerW, d.height = c.headerH, d.bitCount = 24;
    const int w = c.wantW, h = c.wantH;
    d.color = Rows(w, h, 24, [](uint8_t* row, int x, int) { row[3 * x] = 7; });
    d.andMask = AndRows(w, h, [](int, int) { return false; });
    Entry e = EntryFor(d);
    e.width = c.dirW, e.height = c.dirH;
    Loaded l;
    Load(IconFile({e}), l);
    ASSERT_TRUE(l.ok) << c.what;
    EXPECT_EQ(l.bitmap.Width(), c.wantW) << c.what;
    EXPECT_EQ(l.bitmap.Height(), c.wantH) << c.what;
    EXPECT_EQ(l.params.Width, c.wantW) << c.what;
    EXPECT_EQ(PixelAt(l.bitmap, c.wantW - 1, 0).b, 7) << c.what;
  }
}

TEST(IcoReader, BitCountAndResolution) {
  Dib d = Indexed(4);
  d.ppm = 3780;
  Entry fromHeader = EntryFor(d);
  fromHeader.bitCount = 0;
  fromHeader.colors = 16;
  // Header bit count 0: the entry's bit count, else its colour count.
  Entry fromEntry = fromHeader;
  fromEntry.data[14] = 0;
  fromEntry.bitCount = 4;
  Entry fromColors = fromEntry;
  fromColors.bitCount = 0;
  Entry none = fromColors;
  none.colors = 0;
  struct Case {
    const char* what;
    Entry entry;
    bool ok;
    int dirBits;
  } cases[] = {
      {"from the header", fromHeader, true, 4},
      {"from the entry's bit count", fromEntry, true, 4},
      {"from the entry's colour count", fromColors, true, 4},
      {"nowhere", none, false, 24},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(IconFile({c.entry}), l);
    EXPECT_EQ(l.ok, c.ok) << c.what;
    EXPECT_EQ(l.params.IcoBitCounts, (std::vector<int32_t>{c.dirBits})) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(PixelAt(l.bitmap, 1, 0), kPalette16[Index(1, 0)]) << c.what;
    EXPECT_EQ(l.params.DpiX(), 96) << c.what;
  }
  Loaded noPpm;
  Load(IconFile({EntryFor(Indexed(8))}), noPpm);
  ASSERT_TRUE(noPpm.ok);
  EXPECT_EQ(noPpm.params.DpiX(), 300);
}

TEST(IcoReader, ShortPaletteFromColoursUsed) {
  Dib d = Indexed(8);
  d.palette.resize(4);
  d.colorsUsed = 4;
  Loaded l;
  Load(IconFile({EntryFor(d)}), l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.params.ColorMapCount(), 4);
  EXPECT_EQ(PixelAt(l.bitmap, 1, 0), kPalette16[Index(1, 0)]);
}

TEST(CurReader, HotspotsAndSizes) {
  Dib d = Direct(32, [](int, int) { return uint8_t(200); });
  Entry a = EntryFor(d), b = EntryFor(Indexed(4));
  a.planes = 3, a.bitCount = 5;  // hotspot
  b.planes = 1, b.bitCount = 2;
  const std::vector<uint8_t> file = IconFile({a, b}, 2);
  Loaded l;
  Load(file, l, 1, true);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.params.CurHotX, 1);
  EXPECT_EQ(l.params.CurHotY, 2);
  EXPECT_EQ(l.params.ImageCount(), 2);
  EXPECT_EQ(PixelAt(l.bitmap, 0, 0), kWhite) << "transparent: CurBackground";
  EXPECT_EQ(PixelAt(l.bitmap, 1, 0), kPalette16[Index(1, 0)]);
  Loaded first;
  Load(file, first, 0, true);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.params.CurHotX, 3);
  EXPECT_EQ(first.params.CurHotY, 5);
  EXPECT_EQ(AlphaAt(first.bitmap, 4, 4), 200);
  // An icon's bit count field is a cursor's hotspot: its bit counts come from
  // the colour counts.
  EXPECT_EQ(first.params.IcoBitCounts, (std::vector<int32_t>{24, 24}));

  // A bare cursor DIB: two hotspot words, then the DIB.
  std::vector<uint8_t> bare = {9, 0, 4, 0};
  const std::vector<uint8_t> dib = Build(d);
  bare.insert(bare.end(), dib.begin(), dib.end());
  Loaded b2;
  Load(bare, b2, 0, true, [](TIOParams& p) { p.BmpNoFileHeader = true; });
  ASSERT_TRUE(b2.ok);
  EXPECT_EQ(b2.params.CurHotX, 9);
  EXPECT_EQ(b2.params.CurHotY, 4);
  EXPECT_EQ(b2.bitmap.Width(), 9);
}

TEST(IcoReader, BareDibAndBmpInDisguise) {
  Loaded bare;
  Load(Build(Indexed(8)), bare, 0, false, [](TIOParams& p) { p.BmpNoFileHeader = true; });
  ASSERT_TRUE(bare.ok);
  EXPECT_EQ(bare.bitmap.Width(), 9);
  EXPECT_EQ(bare.bitmap.Height(), 6);
  EXPECT_EQ(PixelAt(bare.bitmap, 2, 0), kPalette16[Index(2, 0)]);

  // A BMP file saved as .ico.
  std::vector<uint8_t> bmp = {'B', 'M'};
  Put32(bmp, 14 + 40 + 4 * 4);
  Put32(bmp, 0);
  Put32(bmp, 14 + 40);
  Put32(bmp, 40);
  Put32(bmp, 2);
  Put32(bmp, 2);
  Put16(bmp, 1);
  Put16(bmp, 24);
  for (int i = 0; i < 6; ++i) Put32(bmp, 0);
  bmp.insert(bmp.end(), {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0});
  testsupport::TempDir dir;
  const std::string path = dir.File("really-a-bmp.ico");
  testsupport::WriteFileBytes(path, bmp);
  TIEBitmap bitmap;
  TIOParams params;
  ASSERT_TRUE(bitmap.Read(path, &params));
  EXPECT_EQ(bitmap.Width(), 2);
  EXPECT_EQ(PixelAt(bitmap, 1, 0), (TRGB{10, 11, 12}));
}

TEST(IcoReader, HostileFilesFailCleanly) {
  const Entry good = EntryFor(Indexed(8));
  Entry outside = good;
  outside.offset = 1000000;
  Entry nearEnd = good;
  nearEnd.offset = static_cast<int64_t>(6 + 16 + good.data.size() - 40);
  Dib hugeDib = Indexed(8);
  Entry huge = EntryFor(hugeDib);
  huge.data[4] = 0xFF, huge.data[5] = 0xFF, huge.data[6] = 0x0F;  // width 1048575
  huge.data[8] = 0xFF, huge.data[9] = 0xFF, huge.data[10] = 0x0F;
  Entry negative = good;
  negative.data[11] = 0x80;
  Dib sixteen = Direct(24, nullptr);
  sixteen.bitCount = 16;
  Dib compressed = Indexed(8);
  Entry rle = EntryFor(compressed);
  rle.data[16] = 1;
  std::vector<uint8_t> manyEntries = IconFile({good});
  manyEntries[4] = 0xFF, manyEntries[5] = 0xFF;  // 65535 entries, one present
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int index;
  } cases[] = {
      {"entry pointing past the end", IconFile({outside}), 0},
      {"entry data closer than 40 bytes to the end", IconFile({nearEnd}), 0},
      {"index past the count", IconFile({good}), 1},
      {"negative index", IconFile({good}), -1},
      {"no entries", IconFile({}), 0},
      {"a million pixels square", IconFile({huge}), 0},
      {"negative height", IconFile({negative}), 0},
      {"16-bit colour", IconFile({EntryFor(sixteen)}), 0},
      {"run-length compressed", IconFile({rle}), 0},
      {"the chosen entry is missing from the directory", manyEntries, 200},
      {"header only", {0, 0, 1, 0}, 0},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(c.bytes, l, c.index);
    EXPECT_FALSE(l.ok) << c.what;
  }
}

TEST(IcoReader, FilesCutAtEveryLengthNeverCrash) {
  const std::vector<std::vector<uint8_t>> files = {
      IconFile({EntryFor(Indexed(4)), EntryFor(Direct(32, [](int x, int) { return uint8_t(x); }))}),
      testsupport::ReadFileBytes(testsupport::DataPath("ico/png256.ico")),
  };
  for (const auto& full : files)
    for (size_t n = 0; n < full.size(); n += (n < 400 ? 1 : 97))
      for (int index : {0, 1}) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        Loaded l;
        Load(cut, l, index);
        if (l.ok) {
          EXPECT_GT(l.bitmap.Width(), 0) << n;
        }
      }
}
