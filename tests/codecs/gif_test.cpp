// The GIF reader and its LZW decoder: colour tables, transparency, frames
// drawn on the logical screen with their disposal methods, interlace, the
// decoder's rules, and hostile files. ImageMagick judges where it can.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "giffilter.h"
#include "giflzw.h"
#include "iebitmap.h"
#include "ieformats.h"
#include "ieglobal.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "testsupport.h"

namespace {

using testsupport::DataPath;
using testsupport::Quote;
using testsupport::RunCommand;

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
constexpr Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0}, kGreen{0, 255, 0},
    kBlue{0, 0, 255}, kYellow{255, 255, 0};

// A GIF encoder --------------------------------------------------------------

class BitWriter {
public:
  void Put(int code, int width) {
    acc_ |= static_cast<uint64_t>(code) << bits_;
    bits_ += width;
    while (bits_ >= 8) {
      out_.push_back(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      bits_ -= 8;
    }
  }
  std::vector<uint8_t> Finish() {
    if (bits_ > 0) out_.push_back(static_cast<uint8_t>(acc_));
    bits_ = 0;
    acc_ = 0;
    return out_;
  }

private:
  std::vector<uint8_t> out_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

// The streams encoders write: a leading clear code or none, a clear code
// when the table fills or a table left full ("deferred clear"), extra clear
// codes now and then.
struct LzwOptions {
  bool leadingClear = true;
  bool clearWhenFull = true;
  int clearEvery = 0;
  bool endCode = true;
};

std::vector<uint8_t> LzwEncode(const std::vector<uint8_t>& indices, int minCodeSize, const LzwOptions& o = {}) {
  const int clear = 1 << minCodeSize, end = clear + 1;
  int next = 0, width = 0;
  std::unordered_map<uint32_t, int> dict;
  auto reset = [&] {
    dict.clear();
    next = clear + 2;
    width = minCodeSize + 1;
  };
  reset();
  BitWriter w;
  if (o.leadingClear) w.Put(clear, width);
  if (!indices.empty()) {
    int prefix = indices[0];
    int codes = 0;
    for (size_t i = 1; i < indices.size(); ++i) {
      const uint8_t c = indices[i];
      const uint32_t key = (static_cast<uint32_t>(prefix) << 8) | c;
      auto it = dict.find(key);
      if (it != dict.end()) {
        prefix = it->second;
        continue;
      }
      w.Put(prefix, width);
      ++codes;
      if (next < 4096) {
        dict[key] = next++;
        if (next > (1 << width) && width < 12) ++width;
      }
      if ((next == 4096 && o.clearWhenFull) || (o.clearEvery && codes % o.clearEvery == 0)) {
        w.Put(clear, width);
        reset();
      }
      prefix = c;
    }
    w.Put(prefix, width);
    // The decoder adds an entry for this last code too and may widen.
    if (next < 4096 && ++next > (1 << width) && width < 12) ++width;
  }
  if (o.endCode) w.Put(end, width);
  return w.Finish();
}

struct Frame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indices;  // row order
  std::vector<Rgb> table;        // local table, none when empty
  bool interlaced = false;
  bool control = false;          // write a graphic control extension
  int disposal = 0, delay = 0, transparentIndex = 0;
  bool transparent = false;
  int minCodeSize = 0;           // 0: from the table sizes
  LzwOptions lzw;
  std::vector<uint8_t> rawData;  // LZW bytes to write instead of encoding indices
  std::vector<std::string> comments;  // comment extension before the frame
};

struct Gif {
  std::string version = "GIF89a";
  int width = 0, height = 0;
  std::vector<Rgb> global;
  int background = 0, aspect = 0;
  std::vector<Frame> frames;
  bool trailer = true;
};

int SizeCode(size_t entries) {
  int code = 0;
  while ((size_t(2) << code) < entries) ++code;
  return code;
}

void Put16(std::vector<uint8_t>& v, int x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

void PutTable(std::vector<uint8_t>& v, const std::vector<Rgb>& table) {
  const size_t n = size_t(2) << SizeCode(table.size());
  for (size_t i = 0; i < n; ++i) {
    const Rgb c = i < table.size() ? table[i] : kBlack;
    v.insert(v.end(), {c.r, c.g, c.b});
  }
}

void PutSubBlocks(std::vector<uint8_t>& v, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); i += 255) {
    const size_t n = std::min<size_t>(255, data.size() - i);
    v.push_back(static_cast<uint8_t>(n));
    v.insert(v.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
             data.begin() + static_cast<std::ptrdiff_t>(i + n));
  }
  v.push_back(0);
}

std::vector<uint8_t> InterlacedOrder(const std::vector<uint8_t>& rows, int width, int height) {
  std::vector<uint8_t> out;
  for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
    for (int y = start; y < height; y += step)
      out.insert(out.end(), rows.begin() + y * width, rows.begin() + (y + 1) * width);
  return out;
}

std::vector<uint8_t> BuildGif(const Gif& g) {
  std::vector<uint8_t> v(g.version.begin(), g.version.end());
  Put16(v, g.width);
  Put16(v, g.height);
  v.push_back(static_cast<uint8_t>(g.global.empty() ? 0 : 0x80 | SizeCode(g.global.size())));
  v.push_back(static_cast<uint8_t>(g.background));
  v.push_back(static_cast<uint8_t>(g.aspect));
  if (!g.global.empty()) PutTable(v, g.global);
  for (const Frame& f : g.frames) {
    for (const std::string& c : f.comments) {
      v.insert(v.end(), {0x21, 0xFE});
      PutSubBlocks(v, std::vector<uint8_t>(c.begin(), c.end()));
    }
    if (f.control) {
      v.insert(v.end(), {0x21, 0xF9, 4});
      v.push_back(static_cast<uint8_t>((f.disposal << 2) | (f.transparent ? 1 : 0)));
      Put16(v, f.delay);
      v.push_back(static_cast<uint8_t>(f.transparentIndex));
      v.push_back(0);
    }
    v.push_back(0x2C);
    Put16(v, f.left);
    Put16(v, f.top);
    Put16(v, f.width);
    Put16(v, f.height);
    uint8_t flags = f.interlaced ? 0x40 : 0;
    if (!f.table.empty()) flags |= static_cast<uint8_t>(0x80 | SizeCode(f.table.size()));
    v.push_back(flags);
    if (!f.table.empty()) PutTable(v, f.table);
    const size_t entries = !f.table.empty() ? f.table.size() : std::max<size_t>(2, g.global.size());
    const int m = f.minCodeSize ? f.minCodeSize : std::max(2, SizeCode(entries) + 1);
    v.push_back(static_cast<uint8_t>(m));
    if (!f.rawData.empty()) {
      PutSubBlocks(v, f.rawData);
    } else {
      const auto stored = f.interlaced ? InterlacedOrder(f.indices, f.width, f.height) : f.indices;
      PutSubBlocks(v, LzwEncode(stored, m, f.lzw));
    }
  }
  if (g.trailer) v.push_back(0x3B);
  return v;
}

