// Image embedding: dictionaries, placement and names checked as text, and
// the pixels checked through poppler's pdfimages, an independent decoder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieconvert.h"
#include "iecore.h"
#include "ieparams.h"
#include "iepdf.h"
#include "iestream.h"
#include "testsupport.h"

namespace {

using namespace std::string_literals;
using testsupport::Quote;
using testsupport::RunCommand;
using testsupport::TempDir;

std::string TextOf(TIEPDFObject& object) {
  TIEMemoryStream s;
  object.WriteTo(s);
  return std::string(reinterpret_cast<const char*>(s.Data()), static_cast<size_t>(s.Size()));
}

std::string ContentOf(TIEPDFBuilder& b, int page) {
  const std::vector<uint8_t>& d = b.Content(page).Data;
  return std::string(d.begin(), d.end());
}

std::vector<std::string> KeysOf(const TIEPDFDictionaryObject& d) {
  std::vector<std::string> keys;
  for (int i = 0; i < d.Count(); ++i) keys.push_back(d.Key(i));
  return keys;
}

std::string ValueText(const TIEPDFDictionaryObject& d, const char* key) {
  TIEPDFObject* o = d.Find(key);
  return o ? TextOf(*o) : std::string("<none>");
}

// Pixels in storage order: ie1g bits 1 = white; ie24RGB blue, green, red.
void SetBit(TIEBitmap& b, int x, int y, bool white) {
  uint8_t& byte = b.Scanline(y)[x / 8];
  uint8_t mask = static_cast<uint8_t>(0x80 >> (x % 8));
  byte = white ? (byte | mask) : (byte & ~mask);
}

bool GetBit(TIEBitmap& b, int x, int y) { return (b.Scanline(y)[x / 8] >> (7 - x % 8)) & 1; }

std::unique_ptr<TIEBitmap> MakeRgb(int w, int h, std::initializer_list<TRGB> pixels) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie24RGB);
  auto it = pixels.begin();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w && it != pixels.end(); ++x, ++it) {
      uint8_t* p = b->Scanline(y) + 3 * x;
      p[0] = it->b, p[1] = it->g, p[2] = it->r;
    }
  return b;
}

enum TContent { ctRandom, ctText, ctPhoto };

// Black-and-white pages: noise, or lines of small glyph-like blocks with
// long white runs between them (the fax coder's make-up codes included).
std::unique_ptr<TIEBitmap> MakeBlackAndWhite(int w, int h, TContent content, unsigned seed) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie1g);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    if (content == ctRandom) {
      for (int64_t i = 0; i < b->RowLen(); ++i) row[i] = static_cast<uint8_t>(rng());
      continue;
    }
    std::memset(row, 0xFF, static_cast<size_t>(b->RowLen()));
    const int band = y % 24;
    if (band == 23 && y % 96 == 95) {  // a rule across the page
      for (int x = 0; x < w; ++x) SetBit(*b, x, y, false);
    } else if (band >= 4 && band < 16) {
      std::mt19937 line(seed + static_cast<unsigned>(y / 24));  // glyph columns shared by the band
      for (int x = static_cast<int>(line() % 40); x < w;) {
        int glyph = 2 + static_cast<int>(line() % 9);
        for (int i = 0; i < glyph && x + i < w; ++i)
          if ((rng() & 3) != 0) SetBit(*b, x + i, y, false);
        x += glyph + 1 + static_cast<int>(line() % (line() % 7 == 0 ? 3000 : 12));
      }
    }
  }
  return b;
}

std::unique_ptr<TIEBitmap> MakeColour(int w, int h, TContent content, unsigned seed, bool alpha) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie24RGB);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      uint8_t* p = row + 3 * x;
      if (content == ctRandom) {
        p[0] = static_cast<uint8_t>(rng()), p[1] = static_cast<uint8_t>(rng()), p[2] = static_cast<uint8_t>(rng());
      } else if (content == ctText) {
        bool ink = (y % 16 > 3) && ((x / 5 + y / 16) % 3 == 0) && (rng() % 4 != 0);
        p[0] = ink ? 0x80 : 0xFF, p[1] = ink ? 0x10 : 0xFF, p[2] = ink ? 0x20 : 0xFF;
      } else {  // smooth shading with a little grain
        double fx = double(x) / std::max(1, w), fy = double(y) / std::max(1, h);
        int grain = static_cast<int>(rng() % 5) - 2;
        p[0] = static_cast<uint8_t>(std::clamp(int(200 * fx + 30 * std::sin(fy * 9)) + grain, 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(int(128 + 100 * std::sin(fx * 5 + fy * 3)) + grain, 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp(int(255 * fy) + grain, 0, 255));
      }
    }
  }
  if (alpha) {
    TIEBitmap* a = b->AlphaChannel();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        a->Scanline(y)[x] = content == ctPhoto ? static_cast<uint8_t>(255 * x / std::max(1, w - 1))
                                               : static_cast<uint8_t>(x * 7 + y * 13 + (rng() & 1));
  }
  return b;
}

// A netpbm file as pdfimages writes it: P4 (1 = black), P5 or P6.
struct TPnm {
  char kind = 0;
  int width = 0, height = 0;
  std::vector<uint8_t> data;
};

