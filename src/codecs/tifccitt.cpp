#include "tifccitt.h"

#include <algorithm>
#include <cstring>

#include "iebits.h"
#include "iecore.h"
#include "t4tables.h"

namespace {


void CheckWidth(int32_t width) {
  if (width < 1 || width > IELimits::kMaxDimension)
    throw EIEException("fax row width " + std::to_string(width) + " is out of range");
}

// ---------------------------------------------------------------------------
// Encoder

class TBitWriter {
public:
  explicit TBitWriter(uint8_t* out) : out_(out) {}

  void Put(uint32_t code, int length) {
    acc_ = (acc_ << length) | code;
    bits_ += length;
    if (bits_ >= 32) {
      bits_ -= 32;
      const uint32_t w = static_cast<uint32_t>(acc_ >> bits_);
      out_[n_] = static_cast<uint8_t>(w >> 24);
      out_[n_ + 1] = static_cast<uint8_t>(w >> 16);
      out_[n_ + 2] = static_cast<uint8_t>(w >> 8);
      out_[n_ + 3] = static_cast<uint8_t>(w);
      n_ += 4;
    }
  }
  void Put(const TIET4Code& c) { Put(c.Code, c.Length); }

  void PutRun(bool black, int32_t run) {
    while (run >= 64) {
      const TIET4Code& c = T4RunCode(black, run);
      Put(c);
      run -= c.Run;
    }
    Put(T4RunCode(black, run));
  }

