// The TIFF reader: every compression against the same picture stored plain,
// byte orders, BigTIFF, tiles and planes, the pixel layouts and their
// conversions, alpha, resolution, page chains, metadata, and hostile files.
// Fixtures in tests/data/tiff were made with ImageMagick and libtiff's tiffcp
// from one small picture; the .ppm/.pgm/.pbm files are ImageMagick's decodes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ieformats.h"
#include "iebitmap.h"
#include "ieglobal.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "t4tables.h"
#include "tifdecomp.h"
#include "tiffilt.h"
#include "testsupport.h"

namespace {

using testsupport::DataPath;
using testsupport::Quote;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::vector<uint8_t> Fixture(const std::string& name) { return ReadFileBytes(DataPath("tiff/" + name)); }

// --- A little TIFF writer for hand-made pages ------------------------------------

enum : uint16_t { BYTE = 1, ASCII = 2, SHORT = 3, LONG = 4, RATIONAL = 5, UNDEFINED = 7, FLOAT = 11 };

struct Field {
  uint16_t tag = 0, type = SHORT;
  std::vector<uint64_t> values;  // RATIONAL: numerator, denominator pairs
  std::vector<uint8_t> bytes;    // ASCII, BYTE and UNDEFINED
};

struct Page {
  std::vector<Field> fields;
  std::vector<std::vector<uint8_t>> strips;  // StripOffsets/StripByteCounts are added for them
  bool tiles = false;                         // ... or TileOffsets/TileByteCounts
};

Field F(uint16_t tag, uint16_t type, std::vector<uint64_t> values) { return Field{tag, type, std::move(values), {}}; }
Field Text(uint16_t tag, const std::string& s) {
  Field f{tag, ASCII, {}, std::vector<uint8_t>(s.begin(), s.end())};
  f.bytes.push_back(0);
  return f;
}
Field Bytes(uint16_t tag, uint16_t type, std::vector<uint8_t> b) { return Field{tag, type, {}, std::move(b)}; }

class Writer {
public:
  explicit Writer(bool big) : big_(big) {}
  std::vector<uint8_t> v;
  void U8(uint64_t x) { v.push_back(static_cast<uint8_t>(x)); }
  void U16(uint64_t x) {
    if (big_) U8(x >> 8), U8(x);
    else U8(x), U8(x >> 8);
  }
  void U32(uint64_t x) {
    if (big_) U16(x >> 16), U16(x & 0xFFFF);
    else U16(x & 0xFFFF), U16(x >> 16);
  }
  void Patch32(size_t at, uint64_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(big_ ? x >> (8 * (3 - i)) : x >> (8 * i));
  }
  void Align() {
    if (v.size() & 1) v.push_back(0);
  }

private:
  bool big_;
};

// Pages in file order; loopTo >= 0 makes the last directory point back at
// directory loopTo. Only the first `chained` pages (all when -1) are linked;
// the others are directories for SubIFD tags. ifds receives the offsets.
std::vector<uint8_t> BuildTiff(const std::vector<Page>& pages, bool bigEndian = false, int loopTo = -1,
                               int chained = -1, std::vector<size_t>* ifds = nullptr) {
  Writer w(bigEndian);
  w.U8(bigEndian ? 'M' : 'I'), w.U8(bigEndian ? 'M' : 'I');
  w.U16(42);
  w.U32(0);
  size_t link = 4;
  std::vector<size_t> ifdAt;
  for (const Page& page : pages) {
    std::vector<Field> fields = page.fields;
    if (!page.strips.empty()) {
      Field offs{static_cast<uint16_t>(page.tiles ? 324 : 273), LONG, {}, {}};
      Field counts{static_cast<uint16_t>(page.tiles ? 325 : 279), LONG, {}, {}};
      for (const auto& s : page.strips) {
        w.Align();
        offs.values.push_back(w.v.size());
        counts.values.push_back(s.size());
        w.v.insert(w.v.end(), s.begin(), s.end());
      }
      fields.push_back(offs);
      fields.push_back(counts);
    }
    std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.tag < b.tag; });
    w.Align();
    ifdAt.push_back(w.v.size());
    if (chained < 0 || static_cast<int>(ifdAt.size()) <= chained) w.Patch32(link, w.v.size());
    w.U16(fields.size());
    std::vector<std::pair<size_t, const Field*>> later;
    for (const Field& f : fields) {
      w.U16(f.tag);
      w.U16(f.type);
      size_t size = 0, count = 0;
      if (!f.bytes.empty() || f.type == ASCII || f.type == BYTE || f.type == UNDEFINED) {
        count = f.bytes.size(), size = count;
      } else if (f.type == RATIONAL) {
        count = f.values.size() / 2, size = count * 8;
      } else {
        count = f.values.size(), size = count * (f.type == SHORT ? 2 : 4);
      }
      w.U32(count);
      if (size <= 4) {
        const size_t start = w.v.size();
        if (!f.bytes.empty() || f.type == ASCII || f.type == BYTE || f.type == UNDEFINED)
          for (uint8_t b : f.bytes) w.U8(b);
        else if (f.type == SHORT)
          for (uint64_t x : f.values) w.U16(x);
        else
          for (uint64_t x : f.values) w.U32(x);
        while (w.v.size() < start + 4) w.U8(0);
      } else {
        later.push_back({w.v.size(), &f});
        w.U32(0);
      }
    }
    if (chained < 0 || static_cast<int>(ifdAt.size()) <= chained) link = w.v.size();
    w.U32(0);
    for (auto& [at, f] : later) {
      w.Align();
      w.Patch32(at, w.v.size());
      if (!f->bytes.empty()) w.v.insert(w.v.end(), f->bytes.begin(), f->bytes.end());
      else if (f->type == SHORT)
        for (uint64_t x : f->values) w.U16(x);
      else
        for (uint64_t x : f->values) w.U32(x);
    }
  }
  if (loopTo >= 0) w.Patch32(link, ifdAt[static_cast<size_t>(loopTo)]);
  if (ifds) *ifds = ifdAt;
  return w.v;
}

// A plain stripped page of the given layout (one strip).
Page Plain(uint32_t width, uint32_t height, std::vector<uint64_t> bits, uint16_t spp, uint16_t photometric,
           std::vector<uint8_t> data, uint16_t compression = 1) {
  Page p;
  p.fields = {F(256, LONG, {width}), F(257, LONG, {height}), F(258, SHORT, std::move(bits)),
              F(259, SHORT, {compression}), F(262, SHORT, {photometric}), F(277, SHORT, {spp}),
              F(278, LONG, {height})};
  p.strips = {std::move(data)};
  return p;
}

void SetField(Page& p, Field f) {
  for (Field& x : p.fields)
    if (x.tag == f.tag) {
      x = std::move(f);
      return;
    }
  p.fields.push_back(std::move(f));
}

// Entry of a tag in directory dir of a classic TIFF: the byte offset of its
// 12 bytes, or 0 when missing.
size_t EntryOf(const std::vector<uint8_t>& f, uint16_t tag, int dir = 0) {
  const bool le = f[0] == 'I';
  auto u16 = [&](size_t at) { return le ? f[at] | (f[at + 1] << 8) : (f[at] << 8) | f[at + 1]; };
  auto u32 = [&](size_t at) -> size_t {
    return le ? f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (size_t(f[at + 3]) << 24)
              : (size_t(f[at]) << 24) | (f[at + 1] << 16) | (f[at + 2] << 8) | f[at + 3];
  };
  size_t ifd = u32(4);
  for (int i = 0; i < dir; ++i) ifd = u32(ifd + 2 + 12 * u16(ifd));
  for (int i = 0, n = u16(ifd); i < n; ++i)
    if (u16(ifd + 2 + 12 * i) == tag) return ifd + 2 + 12 * i;
  return 0;
}

