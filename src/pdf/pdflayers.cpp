#include "pdflayers.h"

#include <algorithm>
#include <cstdint>

void TIETextLayer::DrawToPdf(TIEPDFBuilder& builder) const {
  if (WordWrap) builder.DrawTextInRect(Left, Top, Right, Bottom, Text, Font, Size, Angle, Alpha);
  else builder.DrawTextWithFont(Text, Font, Left, Top, Size, Angle, Alpha);
}

void TIELineLayer::DrawToPdf(TIEPDFBuilder& builder) const {
  const TIEDPoint points[2] = {{X1, Y1}, {X2, Y2}};
  builder.DrawPolyline(points, 1, Color, Width, Alpha, LineCap, false, TIEPDFBuilder::NoColor, 1.0);
}

void TIEPolylineLayer::DrawToPdf(TIEPDFBuilder& builder) const {
  builder.DrawPolyline(Points, static_cast<int>(std::min<size_t>(Points.size(), INT32_MAX)) - 1,
                       Pen.LineColor, Pen.LineWidth, Pen.LineAlpha, Pen.LineCap, Pen.Fill, Pen.FillColor,
                       Pen.FillAlpha);
}

void TIEShapeLayer::DrawToPdf(TIEPDFBuilder& builder) const {
  // A kind without an outline draws nothing; the page goes on.
  builder.DrawShape(Shape, Rotation, X1, Y1, X2, Y2, Pen.LineColor, Pen.LineWidth, Pen.LineAlpha, Pen.LineCap,
                    Pen.Fill, Pen.FillColor, Pen.FillAlpha);
}
