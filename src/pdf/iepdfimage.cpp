// Image embedding: a bitmap becomes an image XObject (with a soft mask for
// its alpha channel) drawn on the current page.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieconvert.h"
#include "iecore.h"
#include "ieglobal.h"
#include "ieparams.h"
#include "iepdf.h"
#include "iestream.h"
#include "pdfjpeg.h"
#include "pdfrle.h"
#include "tifccitt.h"
#include "tiflzw.h"

namespace {

// Encoded bytes go straight into the image stream's data; once a few
// megabytes have gathered they are parked in the temporary file, so even a
// large uncompressed colour page never sits in memory whole.
class TStreamDataSink : public TIEStream {
public:
  explicit TStreamDataSink(TIEPDFStreamObject& target) : target_(target) {}

  int64_t Read(void*, int64_t) override { return 0; }
  void Write(const void* buffer, int64_t count) override {
    if (count <= 0) return;
    target_.AppendData(buffer, count);
    written_ += count;
    if (static_cast<int64_t>(target_.Data.size()) >= kParkAt) target_.MoveDataToTempFile();
  }
  int64_t Seek(int64_t, TIESeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }

private:
  static constexpr int64_t kParkAt = int64_t(4) << 20;
  TIEPDFStreamObject& target_;
  int64_t written_ = 0;
};

TIEPDFNameObject* Name(const char* value) { return new TIEPDFNameObject(value); }

int64_t CheckedBytes(int64_t a, int64_t b) {
  int64_t n = 0;
  if (!IECheckedMul(a, b, n)) throw EIEException("Image too large to embed");
  return n;
}

// Gray 8-bit rows of the alpha channel, never compressed.
std::unique_ptr<TIEPDFStreamObject> MakeSoftMask(TIEBitmap& alpha) {
  auto mask = std::make_unique<TIEPDFStreamObject>();
  {
    TStreamDataSink sink(*mask);
    const int width = alpha.Width();
    for (int y = 0; y < alpha.Height(); ++y) sink.Write(alpha.Scanline(y), width);
  }
  TIEPDFDictionaryObject& d = *mask->Dictionary;
  d.Add("Type", Name("XObject"));
  d.Add("Subtype", Name("Image"));
  d.Add("ColorSpace", Name("DeviceGray"));
  d.Add("BitsPerComponent", new TIEPDFIntegerObject(8));
  d.Add("Width", new TIEPDFIntegerObject(alpha.Width()));
  d.Add("Height", new TIEPDFIntegerObject(alpha.Height()));
  return mask;
}

TIEPDFDictionaryObject* FaxDecodeParms(int k, int width, int height) {
  auto* p = new TIEPDFDictionaryObject;
  p->Add("K", new TIEPDFIntegerObject(k));
  p->Add("BlackIs1", new TIEPDFBooleanObject(true));
  p->Add("Columns", new TIEPDFIntegerObject(width));
  p->Add("Rows", new TIEPDFIntegerObject(height));
  p->Add("EndOfLine", new TIEPDFBooleanObject(false));
  p->Add("Uncompressed", new TIEPDFBooleanObject(true));
  p->Add("EncodedByteAlign", new TIEPDFBooleanObject(false));
  p->Add("EndOfBlock", new TIEPDFBooleanObject(false));
  return p;
}

TIELzwCompressor LzwRoutine(const TIOParams& params) {
  if (params.LzwCompressor) return params.LzwCompressor;
  if (IEGlobalSettings().TiffLzwEncoder) return IEGlobalSettings().TiffLzwEncoder;
  return TiffLzwEncode;
}

// One LZW code stream fed row by row. If anything fails half-way the state
// is still released (by ending the stream into a throwaway sink).
class TLzwFeed {
public:
  TLzwFeed(TIELzwCompressor routine, TIEStream& out) : routine_(routine), out_(out) {}
  ~TLzwFeed() {
    if (!state_) return;
    if (routine_ == TiffLzwEncode) {
      TiffLzwEncodeDiscard(state_);
      return;
    }
    TIEMemoryStream discard;
    try {
      routine_(nullptr, 0, discard, state_);
    } catch (...) {
    }
  }
  void Row(const uint8_t* data, int64_t count) { routine_(data, count, out_, state_); }
  void Finish() { routine_(nullptr, 0, out_, state_); }

private:
  TIELzwCompressor routine_;
  TIEStream& out_;
  void* state_ = nullptr;
};

// The bits of an ie1g row past the width are undefined in the bitmap; they
// are cleared so that equal pictures always give equal bytes.
void CopyBitRow(const uint8_t* src, uint8_t* dst, int width) {
  const size_t bytes = (static_cast<size_t>(width) + 7) / 8;
  std::memcpy(dst, src, bytes);
  if (width % 8) dst[bytes - 1] &= static_cast<uint8_t>(0xFF00 >> (width % 8));
}

void BgrToRgb(const uint8_t* src, uint8_t* dst, int width) {
  for (int x = 0; x < width; ++x) {
    dst[3 * x] = src[3 * x + 2];
    dst[3 * x + 1] = src[3 * x + 1];
    dst[3 * x + 2] = src[3 * x];
  }
}

// Black-and-white data; adds Filter and DecodeParms. The fax encoders read
// 0 bits as white and 1 bits as black, so BlackIs1 hands a reader the
// bitmap's own bits (1 = white) back.
void EncodeBlackAndWhite(TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                         TIEPDFStreamObject& image) {
  const int width = bitmap.Width(), height = bitmap.Height();
  const int64_t rowBytes = (static_cast<int64_t>(width) + 7) / 8;
  TIEPDFDictionaryObject& d = *image.Dictionary;
  TStreamDataSink sink(image);
  std::vector<uint8_t> row(static_cast<size_t>(rowBytes));

  switch (params.PdfCompression) {
    case pdfUncompressed:
      for (int y = 0; y < height; ++y) {
        CopyBitRow(bitmap.Scanline(y), row.data(), width);
        sink.Write(row.data(), rowBytes);
      }
      break;
    case pdfRLE: {
      const int64_t total = CheckedBytes(rowBytes, height);
      std::vector<uint8_t> all(static_cast<size_t>(total));
      for (int y = 0; y < height; ++y)
        CopyBitRow(bitmap.Scanline(y), all.data() + static_cast<size_t>(y) * rowBytes, width);
      CheckedBytes(total, 2);  // the output bound must not overflow
      std::vector<uint8_t> out(static_cast<size_t>(RunLengthMaxSize(total)));
      int64_t n = EncodeRunLength(all.data(), total, out.data());
      sink.Write(out.data(), n);
      d.Add("Filter", [] {
        auto* filters = new TIEPDFArrayObject;
        filters->Add(Name("RunLengthDecode"));
        return filters;
      }());
      break;
    }
    case pdfG4Fax:
    case pdfG3Fax2D: {
      const bool g4 = params.PdfCompression == pdfG4Fax;
      auto encode = g4 ? EncodeG4Row : EncodeG3Row;
      TIEFaxEncoderState state;
      for (int y = 0; y < height; ++y)
        encode(bitmap.Scanline(y), width, sink, fboMsbFirst, progress.Aborting, state);
      encode(nullptr, width, sink, fboMsbFirst, progress.Aborting, state);
      d.Add("Filter", Name("CCITTFaxDecode"));
      d.Add("DecodeParms", FaxDecodeParms(g4 ? -1 : 1, width, height));
      break;
    }
    case pdfLZW: {
      TLzwFeed lzw(LzwRoutine(params), sink);
      for (int y = 0; y < height; ++y) {
        CopyBitRow(bitmap.Scanline(y), row.data(), width);
        lzw.Row(row.data(), rowBytes);
      }
      lzw.Finish();
      d.Add("Filter", Name("LZWDecode"));
      break;
    }
    default:
      break;  // refused before anything was built
  }
  d.Add("ColorSpace", Name("DeviceGray"));
  d.Add("BitsPerComponent", new TIEPDFIntegerObject(1));
}

// Colour data, red, green, blue; adds Filter and ColorSpace.
void EncodeColour(TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress, TIEPDFStreamObject& image) {
  const int width = bitmap.Width(), height = bitmap.Height();
  const int64_t rowBytes = CheckedBytes(width, 3);
  TIEPDFDictionaryObject& d = *image.Dictionary;
  TStreamDataSink sink(image);

  switch (params.PdfCompression) {
    case pdfLZW: {
      std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
      TLzwFeed lzw(LzwRoutine(params), sink);
      for (int y = 0; y < height; ++y) {
        BgrToRgb(bitmap.Scanline(y), row.data(), width);
        lzw.Row(row.data(), rowBytes);
      }
      lzw.Finish();
      d.Add("Filter", Name("LZWDecode"));
      d.Add("ColorSpace", Name("DeviceRGB"));
      break;
    }
    case pdfJPEG: {
      WriteJpeg(sink, bitmap, params, progress);
      d.Add("Filter", Name("DCTDecode"));
      if (params.JpegColorSpace == 1) {
        d.Add("ColorSpace", Name("DeviceGray"));
      } else if (params.JpegColorSpace == 3 || params.JpegColorSpace == 4) {
        // Four components, stored as 255 - ink like every CMYK JPEG that
        // carries the Adobe marker: declared so, with an inverting Decode.
        d.Add("ColorSpace", Name("DeviceCMYK"));
        auto* decode = new TIEPDFArrayObject;
        d.Add("Decode", decode);
        for (int i = 0; i < 4; ++i) {
          decode->Add(new TIEPDFIntegerObject(1));
          decode->Add(new TIEPDFIntegerObject(0));
        }
      } else {
        d.Add("ColorSpace", Name("DeviceRGB"));
      }
      break;
    }
    default: {
      std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
      for (int y = 0; y < height; ++y) {
        BgrToRgb(bitmap.Scanline(y), row.data(), width);
        sink.Write(row.data(), rowBytes);
      }
      d.Add("ColorSpace", Name("DeviceRGB"));
      break;
    }
  }
  d.Add("BitsPerComponent", new TIEPDFIntegerObject(8));
}

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// The drawn size in points from the requested one and the bitmap's pixels.
void ResolveDrawnSize(int64_t& w, int64_t& h, int64_t bw, int64_t bh) {
  if (w < 0 && h < 0) return;
  if (w == -1) w = h * bw / bh;
  else if (w == 0) w = bw;
  else w = std::abs(w);
  w = std::max<int64_t>(w, 1);
  if (h == -1) h = w * bh / bw;
  else if (h == 0) h = bh;
  else h = std::abs(h);
  h = std::max<int64_t>(h, 1);
}

}  // namespace

