// The PNG reader: every colour type and depth on both paths, interlacing,
// transparency, the record's fields, and damaged files. Test files are
// written with libpng's own writer from known samples; a few committed files
// made by ImageMagick are checked against ImageMagick's decoding.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "pngfilt.h"
#include "testsupport.h"

namespace {

struct PngText {
  std::string key, text;
  int compression = PNG_TEXT_COMPRESSION_NONE;
};

struct PngSample {
  const char* what = "";
  int colorType = PNG_COLOR_TYPE_RGB;
  int depth = 8;
  bool interlaced = false;
  int width = 13, height = 11;  // odd sizes leave Adam7 passes partly empty
  bool trns = false;
  int numPalette = 0;  // palette images: entries (default 2^depth, at most 256)
  bool phys = false;
  uint32_t ppmX = 0, ppmY = 0;
  int physUnit = PNG_RESOLUTION_METER;
  bool bkgd = false;
  png_color_16 background{};
  std::vector<PngText> texts;
};

int FileChannels(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1;
  }
}

int PaletteSize(const PngSample& s) { return s.numPalette ? s.numPalette : std::min(1 << s.depth, 256); }

// Sample c of pixel (x, y) at the file's depth. 16-bit samples carry low
// bytes of 0x80 or more, so that rounding to 8 bits differs from taking the
// high byte.
uint32_t Sample(const PngSample& s, int x, int y, int c) {
  if (s.colorType == PNG_COLOR_TYPE_PALETTE) return static_cast<uint32_t>((x + 3 * y) % PaletteSize(s));
  const uint32_t top = (1u << s.depth) - 1;
  const uint32_t v = static_cast<uint32_t>(x * 37 + y * 11 + c * 71 + (x * y) % 5);
  if (s.depth == 16) return ((v * 29) % 256) << 8 | (0x80 + (v * 13) % 128);
  return v % (top + 1);
}

png_color PaletteEntry(const PngSample& s, int i) {
  if (s.depth == 1) return i == 0 ? png_color{255, 255, 255} : png_color{0, 0, 0};  // white, black
  return png_color{uint8_t(i * 17 + 3), uint8_t(255 - i * 5), uint8_t(i * 101)};
}

uint8_t TransAlpha(int i) { return uint8_t(i * 60); }  // entry 0 fully transparent
int NumTrans(const PngSample& s) { return std::max(1, PaletteSize(s) / 2); }  // later entries opaque

png_color_16 TransColor(const PngSample& s) {
  // The colour of pixel (1, 0): it occurs, so some pixels turn transparent.
  png_color_16 t{};
  if (s.colorType == PNG_COLOR_TYPE_GRAY) t.gray = static_cast<png_uint_16>(Sample(s, 1, 0, 0));
  if (s.colorType == PNG_COLOR_TYPE_RGB) {
    t.red = static_cast<png_uint_16>(Sample(s, 1, 0, 0));
    t.green = static_cast<png_uint_16>(Sample(s, 1, 0, 1));
    t.blue = static_cast<png_uint_16>(Sample(s, 1, 0, 2));
  }
  return t;
}

void WriterError(png_structp, png_const_charp message) {
  std::fprintf(stderr, "test PNG writer: %s\n", message);
  std::abort();
}

