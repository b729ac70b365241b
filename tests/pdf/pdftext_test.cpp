#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "iecore.h"
#include "iepdf.h"
#include "ieparams.h"
#include "iestream.h"
#include "pdffonts.h"
#include "pdflayers.h"
#include "pdfshapes.h"
#include "testsupport.h"

namespace {

using testsupport::Quote;
using testsupport::RunCommand;

constexpr TIEColor kBlack = 0x000000;
constexpr TIEColor kRed = 0x0000FF;
constexpr TIEColor kGreen = 0x00FF00;
constexpr TIEColor kBlue = 0xFF0000;
constexpr TIEColor kNone = TIEPDFBuilder::NoColor;

std::string ContentOf(const TIEPDFBuilder& b, int page = 0) {
  const auto& data = b.Content(page).Data;
  return std::string(data.begin(), data.end());
}

std::string TextOf(TIEPDFObject& object) {
  TIEMemoryStream s;
  object.WriteTo(s);
  return std::string(reinterpret_cast<const char*>(s.Data()), static_cast<size_t>(s.Size()));
}

// The strings shown by Tj operators, in order.
std::vector<std::string> ShownTexts(const std::string& content) {
  std::vector<std::string> out;
  size_t pos = 0;
  while ((pos = content.find("\n(", pos)) != std::string::npos) {
    size_t end = content.find(") Tj", pos);
    out.push_back(content.substr(pos + 2, end - pos - 2));
    pos = end;
  }
  return out;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) ++n;
  return n;
}

void Save(TIEPDFBuilder& b, const std::string& path) { b.SaveToFile(path, "", "", "", "", "", "", 0); }

TEST(PdfText, DrawTextWritesTheOperatorsInOrder) {
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  b.DrawText("Hi", "Helvetica", 10, 20, 12, 0, kBlack, 1, kBlack, 1, 0, 1);
  EXPECT_EQ(ContentOf(b),
            "\nq\n1. 0. 0. 1. 10.00 810.00 cm\n0.00 0.00 0.00 rg\n/GSF255 gs\n0.00 0.00 0.00 RG\n/GSS255 gs\n"
            "1.00 w\nBT\n/F0 12.00 Tf\n0 Tr\n(Hi) Tj\nET\nQ");
  EXPECT_EQ(TextOf(b.FontResources()),
            "<< /F0 << /Type /Font\n/Subtype /Type1\n/BaseFont /Helvetica\n/Encoding /WinAnsiEncoding\n>>\n>>");
}

TEST(PdfText, RotatedColouredTextAndEscapes) {
  TIEPDFBuilder b;
  b.AddPage(200, 100);
  b.DrawText("a(b)", "Courier-Bold", 5, 10, 8, 90, kRed, 0.5, kBlue, 1, 2, 0.5);
  EXPECT_EQ(ContentOf(b),
            "\nq\n1. 0. 0. 1. 5.00 82.00 cm\n0.00 1.00 -1.00 0.00 0 0 cm\n1.00 0.00 0.00 rg\n/GSF127 gs\n"
            "0.00 0.00 1.00 RG\n/GSS255 gs\n0.50 w\nBT\n/F0 8.00 Tf\n2 Tr\n(a\\(b\\)) Tj\nET\nQ");
}

TEST(PdfText, FontMapping) {
  struct Case {
    const char* name;
    bool bold, italic;
    const char* expected;
  } cases[] = {
      {"Times New Roman", true, false, "Times-Bold"},
      {"Times New Roman", false, false, "Times-Roman"},
      {"times new roman", true, true, "Times-BoldItalic"},
      {"Courier New", false, true, "Courier-Oblique"},
      {"Courier New", true, true, "Courier-BoldOblique"},
      {"Arial", true, true, "Helvetica-BoldOblique"},
      {"Arial", false, true, "Helvetica-Oblique"},
      {"Symbol", true, false, "Symbol"},
      {"Symbol", false, true, "Symbol"},
      {"Roman Courier", false, false, "Times-Roman"},  // the first rule wins
      {"ZapfDingbats", false, false, "Helvetica"},      // never chosen
      {"", true, false, "Helvetica-Bold"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IEMapToStandardFont(c.name, c.bold, c.italic), c.expected);
  }
}

