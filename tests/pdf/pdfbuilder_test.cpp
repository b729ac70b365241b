#include "iepdf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iecore.h"
#include "iestream.h"
#include "testsupport.h"

namespace {

using testsupport::TempDir;

const TIEPDFDocumentId kFixedId = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                   0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const std::string kFixedIdText = "<000102030405060708090a0b0c0d0e0f>";

std::string Bytes(TIEMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Data()), static_cast<size_t>(s.Size()));
}

std::string Save(TIEPDFBuilder& b, const std::string& title = "", TIEPDFDateTime date = 1.0) {
  TIEMemoryStream s;
  b.SaveToStream(s, title, "", "", "", "", "", date);
  return Bytes(s);
}

std::string TextOf(TIEPDFObject& object) {
  TIEMemoryStream s;
  object.WriteTo(s);
  return Bytes(s);
}

// Puts a w x h picture of 8-bit samples on the current page the way the image
// routine does: XObject with the usual key order, parked, named lm<i>, drawn
// over x, y (from the top) at the given size.
void PlaceImage(TIEPDFBuilder& b, int w, int h, const std::string& samples, bool rgb, double x, double y,
                double width, double height, double alpha = 1.0) {
  auto image = std::make_unique<TIEPDFStreamObject>(samples.data(), static_cast<int64_t>(samples.size()));
  TIEPDFDictionaryObject& d = *image->Dictionary;
  d.Add("ColorSpace", new TIEPDFNameObject(rgb ? "DeviceRGB" : "DeviceGray"));
  d.Add("BitsPerComponent", new TIEPDFIntegerObject(8));
  d.Insert(0, "Type", new TIEPDFNameObject("XObject"));
  d.Insert(1, "Subtype", new TIEPDFNameObject("Image"));
  d.Add("Width", new TIEPDFIntegerObject(w));
  d.Add("Height", new TIEPDFIntegerObject(h));
  TIEPDFStreamObject* p = image.get();
  int index = b.AddImageObject(std::move(image));
  std::string name = "lm" + std::to_string(index);
  std::string s;
  double yPdf = b.PageToPdfY(b.CurrentPage(), y);
  TIEPDFBuilder::SaveGraphicsState(s);
  TIEPDFBuilder::Translate(s, x + width / 2, yPdf - height / 2);
  TIEPDFBuilder::Scale(s, width, height);
  TIEPDFBuilder::Translate(s, -0.5, -0.5);
  b.SetFillAlpha(s, alpha);
  TIEPDFBuilder::PaintXObject(s, name);
  TIEPDFBuilder::RestoreGraphicsState(s);
  b.AppendPageContent(b.CurrentPage(), s);
  b.XObjectResources().Add(name, new TIEPDFRefObject(p->ObjectNumber));
}

// Checks the cross-reference table against the file: every entry 20 bytes,
// every offset at its "N 0 obj" line, startxref at "xref". Returns the offsets.
std::vector<int64_t> CheckXref(const std::string& pdf) {
  std::vector<int64_t> offsets;
  size_t sx = pdf.rfind("startxref\n");
  EXPECT_NE(sx, std::string::npos);
  if (sx == std::string::npos) return offsets;
  int64_t x = std::stoll(pdf.substr(sx + 10));
  EXPECT_EQ(pdf.compare(static_cast<size_t>(x), 7, "xref\n0 "), 0);
  size_t p = static_cast<size_t>(x) + 7;
  int count = std::stoi(pdf.substr(p));
  p = pdf.find('\n', p) + 1;
  EXPECT_EQ(pdf.substr(p, 20), "0000000000 65535 f \n");
  for (int n = 1; n < count; ++n) {
    std::string entry = pdf.substr(p + 20 * static_cast<size_t>(n), 20);
    EXPECT_EQ(entry.substr(10), " 00000 n \n") << "entry " << n;
    int64_t at = std::stoll(entry.substr(0, 10));
    std::string head = std::to_string(n) + " 0 obj\n";
    EXPECT_EQ(pdf.compare(static_cast<size_t>(at), head.size(), head), 0) << "object " << n;
    offsets.push_back(at);
  }
  EXPECT_EQ(pdf.compare(p + 20 * static_cast<size_t>(count), 8, "trailer\n"), 0);
  return offsets;
}