std::vector<uint8_t> WritePng(const PngSample& s) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, WriterError, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, size_t n) {
        auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        v->insert(v->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(s.width), static_cast<png_uint_32>(s.height), s.depth,
               s.colorType, s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  std::vector<png_byte> trans;
  if (s.colorType == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < PaletteSize(s); ++i) palette.push_back(PaletteEntry(s, i));
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    for (int i = 0; i < NumTrans(s); ++i) trans.push_back(TransAlpha(i));
  }
  png_color_16 transColor = TransColor(s);
  if (s.trns)
    png_set_tRNS(png, info, trans.empty() ? nullptr : trans.data(), static_cast<int>(trans.size()),
                 trans.empty() ? &transColor : nullptr);
  if (s.phys) png_set_pHYs(png, info, s.ppmX, s.ppmY, s.physUnit);
  png_color_16 background = s.background;
  if (s.bkgd) png_set_bKGD(png, info, &background);
  std::vector<png_text> texts(s.texts.size());
  for (size_t i = 0; i < s.texts.size(); ++i) {
    texts[i].compression = s.texts[i].compression;
    texts[i].key = const_cast<char*>(s.texts[i].key.c_str());
    texts[i].text = const_cast<char*>(s.texts[i].text.c_str());
  }
  if (!texts.empty()) png_set_text(png, info, texts.data(), static_cast<int>(texts.size()));
  png_write_info(png, info);

  const int channels = FileChannels(s.colorType);
  const size_t rowBytes = (static_cast<size_t>(s.width) * channels * s.depth + 7) / 8;
  std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(s.height), std::vector<uint8_t>(rowBytes, 0));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < s.height; ++y) {
    std::vector<uint8_t>& row = rows[static_cast<size_t>(y)];
    for (int x = 0; x < s.width; ++x)
      for (int c = 0; c < channels; ++c) {
        const uint32_t v = Sample(s, x, y, c);
        const size_t i = static_cast<size_t>(x) * channels + c;
        if (s.depth == 16) {
          row[2 * i] = uint8_t(v >> 8);
          row[2 * i + 1] = uint8_t(v);
        } else if (s.depth == 8) {
          row[i] = uint8_t(v);
        } else {
          const size_t bit = i * s.depth;
          row[bit / 8] |= uint8_t(v << (8 - s.depth - bit % 8));
        }
      }
    pointers.push_back(row.data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// A picture as red, green, blue, alpha bytes per pixel.
using Rgba = std::vector<uint8_t>;

uint8_t To8(const PngSample& s, uint32_t v) {
  if (s.depth == 16) return uint8_t(v >> 8);  // the high byte, not a rounded value
  return uint8_t(v * 255 / ((1u << s.depth) - 1));
}

// What the default (converting) path must give.
Rgba Expected(const PngSample& s) {
  Rgba out;
  const png_color_16 t = TransColor(s);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      uint8_t r = 0, g = 0, b = 0, a = 255;
      auto sample = [&](int c) { return Sample(s, x, y, c); };
      switch (s.colorType) {
        case PNG_COLOR_TYPE_GRAY:
          r = g = b = To8(s, sample(0));
          if (s.trns && sample(0) == t.gray) a = 0;
          break;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
          r = g = b = To8(s, sample(0));
          a = To8(s, sample(1));
          break;
        case PNG_COLOR_TYPE_RGB:
          r = To8(s, sample(0)), g = To8(s, sample(1)), b = To8(s, sample(2));
          if (s.trns && sample(0) == t.red && sample(1) == t.green && sample(2) == t.blue) a = 0;
          break;
        case PNG_COLOR_TYPE_RGB_ALPHA:
          r = To8(s, sample(0)), g = To8(s, sample(1)), b = To8(s, sample(2)), a = To8(s, sample(3));
          break;
        case PNG_COLOR_TYPE_PALETTE: {
          const int i = static_cast<int>(sample(0));
          const png_color c = PaletteEntry(s, i);
          r = c.red, g = c.green, b = c.blue;
          if (s.trns && i < NumTrans(s)) a = TransAlpha(i);
          break;
        }
      }
      out.insert(out.end(), {r, g, b, a});
    }
  return out;
}

Rgba Canonical(TIEBitmap& bitmap) {
  Rgba out;
  TIEBitmap* alpha = bitmap.AlphaChannelOrNull();
  for (int y = 0; y < bitmap.Height(); ++y) {
    std::vector<uint8_t> row(bitmap.Scanline(y), bitmap.Scanline(y) + bitmap.RowLen());
    const uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
    for (int x = 0; x < bitmap.Width(); ++x) {
      uint8_t r = 0, g = 0, b = 0;
      switch (bitmap.PixelFormat()) {
        case ie1g: r = g = b = ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0; break;
        case ie8g: r = g = b = row[x]; break;
        case ie16g: r = g = b = row[2 * x + 1]; break;
        case ie8p: {
          const TRGB c = bitmap.PaletteEntry(row[x]);
          r = c.r, g = c.g, b = c.b;
          break;
        }
        case ie24RGB: b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2]; break;
        default: ADD_FAILURE() << "unexpected format " << int(bitmap.PixelFormat()); return out;
      }
      out.insert(out.end(), {r, g, b, a ? a[x] : uint8_t(255)});
    }
  }
  return out;
}

