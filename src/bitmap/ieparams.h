// The image parameter record: everything known about an image file apart
// from its pixels, plus the writer options.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "iecore.h"

class TIEImageIO;

// Compression of images embedded in a PDF. Value order is stored; do not reorder.
enum TPdfCompression : uint8_t {
  pdfUncompressed,
  pdfRLE,
  pdfG4Fax,
  pdfG3Fax2D,
  pdfJPEG,
  pdfLZW,
};

// A JPEG marker kept by the reader or written by the writer.
struct TIEJpegMarker {
  uint8_t type = 0;           // marker byte, e.g. 0xE1 for APP1
  std::vector<uint8_t> data;  // segment data without the length word
  friend bool operator==(const TIEJpegMarker&, const TIEJpegMarker&) = default;
};

struct TIESize {
  int32_t Width = 0, Height = 0;
  friend bool operator==(const TIESize&, const TIESize&) = default;
};

struct TIEDateTime {
  int32_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  friend bool operator==(const TIEDateTime&, const TIEDateTime&) = default;
};

// Process-wide defaults of some format options (owned by TIEGlobalSettings).
struct TIOParamDefaults {
  int32_t JpegQuality = 80;
  int32_t JpegDctMethod = 0;
  int32_t JpegScale = 1;
  bool EnableAdjustOrientation = false;
};

// Bits of ResetInfo (0 means all).
inline constexpr uint8_t ieriAnnotations = 1;
inline constexpr uint8_t ieriDicom = 2;
inline constexpr uint8_t ieriExif = 4;
inline constexpr uint8_t ieriInputICC = 8;
inline constexpr uint8_t ieriIptc = 16;
inline constexpr uint8_t ieriMarkers = 32;  // APP2 markers stay unless ieriInputICC is set too
inline constexpr uint8_t ieriXmp = 64;
inline constexpr uint8_t ieriComments = 128;

// The plain fields of TIOParams; copied member-wise, so everything here has
// value semantics.
class TIOParamsFields {
public:
  // Common fields ------------------------------------------------------------
  int32_t BitsPerSample = 8;
  int32_t SamplesPerPixel = 3;
  std::string FileName;  // UTF-8 path of the file last read
  int32_t Width = 0, Height = 0;
  int32_t FileType = 0;
  int32_t OriginalWidth = 0, OriginalHeight = 0;
  bool ReadMetadata = true;  // read EXIF, IPTC, XMP and annotation blocks
  bool NativePixelFormat = false;
  std::vector<TRGB> ColorMap;  // palette of the file, blue, green, red
  int32_t ColorMapCount() const { return static_cast<int32_t>(ColorMap.size()); }
  // Frees ColorMap.
  void FreeColorMap() { ColorMap.clear(); }

  // Metadata (byte containers; nothing in this system interprets them) ------
  std::vector<uint8_t> IptcData;
  std::string XmpData;
  std::vector<uint8_t> Annotations;
  std::vector<uint8_t> DicomTags;
  std::vector<std::string> Comments;     // general comment list
  std::vector<uint8_t> InputICCProfile;  // profile of the file
  std::vector<uint8_t> DefaultICCProfile;
  std::vector<uint8_t> OutputICCProfile;

  // EXIF ----------------------------------------------------------------------
  bool ExifHasExifData = false;
  int32_t ExifOrientation = 1;  // 1 = normal
  double ExifXResolution = 0.0, ExifYResolution = 0.0;
  int32_t ExifResolutionUnit = 2;  // 2 inches, 3 centimetres
  std::string ExifInteropIndex;  // interoperability index, e.g. "R98", "R03"
  std::string ExifMake, ExifModel, ExifDateTime, ExifSoftware, ExifArtist;