// The rest of the line after key, leading blanks skipped ("" when absent).
std::string FieldAfter(const std::string& text, const std::string& key) {
  size_t p = text.find(key);
  if (p == std::string::npos) return "";
  p = text.find_first_not_of(' ', p + key.size());
  return text.substr(p, text.find('\n', p) - p);
}

bool IsLowerHex(const std::string& s) { return s.find_first_not_of("0123456789abcdef") == std::string::npos; }

std::string QpdfOn(const std::string& pdf) {
  TempDir dir;
  std::string file = dir.File("doc.pdf");
  testsupport::WriteFileBytes(file, pdf.data(), pdf.size());
  return testsupport::QpdfProblems(file);
}

#define SKIP_WITHOUT(tool) \
  if (!testsupport::HaveTool(tool)) GTEST_SKIP() << tool " is not installed"

TEST(PdfBuilder, WorkedExampleByteForByte) {
  TIEPDFBuilder b;
  b.SetIdSource([] { return kFixedId; });
  b.AddPage(595, 842);
  const std::string pixels = "\x10\x20\x30\x40\x50\x60\x70\x80\x90\xA0\xB0\xC0";
  PlaceImage(b, 2, 2, pixels, true, 0, 0, 595, 842);
  TIEMemoryStream out;
  b.SaveToStream(out, "Report", "", "", "", "", "", IEEncodeDateTime(2026, 12, 10, 9, 30, 0));

  const std::string expected =
      "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n"
      "1 0 obj\n<< /Type /Catalog\n/Pages 7 0 R\n>>\nendobj\n"
      "2 0 obj\n<< /ProcSet [/PDF /ImageB ]\n/XObject << /lm0 6 0 R\n>>\n/Font << >>\n"
      "/ExtGState << /GSF255 << /ca 1\n>>\n>>\n>>\nendobj\n"
      "3 0 obj\n<< /Title (Report)\n/CreationDate (D:20261210093000)\n>>\nendobj\n"
      "4 0 obj\n<< /Length 108\n>>\nstream\n\nq\n1. 0. 0. 1. 297.50 421.00 cm\n"
      "595.00 0. 0. 842.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ\n"
      "endstream\nendobj\n"
      "5 0 obj\n<< /Type /Page\n/Resources 2 0 R\n/MediaBox [0 0 595 842 ]\n/Contents 4 0 R\n"
      "/Parent 7 0 R\n>>\nendobj\n"
      "6 0 obj\n<< /Type /XObject\n/Subtype /Image\n/Length 12\n/ColorSpace /DeviceRGB\n"
      "/BitsPerComponent 8\n/Width 2\n/Height 2\n>>\nstream\n" +
      pixels +
      "\nendstream\nendobj\n"
      "7 0 obj\n<< /Type /Pages\n/Kids [5 0 R ]\n/Count 1\n>>\nendobj\n"
      "xref\n0 8\n0000000000 65535 f \n"
      "0000000015 00000 n \n0000000064 00000 n \n0000000185 00000 n \n0000000255 00000 n \n"
      "0000000414 00000 n \n0000000519 00000 n \n0000000674 00000 n \n"
      "trailer\n<< /Size 8\n/Root 1 0 R\n/Info 3 0 R\n/ID [" +
      kFixedIdText + " " + kFixedIdText + "]>>\nstartxref\n732\n%%EOF\n";
  std::string pdf = Bytes(out);
  EXPECT_EQ(pdf, expected);
  EXPECT_EQ(CheckXref(pdf), (std::vector<int64_t>{15, 64, 185, 255, 414, 519, 674}));
  for (int n = 1; n <= 7; ++n) EXPECT_EQ(b.Object(n)->ObjectNumber, n);
  EXPECT_EQ(b.Object(4)->Offset, 255);
}

TEST(PdfBuilder, DocumentWithoutPages) {
  TIEPDFBuilder b;
  std::string pdf = Save(b);
  EXPECT_NE(pdf.find("4 0 obj\n<< /Type /Pages\n/Kids []\n/Count 0\n>>\nendobj\n"), std::string::npos);
  EXPECT_NE(pdf.find("<< /Size 5\n"), std::string::npos);
  EXPECT_EQ(CheckXref(pdf).size(), 4u);
}