Frame Solid(int left, int top, int width, int height, uint8_t index) {
  Frame f;
  f.left = left;
  f.top = top;
  f.width = width;
  f.height = height;
  f.indices.assign(static_cast<size_t>(width * height), index);
  return f;
}

std::vector<uint8_t> RandomIndices(size_t n, int colors, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(rng() % static_cast<uint32_t>(colors));
  return v;
}

// Loading --------------------------------------------------------------------

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void Load(const std::vector<uint8_t>& bytes, Loaded& out, int index = 0, bool raw = false,
          const std::function<void(TIOParams&)>& setup = {}) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().SetImageIndex(index);
  io.Params().GifRawFrame = raw;
  if (setup) setup(io.Params());
  out.ok = io.LoadFromStreamGIF(s);
  out.params = io.Params();
}

Rgb PixelAt(TIEBitmap& b, int x, int y) {
  const uint8_t* row = b.Scanline(y);
  switch (b.PixelFormat()) {
    case ie1g:
      return (row[x >> 3] & (0x80 >> (x & 7))) ? kWhite : kBlack;
    case ie8p: {
      const TRGB c = b.PaletteEntry(row[x]);
      return {c.r, c.g, c.b};
    }
    case ie24RGB:
      return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    default:
      ADD_FAILURE() << "unexpected pixel format " << int(b.PixelFormat());
      return {};
  }
}

int AlphaAt(TIEBitmap& b, int x, int y) {
  TIEBitmap* a = b.AlphaChannelOrNull();
  return a ? a->Scanline(y)[x] : 255;
}

// "rgb" + "a" per pixel, as ImageMagick's rgba: output has it.
std::vector<uint8_t> Rgba(TIEBitmap& b) {
  std::vector<uint8_t> v;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const Rgb c = PixelAt(b, x, y);
      v.insert(v.end(), {c.r, c.g, c.b, static_cast<uint8_t>(AlphaAt(b, x, y))});
    }
  return v;
}

// Pixels equal where visible, alpha equal everywhere: what lies under a
// fully transparent pixel is nobody's business.
::testing::AssertionResult SameVisible(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want,
                                       int width) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (size_t i = 0; i < got.size(); i += 4) {
    const bool visible = want[i + 3] != 0;
    if (got[i + 3] != want[i + 3] || (visible && !std::equal(&got[i], &got[i] + 3, &want[i])))
      return ::testing::AssertionFailure()
             << "pixel (" << (i / 4) % width << ", " << (i / 4) / width << "): got " << int(got[i]) << ","
             << int(got[i + 1]) << "," << int(got[i + 2]) << " alpha " << int(got[i + 3]) << ", want "
             << int(want[i]) << "," << int(want[i + 1]) << "," << int(want[i + 2]) << " alpha "
             << int(want[i + 3]);
  }
  return ::testing::AssertionSuccess();
}

bool HaveMagick() { return testsupport::HaveTool("convert"); }

// ImageMagick's decoding as 8-bit RGBA: "x.gif[5]" for one frame at its own
// size, or every frame drawn on the screen with "-coalesce".
std::vector<uint8_t> Magick(const std::vector<uint8_t>& gif, const std::string& input, const std::string& options) {
  testsupport::TempDir dir;
  const std::string in = dir.File("in.gif"), out = dir.File("out.rgba");
  testsupport::WriteFileBytes(in, gif);
  const auto r = RunCommand("convert " + Quote(in + input) + " " + options + " -depth 8 rgba:" + Quote(out));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return testsupport::ReadFileBytes(out);
}

std::vector<uint8_t> FileBytes(const std::string& name) {
  auto v = testsupport::ReadFileBytes(DataPath("gif/" + name));
  EXPECT_FALSE(v.empty()) << name;
  return v;
}

// A bound for the decoder tests: a stream with the code size and sub-blocks.
std::vector<uint8_t> ImageData(int minCodeSize, const std::vector<uint8_t>& lzw, bool terminator = true) {
  std::vector<uint8_t> v{static_cast<uint8_t>(minCodeSize)};
  PutSubBlocks(v, lzw);
  if (!terminator) v.pop_back();
  return v;
}

struct Decoded {
  bool moved = false;
  int64_t position = 0;
  std::vector<uint8_t> out;
};

Decoded Decode(const std::vector<uint8_t>& data, int width, int height, bool interlaced = false,
               uint8_t fill = 0xEE) {
  TIEMemoryStream s(data.data(), static_cast<int64_t>(data.size()));
  Decoded d;
  d.out.assign(static_cast<size_t>(width * height), fill);
  GifLzwDecode(s, height, width, d.out.data(), interlaced);
  d.position = s.Position();
  d.moved = d.position != 0;
  return d;
}

// LZW decoder -----------------------------------------------------------------

