#include "tiflzw.h"
#include "iebits.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

// Both must fit the routine slots of the settings and parameter records.
static_assert(std::is_same_v<decltype(&TiffLzwEncode), TIELzwCompressor>);
static_assert(std::is_same_v<decltype(&TiffLzwDecode), TIETiffLzwDecoder>);

namespace {

constexpr int kClearCode = 256;
constexpr int kEndCode = 257;
constexpr int kFirstFree = 258;
constexpr int kMaxCodes = 4096;

// ---------------------------------------------------------------------------
// Encoder: the hashed dictionary of the Unix compress program.

constexpr int kHashSize = 5003;  // a prime a little above the 4096 codes
// 5003 doubles four times before reaching 65536, so the byte is shifted by 8 - 4.
constexpr int kHashShift = 4;
// Codes 4094 and 4095 are never assigned: the table is cleared instead, which
// keeps every code within 12 bits for early-change readers.
constexpr int kClearAt = 4094;
constexpr int kFlushAt = 254;

struct TLzwEncoder {
  int width = 9;
  int limit = 511;  // 2^width - 1, 4095 at 12 bits
  int nextCode = kFirstFree;
  bool clearPending = false;
  int prefix = -1;   // the longest string matched so far; -1 before the first byte
  uint64_t acc = 0;  // pending bits from the most significant end
  int accBits = 0;   // below 32 between codes
  int bufLen = 0;
  uint8_t buf[kFlushAt + 8];
  int32_t keys[kHashSize];  // byte * 4096 + prefix code; -1 = empty
  uint16_t codes[kHashSize];

  // Strings of one repeated byte v have codes that form a chain: v, vv, vvv,
  // ... as far as the table holds them. Blank areas of a page are long runs,
  // and the chain answers their lookups without hashing; the table stays the
  // record of what is in the dictionary, so the output is the same.
  std::vector<uint16_t> chains[256];
  uint16_t runIndex[kMaxCodes];  // 1-based position in its byte's chain; 0 = not a run
  uint8_t runByte[kMaxCodes];

  TLzwEncoder() {
    for (int v = 0; v < 256; ++v) chains[v].reserve(64);
  }

  void ResetTable() {
    std::memset(keys, 0xFF, sizeof(keys));
    nextCode = kFirstFree;
    for (int v = 0; v < 256; ++v) {
      chains[v].assign(1, static_cast<uint16_t>(v));
      runIndex[v] = 1;
      runByte[v] = static_cast<uint8_t>(v);
    }
  }

  void Write(TIEStream& stream) {
    if (bufLen > 0) {
      int n = bufLen;
      bufLen = 0;
      stream.Write(buf, n);
    }
  }

  void Emit(int code, TIEStream& stream) {
    accBits += width;
    acc |= static_cast<uint64_t>(code) << (64 - accBits);
    if (accBits >= 32) {
      const uint32_t w = static_cast<uint32_t>(acc >> 32);
      buf[bufLen] = static_cast<uint8_t>(w >> 24);
      buf[bufLen + 1] = static_cast<uint8_t>(w >> 16);
      buf[bufLen + 2] = static_cast<uint8_t>(w >> 8);
      buf[bufLen + 3] = static_cast<uint8_t>(w);
      bufLen += 4;
      acc <<= 32;
      accBits -= 32;
      if (bufLen >= kFlushAt) Write(stream);
    }
    // The width follows the code the next entry will get, one code early.
    if (nextCode > limit - 1 || clearPending) {
      if (clearPending) {
        width = 9;
        limit = 511;
        clearPending = false;
      } else {
        ++width;
        limit = width == 12 ? 4095 : (1 << width) - 1;
      }
    }
    if (code == kEndCode) {
      for (; accBits > 0; accBits -= 8) {  // zero bits up to a byte boundary
        buf[bufLen++] = static_cast<uint8_t>(acc >> 56);
        acc <<= 8;
      }
      acc = 0;
      accBits = 0;
      Write(stream);
    }
  }

