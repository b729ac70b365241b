#include "pngfilt.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

// libpng reports fatal errors through a callback that must not return; ours
// longjmps back to PngProtect. The jump may only cross frames without live
// C++ objects, so everything that runs inside a protected call keeps plain
// locals, and the stream callback catches the stream's exceptions before it
// raises a libpng error. Objects with destructors (buffers, strings) live in
// IEPngReadStream's frame, outside every protected call.

namespace {

// Deflate turns one input byte into at most about 1032 output bytes (258-byte
// matches coded in two bits); a header promising more filtered data than that
// from the bytes the stream has left is a lie, and we refuse it before
// anything is allocated.
constexpr int64_t kMaxInflateRatio = 1032;

struct TPngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  TIEStream* stream = nullptr;
  bool benign = false;             // decoding ended on "Extra compressed data"
  std::exception_ptr streamError;  // raised by the stream inside a libpng call
  // libpng allocates a text chunk's whole length before reading it, so we
  // follow the chunk headers as they stream past and refuse a chunk that
  // runs past the end of the data (offsets from the signature).
  int64_t available = 0;  // bytes of the stream from the signature on
  int64_t consumed = 0;   // bytes handed to libpng
  int64_t nextChunk = 8;  // where the next chunk's length field starts
  uint32_t lengthField = 0;

  TPngReader() = default;
  TPngReader(const TPngReader&) = delete;
  TPngReader& operator=(const TPngReader&) = delete;
  ~TPngReader() {
    if (png) png_destroy_read_struct(&png, &info, nullptr);
  }
};

[[noreturn]] void PngError(png_structp png, png_const_charp message) {
  auto* reader = static_cast<TPngReader*>(png_get_error_ptr(png));
  // Streams whose deflate data goes on after the image are common and
  // harmless; libpng may prefix the chunk name to the text.
  if (reader && message && std::strstr(message, "Extra compressed data")) reader->benign = true;
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Runs with every read: checks the length field of each chunk header that
// passes. False when a chunk claims more bytes than the stream has left.
bool ChunkLengthsFit(TPngReader& r, const uint8_t* data, int64_t length) {
  const int64_t start = r.consumed, end = r.consumed + length;
  r.consumed = end;
  while (r.nextChunk < end && r.nextChunk + 4 > start) {
    for (int64_t p = std::max(start, r.nextChunk); p < std::min(end, r.nextChunk + 4); ++p)
      r.lengthField = (r.lengthField << 8) | data[p - start];
    if (r.nextChunk + 4 > end) return true;  // the rest of the field comes with the next read
    // Length, type, data and CRC.
    const int64_t chunkEnd = r.nextChunk + 12 + static_cast<int64_t>(r.lengthField);
    if (r.lengthField > PNG_UINT_31_MAX || chunkEnd > r.available) return false;
    r.nextChunk = chunkEnd;
    r.lengthField = 0;
  }
  return true;
}

void PngRead(png_structp png, png_bytep data, png_size_t length) {
  auto* reader = static_cast<TPngReader*>(png_get_io_ptr(png));
  int64_t got = -1;
  try {
    got = reader->stream->Read(data, static_cast<int64_t>(length));
  } catch (...) {
    reader->streamError = std::current_exception();
  }
  if (got != static_cast<int64_t>(length)) png_error(png, "Read error");
  if (!ChunkLengthsFit(*reader, data, got)) png_error(png, "Chunk longer than the data");
}

// Runs call(), which calls into libpng; false when libpng raised an error.
// Not inlined, so that the setjmp frame is this function's own.
template <class F>
[[gnu::noinline]] bool PngProtect(png_structp png, F&& call) {
  if (setjmp(png_jmpbuf(png))) return false;
  call();
  return true;
}

// What png_read_info found. Pointers point into libpng's info structure.
struct THeader {
  png_uint_32 width = 0, height = 0;
  int depth = 0, colorType = 0, interlace = 0, fileChannels = 0;
  png_textp text = nullptr;
  int numText = 0;
  png_color_16p background = nullptr;
  png_uint_32 physX = 0, physY = 0;
  int physUnit = 0;
  bool hasPhys = false;
  png_colorp palette = nullptr;
  int numPalette = 0;
  png_bytep transAlpha = nullptr;
  int numTrans = 0;
  png_color_16p transColor = nullptr;
  bool hasTrns = false;
};

void QueryHeader(png_structp png, png_infop info, THeader& h) {
  png_get_IHDR(png, info, &h.width, &h.height, &h.depth, &h.colorType, &h.interlace, nullptr, nullptr);
  h.fileChannels = png_get_channels(png, info);
  png_get_text(png, info, &h.text, &h.numText);
  if (!png_get_bKGD(png, info, &h.background)) h.background = nullptr;
  h.hasPhys = png_get_pHYs(png, info, &h.physX, &h.physY, &h.physUnit) != 0;
  if (!png_get_PLTE(png, info, &h.palette, &h.numPalette)) h.numPalette = 0;
  h.hasTrns = png_get_tRNS(png, info, &h.transAlpha, &h.numTrans, &h.transColor) != 0;
}

enum TRowMode : uint8_t {
  rmDirect,    // rows straight into the bitmap
  rmAlpha4,    // blue, green, red, alpha rows through a buffer
  rmPalette1,  // packed 1-bit palette indexes through a buffer
};

// Everything the row loop needs, as plain pointers and numbers.
struct TRowJob {
  png_structp png = nullptr;
  TIEBitmap* bitmap = nullptr;
  TIEBitmap* alpha = nullptr;
  TProgressRecord* progress = nullptr;
  TRowMode mode = rmDirect;
  int width = 0, height = 0, passes = 1;
  bool interlaced = false;
  uint8_t* buffer = nullptr;  // one row, or the whole image when interlaced
  int64_t bufferRowLen = 0;
  const TRGB* palette = nullptr;  // 256 entries
  const uint8_t* transAlpha = nullptr;  // 256 entries, or null without tRNS
};

void MapPalette1Row(const TRowJob& j, const uint8_t* src, uint8_t* dst, uint8_t* alphaRow) {
  for (int x = 0; x < j.width; ++x) {
    const int index = (src[x >> 3] >> (7 - (x & 7))) & 1;
    const TRGB& c = j.palette[index];
    uint8_t* p = dst + static_cast<int64_t>(x) * 3;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    if (alphaRow) alphaRow[x] = j.transAlpha[index];
  }
}

void SplitAlphaRow(const TRowJob& j, const uint8_t* src, uint8_t* dst, uint8_t* alphaRow) {
  for (int x = 0; x < j.width; ++x) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    alphaRow[x] = src[3];
    src += 4;
    dst += 3;
  }
}