// Sets the (first) value of a SHORT or LONG tag in place.
void PatchTag(std::vector<uint8_t>& f, uint16_t tag, uint32_t value, int dir = 0) {
  const size_t e = EntryOf(f, tag, dir);
  ASSERT_NE(e, 0u) << "tag " << tag;
  const bool le = f[0] == 'I';
  const int type = le ? f[e + 2] : f[e + 3];
  const int n = type == SHORT ? 2 : 4;
  for (int i = 0; i < n; ++i) f[e + 8 + i] = static_cast<uint8_t>(le ? value >> (8 * i) : value >> (8 * (n - 1 - i)));
}

uint32_t TagValue(const std::vector<uint8_t>& f, uint16_t tag, int dir = 0) {
  const size_t e = EntryOf(f, tag, dir);
  if (e == 0) return 0;
  const bool le = f[0] == 'I';
  const int type = le ? f[e + 2] : f[e + 3];
  if (type == SHORT) return le ? f[e + 8] | (f[e + 9] << 8) : (f[e + 8] << 8) | f[e + 9];
  return le ? f[e + 8] | (f[e + 9] << 8) | (f[e + 10] << 16) | (uint32_t(f[e + 11]) << 24)
            : (uint32_t(f[e + 8]) << 24) | (f[e + 9] << 16) | (f[e + 10] << 8) | f[e + 11];
}

// --- Loading --------------------------------------------------------------------

struct Loaded {
  bool ok = false;
  std::unique_ptr<TIEBitmap> bitmap = std::make_unique<TIEBitmap>();
  TIOParams params;
};

Loaded Load(const std::vector<uint8_t>& bytes, const std::function<void(TIOParams&)>& setup = nullptr) {
  Loaded r;
  TIEImageIO io(r.bitmap.get());
  if (setup) setup(io.Params());
  TIEMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  r.ok = io.LoadFromStreamTIFF(stream);
  r.params.Assign(io.Params());
  return r;
}

// --- Reference pictures (binary PNM) ------------------------------------------------

struct Pnm {
  int width = 0, height = 0, channels = 0, maxval = 0;
  std::vector<int> samples;  // grey, or R G B; PBM: 1 = black
  int At(int x, int y, int c) const { return samples[(static_cast<size_t>(y) * width + x) * channels + c]; }
};

Pnm ParsePnm(const std::vector<uint8_t>& d) {
  Pnm p;
  size_t i = 2;
  auto number = [&]() {
    while (i < d.size() && (std::isspace(d[i]) || d[i] == '#')) {
      if (d[i] == '#')
        while (i < d.size() && d[i] != '\n') ++i;
      else
        ++i;
    }
    int n = 0;
    while (i < d.size() && std::isdigit(d[i])) n = n * 10 + (d[i++] - '0');
    return n;
  };
  const char kind = static_cast<char>(d.at(1));
  p.width = number();
  p.height = number();
  p.maxval = kind == '4' ? 1 : number();
  ++i;
  p.channels = kind == '6' ? 3 : 1;
  const size_t n = static_cast<size_t>(p.width) * p.height * p.channels;
  p.samples.resize(n);
  if (kind == '4') {
    const size_t rowBytes = (static_cast<size_t>(p.width) + 7) / 8;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x)
        p.samples[static_cast<size_t>(y) * p.width + x] = (d[i + y * rowBytes + x / 8] >> (7 - x % 8)) & 1;
  } else {
    const bool wide = p.maxval > 255;
    for (size_t k = 0; k < n; ++k)
      p.samples[k] = wide ? (d[i + 2 * k] << 8) | d[i + 2 * k + 1] : d[i + k];
  }
  return p;
}

Pnm Reference(const std::string& name) { return ParsePnm(Fixture(name)); }

// libtiff's decode of a file through its RGBA interface (tiff2rgba), as
// 8-bit RGB; empty when the tools are missing.
Pnm LibtiffOracle(const std::vector<uint8_t>& tiff) {
  if (!testsupport::HaveTool("tiff2rgba") || !testsupport::HaveTool("convert")) return Pnm{};
  TempDir dir;
  WriteFileBytes(dir.File("x.tif"), tiff);
  RunCommand("tiff2rgba -c none " + Quote(dir.File("x.tif")) + " " + Quote(dir.File("y.tif")));
  RunCommand("convert " + Quote(dir.File("y.tif")) + " -alpha off -depth 8 " + Quote("ppm:" + dir.File("y.ppm")));
  std::vector<uint8_t> ppm = ReadFileBytes(dir.File("y.ppm"));
  if (ppm.size() < 3) return Pnm{};
  return ParsePnm(ppm);
}

TRGB Pixel(TIEBitmap& b, int x, int y) {
  const uint8_t* p = b.Scanline(y) + 3 * x;
  return TRGB{p[0], p[1], p[2]};
}

// Largest difference of any channel between a 24-bit bitmap and an 8-bit
// (or 16-bit, by its high bytes) RGB or grey reference.
int MaxDifference(TIEBitmap& b, const Pnm& ref) {
  EXPECT_EQ(b.PixelFormat(), ie24RGB);
  EXPECT_EQ(b.Width(), ref.width);
  EXPECT_EQ(b.Height(), ref.height);
  if (b.PixelFormat() != ie24RGB || b.Width() != ref.width || b.Height() != ref.height) return 9999;
  const int shift = ref.maxval > 255 ? 8 : 0;
  int worst = 0;
  for (int y = 0; y < ref.height; ++y)
    for (int x = 0; x < ref.width; ++x) {
      const TRGB c = Pixel(b, x, y);
      const int got[3] = {c.r, c.g, c.b};
      for (int k = 0; k < 3; ++k) {
        const int want = ref.At(x, y, ref.channels == 3 ? k : 0) >> shift;
        worst = std::max(worst, std::abs(got[k] - want));
      }
    }
  return worst;
}

double MeanDifference(TIEBitmap& b, const Pnm& ref) {
  if (b.PixelFormat() != ie24RGB || b.Width() != ref.width || b.Height() != ref.height) return 9999;
  double sum = 0;
  for (int y = 0; y < ref.height; ++y)
    for (int x = 0; x < ref.width; ++x) {
      const TRGB c = Pixel(b, x, y);
      sum += std::abs(c.r - ref.At(x, y, 0)) + std::abs(c.g - ref.At(x, y, 1)) + std::abs(c.b - ref.At(x, y, 2));
    }
  return sum / (3.0 * ref.width * ref.height);
}

// Whether a one-bit bitmap shows the PBM's picture (PBM 1 = black, ie1g 1 = white).
bool SameBilevel(TIEBitmap& b, const Pnm& ref) {
  if (b.PixelFormat() != ie1g || b.Width() != ref.width || b.Height() != ref.height) return false;
  for (int y = 0; y < ref.height; ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < ref.width; ++x) {
      const int white = (row[x >> 3] >> (7 - (x & 7))) & 1;
      if (white == ref.At(x, y, 0)) return false;
    }
  }
  return true;
}

}  // namespace

// --- Compressions, byte orders, containers ---------------------------------------------

TEST(TiffReader, EveryCompressionAndLayoutGivesTheStoredPicture) {
  const Pnm ref = Reference("rgb.ppm");
  const char* files[] = {"rgb.tif",         "rgb-lzw.tif",        "rgb-lzw-pred.tif", "rgb-zip.tif",
                         "rgb-zip-pred.tif", "rgb-packbits.tif",   "rgb-mm.tif",       "rgb-mm-lzw-pred.tif",
                         "rgb-big.tif",     "rgb-big-mm.tif",     "rgb-tiled.tif",    "rgb-tiled-zip.tif",
                         "rgb-planar.tif",  "rgb-planar-lzw.tif"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    Loaded l = Load(Fixture(name));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(MaxDifference(*l.bitmap, ref), 0);
    EXPECT_EQ(l.params.ImageCount(), 1);
    EXPECT_EQ(l.params.Width, 40);
    EXPECT_EQ(l.params.SamplesPerPixel, 3);
    EXPECT_FALSE(l.bitmap->HasAlphaChannel());
  }
  Loaded mm = Load(Fixture("rgb-mm.tif"));
  EXPECT_FALSE(mm.params.TiffLittleEndian);
  Loaded big = Load(Fixture("rgb-big.tif"));
  EXPECT_TRUE(big.params.TiffBig);
  EXPECT_EQ(big.params.TiffCompression, 5);
  Loaded planar = Load(Fixture("rgb-planar.tif"));
  EXPECT_EQ(planar.params.TiffPlanarConfig, 2);
}

