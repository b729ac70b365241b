// velmora-cli end to end, judged by qpdf, poppler and the exit status.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "pagegeom.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::Quote;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const std::string kCli = VELMORA_CLI;

struct TColor {
  uint8_t r, g, b;
};
using TPixelFn = std::function<TColor(int x, int y)>;

using testsupport::Put16;
using testsupport::Put32;

// A bottom-up BMP of 24 bits, or of 1 bit (black where the colour is dark).
void WriteBmp(const std::string& path, int w, int h, const TPixelFn& px, int bits = 24) {
  const uint32_t row = ((uint32_t(w) * bits + 31) / 32) * 4;
  const uint32_t paletteBytes = bits == 1 ? 8 : 0;
  std::vector<uint8_t> v = {'B', 'M'};
  Put32(v, 54 + paletteBytes + row * h);
  Put32(v, 0);
  Put32(v, 54 + paletteBytes);
  Put32(v, 40);
  Put32(v, w);
  Put32(v, h);
  Put16(v, 1);
  Put16(v, bits);
  Put32(v, 0);
  Put32(v, row * h);
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, bits == 1 ? 2 : 0);
  Put32(v, 0);
  if (bits == 1) v.insert(v.end(), {0, 0, 0, 0, 255, 255, 255, 0});
  for (int y = h - 1; y >= 0; --y) {
    std::vector<uint8_t> r(row, 0);
    for (int x = 0; x < w; ++x) {
      TColor c = px(x, y);
      if (bits == 1) {
        if (c.r + c.g + c.b > 3 * 128) r[x / 8] |= uint8_t(0x80 >> (x % 8));
      } else {
        r[x * 3] = c.b;
        r[x * 3 + 1] = c.g;
        r[x * 3 + 2] = c.r;
      }
    }
    v.insert(v.end(), r.begin(), r.end());
  }
  WriteFileBytes(path, v);
}

// A JPEG made by cjpeg from a hand-written PPM; with an orientation, an APP1
// EXIF segment carrying it is put after the JFIF segment.
void WriteJpeg(const TempDir& dir, const std::string& name, int w, int h, const TPixelFn& px,
               int orientation = 0) {
  std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  std::vector<uint8_t> ppm(header.begin(), header.end());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      TColor c = px(x, y);
      ppm.insert(ppm.end(), {c.r, c.g, c.b});
    }
  WriteFileBytes(dir.File(name + ".ppm"), ppm);
  ASSERT_EQ(RunCommand("cjpeg -quality 90 " + Quote(dir.File(name + ".ppm")) + " > " + Quote(dir.File(name))).exitCode,
            0);
  fs::remove(dir.File(name + ".ppm"));
  if (!orientation) return;
  std::vector<uint8_t> jpg = ReadFileBytes(dir.File(name));
  ASSERT_TRUE(jpg.size() > 6 && jpg[0] == 0xFF && jpg[1] == 0xD8 && jpg[2] == 0xFF && jpg[3] == 0xE0);
  size_t at = 4 + (size_t(jpg[4]) << 8 | jpg[5]);
  std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 36, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                               0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, uint8_t(orientation), 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(app1.size(), 38u);
  jpg.insert(jpg.begin() + static_cast<long>(at), app1.begin(), app1.end());
  WriteFileBytes(dir.File(name), jpg);
}

TColor Scene(int x, int y) { return {uint8_t(x * 7), uint8_t(y * 5), uint8_t((x ^ y) & 0xFF)}; }
TColor Stripes(int x, int y) {
  return (x / 9 + y / 7) % 2 ? TColor{255, 255, 255} : TColor{0, 0, 0};
}

CommandResult Cli(const std::string& args) { return RunCommand(Quote(kCli) + " " + args); }

struct TImageRow {
  int page = 0, width = 0, height = 0;
  std::string color, enc;
};

