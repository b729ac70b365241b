// The conversion job through a recording host, its helpers, the safe save,
// and the parts of the image list the command line uses.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "apptexts.h"
#include "convjob.h"
#include "iebitmap.h"
#include "iecore.h"
#include "iepdfobjects.h"
#include "iestream.h"
#include "imagelist.h"
#include "pagegeom.h"
#include "testsupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

struct TColor {
  uint8_t r, g, b;
};
using TPixelFn = std::function<TColor(int x, int y)>;

TColor Gray(int, int) { return {128, 128, 128}; }

using testsupport::Put16;
using testsupport::Put32;

// A 24-bit bottom-up BMP.
void WriteBmp(const std::string& path, int w, int h, const TPixelFn& px = Gray) {
  const uint32_t row = (uint32_t(w) * 3 + 3) & ~3u;
  std::vector<uint8_t> v = {'B', 'M'};
  Put32(v, 54 + row * h);
  Put32(v, 0);
  Put32(v, 54);
  Put32(v, 40);
  Put32(v, w);
  Put32(v, h);
  Put16(v, 1);
  Put16(v, 24);
  Put32(v, 0);
  Put32(v, row * h);
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, 0);
  Put32(v, 0);
  for (int y = h - 1; y >= 0; --y) {
    size_t start = v.size();
    for (int x = 0; x < w; ++x) {
      TColor c = px(x, y);
      v.insert(v.end(), {c.b, c.g, c.r});
    }
    v.resize(start + row, 0);
  }
  WriteFileBytes(path, v);
}

// An APP1 segment's data holding only the EXIF orientation.
std::vector<uint8_t> ExifOrientation(int orientation) {
  return {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8,                  // TIFF header
          0, 1,                                                                   // one entry
          0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, uint8_t(orientation), 0, 0,            // Orientation, SHORT
          0, 0, 0, 0};                                                            // no next directory
}