void TIEPDFBuilder::AddImage(int32_t width, int32_t height, double x, double y, TIEBitmap& bitmap,
                             double rotation, double alpha, TPdfCompression compression) {
  TIOParams params;
  params.PdfCompression = compression;
  bool aborting = false;
  TProgressRecord progress;
  progress.Aborting = &aborting;
  PlaceImage(width, height, x, y, bitmap, rotation, alpha, params, progress);
}

void TIEPDFBuilder::PlaceImage(int32_t width, int32_t height, double x, double y, TIEBitmap& bitmap,
                               double rotation, double alpha, TIOParams& params, TProgressRecord& progress) {
  // Refusals first, so that a refused image leaves no object behind.
  if (PageCount() == 0 || CurrentPage() < 0) throw EIEException("Cannot place an image: the document has no page");
  if (params.PdfCompression > pdfLZW)
    throw EIEException("Unknown PDF image compression " + std::to_string(int(params.PdfCompression)));
  if (bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.PixelFormat() == ieNull)
    throw EIEException("Cannot embed an empty image");

  // Only ie1g and ie24RGB rows are written; anything else goes through a
  // temporary ie24RGB copy (which carries the alpha channel along).
  TIEBitmap* work = &bitmap;
  std::unique_ptr<TIEBitmap> copy;
  if (bitmap.PixelFormat() != ie1g && bitmap.PixelFormat() != ie24RGB) {
    copy = std::make_unique<TIEBitmap>();
    if (!copy->Allocate(bitmap.Width(), bitmap.Height(), ie24RGB))
      throw EIEException("Not enough memory to embed the image");
    IECopyAndConvertFormat(bitmap, *copy);
    work = copy.get();
  }
  const bool blackAndWhite = work->PixelFormat() == ie1g;

  int maskNumber = 0;
  TIEBitmap* alphaChannel = work->AlphaChannelOrNull();
  if (alphaChannel && !blackAndWhite) {
    int index = AddImageObject(MakeSoftMask(*alphaChannel));
    maskNumber = Image(index).ObjectNumber;
  }

  if (blackAndWhite) {
    params.BitsPerSample = 1;
    params.SamplesPerPixel = 1;
    if (params.PdfCompression == pdfJPEG) params.PdfCompression = pdfG3Fax2D;
  } else {
    params.BitsPerSample = 8;
    params.SamplesPerPixel = 3;
  }

  auto image = std::make_unique<TIEPDFStreamObject>();
  if (blackAndWhite)
    EncodeBlackAndWhite(*work, params, progress, *image);
  else
    EncodeColour(*work, params, progress, *image);
  copy.reset();

  TIEPDFDictionaryObject& d = *image->Dictionary;
  d.Insert(0, "Type", Name("XObject"));
  d.Insert(1, "Subtype", Name("Image"));
  d.Add("Width", new TIEPDFIntegerObject(bitmap.Width()));
  d.Add("Height", new TIEPDFIntegerObject(bitmap.Height()));
  if (maskNumber) d.Add("SMask", new TIEPDFRefObject(maskNumber));
  const int index = AddImageObject(std::move(image));
  const int imageNumber = Image(index).ObjectNumber;
  const std::string name = "lm" + std::to_string(index);

  int64_t w = width, h = height;
  ResolveDrawnSize(w, h, bitmap.Width(), bitmap.Height());
  const double dw = static_cast<double>(ClampToInt32(w)), dh = static_cast<double>(ClampToInt32(h));
  const double pdfY = PageToPdfY(CurrentPage(), y);

  // The unit square centred on the origin, scaled, rotated about its centre
  // and moved to the centre of its place.
  std::string s;
  SaveGraphicsState(s);
  Translate(s, x + dw / 2, pdfY - dh / 2);
  Rotate(s, rotation);
  Scale(s, dw, dh);
  Translate(s, -0.5, -0.5);
  SetFillAlpha(s, alpha);
  PaintXObject(s, name);
  RestoreGraphicsState(s);
  AppendPageContent(CurrentPage(), s);
  XObjectResources().Add(name, new TIEPDFRefObject(imageNumber));
}