TEST(TiffReader, JpegStripsMatchLibtiffsDecoding) {
  for (const char* name : {"rgb-jpeg", "rgb-jpeg-rgb"}) {
    SCOPED_TRACE(name);
    Loaded l = Load(Fixture(std::string(name) + ".tif"));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.TiffCompression, 7);
    // Same libjpeg underneath; upsampling paths may differ by a level or two.
    EXPECT_LE(MaxDifference(*l.bitmap, Reference(std::string(name) + ".ppm")), 3);
    EXPECT_LE(MeanDifference(*l.bitmap, Reference("rgb.ppm")), 10.0);
  }
}

TEST(TiffReader, BilevelCompressionsAndFillOrdersGiveTheSamePage) {
  const Pnm ref = Reference("bw.pbm");
  for (const char* name : {"bw.tif", "bw-g3.tif", "bw-g3-2d.tif", "bw-g3-fill.tif", "bw-g4.tif", "bw-lsb.tif",
                           "bw-g4-lsb.tif", "bw-packbits.tif"}) {
    SCOPED_TRACE(name);
    Loaded l = Load(Fixture(name));
    ASSERT_TRUE(l.ok);
    EXPECT_TRUE(SameBilevel(*l.bitmap, ref));
    EXPECT_EQ(l.params.BitsPerSample, 1);
  }
  EXPECT_EQ(Load(Fixture("bw-g3-2d.tif")).params.TiffCompression, 3);
  EXPECT_EQ(Load(Fixture("bw-g4-lsb.tif")).params.TiffFillOrder, 2);
}

TEST(TiffReader, GreyPagesAtEightAndSixteenBits) {
  const Pnm g8 = Reference("grey8.pgm"), g16 = Reference("grey16.pgm");
  EXPECT_EQ(MaxDifference(*Load(Fixture("grey8.tif")).bitmap, g8), 0);
  for (const char* name : {"grey16.tif", "grey16-lzw-pred.tif", "grey16-mm-zip-pred.tif"}) {
    SCOPED_TRACE(name);
    Loaded l = Load(Fixture(name));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(MaxDifference(*l.bitmap, g16), 0);
    EXPECT_EQ(l.params.BitsPerSample, 16);
  }
  // The native formats keep the stored levels.
  auto native = [](TIOParams& p) { p.NativePixelFormat = true; };
  Loaded n8 = Load(Fixture("grey8.tif"), native);
  ASSERT_EQ(n8.bitmap->PixelFormat(), ie8g);
  Loaded n16 = Load(Fixture("grey16-mm-zip-pred.tif"), native);
  ASSERT_EQ(n16.bitmap->PixelFormat(), ie16g);
  for (int y = 0; y < g16.height; ++y)
    for (int x = 0; x < g16.width; ++x) {
      ASSERT_EQ(n8.bitmap->Scanline(y)[x], g8.At(x, y, 0));
      const uint8_t* w = n16.bitmap->Scanline(y) + 2 * x;
      ASSERT_EQ(w[0] | (w[1] << 8), g16.At(x, y, 0));
    }
}

TEST(TiffReader, SixteenBitColourKeepsItsHighBytesOrItsWords) {
  const Pnm ref = Reference("rgb16.ppm");
  for (const char* name : {"rgb16.tif", "rgb16-mm-zip-pred.tif"}) {
    SCOPED_TRACE(name);
    Loaded l = Load(Fixture(name));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(MaxDifference(*l.bitmap, ref), 0);
    Loaded n = Load(Fixture(name), [](TIOParams& p) { p.NativePixelFormat = true; });
    ASSERT_EQ(n.bitmap->PixelFormat(), ieRGB48);
    for (int y = 0; y < ref.height; ++y)
      for (int x = 0; x < ref.width; ++x)
        for (int c = 0; c < 3; ++c) {
          const uint8_t* w = n.bitmap->Scanline(y) + 6 * x + 2 * c;
          ASSERT_EQ(w[0] | (w[1] << 8), ref.At(x, y, c));
        }
  }
}

TEST(TiffReader, CmykMatchesAnIndependentDecoder) {
  const std::vector<uint8_t> file = Fixture("cmyk.tif");
  Loaded l = Load(file);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.params.TiffPhotometric, 5);
  Loaded n = Load(file, [](TIOParams& p) { p.NativePixelFormat = true; });
  ASSERT_EQ(n.bitmap->PixelFormat(), ieCMYK);
  // ieCMYK holds 255 - ink: white paper (no ink) is 255 everywhere.
  const Pnm oracle = LibtiffOracle(file);
  if (oracle.width == 0) GTEST_SKIP() << "tiff2rgba or convert not installed";
  EXPECT_LE(MaxDifference(*l.bitmap, oracle), 2);
}

TEST(TiffReader, ExtraSamplesGiveTheAlphaChannel) {
  const Pnm colour = Reference("rgb.ppm"), alpha = Reference("rgba-alpha.pgm");
  auto sameAlpha = [&](TIEBitmap& b) {
    TIEBitmap* a = b.AlphaChannelOrNull();
    if (!a) return false;
    for (int y = 0; y < alpha.height; ++y)
      for (int x = 0; x < alpha.width; ++x)
        if (a->Scanline(y)[x] != alpha.At(x, y, 0)) return false;
    return true;
  };
  Loaded straight = Load(Fixture("rgba.tif"));
  ASSERT_TRUE(straight.ok);
  EXPECT_TRUE(sameAlpha(*straight.bitmap));
  EXPECT_EQ(MaxDifference(*straight.bitmap, colour), 0);

  // Associated alpha: the colour comes back divided by its alpha.
  const std::vector<uint8_t> assocFile = Fixture("rgba-assoc.tif");
  Loaded assoc = Load(assocFile);
  ASSERT_TRUE(assoc.ok);
  EXPECT_TRUE(sameAlpha(*assoc.bitmap));
  int worst = 0;
  for (int y = 0; y < colour.height; ++y)
    for (int x = 0; x < colour.width; ++x) {
      if (alpha.At(x, y, 0) < 64) continue;  // too little left of the colour to compare
      const TRGB c = Pixel(*assoc.bitmap, x, y);
      worst = std::max({worst, std::abs(c.r - colour.At(x, y, 0)), std::abs(c.g - colour.At(x, y, 1)),
                        std::abs(c.b - colour.At(x, y, 2))});
    }
  EXPECT_LE(worst, 4);

  // Four samples whose fourth is not alpha: dropped, and the page opaque.
  std::vector<uint8_t> px = {10, 20, 30, 0, 40, 50, 60, 0};
  Page p = Plain(2, 1, {8, 8, 8, 8}, 4, 2, px);
  p.fields.push_back(F(338, SHORT, {0}));
  Loaded unspecified = Load(BuildTiff({p}));
  ASSERT_TRUE(unspecified.ok);
  EXPECT_EQ(Pixel(*unspecified.bitmap, 1, 0), (TRGB{60, 50, 40}));
  ASSERT_TRUE(unspecified.bitmap->HasAlphaChannel());
  EXPECT_EQ(unspecified.bitmap->AlphaChannelOrNull()->Scanline(0)[0], 255);
  // Grey with alpha.
  Loaded ga = Load(BuildTiff({Plain(2, 1, {8, 8}, 2, 1, {100, 255, 200, 7})}));
  ASSERT_TRUE(ga.ok);
  EXPECT_EQ(Pixel(*ga.bitmap, 1, 0), (TRGB{200, 200, 200}));
  EXPECT_EQ(ga.bitmap->AlphaChannelOrNull()->Scanline(0)[1], 7);
}

