// JPEG reading: colour spaces, resolution rules, scaled decoding, markers,
// ICC profiles, orientation, and damaged or lying files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "ieconvert.h"
#include "iebitmap.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "jpegfilt.h"
#include "testsupport.h"

namespace {

struct JpegRecipe {
  int w = 16, h = 16;
  J_COLOR_SPACE input = JCS_RGB;     // JCS_RGB (red, green, blue bytes), JCS_GRAYSCALE or JCS_CMYK
  J_COLOR_SPACE coded = JCS_YCbCr;   // colour space stored in the file
  int quality = 90;
  bool full = false;                 // every component at full resolution
  bool jfif = true;
  int densityUnit = 0, xDensity = 1, yDensity = 1;
  bool progressive = false;
  bool arithmetic = false;
  std::vector<std::pair<int, std::vector<uint8_t>>> markers;  // written after the headers
  std::function<void(int x, int y, uint8_t* pixel)> pixel = [](int x, int y, uint8_t* p) {
    p[0] = uint8_t(x * 13);
    p[1] = uint8_t(y * 7);
    p[2] = uint8_t(x * y);
  };
};

std::vector<uint8_t> Encode(const JpegRecipe& s) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&c, &out, &outSize);
  c.image_width = static_cast<JDIMENSION>(s.w);
  c.image_height = static_cast<JDIMENSION>(s.h);
  c.input_components = s.input == JCS_GRAYSCALE ? 1 : s.input == JCS_CMYK ? 4 : 3;
  c.in_color_space = s.input;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, s.coded);
  jpeg_set_quality(&c, s.quality, TRUE);
  if (s.full)
    for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  if (!s.jfif) c.write_JFIF_header = FALSE;  // RGB and CMYK coding never write it
  c.density_unit = static_cast<UINT8>(s.densityUnit);
  c.X_density = static_cast<UINT16>(s.xDensity);
  c.Y_density = static_cast<UINT16>(s.yDensity);
  if (s.progressive) jpeg_simple_progression(&c);
  c.arith_code = s.arithmetic;
  jpeg_start_compress(&c, TRUE);
  for (const auto& m : s.markers)
    jpeg_write_marker(&c, m.first, m.second.data(), static_cast<unsigned>(m.second.size()));
  std::vector<uint8_t> row(static_cast<size_t>(s.w) * c.input_components);
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < s.w; ++x) s.pixel(x, static_cast<int>(c.next_scanline), row.data() + x * c.input_components);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> bytes(out, out + outSize);
  jpeg_destroy_compress(&c);
  std::free(out);
  return bytes;
}

using testsupport::Put16;
using testsupport::Put32;

// An EXIF APP1 payload: resolution (x/1), unit and orientation in IFD0.
std::vector<uint8_t> ExifBlock(uint32_t xNum, uint32_t xDen, uint32_t unit, uint32_t orientation = 1) {
  std::vector<uint8_t> v = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
  Put32(v, 8);
  Put16(v, 4);
  const uint32_t dataAt = 8 + 2 + 4 * 12 + 4;
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(v, tag);
    Put16(v, type);
    Put32(v, count);
    Put32(v, value);
  };
  entry(274, 3, 1, orientation);
  entry(282, 5, 1, dataAt);
  entry(283, 5, 1, dataAt + 8);
  entry(296, 3, 1, unit);
  Put32(v, 0);
  Put32(v, xNum);
  Put32(v, xDen);
  Put32(v, xNum);
  Put32(v, xDen);
  return v;
}

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void Load(const std::vector<uint8_t>& bytes, Loaded& out, const std::function<void(TIOParams&)>& setup = {}) {
  TIEMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  if (setup) setup(io.Params());
  out.ok = io.LoadFromStreamJpeg(s);
  out.params = io.Params();
}

// Largest channel difference between two ie24RGB bitmaps of the same size.
int MaxDiff(TIEBitmap& a, TIEBitmap& b) {
  int worst = 0;
  for (int y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.Scanline(y);
    std::vector<uint8_t> rowA(p, p + a.Width() * 3);
    const uint8_t* q = b.Scanline(y);
    for (int i = 0; i < a.Width() * 3; ++i) worst = std::max(worst, std::abs(rowA[static_cast<size_t>(i)] - q[i]));
  }
  return worst;
}