TEST(GifLzw, RoundTripsWhatEncodersWrite) {
  struct Case {
    const char* name;
    int minCodeSize, width, height, colors;
    LzwOptions lzw;
    bool runs;  // long runs of one index: long strings, a full table soon
  };
  const Case cases[] = {
      {"2 colours", 2, 31, 17, 2, {}, false},
      {"4 colours", 2, 64, 40, 4, {}, false},
      {"16 colours", 4, 100, 70, 16, {}, false},
      {"256 colours, table refilled many times", 8, 300, 200, 256, {}, false},
      {"deferred clear: the table stays full", 8, 300, 200, 256, {true, false, 0, true}, false},
      {"deferred clear with long strings", 2, 500, 400, 3, {true, false, 0, true}, true},
      {"no leading clear code", 4, 50, 50, 16, {false, true, 0, true}, false},
      {"clear codes every 37 codes", 3, 80, 60, 8, {true, true, 37, true}, false},
      {"no end code", 5, 40, 30, 32, {true, true, 0, false}, false},
      {"one pixel", 2, 1, 1, 4, {}, false},
      {"code size 9", 9, 40, 30, 200, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> indices = RandomIndices(size_t(c.width * c.height), c.colors, 17);
    if (c.runs)
      for (size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<uint8_t>((i / 5000) % c.colors);
    const auto data = ImageData(c.minCodeSize, LzwEncode(indices, c.minCodeSize, c.lzw));
    const Decoded d = Decode(data, c.width, c.height);
    EXPECT_EQ(d.position, static_cast<int64_t>(data.size()));
    EXPECT_EQ(d.out, indices);
  }
}

TEST(GifLzw, InterlacedRowsGoToTheirPlaces) {
  for (int height = 1; height <= 20; ++height) {
    SCOPED_TRACE(height);
    const int width = 3;
    const auto rows = RandomIndices(size_t(width * height), 4, uint32_t(height));
    const auto data = ImageData(2, LzwEncode(InterlacedOrder(rows, width, height), 2));
    EXPECT_EQ(Decode(data, width, height, true).out, rows);
  }
  const int expected[] = {0, 8, 16, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15};
  for (int n = 0; n < 17; ++n) EXPECT_EQ(GifInterlacedRow(n, 17), expected[n]);
  EXPECT_EQ(GifInterlacedRow(17, 17), -1);
}

// Hand-made code streams for the rules of the decoder (code size 2: clear 4,
// end 5, first free code 6, codes of 3 bits at first).
std::vector<uint8_t> Codes(std::initializer_list<int> codes, int width = 3) {
  BitWriter w;
  for (int c : codes) w.Put(c, width);
  return w.Finish();
}

TEST(GifLzw, FailureRulesPutTheStreamBack) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    bool ok;
    std::vector<uint8_t> out;  // first pixels when ok
  };
  auto withTail = [](std::vector<uint8_t> v) {
    v.push_back(0xAB);
    return v;
  };
  const Case cases[] = {
      {"clear, literals, end", ImageData(2, Codes({4, 1, 2, 3, 5})), true, {1, 2, 3}},
      {"no clear: a literal first", ImageData(2, Codes({1, 2, 5})), true, {1, 2}},
      {"no clear: the first free code first", ImageData(2, Codes({6, 1, 5})), false, {}},
      {"code beyond the next free code", ImageData(2, Codes({4, 1, 7, 5})), false, {}},
      {"the next free code itself (KwKwK)", ImageData(2, Codes({4, 1, 6, 5})), true, {1, 1, 1}},
      {"after a clear, a code not in the table counts as 0", ImageData(2, Codes({4, 7, 1, 5})), true, {0, 1}},
      {"repeated clear codes", ImageData(2, Codes({4, 4, 4, 2, 5})), true, {2}},
      {"clear then end: an empty frame", ImageData(2, Codes({4, 5})), true, {0xEE}},
      {"clear then end with data left", ImageData(2, withTail(Codes({4, 5}))), false, {}},
      {"data ends without an end code", ImageData(2, Codes({4, 3, 3})), true, {3, 3}},
      {"code size 1", ImageData(1, Codes({2, 1, 3}, 2)), false, {}},
      {"code size 10", ImageData(10, Codes({1024, 1, 1025}, 11)), false, {}},
      {"code size byte missing", {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = Decode(c.data, 4, 1);
    if (!c.ok) {
      EXPECT_EQ(d.position, 0);
      continue;
    }
    EXPECT_EQ(d.position, static_cast<int64_t>(c.data.size()));
    EXPECT_TRUE(std::equal(c.out.begin(), c.out.end(), d.out.begin()));
  }
}

TEST(GifLzw, DataPastTheFrameIsDroppedAndDataShortOfItLeavesTheRest) {
  const auto indices = RandomIndices(1000, 16, 5);
  const auto data = ImageData(4, LzwEncode(indices, 4));
  // 20 x 10 pixels take the first 200 indices; the stream still ends after
  // all of the frame's data.
  Decoded d = Decode(data, 20, 10);
  EXPECT_EQ(d.position, static_cast<int64_t>(data.size()));
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), indices.begin()));
  // 50 x 30 pixels: the last 500 keep what the buffer held.
  d = Decode(data, 50, 30);
  EXPECT_EQ(d.position, static_cast<int64_t>(data.size()));
  EXPECT_TRUE(std::equal(indices.begin(), indices.end(), d.out.begin()));
  EXPECT_TRUE(std::all_of(d.out.begin() + 1000, d.out.end(), [](uint8_t v) { return v == 0xEE; }));
  // A cut sub-block: what arrived is decoded.
  auto cut = data;
  cut.resize(data.size() / 2);
  d = Decode(cut, 20, 50);
  EXPECT_EQ(d.position, static_cast<int64_t>(cut.size()));
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.begin() + 100, indices.begin()));
}

// Frame reader: tables, formats, fields ------------------------------------------

TEST(GifReader, TwoColourTablesGiveBlackAndWhiteOnlyForBlackThenWhite) {
  struct Case {
    const char* name;
    std::vector<Rgb> table;
    bool native;
    TIEPixelFormat format;
    int bits;
  };
  const Case cases[] = {
      {"black, white", {kBlack, kWhite}, false, ie1g, 1},
      {"black, white, native", {kBlack, kWhite}, true, ie1g, 1},
      {"white, black", {kWhite, kBlack}, false, ie24RGB, 1},
      {"black, almost white", {kBlack, {255, 255, 254}}, false, ie24RGB, 1},
      {"black, white and two more", {kBlack, kWhite, kRed, kGreen}, false, ie24RGB, 2},
      {"red, blue, native", {kRed, kBlue}, true, ie8p, 1},
      {"no table at all: a gray ramp", {}, false, ie1g, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gif g;
    g.width = 11;
    g.height = 3;
    g.global = c.table;
    Frame f = Solid(0, 0, 11, 3, 0);
    f.indices = RandomIndices(33, 2, 3);
    g.frames = {f};
    Loaded l;
    Load(BuildGif(g), l, 0, false, [&](TIOParams& p) { p.NativePixelFormat = c.native; });
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.PixelFormat(), c.format);
    EXPECT_EQ(l.params.BitsPerSample, c.bits);
    const std::vector<Rgb> colors = c.table.empty() ? std::vector<Rgb>{kBlack, kWhite} : c.table;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 11; ++x) EXPECT_EQ(PixelAt(l.bitmap, x, y), colors[f.indices[size_t(y * 11 + x)]]);
  }
}

