#include "tifdecomp.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "iebits.h"
#include "tifccitt.h"

namespace {

// The inflated rows of a strip grow in steps from this size up to what the
// strip's rows need, so a small damaged strip never reserves a large buffer.
constexpr int64_t kInflateFirstStep = 64 * 1024;

bool PredictorCompression(int c) { return c == kTiffLzw || c == kTiffAdobeDeflate || c == kTiffDeflate; }

}  // namespace

bool IETiffRowCompression(int c) {
  return c == kTiffNone || IETiffIsCcitt(c) || c == kTiffLzw || c == kTiffAdobeDeflate || c == kTiffDeflate ||
         c == kTiffPackBits;
}

void IETiffReverseBits(uint8_t* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i) data[i] = kReverse.t[data[i]];
}

TIETiffRowDecoder::TIETiffRowDecoder(const TIETiffRowFormat& format) : f_(format) {
  const int bits = f_.BitsPerSample, spp = f_.SamplesPerPixel;
  if (!IETiffRowCompression(f_.Compression) || bits < 1 || bits > 64 || spp < 1 || f_.Width < 1 ||
      f_.Width > IELimits::kMaxDimension)
    return;
  if (IETiffIsCcitt(f_.Compression) && (bits != 1 || spp != 1)) return;
  if (f_.Compression == kTiffLzw && !f_.LzwDecoder) return;
  int64_t samples = 0, rowBits = 0;
  if (!IECheckedMul(f_.Width, spp, samples) || !IECheckedMul(samples, bits, rowBits)) return;
  packedBytes_ = f_.PackedRowBytes > 0 ? f_.PackedRowBytes : (rowBits + 7) / 8;
  if (packedBytes_ > IELimits::kMaxImageBytes / 4) return;
  unpack_ = f_.PackedRowBytes == 0 && ((bits >= 2 && bits <= 7) || (bits == 1 && (spp > 1 || f_.UnpackBits)));
  if (unpack_) {
    rowBytes_ = samples;
    deliveredBits_ = 8;
    const int top = (1 << bits) - 1;
    for (int v = 0; v <= top; ++v)
      scale_[v] = static_cast<uint8_t>(f_.ScaleToBytes ? (v * 255 + top / 2) / top : v);
    out_.resize(static_cast<size_t>(rowBytes_) + 8);
  } else {
    rowBytes_ = packedBytes_;
    deliveredBits_ = bits;
  }
  // Slack: the fax decoder writes whole bytes of its own row length, and the
  // unpacking reads a byte beyond odd nibble counts.
  packed_.assign(static_cast<size_t>(packedBytes_) + 8, 0);
  if (IETiffIsCcitt(f_.Compression))
    ccitt_ = std::make_unique<TIECcittDecoder>(f_.Compression, f_.T4Options, f_.Width, f_.FillOrder);
  valid_ = true;
}

TIETiffRowDecoder::~TIETiffRowDecoder() { EndStrip(); }

void TIETiffRowDecoder::StartStrip(const uint8_t* data, int64_t size, int64_t rows) {
  EndStrip();
  data_ = data;
  size_ = data && size > 0 ? size : 0;
  pos_ = 0;
  row_ = 0;
  rows_ = rows;
  inflatedBytes_ = 0;
  inflatedDone_ = false;
  if (ccitt_) ccitt_->StartStrip(data_, size_);
}

void TIETiffRowDecoder::EndStrip() {
  if (lzwState_ && f_.LzwDecoder) f_.LzwDecoder(nullptr, 0, 0, lzwState_, f_.FillOrder);
  lzwState_ = nullptr;
  data_ = nullptr;
  size_ = 0;
}