  // Moves whole bytes out; returns the 0..7 bits left over.
  int FlushBytes() {
    while (bits_ >= 8) {
      bits_ -= 8;
      out_[n_++] = static_cast<uint8_t>(acc_ >> bits_);
    }
    return bits_;
  }
  // The leftover bits, first bit most significant.
  uint8_t Leftover() const {
    return bits_ ? static_cast<uint8_t>(acc_ << (8 - bits_)) : 0;
  }
  size_t Size() const { return n_; }

private:
  uint8_t* out_;
  size_t n_ = 0;
  uint64_t acc_ = 0;  // only the low bits_ bits count
  int bits_ = 0;      // below 32 between calls of Put
};

inline uint64_t LoadBE64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Positions where the row's colour changes (pixel 0 is compared with white),
// then three copies of width as end markers. Returns the count of changes.
int32_t FindChanges(const uint8_t* row, int32_t width, std::vector<int32_t>& out) {
  if (out.size() < static_cast<size_t>(width) + 4) out.resize(static_cast<size_t>(width) + 4);
  int32_t* p = out.data();
  int32_t n = 0;
  uint64_t prev = 0;  // colour of the last pixel looked at
  const int32_t fullBytes = width / 8;
  int32_t b = 0;
  for (; b + 8 <= fullBytes; b += 8) {
    const uint64_t w = LoadBE64(row + b);
    uint64_t t = w ^ ((w >> 1) | (prev << 63));
    prev = w & 1;
    while (t) {
      const int z = __builtin_clzll(t);
      p[n++] = b * 8 + z;
      t &= ~(0x8000000000000000ull >> z);
    }
  }
  const int32_t bytes = (width + 7) / 8;
  for (; b < bytes; ++b) {
    uint32_t x = row[b];
    uint32_t valid = 0xFF;
    if (b == fullBytes) valid = (0xFF00u >> (width & 7)) & 0xFF;  // bits past the width
    x &= valid;
    uint32_t t = (x ^ ((x >> 1) | (static_cast<uint32_t>(prev) << 7))) & valid;
    prev = x & 1;
    while (t) {
      const int z = __builtin_clz(t) - 24;
      p[n++] = b * 8 + z;
      t &= ~(0x80u >> z);
    }
  }
  p[n] = p[n + 1] = p[n + 2] = width;
  return n;
}

// One row coded one-dimensionally: white, black, white ... runs that add up
// to the width. C holds the row's changes and end markers.
void Encode1D(TBitWriter& bw, const int32_t* C, int32_t width) {
  int32_t pos = 0;
  bool black = false;
  for (int32_t i = 0;; ++i) {
    const int32_t next = C[i];
    bw.PutRun(black, next - pos);
    pos = next;
    if (pos >= width) break;
    black = !black;
  }
}

// One row coded against the reference row R; both are change lists. Changes
// at even indices turn white to black, at odd indices black to white, so the
// b1 wanted for a colour is the next change of the other parity.
void Encode2D(TBitWriter& bw, const int32_t* C, const int32_t* R, int32_t width) {
  int32_t a0 = -1;  // -1: the imaginary white pixel before the row
  int colour = 0;   // 0 white, 1 black: the colour at a0
  int32_t ci = 0, rj = 0;
  for (;;) {
    while (C[ci] <= a0) ++ci;
    const int32_t a1 = C[ci];
    while (R[rj] <= a0) ++rj;
    const int32_t k = rj + ((rj & 1) != colour ? 1 : 0);
    const int32_t b1 = R[k], b2 = R[k + 1];
    if (b2 < a1) {
      bw.Put(kT4Pass);
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      bw.Put(kT4Vertical[a1 - b1 + 3]);
      a0 = a1;
      colour ^= 1;
    } else {
      const int32_t a2 = C[ci + 1];
      bw.Put(kT4Horizontal);
      bw.PutRun(colour != 0, a1 - std::max(a0, 0));
      bw.PutRun(colour == 0, a2 - a1);
      a0 = a2;
    }
    if (a0 >= width) break;
  }
}

// Worst case of one call in bytes: every pixel a horizontal mode with its two
// longest codes, the end-of-line codes, the pending bits.
size_t MaxCodedBytes(int32_t width) { return (static_cast<size_t>(width) + 2) * 8 + 64; }

void EncodeRow(bool group4, const uint8_t* row, int32_t width, TIEStream& stream,
               TIEFaxBitOrder bitOrder, bool* abortFlag, TIEFaxEncoderState& st) {
  if (row) CheckWidth(width);
  const size_t room = MaxCodedBytes(row ? width : 0);
  if (st.Bits.size() < room) st.Bits.resize(room);
  TBitWriter bw(st.Bits.data());
  if (st.PendingCount > 0) bw.Put(st.PendingByte >> (8 - st.PendingCount), st.PendingCount);

  if (!row) {
    bw.Put(kT4EndOfLine);
    if (group4) bw.Put(kT4EndOfLine);
    const int left = bw.FlushBytes();
    if (left > 0) bw.Put(0, 8 - left);
    bw.FlushBytes();
    st.HasReference = false;
    st.PendingCount = 0;
    st.PendingByte = 0;
    std::vector<int32_t>().swap(st.Reference);
    std::vector<int32_t>().swap(st.Changes);
  } else {
    FindChanges(row, width, st.Changes);
    if (!st.HasReference) {
      if (st.Reference.size() < 3) st.Reference.resize(3);
      st.Reference[0] = st.Reference[1] = st.Reference[2] = width;
    }
    if (group4) {
      Encode2D(bw, st.Changes.data(), st.Reference.data(), width);
    } else {
      bw.Put(kT4EndOfLine);
      if (!st.HasReference) {
        bw.Put(1, 1);
        Encode1D(bw, st.Changes.data(), width);
      } else {
        bw.Put(0, 1);
        Encode2D(bw, st.Changes.data(), st.Reference.data(), width);
      }
    }
    st.Reference.swap(st.Changes);
    st.HasReference = true;
    st.PendingCount = bw.FlushBytes();
    st.PendingByte = bw.Leftover();
  }

  const size_t n = bw.Size();
  if (bitOrder == fboLsbFirst)
    for (size_t i = 0; i < n; ++i) st.Bits[i] = kReverse.t[st.Bits[i]];
  if (n == 0) return;
  try {
    stream.Write(st.Bits.data(), static_cast<int64_t>(n));
  } catch (const EIEException&) {
    if (abortFlag) *abortFlag = true;
    throw;
  }
  if (!row) std::vector<uint8_t>().swap(st.Bits);
}

// ---------------------------------------------------------------------------
// Decoder tables, built once from the code tables.

enum TRunKind : uint8_t { rkNone, rkTerminating, rkMakeUp };
struct TRunEntry {
  uint16_t run;
  uint8_t length;  // 0: no code starts with these bits
  uint8_t kind;
};

enum TModeKind : uint8_t { mkNone, mkPass, mkHorizontal, mkVertical };
struct TModeEntry {
  uint8_t kind;
  uint8_t length;
  int8_t offset;  // a1 - b1 for vertical modes
};

constexpr int kWhiteBits = 12;  // longest white code
constexpr int kBlackBits = 13;  // longest black code
constexpr int kModeBits = 7;    // longest mode code outside the extensions

struct TFaxTables {
  TRunEntry white[1 << kWhiteBits] = {};
  TRunEntry black[1 << kBlackBits] = {};
  TModeEntry mode[1 << kModeBits] = {};

