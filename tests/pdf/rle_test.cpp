// Run-length encoding: the exact runs and literals for known inputs, the size
// bound, and qpdf's /RunLengthDecode as an independent decoder.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../codecs/codecoracle.h"
#include "pdfrle.h"
#include "testsupport.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(static_cast<size_t>(RunLengthMaxSize(static_cast<int64_t>(in.size()))) + 16, 0xEE);
  const int64_t n = EncodeRunLength(in.data(), static_cast<int64_t>(in.size()), out.data());
  EXPECT_LE(n, RunLengthMaxSize(static_cast<int64_t>(in.size())));
  EXPECT_EQ(out[static_cast<size_t>(n)], 0xEE);  // nothing written past the result
  out.resize(static_cast<size_t>(n));
  return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Repeat(uint8_t v, size_t n) { return std::vector<uint8_t>(n, v); }

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Literals and runs of every length from 1 to 300, in random order.
std::vector<uint8_t> MixedRuns(uint32_t seed, size_t size) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < size) {
    const size_t n = 1 + rng() % 300;
    if (rng() & 1) {
      v.insert(v.end(), n, static_cast<uint8_t>(rng() % 4));
    } else {
      for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(rng() % 4));
    }
  }
  return v;
}

}  // namespace

TEST(RunLength, KnownInputsGiveTheExactBytes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> input, expected;
  };
  std::vector<uint8_t> distinct128, distinct129;
  for (int i = 0; i < 129; ++i) (i < 128 ? distinct128 : distinct129).push_back(static_cast<uint8_t>(i));
  distinct129.insert(distinct129.begin(), distinct128.begin(), distinct128.end());
  const std::vector<Case> cases = {
      {"empty", {}, {128}},
      {"one byte", Bytes("A"), {0, 'A', 128}},
      {"run then literal", Bytes("AAAB"), {0xFE, 'A', 0, 'B', 128}},
      {"literal takes the first byte of the next run", Bytes("ABCCC"), {2, 'A', 'B', 'C', 0xFF, 'C', 128}},
      {"two equal bytes", Bytes("AA"), {0xFF, 'A', 128}},
      {"literal then a pair split", Bytes("ABB"), {1, 'A', 'B', 0, 'B', 128}},
      {"129 equal bytes", Repeat('x', 129), {0x81, 'x', 0, 'x', 128}},
      {"300 equal bytes", Repeat('x', 300), {0x81, 'x', 0x81, 'x', 0xD5, 'x', 128}},
      {"128 distinct bytes: one literal", distinct128, Cat({{127}, distinct128, {128}})},
      {"129 distinct bytes: two literals", distinct129, Cat({{127}, distinct128, {0, 128, 128}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.input), c.expected);
  }
}

TEST(RunLength, OutputStaysWithinTheBound) {
  // Alternating singles and pairs are the costliest pattern.
  std::vector<uint8_t> worst;
  for (int i = 0; i < 1000; ++i) {
    worst.push_back(static_cast<uint8_t>(3 * i));
    if (i % 2) worst.push_back(static_cast<uint8_t>(3 * i));
  }
  Encode(worst);
  Encode(MixedRuns(1, 5000));
}

TEST(RunLength, QpdfDecodesTheOutput) {
  if (!testsupport::HaveTool("qpdf")) GTEST_SKIP() << "qpdf not installed";
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
      {"empty", {}},
      {"mixed runs", MixedRuns(2, 20000)},
      {"text page rows", codecoracle::TextBitmap(1729, 120, 3).bits},
      {"random", codecoracle::RandomBitmap(800, 10, 4).bits},
  };
  std::vector<std::vector<uint8_t>> streams, out;
  for (const auto& [name, input] : inputs) streams.push_back(Encode(input));
  std::string message;
  ASSERT_TRUE(codecoracle::DecodeWithQpdf("/RunLengthDecode", streams, out, message)) << message;
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(out[i], inputs[i].second) << inputs[i].first;
}
