// The load front: runs the right reader for a file into a bitmap.
//
// Reader calling convention. Every format reader is reached through one
// stream loader of type TIEStreamReader:
//
//   void Reader(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params,
//               TProgressRecord& progress, std::unique_ptr<TIEMask>& mask);
//
// - stream is positioned at the first byte of the file. The reader may seek
//   anywhere; file offsets are relative to that start position. It may read
//   past the end (reads come back short) but must never trust a size from
//   the file for an allocation: every picture size goes through
//   IEImageSizeOk and IEPlausibleForInput (iecore.h) first.
// - bitmap is the target. The reader allocates it (TIEBitmap::Allocate gives
//   zero-filled storage) in the pixel format its format's rules choose, and
//   fills it row by row through Scanline. It has no alpha channel on entry.
// - params had its metadata reset (ResetInfo(0)); the reader fills what it
//   learns (Width, Height, OriginalWidth/Height, BitsPerSample,
//   SamplesPerPixel, DpiX/DpiY, ImageCount, ColorMap and its own group).
//   The page or frame to read is params.ImageIndex() and its mirrors.
// - progress: fnet/context/Sender are set by the front and Aborting points
//   at the loader's LoadAborted; val, tot and per1 are the reader's own.
//   A reader reports percentages with progress.Report, checks
//   progress.Aborted() between rows and stops when it is set.
// - mask is an out-slot for transparency: a reader that finds alpha leaves
//   a TIEMask there (reusing one already present); the front turns it into
//   the bitmap's alpha channel.
// - Failure: a reader never returns an error code. When it meets data it
//   cannot use it calls progress.Abort() and returns; the load then fails.
//   It may leave a partly filled bitmap. Exceptions it does not handle (out
//   of memory, stream errors) pass through the front to the caller of Read.
//
// Adding a format: write its stream loader in its own module (e.g.
// pngfilt.h/.cpp), then put it in the kStreamReaders table of ieimageio.cpp
// (type id -> loader). Detection and frame counting live in ieformats.cpp
// (DetectStreamFormat and kFrameCounters).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "iebitmap.h"
#include "iecore.h"
#include "ieformats.h"
#include "ieparams.h"

class TIEStream;

using TIEStreamReader = void (*)(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params,
                                 TProgressRecord& progress, std::unique_ptr<TIEMask>& mask);

// The stream loader registered for a type id, nullptr when none exists yet.
TIEStreamReader IEStreamReaderFor(int32_t typeId);

// One load: lives for one Read call (or longer when used directly) and owns
// its parameter record. The target bitmap is not owned.
class TIEImageIO {
public:
  explicit TIEImageIO(TIEBitmap* bitmap = nullptr);
  TIEImageIO(const TIEImageIO&) = delete;
  TIEImageIO& operator=(const TIEImageIO&) = delete;

  TIEBitmap* Bitmap() const { return fBitmap; }
  void SetBitmap(TIEBitmap* bitmap) { fBitmap = bitmap; }
  TIOParams& Params() { return fParams; }

  // True when the last load failed or was cancelled; every load's result is
  // its negation. A progress handler may set it to cancel a load.
  bool LoadAborted() const { return fAborting; }
  void SetLoadAborted(bool value) { fAborting = value; }

  // Progress (sender, percent 0..100) and end-of-work notifications.
  std::function<void(void* sender, int percent)> OnProgress;
  std::function<void(void* sender)> OnFinishWork;
  // Resample to the screen resolution after loading (no screen here: kept
  // for callers, does nothing).
  bool AutoAdjustDPI = false;
  // Load PNG and JPEG through the platform imaging component (none here).
  bool WicFastLoading = false;

  // Loads by extension first, then, when that fails and checkUnknown is
  // set, by content. Names starting with http://, https:// or ftp:// load
  // nothing. A file that cannot be opened raises EIEException.
  bool LoadFile(const std::string& fileName, bool checkUnknown = true);
  // Loads as typeId; 0 detects the format from the content.
  bool LoadFileAs(const std::string& fileName, int32_t typeId);

