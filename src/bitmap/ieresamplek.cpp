// The separable kernel resampler: integer weights per target column and row,
// a horizontal pass into an intermediate picture (in bands, one thread per
// band), then a vertical pass into the target.
//
// Every contributor list is folded into a dense window of weights over
// consecutive source pixels (entries that mirror onto the same pixel add up).
// Sums of integer products do not depend on grouping, so the results are
// those of the plain lists; the windows let the inner loops run as 16-bit
// multiply-adds.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "iecore.h"
#include "ieglobal.h"
#include "ieresample.h"

#if defined(__x86_64__) || defined(__i386__)
#define IE_RESAMPLE_X86 1
#include <immintrin.h>
#endif

namespace {

// Kernels -------------------------------------------------------------------

double KTriangle(double x) {
  x = std::fabs(x);
  return x < 1 ? 1 - x : 0;
}
double KHermite(double x) {
  x = std::fabs(x);
  return x < 1 ? (2 * x - 3) * x * x + 1 : 0;
}
double KBell(double x) {
  x = std::fabs(x);
  if (x < 0.5) return 0.75 - x * x;
  if (x < 1.5) return 0.5 * (x - 1.5) * (x - 1.5);
  return 0;
}
double KBSpline(double x) {
  x = std::fabs(x);
  if (x < 1) return x * x * x / 2 - x * x + 2.0 / 3.0;
  if (x < 2) return (2 - x) * (2 - x) * (2 - x) / 6;
  return 0;
}
double Sinc(double x) {
  if (x == 0) return 1;
  x *= M_PI;
  return std::sin(x) / x;
}
double KLanczos3(double x) { return std::fabs(x) < 3 ? Sinc(x) * Sinc(x / 3) : 0; }
double KMitchell(double x) {
  x = std::fabs(x);
  if (x < 1) return (7 * x * x * x - 12 * x * x + 16.0 / 3.0) / 6;
  if (x < 2) return (-7.0 / 3.0 * x * x * x + 12 * x * x - 20 * x + 32.0 / 3.0) / 6;
  return 0;
}
double KNearest(double x) { return x > -0.5 && x <= 0.5 ? 1 : 0; }
double KLinear(double x) {
  if (x >= 0 && x < 1) return 1 - x;
  if (x >= -1 && x < 0) return 1 + x;
  return 0;
}
// Keys' cubic convolution with a = -0.5 (Catmull-Rom), for rfBicubic.
double KCubic(double x) {
  x = std::fabs(x);
  if (x < 1) return (1.5 * x - 2.5) * x * x + 1;
  if (x < 2) return ((-0.5 * x + 2.5) * x - 4) * x + 2;
  return 0;
}

struct TKernel {
  double (*Fn)(double);
  double Support;
};

TKernel KernelOf(TResampleFilter filter) {
  switch (filter) {
    case rfTriangle:
      return {KTriangle, 1.0};
    case rfHermite:
      return {KHermite, 1.0};
    case rfBell:
      return {KBell, 1.5};
    case rfBSpline:
      return {KBSpline, 2.0};
    case rfMitchell:
      return {KMitchell, 2.0};
    case rfNearest:
      return {KNearest, 1.0};
    case rfLinear:
      return {KLinear, 1.0};
    case rfBilinear:
      return {KTriangle, 1.0};
    case rfBicubic:
      return {KCubic, 2.0};
    case rfLanczos3:
    default:
      return {KLanczos3, 3.0};
  }
}

// Weights -------------------------------------------------------------------

// One window per target column (or row): Count weights for the source pixels
// First, First + 1, ..., summing to Total.
struct TWeightTable {
  std::vector<int32_t> First, Count;
  std::vector<int64_t> Total;
  std::vector<size_t> Offset;
  std::vector<int32_t> Weights;
  // Every window fits the 16-bit multiply-add path: each weight in int16 and
  // the sum of magnitudes at most 65535, so |sum| + |total| < 2^24 and a
  // division in single precision truncates exactly.
  bool Small = true;
};

// j < 0 mirrors to -j, j >= n to 2n - 1 - j; then clamped.
inline int64_t MirrorIndex(int64_t j, int64_t n) {
  if (j < 0)
    j = -j;
  else if (j >= n)
    j = 2 * n - 1 - j;
  return std::clamp<int64_t>(j, 0, n - 1);
}

TWeightTable BuildWeights(int srcLen, int dstLen, const TKernel& kernel) {
  TWeightTable t;
  t.First.resize(dstLen);
  t.Count.resize(dstLen);
  t.Total.resize(dstLen);
  t.Offset.resize(dstLen);
  // First and last pixels of source and target coincide.
  const double scale = (srcLen == 1 || dstLen == 1) ? double(dstLen) / srcLen
                                                    : double(dstLen - 1) / double(srcLen - 1);
  const bool shrink = scale < 1;
  const double f = shrink ? 1.0 / scale : 1.0;
  const double width = shrink ? kernel.Support / scale : kernel.Support;
  std::vector<int64_t> acc(static_cast<size_t>(srcLen), 0);

  for (int i = 0; i < dstLen; ++i) {
    const double c = i / scale;
    const int64_t lo = static_cast<int64_t>(std::floor(c - width));
    const int64_t hi = static_cast<int64_t>(std::ceil(c + width));
    int64_t low = srcLen, high = -1;
    double peak = 0;
    auto gather = [&](double multiplier) {
      bool any = false;
      for (int64_t j = lo; j <= hi; ++j) {
        const double x = shrink ? (c - double(j)) / f : c - double(j);
        const double k = kernel.Fn(x);
        peak = std::max(peak, std::fabs(k));
        const double w = std::nearbyint(k * multiplier);
        if (w == 0) continue;
        const int64_t idx = MirrorIndex(j, srcLen);
        acc[idx] += static_cast<int64_t>(w);
        low = std::min(low, idx);
        high = std::max(high, idx);
        any = true;
      }
      return any;
    };
    // Shrinking by more than about 500 rounds every weight to zero and would
    // give black; such a list keeps the kernel's shape scaled to a peak of 256.
    if (!gather(shrink ? 256.0 / f : 256.0) && peak > 0) gather(256.0 / peak);

    while (low <= high && acc[low] == 0) ++low;
    while (high >= low && acc[high] == 0) --high;
    t.Offset[i] = t.Weights.size();
    int64_t total = 0, magnitude = 0, largest = 0;
    if (low <= high) {
      t.First[i] = static_cast<int32_t>(low);
      t.Count[i] = static_cast<int32_t>(high - low + 1);
      for (int64_t s = low; s <= high; ++s) {
        const int64_t w = acc[s];
        acc[s] = 0;
        // At most 2 x 3 x 2^20 + 2 entries of magnitude 256 or less: the
        // image limits keep every weight and total far inside int32.
        if (w > std::numeric_limits<int32_t>::max() || w < std::numeric_limits<int32_t>::min())
          throw EIEException("Picture too large to resample");
        t.Weights.push_back(static_cast<int32_t>(w));
        total += w;
        magnitude += w < 0 ? -w : w;
        largest = std::max(largest, w < 0 ? -w : w);
      }
    } else {
      t.First[i] = 0;
      t.Count[i] = 0;
    }
    t.Total[i] = total;
    if (largest > 32767 || magnitude > 65535) t.Small = false;
  }
  return t;
}

// The intermediate picture: rows of Stride bytes, one block when possible,
// else segments of rows.
class TWorkRows {
 public:
  void Allocate(int rows, int64_t stride) {
    fRows.resize(static_cast<size_t>(rows));
    const int64_t bytes = stride * rows;
    if (auto* p = new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]) {
      fBlocks.emplace_back(p);
      for (int y = 0; y < rows; ++y) fRows[y] = p + int64_t(y) * stride;
      return;
    }
    for (int64_t n = 4; n < rows; n *= 2) {
      const int64_t per = (rows + n - 1) / n;
      if (n > 4 && per * stride < 10485760) break;
      fBlocks.clear();
      bool ok = true;
      for (int64_t first = 0; first < rows && ok; first += per) {
        const int64_t count = std::min<int64_t>(per, rows - first);
        auto* p = new (std::nothrow) uint8_t[static_cast<size_t>(count * stride)];
        if (!p) {
          ok = false;
          break;
        }
        fBlocks.emplace_back(p);
        for (int64_t y = 0; y < count; ++y) fRows[first + y] = p + y * stride;
      }
      if (ok) return;
    }
    fBlocks.clear();
    throw EIEException("Not enough memory to resample the image");
  }
  uint8_t* Row(int y) const { return fRows[y]; }
  uint8_t* const* Rows() const { return fRows.data(); }

