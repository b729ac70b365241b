#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "iebitmap.h"
#include "ieglobal.h"
#include "ieresample.h"

namespace {

// Deterministic noise: every value from 0 to 255 and hard edges, so kernel
// lobes overshoot both ways.
struct TNoise {
  uint32_t state;
  explicit TNoise(uint32_t seed) : state(seed * 2654435761u + 1) {}
  uint8_t Next() {
    state = state * 1664525u + 1013904223u;
    return uint8_t(state >> 24);
  }
};

void FillNoise(TIEBitmap& b, uint32_t seed) {
  TNoise n(seed);
  const int64_t bytes = (int64_t(b.Width()) * b.BitCount() + 7) / 8;
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    for (int64_t x = 0; x < bytes; ++x) row[x] = n.Next();
  }
}

std::unique_ptr<TIEBitmap> Noise(int w, int h, TIEPixelFormat format, uint32_t seed = 1) {
  auto b = std::make_unique<TIEBitmap>(w, h, format);
  FillNoise(*b, seed);
  return b;
}

// The meaningful bytes of every row (pad bits of 1-bit rows masked off).
std::vector<uint8_t> Pixels(TIEBitmap& b) {
  std::vector<uint8_t> out;
  const int64_t bits = int64_t(b.Width()) * b.BitCount();
  const int64_t bytes = (bits + 7) / 8;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    out.insert(out.end(), row, row + bytes);
    if (bits % 8) out.back() &= uint8_t(0xFF << (8 - bits % 8));
  }
  return out;
}

// A straightforward rendering of the kernel resampler: double kernels,
// contributor lists of (index, weight) without any folding, 64-bit sums. The
// production code folds, packs and vectorises; both must give the same bytes.
namespace ref {

double Sinc(double x) { return x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x); }

double Kernel(TResampleFilter f, double x) {
  const double a = std::fabs(x);
  switch (f) {
    case rfTriangle:
      return a < 1 ? 1 - a : 0;
    case rfHermite:
      return a < 1 ? 2 * a * a * a - 3 * a * a + 1 : 0;
    case rfBell:
      return a < 0.5 ? 0.75 - a * a : a < 1.5 ? 0.5 * (a - 1.5) * (a - 1.5) : 0;
    case rfBSpline:
      return a < 1 ? a * a * a / 2 - a * a + 2.0 / 3 : a < 2 ? (2 - a) * (2 - a) * (2 - a) / 6 : 0;
    case rfLanczos3:
      return a < 3 ? Sinc(x) * Sinc(x / 3) : 0;
    case rfMitchell:
      return a < 1   ? (7 * a * a * a - 12 * a * a + 16.0 / 3) / 6
             : a < 2 ? (-7.0 / 3 * a * a * a + 12 * a * a - 20 * a + 32.0 / 3) / 6
                     : 0;
    case rfNearest:
      return x > -0.5 && x <= 0.5 ? 1 : 0;
    case rfLinear:
      return x >= 0 && x < 1 ? 1 - x : x >= -1 && x < 0 ? 1 + x : 0;
    default:
      return 0;
  }
}

double Support(TResampleFilter f) {
  switch (f) {
    case rfBell:
      return 1.5;
    case rfBSpline:
    case rfMitchell:
      return 2;
    case rfLanczos3:
      return 3;
    default:
      return 1;
  }
}

struct Entry {
  int index;
  int64_t weight;
};