// Inflates the whole strip. Whatever ends the data early (a damaged stream,
// a strip cut short, a preset dictionary we do not have) keeps the rows that
// came out so far; the others stay zero.
void TIETiffRowDecoder::InflateStrip() {
  inflatedDone_ = true;
  int64_t want = 0;
  if (!IECheckedMul(packedBytes_, rows_, want) || want <= 0 || size_ <= 0) return;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return;
  int64_t cap = std::min(want, std::max<int64_t>(kInflateFirstStep, (size_ + 255) / 256 * 256));
  if (static_cast<int64_t>(inflated_.size()) < cap) inflated_.resize(static_cast<size_t>(cap));
  cap = std::min<int64_t>(want, static_cast<int64_t>(inflated_.size()));
  const uint8_t* in = data_;
  int64_t inLeft = size_;
  int64_t produced = 0;
  for (;;) {
    if (produced == cap) {
      if (cap == want) break;
      cap = std::min(want, cap * 2);
      if (static_cast<int64_t>(inflated_.size()) < cap) inflated_.resize(static_cast<size_t>(cap));
    }
    const uInt inChunk = static_cast<uInt>(std::min<int64_t>(inLeft, 1 << 30));
    const uInt outChunk = static_cast<uInt>(std::min<int64_t>(cap - produced, 1 << 30));
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = inChunk;
    z.next_out = inflated_.data() + produced;
    z.avail_out = outChunk;
    const int rc = inflate(&z, Z_NO_FLUSH);
    in += inChunk - z.avail_in;
    inLeft -= inChunk - z.avail_in;
    produced += outChunk - z.avail_out;
    if (rc == Z_STREAM_END || rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR ||
        rc == Z_STREAM_ERROR)
      break;
    // No progress possible: the strip ended before its compressed stream did.
    if (rc == Z_BUF_ERROR && z.avail_out != 0) break;
    if (inLeft == 0 && z.avail_out != 0) break;
  }
  inflateEnd(&z);
  inflatedBytes_ = produced;
}

void TIETiffRowDecoder::PackBitsRow(uint8_t* out) {
  const bool rev = f_.FillOrder == 2;
  auto at = [&](int64_t i) { return rev ? kReverse.t[data_[i]] : data_[i]; };
  int64_t filled = 0;
  while (filled < packedBytes_ && pos_ < size_) {
    const int n = at(pos_++);
    if (n < 128) {
      int64_t count = std::min<int64_t>(n + 1, size_ - pos_);
      const int64_t store = std::min(count, packedBytes_ - filled);
      for (int64_t i = 0; i < store; ++i) out[filled + i] = at(pos_ + i);
      filled += store;
      pos_ += count;  // bytes beyond the row are consumed, not stored
    } else if (n > 128) {
      if (pos_ >= size_) break;
      const uint8_t b = at(pos_++);
      const int64_t store = std::min<int64_t>(257 - n, packedBytes_ - filled);
      std::memset(out + filled, b, static_cast<size_t>(store));
      filled += store;
    }
  }
}

const uint8_t* TIETiffRowDecoder::NextRow() {
  if (failed_) return nullptr;
  uint8_t* raw = packed_.data();
  bool reverse = false;
  switch (f_.Compression) {
    case kTiffNone: {
      const int64_t start = std::min(pos_, size_);
      const int64_t n = std::min(packedBytes_, size_ - start);
      if (n > 0) std::memcpy(raw, data_ + start, static_cast<size_t>(n));
      if (n < packedBytes_) std::memset(raw + std::max<int64_t>(n, 0), 0, static_cast<size_t>(packedBytes_ - std::max<int64_t>(n, 0)));
      pos_ += packedBytes_;
      reverse = f_.FillOrder == 2 && f_.BitsPerSample <= 8;
      break;
    }
    case kTiffCcittRle:
    case kTiffGroup3:
    case kTiffGroup4:
      ccitt_->DecodeRow(raw);
      break;
    case kTiffLzw: {
      const uint8_t* p = f_.LzwDecoder(data_ ? data_ : raw, size_, packedBytes_, lzwState_, f_.FillOrder);
      if (!p) {
        failed_ = true;
        return nullptr;
      }
      std::memcpy(raw, p, static_cast<size_t>(packedBytes_));
      break;
    }
    case kTiffAdobeDeflate:
    case kTiffDeflate: {
      if (!inflatedDone_) InflateStrip();
      const int64_t at = row_ * packedBytes_;
      const int64_t n = std::clamp<int64_t>(inflatedBytes_ - at, 0, packedBytes_);
      if (n > 0) std::memcpy(raw, inflated_.data() + at, static_cast<size_t>(n));
      if (n < packedBytes_) std::memset(raw + n, 0, static_cast<size_t>(packedBytes_ - n));
      break;
    }
    case kTiffPackBits:
      std::memset(raw, 0, static_cast<size_t>(packedBytes_));
      PackBitsRow(raw);
      break;
    default:
      std::memset(raw, 0, static_cast<size_t>(packedBytes_));
      break;
  }
  ++row_;
  return PostProcess(raw, reverse);
}