TEST(GifReader, FillsTheFileAndFrameFields) {
  Gif g;
  g.version = "GIF87a";
  g.width = 20;
  g.height = 10;
  g.aspect = 49;
  g.global = {kRed, kGreen, kBlue, kYellow};
  g.background = 2;
  Frame a = Solid(0, 0, 20, 10, 1);
  a.comments = {"first", std::string("bin\0ary", 7), "second"};
  Frame b = Solid(3, 4, 5, 6, 0);
  b.table = {kBlack, kWhite, kBlue, kGreen, kRed, kYellow, kBlack, kBlack};
  b.control = true;
  b.delay = 250;
  b.disposal = 3;
  b.transparent = false;  // the colour is still reported
  b.transparentIndex = 4;
  b.interlaced = true;
  Frame c = Solid(0, 0, 2, 2, 0);
  c.comments = {"after"};
  g.frames = {a, b, c};
  Loaded l;
  Load(BuildGif(g), l, 1, true);
  ASSERT_TRUE(l.ok);
  const TIOParams& p = l.params;
  EXPECT_EQ(p.GifVersion, "GIF87a");
  EXPECT_EQ(p.GifScreenWidth, 20);
  EXPECT_EQ(p.GifScreenHeight, 10);
  EXPECT_EQ(p.GifAspect, 49);
  EXPECT_EQ(p.GifBackgroundColor, (TRGB{255, 0, 0}));
  EXPECT_EQ(p.GifXPos, 3);
  EXPECT_EQ(p.GifYPos, 4);
  EXPECT_EQ(p.Width, 5);
  EXPECT_EQ(p.Height, 6);
  EXPECT_EQ(p.OriginalWidth, 5);
  EXPECT_EQ(p.OriginalHeight, 6);
  EXPECT_EQ(p.GifDelay, 250);
  EXPECT_EQ(p.GifDisposal, 3);
  EXPECT_FALSE(p.GifTransparent);
  EXPECT_EQ(p.GifTransparentColor, (TRGB{0, 0, 255}));
  EXPECT_TRUE(p.GifInterlaced);
  EXPECT_EQ(p.BitsPerSample, 3);
  EXPECT_EQ(p.SamplesPerPixel, 1);
  ASSERT_EQ(p.ColorMapCount(), 8);
  EXPECT_EQ(p.ColorMap[5], (TRGB{0, 255, 255}));
  EXPECT_EQ(p.ImageCount(), 3);
  EXPECT_EQ(p.GifImageCount, 3);
  EXPECT_EQ(p.DpiX(), 300);
  EXPECT_EQ(p.DpiY(), 300);
  EXPECT_EQ(p.FileType, ioGIF);
  EXPECT_EQ(p.GifComments, (std::vector<std::string>{"first", "second", "after"}));
  EXPECT_FALSE(l.bitmap.HasAlphaChannel());
  EXPECT_EQ(PixelAt(l.bitmap, 4, 5), kBlack);

  // Frame 2 has no extension of its own: nothing of frame 1's carries over.
  Loaded last;
  Load(BuildGif(g), last, 2, true);
  ASSERT_TRUE(last.ok);
  EXPECT_EQ(last.params.GifDelay, 0);
  EXPECT_EQ(last.params.GifDisposal, 0);
  EXPECT_EQ(last.params.BitsPerSample, 2);
}

TEST(GifReader, TransparentIndexMakesAnAlphaChannelOnlyWhenUsed) {
  struct Case {
    const char* name;
    bool flag;
    int index;
    bool alpha;
  };
  const Case cases[] = {
      {"flag on, index used", true, 2, true},
      {"flag on, index unused", true, 3, false},
      {"flag off, index used", false, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gif g;
    g.width = 4;
    g.height = 2;
    g.global = {kRed, kGreen, kBlue, kYellow};
    Frame f = Solid(0, 0, 4, 2, 0);
    f.indices = {0, 1, 2, 0, 2, 2, 1, 0};
    f.control = true;
    f.transparent = c.flag;
    f.transparentIndex = c.index;
    g.frames = {f};
    Loaded l;
    Load(BuildGif(g), l);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.GifTransparent, c.flag);
    EXPECT_EQ(l.params.GifTransparentColor, c.index == 2 ? (TRGB{255, 0, 0}) : (TRGB{0, 255, 255}));
    ASSERT_EQ(l.bitmap.HasAlphaChannel(), c.alpha);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(AlphaAt(l.bitmap, i % 4, i / 4), c.alpha && f.indices[size_t(i)] == 2 ? 0 : 255);
      if (f.indices[size_t(i)] != 2) {
        EXPECT_EQ(PixelAt(l.bitmap, i % 4, i / 4), g.global[f.indices[size_t(i)]]);
      }
    }
  }
}

TEST(GifReader, InterlacedEqualsNonInterlaced) {
  Loaded plain, interlaced;
  Load(FileBytes("plasma.gif"), plain);
  Load(FileBytes("plasma-interlaced.gif"), interlaced);
  ASSERT_TRUE(plain.ok);
  ASSERT_TRUE(interlaced.ok);
  EXPECT_FALSE(plain.params.GifInterlaced);
  EXPECT_TRUE(interlaced.params.GifInterlaced);
  EXPECT_EQ(Rgba(plain.bitmap), Rgba(interlaced.bitmap));
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick not installed";
  EXPECT_TRUE(SameVisible(Rgba(interlaced.bitmap), Magick(FileBytes("plasma-interlaced.gif"), "", ""), 37));
}

