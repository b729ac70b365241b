// Text in the standard fonts, polylines, ellipses and shapes on the builder's
// current page, and pages drawn from layers.
#include <algorithm>
#include <cmath>
#include <vector>

#include "iecore.h"
#include "iepdf.h"
#include "ieparams.h"
#include "pdffonts.h"
#include "pdflayers.h"
#include "pdfshapes.h"

void TIEPDFBuilder::DrawText(std::string_view text, std::string_view baseFont, double x, double y,
                             double size, double angle, TIEColor fillColor, double fillAlpha,
                             TIEColor strokeColor, double strokeAlpha, int renderMode, double lineWidth) {
  // Fails before anything changes when there is no page to draw on.
  double baseline = PageToPdfY(currentPage_, y + size);

  // A name outside the fourteen would leave the text without a font
  // resource; it is taken as a family name instead.
  std::string name(baseFont);
  if (std::find(fontNames_.begin(), fontNames_.end(), name) == fontNames_.end() &&
      IEStandardFontIndex(name) < 0)
    name = IEMapToStandardFont(name, false, false);
  auto found = std::find(fontNames_.begin(), fontNames_.end(), name);
  int index = static_cast<int>(found - fontNames_.begin());
  if (found == fontNames_.end()) {
    fontNames_.reserve(fontNames_.size() + 1);
    FontResources().Add("F" + std::to_string(index), IENewFontResource(name));
    fontNames_.push_back(name);
  }

  std::string s;
  SaveGraphicsState(s);
  Translate(s, x, baseline);
  Rotate(s, angle);
  SetFillColor(s, fillColor);
  SetFillAlpha(s, fillAlpha);
  SetStrokeColor(s, strokeColor);
  SetStrokeAlpha(s, strokeAlpha);
  SetLineWidth(s, lineWidth);
  ShowText(s, index, size, renderMode, text);
  RestoreGraphicsState(s);
  AppendPageContent(currentPage_, s);
}

void TIEPDFBuilder::DrawTextWithFont(std::string_view text, const TIEFont& font, double x, double y,
                                     double size, double angle, double alpha) {
  DrawText(text, IEMapToStandardFont(font), x, y, size, angle, font.Color, alpha, font.Color, alpha, 0, 1.0);
}

void TIEPDFBuilder::DrawTextInRect(int32_t left, int32_t top, int32_t right, int32_t bottom,
                                   std::string_view text, const TIEFont& font, double size, double angle,
                                   double alpha) {
  // The reader lays the text out with the standard font's widths, so the
  // same widths decide where lines break. Widths add up without kerning, so
  // each measurement is a sum kept in thousandths of the size rather than a
  // new pass over the line. The line height is the size in whole points.
  const int fontIndex = IEStandardFontIndex(IEMapToStandardFont(font));
  auto units = [&](unsigned char c) -> int64_t {
    return c < kIEFontFirstCode ? 0 : kIEStandardFontWidths[fontIndex][c - kIEFontFirstCode];
  };
  const double lineHeight = std::nearbyint(size);
  auto fits = [&](int64_t measuredUnits) {
    return !(static_cast<double>(left) + static_cast<double>(measuredUnits) * size / 1000.0 >= right);
  };

  std::string line, word;
  int64_t lineUnits = 0, wordUnits = 0;
  double penY = top;
  bool stopped = false;
  auto emit = [&](const std::string& out) {
    if (penY + lineHeight > bottom && angle == 0) {
      stopped = true;
      return;
    }
    bool visible = std::any_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) > ' '; });
    if (visible) DrawTextWithFont(out, font, left, penY, size, angle, alpha);
    penY += lineHeight;
  };

  // The text is read as if one blank followed it, so its last word ends.
  const size_t count = text.size() + 1;
  for (size_t i = 0; i < count && !stopped; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c == ' ' || c == '\r' || c == '\n') {
      bool both = !line.empty() && !word.empty();
      int64_t joinedUnits = lineUnits + wordUnits + (both ? units(' ') : 0);
      // A line feed breaks like a word that does not fit: the word before it
      // opens the next line.
      if (c == '\n' || !fits(joinedUnits + units('X'))) {
        emit(line);
        line = std::move(word);
        lineUnits = wordUnits;
      } else {
        if (both) line += ' ';
        line += word;
        lineUnits = joinedUnits;
      }
      word.clear();
      wordUnits = 0;
      if (i + 1 == count && !line.empty() && !stopped) emit(line);
    } else {
      int64_t grown = wordUnits + units(static_cast<unsigned char>(c));
      if (!word.empty() && !fits(grown)) {
        if (!line.empty()) {
          emit(line);
          line.clear();
          lineUnits = 0;
        }
        if (!stopped) emit(word);
        word.clear();
        wordUnits = 0;
        grown = units(static_cast<unsigned char>(c));
      }
      word += c;
      wordUnits = grown;
    }
  }
}