TEST(PdfText, OneResourcePerBaseFont) {
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  b.DrawText("one", "Helvetica", 0, 0, 10, 0, kBlack, 1, kBlack, 1, 0, 1);
  b.DrawText("two", "Helvetica", 0, 20, 10, 0, kBlack, 1, kBlack, 1, 0, 1);
  ASSERT_EQ(b.FontResources().Count(), 1);
  b.DrawText("three", "Times-Roman", 0, 40, 10, 0, kBlack, 1, kBlack, 1, 0, 1);
  TIEFont arial;  // maps to Helvetica, already there
  b.DrawTextWithFont("four", arial, 0, 60, 10, 0, 1);
  ASSERT_EQ(b.FontResources().Count(), 2);
  EXPECT_EQ(b.FontResources().Key(1), "F1");
  EXPECT_EQ(TextOf(*b.FontResources().Object(1)),
            "<< /Type /Font\n/Subtype /Type1\n/BaseFont /Times-Roman\n/Encoding /WinAnsiEncoding\n>>");
  std::string content = ContentOf(b);
  EXPECT_EQ(CountOf(content, "/F0 10.00 Tf"), 3u);
  EXPECT_EQ(CountOf(content, "/F1 10.00 Tf"), 1u);
}

TEST(PdfText, UnknownBaseFontStillGetsAResource) {
  // A name outside the fourteen is read as a family name, so the text never
  // refers to a font the document lacks.
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  b.DrawText("x", "Courier New", 0, 0, 10, 0, kBlack, 1, kBlack, 1, 0, 1);
  ASSERT_EQ(b.FontResources().Count(), 1);
  EXPECT_NE(TextOf(b.FontResources()).find("/BaseFont /Courier\n"), std::string::npos);
  b.DrawText("y", "Courier", 0, 0, 10, 0, kBlack, 1, kBlack, 1, 0, 1);
  EXPECT_EQ(b.FontResources().Count(), 1);
}

TEST(PdfText, DrawTextWithFontUsesTheFontColour) {
  TIEPDFBuilder b;
  b.AddPage(100, 100);
  TIEFont font{"Times New Roman", false, true, kGreen};
  b.DrawTextWithFont("z", font, 1, 2, 10, 0, 0.5);
  EXPECT_EQ(ContentOf(b),
            "\nq\n1. 0. 0. 1. 1.00 88.00 cm\n0.00 1.00 0.00 rg\n/GSF127 gs\n0.00 1.00 0.00 RG\n/GSS127 gs\n"
            "1.00 w\nBT\n/F0 10.00 Tf\n0 Tr\n(z) Tj\nET\nQ");
  EXPECT_NE(TextOf(b.FontResources()).find("/Times-Italic"), std::string::npos);
}

TEST(PdfText, DrawingWithoutAPageFailsWithoutChanges) {
  TIEPDFBuilder b;
  EXPECT_THROW(b.DrawText("x", "Helvetica", 0, 0, 10, 0, kBlack, 1, kBlack, 1, 0, 1), EIEException);
  EXPECT_EQ(b.FontResources().Count(), 0);
  const TIEDPoint pts[2] = {{0, 0}, {1, 1}};
  EXPECT_THROW(b.DrawPolyline(pts, 1, kBlack, 1, 1, 0, false, kNone, 1), EIEException);
  EXPECT_THROW(b.DrawEllipse(0, 0, 1, 1, kBlack, 1, 1, false, kNone, 1), EIEException);
}

TEST(PdfText, TextWidthsAreTheStandardFontMetrics) {
  // Widths a reader uses for these fonts (thousandths of the size).
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Helvetica"), "Hi", 1000), 722 + 222);
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Times-Roman"), "a'", 1000), 444 + 180);
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Courier-BoldOblique"), "\x80\xE9\xFF", 10), 18);
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Helvetica-Bold"), "\x80", 1000), 556);  // Euro
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Helvetica"), "\t\n", 12), 0);
  EXPECT_DOUBLE_EQ(IETextWidth(IEStandardFontIndex("Times-Bold"), "W", 10), 10);
  TIETextExtent e = IEMeasureText(TIEFont{"Arial", true, false, 0}, "AV", 10);
  EXPECT_NEAR(e.Width, 13.89, 1e-9);  // Helvetica-Bold 722 + 667: readers do not kern Tj
  EXPECT_DOUBLE_EQ(e.Height, 10);
}