  // Per-format loaders. A file loader opens the file (raising when it
  // cannot) and calls the stream loader; a stream loader reads from the
  // stream's position and records fileName (may be empty) in Params.
  bool LoadFromFileFormat(const std::string& fileName, int32_t typeId);
  bool LoadFromStreamFormat(TIEStream& stream, int32_t typeId, const std::string& fileName = std::string());

  bool LoadFromFileTIFF(const std::string& f) { return LoadFromFileFormat(f, ioTIFF); }
  bool LoadFromFileGIF(const std::string& f) { return LoadFromFileFormat(f, ioGIF); }
  bool LoadFromFileJpeg(const std::string& f) { return LoadFromFileFormat(f, ioJPEG); }
  bool LoadFromFilePCX(const std::string& f) { return LoadFromFileFormat(f, ioPCX); }
  bool LoadFromFileDCX(const std::string& f) { return LoadFromFileFormat(f, ioDCX); }
  bool LoadFromFileBMP(const std::string& f) { return LoadFromFileFormat(f, ioBMP); }
  bool LoadFromFileICO(const std::string& f) { return LoadFromFileFormat(f, ioICO); }
  bool LoadFromFileCUR(const std::string& f) { return LoadFromFileFormat(f, ioCUR); }
  bool LoadFromFilePNG(const std::string& f) { return LoadFromFileFormat(f, ioPNG); }
  bool LoadFromFileTGA(const std::string& f) { return LoadFromFileFormat(f, ioTGA); }
  bool LoadFromFilePXM(const std::string& f) { return LoadFromFileFormat(f, ioPXM); }
  bool LoadFromFileWBMP(const std::string& f) { return LoadFromFileFormat(f, ioWBMP); }
  bool LoadFromStreamTIFF(TIEStream& s) { return LoadFromStreamFormat(s, ioTIFF); }
  bool LoadFromStreamGIF(TIEStream& s) { return LoadFromStreamFormat(s, ioGIF); }
  bool LoadFromStreamJpeg(TIEStream& s) { return LoadFromStreamFormat(s, ioJPEG); }
  bool LoadFromStreamPCX(TIEStream& s) { return LoadFromStreamFormat(s, ioPCX); }
  bool LoadFromStreamDCX(TIEStream& s) { return LoadFromStreamFormat(s, ioDCX); }
  bool LoadFromStreamBMP(TIEStream& s) { return LoadFromStreamFormat(s, ioBMP); }
  bool LoadFromStreamICO(TIEStream& s) { return LoadFromStreamFormat(s, ioICO); }
  bool LoadFromStreamCUR(TIEStream& s) { return LoadFromStreamFormat(s, ioCUR); }
  bool LoadFromStreamPNG(TIEStream& s) { return LoadFromStreamFormat(s, ioPNG); }
  bool LoadFromStreamTGA(TIEStream& s) { return LoadFromStreamFormat(s, ioTGA); }
  bool LoadFromStreamPXM(TIEStream& s) { return LoadFromStreamFormat(s, ioPXM); }
  bool LoadFromStreamWBMP(TIEStream& s) { return LoadFromStreamFormat(s, ioWBMP); }

  // Detects the format of a stream and loads it (0 found: fails).
  bool LoadFromStream(TIEStream& stream);

  // Reports 100 % and then OnFinishWork.
  void FinishWork();
  // A progress record wired to this loader's progress handler and abort flag.
  TProgressRecord MakeProgressRecord();

private:
  static void ProgressThunk(void* context, void* sender, int percent);
  bool Fail();
  void RequireBitmap() const;

  TIEBitmap* fBitmap = nullptr;
  TIOParams fParams;
  bool fAborting = false;
};

// Whether a name is a network address (http, https or ftp).
bool IEIsNetworkName(const std::string& fileName);
