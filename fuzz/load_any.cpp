// The whole load front from memory: detection, then whichever reader exists.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.LoadFromStream(stream);
  TouchRows(bitmap);
  return 0;
}
