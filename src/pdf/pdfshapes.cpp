#include "pdfshapes.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

namespace {

struct TPt {
  double X, Y;
};

// Points on the ellipse of half axes (hw, hh) at the given angles in degrees,
// measured clockwise on the page from the right (y grows downward).
void AddRegular(std::vector<TPt>& out, double hw, double hh, int count, double firstAngle,
                double innerRatio = 0) {
  int n = innerRatio > 0 ? count * 2 : count;
  double step = 360.0 / n;
  for (int i = 0; i < n; ++i) {
    double a = (firstAngle + step * i) * std::numbers::pi / 180.0;
    double r = (innerRatio > 0 && (i & 1)) ? innerRatio : 1.0;
    out.push_back({std::cos(a) * hw * r, std::sin(a) * hh * r});
  }
}

// Unit polygons in [-1, 1] x [-1, 1], y down, scaled by the half sizes.
void AddUnit(std::vector<TPt>& out, double hw, double hh, std::initializer_list<TPt> unit,
             bool swapAxes = false, bool mirror = false) {
  for (TPt p : unit) {
    if (mirror) p.X = -p.X;
    if (swapAxes) p = {p.Y, p.X};
    out.push_back({p.X * hw, p.Y * hh});
  }
}

void RoundRect(std::vector<TPt>& out, double hw, double hh) {
  double r = std::min(hw, hh) * 0.4;
  // About one segment per two points of arc, enough to look round when
  // printed, few enough to stay far below the point limit.
  int segments = std::clamp(static_cast<int>(std::ceil(r * std::numbers::pi / 4.0)), 2, 32);
  const TPt centres[4] = {{hw - r, -hh + r}, {hw - r, hh - r}, {-hw + r, hh - r}, {-hw + r, -hh + r}};
  for (int c = 0; c < 4; ++c) {
    double start = -90.0 + 90.0 * c;  // top right corner first, clockwise on the page
    for (int i = 0; i <= segments; ++i) {
      double a = (start + 90.0 * i / segments) * std::numbers::pi / 180.0;
      out.push_back({centres[c].X + std::cos(a) * r, centres[c].Y + std::sin(a) * r});
    }
  }
}

const std::initializer_list<TPt> kArrow = {{-1, -0.4}, {0.2, -0.4}, {0.2, -1}, {1, 0},
                                           {0.2, 1},   {0.2, 0.4},  {-1, 0.4}};
const std::initializer_list<TPt> kDoubleArrow = {{-1, 0},     {-0.5, -1}, {-0.5, -0.4}, {0.5, -0.4}, {0.5, -1},
                                                 {1, 0},      {0.5, 1},   {0.5, 0.4},   {-0.5, 0.4}, {-0.5, 1}};

bool Outline(int shape, double hw, double hh, std::vector<TPt>& out) {
  const double t = 1.0 / 3.0;
  switch (shape) {
    case iesRectangle: AddUnit(out, hw, hh, {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}); break;
    case iesRoundRect: RoundRect(out, hw, hh); break;
    case iesTriangle: AddUnit(out, hw, hh, {{0, -1}, {1, 1}, {-1, 1}}); break;
    case iesRightTriangle: AddUnit(out, hw, hh, {{-1, -1}, {1, 1}, {-1, 1}}); break;
    case iesDiamond: AddUnit(out, hw, hh, {{0, -1}, {1, 0}, {0, 1}, {-1, 0}}); break;
    case iesPentagon: AddRegular(out, hw, hh, 5, -90); break;
    case iesHexagon: AddRegular(out, hw, hh, 6, 0); break;
    case iesOctagon: AddRegular(out, hw, hh, 8, 22.5); break;
    // Inner radii of the regular stars: sin 18 / sin 54 and 1 / sqrt 3.
    case iesStar5: AddRegular(out, hw, hh, 5, -90, 0.381966); break;
    case iesStar6: AddRegular(out, hw, hh, 6, -90, 0.577350); break;
    case iesCross:
      AddUnit(out, hw, hh,
              {{-t, -1}, {t, -1}, {t, -t}, {1, -t}, {1, t}, {t, t}, {t, 1}, {-t, 1}, {-t, t}, {-1, t}, {-1, -t}, {-t, -t}});
      break;
    case iesArrowRight: AddUnit(out, hw, hh, kArrow); break;
    case iesArrowLeft: AddUnit(out, hw, hh, kArrow, false, true); break;
    case iesArrowUp: AddUnit(out, hw, hh, kArrow, true, true); break;
    case iesArrowDown: AddUnit(out, hw, hh, kArrow, true); break;
    case iesArrowLeftRight: AddUnit(out, hw, hh, kDoubleArrow); break;
    case iesArrowUpDown: AddUnit(out, hw, hh, kDoubleArrow, true); break;
    default: return false;
  }
  return true;
}

// The whole points from lo to hi, or the rounded middle when none lies
// between them.
int32_t ClampToBox(double v, double lo, double hi) {
  double first = std::ceil(lo), last = std::floor(hi);
  if (first > last) return static_cast<int32_t>(std::nearbyint((lo + hi) / 2));
  return static_cast<int32_t>(std::clamp(std::nearbyint(v), first, last));
}

// An outline that is only stroked is not closed by the painter, so it must
// come back to its start. Starting and ending in the middle of a straight
// edge, not at a corner, leaves no seam of line caps where the ends meet; an
// edge whose middle is a whole point keeps that middle exactly on the edge.
void CloseAtEdgeMiddle(std::vector<TIEPoint>& points) {
  const size_t n = points.size();
  if (n < 2) return;
  size_t edge = 0;
  for (size_t i = 0; i < n; ++i) {
    const TIEPoint& a = points[i];
    const TIEPoint& b = points[(i + 1) % n];
    if (((int64_t(a.X) + b.X) & 1) == 0 && ((int64_t(a.Y) + b.Y) & 1) == 0) {
      edge = i;
      break;
    }
  }
  const TIEPoint& a = points[edge];
  const TIEPoint& b = points[(edge + 1) % n];
  TIEPoint middle{static_cast<int32_t>((int64_t(a.X) + b.X) / 2), static_cast<int32_t>((int64_t(a.Y) + b.Y) / 2)};
  std::rotate(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(edge + 1), points.end());
  // Now b comes first and a last: middle, b, ..., a, middle.
  points.insert(points.begin(), middle);
  points.push_back(middle);
  // A rounded middle may fall on a or b of a one-point edge.
  points.erase(std::unique(points.begin(), points.end()), points.end());
}

}  // namespace

