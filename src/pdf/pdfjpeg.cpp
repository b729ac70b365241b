#include "pdfjpeg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "iebitmap.h"
#include "ieconvert.h"
#include "ieglobal.h"
#include "iejpegerr.h"
#include "ieparams.h"
#include "iestream.h"

namespace {

constexpr size_t kIccPieceSize = 32000;
constexpr uint8_t kAPP2 = 0xE2;
constexpr uint8_t kAPP14 = 0xEE;
constexpr uint8_t kCOM = 0xFE;
const char kIccSignature[] = "ICC_PROFILE";  // followed by its zero byte: 12 bytes

// What the row loop feeds the library with.
enum TRowKind : uint8_t {
  rkDirect,   // bitmap rows as they are (blue, green, red)
  rkBlended,  // bitmap rows blended onto white by their alpha, blue, green, red
  rkCMYK,     // rows (blended when there is alpha) converted to C, M, Y, K
  rkReorder,  // libraries without extended colour spaces: red, green, blue
};

// Everything the compression run touches. Plain data only: the run may be
// left by the error handler's long jump, which must skip no destructor.
struct TRun {
  jpeg_compress_struct* cinfo;
  TIEJpegDestination* destination;
  TIEStream* stream;
  TIEBitmap* source;  // ie24RGB
  TIEBitmap* alpha;   // null, or ie8g of the same size
  const TIOParams* params;
  TProgressRecord* progress;
  uint8_t* rowBuffer;
  TRowKind kind;
  J_COLOR_SPACE inSpace;
  int inComponents;
  J_COLOR_SPACE outSpace;
  const TIEJpegMarker* const* markers;
  size_t markerCount;
};

// p := b + (((p - b) * (a * 1024)) >> 18) with b = 255, the blend of the
// bitmap's own alpha merge, so the JPEG matches a bitmap merged onto white.
inline uint8_t BlendOnWhite(int p, int a) {
  return static_cast<uint8_t>(255 + (((p - 255) * (a * 1024)) >> 18));
}

uint8_t* PrepareRow(TRun& run, int y) {
  const int width = run.source->Width();
  uint8_t* src = run.source->Scanline(y);
  if (run.kind == rkDirect) return src;
  uint8_t* out = run.rowBuffer;
  const uint8_t* a = run.alpha ? run.alpha->Scanline(y) : nullptr;
  if (run.kind == rkBlended) {
    for (int x = 0; x < width; ++x) {
      out[3 * x] = BlendOnWhite(src[3 * x], a[x]);
      out[3 * x + 1] = BlendOnWhite(src[3 * x + 1], a[x]);
      out[3 * x + 2] = BlendOnWhite(src[3 * x + 2], a[x]);
    }
  } else if (run.kind == rkReorder) {
    for (int x = 0; x < width; ++x) {
      uint8_t b = src[3 * x], g = src[3 * x + 1], r = src[3 * x + 2];
      if (a) {
        b = BlendOnWhite(b, a[x]);
        g = BlendOnWhite(g, a[x]);
        r = BlendOnWhite(r, a[x]);
      }
      out[3 * x] = r;
      out[3 * x + 1] = g;
      out[3 * x + 2] = b;
    }
  } else {
    for (int x = 0; x < width; ++x) {
      TRGB c{src[3 * x], src[3 * x + 1], src[3 * x + 2]};
      if (a) c = TRGB{BlendOnWhite(c.b, a[x]), BlendOnWhite(c.g, a[x]), BlendOnWhite(c.r, a[x])};
      IERGBToCMYK(c, out + 4 * x);
    }
  }
  return out;
}

void SetSampling(jpeg_compress_struct& cinfo, int subsampling) {
  int h, v;
  switch (subsampling) {
    case 0: h = 2, v = 1; break;
    case 1: h = 2, v = 2; break;
    case 2: h = 1, v = 1; break;
    default: return;  // the library's defaults
  }
  cinfo.comp_info[0].h_samp_factor = h;
  cinfo.comp_info[0].v_samp_factor = v;
  for (int c = 1; c < 3; ++c) {
    cinfo.comp_info[c].h_samp_factor = 1;
    cinfo.comp_info[c].v_samp_factor = 1;
  }
}

UINT16 Density(int32_t dpi, int32_t fallback) {
  int32_t v = dpi > 0 ? dpi : fallback;
  return static_cast<UINT16>(std::clamp<int32_t>(v, 1, 65535));
}

// The library's part, from creation to the end of compression; run inside
// IEJpegProtect, so it keeps no object with a destructor.
void Compress(TRun& run) {
  jpeg_compress_struct& cinfo = *run.cinfo;
  jpeg_create_compress(&cinfo);
  IEJpegSetDestination(&cinfo, *run.destination, *run.stream);

  cinfo.image_width = static_cast<JDIMENSION>(run.source->Width());
  cinfo.image_height = static_cast<JDIMENSION>(run.source->Height());
  cinfo.in_color_space = run.inSpace;
  cinfo.input_components = run.inComponents;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, run.outSpace);

