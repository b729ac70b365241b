// JPEG reading through libjpeg (libjpeg-turbo's libjpeg62 interface).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

class TIEStream;

struct TIEJpegReadOptions {
  // Shared tables read before the data stream (JPEG-compressed TIFF), or null.
  TIEStream* Tables = nullptr;
  // Keep gray as ie8g and CMYK as ieCMYK instead of converting to ie24RGB.
  bool NativeFormat = false;
  // Rows to deliver; -1 = the whole picture.
  int MaxRows = -1;
  // Collect the ICC profile from APP2 segments into InputICCProfile.
  bool ReadICC = true;
  // With profiles applied while decoding (never in this system), drop them
  // afterwards; otherwise the profile is handed to the bitmap.
  bool ApplyProfileAfter = true;
  // Replace every CMYK byte by 255 minus itself before conversion to RGB.
  bool InvertCMYK = false;
  // Read EXIF, IPTC and XMP (also subject to params.ReadMetadata).
  bool ReadMetadata = true;
  // Deliver YCbCr files as Y, Cb, Cr bytes instead of converting them.
  bool KeepYCbCr = false;
  // Fill params only; no pixels.
  bool HeaderOnly = false;
  // The colour space the data is coded in, as a libjpeg J_COLOR_SPACE value
  // (1 gray, 2 RGB, 3 YCbCr, 4 CMYK, 5 YCCK), for containers that state it
  // themselves (TIFF's photometric tag); -1 lets the decoder tell from the
  // markers. Ignored when it does not fit the number of components.
  int ColorSpace = -1;
};

// Reads one JPEG image from the stream's position into bitmap (may be null
// for a header-only read) and fills params. The start of image may follow up
// to 149 bytes of anything. Returns the number of rows delivered; failure
// (no start of image, a fatal decoder error, too few rows, a cancelled load)
// sets the abort flag of progress. Decoder warnings are counted in
// params.JpegWarningTot and the last one's code kept in JpegWarningCode.
int IEJpegReadStream(TIEStream& stream, TIEBitmap* bitmap, TIOParams& params, TProgressRecord& progress,
                     const TIEJpegReadOptions& options = TIEJpegReadOptions());

// The load front's JPEG stream loader.
void IEJpegLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>& mask);

// The ICC profile of the JPEG stream starting at the stream's position (the
// start of image), joined from its APP2 chunks; empty when there is none or
// a chunk is missing. The stream position is restored.
std::vector<uint8_t> IEJpegReadICCProfile(TIEStream& stream);

// Turns a bitmap upright by an EXIF orientation (1 to 8; other values do
// nothing). Quarter turns exchange width and height. Formats of whole bytes
// per pixel only.
void IEApplyExifOrientation(TIEBitmap& bitmap, int orientation);