std::vector<TImageRow> ListImages(const std::string& pdf) {
  CommandResult r = RunCommand("pdfimages -list " + Quote(pdf));
  std::vector<TImageRow> rows;
  std::istringstream in(r.output);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    if (++lineNo <= 2) continue;  // header and rule
    std::istringstream f(line);
    TImageRow row;
    std::string num, type, comp, bpc;
    f >> row.page >> num >> type >> row.width >> row.height >> row.color >> comp >> bpc >> row.enc;
    if (f) rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class CliTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* tool : {"qpdf", "pdfimages", "pdfinfo", "pdftoppm", "cjpeg"})
      if (!testsupport::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  TempDir dir;
};

// --- Documents for every page option ------------------------------------------

TEST_F(CliTest, EveryPaperPositionAndCompressionGivesACleanDocument) {
  struct TInput {
    std::string name;
    int width, height;
    bool bw;
  };
  const std::vector<TInput> inputs = {{"colour.bmp", 700, 500, false},
                                      {"bw.bmp", 300, 200, true},
                                      {"photo.jpg", 640, 480, false}};
  WriteBmp(dir.File("colour.bmp"), 700, 500, Scene);
  WriteBmp(dir.File("bw.bmp"), 300, 200, Stripes, 1);
  WriteJpeg(dir, "photo.jpg", 640, 480, Scene);
  const char* papers[] = {"A0",        "A1",       "A2",        "A3",         "A4",    "A5",    "A6",
                          "B5",        "US Letter", "us-legal", "ledger",     "US Tabloid", "first", "custom"};
  const char* positions[] = {"top-left", "top", "top-right", "left", "center", "right",
                             "bottom-left", "bottom", "bottom-right"};
  const char* compressions[] = {"none", "rle", "g4", "g3", "jpeg", "lzw"};
  const double margins[] = {0, 0.5, 1, 2};
  const int qualities[] = {20, 0, 100, 55};

  for (int i = 0; i < 18; ++i) {
    const int paper = i % 14, position = i % 9, compression = i % 6;
    const bool named = paper < kPaperCount, landscape = named && (i / 2) % 2 == 1;
    const double margin = margins[i % 4];
    const int quality = qualities[(i / 3) % 4];
    std::string args = "--paper " + Quote(papers[paper]) + " --position " + positions[position] +
                       " --compression " + compressions[compression] + " --margin " + std::to_string(margin) +
                       " --quality " + std::to_string(quality) + (landscape ? " --landscape" : "");
    int32_t fieldW = 400, fieldH = 300;
    if (paper == kPaperItemCount - 1) args += " --size 400x300";
    if (paper == kPaperItemCount - 2) {
      TPageSize s = FirstPictureSize(true, 700, 500, 60);
      fieldW = s.Width;
      fieldH = s.Height;
      args += " --scale 60";
    }
    SCOPED_TRACE(args);
    const std::string out = dir.File("out" + std::to_string(i) + ".pdf");
    CommandResult r = Cli(args + " " + Quote(dir.File("colour.bmp")) + " " + Quote(dir.File("bw.bmp")) + " " +
                          Quote(dir.File("photo.jpg")) + " -o " + Quote(out));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(testsupport::QpdfProblems(out), "");

    const TPageSize page = PageSize(paper, landscape, fieldW, fieldH);
    const int32_t m = MarginPoints(margin);
    std::vector<uint8_t> bytes = ReadFileBytes(out);
    const std::string pdf(bytes.begin(), bytes.end());
    bool anyBw = false;
    std::vector<TImageRow> rows = ListImages(out);
    ASSERT_EQ(rows.size(), inputs.size());
    for (size_t k = 0; k < inputs.size(); ++k) {
      const TInput& in = inputs[k];
      SCOPED_TRACE(in.name);
      TImagePlace place = FitImageOnPage(page.Width, page.Height, m, in.width, in.height, position);
      bool scaled = place.Width != in.width || place.Height != in.height;
      TPageSize pixels = scaled ? ResampleSize(in.width, in.height, place.Width, place.Height, quality)
                                : TPageSize{in.width, in.height};
      EXPECT_EQ(rows[k].page, int(k) + 1);
      EXPECT_EQ(rows[k].width, pixels.Width);
      EXPECT_EQ(rows[k].height, pixels.Height);
      // Black-and-white pictures stay 1-bit unless scaling made them gray.
      bool bw = in.bw && !scaled;
      // pdfimages tells JPEG and fax apart; run-length and LZW show as "image".
      static const char* kColourEnc[] = {"image", "image", "image", "image", "jpeg", "image"};
      static const char* kBwEnc[] = {"image", "image", "ccitt", "ccitt", "ccitt", "image"};
      EXPECT_EQ(rows[k].enc, bw ? kBwEnc[compression] : kColourEnc[compression]);
      anyBw = anyBw || bw;
    }
    EXPECT_EQ(pdf.find("/LZWDecode") != std::string::npos, compression == 5);
    EXPECT_EQ(pdf.find("/RunLengthDecode") != std::string::npos, compression == 1 && anyBw);
  }
}