// A P6 file as an ie24RGB-ordered comparison: max difference to the bitmap.
int MaxDiffToPpm(TIEBitmap& b, const std::vector<uint8_t>& ppm) {
  std::istringstream head(std::string(ppm.begin(), ppm.begin() + std::min<size_t>(ppm.size(), 20)));
  std::string magic;
  int w = 0, h = 0, maxv = 0;
  head >> magic >> w >> h >> maxv;
  if (magic != "P6" || w != b.Width() || h != b.Height()) return 999;
  const size_t offset = ppm.size() - static_cast<size_t>(w) * h * 3;
  int worst = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      const uint8_t* ref = ppm.data() + offset + (static_cast<size_t>(y) * w + x) * 3;
      worst = std::max({worst, std::abs(row[3 * x + 2] - ref[0]), std::abs(row[3 * x + 1] - ref[1]),
                        std::abs(row[3 * x] - ref[2])});
    }
  }
  return worst;
}

}  // namespace

TEST(JpegReader, ResolutionRules) {
  struct Case {
    const char* what;
    JpegRecipe recipe;
    int dpiX;
  } cases[] = {
      {"JFIF dots per cm 118", [] { JpegRecipe s; s.densityUnit = 2, s.xDensity = s.yDensity = 118; return s; }(), 299},
      {"JFIF 300 dpi", [] { JpegRecipe s; s.densityUnit = 1, s.xDensity = s.yDensity = 300; return s; }(), 300},
      {"JFIF aspect only, EXIF 72/1 inches",
       [] { JpegRecipe s; s.markers = {{JPEG_APP0 + 1, ExifBlock(72, 1, 2)}}; return s; }(), 72},
      {"JFIF aspect only, EXIF 28/1 centimetres",
       [] { JpegRecipe s; s.markers = {{JPEG_APP0 + 1, ExifBlock(28, 1, 3)}}; return s; }(), 71},
      {"no JFIF, EXIF 96/1", [] { JpegRecipe s; s.jfif = false; s.markers = {{JPEG_APP0 + 1, ExifBlock(96, 1, 2)}}; return s; }(), 96},
      {"JFIF 300 dpi beats EXIF 72",
       [] { JpegRecipe s; s.densityUnit = 1, s.xDensity = s.yDensity = 300; s.markers = {{JPEG_APP0 + 1, ExifBlock(72, 1, 2)}}; return s; }(), 300},
      {"neither: the default", [] { JpegRecipe s; s.jfif = false; return s; }(), 300},
      {"JFIF aspect only: the default", JpegRecipe(), 300},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(Encode(c.recipe), l);
    ASSERT_TRUE(l.ok) << c.what;
    EXPECT_EQ(l.params.DpiX(), c.dpiX) << c.what;
    EXPECT_EQ(l.params.DpiY(), c.dpiX) << c.what;
  }
  Loaded exact;
  JpegRecipe s;
  s.markers = {{JPEG_APP0 + 1, ExifBlock(7201, 100, 2)}};
  Load(Encode(s), exact);
  EXPECT_EQ(exact.params.DpiX(), 72);
  EXPECT_DOUBLE_EQ(exact.params.ExifXResolution, 72.01) << "EXIF keeps the exact value";
  EXPECT_TRUE(exact.params.ExifHasExifData);
}

TEST(JpegReader, GarbageBeforeStartOfImage) {
  const std::vector<uint8_t> jpeg = Encode(JpegRecipe());
  for (size_t garbage : {0, 10, 149, 150, 200}) {
    std::vector<uint8_t> bytes(garbage, 0x42);
    bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
    Loaded l;
    Load(bytes, l);
    EXPECT_EQ(l.ok, garbage < 150) << garbage;
  }
}

TEST(JpegReader, ScaledDecodingSizes) {
  JpegRecipe s;
  s.w = 64;
  s.h = 48;
  const std::vector<uint8_t> jpeg = Encode(s);
  struct Case {
    int scale;
    int w, h, used;
  } cases[] = {{1, 64, 48, 1}, {2, 32, 24, 2}, {3, 16, 12, 4}, {4, 8, 6, 8}, {0, 64, 48, 1}};
  for (const Case& c : cases) {
    Loaded l;
    Load(jpeg, l, [&](TIOParams& p) {
      p.JpegScale = c.scale;
      p.Width = p.Height = 0;
    });
    ASSERT_TRUE(l.ok) << c.scale;
    EXPECT_EQ(l.bitmap.Width(), c.w) << c.scale;
    EXPECT_EQ(l.bitmap.Height(), c.h) << c.scale;
    EXPECT_EQ(l.params.Width, c.w) << c.scale;
    EXPECT_EQ(l.params.JpegScaleUsed, c.used) << c.scale;
    EXPECT_EQ(l.params.OriginalWidth, 64);
    EXPECT_EQ(l.params.OriginalHeight, 48);
  }
}

