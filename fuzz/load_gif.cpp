// The GIF reader on arbitrary bytes: a still frame, an animation drawn up to
// a later frame (in native mode), a raw frame, and the frame count.
#include <cstdint>

#include "giffilter.h"
#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  struct Mode {
    int index;
    bool raw, native;
  };
  for (const Mode& m : {Mode{0, false, false}, Mode{3, false, true}, Mode{1, true, false}}) {
    TIEMemoryStream stream(data, static_cast<int64_t>(size));
    TIEBitmap bitmap;
    TIEImageIO io(&bitmap);
    io.Params().SetImageIndex(m.index);
    io.Params().GifRawFrame = m.raw;
    io.Params().NativePixelFormat = m.native;
    io.LoadFromStreamGIF(stream);
    TouchRows(bitmap);
  }
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  IEGifFrameCount(stream);
  return 0;
}