TEST_F(CliTest, ConvertsTheExamplesWithTheDefaults) {
  const std::string examples = (fs::path(VELMORA_TEST_DATA_DIR).parent_path().parent_path() / "examples").string();
  const std::string out = dir.File("examples.pdf");
  CommandResult r = Cli(Quote(examples) + " -o " + Quote(out));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "Wrote " + out + " (4 pages)\n");  // nothing else: stderr is no terminal
  EXPECT_EQ(testsupport::QpdfProblems(out), "");
  EXPECT_EQ(ListImages(out).size(), 4u);
}

TEST_F(CliTest, APortraitPhoneComesOutUpright) {
  // Stored 80 x 40 with red on the left; EXIF orientation 6 (turn 90 degrees
  // clockwise) makes it 40 x 80 with red on top.
  WriteJpeg(dir, "phone.jpg", 80, 40, [](int x, int) { return x < 40 ? TColor{230, 20, 20} : TColor{20, 20, 230}; },
            6);
  const std::string out = dir.File("phone.pdf");
  CommandResult r = Cli(Quote(dir.File("phone.jpg")) + " -o " + Quote(out));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<TImageRow> rows = ListImages(out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].width, 40);
  EXPECT_EQ(rows[0].height, 80);

  // Rendered at 72 dpi the A4 page is 595 x 842 pixels; the picture sits
  // centred at (277, 381).
  ASSERT_EQ(RunCommand("pdftoppm -r 72 " + Quote(out) + " " + Quote(dir.File("page"))).exitCode, 0);
  std::vector<uint8_t> ppm = ReadFileBytes(dir.File("page-1.ppm"));
  const std::string head = "P6\n595 842\n255\n";
  ASSERT_EQ(std::string(ppm.begin(), ppm.begin() + static_cast<long>(head.size())), head);
  auto at = [&](int x, int y) {
    size_t i = head.size() + (size_t(y) * 595 + x) * 3;
    return TColor{ppm[i], ppm[i + 1], ppm[i + 2]};
  };
  TColor top = at(297, 391), bottom = at(297, 451);
  EXPECT_GT(top.r, 180);
  EXPECT_LT(top.b, 80);
  EXPECT_GT(bottom.b, 180);
  EXPECT_LT(bottom.r, 80);

  r = Cli("--info " + Quote(dir.File("phone.jpg")));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, dir.File("phone.jpg") + ": JPEG Image, 40 x 80, 1 frame\n");
}

TEST_F(CliTest, InformationTextsReadBackUnchanged) {
  WriteBmp(dir.File("a.bmp"), 20, 20, Scene);
  const std::string out = dir.File("info.pdf");
  CommandResult r = Cli("--title 'Résumé 报告' --author 'Résumé 报告' --subject 'Plain (text)' " +
                        Quote(dir.File("a.bmp")) + " -o " + Quote(out));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  CommandResult info = RunCommand("pdfinfo -enc UTF-8 " + Quote(out));
  // pdfinfo pads each name with blanks to a column.
  auto field = [&](const std::string& name) -> std::string {
    const std::string text = "\n" + info.output;
    size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos) return "(missing)";
    size_t start = text.find_first_not_of(' ', at + name.size() + 2);
    return text.substr(start, text.find('\n', start) - start);
  };
  EXPECT_EQ(field("Title"), "Résumé 报告") << info.output;
  EXPECT_EQ(field("Author"), "Résumé 报告");
  EXPECT_EQ(field("Subject"), "Plain (text)");
  EXPECT_EQ(field("Creator"), "Velmora Image to PDF 1.0");
  EXPECT_EQ(info.output.find("Keywords:"), std::string::npos);
  EXPECT_NE(info.output.find("CreationDate:"), std::string::npos);
}