int TIEPDFBuilder::AddFittedImagePage(TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress) {
  const int64_t bw = bitmap.Width(), bh = bitmap.Height();
  if (bw <= 0 || bh <= 0 || bitmap.PixelFormat() == ieNull) throw EIEException("Cannot embed an empty image");
  const int64_t margin = params.PdfMargin;
  int64_t pageW = params.PdfPaperWidth, pageH = params.PdfPaperHeight;
  if (pageW < 1 || pageH < 1) {
    pageW = bw + 2 * margin;
    pageH = bh + 2 * margin;
  }
  const double s = std::min(static_cast<double>(pageH - 2 * margin) / static_cast<double>(bh),
                            static_cast<double>(pageW - 2 * margin) / static_cast<double>(bw));
  auto drawn = [s](int64_t pixels) {
    double v = std::trunc(static_cast<double>(pixels) * s);
    if (!(v >= 1)) return int32_t(1);  // also NaN
    return v >= 2147483647.0 ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(v);
  };
  const int32_t w = drawn(bw), h = drawn(bh);
  const int page = AddPage(ClampToInt32(pageW), ClampToInt32(pageH));
  PlaceImage(w, h, static_cast<double>(margin), static_cast<double>(margin), bitmap, 0.0, 1.0, params, progress);
  return page;
}
