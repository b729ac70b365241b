// Core definitions shared by every layer: errors, progress, size limits,
// checked arithmetic and the codec routine slot types.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

class TIEStream;

// Raised for failures that a reader does not turn into its abort flag
// (files that cannot be opened, decoder library errors, bad arguments).
class EIEException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// libjpeg's fatal errors, carried out of the library's error exit.
class EIEJpegException : public EIEException {
public:
  using EIEException::EIEException;
};

// Progress callback: percent is 0..100; the callee may set the abort flag.
using TIEProgressEvent = void (*)(void* context, void* sender, int percent);

// Handed to every reader and encoder. The counters belong to the callee.
struct TProgressRecord {
  TIEProgressEvent fnet = nullptr;
  void* context = nullptr;
  void* Sender = nullptr;
  int64_t val = 0;      // rows (or units) done
  int64_t tot = 0;      // rows (or units) in all
  double per1 = 0.0;    // percent per unit, 100 / tot once tot is known
  bool* Aborting = nullptr;

  bool Aborted() const { return Aborting && *Aborting; }
  void Abort() const {
    if (Aborting) *Aborting = true;
  }
  void Report(int percent) const {
    if (fnet) fnet(context, Sender, percent);
  }
  // Counts one unit done and reports when a callback is set.
  void Step() {
    ++val;
    if (fnet && per1 > 0) fnet(context, Sender, static_cast<int>(per1 * static_cast<double>(val)));
  }
  void Start(int64_t total) {
    val = 0;
    tot = total;
    per1 = total > 0 ? 100.0 / static_cast<double>(total) : 0.0;
  }
};

// The one set of limits a picture must pass before anything is allocated from
// header values. Wide enough for every real scan (a 30000 x 30000 page, a
// 1-gigapixel panorama strip), small enough that a lying header cannot make
// us reserve more than a machine of ours can hold.
namespace IELimits {
inline constexpr int32_t kMaxDimension = 1 << 20;             // pixels per side
inline constexpr int64_t kMaxPixels = int64_t(1) << 30;       // 1 gigapixel
inline constexpr int64_t kMaxImageBytes = int64_t(16) << 30;  // 16 GiB of pixel data
}  // namespace IELimits

// a * b, false on overflow of a signed 64-bit result or on negative factors.
inline bool IECheckedMul(int64_t a, int64_t b, int64_t& out) {
  if (a < 0 || b < 0) return false;
  return !__builtin_mul_overflow(a, b, &out);
}

inline bool IECheckedAdd(int64_t a, int64_t b, int64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}

// Whether a picture of this size may be allocated at all: positive sides
// within the limits, and pixel count and row bytes within the byte limit.
inline bool IEImageSizeOk(int64_t width, int64_t height, int64_t bitsPerPixel = 32) {
  if (width <= 0 || height <= 0 || bitsPerPixel <= 0) return false;
  if (width > IELimits::kMaxDimension || height > IELimits::kMaxDimension) return false;
  int64_t pixels = 0;
  if (!IECheckedMul(width, height, pixels) || pixels > IELimits::kMaxPixels) return false;
  int64_t bits = 0;
  if (!IECheckedMul(pixels, bitsPerPixel, bits)) return false;
  return bits / 8 <= IELimits::kMaxImageBytes;
}

// A picture whose pixel data would need far more than the file could hold
// even at the best compression its format allows is a lie: callers pass the
// format's best ratio (pixels per input byte) and the bytes the file has left.
inline bool IEPlausibleForInput(int64_t width, int64_t height, int64_t inputBytes,
                                int64_t maxPixelsPerByte) {
  int64_t pixels = 0, most = 0;
  if (!IECheckedMul(width, height, pixels)) return false;
  if (!IECheckedMul(inputBytes < 1 ? 1 : inputBytes, maxPixelsPerByte, most)) return true;
  return pixels <= most;
}

// Codec routine slots held by the global settings and parameter records.
// LZW encoder: first call with state null starts a code stream; the final
// call with data null and count 0 ends it and releases the state.
using TIELzwCompressor = void (*)(const uint8_t* data, int64_t count, TIEStream& stream,
                                  void*& state);
// TIFF LZW decoder: returns the next row of rowLen bytes, or nullptr on error or
// end of data; a call with strip null releases the state.
using TIETiffLzwDecoder = const uint8_t* (*)(const uint8_t* strip, int64_t stripLen,
                                             int64_t rowLen, void*& state, int fillOrder);
// GIF LZW decoder: stream at the minimum code size; writes width x height
// indices into out. Leaving the stream where it was means the frame failed.
using TIEGifDecoder = void (*)(TIEStream& stream, int height, int width, uint8_t* out,
                               bool interlaced);