std::vector<std::vector<Entry>> Lists(int src, int dst, TResampleFilter filter) {
  const double s = Support(filter);
  const double scale = (src == 1 || dst == 1) ? double(dst) / src : double(dst - 1) / (src - 1);
  std::vector<std::vector<Entry>> lists(dst);
  for (int i = 0; i < dst; ++i) {
    const double c = i / scale;
    const double width = scale < 1 ? s / scale : s, f = scale < 1 ? 1 / scale : 1;
    double peak = 0;
    for (int pass = 0; pass < 2 && lists[i].empty(); ++pass) {
      if (pass == 1 && peak == 0) break;
      for (int64_t j = int64_t(std::floor(c - width)); j <= int64_t(std::ceil(c + width)); ++j) {
        const double k = scale < 1 ? Kernel(filter, (c - j) / f) : Kernel(filter, c - j);
        peak = std::max(peak, std::fabs(k));
        // Second pass: the list rounded to nothing; keep the kernel's shape.
        const double w = pass == 0 ? std::nearbyint(scale < 1 ? k * 256 / f : k * 256)
                                   : std::nearbyint(k * 256 / peak);
        if (w == 0) continue;
        int64_t idx = j < 0 ? -j : j >= src ? 2 * int64_t(src) - 1 - j : j;
        idx = std::clamp<int64_t>(idx, 0, src - 1);
        lists[i].push_back({int(idx), int64_t(w)});
      }
    }
  }
  return lists;
}

int64_t Finish(int64_t sum, int64_t total, bool divideBy256, int64_t maxValue) {
  int64_t v = total != 0 ? sum / total : divideBy256 ? sum / 256 : int64_t(uint32_t(sum) >> 8);
  return std::clamp<int64_t>(v, 0, maxValue);
}

// samples: h rows of w * c values.
std::vector<int64_t> Resample(const std::vector<int64_t>& in, int w, int h, int c, int W, int H,
                              TResampleFilter filter, bool colour, int64_t maxValue) {
  const auto hl = Lists(w, W, filter), vl = Lists(h, H, filter);
  std::vector<int64_t> mid(size_t(W) * h * c), out(size_t(W) * H * c);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < W; ++i)
      for (int ch = 0; ch < c; ++ch) {
        int64_t sum = 0, total = 0;
        for (const Entry& e : hl[i]) {
          sum += e.weight * in[(size_t(y) * w + e.index) * c + ch];
          total += e.weight;
        }
        mid[(size_t(y) * W + i) * c + ch] = Finish(sum, total, colour, maxValue);
      }
  for (int r = 0; r < H; ++r)
    for (int i = 0; i < W; ++i)
      for (int ch = 0; ch < c; ++ch) {
        int64_t sum = 0, total = 0;
        for (const Entry& e : vl[r]) {
          sum += e.weight * mid[(size_t(e.index) * W + i) * c + ch];
          total += e.weight;
        }
        out[(size_t(r) * W + i) * c + ch] = Finish(sum, total, false, maxValue);
      }
  return out;
}

// The expected bytes of Resample(W, H, filter) on b (kernel filters).
std::vector<uint8_t> Expected(TIEBitmap& b, int W, int H, TResampleFilter filter) {
  const int w = b.Width(), h = b.Height();
  const TIEPixelFormat f = b.PixelFormat();
  const int c = f == ie24RGB ? 3 : 1;
  const bool words = f == ie16g;
  std::vector<int64_t> in;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w * c; ++x) {
      if (f == ie1g)
        in.push_back((row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0);
      else if (words)
        in.push_back(row[2 * x] | (row[2 * x + 1] << 8));
      else
        in.push_back(row[x]);
    }
  }
  const auto out = Resample(in, w, h, c, W, H, filter, c == 3, words ? 65535 : 255);
  std::vector<uint8_t> bytes;
  for (int64_t v : out) {
    if (f == ie1g)
      bytes.insert(bytes.end(), 3, uint8_t(v));  // gray as ie24RGB
    else if (words)
      bytes.insert(bytes.end(), {uint8_t(v), uint8_t(v >> 8)});
    else
      bytes.push_back(uint8_t(v));
  }
  return bytes;
}

}  // namespace ref

// Puts the global resampler settings back after a test changes them.
class ResampleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TIEGlobalSettings& g = IEGlobalSettings();
    g.MinPixelsForThreads = 65536;
    g.MaxThreadCount = 4;
    g.ResampleFallbackFilter = rfFastLinear;
    g.MemoryThresholdOverride = -1;
    g.MaxMemoryBlock = -1;
    IEResampleSetSimd(true);
  }
};

const char* FormatName(TIEPixelFormat f) {
  switch (f) {
    case ie1g:
      return "ie1g";
    case ie8g:
      return "ie8g";
    case ie16g:
      return "ie16g";
    case ie24RGB:
      return "ie24RGB";
    default:
      return "other";
  }
}

