// The process-wide settings of the imaging subsystems.
#pragma once

#include <cstdint>
#include <string>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"

// Created on first use (thread-safe) and alive until the process ends. The
// fields hold their defaults in this system; tests change them to force a
// path and put them back. Changing a field while other threads read it is
// the caller's affair.
class TIEGlobalSettings {
public:
  static TIEGlobalSettings& Instance();

  // Bitmaps -------------------------------------------------------------------
  // Bytes above which a bitmap goes to a temporary file; -1 = derive from the
  // machine's physical memory.
  int64_t MemoryThresholdOverride = -1;
  // When memory and segments fail, use a temporary file.
  bool TempFileFallback = true;
  bool AllowSegmentedAllocation = true;
  // Largest block of memory a bitmap takes in one piece (contiguous block or
  // segment); -1 = no limit. Lets tests force segmented and file storage.
  int64_t MaxMemoryBlock = -1;
  // Folder for temporary files; empty = $TMPDIR, else /tmp.
  std::string TempFolder;

  // Conversions ---------------------------------------------------------------
  // Gray weights of red, green and blue in hundredths.
  int32_t RedToGrayCoef = 21, GreenToGrayCoef = 71, BlueToGrayCoef = 8;
  // Colour management of CMYK; there is no colour engine here, so the formula
  // paths apply whatever its value.
  bool UseCMYKColorManagement = true;
  // Apply input profiles while decoding (off).
  bool ApplyColorProfiles = false;
  // Adobe RGB handling of EXIF "R03" files: 0 off, 1 or 2 (default 2).
  int32_t AdobeRGBMode = 2;

  // Resolution given to files that store none, dots per inch.
  int32_t DefaultDpiX = 300, DefaultDpiY = 300;

  // Resampling ----------------------------------------------------------------
  int64_t MinPixelsForThreads = 65536;
  int32_t MaxThreadCount = 4;
  // Used in place of rfBilinear/rfBicubic for formats they do not handle.
  TResampleFilter ResampleFallbackFilter = rfFastLinear;
  // Processor cores, counted once; 1 when the system cannot tell.
  int32_t ProcessorCoreCount() const;

  // Codec routine slots: null until the codecs layer fills them at start-up.
  TIEGifDecoder GifDecoder = nullptr;
  TIETiffLzwDecoder TiffLzwDecoder = nullptr;
  TIELzwCompressor TiffLzwEncoder = nullptr;

  // Wildcard list of formats for the platform imaging component ("-" = off).
  std::string WicExtensions;

  // Defaults of TIOParams format options.
  TIOParamDefaults IOParamDefaults;

private:
  TIEGlobalSettings() = default;
  TIEGlobalSettings(const TIEGlobalSettings&) = delete;
  TIEGlobalSettings& operator=(const TIEGlobalSettings&) = delete;
};

inline TIEGlobalSettings& IEGlobalSettings() { return TIEGlobalSettings::Instance(); }

// The machine's total physical memory in bytes, 0 when unknown.
int64_t IEPhysicalMemory();
