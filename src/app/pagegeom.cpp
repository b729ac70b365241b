#include "pagegeom.h"

#include <algorithm>
#include <cmath>
#include <limits>

const char* const PaperNames[kPaperCount] = {
    "A0", "A1", "A2", "A3", "A4", "A5", "A6", "B5", "US Letter", "US Legal", "US Ledger", "US Tabloid",
};
const int32_t PaperWidths[kPaperCount] = {2380, 1684, 1190, 842, 595, 421, 297, 501, 612, 612, 1224, 792};
const int32_t PaperHeights[kPaperCount] = {3368, 2380, 1684, 1190, 842, 595, 421, 709, 792, 1008, 792, 1224};

const char* const PaperFirstPictureText = "第一幅图片尺寸";
const char* const PaperCustomText = "自定义";

const char* const PositionNames[kPositionCount] = {
    "左 - 上", "中 - 上", "右 - 上", "左 - 中", "中 - 中", "右 - 中", "左 - 下", "中 - 下", "右 - 下",
};

namespace {

constexpr int kA4 = 4;

// 1/2.54 in extended precision; the margin results depend on it.
constexpr long double kInchPerCm = 0.3937007874015748L;

int32_t Saturate32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

int32_t Round32(long double v) { return Saturate32(RoundEven(v)); }

bool IsFieldItem(int paperIndex, int itemCount) {
  return paperIndex == itemCount - 1 || paperIndex == itemCount - 2;
}

int TableIndex(int paperIndex) { return paperIndex >= 0 && paperIndex < kPaperCount ? paperIndex : kA4; }

// Margin product of both margin routines: cm x 1/2.54 x 72, in this order.
long double MarginProduct(double cm) { return static_cast<long double>(cm) * kInchPerCm * 72.0L; }

// One axis of the placement: 0 near edge, 1 centred on the whole page, 2 far edge.
int32_t Place(int32_t page, int32_t placed, int32_t margin, int slot) {
  int64_t v;
  switch (slot) {
    case 0: v = margin; break;
    case 1: v = (int64_t(page) - placed) / 2; break;
    default: v = int64_t(page) - placed - margin; break;
  }
  return Saturate32(v);
}

}  // namespace

int64_t RoundEven(long double value) {
  if (std::isnan(value)) return 0;
  constexpr long double kMax = 9223372036854775807.0L;  // rounds to 2^63
  if (value >= kMax) return std::numeric_limits<int64_t>::max();
  if (value <= -kMax) return std::numeric_limits<int64_t>::min();
  long double lower = std::floor(value);
  long double fraction = value - lower;  // exact
  auto result = static_cast<int64_t>(lower);
  if (fraction > 0.5L || (fraction == 0.5L && (result & 1) != 0)) ++result;
  return result;
}

TPageSize PageSize(int paperIndex, bool landscape, int32_t fieldWidth, int32_t fieldHeight,
                   int itemCount) {
  if (IsFieldItem(paperIndex, itemCount)) return {fieldWidth, fieldHeight};
  int i = TableIndex(paperIndex);
  if (landscape) return {PaperHeights[i], PaperWidths[i]};
  return {PaperWidths[i], PaperHeights[i]};
}

int32_t MarginPoints(double cm) { return Round32(MarginProduct(cm)); }

bool MarginsFit(int paperIndex, bool landscape, int32_t fieldWidth, int32_t fieldHeight,
                double cm, int itemCount) {
  (void)landscape;  // a named paper is always judged by its portrait width
  if (std::isnan(cm)) return false;
  int64_t side = IsFieldItem(paperIndex, itemCount) ? std::min(fieldWidth, fieldHeight)
                                                    : PaperWidths[TableIndex(paperIndex)];
  int64_t doubled = RoundEven(MarginProduct(cm) * 2.0L);
  int64_t left;
  // Only an absurd margin overflows; the sign of the doubled margin then
  // says on which side the true difference lies.
  if (__builtin_sub_overflow(side, doubled, &left)) return doubled < 0;
  return left >= 50;
}

TImagePlace FitImageOnPage(int32_t pageWidth, int32_t pageHeight, int32_t margin, int32_t width,
                           int32_t height, int position) {
  // The conversion checks the margins first; the preview does not, so keep
  // at least one point of area and one pixel of picture instead of dividing
  // by zero.
  int64_t availW = std::max<int64_t>(1, int64_t(pageWidth) - 2 * int64_t(margin));
  int64_t availH = std::max<int64_t>(1, int64_t(pageHeight) - 2 * int64_t(margin));
  int64_t w = std::max<int32_t>(1, width);
  int64_t h = std::max<int32_t>(1, height);

  int64_t placedW = w, placedH = h;
  if (w > availW || h > availH) {
    long double ratioW = static_cast<long double>(w) / availW;
    long double ratioH = static_cast<long double>(h) / availH;
    // The products are exact integers: a 32-bit product would wrap for
    // large pictures on large pages and turn the placed size negative.
    if (ratioH >= ratioW) {
      placedH = availH;
      placedW = RoundEven(static_cast<long double>(w * availH) / h);
    } else {
      placedW = availW;
      placedH = RoundEven(static_cast<long double>(h * availW) / w);
    }
    placedW = std::max<int64_t>(1, placedW);
    placedH = std::max<int64_t>(1, placedH);
  }

  if (position < 0 || position >= kPositionCount) position = kPositionCount - 1;
  TImagePlace r;
  r.Width = Saturate32(placedW);
  r.Height = Saturate32(placedH);
  r.X = Place(pageWidth, r.Width, margin, position % 3);
  r.Y = Place(pageHeight, r.Height, margin, position / 3);
  return r;
}

TPageSize ResampleSize(int32_t width, int32_t height, int32_t placedWidth, int32_t placedHeight,
                       int32_t quality) {
  auto axis = [quality](int32_t full, int32_t placed) {
    int64_t excess = (int64_t(full) - placed) * quality;  // exact, see FitImageOnPage
    return std::max<int32_t>(1, Round32(static_cast<long double>(excess) / 100.0L + placed));
  };
  return {axis(width, placedWidth), axis(height, placedHeight)};
}

TPageSize FirstPictureSize(bool hasPicture, int32_t width, int32_t height, int32_t scale) {
  if (!hasPicture) return {1, 1};
  // The fields it fills never go below 1.
  auto axis = [scale](int32_t full) {
    return std::max<int32_t>(1, Round32(static_cast<long double>(int64_t(full) * scale) / 100.0L));
  };
  return {axis(width), axis(height)};
}