TEST_F(ResampleTest, KernelFiltersMatchTheReferenceByteForByte) {
  struct Case {
    int w, h, W, H;
  } sizes[] = {
      {123, 77, 40, 29},  // shrink both ways
      {17, 13, 50, 41},   // enlarge both ways
      {64, 9, 21, 30},    // shrink across, enlarge down
      {2, 2, 1, 1},       // both sides to one pixel
      {1, 5, 7, 3},       // one column
      {300, 7, 1, 1},     // weights of a few 256ths
      {1500, 3, 2, 2},    // every weight rounds to zero
      {40, 1, 97, 1},     // a single row
  };
  const TIEPixelFormat formats[] = {ie24RGB, ie8g, ie1g, ie16g};
  for (bool simd : {true, false}) {
    IEResampleSetSimd(simd);
    for (const Case& s : sizes)
      for (TIEPixelFormat format : formats)
        for (int f = rfTriangle; f <= rfLinear; ++f) {
          const TResampleFilter filter = TResampleFilter(f);
          auto b = Noise(s.w, s.h, format, uint32_t(f * 7 + s.w));
          const std::vector<uint8_t> expected = ref::Expected(*b, s.W, s.H, filter);
          ASSERT_TRUE(b->Resample(s.W, s.H, filter));
          const std::string where = std::string(FormatName(format)) + " " + std::to_string(s.w) +
                                    "x" + std::to_string(s.h) + " -> " + std::to_string(s.W) + "x" +
                                    std::to_string(s.H) + " filter " + std::to_string(f) +
                                    (simd ? " simd" : " plain");
          ASSERT_EQ(b->Width(), s.W) << where;
          ASSERT_EQ(b->Height(), s.H) << where;
          ASSERT_EQ(b->PixelFormat(), format == ie1g ? ie24RGB : format) << where;
          ASSERT_EQ(Pixels(*b), expected) << where;
        }
  }
}

TEST_F(ResampleTest, ThreadedHorizontalPassGivesTheSameBytes) {
  struct Case {
    const char* name;
    TIEPixelFormat format;
    int w, h, W, H;
  } cases[] = {
      {"colour shrink, rows not a multiple of the bands", ie24RGB, 611, 403, 163, 109},
      {"colour enlarge", ie24RGB, 257, 255, 600, 301},
      {"gray", ie8g, 500, 333, 171, 90},
      {"1-bit", ie1g, 700, 301, 233, 100},
      {"16-bit gray", ie16g, 300, 250, 77, 400},
  };
  for (const Case& c : cases) {
    for (bool simd : {true, false}) {
      IEResampleSetSimd(simd);
      auto source = Noise(c.w, c.h, c.format, 99);
      TIEBitmap single, banded;
      TIEResampleOptions one, four;
      one.Threads = 1;
      four.Threads = 4;
      IEResample(*source, single, c.W, c.H, rfLanczos3, one);
      IEResample(*source, banded, c.W, c.H, rfLanczos3, four);
      EXPECT_EQ(Pixels(single), Pixels(banded)) << c.name << (simd ? " simd" : " plain");
    }
  }

  // Through the front, with the thread settings deciding.
  TIEGlobalSettings& g = IEGlobalSettings();
  auto a = Noise(800, 600, ie24RGB, 5), b = Noise(800, 600, ie24RGB, 5);
  g.MaxThreadCount = 1;
  EXPECT_EQ(IEResampleThreadCount(*a), 1);
  ASSERT_TRUE(a->Resample(1076 / 2, 718 / 2, rfLanczos3));
  g.MaxThreadCount = 4;
  EXPECT_EQ(IEResampleThreadCount(*b), std::min(4, g.ProcessorCoreCount()));
  ASSERT_TRUE(b->Resample(1076 / 2, 718 / 2, rfLanczos3));
  EXPECT_EQ(Pixels(*a), Pixels(*b));
}