std::string FirstDifference(const Rgba& got, const Rgba& want, int width) {
  if (got.size() != want.size()) return "sizes differ";
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i]) {
      std::ostringstream s;
      const size_t p = i / 4;
      s << "pixel (" << p % width << ", " << p / width << ") channel " << i % 4 << ": " << int(got[i])
        << " instead of " << int(want[i]);
      return s.str();
    }
  return "";
}

struct Loaded {
  bool ok = false;
  TIEBitmap bitmap;
  TIOParams params;
};

void Load(const std::vector<uint8_t>& bytes, Loaded& out, bool native = false) {
  TIEMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEImageIO io(&out.bitmap);
  io.Params().NativePixelFormat = native;
  out.ok = io.LoadFromStreamPNG(stream);
  out.params = io.Params();
}

PngSample Sample(const char* what, int colorType, int depth, bool trns = false) {
  PngSample s;
  s.what = what;
  s.colorType = colorType;
  s.depth = depth;
  s.trns = trns;
  return s;
}

const PngSample kEveryKind[] = {
    Sample("grey 1", PNG_COLOR_TYPE_GRAY, 1),
    Sample("grey 2", PNG_COLOR_TYPE_GRAY, 2),
    Sample("grey 4", PNG_COLOR_TYPE_GRAY, 4),
    Sample("grey 8", PNG_COLOR_TYPE_GRAY, 8),
    Sample("grey 16", PNG_COLOR_TYPE_GRAY, 16),
    Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8),
    Sample("RGB 16", PNG_COLOR_TYPE_RGB, 16),
    Sample("palette 1 (white, black)", PNG_COLOR_TYPE_PALETTE, 1),
    Sample("palette 2", PNG_COLOR_TYPE_PALETTE, 2),
    Sample("palette 4", PNG_COLOR_TYPE_PALETTE, 4),
    Sample("palette 8", PNG_COLOR_TYPE_PALETTE, 8),
    Sample("grey + alpha 8", PNG_COLOR_TYPE_GRAY_ALPHA, 8),
    Sample("grey + alpha 16", PNG_COLOR_TYPE_GRAY_ALPHA, 16),
    Sample("RGBA 8", PNG_COLOR_TYPE_RGB_ALPHA, 8),
    Sample("RGBA 16", PNG_COLOR_TYPE_RGB_ALPHA, 16),
    Sample("palette 1 + tRNS", PNG_COLOR_TYPE_PALETTE, 1, true),
    Sample("palette 4 + tRNS", PNG_COLOR_TYPE_PALETTE, 4, true),
    Sample("palette 8 + tRNS", PNG_COLOR_TYPE_PALETTE, 8, true),
    Sample("grey 1 + tRNS", PNG_COLOR_TYPE_GRAY, 1, true),
    Sample("grey 4 + tRNS", PNG_COLOR_TYPE_GRAY, 4, true),
    Sample("grey 8 + tRNS", PNG_COLOR_TYPE_GRAY, 8, true),
    Sample("grey 16 + tRNS", PNG_COLOR_TYPE_GRAY, 16, true),
    Sample("RGB 8 + tRNS", PNG_COLOR_TYPE_RGB, 8, true),
    Sample("RGB 16 + tRNS", PNG_COLOR_TYPE_RGB, 16, true),
};

bool HasAlpha(const PngSample& s) {
  return s.trns || s.colorType == PNG_COLOR_TYPE_GRAY_ALPHA || s.colorType == PNG_COLOR_TYPE_RGB_ALPHA;
}

}  // namespace