 private:
  std::vector<std::unique_ptr<uint8_t[]>> fBlocks;
  std::vector<uint8_t*> fRows;
};

// SIMD ----------------------------------------------------------------------

bool gSimdEnabled = true;

#ifdef IE_RESAMPLE_X86
bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#else
bool CpuHasAvx2() { return false; }
#endif

bool UseAvx2() { return gSimdEnabled && CpuHasAvx2(); }

// Weights laid out for the 16-bit multiply-add loops. Colour (3 bytes per
// pixel): per group of eight taps two vectors whose 128-bit lanes hold the
// weights of pixels (0, 1) and (4, 5), resp. (2, 3) and (6, 7), as
// [w0 w1 w0 w1 w0 w1 0 0]. Gray: sixteen weights per group.
struct TPackedWeights {
  std::vector<int16_t> Data;
  std::vector<size_t> Offset;
  std::vector<int32_t> Groups;
  std::vector<float> Divisor;
  // Bytes of the source row the loops may read, which can pass the row's
  // end; windows from TailStart on read a padded copy of the row's tail
  // instead (INT64_MAX: none need it).
  int64_t ReadEnd = 0;
  int64_t TailStart = std::numeric_limits<int64_t>::max();
};

// Window i starts at byte `start` and its loop reads up to `end`.
void NoteReach(TPackedWeights& p, int64_t start, int64_t end, int64_t rowBytes) {
  p.ReadEnd = std::max(p.ReadEnd, end);
  if (end > rowBytes) p.TailStart = std::min(p.TailStart, start);
}

