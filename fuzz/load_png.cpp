// The PNG reader on arbitrary bytes, in its default and native modes.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

static void TouchRows(TIEBitmap& bitmap) {
  volatile uint8_t sink = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    for (int64_t i = 0; i < bitmap.RowLen(); ++i) sink = sink ^ row[i];
  }
  if (TIEBitmap* alpha = bitmap.AlphaChannelOrNull()) TouchRows(*alpha);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int mode = 0; mode < 2; ++mode) {
    TIEMemoryStream stream(data, static_cast<int64_t>(size));
    TIEBitmap bitmap;
    TIEImageIO io(&bitmap);
    io.Params().NativePixelFormat = mode == 1;
    io.LoadFromStreamPNG(stream);
    TouchRows(bitmap);
  }
  return 0;
}