TEST(PngReader, EveryColourTypeAndDepthInterlacedOrNot) {
  for (PngSample s : kEveryKind) {
    const Rgba want = Expected(s);
    for (bool interlaced : {false, true}) {
      s.interlaced = interlaced;
      const std::string what = std::string(s.what) + (interlaced ? ", Adam7" : "");
      Loaded l;
      Load(WritePng(s), l);
      ASSERT_TRUE(l.ok) << what;
      const bool oneBitGrey = s.colorType == PNG_COLOR_TYPE_GRAY && s.depth == 1;
      EXPECT_EQ(l.bitmap.PixelFormat(), oneBitGrey ? ie1g : ie24RGB) << what;
      EXPECT_EQ(l.bitmap.HasAlphaChannel(), HasAlpha(s)) << what;
      EXPECT_EQ(l.params.PngInterlaced, interlaced) << what;
      EXPECT_EQ(FirstDifference(Canonical(l.bitmap), want, s.width), "") << what;
    }
  }
}

TEST(PngReader, NativePathKeepsGreyAndPaletteSamples) {
  struct Case {
    PngSample sample;
    TIEPixelFormat format;
  } cases[] = {
      {Sample("grey 8", PNG_COLOR_TYPE_GRAY, 8), ie8g},
      {Sample("grey 16", PNG_COLOR_TYPE_GRAY, 16), ie16g},
      {Sample("grey 16 + tRNS", PNG_COLOR_TYPE_GRAY, 16, true), ie16g},
      {Sample("palette 8", PNG_COLOR_TYPE_PALETTE, 8), ie8p},
      {Sample("palette 8 + tRNS", PNG_COLOR_TYPE_PALETTE, 8, true), ie8p},
      // Not 8 or 16 bits, or not grey or palette: the converting path.
      {Sample("palette 4", PNG_COLOR_TYPE_PALETTE, 4), ie24RGB},
      {Sample("grey 4", PNG_COLOR_TYPE_GRAY, 4), ie24RGB},
      {Sample("RGB 16", PNG_COLOR_TYPE_RGB, 16), ie24RGB},
      {Sample("grey 1", PNG_COLOR_TYPE_GRAY, 1), ie1g},
  };
  for (Case& c : cases) {
    for (bool interlaced : {false, true}) {
      c.sample.interlaced = interlaced;
      const std::string what = std::string(c.sample.what) + (interlaced ? ", Adam7" : "");
      Loaded l;
      Load(WritePng(c.sample), l, true);
      ASSERT_TRUE(l.ok) << what;
      ASSERT_EQ(l.bitmap.PixelFormat(), c.format) << what;
      EXPECT_EQ(l.bitmap.HasAlphaChannel(), HasAlpha(c.sample)) << what;
      EXPECT_EQ(FirstDifference(Canonical(l.bitmap), Expected(c.sample), c.sample.width), "") << what;
      if (c.format == ie16g) {
        // Little-endian samples, all 16 bits of them.
        const uint8_t* row = l.bitmap.Scanline(2);
        EXPECT_EQ(row[6] | row[7] << 8, static_cast<int>(Sample(c.sample, 3, 2, 0))) << what;
      }
      if (c.format == ie8p) {
        EXPECT_EQ(l.bitmap.PaletteUsed(), 256) << what;
        EXPECT_EQ(l.bitmap.Scanline(1)[4], (4 + 3) % 256) << what << ": indexes kept";
      }
    }
  }
}