TEST(PdfBuilder, ObjectNumbering) {
  // Page k (from 1) with one opaque image: content 3k+1, page 3k+2, image
  // 3k+3; the page tree comes last, 3N+4.
  const int kPages = 5;
  TIEPDFBuilder b;
  for (int k = 1; k <= kPages; ++k) {
    EXPECT_EQ(b.AddPage(100 * k, 200), k - 1);
    EXPECT_EQ(b.CurrentPage(), k - 1);
    PlaceImage(b, 1, 1, "\x80", false, 0, 0, 10, 10);
    EXPECT_EQ(b.Content(k - 1).ObjectNumber, 3 * k + 1);
    EXPECT_EQ(b.Page(k - 1).ObjectNumber, 3 * k + 2);
    EXPECT_EQ(b.Image(k - 1).ObjectNumber, 3 * k + 3);
  }
  EXPECT_EQ(TextOf(b.Page(2)),
            "<< /Type /Page\n/Resources 2 0 R\n/MediaBox [0 0 300 200 ]\n/Contents 10 0 R\n>>");
  std::string pdf = Save(b);
  EXPECT_EQ(b.ObjectCount(), 3 * kPages + 4);
  EXPECT_NE(pdf.find("19 0 obj\n<< /Type /Pages\n/Kids [5 0 R 8 0 R 11 0 R 14 0 R 17 0 R ]\n/Count 5\n>>"),
            std::string::npos);
  EXPECT_NE(pdf.find("/Contents 10 0 R\n/Parent 19 0 R\n>>"), std::string::npos);
  CheckXref(pdf);
}

TEST(PdfBuilder, PageToPdfY) {
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  b.AddPage(200, 100);
  EXPECT_EQ(b.PageToPdfY(0, 42), 800);
  EXPECT_EQ(b.PageToPdfY(1, 42), 58);
  EXPECT_THROW(b.PageToPdfY(2, 0), EIEException);
  EXPECT_THROW(b.AppendPageContent(-1, "x"), EIEException);
}

TEST(PdfBuilder, AlphaStates) {
  struct Case {
    const char* name;
    bool fill;
    std::vector<double> requests;
    std::vector<std::string> names;
    std::string states;  // the ExtGState dictionary afterwards
  } cases[] = {
      {"opaque fill", true, {1.0}, {"GSF255"}, "<< /GSF255 << /ca 1\n>>\n>>"},
      {"half fill", true, {0.5}, {"GSF127"}, "<< /GSF127 << /ca 0.50\n>>\n>>"},
      {"same level reuses the first value", true, {0.5, 0.501}, {"GSF127", "GSF127"},
       "<< /GSF127 << /ca 0.50\n>>\n>>"},
      {"above one clamps the level, keeps the value", true, {1.2}, {"GSF255"}, "<< /GSF255 << /ca 1.20\n>>\n>>"},
      {"negative gives level 0", true, {-0.3}, {"GSF0"}, "<< /GSF0 << /ca -0.30\n>>\n>>"},
      {"NaN gives level 0", true, {std::nan("")}, {"GSF0"}, "<< /GSF0 << /ca 0\n>>\n>>"},
      {"stroke uses CA", false, {0.25}, {"GSS63"}, "<< /GSS63 << /CA 0.25\n>>\n>>"},
      {"levels in request order", false, {1.0, 0.0, 1.0}, {"GSS255", "GSS0", "GSS255"},
       "<< /GSS255 << /CA 1\n>>\n/GSS0 << /CA 0\n>>\n>>"},
  };
  for (const Case& c : cases) {
    TIEPDFBuilder b;
    for (size_t i = 0; i < c.requests.size(); ++i) {
      std::string name = c.fill ? b.FillAlphaState(c.requests[i]) : b.StrokeAlphaState(c.requests[i]);
      EXPECT_EQ(name, c.names[i]) << c.name;
    }
    EXPECT_EQ(TextOf(b.ExtGStateResources()), c.states) << c.name;
  }

  // Fill and stroke levels are separate.
  TIEPDFBuilder b;
  std::string s;
  b.SetFillAlpha(s, 1.0);
  b.SetStrokeAlpha(s, 1.0);
  EXPECT_EQ(s, "\n/GSF255 gs\n/GSS255 gs");
  EXPECT_EQ(b.ExtGStateResources().Count(), 2);
}