bool ReadPnm(const std::string& path, TPnm& pnm) {
  std::vector<uint8_t> f = testsupport::ReadFileBytes(path);
  size_t pos = 0;
  auto token = [&]() -> std::string {
    while (pos < f.size()) {
      if (f[pos] == '#') {
        while (pos < f.size() && f[pos] != '\n') ++pos;
      } else if (std::isspace(f[pos])) {
        ++pos;
      } else {
        break;
      }
    }
    std::string t;
    while (pos < f.size() && !std::isspace(f[pos])) t += static_cast<char>(f[pos++]);
    return t;
  };
  std::string magic = token();
  if (magic.size() != 2 || magic[0] != 'P' || magic[1] < '4' || magic[1] > '6') return false;
  pnm.kind = magic[1];
  pnm.width = std::stoi(token());
  pnm.height = std::stoi(token());
  if (pnm.kind != '4' && token() != "255") return false;
  ++pos;  // the single whitespace byte before the raster
  size_t rowBytes = pnm.kind == '4' ? (pnm.width + 7) / 8 : pnm.kind == '5' ? pnm.width : 3 * size_t(pnm.width);
  if (pos + rowBytes * pnm.height > f.size()) return false;
  pnm.data.assign(f.begin() + static_cast<ptrdiff_t>(pos),
                  f.begin() + static_cast<ptrdiff_t>(pos + rowBytes * pnm.height));
  return true;
}

// Sample c (0 red, 1 green, 2 blue) of pixel x, y of a P5/P6 file.
int PnmSample(const TPnm& p, int x, int y, int c) {
  if (p.kind == '5') return p.data[size_t(y) * p.width + x];
  return p.data[(size_t(y) * p.width + x) * 3 + c];
}

// Describes the first difference, or returns an empty string.
std::string CompareBlackAndWhite(TIEBitmap& b, const TPnm& p) {
  if (p.kind != '4' || p.width != b.Width() || p.height != b.Height())
    return "got P" + std::string(1, p.kind) + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
  const size_t rowBytes = (p.width + 7) / 8;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      bool black = (p.data[y * rowBytes + x / 8] >> (7 - x % 8)) & 1;
      if (black == GetBit(b, x, y))
        return "pixel " + std::to_string(x) + "," + std::to_string(y);
    }
  return "";
}

std::string CompareColour(TIEBitmap& b, const TPnm& p) {
  if (p.kind != '6' || p.width != b.Width() || p.height != b.Height())
    return "got P" + std::string(1, p.kind) + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    const uint8_t* got = p.data.data() + size_t(y) * p.width * 3;
    for (int x = 0; x < b.Width(); ++x)
      if (got[3 * x] != row[3 * x + 2] || got[3 * x + 1] != row[3 * x + 1] || got[3 * x + 2] != row[3 * x])
        return "pixel " + std::to_string(x) + "," + std::to_string(y);
  }
  return "";
}

std::string CompareGray(TIEBitmap& gray, const TPnm& p) {
  if ((p.kind != '5' && p.kind != '6') || p.width != gray.Width() || p.height != gray.Height())
    return "got P" + std::string(1, p.kind) + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
  for (int y = 0; y < gray.Height(); ++y)
    for (int x = 0; x < gray.Width(); ++x)
      for (int c = 0; c < (p.kind == '6' ? 3 : 1); ++c)
        if (PnmSample(p, x, y, c) != gray.Scanline(y)[x])
          return "pixel " + std::to_string(x) + "," + std::to_string(y);
  return "";
}

double PsnrAgainst(TIEBitmap& b, const TPnm& p, bool asGray) {
  double sum = 0;
  int64_t n = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* q = b.Scanline(y) + 3 * x;
      int want[3] = {q[2], q[1], q[0]};
      // A gray JPEG holds the library's luminance.
      double gray = q[2] * 0.299 + q[1] * 0.587 + q[0] * 0.114;
      for (int c = 0; c < 3; ++c) {
        double d = PnmSample(p, x, y, p.kind == '5' ? 0 : c) - (asGray ? gray : want[c]);
        sum += d * d;
        ++n;
      }
    }
  double mse = sum / double(n);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// What pdfimages -list says about each image, in order: its type ("image"
// or "smask") and its encoding.
struct TListed {
  std::string type, encoding;
};

std::vector<TListed> ListImages(const std::string& pdf) {
  testsupport::CommandResult r = RunCommand("pdfimages -list " + Quote(pdf));
  std::vector<TListed> out;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string page, num, type, w, h, color, comp, bpc, enc;
    if (!(f >> page >> num >> type >> w >> h >> color >> comp >> bpc >> enc)) continue;
    if (page.empty() || !std::isdigit(static_cast<unsigned char>(page[0]))) continue;
    out.push_back({type, enc});
  }
  return out;
}

bool HaveOracles() { return testsupport::HaveTool("pdfimages") && testsupport::HaveTool("qpdf"); }

// ---------------------------------------------------------------------------
// Text of the document