void WriteJpeg(const std::string& path, int w, int h, const TPixelFn& px = Gray, int exifOrientation = 0) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  if (exifOrientation) {
    std::vector<uint8_t> exif = ExifOrientation(exifOrientation);
    jpeg_write_marker(&c, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  }
  std::vector<uint8_t> row(size_t(w) * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      TColor p = px(x, y);
      row[x * 3] = p.r;
      row[x * 3 + 1] = p.g;
      row[x * 3 + 2] = p.b;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  WriteFileBytes(path, buf, size);
  std::free(buf);
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

// The integer after `key` at or after `from`; -1 when there is none.
int NumberAfter(const std::string& pdf, const std::string& key, size_t from) {
  size_t at = pdf.find(key, from);
  return at == std::string::npos ? -1 : std::atoi(pdf.c_str() + at + key.size());
}

// Pixel sizes of the image XObjects, in document order.
std::vector<std::pair<int, int>> ImageSizes(const std::string& pdf) {
  std::vector<std::pair<int, int>> out;
  for (size_t at = pdf.find("/Subtype /Image"); at != std::string::npos; at = pdf.find("/Subtype /Image", at + 1))
    out.emplace_back(NumberAfter(pdf, "/Width ", at), NumberAfter(pdf, "/Height ", at));
  return out;
}

std::vector<std::string> MediaBoxes(const std::string& pdf) {
  std::vector<std::string> out;
  for (size_t at = pdf.find("/MediaBox ["); at != std::string::npos; at = pdf.find("/MediaBox [", at + 1)) {
    size_t start = at + 11;
    out.push_back(pdf.substr(start, pdf.find(']', start) - start));
  }
  return out;
}

// The information dictionary (object 3).
std::string InfoDictionary(const std::string& pdf) {
  size_t at = pdf.find("\n3 0 obj\n");
  if (at == std::string::npos) return std::string();
  return pdf.substr(at, pdf.find("endobj", at) - at);
}

// Records every call, in order; can cancel the save dialog or fail a step.
class TRecordingHost : public TConvertHost {
public:
  explicit TRecordingHost(std::string output) : Output(std::move(output)) {}

  bool ChooseOutputFile(const std::string& title, std::string& fileName) override {
    Events.push_back("choose " + title);
    if (Cancel) return false;
    fileName = Output;
    return true;
  }
  void ShowMessage(const TJobMessage& m) override {
    Events.push_back("message");
    Messages.push_back(m);
  }
  void BeginProgress(int total, const std::string& caption) override {
    Events.push_back("begin " + std::to_string(total) + " " + caption);
  }
  void StepProgress(int done, int total, const TImageEntry& entry) override {
    Events.push_back("step " + std::to_string(done) + "/" + std::to_string(total) + " " + entry.Caption);
    current = done;
  }
  void EndProgress() override { Events.push_back("end"); }
  void ProcessEvents() override {
    if (FailAtStep && current == FailAtStep) throw std::runtime_error("the window went away");
  }
  void EntrySkipped(const TImageEntry& entry, TSkipReason reason) override {
    Events.push_back(std::string(reason == srMissing ? "missing " : "unreadable ") + entry.Caption);
  }

  std::string Output;
  bool Cancel = false;
  int FailAtStep = 0;
  std::vector<std::string> Events;
  std::vector<TJobMessage> Messages;

private:
  int current = 0;
};

std::vector<std::string> FolderNames(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// --- The job -----------------------------------------------------------------

TEST(ConvertJob, PlacesAndResamplesThe600x400Example) {
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 600, 400);
  TRecordingHost host(dir.File("out.pdf"));
  TConvertOptions o;  // A4 portrait, margin 1 cm, centre, quality 20
  o.Compression = 0;
  TConvertResult r = RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0)}, o, host);
  ASSERT_EQ(r.Status, csWritten) << r.Error;
  EXPECT_EQ(r.Pages, 1);
  std::string pdf = ReadText(dir.File("out.pdf"));
  EXPECT_EQ(MediaBoxes(pdf), std::vector<std::string>{"0 0 595 842 "});
  // 539 x 359 points at x 28, y 241 from the top: centre (297.5, 842 - 241 - 179.5).
  EXPECT_NE(pdf.find("1. 0. 0. 1. 297.50 421.50 cm\n539.00 0. 0. 359.00 0. 0. cm"), std::string::npos);
  EXPECT_EQ(ImageSizes(pdf), (std::vector<std::pair<int, int>>{{551, 367}}));
  EXPECT_NE(pdf.find("/Length " + std::to_string(551 * 367 * 3)), std::string::npos);
  EXPECT_EQ(testsupport::QpdfProblems(dir.File("out.pdf")), "");

  ASSERT_EQ(host.Messages.size(), 1u);
  EXPECT_EQ(host.Messages[0].Kind, jmWritten);
  EXPECT_EQ(host.Messages[0].Text, dir.File("out.pdf") + "\r\n" + SuccessText);
  EXPECT_EQ(host.Messages[0].Caption, SuccessCaption);
  const TMessageTexts texts;
  EXPECT_EQ(host.Events, (std::vector<std::string>{"choose " + texts[msSaveAs],
                                                    "begin 1 " + texts[msProcessing], "step 1/1 a.bmp", "end",
                                                    "message"}));
}

TEST(ConvertJob, The3000x2000ExampleKeepsAFifthOfTheExcessPixels) {
  TempDir dir;
  // JPEG, so the decoder may take the reduced path; the result must not show it.
  WriteJpeg(dir.File("big.jpg"), 3000, 2000, [](int x, int y) {
    return TColor{uint8_t(x * 255 / 3000), uint8_t(y * 255 / 2000), 90};
  });
  TRecordingHost host(dir.File("out.pdf"));
  TConvertOptions o;
  o.MarginCm = 0;
  TConvertResult r = RunConvertJob({MakeImageEntry(dir.File("big.jpg"), 0)}, o, host);
  ASSERT_EQ(r.Status, csWritten) << r.Error;
  std::string pdf = ReadText(dir.File("out.pdf"));
  EXPECT_NE(pdf.find("595.00 0. 0. 397.00 0. 0. cm"), std::string::npos);
  EXPECT_EQ(ImageSizes(pdf), (std::vector<std::pair<int, int>>{{1076, 718}}));
  EXPECT_NE(pdf.find("/DCTDecode"), std::string::npos);
}