TEST(TiffReader, PageChainsCountAndLoadEveryPage) {
  const std::vector<Page> pages = {Plain(2, 1, {8}, 1, 1, {10, 11}), Plain(3, 1, {8}, 1, 1, {20, 21, 22})};
  // The second directory's next offset points back at the first.
  const std::vector<uint8_t> loop = BuildTiff(pages, false, 0);
  TIEMemoryStream stream(loop.data(), static_cast<int64_t>(loop.size()));
  EXPECT_EQ(IETiffPageCount(stream), 2);
  for (int i = 0; i < 2; ++i) {
    Loaded l = Load(loop, [i](TIOParams& p) { p.SetImageIndex(i); });
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.ImageCount(), 2);
    EXPECT_EQ(l.bitmap->Width(), 2 + i);
    EXPECT_EQ(Pixel(*l.bitmap, 1, 0).g, 11 + 10 * i);
  }
  // TiffImageIndex equal to the page count fails.
  Loaded past = Load(loop, [](TIOParams& p) { p.SetImageIndex(2); });
  EXPECT_FALSE(past.ok);
  EXPECT_EQ(past.params.ImageCount(), 2);
  // A next offset past the end of the file ends the chain quietly.
  std::vector<uint8_t> one = BuildTiff({pages[0]});
  const size_t next = EntryOf(one, 256) - 2 + 2 + 12 * (one[EntryOf(one, 256) - 2]);
  const uint32_t beyond = static_cast<uint32_t>(one.size() + 1000);
  std::memcpy(one.data() + next, &beyond, 4);
  TIEMemoryStream s1(one.data(), static_cast<int64_t>(one.size()));
  EXPECT_EQ(IETiffPageCount(s1), 1);
  EXPECT_TRUE(Load(one).ok);
  // Big-endian chains too.
  const std::vector<uint8_t> mm = BuildTiff(pages, true);
  Loaded second = Load(mm, [](TIOParams& p) { p.SetImageIndex(1); });
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(Pixel(*second.bitmap, 2, 0).r, 22);

  // The load front counts pages of a file.
  TempDir dir;
  WriteFileBytes(dir.File("three.tif"), BuildTiff({pages[0], pages[1], pages[0]}));
  EXPECT_EQ(CountFileFrames(dir.File("three.tif")), 3);
  EXPECT_EQ(DetectFileFormat(dir.File("three.tif")), ioTIFF);
}

TEST(TiffReader, SubDirectoriesAndSingleTiles) {
  std::vector<Page> pages = {Plain(2, 1, {8}, 1, 1, {1, 2}), Plain(4, 1, {8}, 1, 1, {5, 6, 7, 8})};
  pages[0].fields.push_back(F(330, LONG, {0}));
  std::vector<size_t> ifds;
  std::vector<uint8_t> file = BuildTiff(pages, false, -1, 1, &ifds);
  PatchTag(file, 330, static_cast<uint32_t>(ifds[1]));
  EXPECT_EQ(Load(file).bitmap->Width(), 2);
  Loaded sub = Load(file, [](TIOParams& p) { p.TiffSubIndex = 0; });
  ASSERT_TRUE(sub.ok);
  EXPECT_EQ(sub.bitmap->Width(), 4);
  EXPECT_EQ(sub.params.ImageCount(), 1);  // SubIFDs are no pages
  EXPECT_EQ(Load(file, [](TIOParams& p) { p.TiffSubIndex = 1; }).bitmap->Width(), 2);  // no such entry

  // Tile 1 of a 3 x 2 grid of 16 x 16 tiles is columns 16..31 of the top rows.
  const Pnm ref = Reference("rgb.ppm");
  Loaded tile = Load(Fixture("rgb-tiled.tif"), [](TIOParams& p) { p.TiffTileIndex = 1; });
  ASSERT_TRUE(tile.ok);
  ASSERT_EQ(tile.bitmap->Width(), 16);
  ASSERT_EQ(tile.bitmap->Height(), 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(Pixel(*tile.bitmap, x, y).r, ref.At(16 + x, y, 0));
  EXPECT_FALSE(Load(Fixture("rgb-tiled.tif"), [](TIOParams& p) { p.TiffTileIndex = 6; }).ok);
}

TEST(TiffReader, ResolutionUnitRules) {
  struct Case {
    const char* name;
    std::vector<Field> fields;
    int dpiX, dpiY;
  } cases[] = {
      {"centimetres", {F(282, RATIONAL, {118, 1}), F(283, RATIONAL, {59, 1}), F(296, SHORT, {3})}, 300, 150},
      {"inches", {F(282, RATIONAL, {72, 1}), F(283, RATIONAL, {144, 1}), F(296, SHORT, {2})}, 72, 144},
      {"no unit means inches", {F(282, RATIONAL, {150, 1}), F(283, RATIONAL, {150, 1})}, 150, 150},
      {"no resolution", {}, 300, 300},
      {"zero", {F(282, RATIONAL, {0, 1}), F(283, RATIONAL, {5, 0})}, 300, 300},
      {"half rounds to even", {F(282, RATIONAL, {145, 2}), F(283, RATIONAL, {147, 2})}, 72, 74},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Page p = Plain(1, 1, {8}, 1, 1, {0});
    for (const Field& f : c.fields) p.fields.push_back(f);
    Loaded l = Load(BuildTiff({p}));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.DpiX(), c.dpiX);
    EXPECT_EQ(l.params.DpiY(), c.dpiY);
  }
  Page cm = Plain(1, 1, {8}, 1, 1, {0});
  cm.fields.insert(cm.fields.end(), {F(282, RATIONAL, {118, 1}), F(296, SHORT, {3})});
  Loaded l = Load(BuildTiff({cm}));
  EXPECT_EQ(l.params.TiffResolutionUnit, 3);
  EXPECT_DOUBLE_EQ(l.params.ExifXResolution, 118 * 2.54);
}

TEST(TiffReader, OneBitPhotometricRules) {
  // 8 pixels: 0 0 0 0 1 1 1 1 as stored.
  struct Case {
    const char* name;
    uint16_t photometric, compression;
    std::vector<uint8_t> data;
    uint8_t bitmap;  // ie1g, 1 = white
  } cases[] = {
      {"WhiteIsZero", 0, 1, {0x0F}, 0xF0},
      {"BlackIsZero", 1, 1, {0x0F}, 0x0F},
      {"RGB uncompressed is WhiteIsZero", 2, 1, {0x0F}, 0xF0},
      {"RGB PackBits is BlackIsZero", 2, 32773, {0x00, 0x0F}, 0x0F},
      {"RGB LZW is BlackIsZero", 2, 5, {0x80, 0x03, 0xE0, 0x20}, 0x0F},  // clear, 0x0F, end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded l = Load(BuildTiff({Plain(8, 1, {1}, 1, c.photometric, c.data, c.compression)}));
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.bitmap->PixelFormat(), ie1g);
    EXPECT_EQ(l.bitmap->Scanline(0)[0], c.bitmap);
  }
  // A fax page stored BlackIsZero shows inverted.
  std::vector<uint8_t> g4 = Fixture("bw-g4.tif");
  Loaded white = Load(g4);
  PatchTag(g4, 262, 1);
  Loaded black = Load(g4);
  ASSERT_TRUE(black.ok);
  EXPECT_EQ(black.params.TiffPhotometric, 1);
  for (int y = 0; y < white.bitmap->Height(); ++y)
    for (int i = 0; i < 96 / 8; ++i)
      ASSERT_EQ(black.bitmap->Scanline(y)[i], static_cast<uint8_t>(~white.bitmap->Scanline(y)[i]));
}

