// JPEG encoding: the data stream's segments read back by hand, the pixels
// decoded by libjpeg's decompressor.

#include "pdfjpeg.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "iebitmap.h"
#include "ieconvert.h"
#include "iecore.h"
#include "ieparams.h"
#include "iestream.h"

namespace {

struct TSegment {
  uint8_t marker;
  std::vector<uint8_t> data;  // without the length word
};

// Splits a JPEG data stream into its marker segments; entropy-coded data is
// skipped. Markers without a length (SOI, EOI) get empty data.
std::vector<TSegment> Segments(const std::vector<uint8_t>& j) {
  std::vector<TSegment> out;
  size_t i = 0;
  while (i + 1 < j.size()) {
    if (j[i] != 0xFF || j[i + 1] == 0x00 || j[i + 1] == 0xFF || (j[i + 1] >= 0xD0 && j[i + 1] <= 0xD7)) {
      ++i;
      continue;
    }
    uint8_t m = j[i + 1];
    i += 2;
    if (m == 0xD8 || m == 0xD9) {
      out.push_back({m, {}});
      continue;
    }
    if (i + 2 > j.size()) break;
    size_t len = (size_t(j[i]) << 8) | j[i + 1];
    if (len < 2 || i + len > j.size()) break;
    out.push_back({m, std::vector<uint8_t>(j.begin() + static_cast<ptrdiff_t>(i + 2),
                                           j.begin() + static_cast<ptrdiff_t>(i + len))});
    i += len;
  }
  return out;
}

const TSegment* Find(const std::vector<TSegment>& s, uint8_t marker) {
  for (const TSegment& x : s)
    if (x.marker == marker) return &x;
  return nullptr;
}

int Count(const std::vector<TSegment>& s, uint8_t marker) {
  int n = 0;
  for (const TSegment& x : s) n += x.marker == marker;
  return n;
}

// Sampling factors of the frame's components, as "hv" digits: "22 11 11".
std::string Sampling(const TSegment& sof) {
  std::string out;
  for (int c = 0; c < sof.data[5]; ++c) {
    uint8_t f = sof.data[6 + 3 * c + 1];
    if (!out.empty()) out += ' ';
    out += std::to_string(f >> 4) + std::to_string(f & 15);
  }
  return out;
}

// A decoded picture: red, green, blue (or one gray sample) per pixel.
struct TDecoded {
  int width = 0, height = 0, components = 0;
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> icc;
};

struct TDecodeError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

bool Decode(const std::vector<uint8_t>& jpeg, TDecoded& out) {
  jpeg_decompress_struct cinfo{};
  TDecodeError err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<TDecodeError*>(c->err)->jump, 1); };
  err.pub.output_message = [](j_common_ptr) {};
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  JOCTET* icc = nullptr;
  unsigned int iccLen = 0;
  if (jpeg_read_icc_profile(&cinfo, &icc, &iccLen)) {
    out.icc.assign(icc, icc + iccLen);
    free(icc);
  }
  if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) cinfo.out_color_space = JCS_CMYK;
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.output_components;
  out.pixels.resize(size_t(out.width) * out.height * out.components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.pixels.data() + size_t(cinfo.output_scanline) * out.width * out.components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// PSNR of the decoded picture against a bitmap's blue, green, red pixels
// (against their gray value for a one-component picture).
double Psnr(TIEBitmap& b, const TDecoded& d) {
  double sum = 0;
  int64_t n = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* q = b.Scanline(y) + 3 * x;
      const uint8_t* p = d.pixels.data() + (size_t(y) * d.width + x) * d.components;
      if (d.components == 1) {
        double e = p[0] - (q[2] * 0.299 + q[1] * 0.587 + q[0] * 0.114);
        sum += e * e;
        ++n;
        continue;
      }
      for (int c = 0; c < 3; ++c) {
        double e = double(p[c]) - q[2 - c];
        sum += e * e;
        ++n;
      }
    }
  double mse = sum / double(n);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::unique_ptr<TIEBitmap> Photo(int w, int h, unsigned seed = 1) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie24RGB);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = b->Scanline(y) + 3 * x;
      double fx = double(x) / w, fy = double(y) / h;
      int grain = static_cast<int>(rng() % 5) - 2;
      p[0] = static_cast<uint8_t>(std::clamp(int(40 + 180 * fx * fy) + grain, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(int(128 + 90 * std::sin(fx * 6 + fy * 2)) + grain, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(int(230 * fy + 20 * std::cos(fx * 11)) + grain, 0, 255));
    }
  return b;
}