TEST(PdfImage, WorkedExampleDocumentIsByteExact) {
  TIEPDFBuilder b;
  b.SetIdSource([] {
    TIEPDFDocumentId id{};
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(0x10 * (i % 16) + i);
    return id;
  });
  b.AddPage(595, 842);
  auto bitmap = MakeRgb(2, 2, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
  b.AddImage(595, 842, 0, 0, *bitmap, 0, 1.0, pdfUncompressed);
  TIEMemoryStream out;
  b.SaveToStream(out, "Report", "", "", "", "", "", IEEncodeDateTime(2026, 12, 10, 9, 30, 0));
  std::string doc(reinterpret_cast<const char*>(out.Data()), static_cast<size_t>(out.Size()));

  const std::string content =
      "\nq\n1. 0. 0. 1. 297.50 421.00 cm\n595.00 0. 0. 842.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n"
      "/GSF255 gs\n/lm0 Do\nQ";
  ASSERT_EQ(content.size(), 108u);
  const std::string pixels = "\x03\x02\x01\x06\x05\x04\x09\x08\x07\x0c\x0b\x0a";
  std::vector<std::string> objects = {
      "<< /Type /Catalog\n/Pages 7 0 R\n>>",
      "<< /ProcSet [/PDF /ImageB ]\n/XObject << /lm0 6 0 R\n>>\n/Font << >>\n/ExtGState << /GSF255 << /ca 1\n>>\n>>\n>>",
      "<< /Title (Report)\n/CreationDate (D:20261210093000)\n>>",
      "<< /Length 108\n>>\nstream\n" + content + "\nendstream",
      "<< /Type /Page\n/Resources 2 0 R\n/MediaBox [0 0 595 842 ]\n/Contents 4 0 R\n/Parent 7 0 R\n>>",
      "<< /Type /XObject\n/Subtype /Image\n/Length 12\n/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n"
      "/Width 2\n/Height 2\n>>\nstream\n" + pixels + "\nendstream",
      "<< /Type /Pages\n/Kids [5 0 R ]\n/Count 1\n>>",
  };
  std::string expected = "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(expected.size());
    expected += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  EXPECT_EQ(offsets, (std::vector<size_t>{15, 64, 185, 255, 414, 519, 674}));
  const size_t xref = expected.size();
  EXPECT_EQ(xref, 732u);
  expected += "xref\n0 8\n0000000000 65535 f \n";
  for (size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    expected += line;
  }
  const std::string id = "<00112233445566778899aabbccddeeff>";
  expected += "trailer\n<< /Size 8\n/Root 1 0 R\n/Info 3 0 R\n/ID [" + id + " " + id + "]>>\nstartxref\n732\n%%EOF\n";
  EXPECT_EQ(doc, expected);
}

TEST(PdfImage, DictionaryKeyOrdersAndFilters) {
  const std::vector<std::string> plain = {"Type", "Subtype", "Length", "ColorSpace", "BitsPerComponent", "Width", "Height"};
  const std::vector<std::string> filtered = {"Type", "Subtype", "Length", "Filter", "ColorSpace", "BitsPerComponent", "Width", "Height"};
  const std::vector<std::string> fax = {"Type",       "Subtype",          "Length", "Filter", "DecodeParms",
                                        "ColorSpace", "BitsPerComponent", "Width",  "Height"};
  const std::string g4Parms =
      "<< /K -1\n/BlackIs1 true\n/Columns 10\n/Rows 3\n/EndOfLine false\n/Uncompressed true\n"
      "/EncodedByteAlign false\n/EndOfBlock false\n>>";
  std::string g3Parms = g4Parms;
  g3Parms.replace(g3Parms.find("-1"), 2, "1");
  struct Case {
    const char* name;
    TIEPixelFormat format;
    TPdfCompression asked, recorded;
    std::vector<std::string> keys;
    const char* filter;
    std::string parms;
    const char* colorSpace;
    const char* bits;
  } cases[] = {
      {"bw uncompressed", ie1g, pdfUncompressed, pdfUncompressed, plain, "<none>", "<none>", "/DeviceGray", "1"},
      {"bw run-length", ie1g, pdfRLE, pdfRLE, filtered, "[/RunLengthDecode ]", "<none>", "/DeviceGray", "1"},
      {"bw group 4", ie1g, pdfG4Fax, pdfG4Fax, fax, "/CCITTFaxDecode", g4Parms, "/DeviceGray", "1"},
      {"bw group 3", ie1g, pdfG3Fax2D, pdfG3Fax2D, fax, "/CCITTFaxDecode", g3Parms, "/DeviceGray", "1"},
      {"bw asked for JPEG", ie1g, pdfJPEG, pdfG3Fax2D, fax, "/CCITTFaxDecode", g3Parms, "/DeviceGray", "1"},
      {"bw LZW", ie1g, pdfLZW, pdfLZW, filtered, "/LZWDecode", "<none>", "/DeviceGray", "1"},
      {"colour uncompressed", ie24RGB, pdfUncompressed, pdfUncompressed, plain, "<none>", "<none>", "/DeviceRGB", "8"},
      {"colour run-length", ie24RGB, pdfRLE, pdfRLE, plain, "<none>", "<none>", "/DeviceRGB", "8"},
      {"colour group 4", ie24RGB, pdfG4Fax, pdfG4Fax, plain, "<none>", "<none>", "/DeviceRGB", "8"},
      {"colour group 3", ie24RGB, pdfG3Fax2D, pdfG3Fax2D, plain, "<none>", "<none>", "/DeviceRGB", "8"},
      {"colour JPEG", ie24RGB, pdfJPEG, pdfJPEG, filtered, "/DCTDecode", "<none>", "/DeviceRGB", "8"},
      {"colour LZW", ie24RGB, pdfLZW, pdfLZW, filtered, "/LZWDecode", "<none>", "/DeviceRGB", "8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    b.AddPage(100, 100);
    TIEBitmap bitmap(10, 3, c.format);
    TIOParams params;
    params.PdfCompression = c.asked;
    bool aborting = false;
    TProgressRecord progress;
    progress.Aborting = &aborting;
    b.PlaceImage(10, 3, 0, 0, bitmap, 0, 1, params, progress);
    ASSERT_EQ(b.ImageCount(), 1);
    const TIEPDFDictionaryObject& d = *b.Image(0).Dictionary;
    EXPECT_EQ(KeysOf(d), c.keys);
    EXPECT_EQ(ValueText(d, "Type"), "/XObject");
    EXPECT_EQ(ValueText(d, "Subtype"), "/Image");
    EXPECT_EQ(ValueText(d, "Filter"), c.filter);
    EXPECT_EQ(ValueText(d, "DecodeParms"), c.parms);
    EXPECT_EQ(ValueText(d, "ColorSpace"), c.colorSpace);
    EXPECT_EQ(ValueText(d, "BitsPerComponent"), c.bits);
    EXPECT_EQ(ValueText(d, "Width"), "10");
    EXPECT_EQ(ValueText(d, "Height"), "3");
    EXPECT_EQ(params.PdfCompression, c.recorded);
    EXPECT_EQ(params.BitsPerSample, c.format == ie1g ? 1 : 8);
    EXPECT_EQ(params.SamplesPerPixel, c.format == ie1g ? 1 : 3);
    EXPECT_FALSE(aborting);
  }
}

TEST(PdfImage, RawDataLayout) {
  // 10 pixels of ie1g make 2-byte rows; colour is written red, green, blue.
  TIEPDFBuilder b;
  b.AddPage(100, 100);
  TIEBitmap bw(10, 3, ie1g);
  for (int y = 0; y < 3; ++y) bw.Scanline(y)[0] = static_cast<uint8_t>(0xA0 + y), bw.Scanline(y)[1] = 0xFF;
  b.AddImage(0, 0, 0, 0, bw, 0, 1, pdfUncompressed);
  auto rgb = MakeRgb(1, 1, {{0x10, 0x20, 0x30}});
  b.AddImage(0, 0, 0, 0, *rgb, 0, 1, pdfUncompressed);

  // Unused low bits of the last byte of a row are written as 0.
  EXPECT_NE(TextOf(b.Image(0)).find("/Length 6\n"), std::string::npos);
  EXPECT_NE(TextOf(b.Image(0)).find("stream\n\xA0\xC0\xA1\xC0\xA2\xC0\nendstream"), std::string::npos);
  EXPECT_NE(TextOf(b.Image(1)).find("stream\n\x30\x20\x10\nendstream"), std::string::npos);
}

// Every row goes to the record's LZW routine as one piece of one code
// stream (colour rows as red, green, blue), then one final call.
struct TLzwLog {
  std::vector<std::vector<uint8_t>> pieces;
  int finals = 0;
};
TLzwLog* gLzwLog = nullptr;

void LoggingLzw(const uint8_t* data, int64_t count, TIEStream& stream, void*& state) {
  if (!state) state = gLzwLog;
  if (!data) {
    ++gLzwLog->finals;
    stream.Write("end", 3);
    state = nullptr;
    return;
  }
  gLzwLog->pieces.emplace_back(data, data + count);
}

TEST(PdfImage, LzwRoutineOfTheRecordIsFedRowByRow) {
  TLzwLog log;
  gLzwLog = &log;
  TIEPDFBuilder b;
  b.AddPage(100, 100);
  auto rgb = MakeRgb(2, 3, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}, {13, 14, 15}, {16, 17, 18}});
  TIOParams params;
  params.PdfCompression = pdfLZW;
  params.LzwCompressor = LoggingLzw;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  b.PlaceImage(0, 0, 0, 0, *rgb, 0, 1, params, progress);
  EXPECT_EQ(log.pieces, (std::vector<std::vector<uint8_t>>{{3, 2, 1, 6, 5, 4}, {9, 8, 7, 12, 11, 10},
                                                           {15, 14, 13, 18, 17, 16}}));
  EXPECT_EQ(log.finals, 1);
  EXPECT_NE(TextOf(b.Image(0)).find("stream\nend\nendstream"), std::string::npos);

  log = TLzwLog{};
  TIEBitmap bw(12, 2, ie1g);
  bw.Fill(1);
  b.PlaceImage(0, 0, 0, 0, bw, 0, 1, params, progress);
  EXPECT_EQ(log.pieces, (std::vector<std::vector<uint8_t>>{{0xFF, 0xF0}, {0xFF, 0xF0}}));
  EXPECT_EQ(log.finals, 1);
  gLzwLog = nullptr;
}

