#include "wbmpfilt.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

namespace {

// A WBMP cut short still loads the rows it has, up to this many times fewer
// bytes than its size needs.
constexpr int64_t kTruncationSlack = 16;

// A multi-byte integer: 7 bits a byte, most significant group first, bit 7
// set on every byte but the last. More than four bytes is no header of ours
// (and stops a stream of endless continuation bytes).
bool ReadMultiByte(TIEStream& stream, int64_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t b;
    if (!stream.ReadExact(&b, 1)) return false;
    value = (value << 7) | (b & 0x7F);
    if (!(b & 0x80)) return true;
  }
  return false;
}

}  // namespace

void IEWbmpReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                      TProgressRecord& progress) {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  int64_t type = 0, fixed = 0, width = 0, height = 0;
  if (!ReadMultiByte(stream, type) || !ReadMultiByte(stream, fixed) || !ReadMultiByte(stream, width) ||
      !ReadMultiByte(stream, height) || type != 0 || fixed != 0 || width == 0 || height == 0) {
    progress.Abort();
    return;
  }
  params.Width = params.OriginalWidth = static_cast<int32_t>(width);
  params.Height = params.OriginalHeight = static_cast<int32_t>(height);
  params.BitsPerSample = params.SamplesPerPixel = 1;
  params.SetDpiX(settings.DefaultDpiX);
  params.SetDpiY(settings.DefaultDpiY);
  params.SetImageCount(1);
  params.FreeColorMap();
  if (headerOnly) return;

  if (!IEImageSizeOk(width, height, 1) ||
      !IEPlausibleForInput(width, height, stream.Remaining(), 8 * kTruncationSlack) ||
      !bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), ie1g)) {
    progress.Abort();
    return;
  }
  const int w = static_cast<int>(width), ht = static_cast<int>(height);
  const int64_t rowLen = (width + 7) / 8;
  std::vector<uint8_t> row(static_cast<size_t>(rowLen));
  int lastPercent = -1;
  for (int y = 0; y < ht; ++y) {
    const int percent = static_cast<int>(static_cast<int64_t>(y) * 100 / ht);
    if (percent != lastPercent) {
      progress.Report(percent);
      lastPercent = percent;
    }
    if (progress.Aborted()) return;
    const int64_t got = stream.Read(row.data(), rowLen);
    if (got <= 0) break;
    if (got < rowLen) std::fill(row.begin() + got, row.end(), uint8_t(0));
    uint8_t* dst = bitmap.Scanline(y);
    std::memcpy(dst, row.data(), static_cast<size_t>(rowLen));
    // Bits past the width are padding.
    if (w & 7) dst[rowLen - 1] &= uint8_t(0xFF00 >> (w & 7));
  }
}

void IEWbmpLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>&) {
  IEWbmpReadStream(stream, bitmap, params, false, progress);
}
