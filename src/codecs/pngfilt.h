// PNG reading through libpng.
#pragma once

#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads one PNG data stream from the stream's position into bitmap and fills
// params (size, depth, resolution, palette, background, text, interlace).
// Transparency (alpha samples or tRNS) becomes the bitmap's alpha channel.
// headerOnly fills params and stores no pixels. Failure (a libpng error, a
// short stream, a picture beyond the limits, a cancelled load) sets the abort
// flag of progress; a stream that merely carries extra compressed data after
// the image counts as read. Exceptions of the stream pass through.
void IEPngReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                     TProgressRecord& progress);

// The load front's PNG stream loader.
void IEPngLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
