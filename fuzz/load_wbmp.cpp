// The WBMP reader on arbitrary bytes.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.LoadFromStreamWBMP(stream);
  volatile uint8_t sink = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    for (int64_t i = 0; i < bitmap.RowLen(); ++i) sink = sink ^ row[i];
  }
  return 0;
}