TPackedWeights PackColour(const TWeightTable& t, bool divideBy256, int64_t rowBytes) {
  TPackedWeights p;
  const size_t n = t.First.size();
  p.Offset.resize(n);
  p.Groups.resize(n);
  p.Divisor.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const int count = t.Count[i];
    const int groups = (count + 7) / 8;
    p.Offset[i] = p.Data.size();
    p.Groups[i] = groups;
    p.Divisor[i] = t.Total[i] != 0 ? float(t.Total[i]) : divideBy256 ? 256.0f : 0.0f;
    const int32_t* w = &t.Weights[t.Offset[i]];
    auto tap = [&](int k) -> int16_t { return k < count ? int16_t(w[k]) : 0; };
    for (int g = 0; g < groups; ++g) {
      for (int v = 0; v < 2; ++v) {
        for (int lane = 0; lane < 2; ++lane) {
          const int k0 = g * 8 + lane * 4 + v * 2;
          const int16_t a = tap(k0), b = tap(k0 + 1);
          const int16_t words[8] = {a, b, a, b, a, b, 0, 0};
          p.Data.insert(p.Data.end(), words, words + 8);
        }
      }
    }
    NoteReach(p, 3 * int64_t(t.First[i]), 3 * (int64_t(t.First[i]) + 8 * groups) + 4, rowBytes);
  }
  return p;
}

TPackedWeights PackGray(const TWeightTable& t, int64_t rowBytes) {
  TPackedWeights p;
  const size_t n = t.First.size();
  p.Offset.resize(n);
  p.Groups.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const int count = t.Count[i];
    const int groups = (count + 15) / 16;
    p.Offset[i] = p.Data.size();
    p.Groups[i] = groups;
    const int32_t* w = &t.Weights[t.Offset[i]];
    for (int k = 0; k < groups * 16; ++k) p.Data.push_back(k < count ? int16_t(w[k]) : 0);
    NoteReach(p, t.First[i], int64_t(t.First[i]) + 16 * groups, rowBytes);
  }
  return p;
}

