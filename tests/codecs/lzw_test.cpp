// LZW: the encoder's exact output, independence from how the input is cut,
// tables that fill and clear, decoding by libtiff, qpdf and our own row
// decoder, and the decoder on libtiff's files and on damaged data.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecoracle.h"
#include "iecore.h"
#include "iestream.h"
#include "testsupport.h"
#include "tiflzw.h"

namespace {

// Encodes data cut into pieces of the given lengths (cycled), then the final call.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& data, const std::vector<size_t>& pieces = {}) {
  TIEMemoryStream s;
  void* state = nullptr;
  size_t at = 0, i = 0;
  while (at < data.size()) {
    size_t n = pieces.empty() ? data.size() : pieces[i++ % pieces.size()];
    n = std::min(n, data.size() - at);
    TiffLzwEncode(data.data() + at, static_cast<int64_t>(n), s, state);
    at += n;
  }
  TiffLzwEncode(nullptr, 0, s, state);
  EXPECT_EQ(state, nullptr);
  return std::vector<uint8_t>(s.Data(), s.Data() + s.Size());
}

// Our row decoder over a whole strip; rows of rowLen, as many as cover size bytes.
std::vector<uint8_t> Decode(const std::vector<uint8_t>& strip, int64_t rowLen, int64_t size, int fillOrder = 1,
                            bool* failed = nullptr) {
  std::vector<uint8_t> out;
  void* state = nullptr;
  const uint8_t none = 0;  // an empty strip still needs an address: null releases the state
  for (int64_t done = 0; done < size; done += rowLen) {
    const uint8_t* row = TiffLzwDecode(strip.empty() ? &none : strip.data(), static_cast<int64_t>(strip.size()), rowLen, state, fillOrder);
    if (!row) {
      if (failed) *failed = true;
      break;
    }
    out.insert(out.end(), row, row + rowLen);
  }
  TiffLzwDecode(nullptr, 0, 0, state, 1);
  EXPECT_EQ(state, nullptr);
  return out;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Codes of the given widths, first bit most significant, zero-padded.
std::vector<uint8_t> PackCodes(const std::vector<std::pair<int, int>>& codes) {
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  int bits = 0;
  for (auto [code, width] : codes) {
    acc = (acc << width) | static_cast<uint64_t>(code);
    bits += width;
    while (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  if (bits) out.push_back(static_cast<uint8_t>(acc << (8 - bits)));
  return out;
}

// The width a reader expects for the k-th code (from 0) after a clear code.
int WidthAfterClear(int k) {
  const int nextFree = 258 + std::max(0, k - 1);
  return nextFree < 511 ? 9 : nextFree < 1023 ? 10 : nextFree < 2047 ? 11 : 12;
}

}  // namespace

TEST(LzwEncoder, KnownInputGivesTheExactBytes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    std::vector<uint8_t> expected;
  };
  const std::vector<Case> cases = {
      // clear, 45, 258, 258, 65, 259, 66, end of data
      {"repeats and new strings", {0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x41, 0x2D, 0x2D, 0x2D, 0x42},
       {0x80, 0x0B, 0x60, 0x50, 0x22, 0x0C, 0x0C, 0x85, 0x01}},
      // clear, 0, end of data
      {"one byte", {0x00}, {0x80, 0x00, 0x20, 0x20}},
      // clear, end of data
      {"nothing", {}, {0x80, 0x40, 0x40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.input), c.expected);
  }
}

TEST(LzwEncoder, HowTheInputIsCutDoesNotMatter) {
  // Long enough to fill and clear the table several times.
  const codecoracle::Bitmap page = codecoracle::TextBitmap(2481, 400, 1);
  std::vector<uint8_t> data = page.bits;
  const std::vector<uint8_t> noise = RandomBytes(30000, 2);
  data.insert(data.end(), noise.begin(), noise.end());
  const std::vector<uint8_t> whole = Encode(data);
  EXPECT_EQ(whole.front(), 0x80);
  const std::vector<std::vector<size_t>> cuts = {{1}, {7}, {311}, {4096}, {3, 0, 1000, 1, 0, 17}};
  for (const auto& cut : cuts) {
    SCOPED_TRACE("pieces of " + std::to_string(cut.front()));
    EXPECT_EQ(Encode(data, cut), whole);
  }
}

TEST(LzwEncoder, DiscardFreesAnUnfinishedStream) {
  TIEMemoryStream s;
  void* state = nullptr;
  const std::vector<uint8_t> data = RandomBytes(1000, 3);
  TiffLzwEncode(data.data(), 1000, s, state);
  ASSERT_NE(state, nullptr);
  TiffLzwEncodeDiscard(state);
  EXPECT_EQ(state, nullptr);
}

// Every code stream must decode in libtiff, in qpdf (/LZWDecode with early
// change) and in our row decoder.
TEST(LzwEncoder, IndependentDecodersReadItsOutput) {
  struct Case {
    std::string name;
    uint32_t width;  // pixels
    uint32_t height;
    uint16_t bitsPerSample;
    std::vector<uint8_t> data;
  };
  std::vector<Case> cases;
  for (uint32_t width : {1u, 7u, 8u, 9u, 33u, 1728u, 1729u, 2481u}) {
    for (uint32_t height : {1u, 23u}) {
      const std::string size = std::to_string(width) + "x" + std::to_string(height);
      cases.push_back({"text 1-bit " + size, width, height, 1,
                       codecoracle::TextBitmap(static_cast<int32_t>(width), static_cast<int32_t>(height), width).bits});
      cases.push_back({"random 8-bit " + size, width, height, 8, RandomBytes(size_t(width) * height, width + height)});
    }
  }
  // Enough distinct strings to fill the table over and over.
  cases.push_back({"random 8-bit, many clears", 1000, 300, 8, RandomBytes(300000, 9)});
  cases.push_back({"one colour", 4000, 100, 8, std::vector<uint8_t>(400000, 0xAB)});
  // Zero bytes after code 0 make key 0, which the table may overwrite; runs
  // of one value take the encoder's shortcut for runs.
  std::vector<uint8_t> zeros = RandomBytes(200000, 10);
  for (size_t i = 0; i < zeros.size(); ++i)
    if (zeros[i] % 5 != 0 || (i / 700) % 3 == 0) zeros[i] = (i / 5000) % 4 == 0 ? 0xFF : 0;
  cases.push_back({"zero runs and noise", 2000, 100, 8, zeros});

  std::vector<codecoracle::TiffPage> pages;
  std::vector<std::vector<uint8_t>> streams;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t rowLen = (int64_t(c.width) * c.bitsPerSample + 7) / 8;
    std::vector<size_t> rows = {static_cast<size_t>(rowLen)};
    const std::vector<uint8_t> coded = Encode(c.data, rows);
    EXPECT_EQ(Decode(coded, rowLen, static_cast<int64_t>(c.data.size())), c.data);
    EXPECT_EQ(Decode(codecoracle::Reversed(coded), rowLen, static_cast<int64_t>(c.data.size()), 2), c.data);
    for (uint16_t fill : {1, 2}) {
      codecoracle::TiffPage page;
      page.width = c.width;
      page.height = c.height;
      page.bitsPerSample = c.bitsPerSample;
      page.photometric = 1;
      page.compression = 5;
      page.fillOrder = fill;
      page.strips.push_back(fill == 2 ? codecoracle::Reversed(coded) : coded);
      pages.push_back(std::move(page));
    }
    streams.push_back(coded);
  }
  std::string message;
  if (testsupport::HaveTool("tiffcp")) {
    std::vector<std::vector<uint8_t>> rows;
    ASSERT_TRUE(codecoracle::DecodeWithLibtiff(pages, rows, message)) << message;
    for (size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(rows[i], cases[i / 2].data) << cases[i / 2].name;
  }
  if (testsupport::HaveTool("qpdf")) {
    std::vector<std::vector<uint8_t>> out;
    ASSERT_TRUE(codecoracle::DecodeWithQpdf("/LZWDecode", streams, out, message)) << message;
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(out[i], cases[i].data) << cases[i].name;
  }
  if (!testsupport::HaveTool("tiffcp") || !testsupport::HaveTool("qpdf"))
    GTEST_SKIP() << "tiffcp or qpdf missing: checked against our decoder only";
}

TEST(LzwDecoder, ReadsLibtiffStripsRowByRow) {
  if (!testsupport::HaveTool("tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  const codecoracle::Bitmap text = codecoracle::TextBitmap(1729, 200, 8);
  struct Case {
    const char* name;
    uint32_t width, height;
    uint16_t bits;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"1-bit text", 1729, 200, 1, text.bits},
      {"8-bit random", 301, 150, 8, RandomBytes(301 * 150, 4)},
      {"8-bit rows of 1 byte", 1, 5000, 8, RandomBytes(5000, 5)},
  };
  std::vector<codecoracle::TiffPage> raw;
  for (const Case& c : cases) {
    codecoracle::TiffPage page;
    page.width = c.width;
    page.height = c.height;
    page.bitsPerSample = c.bits;
    page.photometric = 1;
    page.strips.push_back(c.data);
    raw.push_back(std::move(page));
  }
  const std::vector<uint8_t> tiff = codecoracle::BuildTiff(raw);
  for (const char* fill : {"-f msb2lsb", "-f lsb2msb"}) {
    std::vector<codecoracle::TiffPage> pages;
    std::string message;
    ASSERT_TRUE(codecoracle::Tiffcp(tiff, std::string("-c lzw -r 37 ") + fill, pages, message)) << message;
    ASSERT_EQ(pages.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(std::string(c.name) + " " + fill);
      const int64_t rowLen = (int64_t(c.width) * c.bits + 7) / 8;
      std::vector<uint8_t> out;
      uint32_t y = 0;
      for (const auto& strip : pages[i].strips) {
        const uint32_t n = std::min(pages[i].rowsPerStrip, c.height - y);
        std::vector<uint8_t> rows = Decode(strip, rowLen, rowLen * n, pages[i].fillOrder);
        out.insert(out.end(), rows.begin(), rows.end());
        y += n;
      }
      EXPECT_EQ(out, c.data);
    }
  }
}

TEST(LzwDecoder, DamagedCodeStreams) {
  std::vector<std::pair<int, int>> full = {{256, 9}};
  for (int k = 0; k < 3839; ++k) full.push_back({65, WidthAfterClear(k)});
  std::vector<std::pair<int, int>> fullPlusOne = full;
  fullPlusOne.push_back({65, 12});

  struct Case {
    const char* name;
    std::vector<uint8_t> strip;
    int64_t rowLen, size;
    bool fails;
    std::vector<uint8_t> expected;  // when it does not fail
  };
  const std::vector<Case> cases = {
      {"code after clear not in the table", PackCodes({{256, 9}, {65, 9}, {256, 9}, {300, 9}}), 4, 4, true, {}},
      {"first code refers to an unknown string", PackCodes({{258, 9}}), 4, 4, true, {}},
      {"table grows past 4096 entries", PackCodes(fullPlusOne), 5000, 5000, true, {}},
      {"a full table with no further code is fine", PackCodes(full), 3839, 3839, false,
       std::vector<uint8_t>(3839, 65)},
      {"code beyond the table ends the strip quietly", PackCodes({{256, 9}, {65, 9}, {66, 9}, {400, 9}, {67, 9}}),
       3, 6, false, {65, 66, 0, 0, 0, 0}},
      {"end of information early", PackCodes({{256, 9}, {65, 9}, {257, 9}, {66, 9}}), 2, 4, false, {65, 0, 0, 0}},
      {"clear right after clear", PackCodes({{256, 9}, {256, 9}, {65, 9}, {257, 9}}), 1, 1, false, {65}},
      {"no clear code at the start", PackCodes({{65, 9}, {66, 9}, {258, 9}, {257, 9}}), 2, 4, false,
       {65, 66, 65, 66}},
      {"a code for the entry being made", PackCodes({{256, 9}, {65, 9}, {258, 9}, {257, 9}}), 3, 3, false,
       {65, 65, 65}},
      {"empty strip", {}, 5, 10, false, std::vector<uint8_t>(10, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool failed = false;
    const std::vector<uint8_t> out = Decode(c.strip, c.rowLen, c.size, 1, &failed);
    EXPECT_EQ(failed, c.fails);
    if (!c.fails) {
      EXPECT_EQ(out, c.expected);
    }
  }
}

TEST(LzwDecoder, CutAndScrambledStripsStayInBounds) {
  const std::vector<uint8_t> data = RandomBytes(20000, 6);
  const std::vector<uint8_t> coded = Encode(data);
  for (size_t cut = 0; cut < coded.size(); cut += 97) {
    std::vector<uint8_t> part(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<uint8_t> out = Decode(part, 333, static_cast<int64_t>(data.size()));
    // Whatever decodes before the cut is right.
    const size_t good = std::min(out.size(), cut * 8 / 12);
    ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(good), data.begin()))
        << "cut " << cut;
  }
  std::mt19937 rng(8);
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> junk = RandomBytes(rng() % 2000, rng());
    if (i % 2) junk.insert(junk.begin(), 0x80);  // a clear code first
    Decode(junk, 1 + rng() % 700, 20000, 1 + (i % 3 == 0));
  }
}
