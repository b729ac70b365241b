// The registry of file formats, and the detection of a file's format from
// its name and from its first bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iecore.h"

class TIEBitmap;
class TIEStream;
class TIOParams;

// File type ids, as stored in TIOParams::FileType.
inline constexpr int32_t ioUnknown = 0;
inline constexpr int32_t ioTIFF = 1;
inline constexpr int32_t ioGIF = 2;
inline constexpr int32_t ioJPEG = 3;
inline constexpr int32_t ioPCX = 4;
inline constexpr int32_t ioBMP = 5;
inline constexpr int32_t ioICO = 6;
inline constexpr int32_t ioCUR = 7;
inline constexpr int32_t ioPNG = 8;
inline constexpr int32_t ioWMF = 9;
inline constexpr int32_t ioEMF = 10;
inline constexpr int32_t ioTGA = 11;
inline constexpr int32_t ioPXM = 12;
inline constexpr int32_t ioJP2 = 13;
inline constexpr int32_t ioJ2K = 14;
inline constexpr int32_t ioAVI = 15;
inline constexpr int32_t ioWBMP = 16;
inline constexpr int32_t ioPS = 17;
inline constexpr int32_t ioPDF = 18;
inline constexpr int32_t ioDCX = 19;
inline constexpr int32_t ioRAW = 20;
inline constexpr int32_t ioBMPRAW = 21;
inline constexpr int32_t ioWMV = 22;
inline constexpr int32_t ioMPEG = 23;
inline constexpr int32_t ioPSD = 24;
inline constexpr int32_t ioIEV = 25;
inline constexpr int32_t ioLYR = 26;
inline constexpr int32_t ioALL = 27;
inline constexpr int32_t ioDICOM = 28;
inline constexpr int32_t ioHDP = 29;
inline constexpr int32_t ioSVG = 31;
inline constexpr int32_t ioDDS = 32;
inline constexpr int32_t ioHEIF = 33;
inline constexpr int32_t ioWEBP = 34;
inline constexpr int32_t ioOTHER = 99;

// Routines of a registry record. Only records that are not built in are
// loaded through Reader; for built-in records Reader and Writer are
// placeholders whose being null or not tells whether the format can be read
// or written, and Probe always answers false.
using TIEReadRoutine = void (*)(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params,
                                TProgressRecord& progress);
using TIEWriteRoutine = void (*)(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params,
                                 TProgressRecord& progress);
using TIEProbeRoutine = bool (*)(TIEStream& stream, int32_t typeId);

struct TIEFileFormatInfo {
  int32_t TypeId = 0;
  std::string Description;
  std::string ExtensionList;       // upper case, without dots, ";"-separated
  std::string PreferredExtension;  // lower case
  bool BuiltIn = true;
  uint16_t OptionPages = 0;        // not used when loading
  TIEReadRoutine Reader = nullptr;
  TIEWriteRoutine Writer = nullptr;
  TIEProbeRoutine Probe = nullptr;
};

// The process-wide ordered list of formats. Built once, on first use, with the
// formats of this system in their fixed order (the order decides extension
// look-ups). Look-ups may run on any thread; Register and Unregister must not
// run while other threads look up.
class TIEFileFormats {
public:
  int Count() const { return static_cast<int>(fFormats.size()); }
  const TIEFileFormatInfo& operator[](int index) const { return *fFormats[static_cast<size_t>(index)]; }

  // Appends a record; an empty PreferredExtension becomes the first entry of
  // ExtensionList in lower case.
  void Register(const TIEFileFormatInfo& info);
  // Removes the record with this id, if any.
  void Unregister(int32_t typeId);

  const TIEFileFormatInfo* ById(int32_t typeId) const;
  // Extension with or without its leading dot, any case; the first record
  // listing it wins.
  const TIEFileFormatInfo* ByExtension(const std::string& extension) const;

private:
  std::vector<std::unique_ptr<TIEFileFormatInfo>> fFormats;
};

// The registry, built on first use (thread-safe). Building it also fills the
// codec routine slots of the global settings.
TIEFileFormats& IEFileFormats();
// Fills the codec slots of the global settings and builds the registry; safe
// to call any number of times. Program start calls it so that code which
// never loads a file (the PDF writer's LZW encoder) still finds its slots.
void IEInitializeImageIO();

// Placeholder routines of built-in records (never called).
void IEBuiltInReader(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress);
void IEBuiltInWriter(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress);

// The extension of a file name with its dot ("" when there is none).
std::string IEExtractFileExt(const std::string& fileName);

// Format of the stream's content, 0 when nothing matched. Reads from the
// current position (the start of the file) and puts the position back. Never
// raises.
int32_t DetectStreamFormat(TIEStream& stream);
// Content detection of a file, combined with its extension by policy:
// 0 content only; 1 the content must agree with the extension (for icons
// and cursors the extension decides); 2 content, else the extension.
// 0 for an empty name, a missing file or one that cannot be opened.
int32_t DetectFileFormat(const std::string& fileName, int policy = 0);
// Type id of a file name's extension, 0 when none.
int32_t FormatFromExtension(const std::string& fileName);
const TIEFileFormatInfo* FormatInfoById(int32_t typeId);
const TIEFileFormatInfo* FormatInfoByExtension(const std::string& extension);
// Whether the extension belongs to a format that can be read (the content is
// not looked at). Video extensions answer includeVideo.
bool IsLoadableFile(const std::string& fileName, bool includeVideo = false);
// Number of pages or frames of a file (0 for unreadable multi-frame files
// and for files of no known format).
int32_t CountFileFrames(const std::string& fileName);
// The same count for a stream at the start of a file of the given format.
int32_t CountStreamFrames(TIEStream& stream, int32_t typeId);

// Content tests of single formats, as used by DetectStreamFormat. Each
// reads from the current position and leaves it where it was.
bool IEProbeTIFF(TIEStream& stream);
bool IEProbeICO(TIEStream& stream, int type);  // type 1 icon, 2 cursor
bool IEProbeTGA(TIEStream& stream);
bool IEProbePNM(TIEStream& stream);
bool IEProbeDCX(TIEStream& stream);
