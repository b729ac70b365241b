// Drawing layers that render themselves onto a page of a PDF builder: text,
// straight lines, polylines and shapes. Coordinates are points on the page,
// x from the left edge, y down from the top edge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iepdf.h"
#include "pdffonts.h"
#include "pdfshapes.h"

class TIELayer {
public:
  TIELayer() = default;
  virtual ~TIELayer() = default;
  TIELayer(const TIELayer&) = delete;
  TIELayer& operator=(const TIELayer&) = delete;

  // Draws the layer onto the builder's current page.
  virtual void DrawToPdf(TIEPDFBuilder& builder) const = 0;

  bool Visible = true;  // hidden layers are not drawn
};

// Text in a box. With WordWrap the text is wrapped into the box and lines
// that pass its bottom are dropped (unless the text is turned); without, it
// is one line starting at the box's top-left corner.
class TIETextLayer : public TIELayer {
public:
  void DrawToPdf(TIEPDFBuilder& builder) const override;

  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
  std::string Text;  // Windows ANSI bytes
  TIEFont Font;
  double Size = 12;   // points
  double Angle = 0;   // degrees, counter-clockwise
  double Alpha = 1;
  bool WordWrap = true;
};

// Settings shared by the outlined layers.
struct TIELayerPen {
  TIEColor LineColor = 0;  // TIEPDFBuilder::NoColor: no outline
  double LineWidth = 1;
  double LineAlpha = 1;
  int LineCap = 0;  // 0 butt, 1 round, 2 projecting square
  bool Fill = false;
  TIEColor FillColor = TIEPDFBuilder::NoColor;
  double FillAlpha = 1;
};

class TIELineLayer : public TIELayer {
public:
  void DrawToPdf(TIEPDFBuilder& builder) const override;

  double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  TIEColor Color = 0;
  double Width = 1;
  double Alpha = 1;
  int LineCap = 0;
};

// An open path, or a closed and filled one with Pen.Fill.
class TIEPolylineLayer : public TIELayer {
public:
  void DrawToPdf(TIEPDFBuilder& builder) const override;

  std::vector<TIEDPoint> Points;
  TIELayerPen Pen;
};

// A shape in the box with corners (X1, Y1) and (X2, Y2).
class TIEShapeLayer : public TIELayer {
public:
  void DrawToPdf(TIEPDFBuilder& builder) const override;

  TIEShape Shape = iesRectangle;
  double Rotation = 0;  // degrees, counter-clockwise
  double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  TIELayerPen Pen;
};