TEST(ConvertJob, QualityDecidesThePixelsKept) {
  // 600 x 400 on A6 without margin is placed 297 x 198.
  struct Case {
    const char* name;
    int quality;
    std::pair<int, int> pixels;
  } cases[] = {
      {"none of the excess", 0, {297, 198}},
      {"half of it", 50, {448, 299}},  // 448.5 -> 448, 299
      {"all of it", 100, {600, 400}},
      {"out of range counts as 100", 250, {600, 400}},
  };
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 600, 400);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingHost host(dir.File("out.pdf"));
    TConvertOptions o;
    o.PaperIndex = 6;
    o.MarginCm = 0;
    o.Quality = c.quality;
    ASSERT_EQ(RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0)}, o, host).Status, csWritten);
    EXPECT_EQ(ImageSizes(ReadText(dir.File("out.pdf"))), (std::vector<std::pair<int, int>>{c.pixels}));
  }
}

TEST(ConvertJob, SkipsMissingAndUnreadableEntries) {
  TempDir dir;
  WriteBmp(dir.File("good.bmp"), 50, 40);
  testsupport::WriteFileBytes(dir.File("junk.bmp"), "this is not a picture at all", 28);
  std::vector<TImageEntry> entries = {MakeImageEntry(dir.File("gone.bmp"), 0),
                                      MakeImageEntry(dir.File("junk.bmp"), 0),
                                      MakeImageEntry(dir.File("good.bmp"), 0)};
  TRecordingHost host(dir.File("out.pdf"));
  TConvertResult r = RunConvertJob(entries, TConvertOptions(), host);
  ASSERT_EQ(r.Status, csWritten) << r.Error;
  EXPECT_EQ(r.Pages, 1);
  EXPECT_EQ(r.Skipped, 2);
  std::vector<std::string> expected = {"step 1/3 gone.bmp", "missing gone.bmp", "step 2/3 junk.bmp",
                                       "unreadable junk.bmp", "step 3/3 good.bmp", "end", "message"};
  EXPECT_EQ(std::vector<std::string>(host.Events.begin() + 2, host.Events.end()), expected);
  EXPECT_EQ(MediaBoxes(ReadText(dir.File("out.pdf"))).size(), 1u);
}

// A BMP header of 0 x 0 loads "successfully" without pixels; the bitmap
// then still holds the previous page's picture.
TEST(ConvertJob, APictureOfNoPixelsMakesNoPage) {
  TempDir dir;
  WriteBmp(dir.File("good.bmp"), 50, 40);
  WriteBmp(dir.File("none.bmp"), 0, 0);
  std::vector<TImageEntry> entries = {MakeImageEntry(dir.File("good.bmp"), 0),
                                      MakeImageEntry(dir.File("none.bmp"), 0)};
  TRecordingHost host(dir.File("out.pdf"));
  TConvertResult r = RunConvertJob(entries, TConvertOptions(), host);
  ASSERT_EQ(r.Status, csWritten) << r.Error;
  EXPECT_EQ(r.Pages, 1);
  EXPECT_EQ(r.Skipped, 1);
  EXPECT_NE(std::find(host.Events.begin(), host.Events.end(), "unreadable none.bmp"), host.Events.end());
}

