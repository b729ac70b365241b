// Windows icons (ICO) and cursors (CUR).
#pragma once

#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads the image params.IcoImageIndex (cursors: CurImageIndex) of an icon or
// cursor file from the stream's position. With params.BmpNoFileHeader the
// stream holds one bare DIB (for cursors preceded by two 16-bit hotspot
// values). A file that is really a BMP goes to the BMP reader. PNG images go
// to the PNG reader and bring their alpha channel with them; DIB images hand
// their transparency (AND mask and 32-bit alpha) back in mask, unless
// ignoreAlpha. headerOnly fills params only. Failure sets the abort flag.
void IEIconReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool cursor, bool ignoreAlpha,
                      std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress);

// The load front's stream loaders (alpha kept, full decoding).
void IEIcoLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
void IECurLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
