// The TIFF reader on arbitrary bytes: the default load, the native formats
// with orientation, and the second page with its first SubIFD and tile.
#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

#include "fuzzsupport.h"
#include "tiffilt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int mode = 0; mode < 3; ++mode) {
    TIEMemoryStream stream(data, static_cast<int64_t>(size));
    TIEBitmap bitmap;
    TIEImageIO io(&bitmap);
    TIOParams& p = io.Params();
    p.NativePixelFormat = mode == 1;
    p.SetEnableAdjustOrientation(mode == 1);
    if (mode == 2) {
      p.SetImageIndex(1);
      p.TiffSubIndex = 0;
      p.TiffTileIndex = 0;
    }
    io.LoadFromStreamTIFF(stream);
    TouchRows(bitmap);
  }
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  IETiffPageCount(stream);
  return 0;
}