TEST(ConvertJob, AllSkippedWritesAnEmptyDocumentOnlyWhenAsked) {
  TempDir dir;
  std::vector<TImageEntry> entries = {MakeImageEntry(dir.File("gone.bmp"), 0)};
  {
    TRecordingHost host(dir.File("window.pdf"));
    TConvertResult r = RunConvertJob(entries, TConvertOptions(), host);
    EXPECT_EQ(r.Status, csWritten);
    EXPECT_EQ(testsupport::QpdfProblems(dir.File("window.pdf")), "");
  }
  {
    TRecordingHost host(dir.File("cli.pdf"));
    TConvertOptions o;
    o.WriteEmptyDocument = false;
    TConvertResult r = RunConvertJob(entries, o, host);
    EXPECT_EQ(r.Status, csNothingRead);
    EXPECT_FALSE(std::filesystem::exists(dir.File("cli.pdf")));
    EXPECT_TRUE(host.Messages.empty());
  }
}

TEST(ConvertJob, RefusesEmptyListAndTooLargeMarginsBeforeAskingForAName) {
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 10, 10);
  const TMessageTexts texts = TMessageTexts::English();
  struct Case {
    const char* name;
    std::vector<TImageEntry> entries;
    int paper;
    double margin;
    TConvertStatus status;
    TJobMessageKind kind;
    TMessageId text;
  } cases[] = {
      {"empty list", {}, 4, 1.0, csEmptyList, jmEmptyList, msTip4},
      {"custom 100 x 100 with 1 cm", {MakeImageEntry(dir.File("a.bmp"), 0)}, 13, 1.0, csMarginsTooLarge,
       jmMarginsTooLarge, msTip8},
      {"A6 with 4.5 cm", {MakeImageEntry(dir.File("a.bmp"), 0)}, 6, 4.5, csMarginsTooLarge, jmMarginsTooLarge,
       msTip8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingHost host(dir.File("out.pdf"));
    TConvertOptions o;
    o.PaperIndex = c.paper;
    o.Width = o.Height = 100;
    o.MarginCm = c.margin;
    TConvertResult r = RunConvertJob(c.entries, o, host, texts);
    EXPECT_EQ(r.Status, c.status);
    ASSERT_EQ(host.Events, std::vector<std::string>{"message"});
    EXPECT_EQ(host.Messages[0].Kind, c.kind);
    EXPECT_EQ(host.Messages[0].Text, texts[c.text]);
    EXPECT_EQ(host.Messages[0].Caption, texts[msInfo]);
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.pdf")));
  }
}

TEST(ConvertJob, CancellingTheSaveDialogChangesNothing) {
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 10, 10);
  WriteFileBytes(dir.File("out.pdf"), "old", 3);
  TRecordingHost host(dir.File("out.pdf"));
  host.Cancel = true;
  TConvertResult r = RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0)}, TConvertOptions(), host);
  EXPECT_EQ(r.Status, csCancelled);
  EXPECT_EQ(host.Events.size(), 1u);  // only the dialog: no progress, no message
  EXPECT_EQ(ReadText(dir.File("out.pdf")), "old");
}

TEST(ConvertJob, AFailureLeavesTheOldFileAndNothingElse) {
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 10, 10);
  WriteBmp(dir.File("b.bmp"), 10, 10);
  WriteFileBytes(dir.File("out.pdf"), "old", 3);
  TRecordingHost host(dir.File("out.pdf"));
  host.FailAtStep = 2;
  const TMessageTexts texts;
  TConvertResult r = RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0), MakeImageEntry(dir.File("b.bmp"), 0)},
                                   TConvertOptions(), host, texts);
  EXPECT_EQ(r.Status, csFailed);
  EXPECT_EQ(r.Error, "the window went away");
  ASSERT_EQ(host.Messages.size(), 1u);
  EXPECT_EQ(host.Messages[0].Kind, jmFailed);
  EXPECT_EQ(host.Messages[0].Text, texts[msTip5]);
  EXPECT_EQ(host.Messages[0].Caption, texts[msError]);
  EXPECT_EQ(host.Messages[0].Icon, miError);
  EXPECT_EQ(host.Messages[0].Detail, "the window went away");
  // The progress display is gone before the message appears.
  EXPECT_EQ(host.Events[host.Events.size() - 2], "end");
  EXPECT_EQ(ReadText(dir.File("out.pdf")), "old");
  EXPECT_EQ(FolderNames(dir), (std::vector<std::string>{"a.bmp", "b.bmp", "out.pdf"}));
}

