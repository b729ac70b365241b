#include "ieimageio.h"

#include <cctype>

#include "bmpfilt.h"
#include "giffilter.h"
#include "icofilt.h"
#include "ieglobal.h"
#include "iestream.h"
#include "ietgafil.h"
#include "jpegfilt.h"
#include "pcxfilter.h"
#include "pngfilt.h"
#include "pnmfilt.h"
#include "wbmpfilt.h"
#include "tiffilt.h"

namespace {

struct TStreamReaderEntry {
  int32_t typeId;
  TIEStreamReader reader;
};

// Stream loaders of the formats this system reads itself, by type id. A
// reader is added by writing its loader (see the calling convention in
// ieimageio.h) and putting it here in place of nullptr; nullptr means the
// format is registered but its loads fail cleanly for now.
const TStreamReaderEntry kStreamReaders[] = {
    {ioTIFF, IETiffLoadStream},
    {ioGIF, IEGifLoadStream},
    {ioJPEG, IEJpegLoadStream},
    {ioPCX, IEPcxLoadStream},
    {ioBMP, IEBmpLoadStream},
    {ioICO, IEIcoLoadStream},
    {ioCUR, IECurLoadStream},
    {ioPNG, IEPngLoadStream},
    {ioTGA, IETgaLoadStream},
    {ioPXM, IEPnmLoadStream},
    {ioWBMP, IEWbmpLoadStream},
    {ioDCX, IEDcxLoadStream},
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TIEStreamReader IEStreamReaderFor(int32_t typeId) {
  for (const TStreamReaderEntry& e : kStreamReaders)
    if (e.typeId == typeId) return e.reader;
  return nullptr;
}

bool IEIsNetworkName(const std::string& fileName) {
  std::string head = Lower(fileName.substr(0, 8));
  return head.rfind("http://", 0) == 0 || head.rfind("https://", 0) == 0 || head.rfind("ftp://", 0) == 0;
}

namespace {

// The codec slots must be filled before the loader's parameter record copies
// them from the global settings.
TIEBitmap* AfterInitialization(TIEBitmap* bitmap) {
  IEInitializeImageIO();
  return bitmap;
}

}  // namespace

TIEImageIO::TIEImageIO(TIEBitmap* bitmap) : fBitmap(AfterInitialization(bitmap)), fParams(this) {}

void TIEImageIO::ProgressThunk(void* context, void* sender, int percent) {
  auto* io = static_cast<TIEImageIO*>(context);
  if (io->OnProgress) io->OnProgress(sender, percent);
}

TProgressRecord TIEImageIO::MakeProgressRecord() {
  TProgressRecord p;
  p.fnet = OnProgress ? ProgressThunk : nullptr;
  p.context = this;
  p.Sender = this;
  p.Aborting = &fAborting;
  return p;
}

void TIEImageIO::FinishWork() {
  if (OnProgress) OnProgress(this, 100);
  if (OnFinishWork) OnFinishWork(this);
}

bool TIEImageIO::Fail() {
  fAborting = true;
  FinishWork();
  return false;
}

void TIEImageIO::RequireBitmap() const {
  if (!fBitmap) throw EIEException("Active layer does not contain bitmap");
}

bool TIEImageIO::LoadFile(const std::string& fileName, bool checkUnknown) {
  fAborting = true;
  if (IEIsNetworkName(fileName)) return Fail();  // no network access here
  const std::string ext = Lower(IEExtractFileExt(fileName));
  const int32_t type = ext == ".avi" ? ioAVI : FormatFromExtension(fileName);
  bool result = false;
  if (type != 0) result = LoadFileAs(fileName, type);
  int32_t detected = 0;
  if (!result && checkUnknown) {
    detected = DetectFileFormat(fileName, 0);
    if (detected != 0 && detected != type) result = LoadFileAs(fileName, detected);
  }
  if (type == 0 && (!checkUnknown || detected == 0)) FinishWork();
  return result;
}

bool TIEImageIO::LoadFileAs(const std::string& fileName, int32_t typeId) {
  if (!fBitmap) return false;
  if (fileName.empty() || IEIsNetworkName(fileName)) return Fail();
  if (typeId == 0) {
    typeId = DetectFileFormat(fileName, 0);
    if (typeId == 0) return Fail();
  }
  // Video, the media reader and the platform imaging component do not exist
  // here: their types fail like unknown ones.
  const TIEFileFormatInfo* info = FormatInfoById(typeId);
  if (!info || typeId == ioAVI) return Fail();
  if (info->BuiltIn && IEStreamReaderFor(typeId)) return LoadFromFileFormat(fileName, typeId);

  // Registered formats without a loader of ours.
  fAborting = true;
  fParams.ResetInfo(0);
  fParams.FileName.clear();
  fParams.FileType = 0;
  if (info->BuiltIn || !info->Reader) return Fail();
  RequireBitmap();
  TIEFileStream stream(fileName, fmOpenRead);
  fAborting = false;
  fParams.FileName = fileName;
  fParams.FileType = info->TypeId;
  TProgressRecord progress = MakeProgressRecord();
  try {
    info->Reader(stream, *fBitmap, fParams, progress);
  } catch (...) {
    FinishWork();
    throw;
  }
  FinishWork();
  return !fAborting;
}

bool TIEImageIO::LoadFromFileFormat(const std::string& fileName, int32_t typeId) {
  TIEFileStream stream(fileName, fmOpenRead);
  return LoadFromStreamFormat(stream, typeId, fileName);
}

bool TIEImageIO::LoadFromStreamFormat(TIEStream& stream, int32_t typeId, const std::string& fileName) {
  fAborting = false;
  TProgressRecord progress = MakeProgressRecord();
  RequireBitmap();
  const TIEStreamReader reader = IEStreamReaderFor(typeId);
  if (!reader) return Fail();
  fParams.ResetInfo(0);
  fBitmap->RemoveAlphaChannel(false);
  std::unique_ptr<TIEMask> mask;
  try {
    reader(stream, *fBitmap, fParams, progress, mask);
    // A resolution below 2 dpi is no resolution.
    const TIEGlobalSettings& settings = IEGlobalSettings();
    if (fParams.DpiX() < 2) fParams.SetDpiX(settings.DefaultDpiX);
    if (fParams.DpiY() < 2) fParams.SetDpiY(settings.DefaultDpiY);
    if (mask && !fBitmap->IsEmpty() && mask->Width() == fBitmap->Width() && mask->Height() == fBitmap->Height()) {
      if (TIEBitmap* alpha = fBitmap->AlphaChannel()) alpha->CopyFromTIEMask(mask.get());
    }
    fParams.FileName = fileName;
    fParams.FileType = typeId;
  } catch (...) {
    FinishWork();
    throw;
  }
  FinishWork();
  return !fAborting;
}

bool TIEImageIO::LoadFromStream(TIEStream& stream) {
  const int32_t type = DetectStreamFormat(stream);
  if (type == 0) {
    fAborting = true;
    return Fail();
  }
  return LoadFromStreamFormat(stream, type);
}

bool TIEBitmap::Read(const std::string& fileName, TIOParams* params, bool checkUnknown) {
  if (PixelFormat() == ieNull) SetPixelFormat(ie24RGB);
  TIEImageIO io(this);
  if (params) io.Params().Assign(*params);
  io.OnProgress = OnProgress();
  io.LoadFile(fileName, checkUnknown);
  const bool ok = !io.LoadAborted();
  SetFileInfo(fileName, io.Params().FileType);
  if (params) params->Assign(io.Params());
  return ok;
}