// Runs inside PngProtect: plain locals only.
void DecodeRows(TRowJob& j) {
  TProgressRecord& progress = *j.progress;
  const int lastPass = j.passes - 1;
  int lastPercent = -1;
  for (int pass = 0; pass < j.passes; ++pass) {
    for (int y = 0; y < j.height; ++y) {
      if (j.mode == rmDirect) {
        png_read_row(j.png, j.bitmap->Scanline(y), nullptr);
      } else {
        // Interlaced rows keep their own slice, so later passes complete them.
        uint8_t* src = j.buffer + (j.interlaced ? static_cast<int64_t>(y) * j.bufferRowLen : 0);
        png_read_row(j.png, src, nullptr);
        if (pass == lastPass) {
          uint8_t* dst = j.bitmap->Scanline(y);
          uint8_t* alphaRow = j.alpha ? j.alpha->Scanline(y) : nullptr;
          if (j.mode == rmAlpha4) SplitAlphaRow(j, src, dst, alphaRow);
          else MapPalette1Row(j, src, dst, alphaRow);
        }
      }
      ++progress.val;
      if (progress.fnet) {
        const int percent = static_cast<int>(static_cast<double>(progress.val) * progress.per1);
        if (percent != lastPercent) {
          progress.Report(percent);
          lastPercent = percent;
        }
      }
      if (progress.Aborted()) return;
    }
  }
}

int DpiFromPhys(const THeader& h, png_uint_32 perMetre, int fallback) {
  if (!h.hasPhys || h.physUnit != PNG_RESOLUTION_METER) return fallback;
  const double dpi = std::nearbyint(static_cast<double>(perMetre) / 100.0 * 2.54);
  return dpi == 0 ? fallback : static_cast<int>(dpi);
}

// bKGD holds the sample depth's values (palette entries for palette images).
uint8_t BackgroundSample(png_uint_16 v, const THeader& h) {
  if (h.colorType == PNG_COLOR_TYPE_PALETTE) return static_cast<uint8_t>(v);
  const uint32_t top = (1u << h.depth) - 1;
  if (v > top) return 255;
  return static_cast<uint8_t>((v * 255u + top / 2) / top);
}

}  // namespace

void IEPngReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                     TProgressRecord& progress) {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  const int64_t available = stream.Remaining();
  TPngReader r;
  r.stream = &stream;
  r.available = available;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r, PngError, PngWarning);
  if (r.png) r.info = png_create_info_struct(r.png);
  if (!r.png || !r.info) {
    progress.Abort();
    return;
  }
  png_set_read_fn(r.png, &r, PngRead);
  png_set_user_limits(r.png, IELimits::kMaxDimension, IELimits::kMaxDimension);
  // Decompressed text and profiles stay below libpng's usual 8 MB.
  png_set_chunk_malloc_max(r.png, 8000000);

  // Any failure ends here: a stream exception passes on, a benign error after
  // the pixels were set up counts as read, everything else fails the load.
  bool rowsStarted = false;
  auto finish = [&]() {
    if (r.streamError) std::rethrow_exception(r.streamError);
    if (!(r.benign && rowsStarted)) progress.Abort();
  };

  THeader h;
  if (!PngProtect(r.png, [&] {
        png_read_info(r.png, r.info);
        QueryHeader(r.png, r.info, h);
      }))
    return finish();

  // Text chunks, in file order.
  params.PngTextKeys.clear();
  params.PngTextValues.clear();
  for (int i = 0; i < h.numText; ++i) {
    params.PngTextKeys.emplace_back(h.text[i].key ? h.text[i].key : "");
    params.PngTextValues.emplace_back(h.text[i].text ? h.text[i].text : "");
  }
  if (h.background)
    params.PngBackground = TRGB{BackgroundSample(h.background->blue, h), BackgroundSample(h.background->green, h),
                                BackgroundSample(h.background->red, h)};

  // Copies of palette and tRNS: expanding transformations clear libpng's.
  std::array<TRGB, 256> palette{};
  for (int i = 0; i < h.numPalette && i < 256; ++i)
    palette[static_cast<size_t>(i)] = TRGB{h.palette[i].blue, h.palette[i].green, h.palette[i].red};
  std::array<uint8_t, 256> transAlpha;
  transAlpha.fill(255);
  int transGray = -1;  // grey sample that is transparent, -1 none
  if (h.hasTrns) {
    if (h.colorType == PNG_COLOR_TYPE_PALETTE && h.transAlpha)
      for (int i = 0; i < h.numTrans && i < 256; ++i) transAlpha[static_cast<size_t>(i)] = h.transAlpha[i];
    if (h.colorType == PNG_COLOR_TYPE_GRAY && h.transColor) transGray = h.transColor->gray;
  }

  const bool isGray = h.colorType == PNG_COLOR_TYPE_GRAY;
  const bool isPalette = h.colorType == PNG_COLOR_TYPE_PALETTE;
  const bool native = params.NativePixelFormat && (h.depth == 8 || h.depth == 16) && (isGray || isPalette);

  int passes = 1, channels = 0;
  png_size_t rowBytes = 0;
  if (!PngProtect(r.png, [&] {
        png_structp png = r.png;
        if (native) {
          // ie16g holds little-endian samples.
          if (h.depth == 16) png_set_swap(png);
        } else {
          if (isPalette && h.depth >= 2) png_set_palette_to_rgb(png);
          if (isGray && h.depth >= 2 && h.depth <= 7) png_set_expand_gray_1_2_4_to_8(png);
          if (h.depth == 16) png_set_strip_16(png);
          if (h.depth >= 2 && h.depth <= 7) png_set_packing(png);
          if ((isGray || h.colorType == PNG_COLOR_TYPE_GRAY_ALPHA) && h.depth > 1) png_set_gray_to_rgb(png);
          if (h.depth > 1) png_set_bgr(png);
          if (h.depth > 1) png_set_tRNS_to_alpha(png);
        }
        passes = png_set_interlace_handling(png);
        png_read_update_info(png, r.info);
        channels = png_get_channels(png, r.info);
        rowBytes = png_get_rowbytes(png, r.info);
      }))
    return finish();

  params.SetImageCount(1);
  params.Width = params.OriginalWidth = static_cast<int32_t>(h.width);
  params.Height = params.OriginalHeight = static_cast<int32_t>(h.height);
  params.BitsPerSample = isPalette ? 8 : h.depth;
  switch (h.colorType) {
    case PNG_COLOR_TYPE_RGB: params.SamplesPerPixel = 3; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: params.SamplesPerPixel = 2; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: params.SamplesPerPixel = 4; break;
    default: params.SamplesPerPixel = 1; break;
  }
  params.SetDpiX(DpiFromPhys(h, h.physX, settings.DefaultDpiX));
  params.SetDpiY(DpiFromPhys(h, h.physY, settings.DefaultDpiY));
  params.FreeColorMap();
  if (isPalette)
    params.ColorMap.assign(palette.begin(), palette.begin() + std::min(h.numPalette, 256));
  params.PngInterlaced = h.interlace != PNG_INTERLACE_NONE;
  if (headerOnly) return;

  // The format of the rows libpng now delivers.
  TIEPixelFormat format = ie24RGB;
  TRowMode mode = rmDirect;
  if (native) {
    format = isPalette ? ie8p : h.depth == 16 ? ie16g : ie8g;
  } else if (h.depth == 1) {
    if (isGray) format = ie1g;
    else mode = rmPalette1;
  } else if (channels == 4) {
    mode = rmAlpha4;
  } else if (channels != 3) {
    progress.Abort();  // no combination of ours gives this
    return;
  }

  // Sizes: our limits, then what the stream can hold.
  const int64_t w = h.width, ht = h.height;
  int64_t rawRow = 0, raw = 0, most = 0;
  const bool plausible = IECheckedMul(w, int64_t(h.depth) * h.fileChannels, rawRow) &&
                         IECheckedMul((rawRow + 7) / 8 + 1, ht, raw) &&
                         IECheckedMul(std::max<int64_t>(available, 1), kMaxInflateRatio, most) && raw <= most;
  if (!plausible || !IEImageSizeOk(w, ht, IEBitsPerPixel(format)) ||
      !bitmap.Allocate(static_cast<int>(w), static_cast<int>(ht), format) ||
      static_cast<int64_t>(rowBytes) > (mode == rmDirect ? bitmap.RowLen() : int64_t(w) * 4)) {
    progress.Abort();
    return;
  }
  if (format == ie8p) {
    bitmap.SetPaletteUsed(1 << params.BitsPerSample);
    for (int i = 0; i < params.ColorMapCount(); ++i) bitmap.SetPaletteEntry(i, params.ColorMap[static_cast<size_t>(i)]);
  }

  // Alpha: the decoded rows carry it, or tRNS names transparent palette
  // entries or a transparent grey on the paths where libpng does not expand
  // it (1-bit and native rows).
  const bool trnsAlpha = h.hasTrns && (native || h.depth == 1) && ((isPalette && h.numTrans > 0) || transGray >= 0);
  TIEBitmap* alpha = nullptr;
  if (mode == rmAlpha4 || trnsAlpha) {
    alpha = bitmap.AlphaChannel();
    alpha->SetFull(false);
  }

  std::vector<uint8_t> buffer;
  const bool interlaced = passes > 1;
  TRowJob job;
  job.png = r.png;
  job.bitmap = &bitmap;
  job.alpha = alpha;
  job.progress = &progress;
  job.mode = mode;
  job.width = static_cast<int>(w);
  job.height = static_cast<int>(ht);
  job.passes = passes;
  job.interlaced = interlaced;
  job.palette = palette.data();
  job.transAlpha = isPalette && h.numTrans > 0 && alpha ? transAlpha.data() : nullptr;
  if (mode != rmDirect) {
    job.bufferRowLen = static_cast<int64_t>(rowBytes);
    int64_t bytes = job.bufferRowLen;
    // Interlaced rows are completed over seven passes: they need the whole image.
    if (interlaced && !IECheckedMul(job.bufferRowLen, ht, bytes)) {
      progress.Abort();
      return;
    }
    buffer.assign(static_cast<size_t>(bytes), 0);
    job.buffer = buffer.data();
  }

  progress.Start(ht * passes);
  rowsStarted = true;
  if (!PngProtect(r.png, [&] { DecodeRows(job); })) return finish();
  if (progress.Aborted()) return;
  if (!PngProtect(r.png, [&] { png_read_end(r.png, nullptr); })) return finish();

  // tRNS on rows libpng left alone: palette indexes (native 8-bit), or grey
  // samples (native 8/16-bit, packed 1-bit) equal to the transparent one.
  if (trnsAlpha && mode == rmDirect) {
    for (int y = 0; y < job.height; ++y) {
      const uint8_t* src = bitmap.Scanline(y);
      uint8_t* a = alpha->Scanline(y);
      for (int x = 0; x < job.width; ++x) {
        switch (format) {
          case ie8p: a[x] = transAlpha[src[x]]; break;
          case ie8g: a[x] = src[x] == transGray ? 0 : 255; break;
          case ie16g: a[x] = (src[2 * x] | (src[2 * x + 1] << 8)) == transGray ? 0 : 255; break;
          default: a[x] = ((src[x >> 3] >> (7 - (x & 7))) & 1) == transGray ? 0 : 255; break;
        }
      }
    }
  }
}

void IEPngLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>&) {
  IEPngReadStream(stream, bitmap, params, false, progress);
}
