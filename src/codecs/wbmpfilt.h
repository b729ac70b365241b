// Wireless bitmaps (WBMP type 0: uncompressed 1-bit, 1 = white).
#pragma once

#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads a WBMP from the stream's position into an ie1g bitmap and fills
// params. A header of another type, a zero size, or a size field that runs
// past four bytes sets the abort flag; data that ends early leaves the
// remaining rows black. headerOnly fills params only.
void IEWbmpReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                      TProgressRecord& progress);

// The load front's WBMP stream loader.
void IEWbmpLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>& mask);
