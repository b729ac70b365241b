// JPEG encoding of a bitmap for /DCTDecode images, through libjpeg.
#pragma once

#include "iecore.h"

class TIEStream;
class TIEBitmap;
class TIOParams;

// Appends one JPEG data stream (start-of-image to end-of-image marker) of
// bitmap to stream, with the JPEG settings of params: JpegColorSpace,
// JpegQuality (baseline tables), JpegDctMethod, JpegChromaSubsampling,
// JpegOptimizeCoding, JpegSmoothing, JpegProgressive, DpiX/DpiY and
// JpegMarkers. A non-empty OutputICCProfile is first stored in
// params.JpegMarkers as APP2 "ICC_PROFILE" pieces, replacing the APP2 markers
// there.
//
// Bitmaps in formats other than ie24RGB are encoded from a temporary ie24RGB
// copy. An alpha channel is blended onto white on the way into the encoder:
// the JPEG shows the picture as it looks on a white page. The bitmap itself
// is never changed.
//
// progress: per1, val and tot are reset and used here; the callback gets the
// whole percentage each time it changes, and a set abort flag stops the
// encoding (without an end-of-image marker).
//
// A bitmap of zero width or height sets the abort flag and writes nothing.
// A library error, or a failed write to stream, sets the abort flag and
// raises EIEJpegException with the library's (or the stream's) message.
void WriteJpeg(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress);