TEST(ConvertJob, FirstPictureSizeHoldsForEveryPage) {
  TempDir dir;
  WriteBmp(dir.File("1.bmp"), 600, 400);
  WriteBmp(dir.File("2.bmp"), 300, 500);
  WriteBmp(dir.File("3.bmp"), 1000, 100);
  TRecordingHost host(dir.File("out.pdf"));
  TConvertOptions o;
  o.PaperIndex = kPaperItemCount - 2;
  TPageSize first = FirstPictureSize(true, 600, 400, 50);
  o.Width = first.Width;
  o.Height = first.Height;
  o.MarginCm = 0.5;  // 14 points
  o.Compression = 0;
  TConvertResult r = RunConvertJob({MakeImageEntry(dir.File("1.bmp"), 0), MakeImageEntry(dir.File("2.bmp"), 0),
                                    MakeImageEntry(dir.File("3.bmp"), 0)},
                                   o, host);
  ASSERT_EQ(r.Status, csWritten) << r.Error;
  std::string pdf = ReadText(dir.File("out.pdf"));
  EXPECT_EQ(MediaBoxes(pdf), std::vector<std::string>(3, "0 0 300 200 "));
  // Later pictures shrink into the 272 x 172 inside the margins.
  EXPECT_NE(pdf.find("258.00 0. 0. 172.00 0. 0. cm"), std::string::npos);  // 600 x 400
  EXPECT_NE(pdf.find("103.00 0. 0. 172.00 0. 0. cm"), std::string::npos);  // 300 x 500
  EXPECT_NE(pdf.find("272.00 0. 0. 27.00 0. 0. cm"), std::string::npos);   // 1000 x 100
}

TEST(ConvertJob, InformationLeavesOutEmptyTextsAndEncodesOthers) {
  TempDir dir;
  WriteBmp(dir.File("a.bmp"), 10, 10);
  {
    TRecordingHost host(dir.File("plain.pdf"));
    ASSERT_EQ(RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0)}, TConvertOptions(), host).Status, csWritten);
    std::string info = InfoDictionary(ReadText(dir.File("plain.pdf")));
    for (const char* key : {"/Title", "/Author", "/Subject", "/Keywords", "/Producer"})
      EXPECT_EQ(info.find(key), std::string::npos) << key;
    EXPECT_NE(info.find("/Creator (Velmora Image to PDF 1.0)"), std::string::npos);
    size_t date = info.find("/CreationDate (D:");
    ASSERT_NE(date, std::string::npos);
    std::string digits = info.substr(date + 17, 15);
    EXPECT_EQ(digits.find_first_not_of("0123456789"), 14u) << digits;  // 14 digits, then ")"
    EXPECT_EQ(digits[14], ')');
  }
  {
    TRecordingHost host(dir.File("texts.pdf"));
    TConvertOptions o;
    o.Title = "Résumé 报告";
    o.Author = "Plain (ASCII)";
    o.Subject = "\xE0\xB4\x8A";  // U+0D0A: its UTF-16 bytes are CR LF
    ASSERT_EQ(RunConvertJob({MakeImageEntry(dir.File("a.bmp"), 0)}, o, host).Status, csWritten);
    std::string info = InfoDictionary(ReadText(dir.File("texts.pdf")));
    EXPECT_NE(info.find("/Title (" + IEEscapeString(PdfTextString(o.Title)) + ")"), std::string::npos);
    EXPECT_NE(info.find("/Author (Plain \\(ASCII\\))"), std::string::npos);
    EXPECT_NE(info.find("/Subject (\xFE\xFF\\r\\n)"), std::string::npos);
    EXPECT_EQ(info.find("/Keywords"), std::string::npos);
  }
}