  static void Add(TRunEntry* table, int bits, const TIET4Code& c, TRunKind kind) {
    const int shift = bits - c.Length;
    const int from = c.Code << shift, to = (c.Code + 1) << shift;
    for (int i = from; i < to; ++i) table[i] = TRunEntry{c.Run, c.Length, kind};
  }
  static void AddMode(TModeEntry* table, const TIET4Code& c, TModeKind kind, int offset) {
    const int shift = kModeBits - c.Length;
    const int from = c.Code << shift, to = (c.Code + 1) << shift;
    for (int i = from; i < to; ++i)
      table[i] = TModeEntry{kind, c.Length, static_cast<int8_t>(offset)};
  }

  TFaxTables() {
    for (const TIET4Code& c : kT4WhiteTerminating) Add(white, kWhiteBits, c, rkTerminating);
    for (const TIET4Code& c : kT4WhiteMakeUp) Add(white, kWhiteBits, c, rkMakeUp);
    for (const TIET4Code& c : kT4BlackTerminating) Add(black, kBlackBits, c, rkTerminating);
    for (const TIET4Code& c : kT4BlackMakeUp) Add(black, kBlackBits, c, rkMakeUp);
    for (const TIET4Code& c : kT4ExtendedMakeUp) {
      Add(white, kWhiteBits, c, rkMakeUp);
      Add(black, kBlackBits, c, rkMakeUp);
    }
    AddMode(mode, kT4Pass, mkPass, 0);
    AddMode(mode, kT4Horizontal, mkHorizontal, 0);
    for (int d = -3; d <= 3; ++d) AddMode(mode, kT4Vertical[d + 3], mkVertical, d);
  }
};

const TFaxTables& FaxTables() {
  static const TFaxTables tables;
  return tables;
}

}  // namespace

void EncodeG4Row(const uint8_t* row, int32_t width, TIEStream& stream, TIEFaxBitOrder bitOrder,
                 bool* abortFlag, TIEFaxEncoderState& state) {
  EncodeRow(true, row, width, stream, bitOrder, abortFlag, state);
}

void EncodeG3Row(const uint8_t* row, int32_t width, TIEStream& stream, TIEFaxBitOrder bitOrder,
                 bool* abortFlag, TIEFaxEncoderState& state) {
  EncodeRow(false, row, width, stream, bitOrder, abortFlag, state);
}

// ---------------------------------------------------------------------------
// Decoder

TIECcittDecoder::TIECcittDecoder(int compression, uint32_t t4Options, int32_t width,
                                 int fillOrder)
    : compression_(compression), reverse_(fillOrder == 2), width_(width) {
  CheckWidth(width);
  if (compression < 2 || compression > 4)
    throw EIEException("compression " + std::to_string(compression) + " is not fax coding");
  twoD_ = compression == 4 || (compression == 3 && (t4Options & 1));
  eolProcessing_ = compression == 3 || (compression == 4 && (t4Options & 4));
  ref_.assign(static_cast<size_t>(width) + 4, width);
  cur_.assign(static_cast<size_t>(width) + 4, width);
  FaxTables();
}

void TIECcittDecoder::StartStrip(const uint8_t* data, int64_t size) {
  data_ = data;
  size_ = data && size > 0 ? size : 0;
  bytePos_ = 0;
  acc_ = 0;
  accBits_ = 0;
  consumed_ = 0;
  totalBits_ = size_ > INT64_MAX / 8 ? INT64_MAX : size_ * 8;
  blockEnded_ = false;
  ref_[0] = ref_[1] = ref_[2] = width_;
}

// Keeps at least 57 bits in the window; bits past the end of the strip read as 0.
void TIECcittDecoder::Fill() {
  if (accBits_ > 56) return;
  if (!reverse_ && bytePos_ + 8 <= size_) {
    const uint64_t w = LoadBE64(data_ + bytePos_);
    const int take = (64 - accBits_) >> 3;
    const int total = accBits_ + take * 8;
    const uint64_t keep = total >= 64 ? ~0ull : ~(~0ull >> total);
    acc_ |= (w >> accBits_) & keep;
    accBits_ = total;
    bytePos_ += take;
    return;
  }
  while (accBits_ <= 56) {
    uint8_t b = bytePos_ < size_ ? data_[bytePos_] : 0;
    if (reverse_) b = kReverse.t[b];
    acc_ |= static_cast<uint64_t>(b) << (56 - accBits_);
    accBits_ += 8;
    ++bytePos_;
  }
}