TEST(PngReader, FieldsOfTheParameterRecord) {
  struct Case {
    PngSample sample;
    int bits, samples;
  } cases[] = {
      {Sample("grey 1", PNG_COLOR_TYPE_GRAY, 1), 1, 1},    {Sample("grey 16", PNG_COLOR_TYPE_GRAY, 16), 16, 1},
      {Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8), 8, 3},       {Sample("palette 4", PNG_COLOR_TYPE_PALETTE, 4), 8, 1},
      {Sample("grey + alpha", PNG_COLOR_TYPE_GRAY_ALPHA, 8), 8, 2},
      {Sample("RGBA 16", PNG_COLOR_TYPE_RGB_ALPHA, 16), 16, 4},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(WritePng(c.sample), l);
    ASSERT_TRUE(l.ok) << c.sample.what;
    EXPECT_EQ(l.params.BitsPerSample, c.bits) << c.sample.what;
    EXPECT_EQ(l.params.SamplesPerPixel, c.samples) << c.sample.what;
    EXPECT_EQ(l.params.Width, 13) << c.sample.what;
    EXPECT_EQ(l.params.Height, 11) << c.sample.what;
    EXPECT_EQ(l.params.OriginalWidth, 13) << c.sample.what;
    EXPECT_EQ(l.params.ImageCount(), 1) << c.sample.what;
    EXPECT_EQ(l.params.FileType, ioPNG) << c.sample.what;
    if (c.sample.colorType == PNG_COLOR_TYPE_PALETTE) {
      ASSERT_EQ(l.params.ColorMapCount(), 16) << c.sample.what;
      const png_color e = PaletteEntry(c.sample, 5);
      EXPECT_EQ(l.params.ColorMap[5], (TRGB{e.blue, e.green, e.red})) << c.sample.what;
    } else {
      EXPECT_EQ(l.params.ColorMapCount(), 0) << c.sample.what;
    }
  }
}

TEST(PngReader, ResolutionFromPhys) {
  struct Case {
    const char* what;
    bool phys;
    uint32_t x, y;
    int unit;
    int dpiX, dpiY;
  } cases[] = {
      {"3780 per metre", true, 3780, 3780, PNG_RESOLUTION_METER, 96, 96},
      {"2835 x 11811 per metre", true, 2835, 11811, PNG_RESOLUTION_METER, 72, 300},
      {"unit unknown (aspect only)", true, 3780, 3780, PNG_RESOLUTION_UNKNOWN, 300, 300},
      {"no pHYs", false, 0, 0, 0, 300, 300},
  };
  for (const Case& c : cases) {
    PngSample s = Sample(c.what, PNG_COLOR_TYPE_RGB, 8);
    s.phys = c.phys, s.ppmX = c.x, s.ppmY = c.y, s.physUnit = c.unit;
    Loaded l;
    Load(WritePng(s), l);
    ASSERT_TRUE(l.ok) << c.what;
    EXPECT_EQ(l.params.DpiX(), c.dpiX) << c.what;
    EXPECT_EQ(l.params.DpiY(), c.dpiY) << c.what;
  }
}

TEST(PngReader, BackgroundAndText) {
  PngSample rgb = Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8);
  rgb.bkgd = true;
  rgb.background.red = 10, rgb.background.green = 20, rgb.background.blue = 30;
  rgb.texts = {{"Title", "A title"},
               {"Comment", std::string(300, 'z'), PNG_TEXT_COMPRESSION_zTXt},
               {"Author", "\xC3\x89milie", PNG_ITXT_COMPRESSION_NONE}};
  PngSample grey16 = Sample("grey 16", PNG_COLOR_TYPE_GRAY, 16);
  grey16.bkgd = true;
  grey16.background.gray = 0x8000;
  PngSample palette = Sample("palette 4", PNG_COLOR_TYPE_PALETTE, 4);
  palette.bkgd = true;
  palette.background.index = 5;
  const png_color entry5 = PaletteEntry(palette, 5);
  struct Case {
    PngSample sample;
    TRGB background;
  } cases[] = {
      {rgb, TRGB{30, 20, 10}},
      {grey16, TRGB{128, 128, 128}},
      {palette, TRGB{entry5.blue, entry5.green, entry5.red}},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(WritePng(c.sample), l);
    ASSERT_TRUE(l.ok) << c.sample.what;
    EXPECT_EQ(l.params.PngBackground, c.background) << c.sample.what;
  }
  Loaded l;
  Load(WritePng(rgb), l);
  EXPECT_EQ(l.params.PngTextKeys, (std::vector<std::string>{"Title", "Comment", "Author"}));
  EXPECT_EQ(l.params.PngTextValues,
            (std::vector<std::string>{"A title", std::string(300, 'z'), "\xC3\x89milie"}));

  // Without bKGD the record keeps the background it had.
  std::vector<uint8_t> plain = WritePng(Sample("plain", PNG_COLOR_TYPE_RGB, 8));
  TIEMemoryStream stream(plain.data(), static_cast<int64_t>(plain.size()));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.Params().PngBackground = TRGB{1, 2, 3};
  ASSERT_TRUE(io.LoadFromStreamPNG(stream));
  EXPECT_EQ(io.Params().PngBackground, (TRGB{1, 2, 3}));
}

