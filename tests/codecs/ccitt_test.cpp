// Fax coding: the encoders' exact output for known rows, round trips through
// libtiff (tiffcp) and through our own decoder, libtiff's encodings through our
// decoder, and damaged data.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecoracle.h"
#include "iecore.h"
#include "iestream.h"
#include "t4tables.h"
#include "testsupport.h"
#include "tifccitt.h"

using codecoracle::Bitmap;
using codecoracle::TiffPage;

namespace {

enum Fax { g3, g4 };

std::vector<uint8_t> Encode(Fax fax, const Bitmap& b, TIEFaxBitOrder order = fboMsbFirst) {
  TIEMemoryStream s;
  TIEFaxEncoderState st;
  bool abort = false;
  auto row = fax == g4 ? EncodeG4Row : EncodeG3Row;
  for (int32_t y = 0; y < b.height; ++y) row(b.Row(y), b.width, s, order, &abort, st);
  row(nullptr, b.width, s, order, &abort, st);
  EXPECT_FALSE(abort);
  return std::vector<uint8_t>(s.Data(), s.Data() + s.Size());
}

// Bytes from a string of '0' and '1' (other characters ignored), the last
// byte padded with zero bits.
std::vector<uint8_t> FromBits(const std::string& bits) {
  std::vector<uint8_t> out;
  int n = 0;
  for (char c : bits) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

Bitmap Filled(int32_t width, int32_t height, bool ones) {
  Bitmap b{width, height, std::vector<uint8_t>(static_cast<size_t>((width + 7) / 8) * height, ones ? 0xFF : 0)};
  b.ClearPadding();
  return b;
}

// Our decoder's reading of a strip; it gives white as 1, so the encoder's
// input comes back inverted (padding bits included, which it sets to 1).
std::vector<uint8_t> DecodeOurs(const std::vector<uint8_t>& data, int compression, uint32_t t4,
                                int32_t width, int32_t rows, int fillOrder = 1) {
  TIECcittDecoder dec(compression, t4, width, fillOrder);
  dec.StartStrip(data.data(), static_cast<int64_t>(data.size()));
  std::vector<uint8_t> out(static_cast<size_t>(dec.RowBytes()) * rows);
  for (int32_t y = 0; y < rows; ++y) dec.DecodeRow(out.data() + static_cast<size_t>(y) * dec.RowBytes());
  return out;
}

std::vector<uint8_t> Inverted(const Bitmap& b) {
  std::vector<uint8_t> v = b.bits;
  for (auto& x : v) x = static_cast<uint8_t>(~x);
  return v;
}

// Rows whose runs take every length from 0 to 2600 in both colours, far
// enough from the row above that most are coded in horizontal mode.
Bitmap EveryRunLength() {
  const int32_t width = 2700, height = 2601;
  Bitmap b{width, height, std::vector<uint8_t>(static_cast<size_t>((width + 7) / 8) * height)};
  for (int32_t y = 0; y < height; ++y) {
    const int32_t white = (y & 1) ? 2600 - y : y;
    const int32_t black = std::max(0, 2650 - white - (y % 50));
    for (int32_t x = white; x < white + black && x < width; ++x) b.Set(x, y);
  }
  return b;
}

// Modified Huffman: every row one-dimensional and byte-aligned. Built here from
// the shared code tables; libtiff checks the result where it can.
std::vector<uint8_t> EncodeModifiedHuffman(const Bitmap& b) {
  std::string bits;
  auto put = [&](const TIET4Code& c) {
    for (int i = c.Length - 1; i >= 0; --i) bits += (c.Code >> i) & 1 ? '1' : '0';
  };
  for (int32_t y = 0; y < b.height; ++y) {
    int32_t x = 0;
    bool black = false;
    while (x < b.width) {
      int32_t e = x;
      while (e < b.width && ((b.Row(y)[e >> 3] >> (7 - (e & 7))) & 1) == (black ? 1 : 0)) ++e;
      int32_t run = e - x;
      while (run >= 64) {
        const TIET4Code& c = T4RunCode(black, run);
        put(c);
        run -= c.Run;
      }
      put(T4RunCode(black, run));
      x = e;
      black = !black;
    }
    while (bits.size() % 8) bits += '0';
  }
  return FromBits(bits);
}

}  // namespace

TEST(FaxEncoder, KnownRowsGiveTheExactBytes) {
  const std::string eol = "000000000001";
  struct Case {
    const char* name;
    Fax fax;
    Bitmap image;
    std::vector<uint8_t> expected;
  };
  Bitmap fourBlack{8, 1, {0x0F}};
  const std::vector<Case> cases = {
      {"g4 00001111: horizontal 4 white, 4 black", g4, fourBlack, {0x36, 0xC0, 0x04, 0x00, 0x40}},
      {"g3 white row of 8", g3, Filled(8, 1, false), {0x00, 0x1C, 0xC0, 0x04}},
      {"g4 white row of 1", g4, Filled(1, 1, false), {0x80, 0x08, 0x00, 0x80}},
      {"g4 white row of 1728", g4, Filled(1728, 1, false), {0x80, 0x08, 0x00, 0x80}},
      {"g4 white row of 2481", g4, Filled(2481, 1, false), {0x80, 0x08, 0x00, 0x80}},
      {"g4 three white rows", g4, Filled(1729, 3, false), FromBits("111" + eol + eol)},
      {"g3 2561 white: make-up 2560, then 1", g3, Filled(2561, 1, false),
       FromBits(eol + "1" + "000000011111" + "000111" + eol)},
      {"g3 2561 black: white 0, make-up 2560, black 1", g3, Filled(2561, 1, true),
       FromBits(eol + "1" + "00110101" + "000000011111" + "010" + eol)},
      {"g4 2561 black: horizontal, white 0, black 2561", g4, Filled(2561, 1, true),
       FromBits("001" "00110101" "000000011111" "010" + eol + eol)},
      {"g3 second row vertical against the first", g3, Bitmap{8, 2, {0x0F, 0x0F}},
       FromBits(eol + "1" + "1011" + "011" + eol + "0" + "1" + "1" + eol)},
      {"g4 row starting black: V0 at 0", g4, Bitmap{8, 2, {0xF0, 0xF0}},
       FromBits("001" "00110101" "011" "1" "111" + eol + eol)},
      {"g4 pass mode", g4, Bitmap{16, 2, {0x0F, 0x00, 0x00, 0x0F}},
       FromBits("001" "1011" "011" "1" "0001" "001" "1011" "011" + eol + eol)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.fax, c.image), c.expected);
    EXPECT_EQ(Encode(c.fax, c.image, fboLsbFirst), codecoracle::Reversed(c.expected));
  }
}