std::vector<uint8_t> Pixels(TIEBitmap& b) {
  std::vector<uint8_t> v;
  for (int y = 0; y < b.Height(); ++y) v.insert(v.end(), b.Scanline(y), b.Scanline(y) + b.RowLen());
  if (TIEBitmap* a = b.AlphaChannelOrNull())
    for (int y = 0; y < a->Height(); ++y) v.insert(v.end(), a->Scanline(y), a->Scanline(y) + a->RowLen());
  return v;
}

struct TEncoded {
  std::vector<uint8_t> bytes;
  bool aborted = false;
};

TEncoded Encode(TIEBitmap& b, TIOParams& params, TProgressRecord* progress = nullptr) {
  TIEMemoryStream out;
  bool aborting = false;
  TProgressRecord own;
  TProgressRecord& p = progress ? *progress : own;
  if (!p.Aborting) p.Aborting = &aborting;
  WriteJpeg(out, b, params, p);
  TEncoded e;
  e.bytes.assign(out.Data(), out.Data() + out.Size());
  e.aborted = *p.Aborting;
  return e;
}

TEST(PdfJpeg, FreshRecordGivesBaselineJfif) {
  auto photo = Photo(161, 97);
  TIOParams params;
  TEncoded e = Encode(*photo, params);
  ASSERT_FALSE(e.aborted);
  std::vector<TSegment> s = Segments(e.bytes);
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(s.front().marker, 0xD8);
  EXPECT_EQ(s.back().marker, 0xD9);
  EXPECT_EQ(e.bytes[e.bytes.size() - 2], 0xFF);
  EXPECT_EQ(e.bytes.back(), 0xD9);
  ASSERT_EQ(s[1].marker, 0xE0);
  const std::vector<uint8_t>& jfif = s[1].data;
  ASSERT_GE(jfif.size(), 12u);
  EXPECT_EQ(std::string(jfif.begin(), jfif.begin() + 5), std::string("JFIF\0", 5));
  EXPECT_EQ(jfif[7], 1);                      // dots per inch
  EXPECT_EQ((jfif[8] << 8) | jfif[9], 300);   // horizontal
  EXPECT_EQ((jfif[10] << 8) | jfif[11], 300);  // vertical
  const TSegment* sof = Find(s, 0xC0);
  ASSERT_NE(sof, nullptr);  // baseline
  EXPECT_EQ(Sampling(*sof), "22 11 11");
  EXPECT_EQ(Count(s, 0xDA), 1);
  EXPECT_EQ(Count(s, 0xE2), 0);
  // Quality 80 of the standard tables: the luminance DC entry is 16 x 0.4.
  const TSegment* dqt = Find(s, 0xDB);
  ASSERT_NE(dqt, nullptr);
  EXPECT_EQ(dqt->data[0], 0);  // 8-bit table 0
  EXPECT_EQ(dqt->data[1], 6);

  TDecoded d;
  ASSERT_TRUE(Decode(e.bytes, d));
  EXPECT_EQ(d.width, 161);
  EXPECT_EQ(d.height, 97);
  double psnr = Psnr(*photo, d);
  std::printf("[ PSNR     ] quality 80, 4:2:0: %.2f dB\n", psnr);
  EXPECT_GE(psnr, 32.0);
}