TEST(JpegReader, AutomaticScaleForARequestedSize) {
  struct Case {
    int w, h, outW, outH;
  } cases[] = {{3200, 2400, 400, 300}, {3000, 2000, 750, 500}, {500, 300, 500, 300}};
  for (const Case& c : cases) {
    JpegRecipe s;
    s.w = c.w;
    s.h = c.h;
    s.quality = 30;
    s.pixel = [](int, int, uint8_t* p) { p[0] = 90, p[1] = 120, p[2] = 200; };
    Loaded l;
    Load(Encode(s), l, [](TIOParams& p) {
      p.JpegScale = 0;
      p.Width = 400;
      p.Height = 300;
    });
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.Width(), c.outW) << c.w;
    EXPECT_EQ(l.bitmap.Height(), c.outH) << c.w;
  }
}

TEST(JpegReader, MatchesDjpegPixelForPixel) {
  // Reference images written by libjpeg-turbo's djpeg from the same files:
  // the glue must deliver exactly the decoder's pixels, in blue-green-red order.
  for (const char* name : {"base", "prog", "rgb", "restart", "arith", "gray", "exif"}) {
    TIEBitmap b;
    ASSERT_TRUE(b.Read(testsupport::DataPath(std::string("jpeg/") + name + ".jpg"))) << name;
    ASSERT_EQ(b.PixelFormat(), ie24RGB);
    EXPECT_EQ(MaxDiffToPpm(b, testsupport::ReadFileBytes(testsupport::DataPath(std::string("jpeg/") + name + ".ppm"))), 0)
        << name;
  }
}

TEST(JpegReader, ScaledDecodingMatchesDjpeg) {
  if (!testsupport::HaveTool("djpeg")) GTEST_SKIP() << "djpeg not installed";
  testsupport::TempDir dir;
  JpegRecipe s;
  s.w = 80;
  s.h = 56;
  const std::string jpg = dir.File("s.jpg");
  testsupport::WriteFileBytes(jpg, Encode(s));
  for (int scale : {2, 3, 4}) {
    const std::string ppm = dir.File("s.ppm");
    const char* fraction = scale == 2 ? "1/2" : scale == 3 ? "1/4" : "1/8";
    ASSERT_EQ(testsupport::RunCommand("djpeg -scale " + std::string(fraction) + " -outfile " +
                                      testsupport::Quote(ppm) + " " + testsupport::Quote(jpg)).exitCode, 0);
    TIEBitmap b;
    TIOParams p;
    p.JpegScale = scale;
    ASSERT_TRUE(b.Read(jpg, &p));
    EXPECT_EQ(MaxDiffToPpm(b, testsupport::ReadFileBytes(ppm)), 0) << fraction;
  }
}

TEST(JpegReader, GrayFiles) {
  JpegRecipe s;
  s.input = JCS_GRAYSCALE;
  s.coded = JCS_GRAYSCALE;
  s.pixel = [](int x, int y, uint8_t* p) { p[0] = uint8_t(x * 10 + y); };
  const std::vector<uint8_t> jpeg = Encode(s);
  Loaded rgb, native;
  Load(jpeg, rgb);
  Load(jpeg, native, [](TIOParams& p) { p.NativePixelFormat = true; });
  ASSERT_TRUE(rgb.ok && native.ok);
  ASSERT_EQ(rgb.bitmap.PixelFormat(), ie24RGB);
  ASSERT_EQ(native.bitmap.PixelFormat(), ie8g);
  EXPECT_EQ(rgb.params.JpegColorSpace, 1);
  EXPECT_EQ(rgb.params.SamplesPerPixel, 1);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const uint8_t* p = rgb.bitmap.Scanline(y) + 3 * x;
      EXPECT_EQ(p[0], p[1]);
      EXPECT_EQ(p[1], p[2]);
      EXPECT_EQ(p[0], native.bitmap.Scanline(y)[x]);
    }
}

