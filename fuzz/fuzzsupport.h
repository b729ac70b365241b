// Shared by the reader fuzz targets.
#pragma once

#include <cstdint>

#include "iebitmap.h"

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