TEST(PdfJpeg, RecordSettings) {
  struct Case {
    const char* name;
    std::function<void(TIOParams&)> set;
    std::function<void(const std::vector<TSegment>&)> check;
    double minPsnr;
  } cases[] = {
      {"gray", [](TIOParams& p) { p.JpegColorSpace = 1; },
       [](const std::vector<TSegment>& s) { EXPECT_EQ(Find(s, 0xC0)->data[5], 1); }, 32},
      {"RGB", [](TIOParams& p) { p.JpegColorSpace = 0; },
       [](const std::vector<TSegment>& s) {
         EXPECT_EQ(Find(s, 0xC0)->data[5], 3);
         EXPECT_EQ(Find(s, 0xC0)->data[6], 'R');
       }, 30},
      {"subsampling 2x1", [](TIOParams& p) { p.JpegChromaSubsampling = 0; },
       [](const std::vector<TSegment>& s) { EXPECT_EQ(Sampling(*Find(s, 0xC0)), "21 11 11"); }, 32},
      {"no subsampling", [](TIOParams& p) { p.JpegChromaSubsampling = 2; },
       [](const std::vector<TSegment>& s) { EXPECT_EQ(Sampling(*Find(s, 0xC0)), "11 11 11"); }, 32},
      {"unknown subsampling keeps the library's", [](TIOParams& p) { p.JpegChromaSubsampling = 9; },
       [](const std::vector<TSegment>& s) { EXPECT_EQ(Sampling(*Find(s, 0xC0)), "22 11 11"); }, 32},
      {"progressive", [](TIOParams& p) { p.JpegProgressive = true; },
       [](const std::vector<TSegment>& s) {
         EXPECT_NE(Find(s, 0xC2), nullptr);
         EXPECT_GT(Count(s, 0xDA), 1);
       }, 32},
      {"density", [](TIOParams& p) { p.SetDpiX(72), p.SetDpiY(96); },
       [](const std::vector<TSegment>& s) {
         EXPECT_EQ((s[1].data[8] << 8) | s[1].data[9], 72);
         EXPECT_EQ((s[1].data[10] << 8) | s[1].data[11], 96);
       }, 32},
      {"zero density means the default", [](TIOParams& p) { p.SetDpiX(0), p.SetDpiY(0); },
       [](const std::vector<TSegment>& s) { EXPECT_EQ((s[1].data[8] << 8) | s[1].data[9], 300); }, 32},
      {"optimised Huffman tables", [](TIOParams& p) { p.JpegOptimizeCoding = true; },
       [](const std::vector<TSegment>&) {}, 32},
      {"fast integer DCT", [](TIOParams& p) { p.JpegDctMethod = 1; }, [](const std::vector<TSegment>&) {}, 30},
      {"float DCT", [](TIOParams& p) { p.JpegDctMethod = 2; }, [](const std::vector<TSegment>&) {}, 32},
      {"smoothing", [](TIOParams& p) { p.JpegSmoothing = 50; }, [](const std::vector<TSegment>&) {}, 28},
      {"quality 1 keeps 8-bit tables", [](TIOParams& p) { p.JpegQuality = 1; },
       [](const std::vector<TSegment>& s) {
         for (const TSegment& x : s)
           if (x.marker == 0xDB) {
             EXPECT_EQ(x.data[0] >> 4, 0);  // every table 8-bit
           }
       }, 10},
      {"quality 100", [](TIOParams& p) { p.JpegQuality = 100; }, [](const std::vector<TSegment>&) {}, 40},
      {"CMYK", [](TIOParams& p) { p.JpegColorSpace = 3; },
       [](const std::vector<TSegment>& s) {
         EXPECT_EQ(Find(s, 0xC0)->data[5], 4);
         EXPECT_EQ(s[1].marker, 0xE0);         // JFIF written for CMYK too
         EXPECT_NE(Find(s, 0xEE), nullptr);  // the library's Adobe marker
       }, 0},
      {"YCCK", [](TIOParams& p) { p.JpegColorSpace = 4; },
       [](const std::vector<TSegment>& s) { EXPECT_EQ(Find(s, 0xC0)->data[5], 4); }, 0},
  };
  auto photo = Photo(120, 80, 3);
  TIOParams defaults;
  const size_t defaultSize = Encode(*photo, defaults).bytes.size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIOParams params;
    c.set(params);
    TEncoded e = Encode(*photo, params);
    ASSERT_FALSE(e.aborted);
    std::vector<TSegment> s = Segments(e.bytes);
    ASSERT_TRUE(Find(s, 0xC0) || Find(s, 0xC2));
    c.check(s);
    if (std::string(c.name) == "optimised Huffman tables") {
      EXPECT_LT(e.bytes.size(), defaultSize);
    }
    TDecoded d;
    ASSERT_TRUE(Decode(e.bytes, d));
    if (c.minPsnr > 0) {
      double psnr = Psnr(*photo, d);
      std::printf("[ PSNR     ] %s: %.2f dB\n", c.name, psnr);
      EXPECT_GE(psnr, c.minPsnr);
    }
  }
}

TEST(PdfJpeg, CmykHoldsInvertedInk) {
  // Red is full magenta and yellow ink: stored as 255 - ink, like every CMYK
  // JPEG with the Adobe marker.
  TIEBitmap red(16, 16, ie24RGB);
  red.Fill(0x0000FF);
  TIOParams params;
  params.JpegColorSpace = 3;
  params.JpegQuality = 100;
  TDecoded d;
  ASSERT_TRUE(Decode(Encode(red, params).bytes, d));
  ASSERT_EQ(d.components, 4);
  const uint8_t* p = d.pixels.data() + (8 * 16 + 8) * 4;
  EXPECT_NEAR(p[0], 255, 3);  // no cyan
  EXPECT_NEAR(p[1], 0, 3);    // full magenta
  EXPECT_NEAR(p[2], 0, 3);    // full yellow
  EXPECT_NEAR(p[3], 255, 3);  // no black
}