TEST(GifReader, MatchesImageMagickOnLargerPictures) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick not installed";
  struct Case {
    const char* name;
    std::string make;
  };
  const Case cases[] = {
      {"photo-like, 256 colours", "-seed 3 -size 301x203 plasma:fractal -colors 256"},
      {"photo-like, interlaced", "-seed 4 -size 260x190 plasma:fractal -colors 200 -interlace GIF"},
      {"flat drawing, long runs", "-size 640x480 xc:white -fill red -draw 'circle 320,240 320,40' -colors 4"},
      {"two colours", "-size 200x100 pattern:checkerboard -monochrome"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    const std::string file = dir.File("x.gif");
    const auto r = RunCommand("convert " + c.make + " " + Quote(file));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto gif = testsupport::ReadFileBytes(file);
    Loaded l;
    Load(gif, l);
    ASSERT_TRUE(l.ok);
    EXPECT_TRUE(SameVisible(Rgba(l.bitmap), Magick(gif, "", ""), l.bitmap.Width()));
  }
}

// Animations ----------------------------------------------------------------------

TEST(GifAnimation, TwelveFramesDrawnAsImageMagickCoalescesThem) {
  const auto gif = FileBytes("anim12.gif");
  const bool magick = HaveMagick();
  std::vector<uint8_t> all;
  if (magick) all = Magick(gif, "", "-coalesce");
  const size_t frameBytes = 40 * 30 * 4;
  for (int index : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 500}) {
    SCOPED_TRACE(index);
    Loaded l;
    Load(gif, l, index);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.params.ImageCount(), 12);
    EXPECT_EQ(l.params.GifImageIndex, index);
    ASSERT_EQ(l.bitmap.Width(), 40);
    ASSERT_EQ(l.bitmap.Height(), 30);
    EXPECT_EQ(l.params.GifDisposal, 2);
    EXPECT_EQ(l.params.GifXPos, 0);
    if (!magick) continue;
    ASSERT_EQ(all.size(), 12 * frameBytes);
    const size_t k = static_cast<size_t>(std::min(index, 11));
    EXPECT_TRUE(SameVisible(Rgba(l.bitmap),
                            std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(k * frameBytes),
                                                 all.begin() + static_cast<std::ptrdiff_t>((k + 1) * frameBytes)),
                            40));
  }
}

// A document of every frame reads frame after frame of one file; each read
// goes on from the canvas the previous one left. Whatever the order, and
// after the file changed, a read must equal a fresh one.
TEST(GifAnimation, FramesReadFromAFileEqualFreshReadsInAnyOrder) {
  Gif mixed;
  mixed.width = 6;
  mixed.height = 4;
  mixed.global = {kBlack, kRed, kGreen, kBlue};
  mixed.frames = {Solid(0, 0, 6, 4, 1), Solid(1, 1, 3, 2, 2), Solid(2, 0, 4, 4, 0), Solid(0, 2, 2, 2, 3),
                  Solid(4, 3, 2, 1, 2)};
  mixed.frames[1].control = true;
  mixed.frames[1].disposal = 3;
  mixed.frames[1].comments = {"first note"};
  mixed.frames[2].control = true;
  mixed.frames[2].disposal = 2;
  mixed.frames[2].transparent = true;
  mixed.frames[2].indices = RandomIndices(16, 4, 3);
  mixed.frames[3].comments = {"second note"};
  const std::vector<std::vector<uint8_t>> files = {FileBytes("anim12.gif"), BuildGif(mixed)};

  testsupport::TempDir dir;
  const std::string path = dir.File("anim.gif");
  for (const bool native : {false, true}) {
    for (size_t f = 0; f < files.size(); ++f) {
      // In order, a jump ahead, back to the start, the same frame twice, and
      // the next frame after the file was replaced by the other one.
      testsupport::WriteFileBytes(path, files[f]);
      const std::vector<std::pair<int, size_t>> reads = {{0, f}, {1, f}, {2, f}, {3, f}, {4, f}, {9, f},
                                                         {2, f}, {3, f}, {3, f}, {4, 1 - f}};
      for (const auto& [index, content] : reads) {
        SCOPED_TRACE("native " + std::to_string(native) + ", file " + std::to_string(f) + ", frame " +
                     std::to_string(index));
        if (content != f) testsupport::WriteFileBytes(path, files[content]);
        TIEBitmap bitmap;
        TIEImageIO io(&bitmap);
        io.Params().SetImageIndex(index);
        io.Params().NativePixelFormat = native;
        ASSERT_TRUE(io.LoadFromFileGIF(path));
        Loaded fresh;
        Load(files[content], fresh, index, false, [&](TIOParams& p) { p.NativePixelFormat = native; });
        ASSERT_TRUE(fresh.ok);
        EXPECT_EQ(bitmap.PixelFormat(), fresh.bitmap.PixelFormat());
        EXPECT_EQ(Rgba(bitmap), Rgba(fresh.bitmap));
        EXPECT_EQ(io.Params().ImageCount(), fresh.params.ImageCount());
        EXPECT_EQ(io.Params().GifComments, fresh.params.GifComments);
        EXPECT_EQ(io.Params().GifDelay, fresh.params.GifDelay);
        EXPECT_EQ(io.Params().ColorMap, fresh.params.ColorMap);
      }
    }
  }
}

TEST(GifAnimation, RawFrameKeepsItsOwnSizeAndPlace) {
  const auto gif = FileBytes("anim12.gif");
  Loaded raw;
  Load(gif, raw, 5, true);
  ASSERT_TRUE(raw.ok);
  EXPECT_EQ(raw.bitmap.Width(), 16);
  EXPECT_EQ(raw.bitmap.Height(), 6);
  EXPECT_EQ(raw.params.GifXPos, 12);
  EXPECT_EQ(raw.params.GifYPos, 12);
  EXPECT_EQ(raw.params.GifDisposal, 2);
  EXPECT_EQ(raw.params.ImageCount(), 12);
  Loaded composite;
  Load(gif, composite, 5);
  ASSERT_TRUE(composite.ok);
  // The frame is opaque: it shows as it is at its place on the screen.
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(PixelAt(composite.bitmap, 12 + x, 12 + y), PixelAt(raw.bitmap, x, y));
  if (HaveMagick()) {
    EXPECT_TRUE(SameVisible(Rgba(raw.bitmap), Magick(gif, "[5]", ""), 16));
  }
  // No frame 12 in raw mode: the bitmap would be whatever it held before.
  Loaded none;
  Load(gif, none, 12, true);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.params.ImageCount(), 12);
}

