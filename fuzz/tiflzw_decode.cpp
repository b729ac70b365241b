// The TIFF LZW row decoder on arbitrary strips, and the encoder's output of
// arbitrary bytes decoded back to those bytes.
//
// Input: byte 0 bit 0 picks the test (0: decode the rest as a strip, 1: round
// trip), bit 1 FillOrder 2; bytes 1-2 the row length (1..4096); then the data.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iestream.h"
#include "tiflzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool roundTrip = data[0] & 1;
  const int fillOrder = data[0] & 2 ? 2 : 1;
  const int64_t rowLen = 1 + ((data[1] | data[2] << 8) % 4096);
  data += 3;
  size -= 3;
  static const uint8_t kNone = 0;
  const uint8_t* strip = size ? data : &kNone;  // null would mean "release"

  if (!roundTrip) {
    void* state = nullptr;
    unsigned sum = 0;
    // Rows past the data are zeros: stop once the strip is surely used up (a
    // code of 9 bits yields at most a few thousand bytes).
    const int64_t most = std::min<int64_t>(int64_t(1) << 20, (static_cast<int64_t>(size) + 2) * 4096);
    for (int64_t done = 0; done < most; done += rowLen) {
      const uint8_t* row = TiffLzwDecode(strip, static_cast<int64_t>(size), rowLen, state, fillOrder);
      if (!row) break;
      for (int64_t i = 0; i < rowLen; ++i) sum += row[i];
    }
    TiffLzwDecode(nullptr, 0, 0, state, 1);
    return static_cast<int>(sum & 0);
  }

  TIEMemoryStream coded;
  void* enc = nullptr;
  for (size_t at = 0; at < size; at += static_cast<size_t>(rowLen)) {
    const size_t n = std::min(size - at, static_cast<size_t>(rowLen));
    TiffLzwEncode(data + at, static_cast<int64_t>(n), coded, enc);
  }
  TiffLzwEncode(nullptr, 0, coded, enc);
  std::vector<uint8_t> bytes(coded.Data(), coded.Data() + coded.Size());
  if (fillOrder == 2) {
    for (auto& b : bytes) {
      uint8_t r = 0;
      for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r |= static_cast<uint8_t>(0x80 >> i);
      b = r;
    }
  }
  void* dec = nullptr;
  for (size_t at = 0; at < size; at += static_cast<size_t>(rowLen)) {
    const uint8_t* row = TiffLzwDecode(bytes.data(), static_cast<int64_t>(bytes.size()), rowLen, dec, fillOrder);
    const size_t n = std::min(size - at, static_cast<size_t>(rowLen));
    if (!row || std::memcmp(row, data + at, n) != 0) std::abort();
  }
  TiffLzwDecode(nullptr, 0, 0, dec, 1);
  return 0;
}