TEST_F(ResampleTest, ThreadCountFollowsSizeAndStorage) {
  TIEGlobalSettings& g = IEGlobalSettings();
  TIEBitmap small(255, 256, ie24RGB), large(256, 256, ie24RGB);
  EXPECT_EQ(IEResampleThreadCount(small), 1);  // 65,280 pixels
  EXPECT_EQ(IEResampleThreadCount(large), std::min(4, g.ProcessorCoreCount()));
  g.MinPixelsForThreads = 0;
  g.MaxThreadCount = 3;
  EXPECT_EQ(IEResampleThreadCount(small), std::min(3, g.ProcessorCoreCount()));

  TIEBitmap onFile;
  onFile.SetMemoryThreshold(0);
  ASSERT_TRUE(onFile.Allocate(403, 301, ie24RGB));
  ASSERT_EQ(onFile.Location(), ieFile);
  EXPECT_EQ(IEResampleThreadCount(onFile), 1);
}

TEST_F(ResampleTest, EveryStorageGivesTheSameBytes) {
  // Widths whose rows have no pad bytes, so that a read past a row's end
  // leaves a segment and the address sanitizer sees it.
  struct Case {
    const char* name;
    TIEPixelFormat format;
    int w, h, W, H;
  } cases[] = {
      {"colour shrink", ie24RGB, 124, 40, 37, 13},
      {"colour enlarge", ie24RGB, 40, 12, 131, 50},
      {"gray shrink", ie8g, 124, 40, 37, 13},
      {"gray enlarge", ie8g, 40, 12, 131, 50},
  };
  TIEGlobalSettings& g = IEGlobalSettings();
  for (const Case& c : cases) {
    auto inMemory = Noise(c.w, c.h, c.format, 17);
    TIEBitmap expected;
    IEResample(*inMemory, expected, c.W, c.H, rfLanczos3);

    g.MaxMemoryBlock = inMemory->RowLen() * c.h - 1;
    TIEBitmap segmented(c.w, c.h, c.format);
    g.MaxMemoryBlock = -1;
    ASSERT_GT(segmented.SegmentCount(), 1) << c.name;
    FillNoise(segmented, 17);

    TIEBitmap onFile;
    onFile.SetMemoryThreshold(0);
    ASSERT_TRUE(onFile.Allocate(c.w, c.h, c.format));
    ASSERT_EQ(onFile.Location(), ieFile);
    FillNoise(onFile, 17);
    onFile.FlushRows();

    for (TIEBitmap* source : {&segmented, &onFile}) {
      ASSERT_EQ(Pixels(*source), Pixels(*inMemory)) << c.name;
      TIEBitmap target;
      TIEResampleOptions four;
      four.Threads = 4;  // one thread all the same for the file-stored source
      IEResample(*source, target, c.W, c.H, rfLanczos3, four);
      EXPECT_EQ(Pixels(target), Pixels(expected)) << c.name;
    }
    ASSERT_TRUE(onFile.Resample(c.W, c.H, rfLanczos3));
    EXPECT_EQ(Pixels(onFile), Pixels(expected)) << c.name;
  }
}

TEST_F(ResampleTest, TwoByTwoToOnePixelUsesMirroredLanczosWeights) {
  // Weights of the single column (and row): source 0 gets 128 - 17 + 3 =
  // 114, source 1 gets 78 + 78 - 17 + 3 = 142 of 256.
  TIEBitmap b(2, 2, ie8g);
  b.Scanline(0)[0] = 0;
  b.Scanline(0)[1] = 255;
  b.Scanline(1)[0] = 255;
  b.Scanline(1)[1] = 255;
  ASSERT_TRUE(b.Resample(1, 1, rfLanczos3));
  // Top row: 142 * 255 div 256 = 141; then (114 * 141 + 142 * 255) div 256.
  EXPECT_EQ(b.Scanline(0)[0], 204);
}

