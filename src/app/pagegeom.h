// Page geometry: the paper table, the page and margin sizes, and where and how
// large a picture lands on its page. Pure functions on plain values, shared by
// the command line and the window.
//
// Every length is a PDF point (1/72 inch) in a 32-bit integer; a picture's
// pixel size is taken as its size in points. Every rounding is to nearest with
// ties to even, every halving truncates toward zero.
#pragma once

#include <cstdint>

// Named papers, portrait width and height in points, indexed like the
// paper-size list. "US Ledger" is stored wider than tall on purpose: its
// landscape form is then the same as "US Tabloid" in portrait.
inline constexpr int kPaperCount = 12;
extern const char* const PaperNames[kPaperCount];
extern const int32_t PaperWidths[kPaperCount];
extern const int32_t PaperHeights[kPaperCount];

// The paper-size list holds the named papers, then the first-picture item,
// then the custom item. Code finds the last two by their place relative to the
// item count, so callers pass the count their list really has.
inline constexpr int kPaperItemCount = kPaperCount + 2;

// Texts of the last two items until a language replaces them.
extern const char* const PaperFirstPictureText;  // "第一幅图片尺寸"
extern const char* const PaperCustomText;        // "自定义"

// The nine places of the 3 x 3 grid, index = row * 3 + column.
inline constexpr int kPositionCount = 9;
inline constexpr int kDefaultPosition = 4;  // centre, middle
extern const char* const PositionNames[kPositionCount];

struct TPageSize {
  int32_t Width = 0;
  int32_t Height = 0;
};

// Placed size of a picture and the distances of its left and top edges from
// the page's left and top edges, in points.
struct TImagePlace {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t X = 0;
  int32_t Y = 0;
};

// Rounds to the nearest integer, ties to the even neighbour, whatever the
// floating-point rounding mode. Saturates at the int64 range; NaN gives 0.
int64_t RoundEven(long double value);

// Page size for a paper item. The first-picture and custom items take the
// width and height fields as they are. An index that names no item (a stored
// setting out of range) falls back to A4.
TPageSize PageSize(int paperIndex, bool landscape, int32_t fieldWidth, int32_t fieldHeight,
                   int itemCount = kPaperItemCount);

// Margin in points for a margin in centimetres.
int32_t MarginPoints(double cm);

// Whether the margins leave at least 50 points of the page's shorter side
// (for a named paper, of its portrait width). The doubled margin is rounded
// once, so it can differ from twice MarginPoints.
bool MarginsFit(int paperIndex, bool landscape, int32_t fieldWidth, int32_t fieldHeight,
                double cm, int itemCount = kPaperItemCount);

// Size and place of a w x h pixel picture on a W x H page with margin m at
// grid position p (outside 0..8 places like 8). Pictures shrink to the area
// inside the margins, keeping their proportions, and are never enlarged. The
// result is at least 1 x 1 even when the margins leave no area.
TImagePlace FitImageOnPage(int32_t pageWidth, int32_t pageHeight, int32_t margin, int32_t width,
                           int32_t height, int position);

// Pixel size to resample a w x h picture to before embedding when it is placed
// w2 x h2 points large: quality q is the percentage of the excess pixels that
// remains (0 gives w2 x h2, 100 keeps w x h). Never below 1 x 1.
TPageSize ResampleSize(int32_t width, int32_t height, int32_t placedWidth, int32_t placedHeight,
                       int32_t quality);

// Width and height fields for the first-picture paper: the first picture's
// full pixel size scaled by scale percent, or 1 x 1 when the list is empty.
// Never below 1 x 1, the smallest value of those fields.
TPageSize FirstPictureSize(bool hasPicture, int32_t width, int32_t height, int32_t scale);