bool IEShapeOutline(int shape, double rotation, double x1, double y1, double x2, double y2,
                    std::vector<TIEPoint>& points) {
  points.clear();
  // Corners must be finite and round to 32-bit integers.
  constexpr double kLimit = 2147483647.0;
  for (double v : {x1, y1, x2, y2})
    if (!std::isfinite(v) || std::fabs(v) >= kLimit) return false;
  if (!std::isfinite(rotation)) return false;
  double left = std::min(x1, x2), right = std::max(x1, x2);
  double top = std::min(y1, y2), bottom = std::max(y1, y2);
  double hw = (right - left) / 2, hh = (bottom - top) / 2;
  double cx = left + hw, cy = top + hh;

  std::vector<TPt> outline;
  if (!Outline(shape, hw, hh, outline)) return false;

  // Counter-clockwise as seen on the page, where y grows downward.
  double a = std::fmod(rotation, 360.0) * std::numbers::pi / 180.0;
  double c = std::cos(a), s = std::sin(a);
  double extentX = 0, extentY = 0;
  for (TPt& p : outline) {
    p = {p.X * c + p.Y * s, -p.X * s + p.Y * c};
    extentX = std::max(extentX, std::fabs(p.X));
    extentY = std::max(extentY, std::fabs(p.Y));
  }
  // Shrink, never stretch, so that the turned shape keeps its proportions.
  double f = 1.0;
  if (extentX > hw) f = std::min(f, hw / extentX);
  if (extentY > hh) f = std::min(f, hh / extentY);

  points.reserve(outline.size());
  for (const TPt& p : outline) {
    TIEPoint q{ClampToBox(cx + p.X * f, left, right), ClampToBox(cy + p.Y * f, top, bottom)};
    if (points.empty() || !(points.back() == q)) points.push_back(q);
  }
  while (points.size() > 1 && points.back() == points.front()) points.pop_back();
  if (points.size() > static_cast<size_t>(kIEMaxShapePoints - 2)) points.resize(kIEMaxShapePoints - 2);
  CloseAtEdgeMiddle(points);
  return true;
}