// Sum of a window over samples of C channels; the zero-total rules differ
// between the colour horizontal pass (divide by 256) and everything else
// (the sum as an unsigned 32-bit number shifted right by 8).
template <typename TS>
inline TS Finish(int64_t sum, int64_t total, bool divideBy256) {
  constexpr int64_t maxValue = std::numeric_limits<TS>::max();
  int64_t v;
  if (total != 0)
    v = sum / total;
  else if (divideBy256)
    v = sum / 256;
  else
    v = static_cast<int64_t>(static_cast<uint32_t>(sum) >> 8);
  return static_cast<TS>(v < 0 ? 0 : v > maxValue ? maxValue : v);
}

#ifdef IE_RESAMPLE_X86

// src: the source row; tail: its bytes from p.TailStart on, padded.
__attribute__((target("avx2"))) void HorizontalColourAvx2(const uint8_t* src, const uint8_t* tail,
                                                          uint8_t* dst, const TWeightTable& t,
                                                          const TPackedWeights& p, int count) {
  const __m256i pair01 = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,
                                          0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
  const __m256i pair23 =
      _mm256_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1, 6, -1, 9, -1, 7,
                       -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  for (int i = 0; i < count; ++i) {
    const int16_t* w = p.Data.data() + p.Offset[i];
    const int64_t start = 3 * int64_t(t.First[i]);
    const uint8_t* s = start < p.TailStart ? src + start : tail + (start - p.TailStart);
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    for (int g = p.Groups[i]; g > 0; --g) {
      const __m256i px = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12)), 1);
      a0 = _mm256_add_epi32(
          a0, _mm256_madd_epi16(_mm256_shuffle_epi8(px, pair01),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
      a1 = _mm256_add_epi32(
          a1, _mm256_madd_epi16(_mm256_shuffle_epi8(px, pair23),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16))));
      s += 24;
      w += 32;
    }
    a0 = _mm256_add_epi32(a0, a1);
    const __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(a0), _mm256_extracti128_si256(a0, 1));
    __m128i q = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(sum), _mm_set1_ps(p.Divisor[i])));
    q = _mm_packs_epi32(q, q);
    q = _mm_packus_epi16(q, q);
    const uint32_t bgr = static_cast<uint32_t>(_mm_cvtsi128_si32(q));
    std::memcpy(dst + 3 * int64_t(i), &bgr, 4);  // the fourth byte is overwritten next
  }
}

__attribute__((target("avx2"))) void HorizontalGrayAvx2(const uint8_t* src, const uint8_t* tail,
                                                        uint8_t* dst, const TWeightTable& t,
                                                        const TPackedWeights& p, int count) {
  for (int i = 0; i < count; ++i) {
    const int16_t* w = p.Data.data() + p.Offset[i];
    const int64_t start = t.First[i];
    const uint8_t* s = start < p.TailStart ? src + start : tail + (start - p.TailStart);
    __m256i acc = _mm256_setzero_si256();
    for (int g = p.Groups[i]; g > 0; --g) {
      const __m256i px = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
      acc = _mm256_add_epi32(
          acc, _mm256_madd_epi16(px, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
      s += 16;
      w += 16;
    }
    __m128i v = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    dst[i] = Finish<uint8_t>(_mm_cvtsi128_si32(v), t.Total[i], false);
  }
}

// One target row of the vertical pass over byte rows: rows[0 .. n - 1] are
// the window's rows, readable up to `bytes` rounded up to 32; out likewise.
__attribute__((target("avx2"))) void VerticalBytesAvx2(uint8_t* const* rows, const int32_t* w,
                                                       int n, int64_t bytes, float divisor,
                                                       uint8_t* out) {
  const __m256 d = _mm256_set1_ps(divisor);
  const __m256i zero = _mm256_setzero_si256();
  for (int64_t x = 0; x < bytes; x += 32) {
    __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    int k = 0;
    for (; k + 1 < n; k += 2) {
      const __m256i wp = _mm256_set1_epi32(
          int32_t(uint32_t(uint16_t(w[k])) | (uint32_t(uint16_t(w[k + 1])) << 16)));
      const uint8_t* ra = rows[k] + x;
      const uint8_t* rb = rows[k + 1] + x;
      __m256i A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ra)));
      __m256i B = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rb)));
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_unpacklo_epi16(A, B), wp));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_unpackhi_epi16(A, B), wp));
      A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ra + 16)));
      B = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rb + 16)));
      a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(_mm256_unpacklo_epi16(A, B), wp));
      a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(_mm256_unpackhi_epi16(A, B), wp));
    }
    if (k < n) {
      const __m256i wp = _mm256_set1_epi32(int32_t(uint16_t(w[k])));
      const uint8_t* ra = rows[k] + x;
      __m256i A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ra)));
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_unpacklo_epi16(A, zero), wp));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_unpackhi_epi16(A, zero), wp));
      A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ra + 16)));
      a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(_mm256_unpacklo_epi16(A, zero), wp));
      a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(_mm256_unpackhi_epi16(A, zero), wp));
    }
    // a0 holds bytes 0-3 | 8-11, a1 4-7 | 12-15, a2 16-19 | 24-27, a3 20-23 | 28-31.
    a0 = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(a0), d));
    a1 = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(a1), d));
    a2 = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(a2), d));
    a3 = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(a3), d));
    const __m256i lo = _mm256_packs_epi32(a0, a1);  // words 0-15 in order
    const __m256i hi = _mm256_packs_epi32(a2, a3);  // words 16-31
    const __m256i bytes8 =
        _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), bytes8);
  }
}