TEST(PdfImage, SoftMaskComesFirstAndIsNamedNowhere) {
  TIEPDFBuilder b;
  b.AddPage(100, 100);
  auto rgb = MakeRgb(3, 2, {});
  TIEBitmap* a = rgb->AlphaChannel();
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) a->Scanline(y)[x] = static_cast<uint8_t>(10 * y + x);
  b.AddImage(0, 0, 0, 0, *rgb, 0, 1, pdfJPEG);

  ASSERT_EQ(b.ImageCount(), 2);
  EXPECT_EQ(TextOf(b.Image(0)),
            "<< /Length 6\n/Type /XObject\n/Subtype /Image\n/ColorSpace /DeviceGray\n/BitsPerComponent 8\n"
            "/Width 3\n/Height 2\n>>\nstream\n\x00\x01\x02\x0A\x0B\x0C\nendstream"s);
  const TIEPDFDictionaryObject& image = *b.Image(1).Dictionary;
  EXPECT_EQ(KeysOf(image).back(), "SMask");
  EXPECT_EQ(ValueText(image, "SMask"), std::to_string(b.Image(0).ObjectNumber) + " 0 R");
  EXPECT_EQ(TextOf(b.XObjectResources()), "<< /lm1 " + std::to_string(b.Image(1).ObjectNumber) + " 0 R\n>>");
  EXPECT_NE(ContentOf(b, 0).find("\n/lm1 Do\n"), std::string::npos);
  // The caller's bitmap keeps its alpha channel.
  EXPECT_TRUE(rgb->HasAlphaChannel());

  // Black and white never gets a soft mask.
  TIEBitmap bw(8, 2, ie1g);
  bw.AlphaChannel()->Fill(7);
  b.AddImage(0, 0, 0, 0, bw, 0, 1, pdfG4Fax);
  ASSERT_EQ(b.ImageCount(), 3);
  EXPECT_EQ(b.Image(2).Dictionary->IndexOf("SMask"), -1);
}