  // JPEG ----------------------------------------------------------------------
  int32_t JpegColorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK
  int32_t JpegQuality = 80;
  int32_t JpegDctMethod = 0;  // 0 accurate integer, 1 fast integer, 2 float
  int32_t JpegChromaSubsampling = 1;  // 0 = 2x1, 1 = 2x2, 2 = 1x1
  bool JpegOptimizeCoding = false;
  int32_t JpegSmoothing = 0;
  bool JpegProgressive = false;
  int32_t JpegScale = 1;  // 0 auto, 1 full, 2 1/2, 3 1/4, 4 1/8
  int32_t JpegScaleUsed = 1;
  int32_t JpegWarningTot = 0;
  int32_t JpegWarningCode = 0;
  bool JpegGetExifThumbnail = false;
  bool JpegEnableAdjustOrientation = false;
  std::vector<TIEJpegMarker> JpegMarkers;

  // PNG -----------------------------------------------------------------------
  bool PngInterlaced = false;
  TRGB PngBackground{0, 0, 0};
  std::vector<std::string> PngTextKeys, PngTextValues;

  // TIFF ----------------------------------------------------------------------
  int32_t TiffImageIndex = 0;
  int32_t TiffImageCount = 0;
  int32_t TiffSubIndex = -1;   // -1 none, else entry of SubIFDs (tag 330)
  int32_t TiffTileIndex = -1;  // -1 whole page, else only this tile
  bool TiffGetThumbnail = false;
  bool TiffEnableAdjustOrientation = false;
  int32_t TiffCompression = 0;  // 0 none .. 11 other, see the TIFF reader
  int32_t TiffPhotometric = 1;  // 0 WhiteIsZero .. 7 CIELab
  int32_t TiffPlanarConfig = 1;
  int32_t TiffOrientation = 1;
  int32_t TiffFillOrder = 1;
  bool TiffLittleEndian = true;
  bool TiffBig = false;
  int32_t TiffNewSubfileType = 0;
  std::string TiffDocumentName, TiffImageDescription, TiffPageName;
  std::array<int32_t, 2> TiffPageNumber{0, 0};  // tag 297: page number, page count
  int32_t TiffXPos = 0, TiffYPos = 0;
  int32_t TiffResolutionUnit = 2;
  std::vector<uint8_t> TiffImageResources;   // tag 34377, raw
  std::vector<uint8_t> TiffImageSourceData;  // tag 37724, raw
  // LZW strip decoder; copied from the global slot when the record is set to
  // defaults. Readers fall back to the global slot when it is null.
  TIETiffLzwDecoder TiffLzwDecoder = nullptr;

  // GIF -----------------------------------------------------------------------
  int32_t GifImageIndex = 0;
  int32_t GifImageCount = 0;
  bool GifRawFrame = false;
  std::string GifVersion = "GIF89a";
  int32_t GifScreenWidth = 0, GifScreenHeight = 0;
  int32_t GifAspect = 0;
  TRGB GifBackgroundColor{0, 0, 0};
  int32_t GifXPos = 0, GifYPos = 0;
  int32_t GifDelay = 0;  // hundredths of a second
  bool GifTransparent = false;
  TRGB GifTransparentColor{0, 0, 0};
  bool GifInterlaced = false;
  int32_t GifDisposal = 0;  // 0..7
  std::vector<std::string> GifComments;
  TIEGifDecoder GifDecoder = nullptr;  // as TiffLzwDecoder

  // BMP -----------------------------------------------------------------------
  int32_t BmpHeaderVersion = 1;
  bool BmpCompressed = false;
  bool BmpNoFileHeader = false;
  bool BmpReadAlpha = false;

  // PCX and DCX ---------------------------------------------------------------
  int32_t PcxVersion = 5;
  int32_t DcxImageIndex = 0;
  int32_t DcxImageCount = 0;

  // TGA -----------------------------------------------------------------------
  int32_t TgaXPos = 0, TgaYPos = 0;
  std::string TgaImageId;
  bool TgaCompressed = false;
  bool TgaGrayLevel = false;
  std::string TgaAuthor;
  TIEDateTime TgaDate;
  std::string TgaSoftware;
  TRGB TgaKeyColor{0, 0, 0};
  double TgaAspectRatio = 1.0;
  double TgaGamma = 2.2;