  // How many bytes from p on (at most `most`, p[0] included) equal v.
  static int64_t RunLength(const uint8_t* p, int64_t most, uint8_t v) {
    const uint8_t* q = p + 1;
    const uint8_t* stop = p + most;
    if constexpr (std::endian::native == std::endian::little) {
      const uint64_t pattern = 0x0101010101010101ull * v;
      for (; q + 8 <= stop; q += 8) {
        uint64_t w;
        std::memcpy(&w, q, 8);
        if (const uint64_t x = w ^ pattern) return q - p + (__builtin_ctzll(x) >> 3);
      }
    }
    while (q < stop && *q == v) ++q;
    return q - p;
  }

  void Consume(const uint8_t* p, const uint8_t* end, TIEStream& stream) {
    int ent = prefix;
    if (ent < 0) {
      if (p == end) return;
      ent = *p++;
    }
    for (; p < end; ++p) {
      const int v = *p;
      const int k = runIndex[ent];
      if (k && runByte[ent] == v) {
        const std::vector<uint16_t>& chain = chains[v];
        const int64_t ahead = static_cast<int64_t>(chain.size()) - k;
        if (ahead > 0) {
          const int64_t n = RunLength(p, std::min<int64_t>(ahead, end - p), static_cast<uint8_t>(v));
          ent = chain[static_cast<size_t>(k + n - 1)];
          p += n - 1;
          continue;
        }
      }
      const int32_t key = (v << 12) + ent;
      int i = (v << kHashShift) ^ ent;
      int32_t found = keys[i];
      if (found == key) {
        ent = codes[i];
        continue;
      }
      if (found >= 0) {
        const int d = i == 0 ? 1 : kHashSize - i;
        for (;;) {
          i -= d;
          if (i < 0) i += kHashSize;
          found = keys[i];
          // Also stops on key 0 (byte 0 after code 0), which may then be
          // overwritten: that entry is only lost, never wrong.
          if (found == key || found <= 0) break;
        }
        if (found == key) {
          ent = codes[i];
          continue;
        }
      }
      Emit(ent, stream);
      if (nextCode < kClearAt) {
        const int code = nextCode++;
        if (found == 0) chains[0].resize(1);  // key 0, the string of two zero bytes, is lost
        codes[i] = static_cast<uint16_t>(code);
        keys[i] = key;
        std::vector<uint16_t>& chain = chains[v];
        if (runIndex[ent] == chain.size() && runByte[ent] == v) {
          chain.push_back(static_cast<uint16_t>(code));
          runIndex[code] = static_cast<uint16_t>(chain.size());
          runByte[code] = static_cast<uint8_t>(v);
        } else {
          runIndex[code] = 0;
        }
      } else {
        ResetTable();
        clearPending = true;
        Emit(kClearCode, stream);
      }
      ent = v;
    }
    prefix = ent;
  }
};

// ---------------------------------------------------------------------------
// Decoder.


// Longest string a code can stand for: every entry adds one byte to an older one.
constexpr int64_t kStringRoom = kMaxCodes;

struct TLzwDecoder {
  const uint8_t* strip = nullptr;
  int64_t len = 0;
  int64_t pos = 0;   // next byte to load into acc
  uint64_t acc = 0;  // unread bits from the most significant end
  int accBits = 0;
  bool reverse = false;
  int width = 9;
  int nextFree = kFirstFree;
  int prev = -1;  // previous code, -1 right after a clear or at the start
  bool ended = false;
  bool failed = false;
  bool started = false;
  int64_t rowLen = 0;
  int64_t rowStart = 0;  // where the row handed out last begins in out
  int64_t have = 0;      // decoded bytes in out
  std::vector<uint8_t> out;
  uint16_t prefix[kMaxCodes];
  uint16_t length[kMaxCodes];
  uint8_t suffix[kMaxCodes];
  uint8_t first[kMaxCodes];

  TLzwDecoder() {
    for (int i = 0; i < 256; ++i) {
      prefix[i] = 0;
      length[i] = 1;
      suffix[i] = first[i] = static_cast<uint8_t>(i);
    }
  }

  bool ReadCode(int& code) {
    if (accBits < width) {
      while (accBits <= 56 && pos < len) {
        uint8_t b = strip[pos++];
        if (reverse) b = kReverse.t[b];
        acc |= static_cast<uint64_t>(b) << (56 - accBits);
        accBits += 8;
      }
      if (accBits < width) return false;
    }
    code = static_cast<int>(acc >> (64 - width));
    acc <<= width;
    accBits -= width;
    return true;
  }