TEST(PdfBuilder, Emitters) {
  const std::vector<TIEDPoint> pts = {{1, 2}, {3.5, 4.25}, {-5, 6}};
  struct Case {
    const char* name;
    std::function<void(std::string&)> emit;
    std::string text;
  } cases[] = {
      {"save", [](std::string& s) { TIEPDFBuilder::SaveGraphicsState(s); }, "\nq"},
      {"restore", [](std::string& s) { TIEPDFBuilder::RestoreGraphicsState(s); }, "\nQ"},
      {"translate", [](std::string& s) { TIEPDFBuilder::Translate(s, 297.5, -0.5); },
       "\n1. 0. 0. 1. 297.50 -0.50 cm"},
      {"scale", [](std::string& s) { TIEPDFBuilder::Scale(s, 595, 842); }, "\n595.00 0. 0. 842.00 0. 0. cm"},
      {"rotate 0 writes nothing", [](std::string& s) { TIEPDFBuilder::Rotate(s, 0); }, ""},
      {"rotate 30", [](std::string& s) { TIEPDFBuilder::Rotate(s, 30); }, "\n0.87 0.50 -0.50 0.87 0 0 cm"},
      {"rotate 90", [](std::string& s) { TIEPDFBuilder::Rotate(s, 90); }, "\n0.00 1.00 -1.00 0.00 0 0 cm"},
      {"paint", [](std::string& s) { TIEPDFBuilder::PaintXObject(s, "lm3"); }, "\n/lm3 Do"},
      {"fill colour, red in the low byte", [](std::string& s) { TIEPDFBuilder::SetFillColor(s, 0x0000FF); },
       "\n1.00 0.00 0.00 rg"},
      {"stroke colour", [](std::string& s) { TIEPDFBuilder::SetStrokeColor(s, 0x80FF00); },
       "\n0.00 1.00 0.50 RG"},
      {"line width", [](std::string& s) { TIEPDFBuilder::SetLineWidth(s, 1); }, "\n1.00 w"},
      {"line cap", [](std::string& s) { TIEPDFBuilder::SetLineCap(s, 2); }, "\n2 J"},
      {"move", [](std::string& s) { TIEPDFBuilder::MoveTo(s, 10, 20.125); }, "\n10.00 20.13 m"},
      {"polyline", [&](std::string& s) { TIEPDFBuilder::Polyline(s, pts, 2); },
       "\n1.00 2.00 m 3.50 4.25 l -5.00 6.00 l "},
      {"polyline to an inner last index", [&](std::string& s) { TIEPDFBuilder::Polyline(s, pts, 1); },
       "\n1.00 2.00 m 3.50 4.25 l "},
      {"polyline last index past the list", [&](std::string& s) { TIEPDFBuilder::Polyline(s, pts, 7); },
       "\n1.00 2.00 m 3.50 4.25 l -5.00 6.00 l "},
      {"empty polyline", [](std::string& s) { TIEPDFBuilder::Polyline(s, {}, -1); }, ""},
      {"curve", [](std::string& s) { TIEPDFBuilder::CurveTo(s, 1, 2, 3, 4, 5, 6); },
       "\n1.00 2.00 3.00 4.00 5.00 6.00 c"},
      {"close", [](std::string& s) { TIEPDFBuilder::ClosePath(s); }, "\nh"},
      {"stroke", [](std::string& s) { TIEPDFBuilder::StrokePath(s); }, "\nS"},
      {"fill and stroke", [](std::string& s) { TIEPDFBuilder::FillAndStrokePath(s); }, "\nB"},
      {"text", [](std::string& s) { TIEPDFBuilder::ShowText(s, 0, 12, 0, "Hi (x)\\"); },
       "\nBT\n/F0 12.00 Tf\n0 Tr\n(Hi \\(x\\)\\\\) Tj\nET"},
  };
  for (const Case& c : cases) {
    std::string s = "prefix";
    c.emit(s);
    EXPECT_EQ(s, "prefix" + c.text) << c.name;
  }
}

