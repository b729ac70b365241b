// The resampling routines without a kernel table: point sampling (rfNone),
// linear interpolation (rfFastLinear, and every interpolating filter on
// ie1g) and the projections that keep thin lines of 1-bit scans.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "iecore.h"
#include "ieresample.h"

namespace {

// Target pixel i covers the source from (i + 0.5) * src / dst - 0.5 on, in
// pixel centres.
double CentreOf(int i, int src, int dst) { return (i + 0.5) * src / dst - 0.5; }

// Source index of target index i for point sampling: the pixel whose area
// holds the target pixel's centre.
std::vector<int> PointMap(int src, int dst) {
  std::vector<int> map(static_cast<size_t>(dst));
  for (int i = 0; i < dst; ++i)
    map[i] = static_cast<int>(
        std::min<int64_t>(src - 1, (2 * int64_t(i) + 1) * src / (2 * int64_t(dst))));
  return map;
}

// Linear interpolation between two source pixels, weight of the second in
// 256ths.
struct TLinearTap {
  int First, Second, Weight;
};

std::vector<TLinearTap> LinearTaps(int src, int dst) {
  std::vector<TLinearTap> taps(static_cast<size_t>(dst));
  for (int i = 0; i < dst; ++i) {
    const double u = std::clamp(CentreOf(i, src, dst), 0.0, double(src - 1));
    const int a = static_cast<int>(u);
    taps[i] = {a, std::min(a + 1, src - 1), static_cast<int>(std::lround((u - a) * 256))};
  }
  return taps;
}

template <typename TS, int C>
void FastLinear(TIEBitmap& S, TIEBitmap& T) {
  const int w = S.Width(), W = T.Width(), H = T.Height();
  const std::vector<TLinearTap> xt = LinearTaps(w, W), yt = LinearTaps(S.Height(), H);
  const size_t samples = static_cast<size_t>(W) * C;
  std::vector<TS> line(static_cast<size_t>(w) * C);
  // Two horizontally interpolated source rows (x 256), by row number.
  struct TCached {
    int row = -1;
    std::vector<int64_t> values;
  } cache[2];
  for (auto& c : cache) c.values.resize(samples);
  auto interpolated = [&](int y, int keep) -> const std::vector<int64_t>& {
    for (auto& c : cache)
      if (c.row == y) return c.values;
    TCached& c = cache[cache[0].row == keep ? 1 : 0];
    IEResampleFetchRow(S, y, line.data());
    for (int i = 0; i < W; ++i) {
      const TLinearTap& t = xt[i];
      for (int ch = 0; ch < C; ++ch)
        c.values[size_t(i) * C + ch] = int64_t(line[size_t(t.First) * C + ch]) * (256 - t.Weight) +
                                       int64_t(line[size_t(t.Second) * C + ch]) * t.Weight;
    }
    c.row = y;
    return c.values;
  };
  std::vector<TS> out(samples);
  TIEResampleAccess readOnly(S, ieaRead);
  TIEResampleAccess writeOnly(T, ieaWrite);
  for (int r = 0; r < H; ++r) {
    const TLinearTap& t = yt[r];
    const std::vector<int64_t>& a = interpolated(t.First, t.Second);
    const std::vector<int64_t>& b = interpolated(t.Second, t.First);
    for (size_t x = 0; x < samples; ++x)
      out[x] = static_cast<TS>((a[x] * (256 - t.Weight) + b[x] * t.Weight + 32768) >> 16);
    IEResampleStoreRow(T, r, out.data(), C);
  }
  T.FlushRows();
}

// Source range [First, End) of each target pixel: the pixels under it when
// shrinking, the one under its centre when enlarging.
struct TSpan {
  int First, End;
};

std::vector<TSpan> Spans(int src, int dst) {
  std::vector<TSpan> spans(static_cast<size_t>(dst));
  if (dst >= src) {
    const std::vector<int> map = PointMap(src, dst);
    for (int i = 0; i < dst; ++i) spans[i] = {map[i], map[i] + 1};
    return spans;
  }
  for (int i = 0; i < dst; ++i) {
    const int a = static_cast<int>(int64_t(i) * src / dst);
    const int b = static_cast<int>(int64_t(i + 1) * src / dst);
    spans[i] = {a, std::max(b, a + 1)};
  }
  return spans;
}

template <typename TS, int C>
void Project(TIEBitmap& S, TIEBitmap& T, bool darkest) {
  const int w = S.Width(), W = T.Width(), H = T.Height();
  const std::vector<TSpan> xs = Spans(w, W), ys = Spans(S.Height(), H);
  auto pick = [darkest](TS a, TS b) { return darkest ? std::min(a, b) : std::max(a, b); };
  std::vector<TS> acc(static_cast<size_t>(w) * C), line(acc.size()),
      out(static_cast<size_t>(W) * C);
  std::vector<uint8_t> bits;
  const bool oneBit = T.PixelFormat() == ie1g;
  TSpan held{-1, -1};
  TIEResampleAccess readOnly(S, ieaRead);
  TIEResampleAccess writeOnly(T, ieaWrite);
  for (int r = 0; r < H; ++r) {
    const TSpan rows = ys[r];
    if (rows.First != held.First || rows.End != held.End) {
      IEResampleFetchRow(S, rows.First, acc.data());
      for (int y = rows.First + 1; y < rows.End; ++y) {
        IEResampleFetchRow(S, y, line.data());
        for (size_t x = 0; x < acc.size(); ++x) acc[x] = pick(acc[x], line[x]);
      }
      held = rows;
    }
    for (int i = 0; i < W; ++i) {
      for (int ch = 0; ch < C; ++ch) {
        TS v = acc[size_t(xs[i].First) * C + ch];
        for (int x = xs[i].First + 1; x < xs[i].End; ++x) v = pick(v, acc[size_t(x) * C + ch]);
        out[size_t(i) * C + ch] = v;
      }
    }
    if (oneBit) {
      uint8_t* row = T.Scanline(r);
      std::memset(row, 0, static_cast<size_t>((W + 7) / 8));
      for (int i = 0; i < W; ++i)
        if (out[i]) row[i >> 3] |= uint8_t(0x80 >> (i & 7));
    } else {
      IEResampleStoreRow(T, r, out.data(), C);
    }
  }
  T.FlushRows();
}

}  // namespace