TEST(JpegReader, CmykAndYcckFiles) {
  for (J_COLOR_SPACE coded : {JCS_CMYK, JCS_YCCK}) {
    JpegRecipe s;
    s.input = JCS_CMYK;
    s.coded = coded;
    s.quality = 100;
    s.full = true;
    s.pixel = [](int x, int, uint8_t* p) {
      p[0] = x < 8 ? 200 : 30;
      p[1] = 100;
      p[2] = 50;
      p[3] = 180;
    };
    const std::vector<uint8_t> jpeg = Encode(s);
    Loaded rgb, native;
    Load(jpeg, rgb);
    Load(jpeg, native, [](TIOParams& p) { p.NativePixelFormat = true; });
    ASSERT_TRUE(rgb.ok && native.ok) << coded;
    ASSERT_EQ(native.bitmap.PixelFormat(), ieCMYK);
    ASSERT_EQ(rgb.bitmap.PixelFormat(), ie24RGB);
    EXPECT_EQ(rgb.params.JpegColorSpace, coded == JCS_CMYK ? 3 : 4);
    EXPECT_EQ(rgb.params.SamplesPerPixel, 4);
    const uint8_t* k = native.bitmap.Scanline(3) + 4 * 2;  // a pixel in the left half
    EXPECT_NEAR(k[0], 200, 2);
    EXPECT_NEAR(k[1], 100, 2);
    EXPECT_NEAR(k[2], 50, 2);
    EXPECT_NEAR(k[3], 180, 2);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const uint8_t* c = native.bitmap.Scanline(y) + 4 * x;
        TRGB want = IECMYKToRGB(c[0], c[1], c[2], c[3]);
        const uint8_t* p = rgb.bitmap.Scanline(y) + 3 * x;
        EXPECT_EQ((TRGB{p[0], p[1], p[2]}), want) << x << "," << y;
      }
  }
  TIEBitmap editorFile;
  EXPECT_TRUE(editorFile.Read(testsupport::DataPath("jpeg/cmyk.jpg")));
  EXPECT_EQ(editorFile.Width(), 12);
}

TEST(JpegReader, RgbCodedEqualsItsYCbCrTwin) {
  JpegRecipe rgb, ycc;
  rgb.coded = JCS_RGB;
  rgb.quality = ycc.quality = 100;
  rgb.full = ycc.full = true;
  Loaded a, b;
  Load(Encode(rgb), a);
  Load(Encode(ycc), b);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(a.params.JpegColorSpace, 0);
  EXPECT_EQ(b.params.JpegColorSpace, 2);
  EXPECT_LE(MaxDiff(a.bitmap, b.bitmap), 3);
  // And both are the encoded picture, not its red and blue swapped.
  const uint8_t* p = a.bitmap.Scanline(5) + 3 * 9;
  EXPECT_NEAR(p[2], 9 * 13, 3);  // red
  EXPECT_NEAR(p[1], 5 * 7, 3);   // green
  EXPECT_NEAR(p[0], 45, 3);      // blue
}

TEST(JpegReader, MarkersInFileOrderWithoutTheJfifHeader) {
  JpegRecipe s;
  s.markers = {{JPEG_APP0 + 1, ExifBlock(72, 1, 2)}, {JPEG_COM, {'h', 'i'}}, {JPEG_APP0 + 13, {1, 2, 3}},
               {JPEG_APP0, {'X', 'Y'}}};
  Loaded l;
  Load(Encode(s), l);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.params.JpegMarkers.size(), 4u);
  EXPECT_EQ(l.params.JpegMarkers[0].type, 0xE1);
  EXPECT_EQ(l.params.JpegMarkers[1].type, 0xFE);
  EXPECT_EQ(l.params.JpegMarkers[1].data, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(l.params.JpegMarkers[2].type, 0xED);
  EXPECT_EQ(l.params.JpegMarkers[3].type, 0xE0) << "only the first APP0 is dropped";
}