namespace {

uint32_t BE32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

void PutBE32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  PutBE32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBE32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// Rewrites a PNG with all its image data in one IDAT whose zlib stream is
// followed by extra bytes.
std::vector<uint8_t> WithExtraCompressedData(const std::vector<uint8_t>& png) {
  std::vector<uint8_t> out(png.begin(), png.begin() + 8), idat;
  bool idatWritten = false;
  for (size_t p = 8; p + 12 <= png.size();) {
    const uint32_t len = BE32(&png[p]);
    const std::string type(png.begin() + p + 4, png.begin() + p + 8);
    std::vector<uint8_t> data(png.begin() + p + 8, png.begin() + p + 8 + len);
    if (type == "IDAT") {
      idat.insert(idat.end(), data.begin(), data.end());
    } else {
      if (!idat.empty() && !idatWritten) {
        // A second complete zlib stream after the first.
        const uint8_t junk[] = "trailing data";
        uLongf n = compressBound(sizeof junk);
        std::vector<uint8_t> extra(n);
        compress(extra.data(), &n, junk, sizeof junk);
        idat.insert(idat.end(), extra.begin(), extra.begin() + n);
        PutChunk(out, "IDAT", idat);
        idatWritten = true;
      }
      PutChunk(out, type.c_str(), data);
    }
    p += 12 + len;
  }
  return out;
}

}  // namespace

TEST(PngReader, ExtraCompressedDataStillCountsAsRead) {
  const PngSample s = Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8);
  Loaded l;
  Load(WithExtraCompressedData(WritePng(s)), l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(FirstDifference(Canonical(l.bitmap), Expected(s), s.width), "");
}

TEST(PngReader, DamagedFilesFail) {
  PngSample big = Sample("RGBA 8", PNG_COLOR_TYPE_RGB_ALPHA, 8);
  big.width = 64, big.height = 64;
  const std::vector<uint8_t> good = WritePng(big);
  // The image data is the last large chunk: cutting 40 bytes off the end
  // (12 of IEND) lands inside it.
  std::vector<uint8_t> truncated(good.begin(), good.end() - 40);
  std::vector<uint8_t> badCrc = good;
  badCrc[good.size() - 20] ^= 0x55;  // a byte of the deflate data
  std::vector<uint8_t> notPng = good;
  notPng[1] = 'Q';
  // IHDR claims a million by a million pixels; the file holds a few bytes.
  std::vector<uint8_t> huge = WritePng(Sample("grey 8", PNG_COLOR_TYPE_GRAY, 8));
  for (int i = 16; i < 24; i += 4) {
    huge[i] = 0, huge[i + 1] = 0x0F, huge[i + 2] = 0x42, huge[i + 3] = 0x40;
  }
  std::vector<uint8_t> ihdr(huge.begin() + 12, huge.begin() + 29);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, ihdr.data(), static_cast<uInt>(ihdr.size())));
  for (int k = 0; k < 4; ++k) huge[29 + k] = uint8_t(crc >> (24 - 8 * k));
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"cut in the image data", truncated},
      {"damaged deflate data", badCrc},
      {"bad signature", notPng},
      {"a million squared pixels from a tiny file", huge},
      {"empty", {}},
  };
  for (const Case& c : cases) {
    Loaded l;
    Load(c.bytes, l);
    EXPECT_FALSE(l.ok) << c.what;
  }
}

