// LZW as TIFF and PDF's /LZWDecode use it: codes of 9 to 12 bits, most
// significant bit first, clear code 256, end of data 257, and the code width
// growing one code early (PDF's EarlyChange 1).
#pragma once

#include <cstdint>

#include "iecore.h"
#include "iestream.h"

// Incremental encoder; its type is TIELzwCompressor. `state` must be null
// before the first call of a code stream. Every call with data continues the
// same code stream, so the pieces may be cut anywhere (rows, for instance)
// without changing the output. The final call, with data null, writes the
// last code and the end-of-data code, flushes, and frees the state; finished
// bytes reach `stream` along the way. A final call without any data before it
// writes an empty but valid code stream.
void TiffLzwEncode(const uint8_t* data, int64_t count, TIEStream& stream, void*& state);

// Frees an encoder state without writing anything, for a caller that gives up
// on a code stream before its final call.
void TiffLzwEncodeDiscard(void*& state);

// Row decoder for one LZW strip; its type is TIETiffLzwDecoder. The first call
// of a strip (state null) creates the state; every call returns the strip's
// next row of rowLen bytes, valid until the next call. Rows past the end of the
// code stream, or past an out-of-range code that ends it early, are filled
// with zeros. Returns nullptr when the data is corrupt beyond use (a code that
// is not yet in the table right after a clear code, or a table that grows past
// 4096 entries), and from then on. The strip bytes must stay the same and
// alive for all calls of a strip. fillOrder 2 reads every byte least
// significant bit first. A call with strip null frees the state (so an empty
// strip must still be passed by a non-null pointer).
const uint8_t* TiffLzwDecode(const uint8_t* strip, int64_t stripLen, int64_t rowLen,
                             void*& state, int fillOrder);