TEST(PdfText, DrawTextInRectWrapsWords) {
  // Helvetica at 10 points: "one two" + X is 41.69 wide, "one two three" + X
  // 67.26, "three four" + X 49.47, "five six" + X 37.23.
  struct Case {
    const char* name;
    std::string text;
    int right;
    std::vector<std::string> lines;
  } cases[] = {
      {"words", "one two three four five six", 60, {"one two", "three four", "five six"}},
      {"carriage return separates like a blank", "one\rtwo three", 60, {"one two", "three"}},
      {"line feed breaks before its word", "hello world\nfoo", 500, {"hello", "world foo"}},
      {"carriage return and line feed end the line", "one two\r\nthree", 500, {"one two", "three"}},
      {"long word is cut", "abcdefgh", 20, {"abc", "defg", "h"}},
      {"long word after a line", "ab cdefgh", 20, {"ab", "cdef", "gh"}},
      {"blanks only", "   ", 100, {}},
      {"empty", "", 100, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    b.AddPage(595, 842);
    b.DrawTextInRect(0, 0, c.right, 800, c.text, TIEFont{"Arial", false, false, 0}, 10, 0, 1);
    EXPECT_EQ(ShownTexts(ContentOf(b)), c.lines);
  }
}

TEST(PdfText, DrawTextInRectStopsAtTheBottomOnlyUnturned) {
  const std::string text = "one two three four five six";
  TIEFont font{"Helvetica", false, false, 0};
  {
    TIEPDFBuilder b;
    b.AddPage(595, 842);
    b.DrawTextInRect(0, 0, 60, 25, text, font, 10, 0, 1);
    std::string content = ContentOf(b);
    EXPECT_EQ(ShownTexts(content), (std::vector<std::string>{"one two", "three four"}));
    // Lines go down by the size: baselines 10 and 20 points below the top.
    EXPECT_NE(content.find("1. 0. 0. 1. 0.00 832.00 cm"), std::string::npos);
    EXPECT_NE(content.find("1. 0. 0. 1. 0.00 822.00 cm"), std::string::npos);
  }
  {
    TIEPDFBuilder b;
    b.AddPage(595, 842);
    b.DrawTextInRect(0, 0, 60, 25, text, font, 10, 30, 1);
    EXPECT_EQ(ShownTexts(ContentOf(b)), (std::vector<std::string>{"one two", "three four", "five six"}));
  }
}

TEST(PdfText, PolylinePaths) {
  const TIEDPoint pts[3] = {{10, 10}, {100, 10}, {100, 100}};
  struct Case {
    const char* name;
    TIEColor stroke;
    double width;
    bool fill;
    TIEColor fillColor;
    std::string expected;
  } cases[] = {
      {"no-colour stroke keeps the path under alpha 0", kNone, 1, false, kNone,
       "\nq\n1.00 1.00 1.00 RG\n/GSS0 gs\n1.00 w\n10.00 90.00 m 100.00 90.00 l 100.00 0.00 l \n1 J\nS\nQ"},
      {"zero width strokes nothing either", kRed, 0, false, kNone,
       "\nq\n1.00 0.00 0.00 RG\n/GSS0 gs\n0.00 w\n10.00 90.00 m 100.00 90.00 l 100.00 0.00 l \n1 J\nS\nQ"},
      {"filled path is closed", kRed, 2, true, kGreen,
       "\nq\n1.00 0.00 0.00 RG\n/GSS127 gs\n2.00 w\n10.00 90.00 m 100.00 90.00 l 100.00 0.00 l \n1 J"
       "\n0.00 1.00 0.00 rg\n/GSF63 gs\nh\nB\nQ"},
      {"no-colour fill leaves it open", kRed, 2, true, kNone,
       "\nq\n1.00 0.00 0.00 RG\n/GSS127 gs\n2.00 w\n10.00 90.00 m 100.00 90.00 l 100.00 0.00 l \n1 J\nS\nQ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    b.AddPage(200, 100);
    b.DrawPolyline(pts, 2, c.stroke, c.width, 0.5, 1, c.fill, c.fillColor, 0.25);
    EXPECT_EQ(ContentOf(b), c.expected);
  }
}

TEST(PdfText, PolylineIntegerFormAndEmptyLists) {
  TIEPDFBuilder b;
  b.AddPage(200, 100);
  const TIEPoint ints[2] = {{1, 2}, {3, 4}};
  b.DrawPolyline(ints, 2, kBlack, 1, 1, 0, false, kNone, 1);
  EXPECT_EQ(ContentOf(b), "\nq\n0.00 0.00 0.00 RG\n/GSS255 gs\n1.00 w\n1.00 98.00 m 3.00 96.00 l \n0 J\nS\nQ");
  // Painting without a path would be an error in the content stream.
  std::string before = ContentOf(b);
  b.DrawPolyline(ints, 0, kBlack, 1, 1, 0, false, kNone, 1);
  b.DrawPolyline(std::span<const TIEDPoint>(), 5, kBlack, 1, 1, 0, false, kNone, 1);
  EXPECT_EQ(ContentOf(b), before);
}

TEST(PdfText, EllipseIsFourCurves) {
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  b.DrawEllipse(0, 0, 100, 50, kBlack, 1, 1, false, kNone, 1);
  EXPECT_EQ(ContentOf(b),
            "\nq\n0.00 0.00 0.00 RG\n/GSS255 gs\n1.00 w\n0.00 817.00 m"
            "\n0.00 830.81 22.39 842.00 50.00 842.00 c"
            "\n77.61 842.00 100.00 830.81 100.00 817.00 c"
            "\n100.00 803.19 77.61 792.00 50.00 792.00 c"
            "\n22.39 792.00 0.00 803.19 0.00 817.00 c\nS\nQ");
  TIEPDFBuilder filled;
  filled.AddPage(595, 842);
  filled.DrawEllipse(0, 0, 100, 50, kNone, 1, 1, true, kBlue, 1);
  std::string content = ContentOf(filled);
  EXPECT_NE(content.find("/GSS0 gs"), std::string::npos);
  EXPECT_NE(content.find(" c\n0.00 0.00 1.00 rg\n/GSF255 gs\nB\nQ"), std::string::npos);
  EXPECT_EQ(content.find("\nh"), std::string::npos);
}

TEST(PdfShapes, OutlinesStayInsideTheBox) {
  const double rotations[] = {0, 30, 45, 90, 135, 200, -75, 3600};
  struct Box {
    double x1, y1, x2, y2;
  } boxes[] = {{10, 20, 110, 70}, {300, 300, 290, 100}, {5, 5, 5, 50}, {0, 0, 1, 1}, {0, 0, 20000, 20000}};
  for (int kind = 1; kind < kIEShapeCount; ++kind) {
    for (double r : rotations) {
      for (const Box& box : boxes) {
        SCOPED_TRACE("kind " + std::to_string(kind) + " rotation " + std::to_string(r));
        std::vector<TIEPoint> pts;
        ASSERT_TRUE(IEShapeOutline(kind, r, box.x1, box.y1, box.x2, box.y2, pts));
        ASSERT_FALSE(pts.empty());
        EXPECT_LE(pts.size(), static_cast<size_t>(kIEMaxShapePoints));
        // Closed, so that a stroke alone draws every side.
        if (pts.size() > 1) {
          EXPECT_EQ(pts.front(), pts.back());
        }
        for (const TIEPoint& p : pts) {
          EXPECT_GE(p.X, std::min(box.x1, box.x2));
          EXPECT_LE(p.X, std::max(box.x1, box.x2));
          EXPECT_GE(p.Y, std::min(box.y1, box.y2));
          EXPECT_LE(p.Y, std::max(box.y1, box.y2));
        }
      }
    }
  }
}

TEST(PdfShapes, RotationTurnsCounterClockwise) {
  auto topmost = [](const std::vector<TIEPoint>& v) {
    TIEPoint t = v.front();
    for (const TIEPoint& p : v)
      if (p.Y < t.Y) t = p;
    return t;
  };
  auto bottommost = [](const std::vector<TIEPoint>& v) {
    TIEPoint t = v.front();
    for (const TIEPoint& p : v)
      if (p.Y > t.Y) t = p;
    return t;
  };
  std::vector<TIEPoint> pts;
  // The triangle's apex is at the top centre; half a turn puts it at the bottom.
  ASSERT_TRUE(IEShapeOutline(iesTriangle, 0, 0, 0, 100, 100, pts));
  EXPECT_EQ(topmost(pts), (TIEPoint{50, 0}));
  ASSERT_TRUE(IEShapeOutline(iesTriangle, 180, 0, 0, 100, 100, pts));
  EXPECT_EQ(bottommost(pts), (TIEPoint{50, 100}));
  // A right arrow turned a quarter counter-clockwise points up.
  ASSERT_TRUE(IEShapeOutline(iesArrowRight, 90, 0, 0, 100, 100, pts));
  std::vector<TIEPoint> up;
  ASSERT_TRUE(IEShapeOutline(iesArrowUp, 0, 0, 0, 100, 100, up));
  EXPECT_EQ(topmost(pts), (TIEPoint{50, 0}));
  EXPECT_EQ(topmost(up), (TIEPoint{50, 0}));
  // A square turned by 45 degrees shrinks so that its corners touch the box.
  ASSERT_TRUE(IEShapeOutline(iesRectangle, 45, 0, 0, 100, 100, pts));
  EXPECT_EQ(topmost(pts), (TIEPoint{50, 0}));
}

TEST(PdfShapes, RectangleStartsMidEdgeAndCloses) {
  std::vector<TIEPoint> pts;
  ASSERT_TRUE(IEShapeOutline(iesRectangle, 0, 110, 70, 10, 20, pts));
  EXPECT_EQ(pts, (std::vector<TIEPoint>{{60, 20}, {110, 20}, {110, 70}, {10, 70}, {10, 20}, {60, 20}}));
}

TEST(PdfShapes, FailsWithoutAnOutline) {
  std::vector<TIEPoint> pts{{1, 1}};
  const double inf = INFINITY;
  EXPECT_FALSE(IEShapeOutline(iesEllipse, 0, 0, 0, 10, 10, pts));
  EXPECT_TRUE(pts.empty());
  EXPECT_FALSE(IEShapeOutline(kIEShapeCount, 0, 0, 0, 10, 10, pts));
  EXPECT_FALSE(IEShapeOutline(-1, 0, 0, 0, 10, 10, pts));
  EXPECT_FALSE(IEShapeOutline(iesRectangle, 0, 0, 0, inf, 10, pts));
  EXPECT_FALSE(IEShapeOutline(iesRectangle, NAN, 0, 0, 10, 10, pts));
  EXPECT_FALSE(IEShapeOutline(iesRectangle, 0, 0, 0, 3e9, 10, pts));

  TIEPDFBuilder b;
  b.AddPage(100, 100);
  EXPECT_FALSE(b.DrawShape(200, 0, 0, 0, 10, 10, kBlack, 1, 1, 0, false, kNone, 1));
  EXPECT_TRUE(ContentOf(b).empty());
  EXPECT_TRUE(b.DrawShape(iesEllipse, 0, 0, 0, 10, 10, kBlack, 1, 1, 0, false, kNone, 1));
  EXPECT_EQ(CountOf(ContentOf(b), " c\n"), 4u);
  EXPECT_TRUE(b.DrawShape(iesStar5, 10, 0, 0, 50, 50, kBlack, 1, 1, 0, true, kRed, 1));
  EXPECT_NE(ContentOf(b).find("\nh\nB\nQ"), std::string::npos);
}

// --- Oracles -------------------------------------------------------------------

struct TPixmap {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Reads the binary PPM that pdftoppm writes.
bool ReadPpm(const std::string& path, TPixmap& out) {
  std::vector<uint8_t> bytes = testsupport::ReadFileBytes(path);
  std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
  int maxval = 0, consumed = 0;
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &out.width, &out.height, &maxval, &consumed) != 3) return false;
  size_t start = static_cast<size_t>(consumed) + 1, size = static_cast<size_t>(out.width) * out.height * 3;
  if (maxval != 255 || bytes.size() < start + size) return false;
  out.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                 bytes.begin() + static_cast<std::ptrdiff_t>(start + size));
  return true;
}