  const TIOParams& p = *run.params;
  const TIEGlobalSettings& g = IEGlobalSettings();
  cinfo.density_unit = 1;  // dots per inch
  cinfo.X_density = Density(p.DpiX(), g.DefaultDpiX);
  cinfo.Y_density = Density(p.DpiY(), g.DefaultDpiY);
  switch (p.JpegDctMethod) {
    case 0: cinfo.dct_method = JDCT_ISLOW; break;
    case 1: cinfo.dct_method = JDCT_IFAST; break;
    case 2: cinfo.dct_method = JDCT_FLOAT; break;
    default: break;
  }
  cinfo.optimize_coding = p.JpegOptimizeCoding ? TRUE : FALSE;
  // The library's own range; larger factors only distort the picture.
  cinfo.smoothing_factor = std::clamp<int32_t>(p.JpegSmoothing, 0, 100);
  jpeg_set_quality(&cinfo, p.JpegQuality, TRUE);
  if (run.outSpace == JCS_YCbCr) SetSampling(cinfo, p.JpegChromaSubsampling);
  if (run.outSpace == JCS_CMYK) cinfo.write_JFIF_header = TRUE;
  if (p.JpegProgressive) jpeg_simple_progression(&cinfo);

  jpeg_start_compress(&cinfo, TRUE);
  for (size_t i = 0; i < run.markerCount; ++i) {
    const TIEJpegMarker& m = *run.markers[i];
    jpeg_write_marker(&cinfo, m.type, m.data.data(), static_cast<unsigned int>(m.data.size()));
  }

  TProgressRecord& progress = *run.progress;
  int lastPercent = -1;
  while (cinfo.next_scanline < cinfo.image_height && !progress.Aborted()) {
    JSAMPROW row = PrepareRow(run, static_cast<int>(cinfo.next_scanline));
    progress.val += jpeg_write_scanlines(&cinfo, &row, 1);
    if (progress.fnet) {
      int percent = static_cast<int>(static_cast<double>(progress.val) * progress.per1);
      if (percent != lastPercent) {
        lastPercent = percent;
        progress.Report(percent);
      }
    }
  }
  if (!progress.Aborted()) jpeg_finish_compress(&cinfo);
}

// ICC_PROFILE, a zero byte, sequence number, count, then the piece.
void PutIccProfile(TIOParams& params) {
  const std::vector<uint8_t>& icc = params.OutputICCProfile;
  // A profile has a 128-byte header and a tag count; more than 255 pieces
  // cannot be numbered.
  if (icc.size() < 132 || icc.size() > 255 * kIccPieceSize) return;
  std::erase_if(params.JpegMarkers, [](const TIEJpegMarker& m) { return m.type == kAPP2; });
  const size_t count = (icc.size() + kIccPieceSize - 1) / kIccPieceSize;
  for (size_t i = 0; i < count; ++i) {
    size_t at = i * kIccPieceSize, n = std::min(kIccPieceSize, icc.size() - at);
    TIEJpegMarker m;
    m.type = kAPP2;
    m.data.assign(kIccSignature, kIccSignature + sizeof kIccSignature);
    m.data.push_back(static_cast<uint8_t>(i + 1));
    m.data.push_back(static_cast<uint8_t>(count));
    m.data.insert(m.data.end(), icc.begin() + static_cast<ptrdiff_t>(at),
                  icc.begin() + static_cast<ptrdiff_t>(at + n));
    params.JpegMarkers.push_back(std::move(m));
  }
}

bool IsIccPiece(const TIEJpegMarker& m) {
  return m.type == kAPP2 && m.data.size() >= 14 && std::memcmp(m.data.data(), kIccSignature, 12) == 0;
}

