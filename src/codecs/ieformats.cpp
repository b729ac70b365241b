#include "ieformats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "giffilter.h"
#include "giflzw.h"
#include "ieglobal.h"
#include "iestream.h"
#include "tiffifd.h"
#include "tiflzw.h"

namespace {

struct TBuiltIn {
  int32_t id;
  const char* description;
  const char* extensions;
  const char* preferred;
  bool reader;
  bool writer;
};

// The formats of this system in registration order. Formats that only the
// further readers (DICOM, metafiles, JPEG 2000, camera raw, PSD, the viewer's
// layer and vector files) would read have no reader here, so that no file is
// accepted that could only be skipped later. The platform imaging component's
// formats (29, 32, 33, 34, 99) do not exist on this platform and are not
// registered.
const TBuiltIn kBuiltIns[] = {
    {ioTIFF, "TIFF Image", "TIF;TIFF;FAX;G3N;G3F;XIF", "tiff", true, true},
    {ioGIF, "GIF Image", "GIF", "gif", true, true},
    {ioJPEG, "JPEG Image", "JPG;JPEG;JPE;JIF", "jpeg", true, true},
    {ioPCX, "PaintBrush", "PCX", "pcx", true, true},
    {ioBMP, "Windows Bitmap", "BMP;DIB;RLE", "bmp", true, true},
    {ioBMPRAW, "Raw Bitmap", "", "", true, true},
    {ioICO, "Windows Icon", "ICO", "ico", true, true},
    {ioCUR, "Windows Cursor", "CUR", "cur", true, false},
    {ioPNG, "Portable Network Graphics", "PNG", "png", true, true},
    {ioDICOM, "DICOM Medical Image", "DCM;DIC;DICOM;V2", "dicom", false, true},
    {ioWMF, "Windows Metafile", "WMF", "wmf", false, false},
    {ioEMF, "Enhanced Windows Metafile", "EMF", "emf", false, false},
    {ioTGA, "Targa Image", "TGA;TARGA;VDA;ICB;VST;PIX", "targa", true, true},
    {ioPXM, "Portable Pixmap, Graymap, Bitmap", "PXM;PPM;PGM;PBM", "pxm", true, true},
    {ioWBMP, "Wireless Bitmap", "WBMP", "wbmp", true, true},
    {ioJP2, "JPEG2000", "JP2", "jp2", false, true},
    {ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", "j2k", false, true},
    {ioPS, "PostScript", "PS;EPS", "eps", false, true},
    {ioPDF, "Adobe PDF", "PDF", "pdf", false, true},
    {ioDCX, "Multipage PCX", "DCX", "dcx", true, true},
    {ioRAW, "Camera Raw Image",
     "CRW;CR2;DNG;NEF;RAW;RAF;X3F;ORF;SRF;MRW;DCR;BAY;PEF;SR2;ARW;KDC;MEF;3FR;K25;ERF;CAM;CS1;DC2;DCS;"
     "FFF;MDC;MOS;NRW;PTX;PXN;RDC;RW2;RWL;IIQ;SRW",
     "raw", false, false},
    {ioPSD, "Photoshop PSD", "PSD;PSB", "psd", false, true},
    {ioIEV, "Vectorial Objects", "IEV", "iev", false, true},
    {ioALL, "Layers and Objects", "ALL", "all", false, true},
    {ioLYR, "IE Layers", "IEN;IELAYERS;LYR", "ien", false, true},
    {ioSVG, "Scalable Vector Graphics", "SVG", "svg", false, true},
};

bool NeverMatches(TIEStream&, int32_t) { return false; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void FillCodecSlots() {
  TIEGlobalSettings& g = IEGlobalSettings();
  g.TiffLzwDecoder = TiffLzwDecode;
  g.TiffLzwEncoder = TiffLzwEncode;
  g.GifDecoder = GifLzwDecode;
}

TIEFileFormats& BuildRegistry() {
  static TIEFileFormats registry;
  FillCodecSlots();
  for (const TBuiltIn& b : kBuiltIns) {
    TIEFileFormatInfo info;
    info.TypeId = b.id;
    info.Description = b.description;
    info.ExtensionList = b.extensions;
    info.PreferredExtension = b.preferred;
    info.BuiltIn = true;
    info.Reader = b.reader ? IEBuiltInReader : nullptr;
    info.Writer = b.writer ? IEBuiltInWriter : nullptr;
    info.Probe = NeverMatches;
    registry.Register(info);
  }
  return registry;
}

}  // namespace

void IEBuiltInReader(TIEStream&, TIEBitmap&, TIOParams&, TProgressRecord&) {}
void IEBuiltInWriter(TIEStream&, TIEBitmap&, TIOParams&, TProgressRecord&) {}

TIEFileFormats& IEFileFormats() {
  static TIEFileFormats& registry = BuildRegistry();
  return registry;
}

void IEInitializeImageIO() { IEFileFormats(); }

void TIEFileFormats::Register(const TIEFileFormatInfo& info) {
  auto record = std::make_unique<TIEFileFormatInfo>(info);
  if (record->PreferredExtension.empty()) {
    std::string first = record->ExtensionList.substr(0, record->ExtensionList.find(';'));
    record->PreferredExtension = Lower(first);
  }
  fFormats.push_back(std::move(record));
}

void TIEFileFormats::Unregister(int32_t typeId) {
  fFormats.erase(std::remove_if(fFormats.begin(), fFormats.end(),
                                [typeId](const auto& f) { return f->TypeId == typeId; }),
                 fFormats.end());
}

const TIEFileFormatInfo* TIEFileFormats::ById(int32_t typeId) const {
  for (const auto& f : fFormats)
    if (f->TypeId == typeId) return f.get();
  return nullptr;
}

const TIEFileFormatInfo* TIEFileFormats::ByExtension(const std::string& extension) const {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (ext.empty()) return nullptr;
  for (const auto& f : fFormats) {
    const std::string& list = f->ExtensionList;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(';', start);
      if (end == std::string::npos) end = list.size();
      if (end > start && Lower(list.substr(start, end - start)) == ext) return f.get();
      start = end + 1;
    }
  }
  return nullptr;
}

const TIEFileFormatInfo* FormatInfoById(int32_t typeId) { return IEFileFormats().ById(typeId); }

const TIEFileFormatInfo* FormatInfoByExtension(const std::string& extension) {
  return IEFileFormats().ByExtension(extension);
}

std::string IEExtractFileExt(const std::string& fileName) {
  size_t dot = fileName.find_last_of('.');
  size_t slash = fileName.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return fileName.substr(dot);
}

namespace {

bool ExtensionIn(const std::string& fileName, std::initializer_list<const char*> list) {
  std::string ext = Lower(IEExtractFileExt(fileName));
  for (const char* e : list)
    if (ext == e) return true;
  return false;
}

// Reads up to count bytes from the current position and puts it back.
size_t Peek(TIEStream& s, uint8_t* out, size_t count) {
  int64_t pos = s.Position();
  int64_t got = s.Read(out, static_cast<int64_t>(count));
  s.SetPosition(pos);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t BE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t BE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// The first bytes of the stream, read once for the fixed-size tests.
struct THead {
  uint8_t b[512] = {};
  size_t n = 0;
  int64_t size = 0;  // bytes from the start position to the end of the stream
  bool Has(size_t count) const { return n >= count; }
  bool At(size_t offset, const char* text) const {
    size_t len = std::strlen(text);
    return offset + len <= n && std::memcmp(b + offset, text, len) == 0;
  }
};

bool CameraRawSignature(const THead& h) {
  if (h.size <= 16 || !h.Has(16)) return false;
  bool order = h.At(0, "II") || h.At(0, "MM");
  if (order && (h.At(2, "RO") || h.At(2, "OR") || h.At(2, "RS"))) return true;
  if (h.At(0, "FUJIFILM") || h.At(1, "MRM")) return true;
  if (order && h.At(8, "CR")) return true;
  if (order && h.b[6] == 'H' && h.At(11, "CDR")) return true;
  return false;
}

// TIFF-style files that are camera raw rather than plain TIFF.
bool RawStyleTIFF(TIETIFFIFDReader& r) {
  const TIETIFFEntry* dng = r.FindEntry(50706);
  if (dng && dng->Type == ttBYTE && dng->Count == 4) return true;
  const TIETIFFEntry* pi = r.FindEntry(262);
  if (pi && pi->Type == ttSHORT && pi->Count == 1) {
    int64_t v = r.ReadInteger(262, 0, 0);
    if (v == 32803 || v == 34892) return true;
  }
  if (r.HasTag(330) && r.HasTag(37398) && r.ReadInteger(256, 0, 0) < 200 && r.ReadInteger(257, 0, 0) < 200)
    return true;
  return false;
}

bool ProbeHDPhoto(TIEStream& s, const THead& h) {
  if (!h.At(0, "II")) return false;
  TIETIFFIFDReader r(s, s.Position());
  if (!r.ReadHeader() || !r.LittleEndian() || !r.LoadDirectory(0)) return false;
  for (uint16_t tag : {48256, 48257, 48129, 48320, 48321})
    if (!r.HasTag(tag)) return false;
  return true;
}

// 0 no TIFF, 1 TIFF, 20 camera raw in a TIFF structure.
int32_t ProbeTIFFKind(TIEStream& s, const THead& h) {
  if (h.size <= 20) return 0;
  TIETIFFIFDReader r(s, s.Position());
  if (!r.ReadHeader() || !r.LoadDirectory(0)) return 0;
  if (!r.HasTag(256) || !r.HasTag(257)) return 0;
  if (RawStyleTIFF(r)) return 0;
  return CameraRawSignature(h) ? ioRAW : ioTIFF;
}

bool ProbeWMF(const THead& h) {
  size_t at = 0;
  if (h.Has(4) && LE32(h.b) == 0x9AC6CDD7u) at = 22;
  if (!h.Has(at + 18)) return false;
  return LE16(h.b + at) == 1 && LE16(h.b + at + 2) == 9 && LE16(h.b + at + 16) == 0;
}

bool ProbePSD(const THead& h) {
  if (!h.Has(26) || !h.At(0, "8BPS")) return false;
  uint16_t version = BE16(h.b + 4), channels = BE16(h.b + 12), depth = BE16(h.b + 22), mode = BE16(h.b + 24);
  return (version == 1 || version == 2) && channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 &&
         mode < 10;
}

bool ProbeIEV(const uint8_t* p, size_t n) {
  return n >= 4 && std::memcmp(p, "IEV", 3) == 0 && p[3] >= '1' && p[3] <= '9';
}

bool ProbeLayers(const uint8_t* p, size_t n) {
  return n >= 22 && std::memcmp(p, "IELAYERSIMAGE", 13) == 0 && static_cast<int8_t>(p[21]) > 0;
}

bool ProbeAllObjects(TIEStream& s, const THead& h) {
  if (!h.Has(4)) return false;
  uint32_t offset = LE32(h.b);
  if (offset >= static_cast<uint64_t>(h.size) || !ProbeLayers(h.b + 4, h.n - 4)) return false;
  uint8_t iev[4];
  int64_t start = s.Position();
  s.SetPosition(start + offset);
  size_t n = Peek(s, iev, 4);
  s.SetPosition(start);
  return ProbeIEV(iev, n);
}

bool JpegStartWithin150(const THead& h) {
  for (size_t i = 0; i < 150 && i + 3 <= h.n; ++i)
    if (h.b[i] == 0xFF && h.b[i + 1] == 0xD8 && h.b[i + 2] == 0xFF) return true;
  return false;
}

}  // namespace

bool IEProbeTIFF(TIEStream& stream) {
  int64_t pos = stream.Position();
  TIETIFFIFDReader r(stream, pos);
  bool ok = stream.Size() - pos > 20 && r.ReadHeader() && r.LoadDirectory(0) && r.HasTag(256) && r.HasTag(257);
  stream.SetPosition(pos);
  return ok;
}

bool IEProbeICO(TIEStream& stream, int type) {
  int64_t pos = stream.Position();
  bool ok = false;
  uint8_t h[6];
  if (stream.Size() - pos >= 23 && stream.ReadExact(h, 6) && LE16(h) == 0 && LE16(h + 2) == type &&
      LE16(h + 4) != 0) {
    int count = LE16(h + 4);
    std::vector<uint8_t> dir(static_cast<size_t>(count) * 16);
    if (stream.ReadExact(dir.data(), static_cast<int64_t>(dir.size()))) {
      ok = true;
      for (int i = 0; i < count && ok; ++i) {
        const uint8_t* e = dir.data() + i * 16;
        uint32_t end = 6 + 16 * static_cast<uint32_t>(i + 1);
        ok = e[3] == 0 && LE32(e + 8) != 0 && LE32(e + 12) >= end;
      }
    }
  }
  stream.SetPosition(pos);
  return ok;
}

bool IEProbeTGA(TIEStream& stream) {
  uint8_t h[18];
  if (Peek(stream, h, 18) < 18) return false;
  int type = h[2], depth = h[16];
  bool typeOk = (type >= 1 && type <= 3) || (type >= 9 && type <= 11);
  bool depthOk = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  return typeOk && depthOk && h[1] <= 1 && LE16(h + 12) != 0 && LE16(h + 14) != 0;
}

bool IEProbePNM(TIEStream& stream) {
  // Headers are tiny; a megabyte of comments is not a picture.
  constexpr int64_t kMaxScan = 1 << 20;
  constexpr int kMaxTokens = 501;
  int64_t pos = stream.Position();
  std::string tokens[3];
  int found = 0, tokensRead = 0;
  std::string current;
  bool inComment = false;
  uint8_t buf[4096];
  int64_t scanned = 0;
  bool done = false;
  while (!done && scanned < kMaxScan) {
    int64_t got = stream.Read(buf, sizeof buf);
    if (got <= 0) break;
    for (int64_t i = 0; i < got && !done; ++i) {
      char c = static_cast<char>(buf[i]);
      if (inComment) {
        if (c == '\n' || c == '\r') inComment = false;
        continue;
      }
      if (std::isalnum(static_cast<unsigned char>(c))) {
        if (current.size() < 32) current += c;
        else current += c, current.erase(0, 1);  // only short tokens can match
        continue;
      }
      if (!current.empty()) {
        tokens[found++] = current;
        current.clear();
        if (found == 3 || ++tokensRead >= kMaxTokens) done = true;
      }
      if (c == '#') inComment = true;
    }
    scanned += got;
  }
  if (!done && !current.empty() && found < 3) tokens[found++] = current;
  stream.SetPosition(pos);
  if (found < 3) return false;
  const std::string& m = tokens[0];
  if (m.size() != 2 || m[0] != 'P' || m[1] < '1' || m[1] > '6') return false;
  for (int i = 1; i <= 2; ++i) {
    const std::string& t = tokens[i];
    if (t.empty() || t.size() > 9 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    if (std::stol(t) <= 0) return false;
  }
  return true;
}

namespace {

// Page offsets of a DCX table; false without the magic or with an offset
// outside the stream.
bool DcxTable(TIEStream& stream, std::vector<uint32_t>& pages) {
  int64_t pos = stream.Position();
  int64_t size = stream.Size() - pos;
  uint8_t head[4];
  bool ok = stream.ReadExact(head, 4) && LE32(head) == 0x3ADE68B1u;
  for (int i = 0; ok && i < 1024; ++i) {
    uint8_t b[4];
    if (!stream.ReadExact(b, 4)) break;
    uint32_t off = LE32(b);
    if (off == 0) break;
    if (off >= static_cast<uint64_t>(size)) ok = false;
    else pages.push_back(off);
  }
  stream.SetPosition(pos);
  return ok;
}

}  // namespace

bool IEProbeDCX(TIEStream& stream) {
  std::vector<uint32_t> pages;
  return DcxTable(stream, pages);
}

int32_t DetectStreamFormat(TIEStream& stream) {
  int32_t result = 0;
  int64_t start = 0;
  try {
    start = stream.Position();
    THead h;
    h.size = stream.Size() - start;
    h.n = Peek(stream, h.b, sizeof h.b);
    // Each test starts at the start and leaves the stream there; an
    // exception in any test ends detection with nothing found.
    const bool cameraRaw = CameraRawSignature(h);
    struct TTest {
      int64_t mustExceed;
      bool (*fixed)(const THead&);
      int32_t id;
    };
    static const TTest kFixed[] = {
        {12, [](const THead& x) { return x.At(0, "JFIF") && x.b[4] == 0; }, ioJPEG},
        {13, [](const THead& x) { return x.At(0, "GIF"); }, ioGIF},
        {12, [](const THead& x) { return x.At(0, "PCX2") && x.b[4] == 0; }, ioPCX},
        {4, [](const THead& x) { return x.At(0, "PCX") && x.b[3] == 0; }, ioPCX},
        {14, [](const THead& x) { return x.At(0, "BM"); }, ioBMP},
        {128, [](const THead& x) { return x.b[0] == 0x0A && x.b[1] <= 5; }, ioPCX},
        {12, [](const THead& x) { return x.At(0, "TIFF") && x.b[4] == 0; }, ioTIFF},
    };
    for (const TTest& t : kFixed)
      if (h.size > t.mustExceed && t.fixed(h)) return stream.SetPosition(start), t.id;

    auto run = [&](auto&& test) {
      bool hit = test();
      stream.SetPosition(start);
      return hit;
    };
    if (run([&] { return ProbeHDPhoto(stream, h); })) return ioHDP;
    int32_t tiff = ProbeTIFFKind(stream, h);
    stream.SetPosition(start);
    if (tiff != 0) return tiff;
    if (h.size > 8 && h.Has(4) && h.b[0] == 0x89 && h.At(1, "PNG")) return ioPNG;
    if (h.At(128, "DICM")) return ioDICOM;
    if (run([&] { return IEProbeICO(stream, 1); })) return ioICO;
    if (run([&] { return IEProbeICO(stream, 2); })) return ioCUR;
    if (run([&] { return IEProbeTGA(stream); })) return ioTGA;
    if (run([&] { return IEProbePNM(stream); })) return ioPXM;
    if (h.Has(12) && BE32(h.b) == 12 && BE32(h.b + 4) == 0x6A502020u && BE32(h.b + 8) == 0x0D0A870Au)
      return ioJP2;
    if (h.Has(4) && BE16(h.b) == 0xFF4F && BE16(h.b + 2) == 0xFF51) return ioJ2K;
    if (h.At(0, "RIFF") && h.At(8, "AVI ")) return ioAVI;
    if (run([&] { return IEProbeDCX(stream); })) return ioDCX;
    if (ProbeWMF(h)) return ioWMF;
    if (h.Has(44) && LE32(h.b) == 1 && LE32(h.b + 40) == 0x464D4520u) return ioEMF;
    if (ProbePSD(h)) return ioPSD;
    if (ProbeIEV(h.b, h.n)) return ioIEV;
    if (ProbeLayers(h.b, h.n)) return ioLYR;
    if (run([&] { return ProbeAllObjects(stream, h); })) return ioALL;
    if (!cameraRaw && JpegStartWithin150(h)) return ioJPEG;
    const TIEFileFormats& formats = IEFileFormats();
    for (int i = 0; i < formats.Count(); ++i) {
      const TIEFileFormatInfo& f = formats[i];
      if (f.BuiltIn || !f.Probe) continue;
      if (run([&] { return f.Probe(stream, f.TypeId); })) return f.TypeId;
    }
    // No camera-raw library and no platform imaging component here.
  } catch (...) {
    result = 0;
  }
  try {
    stream.SetPosition(start);
  } catch (...) {
  }
  return result;
}

int32_t FormatFromExtension(const std::string& fileName) {
  std::string ext = IEExtractFileExt(fileName);
  if (const TIEFileFormatInfo* f = FormatInfoByExtension(ext)) return f->TypeId;
  if (ExtensionIn(fileName, {".mpe", ".mpg", ".mpeg"})) return ioMPEG;
  if (ExtensionIn(fileName, {".wmv"})) return ioWMV;
  return 0;
}

namespace {

bool IsRegularFile(const std::string& fileName) {
  struct stat st {};
  return !fileName.empty() && ::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int32_t DetectFileFormat(const std::string& fileName, int policy) {
  if (!IsRegularFile(fileName)) return 0;
  int32_t detected = 0;
  try {
    TIEFileStream stream(fileName, fmOpenRead);
    detected = DetectStreamFormat(stream);
  } catch (...) {
    detected = 0;
  }
  const TIEFileFormatInfo* r = FormatInfoByExtension(IEExtractFileExt(fileName));
  if (r && r->TypeId == ioRAW && detected == ioTIFF) return ioRAW;
  if (r && r->TypeId == ioRAW && detected == ioOTHER && policy != 0) return ioRAW;
  if (r && !r->BuiltIn) return r->TypeId;
  if (policy == 1 && detected != 0) {
    if (r) {
      if (detected == ioICO || detected == ioCUR) return r->TypeId;
      if (detected != r->TypeId) return 0;
    } else {
      return (detected == ioAVI && ExtensionIn(fileName, {".avi"})) ? detected : 0;
    }
  }
  if (policy == 2 && detected == 0 && r) return r->TypeId;
  return detected;
}

bool IsLoadableFile(const std::string& fileName, bool includeVideo) {
  if (ExtensionIn(fileName, {".avi", ".mpe", ".mpg", ".mpeg", ".wmv"})) return includeVideo;
  const TIEFileFormatInfo* f = FormatInfoByExtension(IEExtractFileExt(fileName));
  return f && f->Reader != nullptr;
}

namespace {

int32_t CountTIFF(TIEStream& stream) {
  TIETIFFIFDReader r(stream, stream.Position());
  int pages = 0;
  if (!r.ReadHeader()) return 0;
  r.LoadDirectory(-1, &pages);
  return pages;
}

int32_t CountICO(TIEStream& stream) {
  uint8_t h[6];
  if (!stream.ReadExact(h, 6)) return 0;
  const int type = LE16(h + 2);
  if (LE16(h) != 0 || (type != 1 && type != 2)) return 0;
  // Entries past the end of the file are no pictures; a count that claims
  // them would give the list thousands of entries that all fail.
  const int64_t fit = stream.Remaining() / 16;
  return static_cast<int32_t>(std::min<int64_t>(LE16(h + 4), fit));
}

int32_t CountDCX(TIEStream& stream) {
  std::vector<uint32_t> pages;
  DcxTable(stream, pages);
  return static_cast<int32_t>(pages.size());
}

// Frame counters of the multi-frame formats, called with the file's stream
// at its start. A format whose counter is still missing counts 1. The GIF
// reader adds its counter here (frames of the file; 0 when it cannot be read).
struct TFrameCounter {
  int32_t typeId;
  int32_t (*count)(TIEStream& stream);
};
const TFrameCounter kFrameCounters[] = {
    {ioTIFF, CountTIFF},
    {ioGIF, IEGifFrameCount},
    {ioICO, CountICO},
    {ioDCX, CountDCX},
};

}  // namespace

int32_t CountStreamFrames(TIEStream& stream, int32_t typeId) {
  if (typeId == 0 || typeId == ioAVI) return 0;  // no video decoding here
  for (const TFrameCounter& c : kFrameCounters) {
    if (c.typeId != typeId) continue;
    try {
      return c.count(stream);
    } catch (...) {
      return 0;
    }
  }
  return 1;
}

int32_t CountFileFrames(const std::string& fileName) {
  int32_t type = DetectFileFormat(fileName, 2);
  if (type == 0 || type == ioAVI) return 0;
  try {
    TIEFileStream stream(fileName, fmOpenRead);
    return CountStreamFrames(stream, type);
  } catch (...) {
    return 0;
  }
}