TEST(PdfTextOracle, ShapesRenderWhereTheCoordinatesSay) {
  if (!testsupport::HaveTool("pdftoppm")) GTEST_SKIP() << "pdftoppm not installed";
  testsupport::TempDir dir;
  TIEPDFBuilder b;
  b.AddPage(200, 200);
  b.DrawShape(iesRectangle, 0, 20, 20, 80, 60, kNone, 1, 1, 0, true, kRed, 1);
  b.DrawShape(iesEllipse, 0, 110, 20, 190, 80, kNone, 1, 1, 0, true, kBlue, 1);
  b.DrawShape(iesTriangle, 0, 20, 110, 80, 190, kNone, 1, 1, 0, true, kGreen, 1);
  b.DrawShape(iesDiamond, 45, 110, 110, 190, 190, kNone, 1, 1, 0, true, kRed, 1);
  const TIEDPoint line[2] = {{0, 100}, {200, 100}};
  b.DrawPolyline(line, 1, kBlue, 4, 1, 0, false, kNone, 1);
  std::string pdf = dir.File("shapes.pdf");
  Save(b, pdf);
  EXPECT_EQ(testsupport::QpdfProblems(pdf), "");
  auto r = RunCommand("pdftoppm -r 72 -singlefile " + Quote(pdf) + " " + Quote(dir.File("shapes")));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  TPixmap px;
  ASSERT_TRUE(ReadPpm(dir.File("shapes.ppm"), px));
  ASSERT_EQ(px.width, 200);
  ASSERT_EQ(px.height, 200);
  enum { white, red, green, blue };
  struct Sample {
    int x, y, colour;
    const char* what;
  } samples[] = {
      {50, 40, red, "rectangle centre"},
      {23, 23, red, "rectangle corner"},
      {50, 65, white, "below the rectangle"},
      {15, 40, white, "left of the rectangle"},
      {150, 50, blue, "ellipse centre"},
      {150, 24, blue, "ellipse top"},
      {113, 23, white, "box corner outside the ellipse"},
      {50, 180, green, "triangle base"},
      {25, 115, white, "beside the apex"},
      {125, 125, red, "corner of the turned diamond"},
      {114, 150, white, "left tip of an unturned diamond"},
      {100, 100, blue, "horizontal line"},
      {100, 105, white, "below the line"},
  };
  for (const Sample& s : samples) {
    const uint8_t* p = px.At(s.x, s.y);
    SCOPED_TRACE(std::string(s.what) + " rgb " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " +
                 std::to_string(p[2]));
    bool high[3] = {p[0] > 200, p[1] > 200, p[2] > 200};
    bool low[3] = {p[0] < 60, p[1] < 60, p[2] < 60};
    switch (s.colour) {
      case white: EXPECT_TRUE(high[0] && high[1] && high[2]); break;
      case red: EXPECT_TRUE(high[0] && low[1] && low[2]); break;
      case green: EXPECT_TRUE(low[0] && high[1] && low[2]); break;
      case blue: EXPECT_TRUE(low[0] && low[1] && high[2]); break;
    }
  }
}

