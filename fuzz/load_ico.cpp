// The icon and cursor readers on arbitrary bytes: the first bytes choose
// the image index, the reader, the mode and whether the data is a bare DIB.
#include <cstdint>

#include "iebitmap.h"
#include "iecore.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  TIEMemoryStream stream(data + 1, static_cast<int64_t>(size - 1));
  TIEBitmap bitmap;
  TIEImageIO io(&bitmap);
  io.Params().SetImageIndex(control & 3);
  io.Params().NativePixelFormat = control & 4;
  io.Params().BmpNoFileHeader = (control & 0x18) == 0x18;
  try {
    if (control & 0x20) io.LoadFromStreamCUR(stream);
    else io.LoadFromStreamICO(stream);
  } catch (const EIEException&) {
    // Native mode raises for bit counts it has no pixel format for.
  }
  TouchRows(bitmap);
  return 0;
}
