#include "jpegfilt.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "ieconvert.h"
#include "ieexif.h"
#include "iejpegerr.h"
#include "iestream.h"

namespace {

// The start of image may follow this many bytes of anything (some writers
// put a small header in front of the JPEG data).
constexpr int kSoiSearch = 150;
// Real encoders write at most a few dozen progressive scans; thousands of
// tiny scans over a large picture are a way to keep the decoder busy.
constexpr int kMaxScans = 1000;
// A Huffman-coded JPEG needs at least one bit per 8 x 8 block of its most
// finely sampled component, and no block covers more than 256 pixels (4:1
// sampling both ways), so real files stay far below 2048 pixels a byte. A
// file claiming more is truncated or lies; libjpeg would decode the missing
// data as grey, so we refuse it before anything is allocated.
constexpr int64_t kHuffmanPixelsPerByte = 2048;
// Arithmetic coding has no such floor: a blank page codes in about 130 bytes
// whatever its size (66,000 pixels a byte for grey A4 at 300 dpi), so real
// files cannot be told from lying ones by their size alone. The bound lets
// blank pages of up to about 130 megapixels through; within it, a lying
// header costs what a real picture of its size would.
constexpr int64_t kArithmeticPixelsPerByte = int64_t(1) << 20;
// libjpeg's own buffers (the coefficients of a progressive or multi-scan
// file) are held to what the data can justify.
constexpr int64_t kArithmeticMemoryFloor = int64_t(256) << 20;
constexpr int64_t kArithmeticMemoryPerByte = 2 * 65536 * 3;
// Rows asked of libjpeg per call when the bitmap's rows are all addressable.
constexpr int kRowBatch = 16;

struct TDecoder {
  jpeg_decompress_struct cinfo{};
  TIEJpegErrorMgr err;
  TIEJpegSource src;
  jpeg_progress_mgr monitor{};
  bool created = false;
  TDecoder() = default;
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;
  ~TDecoder() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

void MonitorProgress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) IEJpegFail(cinfo, "Too many progressive scans");
  auto* mgr = reinterpret_cast<TIEJpegErrorMgr*>(cinfo->err);
  if (mgr->aborting && *mgr->aborting) IEJpegFail(cinfo, "Cancelled");
}

bool StartsWith(const jpeg_saved_marker_ptr m, const char* text, size_t len) {
  return m->data_length >= len && std::memcmp(m->data, text, len) == 0;
}

// Scans from the start of image for APP2 ICC chunks.
class TByteReader {
public:
  explicit TByteReader(TIEStream& s) : fStream(s), fBuffer(65536) {}
  bool Next(uint8_t& b) {
    if (fPos == fLen) {
      int64_t got = fStream.Read(fBuffer.data(), static_cast<int64_t>(fBuffer.size()));
      if (got <= 0) return false;
      fLen = static_cast<size_t>(got);
      fPos = 0;
    }
    b = fBuffer[fPos++];
    return true;
  }
  bool Skip(size_t n) {
    size_t inBuffer = fLen - fPos;
    if (n <= inBuffer) {
      fPos += n;
      return true;
    }
    n -= inBuffer;
    fPos = fLen = 0;
    int64_t before = fStream.Position();
    return fStream.Seek(static_cast<int64_t>(n), soCurrent) == before + static_cast<int64_t>(n) &&
           fStream.Position() <= fStream.Size();
  }
  bool Read(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (!Next(out[i])) return false;
    return true;
  }

private:
  TIEStream& fStream;
  std::vector<uint8_t> fBuffer;
  size_t fPos = 0, fLen = 0;
};

bool IsSOF(uint8_t m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Copies a bitmap pixel by pixel into its upright form.
void Orient(TIEBitmap& source, TIEBitmap& target, int orientation) {
  const int w = source.Width(), h = source.Height();
  const int bpp = source.BitCount() / 8;
  for (int y = 0; y < h; ++y) {
    // Rows of memory-stored bitmaps stay valid; file storage maps one row at
    // a time, so the source row is copied first.
    std::vector<uint8_t> row(source.Scanline(y), source.Scanline(y) + static_cast<int64_t>(w) * bpp);
    for (int x = 0; x < w; ++x) {
      int tx = x, ty = y;
      switch (orientation) {
        case 2: tx = w - 1 - x; break;
        case 3: tx = w - 1 - x, ty = h - 1 - y; break;
        case 4: ty = h - 1 - y; break;
        case 5: tx = y, ty = x; break;
        case 6: tx = h - 1 - y, ty = x; break;
        case 7: tx = h - 1 - y, ty = w - 1 - x; break;
        case 8: tx = y, ty = w - 1 - x; break;
        default: break;
      }
      std::memcpy(target.Scanline(ty) + static_cast<int64_t>(tx) * bpp, row.data() + static_cast<int64_t>(x) * bpp,
                  static_cast<size_t>(bpp));
    }
  }
}

}  // namespace