TEST(PdfBuilder, DocumentInformation) {
  struct Case {
    const char* name;
    std::string title, author, subject, keywords, creator, producer;
    std::string info;
  } cases[] = {
      {"all texts, in order", "T", "A", "S", "K", "C", "P",
       "<< /Title (T)\n/Author (A)\n/Subject (S)\n/Keywords (K)\n/Creator (C)\n/Producer (P)\n"
       "/CreationDate (D:18991231180000)\n>>"},
      {"empty texts are left out", "", "Ann", "", "", "", "", "<< /Author (Ann)\n/CreationDate (D:18991231180000)\n>>"},
      {"escaped title", "a (b) \\c", "", "", "", "", "",
       "<< /Title (a \\(b\\) \\\\c)\n/CreationDate (D:18991231180000)\n>>"},
      {"double-byte title as raw bytes", "\xB1\xA8\xB8\xE6\x28", "", "", "", "", "",
       "<< /Title (\xB1\xA8\xB8\xE6\\()\n/CreationDate (D:18991231180000)\n>>"},
  };
  for (const Case& c : cases) {
    TIEPDFBuilder b;
    TIEMemoryStream s;
    b.SaveToStream(s, c.title, c.author, c.subject, c.keywords, c.creator, c.producer, 1.75);
    EXPECT_EQ(TextOf(b.Info()), c.info) << c.name;
  }
}

TEST(PdfBuilder, DateText) {
  struct Case {
    const char* name;
    TIEPDFDateTime value;
    const char* text;
  } cases[] = {
      {"day 1 at 18:00", 1.75, "D:18991231180000"},
      {"before day 0 the fraction is still the time", -1.25, "D:18991229060000"},
      {"worked example date", IEEncodeDateTime(2026, 12, 10, 9, 30, 0), "D:20261210093000"},
      {"leap day", IEEncodeDateTime(2024, 2, 29, 23, 59, 59), "D:20240229235959"},
      {"half a millisecond before midnight rounds to the next day", 2.0 - 0.4 / 86400000.0, "D:19000101000000"},
  };
  for (const Case& c : cases) EXPECT_EQ(IEFormatPdfDate(c.value), c.text) << c.name;
}

TEST(PdfBuilder, DateZeroMeansNow) {
  TIEPDFBuilder b;
  std::string before = IEFormatPdfDate(IENow());
  std::string pdf = Save(b, "", 0);
  std::string after = IEFormatPdfDate(IENow());
  std::string date = FieldAfter(pdf, "/CreationDate (");
  ASSERT_EQ(date.size(), 17u) << date;
  EXPECT_GE(date.substr(0, 16), before);
  EXPECT_LE(date.substr(0, 16), after);
}

TEST(PdfBuilder, IdentifierIsFreshEverySave) {
  std::string ids[2];
  for (std::string& id : ids) {
    TIEPDFBuilder b;
    b.AddPage(10, 10);
    std::string line = FieldAfter(Save(b), "/ID [");
    ASSERT_EQ(line.size(), 34u + 1 + 34 + 3) << line;  // <id> <id>]>>
    id = line.substr(0, 34);
    EXPECT_EQ(line.substr(35, 34), id);
    EXPECT_EQ(id.front(), '<');
    EXPECT_EQ(id.back(), '>');
    EXPECT_TRUE(IsLowerHex(id.substr(1, 32))) << id;
  }
  EXPECT_NE(ids[0], ids[1]);
}

TEST(PdfBuilder, SavedOnlyOnce) {
  TIEPDFBuilder b;
  Save(b);
  TIEMemoryStream s;
  EXPECT_THROW(b.SaveToStream(s, "", "", "", "", "", "", 1.0), EIEException);
}

// A stream that starts far into a file and keeps only what is written, to
// see offsets beyond 32 bits without writing gigabytes.
class TFarStream : public TIEStream {
public:
  explicit TFarStream(int64_t start) : pos_(start) {}
  int64_t Read(void*, int64_t) override { return 0; }
  void Write(const void* buffer, int64_t count) override {
    bytes.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    pos_ += count;
  }
  int64_t Seek(int64_t offset, TIESeekOrigin origin) override {
    if (origin != soCurrent || offset != 0) throw EIEException("not seekable");
    return pos_;
  }
  int64_t Size() override { return pos_; }
  std::string bytes;

private:
  int64_t pos_;
};