TEST(ConvertJob, TurnsPhotosUprightByTheirExifOrientation) {
  TempDir dir;
  // Stored 60 x 40, left half red, right half blue; orientation 6 means the
  // camera was turned: upright it is 40 x 60 with red on top.
  WriteJpeg(dir.File("phone.jpg"), 60, 40,
            [](int x, int) { return x < 30 ? TColor{230, 20, 20} : TColor{20, 20, 230}; }, 6);
  TRecordingHost host(dir.File("out.pdf"));
  TConvertOptions o;
  o.Compression = 0;
  ASSERT_EQ(RunConvertJob({MakeImageEntry(dir.File("phone.jpg"), 0)}, o, host).Status, csWritten);
  std::string pdf = ReadText(dir.File("out.pdf"));
  ASSERT_EQ(ImageSizes(pdf), (std::vector<std::pair<int, int>>{{40, 60}}));
  size_t data = pdf.find("stream\n", pdf.find("/Width 40")) + 7;
  ASSERT_LT(data + 40 * 60 * 3, pdf.size());
  auto pixel = [&](int x, int y) {
    const char* p = pdf.data() + data + (size_t(y) * 40 + x) * 3;
    return TColor{uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2])};
  };
  EXPECT_GT(pixel(20, 5).r, 180);
  EXPECT_LT(pixel(20, 5).b, 80);
  EXPECT_GT(pixel(20, 55).b, 180);
  EXPECT_LT(pixel(20, 55).r, 80);
}

// --- Helpers -----------------------------------------------------------------

TEST(ConvertHelpers, FrameIndexOf) {
  struct Case {
    const char* source;
    int32_t frame;
  } cases[] = {
      {"/p/a.tif::0", 0},     {"/p/a.tif::12", 12},   {"/p/a.tif", 0},          {"/p/a.tif::", 0},
      {"/p/a.tif::x", 0},     {"/p/a.tif::3x", 0},    {"/p/a::b.tif::2", 0},    {"a::7::8", 0},
      {"/p/a.tif::-1", -1},   {"a::99999999999", 0},  {"a::2147483647", 2147483647},
  };
  for (const Case& c : cases) EXPECT_EQ(FrameIndexOf(c.source), c.frame) << c.source;
}

TEST(ConvertHelpers, EntriesCarryPathCaptionAndFrame) {
  TImageEntry e = MakeImageEntry("/photos/2024/a b.tif", 3);
  EXPECT_EQ(e.Source, "/photos/2024/a b.tif::3");
  EXPECT_EQ(e.Caption, "a b.tif");
  EXPECT_EQ(e.Path, "/photos/2024/a b.tif");
  EXPECT_EQ(FrameIndexOf(e.Source), 3);
}

TEST(ConvertHelpers, UnscrambleAndCreator) {
  EXPECT_EQ(Unscramble("Ifmmp"), "Hello");
  EXPECT_EQ(Unscramble(std::string("\x00\x01", 2)), std::string("\xFF\x00", 2));
  EXPECT_EQ(CreatorText().size(), 24u);
}

TEST(ConvertHelpers, PdfTextString) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"ASCII stays", "Report (draft)", "Report (draft)"},
      {"empty stays", "", ""},
      {"Latin", "é", std::string("\xFE\xFF\x00\xE9", 4)},
      {"CJK", "报", "\xFE\xFF\x62\xA5"},
      {"outside the BMP", "\xF0\x9F\x98\x80", std::string("\xFE\xFF\xD8\x3D\xDE\x00", 6)},
      {"stray byte", "a\xFF", std::string("\xFE\xFF\x00\x61\xFF\xFD", 6)},
      {"overlong slash", "\xC0\xAF", "\xFE\xFF\xFF\xFD\xFF\xFD"},
      {"surrogate", "\xED\xA0\x80", "\xFE\xFF\xFF\xFD\xFF\xFD\xFF\xFD"},
      {"cut short", "\xE6\x8A", "\xFE\xFF\xFF\xFD\xFF\xFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(PdfTextString(c.in), c.out) << c.name;
}