  // ICO and CUR ---------------------------------------------------------------
  int32_t IcoImageIndex = 0;
  int32_t IcoImageCount = 0;
  std::vector<TIESize> IcoSizes;       // up to 16 directory entries
  std::vector<int32_t> IcoBitCounts;   // up to 16 directory entries
  bool IcoPng = false;
  TRGB IcoBackground{255, 255, 255};
  int32_t CurImageIndex = 0;
  int32_t CurHotX = 0, CurHotY = 0;
  TRGB CurBackground{255, 255, 255};

  // PNM -----------------------------------------------------------------------
  std::vector<std::string> PnmComments;

  // Camera raw (not read by this system; only the thumbnail mirror) -----------
  bool RawGetExifThumbnail = false;

  // PDF -----------------------------------------------------------------------
  TPdfCompression PdfCompression = pdfUncompressed;
  int32_t PdfPaperWidth = 595, PdfPaperHeight = 842;  // points
  int32_t PdfMargin = 0;                              // points
  // LZW encoder for /LZWDecode images; copied from the global TiffLzwEncoder
  // slot when the record is set to defaults.
  TIELzwCompressor LzwCompressor = nullptr;

protected:
  int32_t fImageIndex = 0;
  int32_t fImageCount = 0;
  bool fGetThumbnail = false;
  bool fEnableAdjustOrientation = false;
  int32_t fDpiX = 300, fDpiY = 300;
};

class TIOParams : public TIOParamsFields {
public:
  // The owner is used only when defaults are set (size from a bitmap owner,
  // resolution from the global default unless the owner is a bitmap); it is
  // never copied.
  TIOParams();
  explicit TIOParams(TIEBitmap* ownerBitmap);
  explicit TIOParams(TIEImageIO* ownerLoader);
  ~TIOParams();
  // Deep copies (owner excluded).
  TIOParams(const TIOParams& other);
  TIOParams& operator=(const TIOParams& other);

  // Empties FileName, the colour map and the metadata and sets every field
  // to its default.
  void SetDefaultParams();
  // Clears metadata before a load; bits as ieri*, 0 = all.
  void ResetInfo(uint8_t flags = 0);
  // Copies every field except the owner; containers are deep copies.
  void Assign(const TIOParams& other);

  // Mirrored fields: the setters keep the per-format copies equal.
  int32_t ImageIndex() const { return fImageIndex; }
  // Also TiffImageIndex, GifImageIndex, DcxImageIndex, IcoImageIndex, CurImageIndex.
  void SetImageIndex(int32_t index);
  int32_t ImageCount() const { return fImageCount; }
  // Also TiffImageCount, GifImageCount, DcxImageCount, IcoImageCount.
  void SetImageCount(int32_t count);
  bool GetThumbnail() const { return fGetThumbnail; }
  // Also JpegGetExifThumbnail, TiffGetThumbnail, RawGetExifThumbnail.
  void SetGetThumbnail(bool value);
  bool EnableAdjustOrientation() const { return fEnableAdjustOrientation; }
  // Also JpegEnableAdjustOrientation, TiffEnableAdjustOrientation.
  void SetEnableAdjustOrientation(bool value);
  // Resolution in dots per inch; the setters also store ExifX/YResolution.
  int32_t DpiX() const { return fDpiX; }
  int32_t DpiY() const { return fDpiY; }
  void SetDpiX(int32_t dpi);
  void SetDpiY(int32_t dpi);

  // Thumbnail carried by the EXIF block, when there is one.
  std::unique_ptr<TIEBitmap> ExifThumbnail;

private:
  TIEBitmap* fOwnerBitmap = nullptr;
  TIEImageIO* fOwnerLoader = nullptr;
};

// One parameter record per frame of a multi-image file.
using TIOMultiParams = std::vector<std::unique_ptr<TIOParams>>;