TEST(PdfBuilder, OffsetsBeyondFourGigabytes) {
  const int64_t start = 5'000'000'000;
  TIEPDFBuilder b;
  TFarStream s(start);
  b.SaveToStream(s, "", "", "", "", "", "", 1.0);
  EXPECT_NE(s.bytes.find("0000000000 65535 f \n5000000015 00000 n \n"), std::string::npos);
  EXPECT_NE(s.bytes.find("startxref\n" + std::to_string(start + static_cast<int64_t>(s.bytes.find("xref\n")))),
            std::string::npos);
  EXPECT_EQ(b.Object(1)->Offset, start + 15);
}

TEST(PdfBuilder, OffsetsPastTenDigitsRaise) {
  struct Case {
    int64_t start;
    bool fits;
  } cases[] = {
      {9'999'999'999 - 15 - 500, true},  // everything inside ten digits
      {9'999'999'999 - 15, false},       // object 1 just fits, object 2 does not
  };
  for (const Case& c : cases) {
    TIEPDFBuilder b;
    TFarStream s(c.start);
    if (c.fits) {
      EXPECT_NO_THROW(b.SaveToStream(s, "", "", "", "", "", "", 1.0));
    } else {
      try {
        b.SaveToStream(s, "", "", "", "", "", "", 1.0);
        ADD_FAILURE() << "no error";
      } catch (const EIEException& e) {
        EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
      }
      EXPECT_EQ(s.bytes.find("xref"), std::string::npos);  // no table written
    }
  }
}

TEST(PdfBuilder, SaveToFile) {
  TempDir dir;
  std::string file = dir.File("out \xC3\xA9.pdf");  // UTF-8 path
  testsupport::WriteFileBytes(file, std::vector<uint8_t>(100000, 'x'));  // an older, longer file
  auto build = [](TIEPDFBuilder& b) {
    b.SetIdSource([] { return kFixedId; });
    b.AddPage(595, 842);
    PlaceImage(b, 2, 2, std::string(12, '\x55'), true, 0, 0, 595, 842);
  };
  const TIEPDFDateTime date = IEEncodeDateTime(2026, 12, 10, 9, 30, 0);
  TIEPDFBuilder toFile, toStream;
  build(toFile);
  build(toStream);
  toFile.SaveToFile(file, "Report", "", "", "", "", "", date);
  TIEMemoryStream s;
  toStream.SaveToStream(s, "Report", "", "", "", "", "", date);

  std::vector<uint8_t> bytes = testsupport::ReadFileBytes(file);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), Bytes(s));
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) entries += !e.path().empty();
  EXPECT_EQ(entries, 1);  // no temporary left beside it
}

TEST(PdfBuilder, SaveToFileThatCannotBeCreated) {
  TempDir dir;
  std::string file = dir.File("missing/out.pdf");
  TIEPDFBuilder b;
  try {
    b.SaveToFile(file, "", "", "", "", "", "", 1.0);
    FAIL() << "no error";
  } catch (const EIEException& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + file + "\". No such file or directory");
  }
  // Nothing was added: the builder can still be saved elsewhere.
  EXPECT_EQ(b.Info().Count(), 0);
  EXPECT_NO_THROW(b.SaveToFile(dir.File("out.pdf"), "", "", "", "", "", "", 1.0));
}

TEST(PdfBuilder, RelativeFileNameIsExpandedInErrors) {
  TIEPDFBuilder b;
  try {
    b.SaveToFile("no-such-folder-velmora/x.pdf", "", "", "", "", "", "", 1.0);
    FAIL() << "no error";
  } catch (const EIEException& e) {
    std::string expected = (std::filesystem::current_path() / "no-such-folder-velmora/x.pdf").string();
    EXPECT_NE(std::string(e.what()).find("\"" + expected + "\""), std::string::npos) << e.what();
  }
}

// --- qpdf as the judge -------------------------------------------------------

TEST(PdfBuilderQpdf, NoPages) {
  SKIP_WITHOUT("qpdf");
  TIEPDFBuilder b;
  EXPECT_EQ(QpdfOn(Save(b, "Empty")), "");
}