TEST_F(ResampleTest, EdgeCases) {
  // Same size: untouched, even 1-bit.
  {
    auto b = Noise(33, 7, ie1g, 3);
    const auto before = Pixels(*b);
    ASSERT_TRUE(b->Resample(33, 7, rfLanczos3));
    EXPECT_EQ(b->PixelFormat(), ie1g);
    EXPECT_EQ(Pixels(*b), before);
  }

  // One pixel to any size: uniform, in the result format.
  struct OnePixel {
    const char* name;
    TIEPixelFormat format;
    TResampleFilter filter;
    TIEPixelFormat result;
    std::vector<uint8_t> pixel;  // result bytes of every pixel
  } singles[] = {
      {"colour lanczos", ie24RGB, rfLanczos3, ie24RGB, {10, 200, 77}},
      {"gray mitchell", ie8g, rfMitchell, ie8g, {0x5A}},
      {"1-bit white lanczos", ie1g, rfLanczos3, ie24RGB, {255, 255, 255}},
      {"palette triangle", ie8p, rfTriangle, ie24RGB, {30, 20, 10}},
      {"colour none", ie24RGB, rfNone, ie24RGB, {10, 200, 77}},
  };
  for (const OnePixel& c : singles) {
    TIEBitmap b(1, 1, c.format);
    uint8_t* p = b.Scanline(0);
    switch (c.format) {
      case ie24RGB:
        std::memcpy(p, c.pixel.data(), 3);
        break;
      case ie8g:
        p[0] = c.pixel[0];
        break;
      case ie1g:
        p[0] = 0x80;
        break;
      default:
        b.SetPaletteEntry(4, TRGB{30, 20, 10});
        p[0] = 4;
    }
    ASSERT_TRUE(b.Resample(9, 5, c.filter)) << c.name;
    ASSERT_EQ(b.PixelFormat(), c.result) << c.name;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 9 * 5; ++i) expected.insert(expected.end(), c.pixel.begin(), c.pixel.end());
    EXPECT_EQ(Pixels(b), expected) << c.name;
  }

  // Enlarged 1-bit comes back as gray ie24RGB.
  {
    auto b = Noise(20, 11, ie1g, 8);
    ASSERT_TRUE(b->Resample(53, 31, rfLanczos3));
    ASSERT_EQ(b->PixelFormat(), ie24RGB);
    bool grays = false;
    for (int y = 0; y < b->Height(); ++y)
      for (int x = 0; x < b->Width(); ++x) {
        const uint8_t* p = b->Scanline(y) + 3 * x;
        ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
        grays = grays || (p[0] != 0 && p[0] != 255);
      }
    EXPECT_TRUE(grays);
  }

  // Result formats by source format.
  struct Formats {
    TIEPixelFormat source;
    TResampleFilter filter;
    TIEPixelFormat result;
  } formats[] = {
      {ie8p, rfLanczos3, ie24RGB},   {ie8g, rfLanczos3, ie8g},       {ie16g, rfLanczos3, ie16g},
      {ieCMYK, rfLanczos3, ie24RGB}, {ie32RGB, rfLanczos3, ie24RGB}, {ieRGB48, rfLanczos3, ie24RGB},
      {ie32f, rfTriangle, ie24RGB},  {ieCIELab, rfHermite, ie24RGB}, {ie8p, rfNone, ie8p},
      {ie1g, rfNone, ie1g},          {ie1g, rfProjectBW, ie1g},      {ie1g, rfProjectWB, ie1g},
      {ie1g, rfBilinear, ie24RGB},   {ieRGB48, rfBicubic, ieRGB48},  {ie8p, rfBilinear, ie24RGB},
      {ie16g, rfFastLinear, ie16g},  {ie24RGB, rfWICFant, ie24RGB},  {ie8g, rfProjectWB, ie8g},
  };
  for (const Formats& c : formats) {
    auto b = Noise(30, 20, c.source, 4);
    if (c.source == ie32f) b->Fill(0.5);
    ASSERT_TRUE(b->Resample(13, 41, c.filter));
    EXPECT_EQ(b->PixelFormat(), c.result) << int(c.source) << " filter " << int(c.filter);
    EXPECT_EQ(IEResampleResultFormat(c.source, c.filter), c.result);
    EXPECT_EQ(b->Width(), 13);
    EXPECT_EQ(b->Height(), 41);
  }

  // The alpha channel follows at the new size and keeps its Full flag.
  {
    auto b = Noise(40, 30, ie24RGB, 6);
    TIEBitmap* alpha = b->AlphaChannel();
    FillNoise(*alpha, 7);
    alpha->SetFull(false);
    TIEBitmap alphaAlone;
    alphaAlone.Assign(alpha);
    ASSERT_TRUE(alphaAlone.Resample(17, 60, rfLanczos3));
    ASSERT_TRUE(b->Resample(17, 60, rfLanczos3));
    ASSERT_TRUE(b->HasAlphaChannel());
    TIEBitmap* scaled = b->AlphaChannelOrNull();
    EXPECT_EQ(scaled->Width(), 17);
    EXPECT_EQ(scaled->Height(), 60);
    EXPECT_EQ(scaled->PixelFormat(), ie8g);
    EXPECT_FALSE(scaled->Full());
    EXPECT_EQ(Pixels(*scaled), Pixels(alphaAlone));

    auto opaque = Noise(40, 30, ie8g, 6);
    opaque->AlphaChannel()->Fill(255);
    ASSERT_TRUE(opaque->AlphaChannel()->Full());
    ASSERT_TRUE(opaque->Resample(90, 10, rfNone));
    EXPECT_TRUE(opaque->AlphaChannelOrNull()->Full());
    EXPECT_EQ(opaque->AlphaChannelOrNull()->Width(), 90);
  }

  // Lanczos lobes over a hard edge are clamped, never wrapped around.
  {
    TIEBitmap b(8, 1, ie8g);
    for (int x = 0; x < 8; ++x) b.Scanline(0)[x] = x < 4 ? 0 : 255;
    ASSERT_TRUE(b.Resample(64, 1, rfLanczos3));
    const uint8_t* row = b.Scanline(0);
    for (int x = 0; x < 64; ++x) {
      if (x < 24) {
        EXPECT_LT(row[x], 40) << x;
      }
      if (x >= 40) {
        EXPECT_GT(row[x], 215) << x;
      }
    }
    EXPECT_EQ(row[0], 0);
    EXPECT_EQ(row[63], 255);
  }

  // Empty bitmaps stay empty.
  {
    TIEBitmap b;
    EXPECT_FALSE(b.Resample(10, 10, rfLanczos3));
    EXPECT_TRUE(b.IsEmpty());
  }
}

