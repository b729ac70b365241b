// PC Paintbrush images (PCX) and their multi-page container (DCX).
#pragma once

#include <cstdint>
#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads one PCX image from the stream's position into bitmap and fills
// params. dataLength: bytes of this image from the first header byte to its
// end (the rest of the file, or one DCX page); an 8-bit palette is taken from
// its last 768 bytes. 1 bit x 1 plane loads as ie1g with the bits unchanged
// (1 = white), everything else as ie24RGB. mask: out-slot for the fourth
// plane of 8-bit x 4-plane images (left empty when that plane is all 255 or
// all 0). headerOnly fills params only. Failure sets the abort flag.
void PCXReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                   TProgressRecord& progress, int64_t dataLength, std::unique_ptr<TIEMask>& mask);

// Reads page params.DcxImageIndex (clamped into the page table, and stored
// back as the image index) of a DCX file; ImageCount becomes the number of
// pages. A wrong magic, an offset outside the stream or an empty page table
// sets the abort flag.
void DCXReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                   TProgressRecord& progress, std::unique_ptr<TIEMask>& mask);

// The load front's stream loaders.
void IEPcxLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
void IEDcxLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
