// Truevision TGA images: colour-mapped, true-colour and grey, uncompressed
// or run-length encoded, with the version 2.0 footer and extension area.
#pragma once

#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads a TGA from the stream's position (offsets of the extension area
// count from there; the footer is the last 26 bytes of the stream) into
// bitmap and fills params. Depth 1 loads as ie1g with the bits unchanged,
// every other depth as ie24RGB. Unless ignoreAlpha, the alpha of 32-bit
// pixels or of a 32-bit colour map goes to an 8-bit mask in the out-slot,
// which is left empty when every alpha value is 0. headerOnly fills params
// only. An unknown image type or depth sets the abort flag; data that ends
// early leaves the remaining rows black.
void TGAReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress);

// The load front's TGA stream loader (alpha read, full decoding).
void IETgaLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