TEST(ConvertHelpers, CompressionItems) {
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(CompressionOfItem(i), i);
  EXPECT_EQ(CompressionOfItem(-1), 4);
  EXPECT_EQ(CompressionOfItem(6), 4);
}

TEST(ConvertHelpers, MessageTextsByKey) {
  TMessageTexts t;
  EXPECT_EQ(t[msTip8], "边距过大，请修改。");
  EXPECT_EQ(TMessageTexts::English()[msTip8], "The margin is too large, please change it.");
  EXPECT_TRUE(t.SetByKey("MS_Tip8", "Too wide"));
  EXPECT_EQ(t[msTip8], "Too wide");
  EXPECT_FALSE(t.SetByKey("MS_Tip3", "no such key"));
  for (int i = 0; i < msCount; ++i)
    EXPECT_EQ(MessageIdOfKey(MessageEntry(static_cast<TMessageId>(i)).Key), i);
}

// --- The list ------------------------------------------------------------------

TEST(ImageList, SortsNamesIgnoringCase) {
  std::vector<std::string> names = {"Two.png", "one.jpg", "three.gif"};
  SortFileNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"one.jpg", "three.gif", "Two.png"}));
  std::vector<std::string> accents = {"Émile.jpg", "eve.jpg", "ÉCOLE.jpg", "Zoe.jpg", "apple.jpg"};
  SortFileNames(accents);
  // Accented letters sort with their base letter.
  EXPECT_EQ(accents, (std::vector<std::string>{"apple.jpg", "ÉCOLE.jpg", "Émile.jpg", "eve.jpg", "Zoe.jpg"}));
  // Names equal but for case keep one order whatever order they came in.
  EXPECT_LT(CompareFileNames("A.jpg", "a.jpg"), 0);
  EXPECT_GT(CompareFileNames("a.jpg", "A.jpg"), 0);
}

TEST(ImageList, FolderGivesItsLoadableFilesOnly) {
  TempDir dir;
  WriteBmp(dir.File("x.bmp"), 4, 4);
  WriteFileBytes(dir.File("y.txt"), "text", 4);
  WriteBmp(dir.File(".hidden.bmp"), 4, 4);
  std::filesystem::create_directory(dir.File("z"));
  WriteBmp(dir.File("z/w.bmp"), 4, 4);
  std::filesystem::create_directory(dir.File("folder.bmp"));
  std::vector<std::string> names = ListFolderImages(dir.Path().string());
  SortFileNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{dir.File(".hidden.bmp"), dir.File("folder.bmp"), dir.File("x.bmp")}));
  // A folder that looks like a picture adds nothing.
  std::vector<TImageEntry> list;
  for (const std::string& n : names) AddImageFile(list, n);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].Source, dir.File("x.bmp") + "::0");
  EXPECT_EQ(AddImageFile(list, dir.File("y.txt")), 0);
  EXPECT_EQ(AddImageFile(list, dir.File("none.bmp")), 0);
  EXPECT_EQ(AddImageFile(list, dir.File("x.bmp")), 1);  // the same file twice is listed twice
  EXPECT_TRUE(ListFolderImages(dir.File("no such folder")).empty());
  EXPECT_TRUE(ListFolderImages("").empty());
}