TEST(PdfTextOracle, ReadersExtractTheDrawnText) {
  if (!testsupport::HaveTool("pdftotext")) GTEST_SKIP() << "pdftotext not installed";
  testsupport::TempDir dir;
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  // Windows ANSI bytes: e acute, euro, i diaeresis, curly quotes, sharp s.
  b.DrawText("Caf\xE9 \x80" "100 na\xEFve \x93quoted\x94 Gr\xFC\xDF" "e", "Helvetica", 50, 50, 14, 0, kBlack, 1,
             kBlack, 1, 0, 1);
  b.DrawTextWithFont("Bold (Times) back\\slash", TIEFont{"Times New Roman", true, false, kBlue}, 50, 100, 12, 0, 1);
  b.DrawTextWithFont("Typewriter", TIEFont{"Courier New", false, true, kRed}, 50, 150, 12, 0, 1);
  // Symbol bytes go through its own encoding: a b g p are Greek letters.
  b.DrawTextWithFont("abgp", TIEFont{"Symbol", false, false, kBlack}, 300, 150, 12, 0, 1);
  b.DrawTextInRect(50, 200, 250, 400, "The quick brown fox jumps over the lazy dog and keeps on running",
                   TIEFont{"Arial", false, false, kBlack}, 12, 0, 1);
  std::string pdf = dir.File("text.pdf");
  Save(b, pdf);
  EXPECT_EQ(testsupport::QpdfProblems(pdf), "");
  auto r = RunCommand("pdftotext -enc UTF-8 " + Quote(pdf) + " -");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char* expected : {"Caf\xC3\xA9 \xE2\x82\xAC" "100 na\xC3\xAFve \xE2\x80\x9Cquoted\xE2\x80\x9D Gr\xC3\xBC\xC3\x9F" "e",
                               "Bold (Times) back\\slash", "Typewriter", "\xCE\xB1\xCE\xB2\xCE\xB3\xCF\x80",
                               "The quick brown", "lazy dog"}) {
    EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;
  }
  // pdftotext keeps wrapped lines apart: every line fits the 200-point box.
  r = RunCommand("pdftotext -layout -enc UTF-8 " + Quote(pdf) + " -");
  EXPECT_EQ(r.output.find("quick brown fox jumps over the lazy"), std::string::npos) << r.output;
}