// Screen 4 x 1. Frame 0 paints A everywhere; the others are one or two pixels.
struct DisposalCase {
  const char* name;
  std::vector<Frame> frames;
  std::vector<std::vector<Rgb>> shown;  // per index; kBlack with alpha 0 is "clear"
};

TEST(GifAnimation, DisposalMethodsBetweenFrames) {
  auto frame = [](int left, int width, uint8_t index, int disposal) {
    Frame f = Solid(left, 0, width, 1, index);
    f.control = true;
    f.disposal = disposal;
    return f;
  };
  const Rgb clear{1, 2, 3};  // marker: alpha 0
  // A = red (1), B = green (2), C = blue (3), D = yellow (4); background index 0.
  const DisposalCase cases[] = {
      {"2 clears the frame's place to transparent",
       {frame(0, 4, 1, 0), frame(1, 2, 2, 2), frame(3, 1, 3, 0)},
       {{kRed, kRed, kRed, kRed}, {kRed, kGreen, kGreen, kRed}, {kRed, clear, clear, kBlue}}},
      {"3 restores what was there, after the previous frame's own disposal",
       {frame(0, 4, 1, 0), frame(1, 2, 2, 2), frame(3, 1, 3, 3), frame(0, 1, 4, 0)},
       {{}, {}, {kRed, clear, clear, kBlue}, {kYellow, clear, clear, kRed}}},
      {"3 twice in a row",
       {frame(0, 4, 1, 0), frame(1, 1, 2, 3), frame(2, 1, 3, 3), frame(0, 1, 4, 0)},
       {{}, {kRed, kGreen, kRed, kRed}, {kRed, kRed, kBlue, kRed}, {kYellow, kRed, kRed, kRed}}},
      {"1 and 0 keep the frame",
       {frame(0, 4, 1, 1), frame(1, 1, 2, 0), frame(2, 1, 3, 1)},
       {{}, {}, {kRed, kGreen, kBlue, kRed}}},
  };
  for (const DisposalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Gif g;
    g.width = 4;
    g.height = 1;
    g.global = {{9, 9, 9}, kRed, kGreen, kBlue, kYellow};
    g.frames = c.frames;
    const auto gif = BuildGif(g);
    std::vector<uint8_t> magick;
    if (HaveMagick()) magick = Magick(gif, "", "-coalesce");
    for (size_t index = 0; index < c.shown.size(); ++index) {
      SCOPED_TRACE(index);
      Loaded l;
      Load(gif, l, static_cast<int>(index));
      ASSERT_TRUE(l.ok);
      std::vector<uint8_t> want;
      for (const Rgb& p : c.shown[index])
        want.insert(want.end(), {p.r, p.g, p.b, static_cast<uint8_t>(p == clear ? 0 : 255)});
      if (!want.empty()) {
        EXPECT_TRUE(SameVisible(Rgba(l.bitmap), want, 4));
      }
      if (!magick.empty()) {
        EXPECT_TRUE(SameVisible(Rgba(l.bitmap),
                                std::vector<uint8_t>(magick.begin() + static_cast<std::ptrdiff_t>(index * 16),
                                                     magick.begin() + static_cast<std::ptrdiff_t>(index * 16 + 16)),
                                4));
      }
    }
  }
}

TEST(GifAnimation, UncoveredAreasAreTransparentAndFramesAreClippedToTheScreen) {
  Gif g;
  g.width = 6;
  g.height = 4;
  g.global = {kBlack, kRed, kGreen, kBlue};
  g.background = 3;
  Frame a = Solid(1, 1, 2, 2, 1);
  Frame b = Solid(4, 3, 5, 3, 2);  // runs off the right and bottom edges
  Frame c = Solid(200, 100, 3, 3, 3);  // wholly off the screen
  Frame d = Solid(0, 0, 1, 1, 0);
  d.control = true;
  d.transparent = true;  // index 0 is transparent: nothing drawn
  g.frames = {a, b, c, d};
  const auto gif = BuildGif(g);
  Loaded l;
  Load(gif, l, 3);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.bitmap.Width(), 6);
  ASSERT_EQ(l.bitmap.Height(), 4);
  ASSERT_TRUE(l.bitmap.HasAlphaChannel());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      SCOPED_TRACE(testing::Message() << x << ", " << y);
      const bool inA = x >= 1 && x <= 2 && y >= 1 && y <= 2, inB = x >= 4 && y == 3;
      EXPECT_EQ(AlphaAt(l.bitmap, x, y), inA || inB ? 255 : 0);
      if (inA) {
        EXPECT_EQ(PixelAt(l.bitmap, x, y), kRed);
      }
      if (inB) {
        EXPECT_EQ(PixelAt(l.bitmap, x, y), kGreen);
      }
      if (!inA && !inB) {
        EXPECT_EQ(PixelAt(l.bitmap, x, y), kBlue);  // the background colour, for readers that drop alpha
      }
    }
  // No ImageMagick here: it paints a screen that no frame covers opaque
  // black unless the file starts out transparent; browsers leave it clear.
  // The frame off the screen still loads on its own.
  Loaded raw;
  Load(gif, raw, 2, true);
  ASSERT_TRUE(raw.ok);
  EXPECT_EQ(raw.params.GifXPos, 200);
  EXPECT_EQ(PixelAt(raw.bitmap, 2, 2), kBlue);
}

TEST(GifAnimation, FramesLargerThanTheScreenWidenTheCanvas) {
  Gif g;
  g.width = 2;
  g.height = 2;
  g.global = {kBlack, kRed, kGreen, kBlue};
  g.frames = {Solid(0, 0, 2, 2, 1), Solid(0, 0, 5, 3, 2)};
  Loaded l;
  Load(BuildGif(g), l, 0);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.Width(), 2);
  Load(BuildGif(g), l, 1);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.Width(), 5);
  EXPECT_EQ(l.bitmap.Height(), 3);
  EXPECT_EQ(PixelAt(l.bitmap, 4, 2), kGreen);
  EXPECT_FALSE(l.bitmap.HasAlphaChannel());  // every pixel covered
}