// --- Inputs ---------------------------------------------------------------------

TEST_F(CliTest, FoldersAddTheirPicturesAndSortOrdersByName) {
  fs::create_directory(dir.File("folder"));
  fs::create_directory(dir.File("folder/sub"));
  WriteBmp(dir.File("folder/b.bmp"), 30, 20, Scene);
  WriteBmp(dir.File("folder/A.bmp"), 20, 30, Scene);
  WriteBmp(dir.File("folder/sub/c.bmp"), 50, 50, Scene);
  WriteFileBytes(dir.File("folder/notes.txt"), "notes", 5);
  WriteBmp(dir.File("z.bmp"), 10, 10, Scene);
  auto sizes = [&](const std::string& flags) {
    const std::string out = dir.File("list.pdf");
    CommandResult r = Cli(flags + Quote(dir.File("z.bmp")) + " " + Quote(dir.File("folder")) + " -o " + Quote(out));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::pair<int, int>> s;
    for (const TImageRow& row : ListImages(out)) s.emplace_back(row.width, row.height);
    return s;
  };
  // As given; the folder's own pictures in name order, its subfolder not searched.
  EXPECT_EQ(sizes(""), (std::vector<std::pair<int, int>>{{10, 10}, {20, 30}, {30, 20}}));
  EXPECT_EQ(sizes("--sort "), (std::vector<std::pair<int, int>>{{20, 30}, {30, 20}, {10, 10}}));
}

TEST_F(CliTest, NothingReadableWritesNothing) {
  WriteFileBytes(dir.File("junk.bmp"), "not a picture", 13);
  WriteFileBytes(dir.File("notes.txt"), "notes", 5);
  fs::create_directory(dir.File("empty"));
  const std::string out = dir.File("out.pdf");
  CommandResult r = Cli(Quote(dir.File("junk.bmp")) + " " + Quote(dir.File("gone.jpg")) + " " +
                        Quote(dir.File("notes.txt")) + " " + Quote(dir.File("empty")) + " -o " + Quote(out));
  EXPECT_EQ(r.exitCode, 3) << r.output;
  EXPECT_FALSE(fs::exists(out));
  for (const std::string& line : std::vector<std::string>{
           "skipping " + dir.File("junk.bmp") + ": not a readable picture",
        "skipping " + dir.File("gone.jpg") + ": no such file or folder",
        "skipping " + dir.File("notes.txt") + ": not a picture format this program reads",
        "skipping " + dir.File("empty") + ": the folder holds no pictures",
        "no input could be read; nothing written"})
    EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
}

TEST_F(CliTest, SkippedInputsAreNamedAndTheRestConverts) {
  WriteBmp(dir.File("good.bmp"), 30, 30, Scene);
  WriteFileBytes(dir.File("bad.jpg"), "\xFF\xD8\xFF\xE0 broken", 11);
  const std::string out = dir.File("out.pdf");
  CommandResult r = Cli("-q " + Quote(dir.File("bad.jpg")) + " " + Quote(dir.File("good.bmp")) + " -o " + Quote(out));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("skipping " + dir.File("bad.jpg") + ": not a readable picture"), std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Wrote"), std::string::npos);  // quiet
  EXPECT_EQ(ListImages(out).size(), 1u);
}

// --- Failures ------------------------------------------------------------------

