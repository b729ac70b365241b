// The portable bitmap, graymap and pixmap family (PBM, PGM, PPM: P1 to P6).
#pragma once

#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads one PNM picture from the stream's position into bitmap and fills
// params (comments of the header go to PnmComments). Bitmaps come out as
// ie1g (P1, P4) or ie24RGB; with params.NativePixelFormat 16-bit greys and
// colours stay ie16g and ieRGB48. headerOnly fills params only. A bad header
// sets the abort flag; data that ends early leaves the remaining pixels 0.
void IEPnmReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                     TProgressRecord& progress);

// The load front's PNM stream loader.
void IEPnmLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