TEST(GifAnimation, BlackAndWhiteAnimationStaysBlackAndWhiteWhenNothingElseShows) {
  Gif g;
  g.width = 9;
  g.height = 2;
  g.global = {kBlack, kWhite};
  Frame a = Solid(0, 0, 9, 2, 0);
  Frame b = Solid(3, 1, 4, 1, 1);
  g.frames = {a, b};
  Loaded l;
  Load(BuildGif(g), l, 1);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.PixelFormat(), ie1g);
  EXPECT_EQ(PixelAt(l.bitmap, 3, 1), kWhite);
  EXPECT_EQ(PixelAt(l.bitmap, 2, 1), kBlack);
  // A coloured frame before it: converting would lose colours, so it stays 24-bit.
  Frame colour = Solid(0, 0, 1, 1, 0);
  colour.table = {kRed, kGreen};
  g.frames = {a, colour, b};
  Load(BuildGif(g), l, 2);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.PixelFormat(), ie24RGB);
  EXPECT_EQ(PixelAt(l.bitmap, 0, 0), kRed);
}

TEST(GifAnimation, NativeFormatGivesAnExactPalette) {
  Gif g;
  g.width = 3;
  g.height = 1;
  g.global = {kRed, kGreen, kBlue, kYellow};
  Frame a = Solid(0, 0, 3, 1, 0);
  a.indices = {0, 1, 2};
  g.frames = {a, Solid(1, 0, 1, 1, 3)};
  Loaded l;
  Load(BuildGif(g), l, 1, false, [](TIOParams& p) { p.NativePixelFormat = true; });
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.PixelFormat(), ie8p);
  EXPECT_EQ(PixelAt(l.bitmap, 0, 0), kRed);
  EXPECT_EQ(PixelAt(l.bitmap, 1, 0), kYellow);
  EXPECT_EQ(PixelAt(l.bitmap, 2, 0), kBlue);
}

TEST(GifAnimation, TruncatedLastSubBlockStillLoadsTheFramesBeforeTheCut) {
  const auto full = FileBytes("anim12.gif");
  ASSERT_EQ(full.back(), 0x3B);
  // No trailer, no terminator, and the last sub-block short by a byte.
  const std::vector<uint8_t> cut(full.begin(), full.end() - 3);
  for (int index = 0; index < 11; ++index) {
    SCOPED_TRACE(index);
    Loaded a, b;
    Load(full, a, index);
    Load(cut, b, index);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.params.ImageCount(), 12);
    EXPECT_EQ(Rgba(a.bitmap), Rgba(b.bitmap));
  }
  Loaded last;
  Load(cut, last, 11);
  EXPECT_TRUE(last.ok);  // what arrived of it is drawn
}

// Hostile files -----------------------------------------------------------------