// Reads the zeros of an end-of-line code up to and including its 1, then, in
// two-dimensional group 3 data, the tag bit that tells how the next row is
// coded. False when the strip ends first.
bool TIECcittDecoder::ConsumeEndOfLine() {
  for (;;) {
    if (AtEnd()) return false;
    Fill();
    if (acc_ == 0) {
      Consume(56);
      continue;
    }
    Consume(__builtin_clzll(acc_) + 1);
    break;
  }
  if (twoD_ && eolProcessing_) {
    if (AtEnd()) return false;
    Fill();
    rowOneD_ = (acc_ >> 63) != 0;
    Consume(1);
  }
  return true;
}

// Records a colour change of the row being decoded. Positions never go back;
// two changes at one place cancel, so the list stays strictly increasing.
void TIECcittDecoder::Push(int32_t p) {
  if (p >= width_) return;
  int32_t* c = cur_.data();
  if (curCount_ > 0) {
    if (p < c[curCount_ - 1]) p = c[curCount_ - 1];
    if (p == c[curCount_ - 1]) {
      --curCount_;
      return;
    }
  }
  c[curCount_++] = p;
}

// One run of a horizontal mode code: make-up codes and a terminating code.
TIECcittDecoder::TRowEnd TIECcittDecoder::ReadRun(bool black, int32_t& run) {
  const TFaxTables& t = FaxTables();
  int64_t total = 0;
  for (;;) {
    if (AtEnd()) return reDataEnd;
    Fill();
    if ((acc_ >> 56) == 0) {
      if ((acc_ >> 53) == 0) return reDone;  // end of line: left for the next row
      Consume(__builtin_clzll(acc_) + 1);    // fill codes of 9 to 11 bits
      continue;
    }
    const TRunEntry& e = black ? t.black[acc_ >> (64 - kBlackBits)] : t.white[acc_ >> (64 - kWhiteBits)];
    if (e.length == 0) {
      Consume(1);
      continue;
    }
    Consume(e.length);
    total = std::min<int64_t>(total + e.run, width_);
    if (e.kind == rkTerminating) {
      run = static_cast<int32_t>(total);
      return reRun;
    }
  }
}

TIECcittDecoder::TRowEnd TIECcittDecoder::Decode1D() {
  const TFaxTables& t = FaxTables();
  int64_t pos = 0;
  bool black = false, started = false;
  for (;;) {
    if (AtEnd()) return reDataEnd;
    Fill();
    if ((acc_ >> 56) == 0) {
      if ((acc_ >> 53) == 0) {
        if (started) return reDone;  // a short row: its end of line starts the next one
        return ConsumeEndOfLine() ? reRestart : reDataEnd;
      }
      Consume(__builtin_clzll(acc_) + 1);
      continue;
    }
    const TRunEntry& e = black ? t.black[acc_ >> (64 - kBlackBits)] : t.white[acc_ >> (64 - kWhiteBits)];
    if (e.length == 0) {
      Consume(1);
      continue;
    }
    Consume(e.length);
    started = true;
    pos = std::min<int64_t>(pos + e.run, width_);
    if (e.kind == rkMakeUp) continue;
    Push(static_cast<int32_t>(pos));
    black = !black;
    if (pos >= width_) return reDone;
  }
}