TEST_F(CliTest, AFailedConversionLeavesTheOldFileAndNothingElse) {
  WriteBmp(dir.File("big.bmp"), 700, 500, Scene);
  fs::create_directory(dir.File("out"));
  const std::string out = dir.File("out/doc.pdf");
  WriteFileBytes(out, "old", 3);
  // 64 KiB per file is far less than the uncompressed document needs.
  CommandResult r = RunCommand("ulimit -f 64; " + Quote(kCli) + " --compression none " + Quote(dir.File("big.bmp")) +
                               " -o " + Quote(out));
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("cannot write " + out + ": "), std::string::npos) << r.output;
  std::vector<uint8_t> left = ReadFileBytes(out);
  EXPECT_EQ(std::string(left.begin(), left.end()), "old");
  EXPECT_EQ(FolderNames(dir.File("out")), std::vector<std::string>{"doc.pdf"});

  r = Cli(Quote(dir.File("big.bmp")) + " -o " + Quote(dir.File("no/such/folder.pdf")));
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("the folder " + dir.File("no/such") + " does not exist"), std::string::npos) << r.output;
}

TEST_F(CliTest, UsageErrors) {
  WriteBmp(dir.File("a.bmp"), 10, 10, Scene);
  const std::string in = Quote(dir.File("a.bmp")), out = " -o " + Quote(dir.File("out.pdf"));
  struct Case {
    const char* name;
    std::string args, says;
  } cases[] = {
      {"no arguments", "", "no input given"},
      {"no output", in, "no output file given"},
      {"unknown paper", "--paper A9 " + in + out, "unknown paper \"A9\""},
      {"bad size", "--size 10by10 " + in + out, "--size wants"},
      {"size too large", "--size 20000x10 " + in + out, "--size wants"},
      {"size with a named paper", "--paper A4 --size 100x100 " + in + out, "--size goes with --paper custom"},
      {"scale with a named paper", "--paper A4 --scale 50 " + in + out, "--scale goes with --paper first"},
      {"landscape with custom", "--paper custom --landscape " + in + out, "--landscape goes with a named paper"},
      {"quality too high", "--quality 101 " + in + out, "--quality must lie in 0 to 100"},
      {"negative margin", "--margin -1 " + in + out, "--margin must lie in 0 to 10"},
      {"unknown position", "--position middle-top " + in + out, "unknown position"},
      {"unknown compression", "--compression zip " + in + out, "unknown compression"},
      {"not a number", "--quality high " + in + out, "quality"},
      {"unknown option", "--frobnicate " + in + out, "frobnicate"},
      {"margins too large", "--paper A6 --margin 4.5 " + in + out, "the margin is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandResult r = Cli(c.args);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir.File("out.pdf")));
  }
}

TEST_F(CliTest, HelpVersionAndFormats) {
  CommandResult r = Cli("--help");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("--compression"), std::string::npos);
  EXPECT_NE(r.output.find("Exit status"), std::string::npos);
  r = Cli("--version");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output.rfind("velmora-cli ", 0), 0u);
  r = Cli("--list-formats");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("JPEG Image: jpg jpeg jpe jif\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Windows Bitmap: bmp dib rle\n"), std::string::npos);
  EXPECT_NE(r.output.find("Adobe PDF: pdf (not readable)\n"), std::string::npos);
}

TEST_F(CliTest, PositionNamesPlaceThePicture) {
  // A 100 x 100 picture on A4 with a 1 cm margin: the content stream's
  // translation is the picture's centre, measured from the bottom edge.
  WriteBmp(dir.File("a.bmp"), 100, 100, Scene);
  struct Case {
    const char* name;
    int x, y;  // top-left corner from the page's top-left, points
  } cases[] = {
      {"top-left", 28, 28},         {"top", 247, 28},          {"top-right", 467, 28},
      {"middle-left", 28, 371},     {"centre", 247, 371},      {"right", 467, 371},
      {"bottom_left", 28, 714},     {"Bottom-Center", 247, 714}, {"bottom-right", 467, 714},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.File("pos.pdf");
    CommandResult r = Cli("--compression none --position " + std::string(c.name) + " " + Quote(dir.File("a.bmp")) +
                          " -o " + Quote(out));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::vector<uint8_t> b = ReadFileBytes(out);
    std::string pdf(b.begin(), b.end());
    char expect[64];
    std::snprintf(expect, sizeof expect, "1. 0. 0. 1. %d.00 %d.00 cm", c.x + 50, 842 - c.y - 50);
    EXPECT_NE(pdf.find(expect), std::string::npos) << expect;
  }
}

}  // namespace