TEST(TiffReader, NarrowSamplesBecomeFullLevels) {
  struct Case {
    const char* name;
    uint16_t bits, photometric;
    uint32_t width;
    std::vector<uint8_t> data;
    std::vector<uint8_t> grey;  // expected levels
  } cases[] = {
      {"4-bit", 4, 1, 4, {0xF0, 0x8C}, {255, 0, 136, 204}},
      {"2-bit", 2, 1, 4, {0xE4}, {255, 170, 85, 0}},
      {"2-bit WhiteIsZero", 2, 0, 4, {0xE4}, {0, 85, 170, 255}},
      {"3-bit", 3, 1, 3, {0xE4, 0x00}, {255, 36, 0}},  // 111 001 000
      {"7-bit", 7, 1, 2, {0xFE, 0x04}, {255, 2}},       // 1111111 0000001
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file = BuildTiff({Plain(c.width, 1, {c.bits}, 1, c.photometric, c.data)});
    Loaded l = Load(file);
    ASSERT_TRUE(l.ok);
    for (uint32_t x = 0; x < c.width; ++x) EXPECT_EQ(Pixel(*l.bitmap, x, 0).g, c.grey[x]) << x;
    const Pnm oracle = LibtiffOracle(file);
    if (oracle.width) {
      EXPECT_LE(MaxDifference(*l.bitmap, oracle), 1);
    }
  }
}

TEST(TiffReader, PalettePages) {
  // 16-bit colour map entries are taken by their high bytes.
  std::vector<uint64_t> map(3 * 16, 0);
  for (int i = 0; i < 16; ++i) map[i] = i * 0x1111, map[16 + i] = 0xFFFF - i * 0x1111, map[32 + i] = 0x8000;
  Page p = Plain(4, 1, {4}, 1, 3, {0x01, 0xF7});
  p.fields.push_back(F(320, SHORT, map));
  const std::vector<uint8_t> file = BuildTiff({p});
  Loaded l = Load(file);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(Pixel(*l.bitmap, 1, 0), (TRGB{0x80, 0xEE, 0x11}));
  EXPECT_EQ(Pixel(*l.bitmap, 2, 0), (TRGB{0x80, 0x00, 0xFF}));
  EXPECT_EQ(l.params.ColorMapCount(), 16);
  // libtiff scales 16-bit entries by 255 / 65535 where we take the high byte.
  const Pnm oracle = LibtiffOracle(file);
  if (oracle.width) {
    EXPECT_LE(MaxDifference(*l.bitmap, oracle), 1);
  }

  std::vector<uint64_t> map8(3 * 256, 0);
  map8[7] = 200, map8[256 + 7] = 100, map8[512 + 7] = 50;
  Page p8 = Plain(2, 1, {8}, 1, 3, {7, 0});
  p8.fields.push_back(F(320, SHORT, map8));
  Loaded n = Load(BuildTiff({p8}), [](TIOParams& q) { q.NativePixelFormat = true; });
  ASSERT_EQ(n.bitmap->PixelFormat(), ie8p);
  EXPECT_EQ(n.bitmap->Scanline(0)[0], 7);
  EXPECT_EQ(n.bitmap->PaletteEntry(7), (TRGB{50, 100, 200}));
}

