// The TGA reader on arbitrary bytes, through the load front.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.LoadFromStreamTGA(stream);
  TouchRows(bitmap);
  return 0;
}
