// Shared by the reader fuzz targets.
#pragma once

#include <cstdint>

#include "iebitmap.h"
#include "ieimageio.h"
#include "iestream.h"

// Reads every byte of every row (and of the alpha channel), so the
// sanitizers see any pixel a reader left outside its storage or uninitialised.
inline void TouchRows(TIEBitmap& bitmap) {
  volatile uint8_t sink = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    for (int64_t i = 0; i < bitmap.RowLen(); ++i) sink = sink ^ row[i];
  }
  if (TIEBitmap* alpha = bitmap.AlphaChannelOrNull()) TouchRows(*alpha);
}

// Loads the bytes through one reader of the load front, in its default and
// its native pixel format mode, touching every row of each result.
inline void LoadInBothModes(const uint8_t* data, size_t size, bool (TIEImageIO::*load)(TIEStream&)) {
  for (int mode = 0; mode < 2; ++mode) {
    TIEMemoryStream stream(data, static_cast<int64_t>(size));
    TIEBitmap bitmap;
    TIEImageIO io(&bitmap);
    io.Params().NativePixelFormat = mode == 1;
    (io.*load)(stream);
    TouchRows(bitmap);
  }
}
