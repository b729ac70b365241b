#include "pagegeom.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr int kFirstPicture = kPaperItemCount - 2;
constexpr int kCustom = kPaperItemCount - 1;

TEST(PageGeometry, RoundEvenTiesToEven) {
  struct Case {
    long double in;
    int64_t out;
  } cases[] = {
      {2.5L, 2},   {3.5L, 4},   {-2.5L, -2}, {-3.5L, -4},     {0.5L, 0},   {1.5L, 2},
      {717.6L, 718}, {396.6666L, 397}, {2.4999999L, 2}, {-0.4L, 0}, {1e30L, INT64_MAX},
      {-1e30L, INT64_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(RoundEven(c.in), c.out) << static_cast<double>(c.in);
  EXPECT_EQ(RoundEven(std::numeric_limits<long double>::quiet_NaN()), 0);
}

TEST(PageGeometry, PageSize) {
  struct Case {
    const char* name;
    int index;
    bool landscape;
    int32_t fieldW, fieldH;
    int itemCount;
    int32_t w, h;
  } cases[] = {
      {"A4 portrait", 4, false, 1, 1, kPaperItemCount, 595, 842},
      {"A4 landscape", 4, true, 1, 1, kPaperItemCount, 842, 595},
      {"A0", 0, false, 1, 1, kPaperItemCount, 2380, 3368},
      {"B5 is 501 wide", 7, false, 1, 1, kPaperItemCount, 501, 709},
      {"US Ledger stored wide", 10, false, 1, 1, kPaperItemCount, 1224, 792},
      {"US Ledger landscape is Tabloid", 10, true, 1, 1, kPaperItemCount, 792, 1224},
      {"US Tabloid", 11, false, 1, 1, kPaperItemCount, 792, 1224},
      {"first picture takes the fields", kFirstPicture, true, 640, 480, kPaperItemCount, 640, 480},
      {"custom takes the fields, no swap", kCustom, true, 300, 900, kPaperItemCount, 300, 900},
      {"custom found from the count", 5, false, 70, 80, 6, 70, 80},
      {"first picture found from the count", 4, false, 70, 80, 6, 70, 80},
      {"index past the list falls back to A4", 20, false, 70, 80, kPaperItemCount, 595, 842},
      {"no selection falls back to A4", -1, true, 70, 80, kPaperItemCount, 842, 595},
  };
  for (const Case& c : cases) {
    TPageSize s = PageSize(c.index, c.landscape, c.fieldW, c.fieldH, c.itemCount);
    EXPECT_EQ(s.Width, c.w) << c.name;
    EXPECT_EQ(s.Height, c.h) << c.name;
  }
}

TEST(PageGeometry, MarginPoints) {
  struct Case {
    double cm;
    int32_t points;
  } cases[] = {{0, 0}, {0.5, 14}, {1, 28}, {1.5, 43}, {2.5, 71}, {10, 283}};
  for (const Case& c : cases) EXPECT_EQ(MarginPoints(c.cm), c.points) << c.cm;
}

TEST(PageGeometry, MarginsFit) {
  struct Case {
    const char* name;
    int index;
    bool landscape;
    int32_t fieldW, fieldH;
    double cm;
    bool fits;
  } cases[] = {
      {"custom 100, 0.5 cm leaves 72", kCustom, false, 100, 100, 0.5, true},
      {"custom 100, 1 cm leaves 43 (doubled margin 57)", kCustom, false, 100, 100, 1.0, false},
      {"exactly 50 left passes", kCustom, false, 107, 500, 1.0, true},
      {"49 left fails", kCustom, false, 500, 106, 1.0, false},
      {"first picture uses the smaller field", kFirstPicture, false, 1000, 106, 1.0, false},
      {"A6 4.0 cm leaves 70", 6, false, 0, 0, 4.0, true},
      {"A6 4.5 cm leaves 42", 6, false, 0, 0, 4.5, false},
      {"A6 landscape still judged by 297", 6, true, 0, 0, 4.5, false},
      {"US Ledger judged by 1224 in either orientation", 10, true, 0, 0, 14.0, true},
      {"absurd margin fails", 4, false, 0, 0, 1e300, false},
      {"NaN margin fails", 4, false, 0, 0, std::nan(""), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MarginsFit(c.index, c.landscape, c.fieldW, c.fieldH, c.cm), c.fits) << c.name;
}

TEST(PageGeometry, FitImageOnPage) {
  struct Case {
    const char* name;
    int32_t W, H, m, w, h;
    int p;
    TImagePlace out;
  } cases[] = {
      {"small picture keeps its size, centred", 595, 842, 28, 100, 100, 4, {100, 100, 247, 371}},
      {"wide picture bound by width", 595, 842, 0, 3000, 2000, 4, {595, 397, 0, 222}},
      {"exactly the area is not scaled", 595, 842, 28, 539, 786, 0, {539, 786, 28, 28}},
      {"one pixel wider scales", 595, 842, 28, 540, 786, 0, {539, 785, 28, 28}},
      {"one pixel taller scales", 595, 842, 28, 539, 787, 0, {538, 786, 28, 28}},
      {"equal ratios: height binds", 595, 842, 0, 1190, 1684, 4, {595, 842, 0, 0}},
      {"top-left, no margin", 595, 842, 0, 100, 50, 0, {100, 50, 0, 0}},
      {"bottom-right minus margin", 595, 842, 14, 100, 50, 8, {100, 50, 481, 778}},
      {"top-right", 595, 842, 14, 100, 50, 2, {100, 50, 481, 14}},
      {"middle-left", 595, 842, 14, 100, 51, 3, {100, 51, 14, 395}},
      {"bottom-centre", 595, 842, 14, 100, 50, 7, {100, 50, 247, 778}},
      {"position out of range places like 8", 595, 842, 14, 100, 50, 9, {100, 50, 481, 778}},
      {"negative position places like 8", 595, 842, 14, 100, 50, -1, {100, 50, 481, 778}},
      {"tie rounds to even (1.5 -> 2)", 1000, 100, 0, 3, 200, 0, {2, 100, 0, 0}},
      {"tie rounds to even (2.5 -> 2)", 1000, 100, 0, 5, 200, 0, {2, 100, 0, 0}},
      {"tie rounds to even (3.5 -> 4)", 1000, 100, 0, 7, 200, 0, {4, 100, 0, 0}},
      {"halving truncates toward zero", 100, 100, -10, 105, 105, 4, {105, 105, -2, -2}},
      {"product past 32 bits stays right", 10000, 10000, 0, 400000, 800000, 0, {5000, 10000, 0, 0}},
      {"no area left: at least one point", 100, 100, 60, 300, 200, 0, {1, 1, 60, 60}},
      {"zero-sized picture treated as one pixel", 100, 100, 0, 0, 0, 0, {1, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    TImagePlace r = FitImageOnPage(c.W, c.H, c.m, c.w, c.h, c.p);
    EXPECT_EQ(r.Width, c.out.Width) << c.name;
    EXPECT_EQ(r.Height, c.out.Height) << c.name;
    EXPECT_EQ(r.X, c.out.X) << c.name;
    EXPECT_EQ(r.Y, c.out.Y) << c.name;
  }
}

TEST(PageGeometry, ResampleSize) {
  struct Case {
    const char* name;
    int32_t w, h, w2, h2, q;
    int32_t outW, outH;
  } cases[] = {
      {"quality 20 keeps a fifth of the excess", 3000, 2000, 595, 397, 20, 1076, 718},
      {"quality 0 gives the placed size", 3000, 2000, 595, 397, 0, 595, 397},
      {"quality 100 keeps the pixels", 3000, 2000, 595, 397, 100, 3000, 2000},
      {"ties to even", 101, 103, 100, 100, 50, 100, 102},
      {"excess product past 32 bits", 1 << 30, 100, 1, 100, 100, 1 << 30, 100},
  };
  for (const Case& c : cases) {
    TPageSize s = ResampleSize(c.w, c.h, c.w2, c.h2, c.q);
    EXPECT_EQ(s.Width, c.outW) << c.name;
    EXPECT_EQ(s.Height, c.outH) << c.name;
  }
}

TEST(PageGeometry, FirstPictureSize) {
  struct Case {
    const char* name;
    bool has;
    int32_t w, h, s;
    int32_t outW, outH;
  } cases[] = {
      {"empty list", false, 800, 600, 100, 1, 1},
      {"ties to even", true, 1001, 601, 50, 500, 300},
      {"full scale", true, 800, 600, 100, 800, 600},
      {"never below one", true, 3, 1, 10, 1, 1},
  };
  for (const Case& c : cases) {
    TPageSize s = FirstPictureSize(c.has, c.w, c.h, c.s);
    EXPECT_EQ(s.Width, c.outW) << c.name;
    EXPECT_EQ(s.Height, c.outH) << c.name;
  }
}

TEST(PageGeometry, ListTexts) {
  EXPECT_STREQ(PaperNames[0], "A0");
  EXPECT_STREQ(PaperNames[kPaperCount - 1], "US Tabloid");
  EXPECT_STREQ(PositionNames[kDefaultPosition], "中 - 中");
  EXPECT_STREQ(PaperCustomText, "自定义");
}

}  // namespace