  // Decodes until the buffer holds a row past rowStart; false on corrupt data.
  bool Fill() {
    uint8_t* o = out.data();
    while (have < rowLen) {
      int code;
      if (!ReadCode(code)) {
        ended = true;
        break;
      }
      if (code == kClearCode) {
        nextFree = kFirstFree;
        width = 9;
        prev = -1;
        do {
          if (!ReadCode(code)) {
            ended = true;
            return true;
          }
        } while (code == kClearCode);
        if (code == kEndCode) {
          ended = true;
          break;
        }
        if (code >= nextFree) return false;
        o[have++] = static_cast<uint8_t>(code);
        prev = code;
        continue;
      }
      if (code == kEndCode || code > nextFree) {
        // A code beyond the table ends the strip quietly, like its end code.
        ended = true;
        break;
      }
      if (prev >= 0) {
        if (nextFree >= kMaxCodes) return false;
        const int n = nextFree++;
        prefix[n] = static_cast<uint16_t>(prev);
        suffix[n] = code < n ? first[code] : first[prev];
        first[n] = first[prev];
        length[n] = static_cast<uint16_t>(length[prev] + 1);
        if (nextFree >= (1 << width) - 1 && width < 12) ++width;
      } else if (code >= nextFree) {
        return false;  // the string before it is unknown
      }
      prev = code;
      if (code < 256) {
        o[have++] = static_cast<uint8_t>(code);
        continue;
      }
      const int n = length[code];
      uint8_t* p = o + have + n - 1;
      int c = code;
      while (c >= kFirstFree) {
        *p-- = suffix[c];
        c = prefix[c];
      }
      *p = static_cast<uint8_t>(c);
      have += n;
    }
    return true;
  }
};

}  // namespace

void TiffLzwEncode(const uint8_t* data, int64_t count, TIEStream& stream, void*& state) {
  auto* e = static_cast<TLzwEncoder*>(state);
  if (!e) {
    e = new TLzwEncoder;
    state = e;
    e->ResetTable();
    e->Emit(kClearCode, stream);
  }
  if (data) {
    if (count > 0) e->Consume(data, data + count, stream);
    return;
  }
  if (e->prefix >= 0) e->Emit(e->prefix, stream);
  e->Emit(kEndCode, stream);
  delete e;
  state = nullptr;
}

void TiffLzwEncodeDiscard(void*& state) {
  delete static_cast<TLzwEncoder*>(state);
  state = nullptr;
}

const uint8_t* TiffLzwDecode(const uint8_t* strip, int64_t stripLen, int64_t rowLen,
                             void*& state, int fillOrder) {
  auto* d = static_cast<TLzwDecoder*>(state);
  if (!strip) {
    delete d;
    state = nullptr;
    return nullptr;
  }
  if (!d) {
    if (rowLen <= 0 || rowLen > IELimits::kMaxImageBytes) return nullptr;
    d = new TLzwDecoder;
    state = d;
    d->rowLen = rowLen;
    d->reverse = fillOrder == 2;
    d->out.resize(static_cast<size_t>(rowLen + kStringRoom));
  }
  if (d->failed || rowLen != d->rowLen) return nullptr;
  d->strip = strip;
  d->len = stripLen < 0 ? 0 : stripLen;

  // Bytes beyond the row handed out last belong to this row.
  if (d->started) d->rowStart += rowLen;
  d->started = true;
  if (d->have - d->rowStart >= rowLen) return d->out.data() + d->rowStart;
  const int64_t rest = d->have - d->rowStart;
  if (rest > 0) std::memmove(d->out.data(), d->out.data() + d->rowStart, static_cast<size_t>(rest));
  d->have = rest;
  d->rowStart = 0;

  if (!d->ended && !d->Fill()) {
    d->failed = true;
    return nullptr;
  }
  if (d->have < rowLen) {
    std::memset(d->out.data() + d->have, 0, static_cast<size_t>(rowLen - d->have));
    d->have = rowLen;
  }
  return d->out.data();
}