#endif  // IE_RESAMPLE_X86

// Plain passes, for 16-bit samples, for weights outside the 16-bit path and
// for machines without AVX2.
template <typename TS, int C, typename TAcc>
void HorizontalPlain(const TS* src, TS* dst, const TWeightTable& t, int count, bool divideBy256) {
  for (int i = 0; i < count; ++i) {
    const int32_t* w = &t.Weights[t.Offset[i]];
    const TS* s = src + int64_t(t.First[i]) * C;
    TAcc sum[C] = {};
    for (int k = 0, n = t.Count[i]; k < n; ++k, s += C)
      for (int ch = 0; ch < C; ++ch) sum[ch] += TAcc(w[k]) * s[ch];
    for (int ch = 0; ch < C; ++ch)
      dst[int64_t(i) * C + ch] = Finish<TS>(sum[ch], t.Total[i], divideBy256);
  }
}

template <typename TS, typename TAcc>
void VerticalPlain(const TS* const* rows, const int32_t* w, int n, int64_t samples, int64_t total,
                   TAcc* acc, TS* out) {
  std::fill(acc, acc + samples, TAcc(0));
  for (int k = 0; k < n; ++k) {
    const TS* r = rows[k];
    const TAcc wk = w[k];
    for (int64_t x = 0; x < samples; ++x) acc[x] += wk * r[x];
  }
  for (int64_t x = 0; x < samples; ++x) out[x] = Finish<TS>(acc[x], total, false);
}

// Bands ---------------------------------------------------------------------