TEST_F(ResampleTest, FinalSizeRules) {
  struct Case {
    const char* name;
    int w, h, reqW, reqH;
    bool keepAspect;
    int finalW, finalH;
  } cases[] = {
      {"width from height", 400, 200, -1, 100, false, 200, 100},
      {"height from width", 400, 200, 100, -1, false, 100, 50},
      {"zero keeps the side", 400, 200, 0, 50, false, 400, 50},
      {"other negatives are magnitudes", 400, 200, -30, -20, false, 30, 20},
      {"width -1 with a negative height", 400, 200, -1, -100, false, 200, 100},
      {"width -1 with height 0", 400, 200, -1, 0, false, 400, 200},
      {"never below one", 1000, 10, 5, -1, false, 5, 1},
      {"both -1 keep the size", 400, 200, -1, -1, false, 400, 200},
      {"keep-aspect, width binds", 400, 200, 100, 100, true, 100, 50},
      {"keep-aspect, height binds", 400, 200, 300, 50, true, 100, 50},
      {"keep-aspect never below one", 4000, 2, 100, 100, true, 100, 1},
      {"keep-aspect ignored with -1", 400, 200, -1, 100, true, 200, 100},
      {"huge request saturates", 2, 1, 2147483647, -1, false, 2147483647, 1073741823},
  };
  for (const Case& c : cases) {
    int w = 0, h = 0;
    ASSERT_TRUE(IEResampleFinalSize(c.w, c.h, c.reqW, c.reqH, c.keepAspect, w, h)) << c.name;
    EXPECT_EQ(w, c.finalW) << c.name;
    EXPECT_EQ(h, c.finalH) << c.name;
  }
  int w = 0, h = 0;
  EXPECT_FALSE(IEResampleFinalSize(0, 10, 5, 5, false, w, h));
}