TEST(TiffReader, TwelveAndSixteenBitGrey) {
  // 0x000 0xFFF 0x800 0x123, two samples in three bytes.
  const std::vector<uint8_t> packed = {0x00, 0x0F, 0xFF, 0x80, 0x01, 0x23};
  Loaded l = Load(BuildTiff({Plain(4, 1, {12}, 1, 1, packed)}));
  ASSERT_TRUE(l.ok);
  const uint8_t top[] = {0x00, 0xFF, 0x80, 0x12};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(Pixel(*l.bitmap, x, 0).r, top[x]);
  Loaded n = Load(BuildTiff({Plain(4, 1, {12}, 1, 1, packed)}), [](TIOParams& p) { p.NativePixelFormat = true; });
  ASSERT_EQ(n.bitmap->PixelFormat(), ie16g);
  const uint16_t words[] = {0x0000, 0xFFF0, 0x8000, 0x1230};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(n.bitmap->Scanline(0)[2 * x] | (n.bitmap->Scanline(0)[2 * x + 1] << 8), words[x]);

  // 16-bit: WhiteIsZero inverts, signed samples are offset, and one old
  // scanner's 12-bit values in 16-bit samples are scaled by 16.
  struct Case {
    const char* name;
    uint16_t photometric, format;
    const char* software;
    uint16_t value;
    uint8_t grey;
  } cases[] = {
      {"BlackIsZero", 1, 1, "", 0x8040, 0x80},
      {"WhiteIsZero", 0, 1, "", 0x8040, 0x7F},
      {"signed", 1, 2, "", 0x0000, 0x80},
      {"Look@Molli", 1, 1, "Look@Molli v1.1 x", 4095, 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Page p = Plain(1, 1, {16}, 1, c.photometric, {static_cast<uint8_t>(c.value), static_cast<uint8_t>(c.value >> 8)});
    p.fields.push_back(F(339, SHORT, {c.format}));
    if (*c.software) p.fields.push_back(Text(305, c.software));
    Loaded g = Load(BuildTiff({p}));
    ASSERT_TRUE(g.ok);
    EXPECT_EQ(Pixel(*g.bitmap, 0, 0).g, c.grey);
  }
}

TEST(TiffReader, YCbCrMatchesLibtiff) {
  // 2 x 1 subsampling: Y0 Y1 Cb Cr per two pixels; 2 x 2: four lumas of two
  // rows, then Cb Cr.
  struct Case {
    const char* name;
    uint16_t h, v;
    std::vector<uint8_t> data;
  } cases[] = {
      {"2x1", 2, 1, {50, 90, 100, 180, 200, 210, 60, 128, 30, 60, 200, 40, 128, 128, 128, 128}},
      {"2x2", 2, 2, {50, 90, 30, 60, 100, 180, 200, 210, 128, 128, 128, 128}},
      {"1x1", 1, 1, {50, 100, 180, 90, 200, 60, 30, 128, 128, 60, 40, 220, 128, 128, 128, 10, 10, 10, 255, 128, 128, 0, 128, 128}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Page p = Plain(4, 2, {8, 8, 8}, 3, 6, c.data);
    p.fields.push_back(F(530, SHORT, {c.h, c.v}));
    const std::vector<uint8_t> file = BuildTiff({p});
    Loaded l = Load(file);
    ASSERT_TRUE(l.ok);
    const Pnm oracle = LibtiffOracle(file);
    if (oracle.width == 0) GTEST_SKIP() << "tiff2rgba or convert not installed";
    EXPECT_LE(MaxDifference(*l.bitmap, oracle), 2);
  }
}

TEST(TiffReader, DecompressionCornerCases) {
  // PackBits: a 128 header does nothing, and a run that does not fit the
  // row is consumed without spilling into the next.
  Loaded pb = Load(BuildTiff({Plain(6, 2, {8}, 1, 1, {128, 0x02, 'a', 'b', 'c', 0xF9, 'z', 0xFF, 'q'}, 32773)}));
  ASSERT_TRUE(pb.ok);
  const char row0[] = "abczzz";
  for (int x = 0; x < 6; ++x) EXPECT_EQ(Pixel(*pb.bitmap, x, 0).g, static_cast<uint8_t>(row0[x]));
  EXPECT_EQ(Pixel(*pb.bitmap, 0, 1).g, 'q');
  EXPECT_EQ(Pixel(*pb.bitmap, 1, 1).g, 'q');

  // Predictor 2 with PackBits is not undone.
  Page noPred = Plain(3, 1, {8}, 1, 1, {0x02, 10, 20, 30}, 32773);
  noPred.fields.push_back(F(317, SHORT, {2}));
  EXPECT_EQ(Pixel(*Load(BuildTiff({noPred})).bitmap, 2, 0).g, 30);

  // A Deflate strip cut short keeps the rows inflated before the cut.
  std::vector<uint8_t> rows(64 * 16);
  uint32_t seed = 1;
  for (uint8_t& b : rows) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
  uLongf zlen = compressBound(rows.size());
  std::vector<uint8_t> z(zlen);
  ASSERT_EQ(compress(z.data(), &zlen, rows.data(), rows.size()), Z_OK);
  z.resize(zlen / 2);
  Loaded cut = Load(BuildTiff({Plain(64, 16, {8}, 1, 1, z, 8)}));
  ASSERT_TRUE(cut.ok);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(Pixel(*cut.bitmap, x, y).g, rows[y * 64 + x]);
  for (int x = 0; x < 64; ++x) EXPECT_EQ(Pixel(*cut.bitmap, x, 15).g, 0);

  // LZW: a code not yet in the table right after a clear code fails the page.
  // 9-bit codes: 256 (clear), 300.
  Loaded lzw = Load(BuildTiff({Plain(4, 1, {8}, 1, 1, {0x80, 0x4B, 0x00}, 5)}));
  EXPECT_FALSE(lzw.ok);

  // Modified Huffman rows start on byte boundaries. Row of 16: white 3,
  // black 5, white 8 = 1000 0011 10011 -> padded; second row all white 16.
  auto bits = [](std::initializer_list<TIET4Code> codes) {
    std::vector<uint8_t> out;
    int n = 0;
    for (const TIET4Code& c : codes)
      for (int i = c.Length - 1; i >= 0; --i, ++n) {
        if (n % 8 == 0) out.push_back(0);
        if ((c.Code >> i) & 1) out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
      }
    return out;
  };
  std::vector<uint8_t> mh = bits({kT4WhiteTerminating[3], kT4BlackTerminating[5], kT4WhiteTerminating[8]});
  const std::vector<uint8_t> second = bits({kT4WhiteTerminating[16]});
  mh.insert(mh.end(), second.begin(), second.end());
  Loaded rle = Load(BuildTiff({Plain(16, 2, {1}, 1, 0, mh, 2)}));
  ASSERT_TRUE(rle.ok);
  EXPECT_EQ(rle.params.TiffCompression, 1);
  EXPECT_EQ(rle.bitmap->Scanline(0)[0], 0xE0);  // 111 00000
  EXPECT_EQ(rle.bitmap->Scanline(0)[1], 0xFF);
  EXPECT_EQ(rle.bitmap->Scanline(1)[0], 0xFF);
}

TEST(TiffReader, OrientationIsHonouredWhenAsked) {
  const Pnm ref = Reference("rgb.ppm");
  std::vector<uint8_t> file = Fixture("rgba.tif");
  PatchTag(file, 274, 6);
  Loaded asIs = Load(file);
  EXPECT_EQ(asIs.bitmap->Width(), 40);
  EXPECT_EQ(asIs.params.TiffOrientation, 6);
  Loaded upright = Load(file, [](TIOParams& p) { p.SetEnableAdjustOrientation(true); });
  ASSERT_TRUE(upright.ok);
  ASSERT_EQ(upright.bitmap->Width(), 26);
  ASSERT_EQ(upright.bitmap->Height(), 40);
  EXPECT_EQ(upright.params.Width, 26);
  EXPECT_EQ(upright.params.TiffOrientation, 1);
  // A quarter turn clockwise: stored (x, y) lands at (h - 1 - y, x), alpha too.
  const Pnm alpha = Reference("rgba-alpha.pgm");
  for (int y = 0; y < 26; ++y)
    for (int x = 0; x < 40; ++x) {
      ASSERT_EQ(Pixel(*upright.bitmap, 25 - y, x).r, ref.At(x, y, 0));
      ASSERT_EQ(upright.bitmap->AlphaChannelOrNull()->Scanline(x)[25 - y], alpha.At(x, y, 0));
    }

  // One-bit pages turn as well: 8 is a quarter turn anticlockwise.
  std::vector<uint8_t> fax = Fixture("bw-g4.tif");
  PatchTag(fax, 274, 8);
  const Pnm bw = Reference("bw.pbm");
  Loaded turned = Load(fax, [](TIOParams& p) { p.SetEnableAdjustOrientation(true); });
  ASSERT_TRUE(turned.ok);
  ASSERT_EQ(turned.bitmap->PixelFormat(), ie1g);
  ASSERT_EQ(turned.bitmap->Width(), 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96; ++x) {
      const int tx = y, ty = 95 - x;
      const int white = (turned.bitmap->Scanline(ty)[tx >> 3] >> (7 - (tx & 7))) & 1;
      ASSERT_NE(white, bw.At(x, y, 0));
    }
}

TEST(TiffReader, MetadataReachesTheParameterRecord) {
  Page p = Plain(1, 1, {8}, 1, 1, {0});
  p.fields.insert(p.fields.end(),
                  {Text(269, "doc"), Text(270, "a description"), Text(271, "Maker"), Text(272, "Model 1"),
                   Text(285, "page one"), Text(305, "Writer 2"), Text(306, "2020:01:02 03:04:05"),
                   Text(315, "Someone"), F(297, SHORT, {1, 3}), F(254, LONG, {2}),
                   Bytes(700, BYTE, {'<', 'x', '/', '>'}), Bytes(34675, UNDEFINED, {1, 2, 3, 4, 5, 6}),
                   Bytes(33723, UNDEFINED, {0x1C, 2, 0}), Bytes(34377, BYTE, {'8', 'B', 'I', 'M', 0}),
                   F(34665, LONG, {0}), F(286, RATIONAL, {3, 2})});
  std::vector<uint8_t> file = BuildTiff({p});
  // EXIF directory (one entry: the interoperability pointer), then the
  // interoperability directory with its index "R98".
  const uint32_t exif = static_cast<uint32_t>(file.size());
  const uint32_t interop = exif + 2 + 12 + 4;
  const uint8_t dirs[] = {1, 0, 0x05, 0xA0, 4, 0, 1, 0, 0, 0, uint8_t(interop), uint8_t(interop >> 8), 0, 0, 0, 0, 0, 0,
                          1, 0, 1, 0, 2, 0, 4, 0, 0, 0, 'R', '9', '8', 0, 0, 0, 0, 0};
  file.insert(file.end(), std::begin(dirs), std::end(dirs));
  PatchTag(file, 34665, exif);
  Loaded l = Load(file);
  ASSERT_TRUE(l.ok);
  const TIOParams& q = l.params;
  EXPECT_EQ(q.TiffDocumentName, "doc");
  EXPECT_EQ(q.TiffImageDescription, "a description");
  EXPECT_EQ(q.TiffPageName, "page one");
  EXPECT_EQ(q.ExifMake, "Maker");
  EXPECT_EQ(q.ExifModel, "Model 1");
  EXPECT_EQ(q.ExifSoftware, "Writer 2");
  EXPECT_EQ(q.ExifDateTime, "2020:01:02 03:04:05");
  EXPECT_EQ(q.ExifArtist, "Someone");
  EXPECT_EQ(q.TiffPageNumber[0], 1);
  EXPECT_EQ(q.TiffPageNumber[1], 3);
  EXPECT_EQ(q.TiffNewSubfileType, 2);
  EXPECT_EQ(q.TiffXPos, 1);
  EXPECT_EQ(q.XmpData, "<x/>");
  EXPECT_EQ(q.InputICCProfile, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(l.bitmap->InputICCProfile(), q.InputICCProfile);
  EXPECT_EQ(q.IptcData.size(), 3u);
  EXPECT_EQ(q.TiffImageResources.size(), 5u);
  EXPECT_TRUE(q.ExifHasExifData);
  EXPECT_EQ(q.ExifInteropIndex, "R98");
  // Switched off, the blocks stay empty.
  Loaded quiet = Load(file, [](TIOParams& p) { p.ReadMetadata = false; });
  EXPECT_TRUE(quiet.params.XmpData.empty());
  EXPECT_FALSE(quiet.params.ExifHasExifData);
}

TEST(TiffReader, OldStyleJpeg) {
  const std::vector<uint8_t> jpeg = ReadFileBytes(DataPath("jpeg/base.jpg"));
  const Pnm ref = ParsePnm(ReadFileBytes(DataPath("jpeg/base.ppm")));
  size_t sos = 0;
  for (size_t i = 2; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      sos = i;
      break;
    }
  ASSERT_GT(sos, 0u);
  auto page = [&](bool counts) {
    Page p = Plain(12, 10, {8, 8, 8}, 3, 6, jpeg, 6);
    p.fields.push_back(F(513, LONG, {0}));
    p.fields.push_back(F(514, LONG, {static_cast<uint64_t>(sos)}));
    std::vector<uint8_t> f = BuildTiff({p});
    const uint32_t at = TagValue(f, 273);
    PatchTag(f, 513, at);
    if (counts) {
      // Tables from the interchange format, the scan as the strip.
      PatchTag(f, 273, static_cast<uint32_t>(at + sos));
      PatchTag(f, 279, static_cast<uint32_t>(jpeg.size() - sos));
    } else {
      // No StripByteCounts (renamed to an unknown tag): the whole stream at
      // the interchange format.
      const size_t e = EntryOf(f, 279);
      f[e] = f[e + 1] = 0xFF;
    }
    return f;
  };
  for (bool counts : {true, false}) {
    SCOPED_TRACE(counts ? "strips" : "whole stream");
    Loaded l = Load(page(counts));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.TiffCompression, 6);
    EXPECT_LE(MaxDifference(*l.bitmap, ref), 1);
  }
}

// --- Hostile files ---------------------------------------------------------------

TEST(TiffReader, BadInputFailsOrLoadsWhatItCanQuickly) {
  const std::vector<uint8_t> grey = {1, 2, 3, 4};
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> make;
    int expect;  // 1 loads, 0 fails, -1 either
  };
  auto page = [&](std::function<void(Page&)> edit) {
    Page p = Plain(2, 2, {8}, 1, 1, grey);
    edit(p);
    return BuildTiff({p});
  };
  const std::vector<Case> cases = {
      {"entry count beyond the file",
       [&] {
         std::vector<uint8_t> f = BuildTiff({Plain(2, 2, {8}, 1, 1, grey)});
         f[EntryOf(f, 256) - 2] = 0xFF;
         return f;
       },
       -1},
      {"strip offset past the end", [&] { return page([](Page& p) { p.fields.push_back(F(273, LONG, {1u << 30})); p.strips.clear(); p.fields.push_back(F(279, LONG, {4})); }); }, 1},
      {"LZW strip past the end", [&] { return page([](Page& p) { SetField(p, F(259, SHORT, {5})); p.strips.clear(); p.fields.push_back(F(273, LONG, {1u << 30})); p.fields.push_back(F(279, LONG, {4})); }); }, 1},
      {"strip byte count of gigabytes",
       [&] {
         std::vector<uint8_t> f = page([](Page& p) { SetField(p, F(259, SHORT, {32773})); p.strips = {{0x03, 1, 2, 3, 4}}; });
         PatchTag(f, 279, 0xFFFFFFF0u);
         return f;
       },
       1},
      {"huge picture in a tiny file", [&] { return page([](Page& p) { SetField(p, F(256, LONG, {100000})); SetField(p, F(257, LONG, {100000})); }); }, 0},
      {"huge deflate picture", [&] { return page([](Page& p) { SetField(p, F(259, SHORT, {8})); SetField(p, F(256, LONG, {60000})); SetField(p, F(257, LONG, {60000})); }); }, 0},
      {"huge fax page", [&] { return page([](Page& p) { SetField(p, F(258, SHORT, {1})); SetField(p, F(259, SHORT, {4})); SetField(p, F(256, LONG, {1000000})); SetField(p, F(257, LONG, {1000000})); }); }, 0},
      {"tiles larger than the image",
       [&] {
         Page p = Plain(2, 2, {8}, 1, 1, grey);
         p.tiles = true;
         p.fields.push_back(F(322, LONG, {1u << 20}));
         p.fields.push_back(F(323, LONG, {1u << 20}));
         return BuildTiff({p});
       },
       0},
      {"tiles far larger than the image",
       [&] {
         Page p = Plain(2, 2, {8}, 1, 1, grey);
         SetField(p, F(259, SHORT, {32946}));
         p.tiles = true;
         p.fields.push_back(F(322, LONG, {30000}));
         p.fields.push_back(F(323, LONG, {30000}));
         return BuildTiff({p});
       },
       0},
      {"zero tile size", [&] { Page p = Plain(2, 2, {8}, 1, 1, grey); p.tiles = true; p.fields.push_back(F(322, LONG, {0})); return BuildTiff({p}); }, 0},
      {"planar tiles", [&] { Page p = Plain(2, 2, {8, 8, 8}, 3, 2, grey); p.tiles = true; p.fields.push_back(F(322, LONG, {16})); p.fields.push_back(F(323, LONG, {16})); p.fields.push_back(F(284, SHORT, {2})); return BuildTiff({p}); }, 0},
      {"bits per sample 0", [&] { return page([](Page& p) { SetField(p, F(258, SHORT, {0})); }); }, 0},
      {"bits per sample 255", [&] { return page([](Page& p) { SetField(p, F(258, SHORT, {255})); }); }, 0},
      {"bits per sample that differ", [&] { return BuildTiff({Plain(2, 2, {8, 8, 16}, 3, 2, grey)}); }, 0},
      {"samples per pixel 0", [&] { return page([](Page& p) { SetField(p, F(277, SHORT, {0})); }); }, 0},
      {"no strips", [&] { return page([](Page& p) { p.strips.clear(); }); }, 0},
      {"width 0", [&] { return page([](Page& p) { SetField(p, F(256, LONG, {0})); }); }, 0},
      {"unknown compression", [&] { return page([](Page& p) { SetField(p, F(259, SHORT, {34712})); }); }, 0},
      {"layout without a rule", [&] { return page([](Page& p) { SetField(p, F(258, SHORT, {24})); }); }, 0},
      {"predictor on 12-bit data",
       [&] { Page p = Plain(4, 1, {12}, 1, 1, {0x80, 0x03, 0xE0, 0x20}, 5); p.fields.push_back(F(317, SHORT, {2})); return BuildTiff({p}); },
       1},
      {"predictor 2 on 32-bit float", [&] { Page p = Plain(1, 1, {32}, 1, 1, {0, 0, 0, 0}, 8); p.fields.push_back(F(317, SHORT, {3})); p.fields.push_back(F(339, SHORT, {3})); return BuildTiff({p}); }, 1},
      {"LZW code out of range after a clear", [&] { return page([](Page& p) { SetField(p, F(259, SHORT, {5})); p.strips = {{0x80, 0x4B, 0x00}}; }); }, 0},
      {"CCITT runs past the row",
       [&] {
         // White make-up 1728 and black 64 on a 16-pixel row, then junk.
         return page([](Page& p) { SetField(p, F(258, SHORT, {1})); SetField(p, F(259, SHORT, {2})); p.strips = {{0x4D, 0x80, 0x3C, 0x80, 0xFF, 0x00, 0x13}}; });
       },
       1},
      {"many strips that all claim the whole file",
       [&] {
         Page p = Plain(8, 4000, {8}, 1, 1, {}, 8);
         p.strips.clear();
         p.fields.push_back(F(278, LONG, {1}));
         std::vector<uint64_t> offsets(4000, 8), counts(4000, 0);
         p.fields.push_back(F(273, LONG, offsets));
         p.fields.push_back(F(279, LONG, counts));
         SetField(p, F(278, LONG, {1}));
         return BuildTiff({p});
       },
       1},
      {"big JPEG tables shared by many strips",
       [&] {
         Page p = Plain(8, 20000, {8, 8, 8}, 3, 6, {}, 7);
         p.strips.clear();
         SetField(p, F(278, LONG, {1}));
         p.fields.push_back(F(273, LONG, std::vector<uint64_t>(20000, 8)));
         p.fields.push_back(F(279, LONG, std::vector<uint64_t>(20000, 4)));
         p.fields.push_back(Bytes(347, UNDEFINED, std::vector<uint8_t>(300000, 0x11)));
         return BuildTiff({p});
       },
       0},
      {"old JPEG without any data", [&] { return page([](Page& p) { SetField(p, F(259, SHORT, {6})); p.strips.clear(); }); }, 0},
      {"SubIFD pointing nowhere", [&] { return page([](Page& p) { p.fields.push_back(F(330, LONG, {1u << 30})); }); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file = c.make();
    const auto start = std::chrono::steady_clock::now();
    Loaded l = Load(file, [&](TIOParams& p) {
      if (std::string(c.name) == "SubIFD pointing nowhere") p.TiffSubIndex = 0;
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
    if (c.expect >= 0) {
      EXPECT_EQ(l.ok, c.expect == 1);
    }
  }
}

TEST(TiffReader, LzwWithoutADecoderFails) {
  IEInitializeImageIO();  // fill the slots first, or the first load refills the one we empty
  TIEGlobalSettings& g = IEGlobalSettings();
  const TIETiffLzwDecoder saved = g.TiffLzwDecoder;
  g.TiffLzwDecoder = nullptr;
  Loaded l = Load(Fixture("rgb-lzw.tif"), [](TIOParams& p) { p.TiffLzwDecoder = nullptr; });
  g.TiffLzwDecoder = saved;
  EXPECT_FALSE(l.ok);
  EXPECT_TRUE(Load(Fixture("rgb-lzw.tif")).ok);
}

TEST(TiffReader, FilesCutOrDamagedAnywhereNeverCrash) {
  for (const char* name : {"rgb-lzw-pred.tif", "rgb-jpeg.tif", "bw-g4.tif", "bw-g3-2d.tif", "rgb-tiled-zip.tif",
                           "rgb-planar-lzw.tif", "rgb-big-mm.tif", "grey16-mm-zip-pred.tif", "cmyk.tif",
                           "rgba-assoc.tif", "rgb-packbits.tif"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> whole = Fixture(name);
    const size_t step = whole.size() / 150 + 1;
    for (size_t n = 0; n < whole.size(); n += step) {
      std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l = Load(cut);
      if (l.ok) {
        EXPECT_FALSE(l.bitmap->IsEmpty());
      }
    }
    uint32_t seed = 7;
    for (int k = 0; k < 150; ++k) {
      std::vector<uint8_t> bad = whole;
      for (int j = 0; j < 3; ++j) {
        seed = seed * 1664525 + 1013904223;
        bad[seed % bad.size()] ^= static_cast<uint8_t>(seed >> 24 | 1);
      }
      Load(bad, [k](TIOParams& p) { p.NativePixelFormat = k & 1; });
    }
  }
}

// --- Through the converter ------------------------------------------------------------

namespace {

std::string CliPath() { return std::string(VELMORA_BINARY_DIR) + "/src/cli/velmora-cli"; }

bool HaveEndToEndTools() {
  return std::filesystem::exists(CliPath()) && testsupport::HaveTool("pdfimages") && testsupport::HaveTool("tiffcp");
}

}  // namespace

TEST(TiffEndToEnd, ThreePagesBecomeThreePagesInOrder) {
  if (!HaveEndToEndTools()) GTEST_SKIP() << "velmora-cli, pdfimages or tiffcp missing";
  TempDir dir;
  WriteFileBytes(dir.File("three.tif"), BuildTiff({Plain(10, 4, {8}, 1, 1, std::vector<uint8_t>(40, 50)),
                                                   Plain(20, 4, {8}, 1, 1, std::vector<uint8_t>(80, 100)),
                                                   Plain(30, 4, {8}, 1, 1, std::vector<uint8_t>(120, 150))}));
  const auto run = RunCommand(Quote(CliPath()) + " -q --compression none " + Quote(dir.File("three.tif")) + " -o " +
                              Quote(dir.File("out.pdf")));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto list = RunCommand("pdfimages -list " + Quote(dir.File("out.pdf")));
  std::istringstream in(list.output);
  std::string line;
  std::vector<std::pair<int, int>> pages;  // page, width
  for (int n = 0; std::getline(in, line); ++n) {
    if (n < 2) continue;
    std::istringstream f(line);
    int page = 0, num = 0, width = 0;
    std::string type;
    if (f >> page >> num >> type >> width) pages.push_back({page, width});
  }
  EXPECT_EQ(pages, (std::vector<std::pair<int, int>>{{1, 10}, {2, 20}, {3, 30}}));
}

TEST(TiffEndToEnd, FaxPageRoundTripsBitExactlyAsGroup4) {
  if (!HaveEndToEndTools()) GTEST_SKIP() << "velmora-cli, pdfimages or tiffcp missing";
  TempDir dir;
  WriteFileBytes(dir.File("fax.tif"), Fixture("bw-g4.tif"));
  const auto run = RunCommand(Quote(CliPath()) + " -q --compression g4 " + Quote(dir.File("fax.tif")) + " -o " +
                              Quote(dir.File("out.pdf")));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto list = RunCommand("pdfimages -list " + Quote(dir.File("out.pdf")));
  EXPECT_NE(list.output.find("ccitt"), std::string::npos) << list.output;
  RunCommand("pdfimages " + Quote(dir.File("out.pdf")) + " " + Quote(dir.File("img")));
  const std::vector<uint8_t> extracted = ReadFileBytes(dir.File("img-000.pbm"));
  ASSERT_FALSE(extracted.empty());
  const Pnm got = ParsePnm(extracted), want = Reference("bw.pbm");
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  EXPECT_EQ(got.samples, want.samples);
}

TEST(TiffDetection, ProbesTellTiffFromItsRelatives) {
  auto detect = [](const std::vector<uint8_t>& bytes) {
    TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    return DetectStreamFormat(s);
  };
  const Page plain = Plain(20, 20, {8}, 1, 1, std::vector<uint8_t>(400, 9));
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> make;
    int32_t type;
  } cases[] = {
      {"classic", [&] { return BuildTiff({plain}); }, ioTIFF},
      {"big-endian", [&] { return BuildTiff({plain}, true); }, ioTIFF},
      {"BigTIFF", [] { return Fixture("rgb-big-mm.tif"); }, ioTIFF},
      {"no ImageLength",
       [&] {
         Page p = plain;
         p.fields.erase(p.fields.begin() + 1);
         return BuildTiff({p});
       },
       0},
      {"DNG version tag", [&] { Page p = plain; p.fields.push_back(Bytes(50706, BYTE, {1, 4, 0, 0})); return BuildTiff({p}); }, 0},
      {"raw photometric", [&] { Page p = plain; SetField(p, F(262, SHORT, {32803})); return BuildTiff({p}); }, 0},
      {"small picture with SubIFDs and a raw tag",
       [&] { Page p = plain; p.fields.push_back(F(330, LONG, {8})); p.fields.push_back(F(37398, BYTE, {1})); return BuildTiff({p}); },
       0},
      {"Canon signature",
       [&] {
         std::vector<uint8_t> f = BuildTiff({plain});
         f[8] = 'C', f[9] = 'R';  // the first bytes of the strip
         return f;
       },
       ioRAW},
      {"HD Photo",
       [&] {
         Page p = plain;
         for (uint16_t tag : {48129, 48256, 48257, 48320, 48321}) p.fields.push_back(F(tag, LONG, {1}));
         std::vector<uint8_t> f = BuildTiff({p});
         f[2] = 0xBC, f[3] = 0x01;
         return f;
       },
       ioHDP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detect(c.make()), c.type);
  }
}