TEST(ImageList, DecodesLargePhotosOnlyAsLargeAsNeeded) {
  TempDir dir;
  // Stored 800 x 600 with orientation 6: upright 600 x 800.
  WriteJpeg(dir.File("p.jpg"), 800, 600, Gray, 6);
  WriteBmp(dir.File("p.bmp"), 800, 600);
  struct Case {
    const char* name;
    const char* file;
    std::pair<int32_t, int32_t> need;
    int bitmapW, bitmapH;
  } cases[] = {
      {"a quarter is enough", "p.jpg", {150, 200}, 150, 200},
      {"a quarter is one pixel short", "p.jpg", {151, 200}, 300, 400},
      {"nothing smaller will do", "p.jpg", {500, 700}, 600, 800},
      {"other formats are read whole", "p.bmp", {10, 10}, 800, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TEntryReader reader;
    TIEBitmap bitmap;
    std::vector<std::pair<int32_t, int32_t>> asked;
    ASSERT_TRUE(reader.Read(MakeImageEntry(dir.File(c.file), 0), bitmap, [&](int32_t w, int32_t h) {
      asked.emplace_back(w, h);
      return c.need;
    }));
    EXPECT_EQ(bitmap.Width(), c.bitmapW);
    EXPECT_EQ(bitmap.Height(), c.bitmapH);
    const bool jpeg = std::string(c.file) == "p.jpg";
    EXPECT_EQ(reader.FullWidth(), jpeg ? 600 : 800);
    EXPECT_EQ(reader.FullHeight(), jpeg ? 800 : 600);
    if (jpeg) {
      EXPECT_EQ(asked, (std::vector<std::pair<int32_t, int32_t>>{{600, 800}}));
    }
  }
}

// --- Saving beside the target -----------------------------------------------------

void WriteText(TIEStream& s, const std::string& text) { s.WriteString(text); }

TEST(SafeSave, WritesANewFile) {
  TempDir dir;
  SaveFileSafely(dir.File("new.pdf"), [](TIEStream& s) { WriteText(s, "fresh"); });
  EXPECT_EQ(ReadText(dir.File("new.pdf")), "fresh");
  EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"new.pdf"});
  EXPECT_STREQ(SaveInProgressTempName(), "");
}

TEST(SafeSave, ReplacesAnOldFileKeepingItsPermissions) {
  TempDir dir;
  WriteFileBytes(dir.File("doc.pdf"), "old", 3);
  ::chmod(dir.File("doc.pdf").c_str(), 0640);
  std::string tempSeen;
  SaveFileSafely(dir.File("doc.pdf"), [&](TIEStream& s) {
    tempSeen = SaveInProgressTempName();
    WriteText(s, "new");
  });
  EXPECT_EQ(ReadText(dir.File("doc.pdf")), "new");
  struct stat st;
  ASSERT_EQ(::stat(dir.File("doc.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // The document was written in the target's own folder, under another name.
  EXPECT_EQ(std::filesystem::path(tempSeen).parent_path(), dir.Path());
  EXPECT_NE(tempSeen, dir.File("doc.pdf"));
  EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"doc.pdf"});
}

TEST(SafeSave, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  TempDir dir;
  WriteFileBytes(dir.File("doc.pdf"), "old", 3);
  EXPECT_THROW(SaveFileSafely(dir.File("doc.pdf"),
                              [](TIEStream& s) {
                                std::string lots(1 << 20, 'x');
                                WriteText(s, lots);
                                throw EIEException("disk full");
                              }),
               EIEException);
  EXPECT_EQ(ReadText(dir.File("doc.pdf")), "old");
  EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"doc.pdf"});
  EXPECT_STREQ(SaveInProgressTempName(), "");
}

TEST(SafeSave, ReportsTargetsThatCannotBeMade) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("sub"));
  for (const std::string& target : {dir.File("missing/doc.pdf"), dir.File("sub"), std::string()}) {
    SCOPED_TRACE(target);
    try {
      SaveFileSafely(target, [](TIEStream& s) { WriteText(s, "x"); });
      ADD_FAILURE() << "no error";
    } catch (const EIEException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + target + "\". ", 0), 0u) << e.what();
    }
  }
  EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"sub"});
}

TEST(SafeSave, FollowsASymbolicLink) {
  TempDir dir;
  WriteFileBytes(dir.File("real.pdf"), "old", 3);
  std::filesystem::create_symlink(dir.File("real.pdf"), dir.File("link.pdf"));
  SaveFileSafely(dir.File("link.pdf"), [](TIEStream& s) { WriteText(s, "new"); });
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.pdf")));
  EXPECT_EQ(ReadText(dir.File("real.pdf")), "new");
}

}  // namespace
