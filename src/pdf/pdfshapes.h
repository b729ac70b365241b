// Outlines of the shapes a drawing can hold, as polygons of integer points
// in page space (points, y down from the top edge).
#pragma once

#include <cstdint>
#include <vector>

// A point in whole points.
struct TIEPoint {
  int32_t X = 0;
  int32_t Y = 0;
  friend bool operator==(const TIEPoint&, const TIEPoint&) = default;
};

// Shape kinds. Value order is stored by callers; do not reorder. iesEllipse
// has no outline here: the builder draws it with curves.
enum TIEShape : uint8_t {
  iesEllipse,
  iesRectangle,
  iesRoundRect,
  iesTriangle,       // apex at the top centre
  iesRightTriangle,  // right angle at the bottom left
  iesDiamond,
  iesPentagon,
  iesHexagon,
  iesOctagon,
  iesStar5,
  iesStar6,
  iesCross,          // a plus sign
  iesArrowRight,
  iesArrowLeft,
  iesArrowUp,
  iesArrowDown,
  iesArrowLeftRight,
  iesArrowUpDown,
};
inline constexpr int kIEShapeCount = iesArrowUpDown + 1;

// Most points an outline may have.
inline constexpr int kIEMaxShapePoints = 1000;

// Outline of shape in the box with corners (x1, y1) and (x2, y2) (either
// order), turned by rotation degrees counter-clockwise about the box centre
// and shrunk about that centre just enough to stay inside the box. The
// outline is closed: it starts in the middle of an edge and its last point
// repeats the first, so that stroking it without filling draws every side.
// Fails, leaving points empty, for iesEllipse, an unknown kind, a box with a
// non-finite corner or a box beyond the range of 32-bit points.
bool IEShapeOutline(int shape, double rotation, double x1, double y1, double x2, double y2,
                    std::vector<TIEPoint>& points);