void IEResampleNearest(TIEBitmap& S, TIEBitmap& T) {
  const int W = T.Width(), H = T.Height();
  const std::vector<int> xs = PointMap(S.Width(), W), ys = PointMap(S.Height(), H);
  const int bits = S.BitCount();
  const size_t bytes = static_cast<size_t>(bits / 8);
  std::vector<uint8_t> line(static_cast<size_t>(S.RowLen()));
  int held = -1;
  TIEResampleAccess readOnly(S, ieaRead);
  TIEResampleAccess writeOnly(T, ieaWrite);
  for (int r = 0; r < H; ++r) {
    if (ys[r] != held) {
      std::memcpy(line.data(), S.Scanline(ys[r]), line.size());
      held = ys[r];
    }
    uint8_t* row = T.Scanline(r);
    if (bits == 1) {
      std::memset(row, 0, static_cast<size_t>((W + 7) / 8));
      for (int i = 0; i < W; ++i)
        if ((line[xs[i] >> 3] >> (7 - (xs[i] & 7))) & 1) row[i >> 3] |= uint8_t(0x80 >> (i & 7));
      continue;
    }
    switch (bytes) {
      case 1:
        for (int i = 0; i < W; ++i) row[i] = line[xs[i]];
        break;
      case 3:
        for (int i = 0; i < W; ++i) std::memcpy(row + 3 * size_t(i), &line[3 * size_t(xs[i])], 3);
        break;
      default:
        for (int i = 0; i < W; ++i) std::memcpy(row + bytes * i, &line[bytes * xs[i]], bytes);
    }
  }
  T.FlushRows();
}

void IEResampleInterpolate(TIEBitmap& S, TIEBitmap& T, TResampleFilter) {
  switch (S.PixelFormat()) {
    case ie1g:
    case ie8g:
      FastLinear<uint8_t, 1>(S, T);
      break;
    case ie24RGB:
      FastLinear<uint8_t, 3>(S, T);
      break;
    case ie16g:
      FastLinear<uint16_t, 1>(S, T);
      break;
    case ieRGB48:
      FastLinear<uint16_t, 3>(S, T);
      break;
    default:
      throw EIEException("Unsupported pixel format for resampling");
  }
}

void IEResampleProject(TIEBitmap& S, TIEBitmap& T, TResampleFilter filter) {
  const bool darkest = filter == rfProjectBW;
  switch (S.PixelFormat()) {
    case ie1g:
    case ie8g:
      Project<uint8_t, 1>(S, T, darkest);
      break;
    case ie24RGB:
      Project<uint8_t, 3>(S, T, darkest);
      break;
    case ie16g:
      Project<uint16_t, 1>(S, T, darkest);
      break;
    case ieRGB48:
      Project<uint16_t, 3>(S, T, darkest);
      break;
    default:
      throw EIEException("Unsupported pixel format for resampling");
  }
}