TEST(FaxEncoder, BytesLeaveRowByRowWithThePendingBitsCarried) {
  // Each row call writes only complete bytes; the rest waits for the next call.
  class CountingStream : public TIEMemoryStream {
  public:
    void Write(const void* buffer, int64_t count) override {
      ++writes;
      TIEMemoryStream::Write(buffer, count);
    }
    int writes = 0;
  };
  const Bitmap b = codecoracle::TextBitmap(203, 60, 9);
  CountingStream s;
  TIEFaxEncoderState st;
  std::vector<int64_t> sizes;
  for (int32_t y = 0; y < b.height; ++y) {
    EncodeG4Row(b.Row(y), b.width, s, fboMsbFirst, nullptr, st);
    sizes.push_back(s.Size());
    EXPECT_LT(st.PendingCount, 8);
  }
  EncodeG4Row(nullptr, b.width, s, fboMsbFirst, nullptr, st);
  EXPECT_GT(s.writes, 10);
  EXPECT_EQ(st.PendingCount, 0);
  EXPECT_FALSE(st.HasReference);
  EXPECT_EQ(std::vector<uint8_t>(s.Data(), s.Data() + s.Size()), Encode(g4, b));
}

TEST(FaxEncoder, FailedWriteSetsTheAbortFlagAndIsRaised) {
  class FullStream : public TIEMemoryStream {
  public:
    void Write(const void*, int64_t) override { throw EIEException("disk full"); }
  };
  FullStream s;
  TIEFaxEncoderState st;
  bool abort = false;
  const Bitmap b = codecoracle::RandomBitmap(64, 1, 1);
  EXPECT_THROW(EncodeG3Row(b.Row(0), 64, s, fboMsbFirst, &abort, st), EIEException);
  EXPECT_TRUE(abort);
}

