// GIF files (versions 87a and 89a): one frame at its own size, or the
// picture an animation shows at one of its frames.
#pragma once

#include <cstdint>
#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads frame params.GifImageIndex at its own size into bitmap and fills
// params with the file's, the screen's and that frame's fields; ImageCount
// and frameCount get the number of frames in the file. ignoreAlpha: make no
// mask. mask: out-slot for the frame's transparency (8 bits; left empty when
// no pixel is transparent). headerOnly: fill params, decode no pixels. An
// index beyond the last frame stores nothing and leaves bitmap as it was.
// Failure sets the abort flag of progress.
void GIFReadStream(TIEStream& stream, TIEBitmap& bitmap, int32_t& frameCount, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress,
                   TIOParams& params);

// The load front's GIF stream loader. By default it delivers what an
// animation shows at frame GifImageIndex: frames 0 to that one drawn in one
// pass on the logical screen with their disposal methods (a file of one frame
// gives the frame itself; an index past the last frame gives all of them).
// With params.GifRawFrame on, it delivers the frame alone and fails for an
// index that is no frame of the file.
void IEGifLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);

// Number of frames of the GIF at the stream's position: image descriptors
// up to the trailer or the end of the data. 0 when it is no GIF or cannot be
// read; never raises.
int32_t IEGifFrameCount(TIEStream& stream);