// The markers to write, by type and ICC pieces by sequence number. Only
// application markers and comments are written: anything else (a frame or
// scan marker in a hand-made list) would corrupt the data stream. APP14 is
// the library's own, and a segment longer than its 16-bit length allows is
// left out rather than failing the image.
std::vector<const TIEJpegMarker*> MarkersToWrite(const TIOParams& params) {
  std::vector<const TIEJpegMarker*> list;
  for (const TIEJpegMarker& m : params.JpegMarkers) {
    bool app = m.type >= 0xE0 && m.type <= 0xEF;
    if ((app || m.type == kCOM) && m.type != kAPP14 && m.data.size() <= 65533) list.push_back(&m);
  }
  std::stable_sort(list.begin(), list.end(), [](const TIEJpegMarker* a, const TIEJpegMarker* b) {
    if (a->type != b->type) return a->type < b->type;
    if (IsIccPiece(*a) && IsIccPiece(*b)) return a->data[12] < b->data[12];
    return false;
  });
  return list;
}

}  // namespace

void WriteJpeg(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress) {
  if (bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.PixelFormat() == ieNull) {
    progress.Abort();
    return;
  }

  // Everything with a destructor lives here, outside the library's run.
  TIEBitmap* alpha = bitmap.AlphaChannelOrNull();
  std::unique_ptr<TIEBitmap> copy;
  TIEBitmap* source = &bitmap;
  if (bitmap.PixelFormat() != ie24RGB) {
    copy = std::make_unique<TIEBitmap>();
    if (!copy->Allocate(bitmap.Width(), bitmap.Height(), ie24RGB))
      throw EIEException("Not enough memory to encode a JPEG image");
    IECopyAndConvertFormat(bitmap, *copy);
    copy->RemoveAlphaChannel();
    source = copy.get();
  }
  if (alpha && (alpha->Width() != bitmap.Width() || alpha->Height() != bitmap.Height() ||
                alpha->PixelFormat() != ie8g))
    alpha = nullptr;

  if (!params.OutputICCProfile.empty()) PutIccProfile(params);
  std::vector<const TIEJpegMarker*> markers = MarkersToWrite(params);

  TRun run{};
  run.source = source;
  run.alpha = alpha;
  run.params = &params;
  run.progress = &progress;
  switch (params.JpegColorSpace) {
    case 1: run.outSpace = JCS_GRAYSCALE; break;
    case 2: run.outSpace = JCS_YCbCr; break;
    case 3: run.outSpace = JCS_CMYK; break;
    case 4: run.outSpace = JCS_YCCK; break;
    default: run.outSpace = JCS_RGB; break;
  }
  size_t rowBytes = 0;
  if (run.outSpace == JCS_CMYK || run.outSpace == JCS_YCCK) {
    run.inSpace = JCS_CMYK;
    run.inComponents = 4;
    run.kind = rkCMYK;
    rowBytes = 4 * static_cast<size_t>(bitmap.Width());
  } else {
    run.inComponents = 3;
#ifdef JCS_EXTENSIONS
    // The library reads blue, green, red itself: no reordering pass.
    run.inSpace = JCS_EXT_BGR;
    run.kind = alpha ? rkBlended : rkDirect;
#else
    run.inSpace = JCS_RGB;
    run.kind = rkReorder;
#endif
    if (run.kind != rkDirect) rowBytes = 3 * static_cast<size_t>(bitmap.Width());
  }
  std::vector<uint8_t> rowBuffer(rowBytes);
  run.rowBuffer = rowBuffer.data();
  run.markers = markers.data();
  run.markerCount = markers.size();

  progress.val = 0;
  progress.tot = bitmap.Height();
  progress.per1 = 100.0 / bitmap.Height();

  // cinfo must be zero before creation so that destroying it is harmless
  // when creation itself failed.
  jpeg_compress_struct cinfo{};
  TIEJpegErrorMgr err;
  TIEJpegDestination destination;
  cinfo.err = IEJpegInitErrorMgr(err, progress.Aborting);
  run.cinfo = &cinfo;
  run.destination = &destination;
  run.stream = &stream;

  bool completed = false;
  try {
    completed = IEJpegProtect(err, [&run] { Compress(run); });
  } catch (...) {
    // A failure of our own code between library calls (a bitmap row that
    // could not be read back): the library object is freed all the same.
    progress.Abort();
    jpeg_destroy_compress(&cinfo);
    throw;
  }
  jpeg_destroy_compress(&cinfo);
  if (!completed) {
    progress.Abort();
    // Too few rows is the one error that only stops the image.
    if (err.errorCode != JERR_TOO_LITTLE_DATA) IEJpegRaise(err);
  }
}