TEST(PdfTextOracle, WrappedLinesFitTheBoxAsDrawn) {
  if (!testsupport::HaveTool("pdftotext")) GTEST_SKIP() << "pdftotext not installed";
  testsupport::TempDir dir;
  TIEPDFBuilder b;
  b.AddPage(400, 400);
  const int left = 40, right = 240;
  b.DrawTextInRect(left, 20, right, 380,
                   "Wrapping follows the widths the reader uses, so no drawn line may pass the right edge of "
                   "its box, whatever the letters: WWW MMM iii lll.",
                   TIEFont{"Times New Roman", false, false, 0}, 14, 0, 1);
  std::string pdf = dir.File("wrap.pdf");
  Save(b, pdf);
  std::string html = dir.File("wrap.html");
  auto r = RunCommand("pdftotext -bbox " + Quote(pdf) + " " + Quote(html));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<uint8_t> bytes = testsupport::ReadFileBytes(html);
  std::string text(bytes.begin(), bytes.end());
  int words = 0;
  for (size_t pos = text.find("<word xMin="); pos != std::string::npos; pos = text.find("<word xMin=", pos + 1)) {
    double xMin = 0, yMin = 0, xMax = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + pos, "<word xMin=\"%lf\" yMin=\"%lf\" xMax=\"%lf\"", &xMin, &yMin, &xMax), 3);
    EXPECT_GE(xMin, left - 0.5);
    EXPECT_LE(xMax, right + 0.5);
    ++words;
  }
  EXPECT_GT(words, 20);
}

