// TIFF and BigTIFF pages: the directory chain, the tags, the choice of pixel
// format, strips, tiles and planes, and the conversion of decoded rows into
// the bitmap and its transparency mask.
#pragma once

#include <cstdint>
#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

struct TIETiffReadOptions {
  // Count the pages and fill params from the page's tags, no pixels.
  bool CountOnly = false;
  // Never build a transparency mask.
  bool IgnoreAlpha = false;
};

// Reads page params.TiffImageIndex (or its SubIFD params.TiffSubIndex, or
// only its tile params.TiffTileIndex) of the TIFF that starts at the stream's
// position into bitmap (may be null with CountOnly) and fills params; every
// file offset is relative to that start. pageCount receives the length of
// the main directory chain. Alpha goes to mask (an 8-bit mask of the page
// size, reused when one is there). Failure sets the abort flag of progress.
void IETiffReadStream(TIEStream& stream, TIEBitmap* bitmap, int& pageCount, TIOParams& params,
                      TProgressRecord& progress, std::unique_ptr<TIEMask>& mask,
                      const TIETiffReadOptions& options = TIETiffReadOptions());

// The load front's TIFF stream loader.
void IETiffLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>& mask);

// Pages in the main directory chain of the TIFF at the stream's position (0
// when it is not a TIFF). The stream position is restored.
int32_t IETiffPageCount(TIEStream& stream);