// Runs band(index, firstRow, endRow) over rows split into n bands of rows / n
// rows, the last taking the remainder. Band 0 runs on the calling thread (so
// progress reports come from it); a band whose thread cannot start runs there
// too, after band 0.
template <typename TBand>
void RunBands(int rows, int n, TBand&& band) {
  if (n <= 1) {
    band(0, 0, rows);
    return;
  }
  const int per = rows / n;
  struct TJoin {
    std::vector<std::thread> threads;
    ~TJoin() {
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } pool;
  std::vector<int> unstarted;
  for (int b = 1; b < n; ++b) {
    const int y0 = b * per, y1 = b == n - 1 ? rows : y0 + per;
    try {
      pool.threads.emplace_back([&band, b, y0, y1] { band(b, y0, y1); });
    } catch (const std::system_error&) {
      unstarted.push_back(b);
    }
  }
  band(0, 0, per);
  for (int b : unstarted) band(b, b * per, b == n - 1 ? rows : (b + 1) * per);
}

class TProgress {
 public:
  TProgress(const TIEResampleOptions& options, double denominator)
      : fOptions(options), fDenominator(denominator) {}
  void Report(double numerator) {
    if (!fOptions.OnProgress || !*fOptions.OnProgress) return;
    const int percent = static_cast<int>(numerator * 100 / fDenominator);
    if (percent == fLast) return;
    fLast = percent;
    (*fOptions.OnProgress)(fOptions.Sender, percent);
  }

 private:
  const TIEResampleOptions& fOptions;
  double fDenominator;
  int fLast = -1;
};

// The engine ----------------------------------------------------------------

template <typename TS, int C>
void KernelEngine(TIEBitmap& S, TIEBitmap& T, const TKernel& kernel, int threads,
                  const TIEResampleOptions& options) {
  const int w = S.Width(), h = S.Height(), W = T.Width(), H = T.Height();
  // Only the colour pass divides a zero total by 256.
  const bool divideBy256 = C == 3;
  const TWeightTable horz = BuildWeights(w, W, kernel);
  const TWeightTable vert = BuildWeights(h, H, kernel);

  constexpr bool kBytes = sizeof(TS) == 1;
  const bool fastH = kBytes && UseAvx2() && horz.Small;
  const bool fastV = kBytes && UseAvx2() && vert.Small;
  // 8-bit and 24-bit rows are read where they lie; 1-bit and 16-bit rows
  // are unpacked into a buffer first.
  const bool direct = kBytes && S.PixelFormat() != ie1g;
  const int64_t rowBytes = int64_t(w) * C * int64_t(sizeof(TS));
  const int64_t reach = direct ? rowBytes : std::numeric_limits<int64_t>::max();
  TPackedWeights packed;
  if (fastH) packed = C == 3 ? PackColour(horz, divideBy256, reach) : PackGray(horz, reach);
  const bool needTail = direct && packed.TailStart < rowBytes;

  const int64_t samples = int64_t(W) * C;  // per intermediate row
  if (!IEImageSizeOk(W, h, 8 * int64_t(sizeof(TS)) * C))
    throw EIEException("Not enough memory to resample the image");
  const int64_t strideBytes = ((samples + 1) * int64_t(sizeof(TS)) + 31) / 32 * 32;
  TWorkRows work;
  work.Allocate(h, strideBytes);

  int n = std::clamp(threads, 1, h);
  if (S.Location() == ieFile) n = 1;
  const int64_t bufferBytes = direct ? (needTail ? packed.ReadEnd - packed.TailStart + 64 : 0)
                                     : std::max(rowBytes, packed.ReadEnd) + 64;
  std::vector<std::vector<uint8_t>> buffers(static_cast<size_t>(n));
  for (auto& b : buffers) b.assign(static_cast<size_t>(bufferBytes), 0);

  // Percent of h source rows plus H target rows; band 0 speaks for all bands.
  TProgress progress(options, double(h) + H + 0.5);
  {
    TIEResampleAccess readOnly(S, ieaRead);
    RunBands(h, n, [&](int band, int y0, int y1) {
      uint8_t* buffer = buffers[band].data();
      for (int y = y0; y < y1; ++y) {
        const TS* src;
        const uint8_t* tail = nullptr;
        if (direct) {
          const uint8_t* row = S.Scanline(y);
          src = reinterpret_cast<const TS*>(row);
          if (needTail) {
            std::memcpy(buffer, row + packed.TailStart,
                        static_cast<size_t>(rowBytes - packed.TailStart));
            tail = buffer;
          }
        } else {
          IEResampleFetchRow(S, y, reinterpret_cast<TS*>(buffer));
          src = reinterpret_cast<const TS*>(buffer);
        }
        uint8_t* out = work.Row(y);
#ifdef IE_RESAMPLE_X86
        if (fastH) {
          if constexpr (kBytes) {
            if constexpr (C == 3)
              HorizontalColourAvx2(src, tail, out, horz, packed, W);
            else
              HorizontalGrayAvx2(src, tail, out, horz, packed, W);
          }
        } else
#endif
        {
          TS* dst = reinterpret_cast<TS*>(out);
          if (kBytes && horz.Small)
            HorizontalPlain<TS, C, int32_t>(src, dst, horz, W, divideBy256);
          else
            HorizontalPlain<TS, C, int64_t>(src, dst, horz, W, divideBy256);
        }
        const int64_t used = samples * int64_t(sizeof(TS));
        std::memset(out + used, 0, static_cast<size_t>(strideBytes - used));
        if (band == 0) progress.Report(double(n) * y + 1);
      }
    });
  }

  std::vector<uint8_t> outRow(static_cast<size_t>(strideBytes));
  std::vector<int64_t> acc(fastV ? 0 : static_cast<size_t>(samples));
  std::vector<const TS*> rowPtrs(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) rowPtrs[y] = reinterpret_cast<const TS*>(work.Row(y));
  TS* out = reinterpret_cast<TS*>(outRow.data());
  TIEResampleAccess writeOnly(T, ieaWrite);
  for (int r = 0; r < H; ++r) {
    const int32_t* wv = &vert.Weights[vert.Offset[r]];
    const int first = vert.First[r], count = vert.Count[r];
    const int64_t total = vert.Total[r];
#ifdef IE_RESAMPLE_X86
    if constexpr (kBytes) {
      if (fastV && total != 0) {
        VerticalBytesAvx2(work.Rows() + first, wv, count, samples, float(total), outRow.data());
        IEResampleStoreRow(T, r, out, C);
        progress.Report(double(h) + r + 1);
        continue;
      }
    }
#endif
    if (acc.empty()) acc.resize(static_cast<size_t>(samples));
    VerticalPlain<TS, int64_t>(rowPtrs.data() + first, wv, count, samples, total, acc.data(), out);
    IEResampleStoreRow(T, r, out, C);
    progress.Report(double(h) + r + 1);
  }
  T.FlushRows();
}

}  // namespace