TEST_F(ResampleTest, FrontAppliesSizeRulesAndShrinkOnly) {
  struct Case {
    const char* name;
    int reqW, reqH;
    bool keepAspect, shrinkOnly;
    int finalW, finalH;
    bool ok;
  } cases[] = {
      {"width from height", -1, 100, false, false, 200, 100, true},
      {"keep-aspect", 50, 50, true, false, 50, 25, true},
      {"shrink-only shrinks", 100, 50, false, true, 100, 50, true},
      {"shrink-only leaves an enlargement", 800, 100, false, true, 400, 200, true},
      {"shrink-only needs both sides smaller", 400, 100, false, true, 400, 200, true},
      {"beyond the image limits", 1 << 21, 4, false, false, 400, 200, false},
  };
  for (const Case& c : cases) {
    auto b = Noise(400, 200, ie24RGB, 2);
    const auto before = Pixels(*b);
    EXPECT_EQ(b->Resample(c.reqW, c.reqH, rfTriangle, c.keepAspect, c.shrinkOnly), c.ok) << c.name;
    EXPECT_EQ(b->Width(), c.finalW) << c.name;
    EXPECT_EQ(b->Height(), c.finalH) << c.name;
    if (c.finalW == 400) {
      EXPECT_EQ(Pixels(*b), before) << c.name;
    }
  }
}

TEST_F(ResampleTest, ExtremeShrinkKeepsTheColour) {
  // Weights of 256 x 1/1499 round to zero; the picture must not turn black.
  TIEBitmap b(1500, 4, ie24RGB);
  b.Fill(0x00336699);
  ASSERT_TRUE(b.Resample(2, 1, rfLanczos3));
  for (int x = 0; x < 2; ++x) {
    const uint8_t* p = b.Scanline(0) + 3 * x;
    EXPECT_EQ(p[0], 0x33);
    EXPECT_EQ(p[1], 0x66);
    EXPECT_EQ(p[2], 0x99);
  }
}

TEST_F(ResampleTest, OtherFiltersKeepUniformPicturesAndTheirFormat) {
  struct Case {
    TIEPixelFormat format;
    TResampleFilter filter;
  } cases[] = {
      {ie24RGB, rfFastLinear}, {ie8g, rfFastLinear},  {ie16g, rfFastLinear}, {ie24RGB, rfBilinear},
      {ie8g, rfBicubic},       {ie16g, rfBilinear},   {ieRGB48, rfBicubic},  {ie24RGB, rfProjectBW},
      {ie8g, rfProjectWB},     {ie24RGB, rfWICCubic}, {ie8p, rfBicubic},     {ie24RGB, rfNone},
  };
  for (const Case& c : cases) {
    for (auto size : {std::pair{7, 45}, std::pair{90, 3}}) {
      TIEBitmap b(31, 17, c.format);
      std::vector<uint8_t> pixel;
      switch (c.format) {
        case ie24RGB:
          pixel = {12, 34, 56};
          break;
        case ie8g:
          pixel = {200};
          break;
        case ie16g:
          pixel = {0x34, 0x12};
          break;
        case ieRGB48:
          pixel = {1, 2, 3, 4, 5, 6};
          break;
        default:
          pixel = {9};
      }
      if (c.format == ie8p) b.SetPaletteEntry(9, TRGB{7, 8, 9});
      for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 31; ++x) std::memcpy(b.PixelAddress(y, x), pixel.data(), pixel.size());
      ASSERT_TRUE(b.Resample(size.first, size.second, c.filter));
      if (c.format == ie8p) pixel = {7, 8, 9};
      std::vector<uint8_t> expected;
      for (int i = 0; i < size.first * size.second; ++i)
        expected.insert(expected.end(), pixel.begin(), pixel.end());
      EXPECT_EQ(Pixels(b), expected) << int(c.format) << " filter " << int(c.filter);
    }
  }
}

