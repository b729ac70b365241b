// The LZW decoder of GIF image data.
#pragma once

#include <cstdint>

class TIEStream;

// Decodes one frame's image data (a TIEGifDecoder). The stream is at the LZW
// minimum code size; width x height palette indices go to out, row by row,
// interlaced rows already at their final places. Indices the data does not
// reach keep what out held; indices past the frame are dropped.
//
// Leaves the stream after the frame's data sub-blocks. When the data cannot
// be decoded (a code size outside 2..9, a code beyond the next free code, an
// end code right after a clear code with data left over) it puts the stream
// back where it found it: the frame failed.
void GifLzwDecode(TIEStream& stream, int height, int width, uint8_t* out, bool interlaced);

// Row of the frame that the n-th stored row of an interlaced frame of this
// height goes to (passes of rows 0, 8, ...; 4, 12, ...; 2, 6, ...; 1, 3, ...).
int GifInterlacedRow(int n, int height);