const uint8_t* TIETiffRowDecoder::Finish() {
  return PostProcess(packed_.data(), f_.FillOrder == 2 && f_.BitsPerSample <= 8);
}

const uint8_t* TIETiffRowDecoder::PostProcess(uint8_t* packed, bool reverseBits) {
  if (reverseBits) IETiffReverseBits(packed, packedBytes_);
  if (!unpack_) {
    if (f_.Predictor != 1 && PredictorCompression(f_.Compression)) UndoPredictor(packed);
    return packed;
  }
  uint8_t* o = out_.data();
  const int bits = f_.BitsPerSample;
  const int64_t n = rowBytes_;
  if (bits == 4) {
    for (int64_t i = 0; i < n / 2; ++i) {
      o[2 * i] = scale_[packed[i] >> 4];
      o[2 * i + 1] = scale_[packed[i] & 15];
    }
    if (n & 1) o[n - 1] = scale_[packed[n / 2] >> 4];
  } else {
    // Samples of any other width, most significant bit first.
    const uint32_t mask = (1u << bits) - 1;
    uint32_t acc = 0;
    int accBits = 0;
    int64_t in = 0;
    for (int64_t i = 0; i < n; ++i) {
      while (accBits < bits) {
        acc = (acc << 8) | packed[in++];
        accBits += 8;
      }
      accBits -= bits;
      o[i] = scale_[(acc >> accBits) & mask];
    }
  }
  return o;
}

void TIETiffRowDecoder::UndoPredictor(uint8_t* row) {
  const int bits = f_.BitsPerSample;
  const int64_t stride = f_.SamplesPerPixel;
  const int64_t samples = static_cast<int64_t>(f_.Width) * stride;
  if (f_.Predictor == 2) {
    if (bits == 8) {
      for (int64_t i = stride; i < samples; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
    } else if (bits == 16) {
      const bool le = f_.LittleEndian;
      auto get = [&](int64_t i) -> uint32_t {
        return le ? row[2 * i] | (row[2 * i + 1] << 8) : (row[2 * i] << 8) | row[2 * i + 1];
      };
      auto put = [&](int64_t i, uint32_t v) {
        row[2 * i + (le ? 0 : 1)] = static_cast<uint8_t>(v);
        row[2 * i + (le ? 1 : 0)] = static_cast<uint8_t>(v >> 8);
      };
      for (int64_t i = stride; i < samples; ++i) put(i, get(i) + get(i - stride));
    } else if (bits == 32) {
      const bool le = f_.LittleEndian;
      auto get = [&](int64_t i) -> uint32_t {
        const uint8_t* p = row + 4 * i;
        return le ? p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24)
                  : (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
      };
      auto put = [&](int64_t i, uint32_t v) {
        uint8_t* p = row + 4 * i;
        for (int k = 0; k < 4; ++k) p[le ? k : 3 - k] = static_cast<uint8_t>(v >> (8 * k));
      };
      for (int64_t i = stride; i < samples; ++i) put(i, get(i) + get(i - stride));
    }
  } else if (f_.Predictor == 3 && f_.SampleFormat == 3 && (bits == 16 || bits == 32 || bits == 64)) {
    // Floating point: the bytes of the row were split into planes, most
    // significant first, then differenced as bytes.
    const int bps = bits / 8;
    const int64_t bytes = samples * bps;
    for (int64_t i = stride; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
    std::vector<uint8_t> tmp(row, row + bytes);
    for (int64_t s = 0; s < samples; ++s)
      for (int b = 0; b < bps; ++b)
        row[s * bps + (f_.LittleEndian ? bps - 1 - b : b)] = tmp[static_cast<size_t>(b * samples + s)];
  }
}