TEST(FaxEncoder, RejectsWidthsOutsideTheLimits) {
  TIEMemoryStream s;
  TIEFaxEncoderState st;
  uint8_t row[1] = {0};
  EXPECT_THROW(EncodeG4Row(row, 0, s, fboMsbFirst, nullptr, st), EIEException);
  EXPECT_THROW(EncodeG4Row(row, -5, s, fboMsbFirst, nullptr, st), EIEException);
  EXPECT_THROW(TIECcittDecoder(4, 0, IELimits::kMaxDimension + 1, 1), EIEException);
  EXPECT_THROW(TIECcittDecoder(5, 0, 8, 1), EIEException);
}

// The encoders' output wrapped in a TIFF and decoded by libtiff must give the
// picture back bit for bit; our decoder must agree.
TEST(FaxEncoder, RoundTripsThroughLibtiffAndOurDecoder) {
  struct Picture {
    std::string name;
    Bitmap image;
  };
  std::vector<Picture> pictures;
  for (int32_t width : {1, 7, 8, 9, 33, 1728, 1729, 2481}) {
    for (int32_t height : {1, 29}) {
      const std::string size = std::to_string(width) + "x" + std::to_string(height);
      pictures.push_back({"random " + size, codecoracle::RandomBitmap(width, height, width * 31 + height)});
      pictures.push_back({"text " + size, codecoracle::TextBitmap(width, height, width + height)});
      pictures.push_back({"paper-as-ones text " + size,
                          codecoracle::TextBitmap(width, height, width * 7 + height, false)});
    }
  }
  pictures.push_back({"every run length", EveryRunLength()});
  pictures.push_back({"black page", Filled(2481, 5, true)});

  std::vector<TiffPage> pages;
  std::vector<std::string> names;
  std::vector<const Bitmap*> expected;
  for (const Picture& p : pictures) {
    for (Fax fax : {g4, g3}) {
      for (TIEFaxBitOrder order : {fboMsbFirst, fboLsbFirst}) {
        const std::string name = p.name + (fax == g4 ? " g4" : " g3") + (order == fboLsbFirst ? " lsb" : " msb");
        SCOPED_TRACE(name);
        const std::vector<uint8_t> data = Encode(fax, p.image, order);
        const int compression = fax == g4 ? 4 : 3;
        const int fillOrder = order == fboLsbFirst ? 2 : 1;
        EXPECT_EQ(DecodeOurs(data, compression, fax == g3 ? 1 : 0, p.image.width, p.image.height, fillOrder),
                  Inverted(p.image));
        TiffPage page;
        page.width = static_cast<uint32_t>(p.image.width);
        page.height = static_cast<uint32_t>(p.image.height);
        page.compression = static_cast<uint16_t>(compression);
        page.fillOrder = static_cast<uint16_t>(fillOrder);
        page.t4Options = 1;
        page.strips.push_back(data);
        pages.push_back(std::move(page));
        names.push_back(name);
        expected.push_back(&p.image);
      }
    }
  }
  if (!testsupport::HaveTool("tiffcp")) GTEST_SKIP() << "tiffcp not installed: checked against our decoder only";
  std::vector<std::vector<uint8_t>> rows;
  std::string message;
  ASSERT_TRUE(codecoracle::DecodeWithLibtiff(pages, rows, message)) << message;
  for (size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(rows[i], expected[i]->bits) << names[i];
}

// libtiff's encodings of the same pictures, in several strips, through our
// decoder.
TEST(FaxDecoder, ReadsLibtiffEncodings) {
  if (!testsupport::HaveTool("tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  const std::vector<std::pair<std::string, Bitmap>> pictures = {
      {"text", codecoracle::TextBitmap(1728, 300, 5)},
      {"random", codecoracle::RandomBitmap(213, 40, 6)},
      {"every run length", EveryRunLength()},
  };
  std::vector<TiffPage> raw;
  for (const auto& [name, image] : pictures) {
    TiffPage page;
    page.width = static_cast<uint32_t>(image.width);
    page.height = static_cast<uint32_t>(image.height);
    page.strips.push_back(image.bits);
    raw.push_back(std::move(page));
  }
  const std::vector<uint8_t> tiff = codecoracle::BuildTiff(raw);
  const char* options[] = {"-c g4", "-c g3", "-c g3:1d:fill", "-c g3:2d", "-c g3:2d:fill"};
  for (const char* opt : options) {
    for (const char* fill : {"-f msb2lsb", "-f lsb2msb"}) {
      std::vector<TiffPage> pages;
      std::string message;
      ASSERT_TRUE(codecoracle::Tiffcp(tiff, std::string(opt) + " " + fill + " -r 64", pages, message)) << message;
      ASSERT_EQ(pages.size(), pictures.size());
      for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(pictures[i].first + " " + opt + " " + fill);
        const TiffPage& page = pages[i];
        const Bitmap& image = pictures[i].second;
        ASSERT_EQ(page.width, static_cast<uint32_t>(image.width));
        TIECcittDecoder dec(page.compression, page.t4Options, image.width, page.fillOrder);
        std::vector<uint8_t> out(static_cast<size_t>(dec.RowBytes()) * image.height);
        std::vector<uint8_t> extra(static_cast<size_t>(dec.RowBytes()));
        uint32_t y = 0;
        for (const auto& strip : page.strips) {
          dec.StartStrip(strip.data(), static_cast<int64_t>(strip.size()));
          for (uint32_t r = 0; r < page.rowsPerStrip && y < page.height; ++r, ++y)
            dec.DecodeRow(out.data() + static_cast<size_t>(y) * dec.RowBytes());
          // A row asked for beyond the strip's own comes out white.
          dec.DecodeRow(extra.data());
          EXPECT_EQ(extra, std::vector<uint8_t>(extra.size(), 0xFF)) << "after row " << y;
          EXPECT_TRUE(dec.InputUsed()) << "after row " << y;
        }
        EXPECT_EQ(out, Inverted(image));
      }
    }
  }
}

TEST(FaxDecoder, ReadsModifiedHuffmanRows) {
  const Bitmap image = codecoracle::TextBitmap(1729, 50, 3);
  const std::vector<uint8_t> data = EncodeModifiedHuffman(image);
  EXPECT_EQ(DecodeOurs(data, 2, 0, image.width, image.height), Inverted(image));
  EXPECT_EQ(DecodeOurs(codecoracle::Reversed(data), 2, 0, image.width, image.height, 2), Inverted(image));
  if (!testsupport::HaveTool("tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  TiffPage page;
  page.width = static_cast<uint32_t>(image.width);
  page.height = static_cast<uint32_t>(image.height);
  page.compression = 2;
  page.strips.push_back(data);
  std::vector<std::vector<uint8_t>> rows;
  std::string message;
  ASSERT_TRUE(codecoracle::DecodeWithLibtiff({page}, rows, message)) << message;
  EXPECT_EQ(rows.at(0), image.bits);
}

TEST(FaxDecoder, EndOfDataAndEndOfBlockLeaveWhiteRows) {
  const Bitmap image = codecoracle::TextBitmap(300, 20, 4);
  const std::vector<uint8_t> data = Encode(g4, image);
  // Ten rows more than were coded: the end-of-block stops the strip.
  std::vector<uint8_t> out = DecodeOurs(data, 4, 0, 300, 30);
  std::vector<uint8_t> expected = Inverted(image);
  expected.resize(out.size(), 0xFF);
  EXPECT_EQ(out, expected);

  // Cut anywhere: never more rows than the data, the rest white, and rows
  // complete before the cut decode exactly.
  const size_t rowBytes = (300 + 7) / 8;
  for (size_t cut = 0; cut < data.size(); cut += 7) {
    std::vector<uint8_t> part(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
    out = DecodeOurs(part, 4, 0, 300, 22);
    ASSERT_EQ(out.size(), rowBytes * 22);
    for (size_t b = rowBytes * 20; b < out.size(); ++b) ASSERT_EQ(out[b], 0xFF) << "cut " << cut;
  }
}

TEST(FaxDecoder, EndOfLineWithFillBitsDecodesLikeWithout) {
  // Group 3 one-dimensional, two rows of 8: black 8 then white 8, with and
  // without zero fill before each end of line, and a return-to-control tail.
  const std::string eol = "000000000001";
  const std::string plain = eol + "00110101" "000101" + eol + "10011" + eol + eol + eol;
  const std::string filled = "0000" + eol + "00110101" "000101" "0000000" + eol + "10011" "00000000000000000000000" + eol;
  for (const std::string& bits : {plain, filled}) {
    EXPECT_EQ(DecodeOurs(FromBits(bits), 3, 0, 8, 3), (std::vector<uint8_t>{0x00, 0xFF, 0xFF}));
  }
  const std::string twoD = eol + "1" "00110101" "000101" + eol + "0" "010" "1" + eol + "1" "10011";
  // Row 2 against the black row 1: VL1 at b1 = 0 clamps to 0, then V0 at 8: black row.
  EXPECT_EQ(DecodeOurs(FromBits(twoD), 3, 1, 8, 3), (std::vector<uint8_t>{0x00, 0x00, 0xFF}));
}

TEST(FaxDecoder, DamagedRowsStayInsideTheRow) {
  const std::string eol = "000000000001";
  struct Case {
    const char* name;
    int compression;
    uint32_t t4;
    int32_t width;
    std::string bits;
    std::vector<uint8_t> expected;
  };
  const std::vector<Case> cases = {
      // White run 100 in a row of 8 (make-up 64 + 36): clamped; the next row is read normally.
      {"1-D run past the row", 3, 0, 8, eol + "11011" "00010101" + eol + "0111" "11", {0xFF, 0xCF}},
      // Horizontal runs of 1728 white and 1728 black in a row of 9.
      {"horizontal runs past the row", 4, 0, 9, "001" "010011011" "00110101" "0000001100101" "0000110111",
       {0xFF, 0xFF}},
      // A black row, then VL3 against its change at 0: a1 would be -3.
      {"vertical left of the row start", 4, 0, 8, "001" "00110101" "000101" "0000010" "1", {0x00, 0x00}},
      // Uncompressed mode: "1" black, "01" white black, "000001" five white,
      // exit "0000001" with tag 0; then V0 to the end.
      {"uncompressed mode pixels", 4, 0, 16, "0000001111" "1" "01" "000001" "0000001" "0" "1", {0x5F, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> out = DecodeOurs(FromBits(c.bits), c.compression, c.t4, c.width,
                                                static_cast<int32_t>(c.expected.size() / ((c.width + 7) / 8)));
    EXPECT_EQ(out, c.expected);
  }
}

TEST(FaxDecoder, JunkNeverEscapesTheRow) {
  std::mt19937 rng(77);
  struct Mode {
    int compression;
    uint32_t t4;
  };
  const Mode modes[] = {{2, 0}, {3, 0}, {3, 1}, {4, 0}, {4, 4}};
  for (const Mode& m : modes) {
    for (int32_t width : {1, 7, 64, 1729}) {
      for (int fill : {1, 2}) {
        TIECcittDecoder dec(m.compression, m.t4, width, fill);
        std::vector<uint8_t> row(static_cast<size_t>(dec.RowBytes()) + 1, 0xA5);
        for (int trial = 0; trial < 40; ++trial) {
          std::vector<uint8_t> junk(rng() % 300);
          for (auto& b : junk) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
          dec.StartStrip(junk.data(), static_cast<int64_t>(junk.size()));
          for (int y = 0; y < 40; ++y) dec.DecodeRow(row.data());
          ASSERT_EQ(row.back(), 0xA5);  // nothing written past the row
          if (width & 7) {
            ASSERT_EQ(row[row.size() - 2] & (0xFF >> (width & 7)), 0xFF >> (width & 7));
          }
        }
      }
    }
  }
}

TEST(FaxCodec, RoundTripsItsOwnOutputForManySizes) {
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    const int32_t width = 1 + static_cast<int32_t>(rng() % (i < 100 ? 70 : 3000));
    const int32_t height = 1 + static_cast<int32_t>(rng() % 12);
    const Bitmap b = i % 2 ? codecoracle::RandomBitmap(width, height, rng()) : codecoracle::TextBitmap(width, height, rng());
    for (Fax fax : {g3, g4}) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (fax == g4 ? " g4" : " g3"));
      ASSERT_EQ(DecodeOurs(Encode(fax, b), fax == g4 ? 4 : 3, fax == g3, width, height), Inverted(b));
    }
  }
}
