// The load front: registry, extension look-ups, content detection, the
// detection policies, Read with lying extensions, frame counting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieformats.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "testsupport.h"

using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

using testsupport::Put16;
using testsupport::Put32;

// A 24-bit bottom-up BMP whose pixel (x, y) is blue x*10, green y*10, red 200.
std::vector<uint8_t> SmallBmp(int w, int h, int32_t ppm = 2835) {
  std::vector<uint8_t> v = {'B', 'M'};
  const int rowLen = (w * 3 + 3) / 4 * 4;
  Put32(v, 54 + rowLen * h);
  Put32(v, 0);
  Put32(v, 54);
  Put32(v, 40);
  Put32(v, w);
  Put32(v, h);
  Put16(v, 1);
  Put16(v, 24);
  Put32(v, 0);
  Put32(v, rowLen * h);
  Put32(v, ppm);
  Put32(v, ppm);
  Put32(v, 0);
  Put32(v, 0);
  for (int r = h - 1; r >= 0; --r) {
    for (int x = 0; x < w; ++x) {
      v.push_back(uint8_t(x * 10));
      v.push_back(uint8_t(r * 10));
      v.push_back(200);
    }
    for (int p = w * 3; p < rowLen; ++p) v.push_back(0);
  }
  return v;
}

// A classic little-endian TIFF with the given number of one-entry-pair
// directories; loopBack makes the last directory point at the first.
std::vector<uint8_t> TinyTiff(int pages, bool loopBack = false) {
  std::vector<uint8_t> v = {'I', 'I', 42, 0};
  Put32(v, 8);
  for (int p = 0; p < pages; ++p) {
    const uint32_t start = static_cast<uint32_t>(v.size());
    Put16(v, 2);
    for (uint16_t tag : {256, 257}) {
      Put16(v, tag);
      Put16(v, 3);
      Put32(v, 1);
      Put32(v, 4);
    }
    const uint32_t next = p + 1 < pages ? start + 30 : (loopBack ? 8 : 0);
    Put32(v, next);
  }
  return v;
}

std::vector<uint8_t> IconFile(uint16_t type) {
  std::vector<uint8_t> v;
  Put16(v, 0);
  Put16(v, type);
  Put16(v, 1);
  v.insert(v.end(), {16, 16, 0, 0});
  Put16(v, 1);
  Put16(v, 32);
  Put32(v, 40);
  Put32(v, 22);
  v.resize(62, 0);
  return v;
}

int32_t Detect(const std::vector<uint8_t>& bytes) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  int32_t t = DetectStreamFormat(s);
  EXPECT_EQ(s.Position(), 0);
  return t;
}

std::vector<uint8_t> Bytes(const std::string& s, size_t padTo = 0) {
  std::vector<uint8_t> v(s.begin(), s.end());
  if (v.size() < padTo) v.resize(padTo, 0);
  return v;
}

}  // namespace

TEST(FormatRegistry, HoldsTheFormatsInOrderWithoutPlatformImagingOnes) {
  const TIEFileFormats& f = IEFileFormats();
  const int32_t order[] = {1, 2, 3, 4, 5, 21, 6, 7, 8, 28, 9, 10, 11, 12, 16, 13, 14, 17, 18, 19, 20, 24, 25, 27, 26, 31};
  ASSERT_EQ(f.Count(), static_cast<int>(std::size(order)));
  for (int i = 0; i < f.Count(); ++i) EXPECT_EQ(f[i].TypeId, order[i]) << i;
  for (int32_t wic : {29, 32, 33, 34, 99}) EXPECT_EQ(FormatInfoById(wic), nullptr) << wic;
  EXPECT_EQ(FormatInfoById(ioTIFF)->PreferredExtension, "tiff");
  EXPECT_EQ(FormatInfoById(ioBMPRAW)->PreferredExtension, "");
  EXPECT_EQ(FormatInfoById(ioJPEG)->Description, "JPEG Image");
}