void TIEPDFBuilder::DrawPolyline(std::span<const TIEDPoint> points, int lastIndex, TIEColor strokeColor,
                                 double lineWidth, double strokeAlpha, int lineCap, bool fill,
                                 TIEColor fillColor, double fillAlpha) {
  int64_t last = std::min<int64_t>(lastIndex, static_cast<int64_t>(points.size()) - 1);
  // Painting with no path is an error in a content stream.
  if (last < 0) return;
  std::vector<TIEDPoint> page(points.begin(), points.begin() + last + 1);
  for (TIEDPoint& p : page) p.Y = PageToPdfY(currentPage_, p.Y);
  if (strokeColor == NoColor || lineWidth == 0) strokeAlpha = 0;
  if (fillColor == NoColor) fill = false;

  std::string s;
  SaveGraphicsState(s);
  SetStrokeColor(s, strokeColor);
  SetStrokeAlpha(s, strokeAlpha);
  SetLineWidth(s, lineWidth);
  Polyline(s, page, static_cast<int>(last));
  SetLineCap(s, lineCap);
  if (fill) {
    SetFillColor(s, fillColor);
    SetFillAlpha(s, fillAlpha);
    ClosePath(s);
    FillAndStrokePath(s);
  } else {
    StrokePath(s);
  }
  RestoreGraphicsState(s);
  AppendPageContent(currentPage_, s);
}

void TIEPDFBuilder::DrawPolyline(const TIEPoint* points, int count, TIEColor strokeColor, double lineWidth,
                                 double strokeAlpha, int lineCap, bool fill, TIEColor fillColor,
                                 double fillAlpha) {
  if (!points || count <= 0) return;
  std::vector<TIEDPoint> reals(static_cast<size_t>(count));
  for (size_t i = 0; i < reals.size(); ++i) reals[i] = {double(points[i].X), double(points[i].Y)};
  DrawPolyline(reals, count - 1, strokeColor, lineWidth, strokeAlpha, lineCap, fill, fillColor, fillAlpha);
}

void TIEPDFBuilder::DrawEllipse(double x1, double y1, double x2, double y2, TIEColor strokeColor,
                                double lineWidth, double strokeAlpha, bool fill, TIEColor fillColor,
                                double fillAlpha) {
  y1 = PageToPdfY(currentPage_, y1);
  y2 = PageToPdfY(currentPage_, y2);
  if (strokeColor == NoColor || lineWidth == 0) strokeAlpha = 0;
  if (fillColor == NoColor) fill = false;

  // Four Bezier quarters; k places the control points so that each quarter
  // stays within 0.03 % of the true ellipse.
  const double k = 0.552284749831;
  const double rx = std::fabs(x2 - x1) * k / 2, ry = std::fabs(y2 - y1) * k / 2;
  const double cx = (x1 + x2) / 2, cy = (y1 + y2) / 2;

  std::string s;
  SaveGraphicsState(s);
  SetStrokeColor(s, strokeColor);
  SetStrokeAlpha(s, strokeAlpha);
  SetLineWidth(s, lineWidth);
  MoveTo(s, x1, cy);
  CurveTo(s, x1, cy + ry, cx - rx, y1, cx, y1);
  CurveTo(s, cx + rx, y1, x2, cy + ry, x2, cy);
  CurveTo(s, x2, cy - ry, cx + rx, y2, cx, y2);
  CurveTo(s, cx - rx, y2, x1, cy - ry, x1, cy);
  if (fill) {
    SetFillColor(s, fillColor);
    SetFillAlpha(s, fillAlpha);
    FillAndStrokePath(s);
  } else {
    StrokePath(s);
  }
  RestoreGraphicsState(s);
  AppendPageContent(currentPage_, s);
}

bool TIEPDFBuilder::DrawShape(int shapeKind, double rotation, double x1, double y1, double x2, double y2,
                              TIEColor strokeColor, double lineWidth, double strokeAlpha, int lineCap, bool fill,
                              TIEColor fillColor, double fillAlpha) {
  if (shapeKind == iesEllipse) {
    DrawEllipse(x1, y1, x2, y2, strokeColor, lineWidth, strokeAlpha, fill, fillColor, fillAlpha);
    return true;
  }
  std::vector<TIEPoint> outline;
  if (!IEShapeOutline(shapeKind, rotation, x1, y1, x2, y2, outline)) return false;
  DrawPolyline(outline.data(), static_cast<int>(outline.size()), strokeColor, lineWidth, strokeAlpha, lineCap, fill,
               fillColor, fillAlpha);
  return true;
}

int TIEPDFBuilder::AddLayersPage(std::span<TIELayer* const> layers, const TIOParams& params,
                                 TProgressRecord* progress) {
  int page = AddPage(params.PdfPaperWidth, params.PdfPaperHeight);
  const int64_t count = static_cast<int64_t>(layers.size());
  for (int64_t i = 0; i < count; ++i) {
    if (progress && progress->fnet) progress->Report(static_cast<int>(i * 100 / (count + 1)));
    const TIELayer* layer = layers[static_cast<size_t>(i)];
    if (layer && layer->Visible) layer->DrawToPdf(*this);
  }
  return page;
}