TEST(JpegReader, IccProfileFromChunks) {
  auto chunk = [](int seq, int total, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, uint8_t(seq), uint8_t(total)};
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
  };
  JpegRecipe whole;
  whole.markers = {{JPEG_APP0 + 2, chunk(2, 2, {4, 5})}, {JPEG_APP0 + 2, chunk(1, 2, {1, 2, 3})}};
  JpegRecipe holed;
  holed.markers = {{JPEG_APP0 + 2, chunk(1, 3, {1, 2, 3})}, {JPEG_APP0 + 2, chunk(3, 3, {9})}};
  Loaded a, b;
  Load(Encode(whole), a);
  Load(Encode(holed), b);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(a.params.InputICCProfile, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(a.bitmap.InputICCProfile(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(b.params.InputICCProfile.empty());
}

TEST(JpegReader, OrientationOnlyWhenAsked) {
  JpegRecipe s;
  s.w = 32;
  s.h = 16;
  s.quality = 100;
  s.pixel = [](int x, int, uint8_t* p) {
    p[0] = x < 16 ? 255 : 0;
    p[1] = 0;
    p[2] = x < 16 ? 0 : 255;
  };
  s.markers = {{JPEG_APP0 + 1, ExifBlock(72, 1, 2, 6)}};
  const std::vector<uint8_t> jpeg = Encode(s);
  Loaded plain, turned;
  Load(jpeg, plain);
  Load(jpeg, turned, [](TIOParams& p) { p.SetEnableAdjustOrientation(true); });
  ASSERT_TRUE(plain.ok && turned.ok);
  EXPECT_EQ(plain.bitmap.Width(), 32);
  EXPECT_EQ(plain.params.ExifOrientation, 6);
  ASSERT_EQ(turned.bitmap.Width(), 16);
  ASSERT_EQ(turned.bitmap.Height(), 32);
  EXPECT_EQ(turned.params.Width, 16);
  EXPECT_EQ(turned.params.Height, 32);
  EXPECT_EQ(turned.params.ExifOrientation, 1);
  // Turned a quarter clockwise: the red left half is now the top half.
  EXPECT_GT(turned.bitmap.Scanline(4)[3 * 8 + 2], 200);
  EXPECT_LT(turned.bitmap.Scanline(4)[3 * 8 + 0], 50);
  EXPECT_GT(turned.bitmap.Scanline(28)[3 * 8 + 0], 200);
}

TEST(JpegReader, OrientationTransformsEveryCase) {
  // 3 x 2 ie8g picture with distinct values; the expected upright rows.
  struct Case {
    int orientation;
    std::vector<std::vector<uint8_t>> rows;
  } cases[] = {
      {1, {{1, 2, 3}, {4, 5, 6}}},          {2, {{3, 2, 1}, {6, 5, 4}}},
      {3, {{6, 5, 4}, {3, 2, 1}}},          {4, {{4, 5, 6}, {1, 2, 3}}},
      {5, {{1, 4}, {2, 5}, {3, 6}}},        {6, {{4, 1}, {5, 2}, {6, 3}}},
      {7, {{6, 3}, {5, 2}, {4, 1}}},        {8, {{3, 6}, {2, 5}, {1, 4}}},
  };
  for (const Case& c : cases) {
    TIEBitmap b(3, 2, ie8g);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) b.Scanline(y)[x] = uint8_t(1 + x + 3 * y);
    IEApplyExifOrientation(b, c.orientation);
    ASSERT_EQ(b.Height(), static_cast<int>(c.rows.size())) << c.orientation;
    for (int y = 0; y < b.Height(); ++y) {
      ASSERT_EQ(b.Width(), static_cast<int>(c.rows[static_cast<size_t>(y)].size())) << c.orientation;
      for (int x = 0; x < b.Width(); ++x)
        EXPECT_EQ(b.Scanline(y)[x], c.rows[static_cast<size_t>(y)][static_cast<size_t>(x)])
            << "orientation " << c.orientation << " at " << x << "," << y;
    }
  }
}

TEST(JpegReader, TruncatedFilesNeverCrash) {
  JpegRecipe base, progressive;
  base.w = progressive.w = 40;
  base.h = progressive.h = 24;
  progressive.progressive = true;
  for (const JpegRecipe& s : {base, progressive}) {
    const std::vector<uint8_t> full = Encode(s);
    for (size_t n = 0; n < full.size(); n += 3) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l;
      Load(cut, l);
      if (l.ok) {
        EXPECT_EQ(l.bitmap.Width(), 40);
        EXPECT_GT(l.params.JpegWarningTot, 0) << "cut at " << n;
      }
    }
  }
}

TEST(JpegReader, LyingSizeFailsBeforeAllocating) {
  std::vector<uint8_t> jpeg = Encode(JpegRecipe());
  // Patch the frame header to claim 60000 x 60000 pixels.
  for (size_t i = 0; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = 60000 >> 8, jpeg[i + 6] = 60000 & 255;
      jpeg[i + 7] = 60000 >> 8, jpeg[i + 8] = 60000 & 255;
      break;
    }
  }
  Loaded l;
  const auto start = std::chrono::steady_clock::now();
  Load(jpeg, l);
  EXPECT_FALSE(l.ok);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(l.params.OriginalWidth, 60000) << "the header was read";
}

