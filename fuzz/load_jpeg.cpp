// The JPEG reader on arbitrary bytes. The last byte picks the options so that
// scaled, native-format and orientation paths are all reached.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t pick = size ? data[size - 1] : 0;
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  TIOParams& p = io.Params();
  p.NativePixelFormat = pick & 1;
  p.JpegScale = (pick >> 1) & 7;
  if (p.JpegScale == 0) p.Width = 40, p.Height = 30;
  p.SetEnableAdjustOrientation(pick & 16);
  p.JpegDctMethod = (pick >> 5) % 3;
  io.LoadFromStreamJpeg(stream);
  TouchRows(bitmap);
  return 0;
}