TEST_F(ResampleTest, PlatformFiltersRunAsTheirKernelStandIns) {
  const std::pair<TResampleFilter, TResampleFilter> pairs[] = {
      {rfWICNearestNeighbor, rfNearest},
      {rfWICLinear, rfLinear},
      {rfWICCubic, rfMitchell},
      {rfWICFant, rfTriangle},
  };
  for (auto [platform, kernel] : pairs) {
    auto a = Noise(50, 40, ie24RGB, 11), b = Noise(50, 40, ie24RGB, 11);
    ASSERT_TRUE(a->Resample(23, 71, platform));
    ASSERT_TRUE(b->Resample(23, 71, kernel));
    EXPECT_EQ(Pixels(*a), Pixels(*b)) << int(platform);
  }
}

TEST_F(ResampleTest, PointSamplingAndLinearInterpolation) {
  // rfNone: each target pixel copies the source pixel under its centre.
  TIEBitmap g(4, 2, ie8g);
  const uint8_t values[2][4] = {{10, 20, 30, 40}, {50, 60, 70, 80}};
  for (int y = 0; y < 2; ++y) std::memcpy(g.Scanline(y), values[y], 4);
  TIEBitmap copy;
  copy.Assign(&g);
  ASSERT_TRUE(copy.Resample(2, 4, rfNone));
  EXPECT_EQ(Pixels(copy), (std::vector<uint8_t>{20, 40, 20, 40, 60, 80, 60, 80}));

  // 1-bit stays 1-bit under rfNone.
  TIEBitmap bw(3, 1, ie1g);
  bw.Scanline(0)[0] = 0xA0;  // white, black, white
  ASSERT_TRUE(bw.Resample(6, 1, rfNone));
  EXPECT_EQ(bw.PixelFormat(), ie1g);
  EXPECT_EQ(Pixels(bw), (std::vector<uint8_t>{0xCC}));

  // rfFastLinear halfway between two columns.
  TIEBitmap ramp(2, 1, ie8g);
  ramp.Scanline(0)[0] = 0;
  ramp.Scanline(0)[1] = 200;
  ASSERT_TRUE(ramp.Resample(4, 1, rfFastLinear));
  // Centres at -0.25 (clamped), 0.25, 0.75, 1.25 (clamped).
  EXPECT_EQ(Pixels(ramp), (std::vector<uint8_t>{0, 50, 150, 200}));
}

TEST_F(ResampleTest, ProjectionsKeepThinLines) {
  // A one-pixel black line on white, and its inverse, shrunk eight times.
  for (bool blackLine : {true, false}) {
    TIEBitmap b(64, 64, ie1g);
    for (int y = 0; y < 64; ++y) {
      uint8_t* row = b.Scanline(y);
      std::memset(row, blackLine ? 0xFF : 0x00, 8);
      row[2] = blackLine ? 0xFB : 0x04;  // column 21
    }
    TIEBitmap keep, drop;
    keep.Assign(&b);
    drop.Assign(&b);
    ASSERT_TRUE(keep.Resample(8, 8, blackLine ? rfProjectBW : rfProjectWB));
    ASSERT_TRUE(drop.Resample(8, 8, blackLine ? rfProjectWB : rfProjectBW));
    ASSERT_EQ(keep.PixelFormat(), ie1g);
    for (int y = 0; y < 8; ++y) {
      // Column 21 lies in target column 2.
      EXPECT_EQ(keep.Scanline(y)[0], blackLine ? 0xDF : 0x20) << y;
      EXPECT_EQ(drop.Scanline(y)[0], blackLine ? 0xFF : 0x00) << y;
    }
  }
}

TEST_F(ResampleTest, ReportsProgressOnTheCallingThread) {
  auto b = Noise(700, 500, ie24RGB, 12);
  std::vector<int> seen;
  const auto caller = std::this_thread::get_id();
  bool otherThread = false;
  b->SetOnProgress([&](void* sender, int percent) {
    EXPECT_EQ(sender, b.get());
    otherThread = otherThread || std::this_thread::get_id() != caller;
    seen.push_back(percent);
  });
  IEGlobalSettings().MinPixelsForThreads = 0;
  ASSERT_TRUE(b->Resample(200, 900, rfLanczos3));
  EXPECT_FALSE(otherThread);
  ASSERT_FALSE(seen.empty());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
  EXPECT_GE(seen.front(), 0);
  EXPECT_LE(seen.back(), 100);
  EXPECT_GE(seen.back(), 99);
}

}  // namespace