TEST(PdfJpeg, RedStaysRed) {
  TIEBitmap red(16, 16, ie24RGB);
  red.Fill(0x0000FF);  // stored blue 0, green 0, red 255
  TIOParams params;
  TDecoded d;
  ASSERT_TRUE(Decode(Encode(red, params).bytes, d));
  const uint8_t* p = d.pixels.data() + (8 * 16 + 8) * 3;
  EXPECT_GE(p[0], 240);
  EXPECT_LE(p[1], 15);
  EXPECT_LE(p[2], 15);
}

TEST(PdfJpeg, AlphaIsBlendedOntoWhiteAndTheBitmapKept) {
  TIEBitmap b(32, 16, ie24RGB);
  b.Fill(0x000000);
  TIEBitmap* a = b.AlphaChannel();
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) a->Scanline(y)[x] = x < 16 ? 0 : 128;
  std::vector<uint8_t> before = Pixels(b);
  TIOParams params;
  params.JpegQuality = 100;
  TDecoded d;
  ASSERT_TRUE(Decode(Encode(b, params).bytes, d));
  const uint8_t* transparent = d.pixels.data() + (8 * 32 + 4) * 3;
  const uint8_t* half = d.pixels.data() + (8 * 32 + 28) * 3;
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(transparent[c], 255, 2);
    EXPECT_NEAR(half[c], 127, 3);  // 255 - 255 x 128 / 256
  }
  EXPECT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(Pixels(b), before);
}

TEST(PdfJpeg, OtherFormatsThroughAnRgbCopy) {
  struct Case {
    const char* name;
    TIEPixelFormat format;
    bool alpha;
  } cases[] = {{"ie8g", ie8g, false}, {"ie8p", ie8p, false}, {"ie1g", ie1g, false},
               {"ie16g", ie16g, false}, {"ie8g with alpha", ie8g, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIEBitmap b(24, 24, c.format);
    for (int y = 0; y < 24; ++y)
      for (int64_t i = 0; i < b.RowLen(); ++i) b.Scanline(y)[i] = static_cast<uint8_t>((i / 4) * 40 + y / 8 * 20);
    if (c.format == ie8p)
      for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, TRGB{uint8_t(255 - i), uint8_t(i), uint8_t(i / 3)});
    if (c.alpha) b.AlphaChannel()->Fill(255);
    std::vector<uint8_t> before = Pixels(b);
    TIOParams params;
    params.JpegQuality = 95;
    params.JpegChromaSubsampling = 2;
    TDecoded d;
    ASSERT_TRUE(Decode(Encode(b, params).bytes, d));
    TIEBitmap expected(24, 24, ie24RGB);
    IECopyAndConvertFormat(b, expected);
    double psnr = Psnr(expected, d);
    EXPECT_GE(psnr, 28.0);
    EXPECT_EQ(b.PixelFormat(), c.format);
    EXPECT_EQ(Pixels(b), before);
  }
}

TEST(PdfJpeg, ExtraMarkersSortedAndFiltered) {
  auto photo = Photo(16, 16);
  TIOParams params;
  params.JpegMarkers = {
      {0xFE, {'h', 'i'}},                   // comment
      {0xEE, {'A', 'd', 'o', 'b', 'e'}},    // the library's own
      {0xE1, {'E', 'x', 'i', 'f', 0, 0}},   //
      {0xC0, {1, 2, 3}},                    // not an application marker
      {0xE0, {'x'}},                        //
      {0xE1, {'s', 'e', 'c', 'o', 'n', 'd'}},  // keeps its place after the first APP1
  };
  std::vector<TSegment> s = Segments(Encode(*photo, params).bytes);
  std::vector<std::pair<uint8_t, std::string>> got;
  for (size_t i = 1; i < s.size() && s[i].marker != 0xDB; ++i)
    got.push_back({s[i].marker, std::string(s[i].data.begin(), s[i].data.end())});
  std::vector<std::pair<uint8_t, std::string>> want = {
      {0xE0, got.empty() ? "" : got[0].second},  // JFIF
      {0xE0, "x"},
      {0xE1, std::string("Exif\0\0", 6)},
      {0xE1, "second"},
      {0xFE, "hi"},
  };
  EXPECT_EQ(got, want);
  EXPECT_EQ(Count(s, 0xC0), 1);
  EXPECT_EQ(Count(s, 0xEE), 0);
}