TEST(FormatRegistry, RegisterFillsPreferredExtensionAndUnregisterRemoves) {
  TIEFileFormats& f = IEFileFormats();
  TIEFileFormatInfo info;
  info.TypeId = 4242;
  info.ExtensionList = "QQX;QQY";
  f.Register(info);
  ASSERT_NE(FormatInfoById(4242), nullptr);
  EXPECT_EQ(FormatInfoById(4242)->PreferredExtension, "qqx");
  EXPECT_EQ(FormatInfoByExtension(".qqy")->TypeId, 4242);
  f.Unregister(4242);
  EXPECT_EQ(FormatInfoById(4242), nullptr);
}

TEST(FormatRegistry, ExtensionLookups) {
  struct Case {
    const char* name;
    int32_t type;
  } cases[] = {
      {"a.tif", 1}, {"A.TIFF", 1}, {"scan.fax", 1}, {"x.JPG", 3}, {"x.jpeg", 3}, {"x.jif", 3},
      {"x.dib", 5}, {"x.rle", 5},  {"x.ico", 6},    {"x.pbm", 12}, {"x.dcx", 19}, {"x.dng", 20},
      {"x.mpg", 23}, {"x.MPEG", 23}, {"x.wmv", 22}, {"x.jxr", 0},  {"x.webp", 0}, {"x.xyz", 0},
      {"noext", 0}, {"dir.bmp/file", 0}, {"/tmp/a.b/c.gif", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFromExtension(c.name), c.type) << c.name;
  EXPECT_EQ(FormatInfoByExtension("PNG")->TypeId, 8);
  EXPECT_EQ(FormatInfoByExtension(".png")->TypeId, 8);
  EXPECT_EQ(FormatInfoByExtension(""), nullptr);
}

TEST(FormatRegistry, IsLoadableFileByExtensionOnly) {
  struct Case {
    const char* name;
    bool loadable;
  } cases[] = {
      {"a.bmp", true},  {"A.JPG", true}, {"a.tif", true},  {"a.png", true},   {"a.wbmp", true},
      {"a.EPS", false}, {"a.ps", false}, {"a.pdf", false}, {"a.svg", false},  {"a.jxr", false},
      {"a.dcm", false}, {"a.wmf", false}, {"a.psd", false}, {"a.cr2", false}, {"a.jp2", false},
      {"a.avi", false}, {"a.mpg", false}, {"a", false},     {"a.txt", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLoadableFile(c.name), c.loadable) << c.name;
  EXPECT_TRUE(IsLoadableFile("clip.AVI", true));
  EXPECT_TRUE(IsLoadableFile("clip.wmv", true));
}

TEST(DetectStreamFormat, TestsInOrderWithTheirSizeRules) {
  std::vector<uint8_t> jpegAfter10(10, 0x55);
  jpegAfter10.insert(jpegAfter10.end(), {0xFF, 0xD8, 0xFF, 0xE0});
  std::vector<uint8_t> jpegAfter149(149, 0x55), jpegAfter150(150, 0x55);
  for (auto* v : {&jpegAfter149, &jpegAfter150}) v->insert(v->end(), {0xFF, 0xD8, 0xFF, 0xE0, 0, 0});
  std::vector<uint8_t> pcx(129, 0);
  pcx[0] = 0x0A;
  pcx[1] = 5;
  std::vector<uint8_t> pcxShort(pcx.begin(), pcx.begin() + 128);
  std::vector<uint8_t> tga(18, 0);
  tga[2] = 2;
  tga[12] = 4;
  tga[14] = 4;
  tga[16] = 24;
  std::vector<uint8_t> dcx;
  Put32(dcx, 0x3ADE68B1);
  Put32(dcx, 12);
  Put32(dcx, 0);
  dcx.resize(40, 0);
  std::vector<uint8_t> dcxBad = dcx;
  dcxBad[4] = 200;
  std::vector<uint8_t> jp2 = {0, 0, 0, 12, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A, 0, 0};
  std::vector<uint8_t> dicom(140, 0);
  std::memcpy(dicom.data() + 128, "DICM", 4);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0};
  std::vector<uint8_t> dng = TinyTiff(1);
  // Give the first directory a DNG version tag (BYTE, count 4): camera raw.
  dng[8] = 3;
  dng.insert(dng.begin() + 34, {0x12, 0xC6, 1, 0, 4, 0, 0, 0, 1, 4, 0, 0});

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int32_t type;
  } cases[] = {
      {"JFIF stream header", Bytes(std::string("JFIF\0", 5), 13), 3},
      {"JFIF header too short", Bytes(std::string("JFIF\0", 5), 12), 0},
      {"GIF", Bytes("GIF89a", 14), 2},
      {"GIF of 13 bytes", Bytes("GIF89a", 13), 0},
      {"PCX2 header", Bytes(std::string("PCX2\0", 5), 13), 4},
      {"PCX header", Bytes(std::string("PCX\0", 4), 5), 4},
      {"BM of 15 bytes", Bytes("BM", 15), 5},
      {"BM of 14 bytes", Bytes("BM", 14), 0},
      {"PCX by manufacturer byte", pcx, 4},
      {"PCX of 128 bytes", pcxShort, 0},
      {"TIFF stream header", Bytes(std::string("TIFF\0", 5), 13), 1},
      {"TIFF", TinyTiff(1), 1},
      {"TIFF with DNG tag", dng, 0},
      {"PNG", png, 8},
      {"DICOM", dicom, 28},
      {"icon", IconFile(1), 6},
      {"cursor", IconFile(2), 7},
      {"TGA", tga, 11},
      {"PNM", Bytes("P6 # comment\n3 2\n255\n", 30), 12},
      {"PNM zero width", Bytes("P6 0 2 255\n", 30), 0},
      {"JPEG 2000", jp2, 13},
      {"J2K", {0xFF, 0x4F, 0xFF, 0x51, 0, 0}, 14},
      {"AVI", Bytes(std::string("RIFF\0\0\0\0AVI LIST", 16), 20), 15},
      {"DCX", dcx, 19},
      {"DCX with offset outside", dcxBad, 0},
      {"JPEG after 10 bytes", jpegAfter10, 3},
      {"JPEG after 149 bytes", jpegAfter149, 3},
      {"JPEG after 150 bytes", jpegAfter150, 0},
      {"empty", {}, 0},
      {"text", Bytes("hello, world, this is text"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Detect(c.bytes), c.type) << c.what;
}

TEST(DetectStreamFormat, StartsAndEndsAtTheStreamPosition) {
  std::vector<uint8_t> bytes = Bytes("garbage!");
  std::vector<uint8_t> bmp = SmallBmp(2, 2);
  bytes.insert(bytes.end(), bmp.begin(), bmp.end());
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.SetPosition(8);
  EXPECT_EQ(DetectStreamFormat(s), ioBMP);
  EXPECT_EQ(s.Position(), 8);
}

class LoadFrontTest : public ::testing::Test {
protected:
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir.File(name);
    WriteFileBytes(path, bytes);
    return path;
  }
  TempDir dir;
};

TEST_F(LoadFrontTest, DetectFileFormatPolicies) {
  const std::string curWithIcon = Write("icon.cur", IconFile(1));
  EXPECT_EQ(DetectFileFormat(curWithIcon, 0), ioICO);
  EXPECT_EQ(DetectFileFormat(curWithIcon, 1), ioCUR) << "for icons the extension wins";
  const std::string bmpAsJpg = Write("photo.jpg", SmallBmp(2, 2));
  EXPECT_EQ(DetectFileFormat(bmpAsJpg, 0), ioBMP);
  EXPECT_EQ(DetectFileFormat(bmpAsJpg, 1), 0) << "content disagrees with the extension";
  EXPECT_EQ(DetectFileFormat(bmpAsJpg, 2), ioBMP);
  const std::string junkTif = Write("junk.tif", Bytes("not a picture at all"));
  EXPECT_EQ(DetectFileFormat(junkTif, 0), 0);
  EXPECT_EQ(DetectFileFormat(junkTif, 2), ioTIFF) << "policy 2 falls back to the extension";
  const std::string junkXyz = Write("junk.xyz", SmallBmp(2, 2));
  EXPECT_EQ(DetectFileFormat(junkXyz, 1), 0) << "no extension record: only AVI names agree";
  EXPECT_EQ(DetectFileFormat(dir.File("missing.bmp"), 2), 0);
  EXPECT_EQ(DetectFileFormat("", 0), 0);
  EXPECT_EQ(DetectFileFormat(dir.Path().string(), 0), 0) << "a folder";
}

TEST_F(LoadFrontTest, ReadsBmpWhoseExtensionLies) {
  const std::string path = Write("photo.jpg", SmallBmp(3, 2));
  TIEBitmap bitmap;
  TIOParams params;
  ASSERT_TRUE(bitmap.Read(path, &params));
  EXPECT_EQ(params.FileType, ioBMP);
  EXPECT_EQ(bitmap.FileType(), ioBMP);
  EXPECT_EQ(params.FileName, path);
  EXPECT_EQ(bitmap.FileName(), path);
  ASSERT_EQ(bitmap.Width(), 3);
  ASSERT_EQ(bitmap.Height(), 2);
  EXPECT_EQ(bitmap.PixelFormat(), ie24RGB);
  const uint8_t* row1 = bitmap.Scanline(1);
  EXPECT_EQ(row1[3 * 2 + 0], 20);  // blue = x * 10
  EXPECT_EQ(row1[3 * 2 + 1], 10);  // green = y * 10
  EXPECT_EQ(row1[3 * 2 + 2], 200);
  EXPECT_EQ(params.DpiX(), 72);
}

TEST_F(LoadFrontTest, CheckUnknownDecidesWhetherContentIsTried) {
  const std::string path = Write("picture.xyz", SmallBmp(2, 2));
  TIEBitmap a;
  EXPECT_TRUE(a.Read(path, nullptr, true));
  TIEBitmap b;
  EXPECT_FALSE(b.Read(path, nullptr, false));
}

TEST_F(LoadFrontTest, FailsCleanly) {
  std::vector<uint8_t> bm14 = Bytes("BM", 14);
  struct Case {
    const char* what;
    std::string name;
  } cases[] = {
      {"14-byte BM file", Write("tiny.xyz", bm14)},
      {"14-byte BM file named .bmp", Write("tiny.bmp", bm14)},
      {"nothing recognisable", Write("junk.dat", Bytes("this is not a picture of anything"))},
      {"network name", "http://example.invalid/a.bmp"},
      {"secure network name", "HTTPS://example.invalid/a.jpg"},
      {"ftp name", "ftp://example.invalid/a.png"},
      {"empty name", ""},
      {"video extension", Write("clip.avi", Bytes(std::string("RIFF\0\0\0\0AVI LIST", 16), 20))},
      {"readerless format", Write("page.eps", Bytes("%!PS-Adobe-3.0 EPSF-3.0\n"))},
  };
  for (const Case& c : cases) {
    TIEBitmap bitmap;
    TIOParams params;
    bool ok = true;
    EXPECT_NO_THROW(ok = bitmap.Read(c.name, &params)) << c.what;
    EXPECT_FALSE(ok) << c.what;
  }
  // A registered, readable format whose reader is not written yet fails too.
  for (int32_t id : {ioGIF, ioPCX, ioTGA, ioDCX}) {
    if (IEStreamReaderFor(id)) continue;
    const std::string name = Write("a." + FormatInfoById(id)->PreferredExtension, Bytes("no picture in here at all"));
    TIEBitmap bitmap;
    EXPECT_FALSE(bitmap.Read(name)) << name;
  }
}

TEST_F(LoadFrontTest, MissingFileRaises) {
  TIEBitmap bitmap;
  EXPECT_THROW(bitmap.Read(dir.File("missing.bmp")), EIEException);
}

TEST_F(LoadFrontTest, ResolutionIsNeverBelowTwo) {
  struct Case {
    int32_t ppm;
    int dpi;
  } cases[] = {{0, 300}, {39, 300}, {40, 300}, {79, 2}, {2835, 72}, {11811, 300}};
  for (const Case& c : cases) {
    const std::string path = Write("r.bmp", SmallBmp(1, 1, c.ppm));
    TIEBitmap bitmap;
    TIOParams params;
    ASSERT_TRUE(bitmap.Read(path, &params));
    EXPECT_EQ(params.DpiX(), c.dpi) << c.ppm;
    EXPECT_EQ(params.DpiY(), c.dpi) << c.ppm;
  }
}

TEST_F(LoadFrontTest, CallerParamsGoInAndComeBack) {
  const std::string path = Write("a.bmp", SmallBmp(4, 3));
  TIEBitmap bitmap;
  TIOParams params;
  params.SetImageIndex(0);
  params.JpegMarkers.push_back({0xE1, {1, 2, 3}});  // metadata of an earlier file
  params.PdfCompression = pdfJPEG;                  // writer option survives
  ASSERT_TRUE(bitmap.Read(path, &params));
  EXPECT_EQ(params.Width, 4);
  EXPECT_EQ(params.Height, 3);
  EXPECT_EQ(params.ImageCount(), 1);
  EXPECT_TRUE(params.JpegMarkers.empty());
  EXPECT_EQ(params.PdfCompression, pdfJPEG);
}

TEST_F(LoadFrontTest, ProgressEndsAtHundredAndCanCancel) {
  const std::string path = Write("p.bmp", SmallBmp(5, 50));
  TIEBitmap bitmap;
  std::vector<int> seen;
  bitmap.SetOnProgress([&](void*, int percent) { seen.push_back(percent); });
  ASSERT_TRUE(bitmap.Read(path));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 100);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]);

  TIEBitmap cancelled;
  TIEImageIO io(&cancelled);
  io.OnProgress = [&](void*, int percent) {
    if (percent >= 10) io.SetLoadAborted(true);
  };
  EXPECT_FALSE(io.LoadFile(path));
  EXPECT_TRUE(io.LoadAborted());
}

