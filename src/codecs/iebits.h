// Bit-level helpers shared by the codecs.
#pragma once

#include <cstdint>

// Byte values with their bit order reversed (FillOrder 2 data, LSB-first fax).
struct TIEBitReverse {
  uint8_t t[256];
  constexpr TIEBitReverse() : t() {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int b = 0; b < 8; ++b)
        if (i & (1 << b)) r |= 0x80 >> b;
      t[i] = static_cast<uint8_t>(r);
    }
  }
};
inline constexpr TIEBitReverse kReverse;