TEST(GifHostile, BadFilesFailCleanly) {
  Gif base;
  base.width = 4;
  base.height = 4;
  base.global = {kBlack, kRed, kGreen, kBlue};
  base.frames = {Solid(0, 0, 4, 4, 1), Solid(1, 1, 2, 2, 2)};
  const auto good = BuildGif(base);

  auto with = [&](const std::function<void(Gif&)>& change) {
    Gif g = base;
    change(g);
    return BuildGif(g);
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int index;
    bool raw;
    bool ok;
  };
  std::vector<uint8_t> noSignature = good;
  noSignature[0] = 'X';
  const std::vector<uint8_t> shortHeader(good.begin(), good.begin() + 12);
  const std::vector<uint8_t> tableOnly(good.begin(), good.begin() + 13 + 12);
  const Case cases[] = {
      {"no signature", noSignature, 0, false, false},
      {"header cut short", shortHeader, 0, false, false},
      {"header and table, nothing else", tableOnly, 0, false, false},
      {"no frames", with([](Gif& g) { g.frames.clear(); }), 0, false, false},
      {"absurd screen, two tiny frames",
       with([](Gif& g) { g.width = g.height = 65535; g.frames = {Solid(0, 0, 1, 1, 1), Solid(0, 0, 1, 1, 2)}; }), 1,
       false, false},
      {"screen of 1,100 x 1,000 for a file of a few bytes",
       with([](Gif& g) { g.width = 1100; g.height = 1000; }), 1, false, false},
      {"screen of 1,000 x 1,000: any file may have it",
       with([](Gif& g) { g.width = 1000; g.height = 1000; }), 1, false, true},
      {"absurd screen, one frame: the frame itself",
       with([](Gif& g) { g.width = g.height = 65535; g.frames = {Solid(0, 0, 1, 1, 1)}; }), 0, false, true},
      {"absurd screen, raw frame", with([](Gif& g) { g.width = g.height = 65535; }), 1, true, true},
      {"frame claims 65535 x 65535 with a few bytes",
       with([](Gif& g) { g.frames[1].width = g.frames[1].height = 65535; g.frames[1].indices = {1, 2, 3}; }), 1,
       true, false},
      {"frame claims 2000 x 2000 with a few bytes of its own and a long file after it",
       with([](Gif& g) {
         g.frames[1].width = g.frames[1].height = 2000;
         g.frames[1].rawData = Codes({4, 1, 5});
         Frame padding = Solid(0, 0, 1, 1, 1);
         padding.comments = {std::string(250, 'x'), std::string(250, 'x'), std::string(250, 'x'),
                             std::string(250, 'x')};
         g.frames.push_back(padding);
       }),
       1, true, false},
      {"wide colour frame, under 2000 bytes left",
       with([](Gif& g) { g.frames[1] = Solid(0, 0, 65001, 1, 1); }), 1, true, false},
      {"wide frame of a black and white table",
       with([](Gif& g) {
         g.global = {kBlack, kWhite};
         g.frames[1] = Solid(0, 0, 65001, 1, 1);
       }),
       1, true, true},
      {"a frame of no pixels alone", with([](Gif& g) { g.frames = {Solid(0, 0, 0, 5, 1)}; }), 0, false, false},
      {"a frame of no pixels in an animation",
       with([](Gif& g) { g.frames.push_back(Solid(0, 0, 0, 0, 1)); }), 2, false, true},
      {"code size 12", with([](Gif& g) { g.frames[1].minCodeSize = 12; g.frames[1].rawData = {0, 0}; }), 1, false,
       false},
      {"a code beyond the table", with([](Gif& g) { g.frames[1].rawData = Codes({4, 1, 7, 5}); }), 1, false, false},
      {"a broken frame after the one asked for", with([](Gif& g) { g.frames[1].rawData = Codes({4, 1, 7, 5}); }), 0,
       false, true},
      {"LZW data running past the frame",
       with([](Gif& g) { g.frames[1].indices = RandomIndices(400, 4, 9); }), 1, false, true},
      {"stray bytes and an unknown extension between blocks",
       [&] {
         auto v = good;
         const std::vector<uint8_t> junk{0x00, 0x99, 0x21, 0x01, 3, 'a', 'b', 'c', 0};
         v.insert(v.begin() + 13 + 12, junk.begin(), junk.end());
         return v;
       }(),
       1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded l;
    Load(c.bytes, l, c.index, c.raw);
    EXPECT_EQ(l.ok, c.ok);
    if (l.ok) {
      EXPECT_FALSE(l.bitmap.IsEmpty());
      EXPECT_LE(int64_t(l.bitmap.Width()) * l.bitmap.Height(), int64_t(1) << 20);
    }
  }
}

TEST(GifHostile, DataRunningPastTheFrameLeavesTheNextFrameIntact) {
  Gif g;
  g.width = 4;
  g.height = 2;
  g.global = {kBlack, kRed, kGreen, kBlue};
  Frame a = Solid(0, 0, 4, 2, 1);
  a.indices = RandomIndices(500, 4, 1);  // 8 pixels wanted, 500 coded
  Frame b = Solid(0, 0, 4, 2, 0);
  b.indices = {0, 1, 2, 3, 3, 2, 1, 0};
  g.frames = {a, b};
  Loaded l;
  Load(BuildGif(g), l, 1, true);
  ASSERT_TRUE(l.ok);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(PixelAt(l.bitmap, i % 4, i / 4), g.global[b.indices[size_t(i)]]);
  Load(BuildGif(g), l, 0, true);
  ASSERT_TRUE(l.ok);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(PixelAt(l.bitmap, i % 4, i / 4), g.global[a.indices[size_t(i)]]);
}

TEST(GifHostile, CutAtEveryLengthNeverCrashes) {
  const auto full = FileBytes("anim12.gif");
  for (size_t n = 0; n < full.size(); ++n) {
    const std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    for (int mode = 0; mode < 3; ++mode) {
      Loaded l;
      Load(cut, l, mode == 0 ? 0 : 11, mode == 2);
      if (l.ok) {
        EXPECT_FALSE(l.bitmap.IsEmpty()) << n;
      }
    }
  }
}

TEST(GifHostile, CommentsAreCapped) {
  Gif g;
  g.width = g.height = 1;
  g.global = {kBlack, kWhite};
  g.frames = {Solid(0, 0, 1, 1, 1)};
  auto gif = BuildGif(g);
  // 70,000 one-byte comment blocks, each one a string if kept.
  std::vector<uint8_t> comment{0x21, 0xFE};
  for (int i = 0; i < 70000; ++i) comment.insert(comment.end(), {1, 'x'});
  comment.push_back(0);
  gif.insert(gif.begin() + 13 + 6, comment.begin(), comment.end());
  Loaded l;
  Load(gif, l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.params.GifComments.size(), 65536u);
}

TEST(GifHostile, NoDecoderMeansNoPixels) {
  TIEGlobalSettings& settings = IEGlobalSettings();
  IEInitializeImageIO();
  const TIEGifDecoder saved = settings.GifDecoder;
  ASSERT_EQ(saved, &GifLzwDecode);
  settings.GifDecoder = nullptr;
  Gif g;
  g.width = g.height = 2;
  g.global = {kBlack, kWhite};
  g.frames = {Solid(0, 0, 2, 2, 1)};
  Loaded l;
  Load(BuildGif(g), l);
  settings.GifDecoder = saved;
  EXPECT_FALSE(l.ok);
  // A record without a copy of its own falls back to the global one.
  Load(BuildGif(g), l, 0, false, [](TIOParams& p) { p.GifDecoder = nullptr; });
  EXPECT_TRUE(l.ok);
}

TEST(GifHostile, AProgressHandlerCanCancel) {
  const auto gif = FileBytes("anim12.gif");
  TIEMemoryStream s(gif.data(), static_cast<int64_t>(gif.size()));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.Params().SetImageIndex(11);
  int calls = 0;
  io.OnProgress = [&](void*, int percent) {
    ++calls;
    if (percent >= 50) io.SetLoadAborted(true);
  };
  EXPECT_FALSE(io.LoadFromStreamGIF(s));
  EXPECT_GT(calls, 1);
}

// Frame counts and the load front ------------------------------------------------

TEST(GifFrames, CountFileFramesSwallowsErrors) {
  testsupport::TempDir dir;
  const std::string anim = dir.File("anim.gif"), junk = dir.File("junk.gif"), one = dir.File("one.gif"),
                    cut = dir.File("cut.gif");
  testsupport::WriteFileBytes(anim, FileBytes("anim12.gif"));
  testsupport::WriteFileBytes(one, FileBytes("plasma.gif"));
  const std::string text = "not a picture at all";
  testsupport::WriteFileBytes(junk, text.data(), text.size());
  const auto full = FileBytes("anim12.gif");
  testsupport::WriteFileBytes(cut, std::vector<uint8_t>(full.begin(), full.begin() + 300));
  EXPECT_EQ(CountFileFrames(anim), 12);
  EXPECT_EQ(CountFileFrames(one), 1);
  EXPECT_EQ(CountFileFrames(junk), 0);
  const int32_t partial = CountFileFrames(cut);
  EXPECT_GT(partial, 0);
  EXPECT_LT(partial, 12);

  // Through Read, as the conversion job loads an entry.
  TIEBitmap bitmap;
  TIOParams params;
  params.SetImageIndex(7);
  EXPECT_TRUE(bitmap.Read(anim, &params));
  EXPECT_EQ(params.FileType, ioGIF);
  EXPECT_EQ(params.ImageCount(), 12);
  EXPECT_EQ(bitmap.Width(), 40);
}

}  // namespace