TEST(PdfJpeg, IccProfileInPieces) {
  std::vector<uint8_t> profile(70000);
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<uint8_t>(i * 7 + i / 256);
  auto photo = Photo(16, 16);
  TIOParams params;
  params.OutputICCProfile = profile;
  params.JpegMarkers = {{0xE2, {'o', 'l', 'd'}}, {0xFE, {'c'}}};
  TEncoded e = Encode(*photo, params);

  // The record now holds the pieces instead of the old APP2 marker.
  int pieces = 0;
  for (const TIEJpegMarker& m : params.JpegMarkers)
    if (m.type == 0xE2) {
      ++pieces;
      ASSERT_GE(m.data.size(), 14u);
      EXPECT_EQ(std::string(m.data.begin(), m.data.begin() + 12), std::string("ICC_PROFILE\0", 12));
      EXPECT_EQ(m.data[12], pieces);
      EXPECT_EQ(m.data[13], 3);
      EXPECT_EQ(m.data.size(), 14u + (pieces < 3 ? 32000u : 6000u));
    }
  EXPECT_EQ(pieces, 3);

  std::vector<TSegment> s = Segments(e.bytes);
  EXPECT_EQ(Count(s, 0xE2), 3);
  EXPECT_EQ(Count(s, 0xFE), 1);
  TDecoded d;
  ASSERT_TRUE(Decode(e.bytes, d));
  EXPECT_EQ(d.icc, profile);
}

TEST(PdfJpeg, EmptyBitmapWritesNothing) {
  TIEBitmap empty;
  TIOParams params;
  TEncoded e = Encode(empty, params);
  EXPECT_TRUE(e.aborted);
  EXPECT_TRUE(e.bytes.empty());
}

TEST(PdfJpeg, LibraryErrorRaises) {
  // Wider than a JPEG frame can be.
  TIEBitmap wide(70000, 1, ie24RGB);
  TIOParams params;
  TIEMemoryStream out;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  EXPECT_THROW(WriteJpeg(out, wide, params, progress), EIEJpegException);
  EXPECT_TRUE(aborting);
}

class TFailingStream : public TIEStream {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  void Write(const void*, int64_t) override { throw EIEException("disk full"); }
  int64_t Seek(int64_t, TIESeekOrigin) override { return 0; }
  int64_t Size() override { return 0; }
};

TEST(PdfJpeg, StreamErrorTravelsOn) {
  auto photo = Photo(400, 300);  // more than one destination buffer
  photo->AlphaChannel()->Fill(100);
  std::vector<uint8_t> before = Pixels(*photo);
  TIOParams params;
  TFailingStream out;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  try {
    WriteJpeg(out, *photo, params, progress);
    ADD_FAILURE() << "no exception";
  } catch (const EIEException& e) {
    EXPECT_NE(std::string(e.what()).find("disk full"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(aborting);
  EXPECT_EQ(Pixels(*photo), before);
}

struct TProgressLog {
  std::vector<int> percents;
  int abortAt = -1;
  bool* flag = nullptr;
};

TEST(PdfJpeg, ProgressAndAbort) {
  auto photo = Photo(64, 50);
  TIOParams params;
  TProgressLog log;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  progress.context = &log;
  progress.fnet = [](void* context, void*, int percent) {
    auto* l = static_cast<TProgressLog*>(context);
    l->percents.push_back(percent);
    if (l->abortAt >= 0 && percent >= l->abortAt) *l->flag = true;
  };
  TEncoded e = Encode(*photo, params, &progress);
  EXPECT_FALSE(e.aborted);
  ASSERT_FALSE(log.percents.empty());
  EXPECT_EQ(log.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(log.percents.begin(), log.percents.end()));
  EXPECT_EQ(std::adjacent_find(log.percents.begin(), log.percents.end()), log.percents.end());

  log = TProgressLog{{}, 50, &aborting};
  e = Encode(*photo, params, &progress);
  EXPECT_TRUE(e.aborted);
  EXPECT_LT(log.percents.back(), 100);
  // Stopped before the end: no end-of-image marker.
  EXPECT_FALSE(e.bytes.size() >= 2 && e.bytes[e.bytes.size() - 2] == 0xFF && e.bytes.back() == 0xD9);
}

}  // namespace
