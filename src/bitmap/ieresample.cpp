// The Resample front of TIEBitmap and the dispatcher that picks a routine by
// filter and pixel format.

#include "ieresample.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "ieconvert.h"
#include "iecore.h"
#include "ieglobal.h"

namespace {

bool IsProjection(TResampleFilter f) { return f == rfProjectBW || f == rfProjectWB; }

// There is no platform imaging component: its filters run as the kernel
// filter closest to each.
TResampleFilter WithoutPlatform(TResampleFilter f) {
  switch (f) {
    case rfWICNearestNeighbor:
      return rfNearest;
    case rfWICLinear:
      return rfLinear;
    case rfWICCubic:
      return rfMitchell;
    case rfWICFant:
      return rfTriangle;
    default:
      return f > rfWICFant ? rfNone : f;
  }
}

// Formats with a dedicated bilinear and bicubic routine.
bool HasInterpolation(TIEPixelFormat f) {
  return f == ie8g || f == ie16g || f == ie24RGB || f == ieRGB48;
}

// The replacement for rfBilinear/rfBicubic on other formats; a setting that
// names one of those two (or no filter) would loop, so it means rfFastLinear.
TResampleFilter FallbackFilter() {
  TResampleFilter f = WithoutPlatform(IEGlobalSettings().ResampleFallbackFilter);
  if (f == rfNone || f == rfBilinear || f == rfBicubic) f = rfFastLinear;
  return f;
}

// The filter that runs for a source format.
TResampleFilter EffectiveFilter(TIEPixelFormat source, TResampleFilter filter) {
  TResampleFilter f = WithoutPlatform(filter);
  if (source != ie1g && (f == rfBilinear || f == rfBicubic) && !HasInterpolation(source))
    f = FallbackFilter();
  return f;
}

// Whether the routines read this format directly for filter f (else the
// source goes through an ie24RGB copy first).
bool ReadsDirectly(TIEPixelFormat source, TResampleFilter f) {
  switch (source) {
    case ie1g:
    case ie8g:
    case ie16g:
    case ie24RGB:
      return true;
    case ieRGB48:
      return f == rfBilinear || f == rfBicubic;
    default:
      return false;
  }
}

// Every pixel of target := the single pixel of source (same format).
void FillFromPixel(TIEBitmap& source, TIEBitmap& target) {
  const int bytes = source.BitCount() / 8;
  uint8_t pixel[8] = {};
  std::memcpy(pixel, source.Scanline(0), static_cast<size_t>(bytes));
  std::vector<uint8_t> row(static_cast<size_t>(target.Width()) * static_cast<size_t>(bytes));
  for (size_t x = 0; x < row.size(); x += static_cast<size_t>(bytes))
    std::memcpy(&row[x], pixel, static_cast<size_t>(bytes));
  TIEResampleAccess writeOnly(target, ieaWrite);
  for (int y = 0; y < target.Height(); ++y) std::memcpy(target.Scanline(y), row.data(), row.size());
  target.FlushRows();
}

void AllocateTarget(TIEBitmap& target, int width, int height, TIEPixelFormat format) {
  if (!target.Allocate(width, height, format))
    throw EIEException("Not enough memory to resample the image");
}

}  // namespace

bool IEResampleFinalSize(int width, int height, int requestedWidth, int requestedHeight,
                         bool keepAspect, int& finalWidth, int& finalHeight) {
  if (width <= 0 || height <= 0) return false;
  if (requestedWidth == -1 && requestedHeight == -1) {
    finalWidth = width;
    finalHeight = height;
    return true;
  }
  // 0 keeps the current side, other negative values count as their magnitude.
  auto plain = [](int requested, int current) -> int64_t {
    if (requested == 0) return current;
    return requested < 0 ? -int64_t(requested) : int64_t(requested);
  };
  auto fit = [](int64_t v) -> int {
    return static_cast<int>(std::clamp<int64_t>(v, 1, std::numeric_limits<int32_t>::max()));
  };
  int64_t w, h;
  if (requestedWidth == -1) {
    w = plain(requestedHeight, height) * width / height;
  } else {
    w = plain(requestedWidth, width);
  }
  w = fit(w);
  if (requestedHeight == -1)
    h = w * height / width;
  else
    h = plain(requestedHeight, height);
  h = fit(h);

  if (keepAspect && requestedWidth >= 1 && requestedHeight >= 1) {
    const int64_t bw = requestedWidth, bh = requestedHeight;
    if (bw * height <= bh * width) {
      w = bw;
      h = std::clamp<int64_t>((2 * height * bw + width) / (2 * int64_t(width)), 1, bh);
    } else {
      h = bh;
      w = std::clamp<int64_t>((2 * width * bh + height) / (2 * int64_t(height)), 1, bw);
    }
  }
  finalWidth = static_cast<int>(w);
  finalHeight = static_cast<int>(h);
  return true;
}

