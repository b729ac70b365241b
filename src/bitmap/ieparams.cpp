#include "ieparams.h"

#include <algorithm>

#include "ieglobal.h"

TIOParams::TIOParams() { SetDefaultParams(); }

TIOParams::TIOParams(TIEBitmap* ownerBitmap) : fOwnerBitmap(ownerBitmap) { SetDefaultParams(); }

TIOParams::TIOParams(TIEImageIO* ownerLoader) : fOwnerLoader(ownerLoader) { SetDefaultParams(); }

TIOParams::~TIOParams() = default;

TIOParams::TIOParams(const TIOParams& other) : TIOParamsFields() { Assign(other); }

TIOParams& TIOParams::operator=(const TIOParams& other) {
  Assign(other);
  return *this;
}

void TIOParams::SetDefaultParams() {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  const TIOParamDefaults& defaults = settings.IOParamDefaults;
  const int32_t dpiX = fDpiX, dpiY = fDpiY;
  static_cast<TIOParamsFields&>(*this) = TIOParamsFields();
  ExifThumbnail.reset();

  Width = fOwnerBitmap ? fOwnerBitmap->Width() : 0;
  Height = fOwnerBitmap ? fOwnerBitmap->Height() : 0;
  if (fOwnerBitmap) {
    // A record bound to a bitmap keeps the resolution it had.
    SetDpiX(dpiX);
    SetDpiY(dpiY);
  } else {
    SetDpiX(settings.DefaultDpiX);
    SetDpiY(settings.DefaultDpiY);
  }
  JpegQuality = defaults.JpegQuality;
  JpegDctMethod = defaults.JpegDctMethod;
  JpegScale = defaults.JpegScale;
  SetEnableAdjustOrientation(defaults.EnableAdjustOrientation);
  SetImageIndex(0);
  SetImageCount(0);
  SetGetThumbnail(false);
  TiffLzwDecoder = settings.TiffLzwDecoder;
  GifDecoder = settings.GifDecoder;
  LzwCompressor = settings.TiffLzwEncoder;
}

void TIOParams::ResetInfo(uint8_t flags) {
  if (flags == 0) flags = 255;
  if (flags & ieriAnnotations) Annotations.clear();
  if (flags & ieriDicom) DicomTags.clear();
  if (flags & ieriExif) {
    ExifHasExifData = false;
    ExifOrientation = 1;
    // The resolution copies follow the record's resolution, which stays.
    ExifXResolution = fDpiX;
    ExifYResolution = fDpiY;
    ExifResolutionUnit = 2;
    ExifThumbnail.reset();
    ExifInteropIndex.clear();
    ExifMake.clear();
    ExifModel.clear();
    ExifDateTime.clear();
    ExifSoftware.clear();
    ExifArtist.clear();
  }
  if (flags & ieriInputICC) InputICCProfile.clear();
  if (flags & ieriIptc) IptcData.clear();
  if (flags & ieriMarkers) {
    // APP2 markers carry ICC data: they go only with the input profile.
    const bool keepApp2 = !(flags & ieriInputICC);
    std::erase_if(JpegMarkers,
                  [keepApp2](const TIEJpegMarker& m) { return !(keepApp2 && m.type == 0xE2); });
  }
  if (flags & ieriXmp) XmpData.clear();
  if (flags & ieriComments) {
    Comments.clear();
    PngTextKeys.clear();
    PngTextValues.clear();
    GifComments.clear();
    PnmComments.clear();
  }
}

void TIOParams::Assign(const TIOParams& other) {
  if (&other == this) return;
  static_cast<TIOParamsFields&>(*this) = other;
  if (other.ExifThumbnail) {
    auto copy = std::make_unique<TIEBitmap>();
    copy->Assign(other.ExifThumbnail.get());
    ExifThumbnail = std::move(copy);
  } else {
    ExifThumbnail.reset();
  }
}

void TIOParams::SetImageIndex(int32_t index) {
  fImageIndex = index;
  TiffImageIndex = index;
  GifImageIndex = index;
  DcxImageIndex = index;
  IcoImageIndex = index;
  CurImageIndex = index;
}

void TIOParams::SetImageCount(int32_t count) {
  fImageCount = count;
  TiffImageCount = count;
  GifImageCount = count;
  DcxImageCount = count;
  IcoImageCount = count;
}

void TIOParams::SetGetThumbnail(bool value) {
  fGetThumbnail = value;
  JpegGetExifThumbnail = value;
  TiffGetThumbnail = value;
  RawGetExifThumbnail = value;
}

void TIOParams::SetEnableAdjustOrientation(bool value) {
  fEnableAdjustOrientation = value;
  JpegEnableAdjustOrientation = value;
  TiffEnableAdjustOrientation = value;
}

void TIOParams::SetDpiX(int32_t dpi) {
  fDpiX = dpi;
  ExifXResolution = dpi;
}

void TIOParams::SetDpiY(int32_t dpi) {
  fDpiY = dpi;
  ExifYResolution = dpi;
}