TEST_F(LoadFrontTest, FinishWorkRunsOnFailureToo) {
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  int finished = 0;
  io.OnFinishWork = [&](void*) { ++finished; };
  EXPECT_FALSE(io.LoadFile(Write("junk.dat", Bytes("no picture here at all"))));
  EXPECT_EQ(finished, 1);
  EXPECT_FALSE(io.LoadFileAs("", ioBMP));
  EXPECT_EQ(finished, 2);
}

TEST_F(LoadFrontTest, LoaderWithoutBitmapLoadsNothing) {
  TIEImageIO io;
  EXPECT_FALSE(io.LoadFileAs(Write("a.bmp", SmallBmp(1, 1)), ioBMP));
  TIEMemoryStream s;
  EXPECT_THROW(io.LoadFromStreamBMP(s), EIEException);
}

TEST_F(LoadFrontTest, CountFileFrames) {
  const std::string twoPages = Write("two.tif", TinyTiff(2));
  const std::string loop = Write("loop.tif", TinyTiff(2, true));
  const std::string icon = Write("i.ico", IconFile(1));
  struct Case {
    const char* what;
    std::string name;
    int32_t frames;
  } cases[] = {
      {"one-page BMP", Write("a.bmp", SmallBmp(2, 2)), 1},
      {"BMP content behind an unknown extension", Write("a.xyz", SmallBmp(2, 2)), 1},
      {"two-page TIFF", twoPages, 2},
      {"TIFF whose chain loops back", loop, 2},
      {"icon", icon, 1},
      {"icon directory claiming 65535 entries in 62 bytes",
       Write("many.ico", [] { auto v = IconFile(1); v[4] = v[5] = 0xFF; return v; }()), 3},
      {"text named as an icon", Write("text.ico", Bytes("icons are small pictures, this is not one")), 0},
      {"TIFF name, no TIFF inside", Write("junk.tif", Bytes("definitely not a tiff file")), 0},
      {"unknown content, unknown extension", Write("junk.xyz", Bytes("definitely not a picture")), 0},
      {"missing file", dir.File("none.bmp"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(CountFileFrames(c.name), c.frames) << c.what;
}

TEST_F(LoadFrontTest, LoadFromStreamDetectsTheFormat) {
  std::vector<uint8_t> bmp = SmallBmp(2, 3);
  TIEMemoryStream s(bmp.data(), static_cast<int64_t>(bmp.size()));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  ASSERT_TRUE(io.LoadFromStream(s));
  EXPECT_EQ(io.Params().FileType, ioBMP);
  EXPECT_EQ(io.Params().FileName, "");
  EXPECT_EQ(bitmap.Height(), 3);
}