// --- Layers ------------------------------------------------------------------

TEST(PdfLayers, AddLayersPageDrawsVisibleLayersInOrder) {
  TIEPDFBuilder b;
  b.AddPage(100, 100);
  TIETextLayer text;
  text.Left = 10, text.Top = 10, text.Right = 290, text.Bottom = 100;
  text.Text = "layer text";
  TIELineLayer line;
  line.X1 = 0, line.Y1 = 150, line.X2 = 300, line.Y2 = 150;
  line.Color = kRed;
  TIEPolylineLayer hidden;
  hidden.Points = {{0, 0}, {10, 10}};
  hidden.Visible = false;
  TIEShapeLayer shape;
  shape.Shape = iesStar5;
  shape.X1 = 100, shape.Y1 = 100, shape.X2 = 150, shape.Y2 = 150;
  shape.Pen.Fill = true;
  shape.Pen.FillColor = kGreen;
  TIELayer* layers[] = {&text, &line, &hidden, nullptr, &shape};

  TIOParams params;
  params.PdfPaperWidth = 300;
  params.PdfPaperHeight = 200;
  std::vector<int> reported;
  TProgressRecord progress;
  progress.context = &reported;
  progress.fnet = [](void* context, void*, int percent) { static_cast<std::vector<int>*>(context)->push_back(percent); };

  int page = b.AddLayersPage(layers, params, &progress);
  EXPECT_EQ(page, 1);
  EXPECT_EQ(b.CurrentPage(), 1);
  EXPECT_EQ(b.PageSize(1), (std::pair<double, double>(300, 200)));
  EXPECT_EQ(reported, (std::vector<int>{0, 16, 33, 50, 66}));  // index x 100 / (count + 1)
  EXPECT_TRUE(ContentOf(b, 0).empty());
  std::string content = ContentOf(b, 1);
  size_t t = content.find("(layer text) Tj"), l = content.find("\n0.00 50.00 m 300.00 50.00 l \n0 J\nS"),
         h = content.find("\nh\nB");
  ASSERT_NE(t, std::string::npos) << content;
  ASSERT_NE(l, std::string::npos) << content;
  ASSERT_NE(h, std::string::npos) << content;
  EXPECT_LT(t, l);
  EXPECT_LT(l, h);
  EXPECT_EQ(content.find("0.00 200.00 m"), std::string::npos);  // the hidden polyline
  EXPECT_EQ(CountOf(content, "\nq"), 3u);

  // Without a progress record nothing is reported and the page still comes.
  EXPECT_EQ(b.AddLayersPage(std::span<TIELayer* const>(), params), 2);
}

}  // namespace
