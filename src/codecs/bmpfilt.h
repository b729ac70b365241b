// Windows and OS/2 device-independent bitmaps (BMP, DIB, RLE files).
#pragma once

#include <cstdint>
#include <memory>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

// Reads a BMP from the stream's position into bitmap and fills params.
// dataLength: bytes of this BMP from the start (0 = the file header's file
// size, else the rest of the stream). ignoreAlpha: the fourth byte of 32-bit
// pixels is not alpha. mask: out-slot for the 32-bit alpha mask (left empty
// when the alpha bytes are all 255 or all 0). noFileHeader: the stream starts
// at the info header (DIBs inside other files). headerOnly: fill params but
// store no pixels. Failure sets the abort flag of progress.
void BMPReadStream(TIEStream& stream, TIEBitmap& bitmap, int64_t dataLength, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool noFileHeader, bool headerOnly,
                   TProgressRecord& progress, TIOParams& params);

// The load front's BMP stream loader (file header expected, full decoding,
// alpha read only when params.BmpReadAlpha is set).
void IEBmpLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask);