TEST(PdfImage, PlacementText) {
  struct Case {
    const char* name;
    int32_t w, h;
    double x, y, rotation, alpha;
    int bw, bh;
    std::string text;
  } cases[] = {
      {"full A4 page", 595, 842, 0, 0, 0, 1, 2, 2,
       "\nq\n1. 0. 0. 1. 297.50 421.00 cm\n595.00 0. 0. 842.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"height from bitmap", 300, 0, 10, 20, 0, 1, 600, 400,
       "\nq\n1. 0. 0. 1. 160.00 622.00 cm\n300.00 0. 0. 400.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"width in proportion", -1, 200, 0, 0, 0, 1, 600, 400,
       "\nq\n1. 0. 0. 1. 150.00 742.00 cm\n300.00 0. 0. 200.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"height in proportion", 300, -1, 0, 0, 0, 1, 600, 400,
       "\nq\n1. 0. 0. 1. 150.00 742.00 cm\n300.00 0. 0. 200.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"bitmap size", 0, 0, 0, 0, 0, 1, 7, 5,
       "\nq\n1. 0. 0. 1. 3.50 839.50 cm\n7.00 0. 0. 5.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"negative width by magnitude", -30, 20, 0, 0, 0, 1, 7, 5,
       "\nq\n1. 0. 0. 1. 15.00 832.00 cm\n30.00 0. 0. 20.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"both negative kept", -30, -20, 0, 0, 0, 1, 7, 5,
       "\nq\n1. 0. 0. 1. -15.00 852.00 cm\n-30.00 0. 0. -20.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"proportion never below 1", -1, 1, 0, 0, 0, 1, 1, 100,
       "\nq\n1. 0. 0. 1. 0.50 841.50 cm\n1.00 0. 0. 1.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"rotated and translucent", 100, 50, 10.25, 5, 30, 0.5, 7, 5,
       "\nq\n1. 0. 0. 1. 60.25 812.00 cm\n0.87 0.50 -0.50 0.87 0 0 cm\n100.00 0. 0. 50.00 0. 0. cm\n"
       "1. 0. 0. 1. -0.50 -0.50 cm\n/GSF127 gs\n/lm0 Do\nQ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    b.AddPage(595, 842);
    TIEBitmap bitmap(c.bw, c.bh, ie1g);
    b.AddImage(c.w, c.h, c.x, c.y, bitmap, c.rotation, c.alpha, pdfUncompressed);
    EXPECT_EQ(ContentOf(b, 0), c.text);
  }
}

TEST(PdfImage, NamesFollowTheDocumentWideImageCount) {
  TIEPDFBuilder b;
  TIEBitmap bw(4, 4, ie1g);
  auto rgb = MakeColour(4, 4, ctRandom, 1, true);
  b.AddPage(100, 100);
  b.AddImage(0, 0, 0, 0, bw, 0, 1, pdfRLE);
  b.AddImage(0, 0, 0, 0, *rgb, 0, 1, pdfLZW);  // mask lm1 unnamed, image lm2
  b.AddPage(100, 100);
  b.AddImage(0, 0, 0, 0, bw, 0, 1, pdfG4Fax);
  std::string first = ContentOf(b, 0), second = ContentOf(b, 1);
  EXPECT_EQ(std::count(first.begin(), first.end(), 'q'), 2);
  EXPECT_NE(first.find("/lm0 Do\nQ\nq\n"), std::string::npos);
  EXPECT_NE(first.find("/lm2 Do\nQ"), std::string::npos);
  EXPECT_NE(second.find("/lm3 Do\nQ"), std::string::npos);
  EXPECT_EQ(KeysOf(b.XObjectResources()), (std::vector<std::string>{"lm0", "lm2", "lm3"}));
  // Objects: 4, 5 first page; 6 image; 7 mask; 8 image; 9, 10 second page; 11 image.
  EXPECT_EQ(b.Image(0).ObjectNumber, 6);
  EXPECT_EQ(b.Image(1).ObjectNumber, 7);
  EXPECT_EQ(b.Image(3).ObjectNumber, 11);
}

TEST(PdfImage, RefusalsLeaveTheDocumentAsItWas) {
  auto rgb = MakeColour(4, 4, ctRandom, 1, true);
  TIEBitmap empty;
  {
    TIEPDFBuilder b;
    EXPECT_THROW(b.AddImage(0, 0, 0, 0, *rgb, 0, 1, pdfUncompressed), EIEException);  // no page
  }
  struct Case {
    const char* name;
    TIEBitmap* bitmap;
    TPdfCompression compression;
  } cases[] = {
      {"unknown compression", rgb.get(), static_cast<TPdfCompression>(6)},
      {"empty bitmap", &empty, pdfUncompressed},
      {"empty bitmap as JPEG", &empty, pdfJPEG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    b.AddPage(100, 100);
    int objects = b.ObjectCount();
    EXPECT_THROW(b.AddImage(0, 0, 0, 0, *c.bitmap, 0, 1, c.compression), EIEException);
    EXPECT_EQ(b.ObjectCount(), objects);
    EXPECT_EQ(b.ImageCount(), 0);
    EXPECT_EQ(ContentOf(b, 0), "");
  }
  TIEPDFBuilder b;
  TIOParams params;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  EXPECT_THROW(b.AddFittedImagePage(empty, params, progress), EIEException);
  EXPECT_EQ(b.PageCount(), 0);
}

TEST(PdfImage, OtherPixelFormatsGoThroughAnRgbCopy) {
  struct Case {
    const char* name;
    TIEPixelFormat format;
  } cases[] = {{"ie8g", ie8g}, {"ie8p", ie8p}, {"ie16g", ie16g}, {"ieCMYK", ieCMYK}, {"ie32RGB", ie32RGB}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEBitmap bitmap(5, 2, c.format);
    for (int y = 0; y < 2; ++y)
      for (int64_t i = 0; i < bitmap.RowLen(); ++i) bitmap.Scanline(y)[i] = static_cast<uint8_t>(i * 37 + y);
    if (c.format == ie8p)
      for (int i = 0; i < 256; ++i) bitmap.SetPaletteEntry(i, TRGB{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
    bitmap.AlphaChannel()->Fill(200);
    std::vector<uint8_t> before;
    for (int y = 0; y < 2; ++y) before.insert(before.end(), bitmap.Scanline(y), bitmap.Scanline(y) + bitmap.RowLen());

    TIEBitmap expected(5, 2, ie24RGB);
    IECopyAndConvertFormat(bitmap, expected);

    TIEPDFBuilder b;
    b.AddPage(100, 100);
    b.AddImage(0, 0, 0, 0, bitmap, 0, 1, pdfUncompressed);
    ASSERT_EQ(b.ImageCount(), 2);  // soft mask and image
    std::string want = "stream\n";
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 5; ++x) {
        const uint8_t* p = expected.Scanline(y) + 3 * x;
        want += static_cast<char>(p[2]), want += static_cast<char>(p[1]), want += static_cast<char>(p[0]);
      }
    EXPECT_NE(TextOf(b.Image(1)).find(want + "\nendstream"), std::string::npos);
    EXPECT_EQ(ValueText(*b.Image(1).Dictionary, "ColorSpace"), "/DeviceRGB");

    EXPECT_EQ(bitmap.PixelFormat(), c.format);
    std::vector<uint8_t> after;
    for (int y = 0; y < 2; ++y) after.insert(after.end(), bitmap.Scanline(y), bitmap.Scanline(y) + bitmap.RowLen());
    EXPECT_EQ(after, before);
    EXPECT_TRUE(bitmap.HasAlphaChannel());
  }
}

TEST(PdfImage, FittedPage) {
  struct Case {
    const char* name;
    int32_t paperW, paperH, margin;
    int bw, bh;
    std::string mediaBox, content;
  } cases[] = {
      {"A4, wide picture", 595, 842, 0, 1000, 500, "[0 0 595 842 ]",
       "\nq\n1. 0. 0. 1. 297.50 693.50 cm\n595.00 0. 0. 297.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"A4 with margin, small picture grows", 595, 842, 21, 10, 20, "[0 0 595 842 ]",
       "\nq\n1. 0. 0. 1. 221.00 421.00 cm\n400.00 0. 0. 800.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"page from the picture", 0, 842, 10, 100, 50, "[0 0 120 70 ]",
       "\nq\n1. 0. 0. 1. 60.00 35.00 cm\n100.00 0. 0. 50.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
      {"margins wider than the page", 100, 100, 60, 10, 10, "[0 0 100 100 ]",
       "\nq\n1. 0. 0. 1. 60.50 39.50 cm\n1.00 0. 0. 1.00 0. 0. cm\n1. 0. 0. 1. -0.50 -0.50 cm\n/GSF255 gs\n/lm0 Do\nQ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEPDFBuilder b;
    TIOParams params;
    params.PdfPaperWidth = c.paperW, params.PdfPaperHeight = c.paperH, params.PdfMargin = c.margin;
    bool aborting = false;
    TProgressRecord progress;
    progress.Aborting = &aborting;
    TIEBitmap bitmap(c.bw, c.bh, ie1g);
    EXPECT_EQ(b.AddFittedImagePage(bitmap, params, progress), 0);
    EXPECT_EQ(ValueText(b.Page(0), "MediaBox"), c.mediaBox);
    EXPECT_EQ(ContentOf(b, 0), c.content);
  }
}

// ---------------------------------------------------------------------------
// Round trips through pdfimages

struct TRoundTripImage {
  std::string name;
  std::unique_ptr<TIEBitmap> bitmap;
};

// Embeds every image on its own page with the compression, saves, checks the
// file with qpdf and compares what pdfimages extracts with the bitmaps.
void RoundTrip(TPdfCompression compression, std::vector<TRoundTripImage>& images, const char* expectedEncoding) {
  TempDir dir;
  const std::string pdf = dir.File("out.pdf");
  {
    TIEPDFBuilder b;
    for (TRoundTripImage& im : images) {
      b.AddPage(612, 792);
      b.AddImage(0, 0, 0, 0, *im.bitmap, 0, 1, compression);
    }
    b.SaveToFile(pdf, "round trip", "", "", "", "", "", 0);
  }
  EXPECT_EQ(testsupport::QpdfProblems(pdf), "");

  std::vector<TListed> listed = ListImages(pdf);
  ASSERT_EQ(RunCommand("pdfimages " + Quote(pdf) + " " + Quote(dir.File("x"))).exitCode, 0);
  size_t n = 0;
  for (TRoundTripImage& im : images) {
    SCOPED_TRACE(im.name);
    TIEBitmap& b = *im.bitmap;
    char file[64];
    auto next = [&](const char* type) -> TPnm {
      TPnm pnm;
      EXPECT_LT(n, listed.size());
      if (n < listed.size()) {
        EXPECT_EQ(listed[n].type, type);
      }
      const char* exts[] = {"pbm", "pgm", "ppm"};
      for (const char* ext : exts) {
        std::snprintf(file, sizeof file, "x-%03zu.%s", n, ext);
        if (ReadPnm(dir.File(file), pnm)) break;
      }
      ++n;
      return pnm;
    };
    const bool colour = b.PixelFormat() != ie1g;
    const std::string encoding = listed.size() > n ? listed[n].encoding : "";
    TPnm pnm = next("image");
    if (!colour) {
      EXPECT_EQ(encoding, expectedEncoding);
      EXPECT_EQ(CompareBlackAndWhite(b, pnm), "");
    } else if (compression == pdfJPEG) {
      EXPECT_EQ(encoding, "jpeg");
      // The JPEG holds the colours as they look on white.
      TIEBitmap blended;
      blended.Assign(&b);
      blended.RemoveAlphaChannel(true, 0xFFFFFF);
      double psnr = PsnrAgainst(blended, pnm, false);
      std::printf("[ PSNR     ] %s: %.2f dB\n", im.name.c_str(), psnr);
      EXPECT_GE(psnr, im.name.find("photo") != std::string::npos ? 32.0 : 10.0);
    } else {
      EXPECT_EQ(encoding, "image");
      EXPECT_EQ(CompareColour(b, pnm), "");
    }
    if (colour && b.HasAlphaChannel()) {
      TPnm mask = next("smask");
      EXPECT_EQ(CompareGray(*b.AlphaChannel(), mask), "");
    }
  }
  EXPECT_EQ(n, listed.size());
}

std::vector<TRoundTripImage> BlackAndWhiteSet() {
  std::vector<TRoundTripImage> set;
  unsigned seed = 1;
  for (int w : {1, 7, 8, 9, 33, 1728, 1729, 2481, 5200})
    for (int h : {1, 2, 29})
      for (TContent c : {ctRandom, ctText}) {
        std::string name = "bw " + std::to_string(w) + "x" + std::to_string(h) + (c == ctRandom ? " random" : " text");
        set.push_back({name, MakeBlackAndWhite(w, h, c, seed++)});
      }
  // Uniform pages and runs longer than the largest make-up code.
  auto white = std::make_unique<TIEBitmap>(2600, 3, ie1g);
  white->Fill(1);
  set.push_back({"bw all white", std::move(white)});
  auto black = std::make_unique<TIEBitmap>(2600, 3, ie1g);
  black->Fill(0);
  set.push_back({"bw all black", std::move(black)});
  auto split = std::make_unique<TIEBitmap>(5200, 2, ie1g);
  split->Fill(1);
  for (int x = 2561; x < 5200; ++x) SetBit(*split, x, 1, false);
  set.push_back({"bw 2561 white then black", std::move(split)});
  // An alpha channel on a black-and-white bitmap gives no soft mask.
  auto withAlpha = MakeBlackAndWhite(40, 10, ctText, 99);
  withAlpha->AlphaChannel()->Fill(3);
  set.push_back({"bw with alpha", std::move(withAlpha)});
  return set;
}

std::vector<TRoundTripImage> ColourSet() {
  std::vector<TRoundTripImage> set;
  unsigned seed = 1000;
  for (int w : {1, 7, 8, 9, 33, 1728, 1729, 2481})
    for (int h : {1, 17})
      for (TContent c : {ctRandom, ctText}) {
        bool alpha = (seed % 2) == 0;
        std::string name = "colour " + std::to_string(w) + "x" + std::to_string(h) +
                           (c == ctRandom ? " random" : " text") + (alpha ? " alpha" : "");
        set.push_back({name, MakeColour(w, h, c, seed++, alpha)});
      }
  // More data than the builder keeps in memory before parking it.
  set.push_back({"colour 1200x1200 random alpha", MakeColour(1200, 1200, ctRandom, 77, true)});
  return set;
}

TEST(PdfImageRoundTrip, BlackAndWhiteEveryLosslessCompression) {
  if (!HaveOracles()) GTEST_SKIP() << "pdfimages or qpdf missing";
  struct Case {
    const char* name;
    TPdfCompression compression;
    const char* encoding;
  } cases[] = {{"uncompressed", pdfUncompressed, "image"}, {"run-length", pdfRLE, "image"},
               {"group 4", pdfG4Fax, "ccitt"},             {"group 3", pdfG3Fax2D, "ccitt"},
               {"JPEG request", pdfJPEG, "ccitt"},          {"LZW", pdfLZW, "image"}};
  std::vector<TRoundTripImage> set = BlackAndWhiteSet();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RoundTrip(c.compression, set, c.encoding);
  }
}

TEST(PdfImageRoundTrip, ColourEveryCompression) {
  if (!HaveOracles()) GTEST_SKIP() << "pdfimages or qpdf missing";
  std::vector<TRoundTripImage> set = ColourSet();
  for (TPdfCompression c : {pdfUncompressed, pdfRLE, pdfG4Fax, pdfG3Fax2D, pdfLZW}) {
    SCOPED_TRACE(static_cast<int>(c));
    RoundTrip(c, set, "image");
  }
}

TEST(PdfImageRoundTrip, JpegWithinCodecError) {
  if (!HaveOracles()) GTEST_SKIP() << "pdfimages or qpdf missing";
  std::vector<TRoundTripImage> set;
  set.push_back({"photo 640x480", MakeColour(640, 480, ctPhoto, 5, false)});
  set.push_back({"photo 333x77 alpha", MakeColour(333, 77, ctPhoto, 6, true)});
  set.push_back({"photo 1x1", MakeColour(1, 1, ctPhoto, 7, false)});
  set.push_back({"random 17x9", MakeColour(17, 9, ctRandom, 8, false)});
  RoundTrip(pdfJPEG, set, "jpeg");
}

TEST(PdfImageRoundTrip, CmykJpegRendersInItsColours) {
  if (!testsupport::HaveTool("pdftoppm") || !testsupport::HaveTool("qpdf")) GTEST_SKIP() << "pdftoppm or qpdf missing";
  TempDir dir;
  const std::string pdf = dir.File("cmyk.pdf");
  TIEBitmap picture(64, 32, ie24RGB);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) {
      uint8_t* p = picture.Scanline(y) + 3 * x;
      p[0] = x < 32 ? 0 : 255, p[1] = 0, p[2] = x < 32 ? 255 : 0;  // red, then blue
    }
  {
    TIEPDFBuilder b;
    b.AddPage(64, 32);
    TIOParams params;
    params.PdfCompression = pdfJPEG;
    params.JpegColorSpace = 3;
    params.JpegQuality = 95;
    bool aborting = false;
    TProgressRecord progress;
    progress.Aborting = &aborting;
    b.PlaceImage(64, 32, 0, 0, picture, 0, 1, params, progress);
    b.SaveToFile(pdf, "", "", "", "", "", "", 0);
  }
  EXPECT_EQ(testsupport::QpdfProblems(pdf), "");
  ASSERT_EQ(RunCommand("pdftoppm -r 72 " + Quote(pdf) + " " + Quote(dir.File("r"))).exitCode, 0);
  TPnm pnm;
  ASSERT_TRUE(ReadPnm(dir.File("r-1.ppm"), pnm) || ReadPnm(dir.File("r-01.ppm"), pnm));
  ASSERT_EQ(pnm.width, 64);
  // Device CMYK is not sRGB: only the hue is checked. Read without the
  // inversion, both halves would come out black.
  EXPECT_GT(PnmSample(pnm, 16, 16, 0), PnmSample(pnm, 16, 16, 2) + 80) << "red half";
  EXPECT_GT(PnmSample(pnm, 16, 16, 0), PnmSample(pnm, 16, 16, 1) + 80) << "red half";
  EXPECT_GT(PnmSample(pnm, 48, 16, 2), PnmSample(pnm, 48, 16, 0) + 80) << "blue half";
  EXPECT_GT(PnmSample(pnm, 48, 16, 2), PnmSample(pnm, 48, 16, 1) + 80) << "blue half";
}

TEST(PdfImageRoundTrip, GrayJpegIsDeclaredGray) {
  if (!HaveOracles()) GTEST_SKIP() << "pdfimages or qpdf missing";
  TempDir dir;
  const std::string pdf = dir.File("gray.pdf");
  auto photo = MakeColour(200, 100, ctPhoto, 3, false);
  {
    TIEPDFBuilder b;
    b.AddPage(200, 100);
    TIOParams params;
    params.PdfCompression = pdfJPEG;
    params.JpegColorSpace = 1;
    bool aborting = false;
    TProgressRecord progress;
    progress.Aborting = &aborting;
    b.PlaceImage(0, 0, 0, 0, *photo, 0, 1, params, progress);
    EXPECT_EQ(ValueText(*b.Image(0).Dictionary, "ColorSpace"), "/DeviceGray");
    b.SaveToFile(pdf, "", "", "", "", "", "", 0);
  }
  EXPECT_EQ(testsupport::QpdfProblems(pdf), "");
  ASSERT_EQ(RunCommand("pdfimages " + Quote(pdf) + " " + Quote(dir.File("x"))).exitCode, 0);
  TPnm pnm;
  ASSERT_TRUE(ReadPnm(dir.File("x-000.pgm"), pnm) || ReadPnm(dir.File("x-000.ppm"), pnm));
  double psnr = PsnrAgainst(*photo, pnm, true);
  std::printf("[ PSNR     ] gray photo: %.2f dB\n", psnr);
  EXPECT_GE(psnr, 32.0);
}

}  // namespace