TIECcittDecoder::TRowEnd TIECcittDecoder::Decode2D() {
  const TFaxTables& t = FaxTables();
  const int32_t* R = ref_.data();
  int32_t a0 = -1;  // -1: the imaginary white pixel before the row
  int colour = 0;   // 0 white, 1 black
  bool started = false;
  int32_t j = 0;
  for (;;) {
    if (a0 >= width_) return reDone;
    if (AtEnd()) return reDataEnd;
    Fill();
    while (R[j] <= a0) ++j;
    const int32_t k = j + ((j & 1) != colour ? 1 : 0);
    const int32_t b1 = R[k], b2 = R[k + 1];
    const TModeEntry& m = t.mode[acc_ >> (64 - kModeBits)];
    switch (m.kind) {
      case mkVertical: {
        Consume(m.length);
        started = true;
        const int32_t lo = std::max(a0, 0);
        const int32_t a1 = std::clamp(b1 + m.offset, lo, width_);
        Push(a1);
        a0 = a1;
        colour ^= 1;
        continue;
      }
      case mkPass:
        Consume(m.length);
        started = true;
        a0 = b2;
        continue;
      case mkHorizontal: {
        Consume(m.length);
        started = true;
        const int32_t s = std::max(a0, 0);
        int32_t r1 = 0, r2 = 0;
        TRowEnd e = ReadRun(colour != 0, r1);
        if (e != reRun) return e;
        const int32_t a1 = static_cast<int32_t>(std::min<int64_t>(int64_t(s) + r1, width_));
        Push(a1);
        e = ReadRun(colour == 0, r2);
        if (e != reRun) return e;
        const int32_t a2 = static_cast<int32_t>(std::min<int64_t>(int64_t(a1) + r2, width_));
        Push(a2);
        a0 = a2;
        continue;
      }
      default:
        break;
    }
    // Seven leading zero bits or 0000001: an extension, an end of line, or junk.
    if ((acc_ >> 54) == kT4Uncompressed2D.Code || (acc_ >> 52) == kT4Uncompressed1D.Code) {
      Consume((acc_ >> 54) == kT4Uncompressed2D.Code ? kT4Uncompressed2D.Length
                                                      : kT4Uncompressed1D.Length);
      started = true;
      Uncompressed(a0, colour);
      continue;
    }
    const bool endOfLine = (acc_ >> 53) == 0;
    if (eolProcessing_) {
      // Zero fill and unknown codes count as an end of line here.
      if (started) return reDone;
      return ConsumeEndOfLine() ? reRestart : reDataEnd;
    }
    if (endOfLine) {
      if (started) return reDone;
      blockEnded_ = true;  // end of facsimile block: no rows follow
      return reDataEnd;
    }
    Consume(1);
  }
}

// Uncompressed mode: k zeros and a 1 are k white pixels and a black one
// (k < 5), five zeros and a 1 are five white pixels, and 6 to 10 zeros and a
// 1 leave the mode after k - 6 white pixels, the next bit giving the colour
// that follows.
void TIECcittDecoder::Uncompressed(int32_t& a0, int& colour) {
  int64_t p = std::max(a0, 0);
  auto paint = [&](int64_t at, int c) {
    if (c != colour) {
      Push(static_cast<int32_t>(std::min<int64_t>(at, width_)));
      colour = c;
    }
  };
  for (;;) {
    if (p >= width_ || AtEnd()) break;
    Fill();
    if (acc_ == 0) break;
    const int z = __builtin_clzll(acc_);
    if (z > 10) break;  // not a code of this mode: the 2-D loop deals with it
    Consume(z + 1);
    if (z <= 4) {
      if (z > 0) paint(p, 0);
      paint(p + z, 1);
      p += z + 1;
    } else if (z == 5) {
      paint(p, 0);
      p += 5;
    } else {
      if (z > 6) paint(p, 0);
      p += z - 6;
      if (AtEnd()) break;
      Fill();
      const int tag = static_cast<int>(acc_ >> 63);
      Consume(1);
      paint(p, tag);
      break;
    }
  }
  a0 = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(p, a0), width_));
}

// White everywhere, then the black runs: from each even change to the next
// odd one, or to the end of the row.
void TIECcittDecoder::Render(uint8_t* row) const {
  std::memset(row, 0xFF, static_cast<size_t>(RowBytes()));
  const int32_t* c = cur_.data();
  for (int32_t i = 0; i < curCount_; i += 2) {
    const int32_t s = c[i];
    const int32_t e = i + 1 < curCount_ ? c[i + 1] : width_;
    const int32_t sb = s >> 3, eb = e >> 3;
    if (sb == eb) {
      row[sb] &= static_cast<uint8_t>(~((0xFFu >> (s & 7)) & ~(0xFFu >> (e & 7))));
      continue;
    }
    row[sb] &= static_cast<uint8_t>(~(0xFFu >> (s & 7)));
    if (eb > sb + 1) std::memset(row + sb + 1, 0, static_cast<size_t>(eb - sb - 1));
    if (e & 7) row[eb] &= static_cast<uint8_t>(0xFFu >> (e & 7));
  }
}

void TIECcittDecoder::DecodeRow(uint8_t* row) {
  curCount_ = 0;
  if (!blockEnded_) {
    rowOneD_ = !twoD_;
    for (;;) {
      const TRowEnd e = rowOneD_ ? Decode1D() : Decode2D();
      if (e != reRestart) break;
      curCount_ = 0;
    }
  }
  Render(row);
  std::swap(ref_, cur_);
  ref_[curCount_] = ref_[curCount_ + 1] = ref_[curCount_ + 2] = width_;
  if (compression_ == 2 && (consumed_ & 7)) {
    // Modified Huffman rows start on byte boundaries.
    Fill();
    Consume(8 - static_cast<int>(consumed_ & 7));
  }
}