TEST(PngReader, FilesCutAtEveryLengthNeverCrash) {
  PngSample s = Sample("palette 2 + tRNS, Adam7", PNG_COLOR_TYPE_PALETTE, 2, true);
  s.interlaced = true;
  for (const std::vector<uint8_t>& full : {WritePng(s), WritePng(Sample("RGBA 16", PNG_COLOR_TYPE_RGB_ALPHA, 16))}) {
    for (size_t n = 0; n < full.size(); ++n) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      Loaded l;
      Load(cut, l);
      // Without its image data or the end chunk no file counts as read.
      EXPECT_FALSE(l.ok) << "cut at " << n;
    }
  }
}

TEST(PngReader, ProgressHandlerCanCancel) {
  PngSample s = Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8);
  s.height = 50;
  const std::vector<uint8_t> bytes = WritePng(s);
  TIEMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  std::vector<int> seen;
  io.OnProgress = [&](void*, int percent) {
    seen.push_back(percent);
    if (percent >= 50 && percent < 100) io.SetLoadAborted(true);
  };
  EXPECT_FALSE(io.LoadFromStreamPNG(stream));
  ASSERT_FALSE(seen.empty());
  EXPECT_LT(seen.front(), 50);
}

TEST(PngReader, HeaderOnlyFillsTheRecord) {
  const std::vector<uint8_t> bytes = WritePng(Sample("palette 8", PNG_COLOR_TYPE_PALETTE, 8));
  TIEMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  TIEBitmap bitmap;
  TIOParams params;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  IEPngReadStream(stream, bitmap, params, true, progress);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(params.Width, 13);
  EXPECT_EQ(params.ColorMapCount(), 256);
  EXPECT_TRUE(bitmap.IsEmpty());
}

TEST(PngReader, LoadsThroughReadByExtensionAndByContent) {
  testsupport::TempDir dir;
  const std::vector<uint8_t> bytes = WritePng(Sample("RGB 8", PNG_COLOR_TYPE_RGB, 8));
  for (const char* name : {"a.png", "png-named.jpg", "no-extension"}) {
    const std::string path = dir.File(name);
    testsupport::WriteFileBytes(path, bytes);
    TIEBitmap bitmap;
    TIOParams params;
    EXPECT_TRUE(bitmap.Read(path, &params)) << name;
    EXPECT_EQ(params.FileType, ioPNG) << name;
    EXPECT_EQ(bitmap.Width(), 13) << name;
  }
}

// Committed files written by ImageMagick, against ImageMagick's own decoding
// (which rounds 16-bit samples instead of keeping their high bytes: a
// difference of 1 is allowed there).
TEST(PngReader, MatchesAnIndependentDecoder) {
  if (!testsupport::HaveTool("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick not installed";
  struct Case {
    const char* file;
    int tolerance;
  } cases[] = {
      {"grey4.png", 0},         {"palette-trns.png", 0}, {"rgba16-adam7.png", 1},
      {"grey-alpha8.png", 0},   {"rgb16.png", 1},        {"mono-adam7.png", 0},
  };
  for (const Case& c : cases) {
    const std::string path = testsupport::DataPath(std::string("png/") + c.file);
    TIEBitmap bitmap;
    ASSERT_TRUE(bitmap.Read(path)) << c.file;
    testsupport::CommandResult r =
        testsupport::RunCommand("/usr/bin/convert " + testsupport::Quote(path) + " -depth 8 rgba:-");
    ASSERT_EQ(r.exitCode, 0) << c.file;
    const Rgba got = Canonical(bitmap);
    ASSERT_EQ(got.size(), r.output.size()) << c.file;
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i)
      worst = std::max(worst, std::abs(int(got[i]) - int(uint8_t(r.output[i]))));
    EXPECT_LE(worst, c.tolerance) << c.file;
  }
}