void IEApplyExifOrientation(TIEBitmap& bitmap, int orientation) {
  if (orientation < 2 || orientation > 8 || bitmap.IsEmpty() || bitmap.BitCount() % 8 != 0) return;
  const bool quarter = orientation >= 5;
  const int w = quarter ? bitmap.Height() : bitmap.Width();
  const int h = quarter ? bitmap.Width() : bitmap.Height();
  TIEBitmap upright;
  upright.SetLocation(bitmap.Location());
  if (!upright.Allocate(w, h, bitmap.PixelFormat())) return;
  if (bitmap.PixelFormat() == ie8p) bitmap.CopyPaletteTo(upright);
  Orient(bitmap, upright, orientation);
  std::vector<uint8_t> icc = bitmap.InputICCProfile();
  bitmap.Assign(&upright);
  bitmap.InputICCProfile() = std::move(icc);
}

std::vector<uint8_t> IEJpegReadICCProfile(TIEStream& stream) {
  const int64_t start = stream.Position();
  std::vector<std::vector<uint8_t>> chunks;
  int total = 0, found = 0;
  {
    TByteReader in(stream);
    uint8_t b = 0;
    bool have = in.Next(b);
    while (have) {
      if (b != 0xFF) {
        have = in.Next(b);
        continue;
      }
      uint8_t m = 0;
      if (!in.Next(m)) break;
      if (m == 0xFF) {  // fill byte: m starts the next marker
        b = m;
        continue;
      }
      if (m <= 0xBF || (m >= 0xD0 && m <= 0xD8)) {
        have = in.Next(b);
        continue;
      }
      if (m == 0xD9 || IsSOF(m)) break;
      uint8_t lb[2];
      if (!in.Read(lb, 2)) break;
      const size_t len = static_cast<size_t>((lb[0] << 8) | lb[1]);
      if (len < 2) break;
      if (m == 0xE2) {
        std::vector<uint8_t> data(len - 2);
        if (!in.Read(data.data(), data.size())) break;
        if (data.size() >= 14 && std::memcmp(data.data(), "ICC_PROFILE\0", 12) == 0) {
          int seq = data[12], count = data[13];
          if (total == 0 && count > 0) {
            total = count;
            chunks.assign(static_cast<size_t>(count), {});
          }
          if (count == total && seq >= 1 && seq <= total && chunks[static_cast<size_t>(seq - 1)].empty() &&
              data.size() > 14) {
            chunks[static_cast<size_t>(seq - 1)].assign(data.begin() + 14, data.end());
            if (++found == total) break;
          }
        }
      } else if (!in.Skip(len - 2)) {
        break;
      }
      have = in.Next(b);
    }
  }
  stream.SetPosition(start);
  std::vector<uint8_t> profile;
  if (total == 0 || found != total) return profile;  // a profile with a hole is no profile
  for (const auto& c : chunks) profile.insert(profile.end(), c.begin(), c.end());
  return profile;
}