// Arithmetic coding has no floor of bits per block, so a blank page codes
// smaller than the Huffman bound allows and must still load; claiming a
// far larger size on the same bytes must fail at once.
TEST(JpegReader, ArithmeticCodedBlankPagesLoadAndLyingOnesFailAtOnce) {
  JpegRecipe blank;
  blank.input = JCS_GRAYSCALE;
  blank.coded = JCS_GRAYSCALE;
  blank.arithmetic = true;
  struct Case {
    const char* name;
    int w, h;
    bool progressive, blank;
  } cases[] = {
      // Over 65,000 pixels a byte; 30000 x 30000 on its bytes is past the bound.
      {"blank sequential A4 page", 2480, 3508, false, true},
      // Within the bound at 30000 x 30000, but its coefficients would need far
      // more memory than its bytes justify.
      {"blank progressive picture", 500, 500, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    blank.w = c.w;
    blank.h = c.h;
    blank.progressive = c.progressive;
    blank.pixel = [&c](int x, int y, uint8_t* p) { p[0] = c.blank ? 255 : uint8_t(x * 7 ^ y * 13); };
    const std::vector<uint8_t> page = Encode(blank);
    Loaded l;
    Load(page, l);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.Width(), blank.w);
    if (c.blank) {
      EXPECT_EQ(l.bitmap.Scanline(blank.h - 1)[0], 255);
    }

    std::vector<uint8_t> lying = page;
    for (size_t i = 0; i + 8 < lying.size(); ++i) {
      if (lying[i] == 0xFF && (lying[i + 1] == 0xC9 || lying[i + 1] == 0xCA)) {
        lying[i + 5] = 30000 >> 8, lying[i + 6] = 30000 & 255;
        lying[i + 7] = 30000 >> 8, lying[i + 8] = 30000 & 255;
        break;
      }
    }
    const auto start = std::chrono::steady_clock::now();
    Load(lying, l);
    EXPECT_FALSE(l.ok) << page.size() << " bytes";
    EXPECT_EQ(l.params.OriginalWidth, 30000) << "the header was read";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

TEST(JpegReader, GarbageAndEmptyStreamsFail) {
  for (const std::vector<uint8_t>& bytes : std::vector<std::vector<uint8_t>>{
           {}, {0xFF, 0xD8}, {0xFF, 0xD8, 0xFF}, {0xFF, 0xD8, 0xFF, 0xD9}, std::vector<uint8_t>(500, 0xFF)}) {
    Loaded l;
    Load(bytes, l);
    EXPECT_FALSE(l.ok) << bytes.size();
  }
}

TEST(JpegReader, ProgressAndCancel) {
  JpegRecipe s;
  s.w = 40;
  s.h = 300;
  const std::vector<uint8_t> jpeg = Encode(s);
  TIEMemoryStream stream(jpeg.data(), static_cast<int64_t>(jpeg.size()));
  TIEBitmap b;
  TIEImageIO io(&b);
  int calls = 0;
  io.OnProgress = [&](void*, int percent) {
    ++calls;
    if (percent >= 50 && percent < 100) io.SetLoadAborted(true);
  };
  EXPECT_FALSE(io.LoadFromStreamJpeg(stream));
  EXPECT_GT(calls, 2);
}

TEST(JpegReader, HeaderOnlyAndRowLimit) {
  JpegRecipe s;
  s.w = 24;
  s.h = 40;
  const std::vector<uint8_t> jpeg = Encode(s);
  TIEMemoryStream a(jpeg.data(), static_cast<int64_t>(jpeg.size()));
  TIOParams p;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  TIEJpegReadOptions header;
  header.HeaderOnly = true;
  EXPECT_EQ(IEJpegReadStream(a, nullptr, p, progress, header), 0);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(p.Width, 24);
  EXPECT_EQ(p.Height, 40);

  TIEMemoryStream b(jpeg.data(), static_cast<int64_t>(jpeg.size()));
  TIEBitmap bitmap;
  TIEJpegReadOptions rows;
  rows.MaxRows = 10;
  EXPECT_EQ(IEJpegReadStream(b, &bitmap, p, progress, rows), 10);
  EXPECT_FALSE(aborting) << "stopping at the row limit is no failure";
}