int IEResampleThreadCount(const TIEBitmap& source) {
  // File storage hands out one mapped row at a time: one thread only.
  if (source.Location() == ieFile) return 1;
  const TIEGlobalSettings& g = IEGlobalSettings();
  if (int64_t(source.Width()) * source.Height() < g.MinPixelsForThreads) return 1;
  return std::max(1, std::min<int>(g.MaxThreadCount, g.ProcessorCoreCount()));
}

TIEPixelFormat IEResampleResultFormat(TIEPixelFormat source, TResampleFilter filter) {
  if (filter == rfNone || source == ieNull) return source;
  const TResampleFilter f = EffectiveFilter(source, filter);
  if (f == rfNone) return source;
  if (source == ie1g) return IsProjection(f) ? ie1g : ie24RGB;
  if (ReadsDirectly(source, f)) return source;
  return ie24RGB;
}

void IEResample(TIEBitmap& source, TIEBitmap& target, int width, int height, TResampleFilter filter,
                const TIEResampleOptions& options) {
  if (&source == &target) throw EIEException("Resampling needs a separate target");
  if (source.IsEmpty() || width < 1 || height < 1) return;
  if (width == source.Width() && height == source.Height()) {
    target.Assign(&source);
    return;
  }
  const TIEPixelFormat format = source.PixelFormat();
  const TResampleFilter f = EffectiveFilter(format, filter);

  if (filter == rfNone || f == rfNone) {
    AllocateTarget(target, width, height, format);
    if (format == ie8p) source.CopyPaletteTo(target);
    IEResampleNearest(source, target);
  } else {
    TIEBitmap converted;
    TIEBitmap* s = &source;
    if (!ReadsDirectly(format, f)) {
      converted.SetMemoryThreshold(source.MemoryThreshold());
      if (!converted.Allocate(source.Width(), source.Height(), ie24RGB))
        throw EIEException("Not enough memory to resample the image");
      IECopyAndConvertFormat(source, converted);
      converted.RemoveAlphaChannel();
      s = &converted;
    }
    AllocateTarget(target, width, height, IEResampleResultFormat(format, filter));
    TIEResampleOptions run = options;
    if (run.Threads <= 0) run.Threads = IEResampleThreadCount(*s);
    if (s->PixelFormat() != ie1g && s->Width() == 1 && s->Height() == 1) {
      FillFromPixel(*s, target);
    } else if (IsProjection(f)) {
      IEResampleProject(*s, target, f);
    } else if (f == rfFastLinear || (s->PixelFormat() == ie1g && f >= rfFastLinear)) {
      IEResampleInterpolate(*s, target, f);
    } else {
      IEResampleKernel(*s, target, f, run.Threads, run);
    }
  }

  // The alpha channel follows with the same filter, as an ie8g picture.
  if (TIEBitmap* alpha = source.AlphaChannelOrNull()) {
    auto scaled = std::make_unique<TIEBitmap>();
    scaled->SetMemoryThreshold(alpha->MemoryThreshold());
    IEResample(*alpha, *scaled, width, height, filter, TIEResampleOptions{});
    scaled->SetFull(alpha->Full());
    target.ReplaceAlphaChannel(std::move(scaled));
  } else {
    target.RemoveAlphaChannel();
  }
}

bool TIEBitmap::Resample(int newWidth, int newHeight, TResampleFilter filter, bool keepAspect,
                         bool shrinkOnly) {
  if (IsEmpty()) return false;
  if (newWidth == fWidth && newHeight == fHeight) return true;
  int w = 0, h = 0;
  if (!IEResampleFinalSize(fWidth, fHeight, newWidth, newHeight, keepAspect, w, h)) return false;
  if (shrinkOnly && !(w < fWidth && h < fHeight)) return true;
  if (w == fWidth && h == fHeight) return true;
  const TIEPixelFormat format = IEResampleResultFormat(fPixelFormat, filter);
  if (!IEImageSizeOk(w, h, IEBitsPerPixel(format))) return false;

  TIEResampleOptions options;
  options.OnProgress = &fOnProgress;
  options.Sender = this;
  const bool full = fFull;
  // Copy whichever is smaller, the source or the result; the other one is
  // made in place.
  const int64_t before = fRowLen * fHeight;
  const int64_t after = IERowLen(w, IEBitsPerPixel(format), fRowAlign) * h;
  if (after >= 0 && after <= before) {
    TIEBitmap result;
    result.SetMemoryThreshold(fMemoryThreshold);
    result.SetRowAlign(fRowAlign);
    IEResample(*this, result, w, h, filter, options);
    // Assign takes these from its source: keep ours.
    result.SetRowOrderReversed(fRowOrderReversed);
    result.SetMonoConversion(fMonoConversion);
    result.SetDisplayRange(fDisplayRange.Min, fDisplayRange.Max);
    result.InputICCProfile() = fInputICC;
    result.OutputICCProfile() = fOutputICC;
    result.SetFull(full);
    Assign(&result);
  } else {
    TIEBitmap source;
    source.SetMemoryThreshold(fMemoryThreshold);
    source.Assign(this);
    IEResample(source, *this, w, h, filter, options);
    fFull = full;
  }
  return true;
}
