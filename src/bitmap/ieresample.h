// Scaling of bitmaps. TIEBitmap::Resample is the front; the routines here do
// the work from a source bitmap into a separate target bitmap.
#pragma once

#include <cstdint>
#include <functional>

#include "iebitmap.h"

// Final size of a Resample request for a width x height picture: -1 derives a
// side from the other one, 0 keeps it, other negative values are taken as
// their magnitude, and results stay at least 1. With keepAspect (only when
// both requested sides are positive) the largest size of the picture's
// aspect ratio that fits the request. Both sides -1 keep the current size.
// False for a picture that is empty.
bool IEResampleFinalSize(int width, int height, int requestedWidth, int requestedHeight,
                         bool keepAspect, int& finalWidth, int& finalHeight);

struct TIEResampleOptions {
  // Threads of the horizontal pass; 0 decides from the global settings and
  // the source's storage (file-stored sources always use one).
  int Threads = 0;
  // Called with 0..100 as work proceeds, always on the calling thread.
  const std::function<void(void* sender, int percent)>* OnProgress = nullptr;
  void* Sender = nullptr;
};

// Scales source into target, which is allocated here at width x height in
// the result format of the filter. The source is read only, except that a
// format the routines cannot read directly may be converted to ie24RGB in
// place first. Throws EIEException when the working memory cannot be had.
void IEResample(TIEBitmap& source, TIEBitmap& target, int width, int height, TResampleFilter filter,
                const TIEResampleOptions& options = {});

// Threads the horizontal pass of a kernel filter uses for this source.
int IEResampleThreadCount(const TIEBitmap& source);

// The pixel format a source of this format has after scaling with filter.
TIEPixelFormat IEResampleResultFormat(TIEPixelFormat source, TResampleFilter filter);

// Internal: the routines behind IEResample, one per family of filters. Both
// bitmaps are allocated at their final sizes and formats by the caller;
// neither is empty.

// Filters 1 to 8, rfBilinear (a triangle) and rfBicubic (Catmull-Rom) on
// ie1g (target ie24RGB gray), ie8g, ie16g, ie24RGB or ieRGB48 sources; the
// horizontal pass runs on `threads` threads unless the source is file-stored.
void IEResampleKernel(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter, int threads,
                      const TIEResampleOptions& options);
// Point sampling, every format, format kept.
void IEResampleNearest(TIEBitmap& source, TIEBitmap& target);
// Linear interpolation between the two nearest pixels on each axis, on ie8g,
// ie16g, ie24RGB and ieRGB48 (format kept) and ie1g (target ie24RGB gray).
void IEResampleInterpolate(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter);
// rfProjectBW (darkest source pixel of each target pixel's area wins) and
// rfProjectWB (lightest wins) on ie1g, ie8g, ie16g, ie24RGB and ieRGB48,
// format kept.
void IEResampleProject(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter);

// Turns SIMD inner loops off or on (on by default where the processor has
// them); results are the same either way. For tests and benchmarks.
void IEResampleSetSimd(bool enabled);

// Internal row helpers. Fetch: row y as samples (ie1g bits as 0 or 255,
// 16-bit words from little endian). Store: samples into row y; one channel
// into an ie24RGB target is written as gray.
void IEResampleFetchRow(TIEBitmap& source, int y, uint8_t* out);
void IEResampleFetchRow(TIEBitmap& source, int y, uint16_t* out);
void IEResampleStoreRow(TIEBitmap& target, int y, const uint8_t* in, int channels);
void IEResampleStoreRow(TIEBitmap& target, int y, const uint16_t* in, int channels);

// Sets a bitmap's Access for a scope, so file storage does only the I/O
// needed.
class TIEResampleAccess {
 public:
  TIEResampleAccess(TIEBitmap& bitmap, uint8_t access) : fBitmap(bitmap), fSaved(bitmap.Access()) {
    bitmap.SetAccess(access);
  }
  ~TIEResampleAccess() { fBitmap.SetAccess(fSaved); }
  TIEResampleAccess(const TIEResampleAccess&) = delete;
  TIEResampleAccess& operator=(const TIEResampleAccess&) = delete;

 private:
  TIEBitmap& fBitmap;
  uint8_t fSaved;
};