void IEResampleSetSimd(bool enabled) { gSimdEnabled = enabled; }

void IEResampleFetchRow(TIEBitmap& source, int y, uint8_t* out) {
  const uint8_t* row = source.Scanline(y);
  const int w = source.Width();
  if (source.PixelFormat() == ie1g) {
    static const auto kExpand = [] {
      std::array<uint64_t, 256> table{};
      for (int v = 0; v < 256; ++v) {
        uint8_t bytes[8];
        for (int b = 0; b < 8; ++b) bytes[b] = (v >> (7 - b)) & 1 ? 255 : 0;
        std::memcpy(&table[v], bytes, 8);
      }
      return table;
    }();
    int x = 0;
    for (; x + 8 <= w; x += 8) std::memcpy(out + x, &kExpand[row[x >> 3]], 8);
    for (; x < w; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
  } else {
    std::memcpy(out, row, static_cast<size_t>(w) * static_cast<size_t>(source.BitCount() / 8));
  }
}

void IEResampleFetchRow(TIEBitmap& source, int y, uint16_t* out) {
  const uint8_t* row = source.Scanline(y);
  const int64_t samples = int64_t(source.Width()) * (source.BitCount() / 16);
  for (int64_t i = 0; i < samples; ++i) out[i] = uint16_t(row[2 * i] | (row[2 * i + 1] << 8));
}

void IEResampleStoreRow(TIEBitmap& target, int y, const uint8_t* in, int channels) {
  uint8_t* row = target.Scanline(y);
  const int w = target.Width();
  if (target.PixelFormat() == ie24RGB && channels == 1) {
    for (int x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = in[x];
  } else {
    std::memcpy(row, in, static_cast<size_t>(w) * static_cast<size_t>(channels));
  }
}

void IEResampleStoreRow(TIEBitmap& target, int y, const uint16_t* in, int channels) {
  uint8_t* row = target.Scanline(y);
  for (int64_t i = 0, n = int64_t(target.Width()) * channels; i < n; ++i) {
    row[2 * i] = uint8_t(in[i]);
    row[2 * i + 1] = uint8_t(in[i] >> 8);
  }
}

void IEResampleKernel(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter, int threads,
                      const TIEResampleOptions& options) {
  const TKernel kernel = KernelOf(filter);
  switch (source.PixelFormat()) {
    case ie1g:
    case ie8g:
      KernelEngine<uint8_t, 1>(source, target, kernel, threads, options);
      break;
    case ie24RGB:
      KernelEngine<uint8_t, 3>(source, target, kernel, threads, options);
      break;
    case ie16g:
      KernelEngine<uint16_t, 1>(source, target, kernel, threads, options);
      break;
    case ieRGB48:
      KernelEngine<uint16_t, 3>(source, target, kernel, threads, options);
      break;
    default:
      throw EIEException("Unsupported pixel format for resampling");
  }
}
