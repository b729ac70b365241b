#include "pdfrle.h"

#include <cstring>

int64_t EncodeRunLength(const uint8_t* input, int64_t n, uint8_t* output) {
  uint8_t* out = output;
  int64_t j = 0;
  while (j < n) {
    const uint8_t v = input[j];
    int64_t k = j + 1;
    while (k < n && input[k] == v && k - j < 128) ++k;
    const int64_t r = k - j;
    if (r >= 2) {
      *out++ = static_cast<uint8_t>(257 - r);
      *out++ = v;
      j = k;
      continue;
    }
    int64_t e = j + 1;
    while (e < n && input[e - 1] != input[e] && e - j < 128) ++e;
    const int64_t m = e - j;
    *out++ = static_cast<uint8_t>(m - 1);
    std::memcpy(out, input + j, static_cast<size_t>(m));
    out += m;
    j = e;
  }
  *out++ = 128;
  return out - output;
}
