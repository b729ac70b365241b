// The BMP reader on arbitrary bytes, in its default and native modes.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int mode = 0; mode < 2; ++mode) {
    TIEMemoryStream stream(data, static_cast<int64_t>(size));
    TIEBitmap bitmap;
    TIEImageIO io(&bitmap);
    io.Params().NativePixelFormat = mode == 1;
    io.Params().BmpReadAlpha = mode == 1;
    io.LoadFromStreamBMP(stream);
    TouchRows(bitmap);
  }
  return 0;
}
