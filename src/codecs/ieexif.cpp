#include "ieexif.h"

#include <cstring>
#include <memory>

#include "iebitmap.h"
#include "ieparams.h"
#include "iestream.h"
#include "jpegfilt.h"
#include "tiffifd.h"

namespace {

constexpr uint16_t kTagOrientation = 274;
constexpr uint16_t kTagXResolution = 282;
constexpr uint16_t kTagYResolution = 283;
constexpr uint16_t kTagResolutionUnit = 296;
constexpr uint16_t kTagMake = 271;
constexpr uint16_t kTagModel = 272;
constexpr uint16_t kTagSoftware = 305;
constexpr uint16_t kTagDateTime = 306;
constexpr uint16_t kTagArtist = 315;
constexpr uint16_t kTagExifIFD = 34665;
constexpr uint16_t kTagInteropIFD = 40965;
constexpr uint16_t kTagInteropIndex = 1;
constexpr uint16_t kTagThumbnailOffset = 513;
constexpr uint16_t kTagThumbnailLength = 514;

// Exact value of a resolution: the rational as stored, 0 when absent.
double Resolution(TIETIFFIFDReader& r, uint16_t tag) {
  int64_t num = 0, den = 0;
  if (r.ReadRational(tag, 0, num, den)) return den == 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
  return r.ReadReal(tag, 0, 0.0);
}

void ReadThumbnail(TIETIFFIFDReader& r, const uint8_t* data, size_t size, TIOParams& params) {
  int64_t offset = r.ReadInteger(kTagThumbnailOffset, 0, -1);
  int64_t length = r.ReadInteger(kTagThumbnailLength, 0, -1);
  if (offset <= 0 || length <= 0 || static_cast<uint64_t>(offset) >= size ||
      static_cast<uint64_t>(length) > size - static_cast<uint64_t>(offset))
    return;
  TIEMemoryStream stream(data + offset, length);
  auto thumbnail = std::make_unique<TIEBitmap>();
  TIOParams scratch;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  TIEJpegReadOptions options;
  options.ReadICC = false;
  options.ReadMetadata = false;  // a thumbnail's own EXIF block is not ours
  IEJpegReadStream(stream, thumbnail.get(), scratch, progress, options);
  if (!aborting && !thumbnail->IsEmpty()) params.ExifThumbnail = std::move(thumbnail);
}

}  // namespace

bool IEIsExifSegment(const uint8_t* data, size_t size) {
  return size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0;
}

bool IEReadExif(const uint8_t* data, size_t size, TIOParams& params, bool readThumbnail) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  TIETIFFIFDReader r(stream, 0);
  if (!r.ReadHeader() || !r.LoadDirectoryAt(r.FirstDirectoryOffset())) return false;
  const uint64_t ifd1 = r.NextDirectoryOffset();
  params.ExifHasExifData = true;
  params.ExifXResolution = Resolution(r, kTagXResolution);
  params.ExifYResolution = Resolution(r, kTagYResolution);
  params.ExifResolutionUnit = static_cast<int32_t>(r.ReadInteger(kTagResolutionUnit, 0, 2));
  params.ExifOrientation = static_cast<int32_t>(r.ReadInteger(kTagOrientation, 0, 1));
  params.ExifMake = r.ReadString(kTagMake);
  params.ExifModel = r.ReadString(kTagModel);
  params.ExifDateTime = r.ReadString(kTagDateTime);
  params.ExifSoftware = r.ReadString(kTagSoftware);
  params.ExifArtist = r.ReadString(kTagArtist);
  const int64_t exifIFD = r.ReadInteger(kTagExifIFD, 0, 0);
  params.ExifInteropIndex.clear();
  if (exifIFD > 0 && r.LoadDirectoryAt(static_cast<uint64_t>(exifIFD))) {
    const int64_t interop = r.ReadInteger(kTagInteropIFD, 0, 0);
    if (interop > 0 && r.LoadDirectoryAt(static_cast<uint64_t>(interop)))
      params.ExifInteropIndex = r.ReadString(kTagInteropIndex);
  }
  params.ExifThumbnail.reset();
  if (readThumbnail && ifd1 != 0 && ifd1 != r.FirstDirectoryOffset() && r.LoadDirectoryAt(ifd1))
    ReadThumbnail(r, data, size, params);
  return true;
}

bool IEReadIptcResource(const uint8_t* data, size_t size, TIOParams& params) {
  static const char kId[] = "Photoshop 3.0";
  const size_t idLen = sizeof kId;  // with its zero byte
  if (size < idLen || std::memcmp(data, kId, idLen) != 0) return false;
  size_t p = idLen;
  while (p + 12 <= size) {
    if (std::memcmp(data + p, "8BIM", 4) != 0) return false;
    const unsigned id = (data[p + 4] << 8) | data[p + 5];
    size_t nameLen = data[p + 6];
    size_t q = p + 6 + ((nameLen + 2) & ~size_t(1));  // Pascal name padded to even
    if (q + 4 > size) return false;
    const size_t len = (size_t(data[q]) << 24) | (size_t(data[q + 1]) << 16) | (size_t(data[q + 2]) << 8) | data[q + 3];
    q += 4;
    if (len > size - q) return false;
    if (id == 0x0404) {
      params.IptcData.assign(data + q, data + q + len);
      return true;
    }
    p = q + len + (len & 1);
  }
  return false;
}