TEST(PdfBuilderQpdf, OnePage) {
  SKIP_WITHOUT("qpdf");
  TIEPDFBuilder b;
  b.AddPage(595, 842);
  PlaceImage(b, 2, 2, std::string(12, '\x7F'), true, 0, 0, 595, 842);
  std::string pdf = Save(b, "One (page)");
  EXPECT_EQ(QpdfOn(pdf), "");
}

TEST(PdfBuilderQpdf, ManyPagesWithParkedStreams) {
  SKIP_WITHOUT("qpdf");
  TempDir dir;
  std::string file = dir.File("many.pdf");
  TIEPDFBuilder b;
  for (int i = 0; i < 40; ++i) {
    b.AddPage(200 + i, 300);
    std::string gray(64 * 48, static_cast<char>(i * 6));
    PlaceImage(b, 64, 48, gray, false, 10, 20, 64, 48, 0.5);
    std::string rgb(3 * 5 * 7, static_cast<char>(255 - i));
    PlaceImage(b, 5, 7, rgb, true, 100, 100, 50, 70);
  }
  for (int i = 0; i < b.ImageCount(); ++i) EXPECT_TRUE(b.Image(i).Data.empty());
  b.SaveToFile(file, "Many", "Someone", "Parking", "k1 k2", "tests", "Velmora", 0);
  EXPECT_EQ(testsupport::QpdfProblems(file), "");
  if (testsupport::HaveTool("pdfinfo")) {
    std::string info = testsupport::RunCommand("pdfinfo " + testsupport::Quote(file)).output;
    EXPECT_EQ(FieldAfter(info, "Pages:"), "40") << info;
    EXPECT_EQ(FieldAfter(info, "Title:"), "Many") << info;
    EXPECT_EQ(FieldAfter(info, "Page size:"), "200 x 300 pts") << info;
  }
}

TEST(PdfBuilderQpdf, AlphaStatesAndEveryEmitter) {
  SKIP_WITHOUT("qpdf");
  TIEPDFBuilder b;
  b.AddPage(400, 300);
  PlaceImage(b, 1, 1, "\x40", false, 0, 0, 400, 300, 0.3);
  auto* font = new TIEPDFDictionaryObject;
  b.FontResources().Add("F0", font);
  font->Add("Type", new TIEPDFNameObject("Font"));
  font->Add("Subtype", new TIEPDFNameObject("Type1"));
  font->Add("BaseFont", new TIEPDFNameObject("Helvetica"));
  font->Add("Encoding", new TIEPDFNameObject("WinAnsiEncoding"));

  const std::vector<TIEDPoint> pts = {{10, 10}, {50, 80}, {90, 10}};
  std::string s;
  TIEPDFBuilder::SaveGraphicsState(s);
  TIEPDFBuilder::Translate(s, 200, 150);
  TIEPDFBuilder::Rotate(s, 30);
  TIEPDFBuilder::Scale(s, 1.5, 0.75);
  TIEPDFBuilder::SetStrokeColor(s, 0x0000FF);
  b.SetStrokeAlpha(s, 0.8);
  TIEPDFBuilder::SetLineWidth(s, 2.5);
  TIEPDFBuilder::Polyline(s, pts, 2);
  TIEPDFBuilder::SetLineCap(s, 1);
  TIEPDFBuilder::SetFillColor(s, 0x00FF00);
  b.SetFillAlpha(s, 0.25);
  TIEPDFBuilder::ClosePath(s);
  TIEPDFBuilder::FillAndStrokePath(s);
  TIEPDFBuilder::MoveTo(s, 0, 0);
  TIEPDFBuilder::CurveTo(s, 10, 20, 30, 40, 50, 0);
  TIEPDFBuilder::StrokePath(s);
  TIEPDFBuilder::ShowText(s, 0, 12, 2, "Velmora (test) \\ \xE9");
  TIEPDFBuilder::RestoreGraphicsState(s);
  b.AppendPageContent(0, s);
  b.StrokeAlphaState(1.2);
  b.FillAlphaState(-1);
  EXPECT_EQ(QpdfOn(Save(b)), "");
}

}  // namespace