int IEJpegReadStream(TIEStream& stream, TIEBitmap* bitmap, TIOParams& params, TProgressRecord& progress,
                     const TIEJpegReadOptions& options) {
  const bool headerOnly = options.HeaderOnly || bitmap == nullptr;

  // Embedded thumbnail instead of the picture.
  if (params.JpegGetExifThumbnail && !headerOnly) {
    const int64_t pos = stream.Position();
    TIEJpegReadOptions header = options;
    header.HeaderOnly = true;
    IEJpegReadStream(stream, nullptr, params, progress, header);
    if (progress.Aborted()) return 0;
    if (params.ExifThumbnail) {
      bitmap->Assign(params.ExifThumbnail.get());
      return bitmap->Height();
    }
    stream.SetPosition(pos);
    if (params.JpegScale == 1) {
      // No thumbnail stored: decode small instead.
      const int32_t w = params.Width, h = params.Height;
      params.JpegGetExifThumbnail = false;
      params.JpegScale = 0;
      params.Width = params.Height = 300;
      int rows = IEJpegReadStream(stream, bitmap, params, progress, options);
      params.JpegGetExifThumbnail = true;
      params.JpegScale = 1;
      params.Width = w;
      params.Height = h;
      return rows;
    }
  }

  params.JpegWarningTot = 0;
  params.JpegWarningCode = 0;

  // Start of image.
  const int64_t start = stream.Position();
  uint8_t head[kSoiSearch + 2];
  const int64_t headLen = stream.Read(head, sizeof head);
  int soi = -1;
  for (int i = 0; i < kSoiSearch && i + 2 < headLen; ++i) {
    if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) {
      soi = i;
      break;
    }
  }
  if (soi < 0) {
    progress.Abort();
    return 0;
  }
  const int64_t soiPos = start + soi;
  stream.SetPosition(soiPos);

  if (options.ReadICC) {
    params.InputICCProfile = IEJpegReadICCProfile(stream);
    stream.SetPosition(soiPos);
  }

  TDecoder d;
  d.cinfo.err = IEJpegInitErrorMgr(d.err, progress.Aborting);
  if (!IEJpegProtect(d.err, [&] { jpeg_create_decompress(&d.cinfo); })) {
    progress.Abort();
    return 0;
  }
  d.created = true;
  d.monitor.progress_monitor = MonitorProgress;
  d.cinfo.progress = &d.monitor;

  if (options.Tables && options.Tables != &stream) {
    IEJpegSetSource(&d.cinfo, d.src, *options.Tables, progress.Aborting);
    if (!IEJpegProtect(d.err, [&] { jpeg_read_header(&d.cinfo, FALSE); })) {
      progress.Abort();
      return 0;
    }
  }
  IEJpegSetSource(&d.cinfo, d.src, stream, progress.Aborting);

  int headerResult = 0;
  bool ok = IEJpegProtect(d.err, [&] {
    jpeg_save_markers(&d.cinfo, JPEG_COM, 0xFFFF);
    for (int m = 0; m < 16; ++m) jpeg_save_markers(&d.cinfo, JPEG_APP0 + m, 0xFFFF);
    headerResult = jpeg_read_header(&d.cinfo, TRUE);
  });
  if (!ok || headerResult != JPEG_HEADER_OK) {
    progress.Abort();
    return 0;
  }
  jpeg_decompress_struct& cinfo = d.cinfo;
  if (options.ColorSpace >= JCS_GRAYSCALE && options.ColorSpace <= JCS_YCCK) {
    const int components[] = {0, 1, 3, 3, 4, 4};
    if (cinfo.num_components == components[options.ColorSpace])
      cinfo.jpeg_color_space = static_cast<J_COLOR_SPACE>(options.ColorSpace);
  }

  // Resolution from JFIF (defaults unit 0, 1 x 1 without a JFIF segment).
  int dpiX = cinfo.X_density, dpiY = cinfo.Y_density;
  if (cinfo.density_unit == 2) {
    dpiX = static_cast<int>(std::trunc(cinfo.X_density * 2.54));
    dpiY = static_cast<int>(std::trunc(cinfo.Y_density * 2.54));
  }
  params.SetDpiX(dpiX);
  params.SetDpiY(dpiY);

  // Saved markers, in file order, without the first APP0 (the JFIF header).
  params.JpegMarkers.clear();
  bool seenApp0 = false;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 && !seenApp0) {
      seenApp0 = true;
      continue;
    }
    TIEJpegMarker marker;
    marker.type = static_cast<uint8_t>(m->marker);
    marker.data.assign(m->data, m->data + m->data_length);
    params.JpegMarkers.push_back(std::move(marker));
  }

  bool orient = false;
  if (options.ReadMetadata && params.ReadMetadata) {
    bool haveIptc = false, haveExif = false, haveXmp = false;
    static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
      if (m->marker == JPEG_APP0 + 13 && !haveIptc) {
        haveIptc = IEReadIptcResource(m->data, m->data_length, params);
      } else if (m->marker == JPEG_APP0 + 1 && !haveExif && IEIsExifSegment(m->data, m->data_length)) {
        haveExif = IEReadExif(m->data + 6, m->data_length - 6, params, true);
        if (haveExif && dpiX == 1 && dpiY == 1) {
          const double f = params.ExifResolutionUnit == 3 ? 2.54 : 1.0;
          const double exactX = params.ExifXResolution, exactY = params.ExifYResolution;
          auto toDpi = [](double v) {
            double t = std::trunc(v);
            return t > -2147483648.0 && t < 2147483648.0 ? static_cast<int>(t) : 0;
          };
          params.SetDpiX(toDpi(exactX * f));
          params.SetDpiY(toDpi(exactY * f));
          // The setters store the dpi there; EXIF keeps its own exact values.
          params.ExifXResolution = exactX;
          params.ExifYResolution = exactY;
        }
        if (haveExif && params.JpegEnableAdjustOrientation && !headerOnly) orient = true;
      } else if (m->marker == JPEG_APP0 + 1 && !haveXmp && StartsWith(m, kXmp, sizeof kXmp)) {
        haveXmp = true;
        params.XmpData.assign(reinterpret_cast<const char*>(m->data) + sizeof kXmp,
                              m->data_length - sizeof kXmp);
      }
    }
  }

  // Colour space.
  params.SetImageCount(1);
  params.BitsPerSample = 8;
  TIEPixelFormat format = ie24RGB;
  bool cmykToRGB = false;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      params.JpegColorSpace = 1, params.SamplesPerPixel = 1;
      format = options.NativeFormat ? ie8g : ie24RGB;
      cinfo.out_color_space = options.NativeFormat ? JCS_GRAYSCALE : JCS_EXT_BGR;
      break;
    case JCS_RGB:
      params.JpegColorSpace = 0, params.SamplesPerPixel = 3;
      cinfo.out_color_space = JCS_EXT_BGR;  // decoder reorders, no swap afterwards
      break;
    case JCS_YCbCr:
      params.JpegColorSpace = 2, params.SamplesPerPixel = 3;
      cinfo.out_color_space = options.KeepYCbCr ? JCS_YCbCr : JCS_EXT_BGR;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      params.JpegColorSpace = cinfo.jpeg_color_space == JCS_CMYK ? 3 : 4, params.SamplesPerPixel = 4;
      cinfo.out_color_space = JCS_CMYK;
      format = options.NativeFormat ? ieCMYK : ie24RGB;
      cmykToRGB = format == ie24RGB;
      break;
    default:
      // Component layouts libjpeg cannot turn into colour.
      progress.Abort();
      return 0;
  }
  switch (params.JpegDctMethod) {
    case 1: cinfo.dct_method = JDCT_IFAST; break;
    case 2: cinfo.dct_method = JDCT_FLOAT; break;
    default: cinfo.dct_method = JDCT_ISLOW; break;
  }
  params.FreeColorMap();
  params.JpegProgressive = cinfo.progressive_mode != 0;
  params.OriginalWidth = static_cast<int32_t>(cinfo.image_width);
  params.OriginalHeight = static_cast<int32_t>(cinfo.image_height);

  int denom = 1;
  switch (params.JpegScale) {
    case 2: denom = 2; break;
    case 3: denom = 4; break;
    case 4: denom = 8; break;
    case 0:
      if (params.Width > 0 && params.Height > 0) {
        for (int n = 3; n >= 0; --n) {
          if (static_cast<int64_t>(cinfo.image_width >> n) >= params.Width &&
              static_cast<int64_t>(cinfo.image_height >> n) >= params.Height) {
            denom = 1 << n;
            break;
          }
        }
      }
      break;
    default: break;
  }
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned>(denom);
  params.JpegScaleUsed = denom;

  if (headerOnly) {
    params.Width = static_cast<int32_t>(cinfo.image_width);
    params.Height = static_cast<int32_t>(cinfo.image_height);
    return 0;
  }

  // Nothing is allocated, by us or by libjpeg, before the size is checked
  // against the limits and against what the data can hold.
  const int64_t dataBytes = stream.Size() - soiPos;
  if (!IEImageSizeOk(cinfo.image_width, cinfo.image_height, 32) ||
      !IEPlausibleForInput(cinfo.image_width, cinfo.image_height, dataBytes,
                           cinfo.arith_code ? kArithmeticPixelsPerByte : kHuffmanPixelsPerByte)) {
    progress.Abort();
    return 0;
  }

  if (cinfo.arith_code) {
    int64_t most = 0;
    if (!IECheckedMul(dataBytes, kArithmeticMemoryPerByte, most)) most = INT64_MAX;
    cinfo.mem->max_memory_to_use = static_cast<long>(std::min<int64_t>(std::max(most, kArithmeticMemoryFloor), LONG_MAX));
  }
  if (!IEJpegProtect(d.err, [&] { jpeg_start_decompress(&d.cinfo); })) {
    progress.Abort();
    return 0;
  }
  const int outW = static_cast<int>(cinfo.output_width), outH = static_cast<int>(cinfo.output_height);
  params.Width = outW;
  params.Height = outH;
  if (!IEImageSizeOk(outW, outH, IEBitsPerPixel(format)) || !bitmap->Allocate(outW, outH, format)) {
    progress.Abort();
    return 0;
  }

  const int required = options.MaxRows < 0 ? outH : std::min(options.MaxRows, outH);
  // Whole-byte rows of memory storage can be handed to libjpeg several at a
  // time; file storage maps one row at a time.
  const bool batch = bitmap->Location() == ieMemory;
  std::vector<uint8_t> buffer;
  if (cmykToRGB) buffer.resize(static_cast<size_t>(outW) * 4 * (batch ? kRowBatch : 1));
  JSAMPROW rows[kRowBatch];
  int delivered = 0, lastPercent = -1;
  while (cinfo.output_scanline < cinfo.output_height && delivered < required && !progress.Aborted()) {
    const int want = batch ? std::min(kRowBatch, required - delivered) : 1;
    for (int k = 0; k < want; ++k)
      rows[k] = cmykToRGB ? buffer.data() + static_cast<size_t>(k) * outW * 4 : bitmap->Scanline(delivered + k);
    JDIMENSION got = 0;
    if (!IEJpegProtect(d.err, [&] { got = jpeg_read_scanlines(&d.cinfo, rows, static_cast<JDIMENSION>(want)); })) {
      progress.Abort();
      break;
    }
    if (got == 0) break;
    if (cmykToRGB) {
      for (JDIMENSION k = 0; k < got; ++k) {
        uint8_t* cmyk = rows[k];
        if (options.InvertCMYK)
          for (int64_t i = 0; i < int64_t(outW) * 4; ++i) cmyk[i] = uint8_t(255 - cmyk[i]);
        IECMYKRowToBGR(cmyk, bitmap->Scanline(delivered + static_cast<int>(k)), outW);
      }
    }
    delivered += static_cast<int>(got);
    if (progress.fnet) {
      int percent = static_cast<int>(static_cast<int64_t>(delivered) * 100 / outH);
      if (percent != lastPercent) {
        progress.Report(percent);
        lastPercent = percent;
      }
    }
  }
  if (delivered < required) progress.Abort();

  // Profiles are never applied while decoding here; the bitmap carries it.
  bitmap->InputICCProfile() = params.InputICCProfile;

  if (!progress.Aborted()) {
    bool finished = IEJpegProtect(d.err, [&] {
      // Stopping early on purpose is not "too few scanlines".
      if (d.cinfo.output_scanline < d.cinfo.output_height) jpeg_abort_decompress(&d.cinfo);
      else jpeg_finish_decompress(&d.cinfo);
    });
    if (!finished) progress.Abort();
  }
  if (d.err.warnings > 0) {
    params.JpegWarningTot = d.err.warnings;
    params.JpegWarningCode = d.err.lastWarningCode;
  }

  if (orient && !progress.Aborted()) {
    IEApplyExifOrientation(*bitmap, params.ExifOrientation);
    if (params.ExifOrientation >= 5 && params.ExifOrientation <= 8) std::swap(params.Width, params.Height);
    params.ExifOrientation = 1;
  }
  return delivered;
}

void IEJpegLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                      std::unique_ptr<TIEMask>&) {
  TIEJpegReadOptions options;
  options.NativeFormat = params.NativePixelFormat;
  IEJpegReadStream(stream, &bitmap, params, progress, options);
}
