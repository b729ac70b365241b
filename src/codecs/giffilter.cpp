#include "giffilter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

namespace {

// LZW at its best (one index repeated, 12-bit codes standing for strings of
// up to 4096 indices) gives about 2,730 pixels a byte: a frame that claims
// more pixels than that per byte of its own data is a lie.
constexpr int64_t kPixelsPerByte = 4096;
// Any file may have a canvas this large; a larger logical screen must be
// plausible for the file's size like a frame.
constexpr int64_t kFreeCanvasPixels = int64_t(1) << 20;
// Comment sub-blocks kept per file. Each becomes a string of its own, so a
// file of one-byte blocks could otherwise cost many times its size.
constexpr size_t kMaxComments = 65536;

constexpr TRGB kBlack{0, 0, 0};
constexpr TRGB kWhite{255, 255, 255};

uint16_t LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

struct TGraphicControl {
  bool transparent = false;
  int transparentIndex = 0;
  int delay = 0;
  int disposal = 0;
};

struct TGifFrame {
  int32_t left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  int bits = 1;             // size code + 1 of the frame's colour table
  std::vector<TRGB> table;  // the frame's colours (local, else global), 2^bits entries
  TGraphicControl control;  // of the extension before the frame; defaults without one

  bool HasArea() const { return width > 0 && height > 0; }
  TRGB Color(int index) const {
    return index >= 0 && index < static_cast<int>(table.size()) ? table[static_cast<size_t>(index)] : kBlack;
  }
  // Indices past the table are black.
  void Colors(TRGB (&colors)[256]) const {
    for (int i = 0; i < 256; ++i) colors[i] = Color(i);
  }
};

// Colours are stored red, green, blue and held blue, green, red. A table cut
// by the end of the file reads as black from the cut on.
void ReadTable(TIEStream& stream, int entries, std::vector<TRGB>& table) {
  uint8_t rgb[768] = {};
  stream.Read(rgb, int64_t(entries) * 3);
  table.resize(static_cast<size_t>(entries));
  for (int i = 0; i < entries; ++i) table[i] = TRGB{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i]};
}

bool IsText(const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r') return false;
  return n > 0;
}

// ie1g for a table of exactly black then white; the others keep their
// indices (native) or their colours.
TIEPixelFormat FrameFormat(const TGifFrame& frame, bool native) {
  if (frame.table.size() == 2 && frame.table[0] == kBlack && frame.table[1] == kWhite) return ie1g;
  return native ? ie8p : ie24RGB;
}

void ApplyFrameParams(TIOParams& params, const TGifFrame& frame) {
  params.GifXPos = frame.left;
  params.GifYPos = frame.top;
  params.Width = params.OriginalWidth = frame.width;
  params.Height = params.OriginalHeight = frame.height;
  params.GifDelay = frame.control.delay;
  params.GifTransparent = frame.control.transparent;
  params.GifTransparentColor = frame.Color(frame.control.transparentIndex);
  params.GifInterlaced = frame.interlaced;
  params.GifDisposal = frame.control.disposal;
  params.FreeColorMap();
  params.ColorMap = frame.table;
  params.BitsPerSample = frame.bits;
  params.SamplesPerPixel = 1;
}

// Walks the blocks of a GIF file: header, frames with their extensions,
// comments, and the image data of the frames asked for.
class TGifReader {
public:
  TGifReader(TIEStream& stream, TIOParams& params, TProgressRecord& progress)
      : fStream(stream), fParams(params), fProgress(progress) {}

  bool Aborted() const { return fProgress.Aborted(); }
  bool Fail() {
    fProgress.Abort();
    return false;
  }

  // Signature, logical screen and global colour table.
  bool ReadHeader() {
    uint8_t h[13];
    if (!fStream.ReadExact(h, 13) || std::memcmp(h, "GIF", 3) != 0) return Fail();
    const TIEGlobalSettings& settings = IEGlobalSettings();
    fParams.GifVersion.assign(reinterpret_cast<const char*>(h), 6);
    fParams.GifScreenWidth = LE16(h + 6);
    fParams.GifScreenHeight = LE16(h + 8);
    fParams.GifAspect = h[12];
    fParams.SetDpiX(settings.DefaultDpiX);
    fParams.SetDpiY(settings.DefaultDpiY);
    fParams.SamplesPerPixel = 1;
    // What the last file left in the record must not pass for this one's.
    fParams.GifBackgroundColor = kBlack;
    fParams.GifXPos = fParams.GifYPos = 0;
    fParams.GifDelay = fParams.GifDisposal = 0;
    fParams.GifTransparent = fParams.GifInterlaced = false;
    fParams.GifTransparentColor = kBlack;
    if (h[10] & 0x80) {
      fGlobalBits = (h[10] & 7) + 1;
      ReadTable(fStream, 1 << fGlobalBits, fGlobal);
      fHasGlobal = true;
      if (h[11] < fGlobal.size()) fParams.GifBackgroundColor = fGlobal[h[11]];
    }
    if (fStream.Remaining() == 0) return Fail();
    return true;
  }

  // Reads up to the next image descriptor and its colour table; false at
  // the trailer, at the end of the data or once aborted.
  bool NextFrame(TGifFrame& frame) {
    while (!Aborted()) {
      uint8_t b = 0;
      if (fStream.Read(&b, 1) != 1 || b == 0x3B) return false;
      if (b == 0x21) {
        uint8_t label = 0;
        if (fStream.Read(&label, 1) != 1) return false;
        if (label == 0xF9)
          ReadGraphicControl();
        else if (label == 0xFE)
          ReadComments();
        else
          SkipSubBlocks();
        continue;
      }
      if (b != 0x2C) continue;  // stray bytes between blocks
      uint8_t d[9];
      if (!fStream.ReadExact(d, 9)) return false;
      frame.left = LE16(d);
      frame.top = LE16(d + 2);
      frame.width = LE16(d + 4);
      frame.height = LE16(d + 6);
      frame.interlaced = (d[8] & 0x40) != 0;
      if (d[8] & 0x80) {
        frame.bits = (d[8] & 7) + 1;
        ReadTable(fStream, 1 << frame.bits, frame.table);
      } else if (fHasGlobal) {
        frame.bits = fGlobalBits;
        frame.table = fGlobal;
      } else {
        // No table at all: a gray ramp of the size the descriptor names.
        frame.bits = (d[8] & 7) + 1;
        const int n = 1 << frame.bits;
        frame.table.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
          const uint8_t v = static_cast<uint8_t>(i * 255 / (n - 1));
          frame.table[i] = TRGB{v, v, v};
        }
      }
      frame.control = fPending;
      fPending = TGraphicControl();
      return true;
    }
    return false;
  }

  // Passes over the code size byte and the data sub-blocks.
  void SkipImageData() {
    uint8_t codeSize = 0;
    if (fStream.Read(&codeSize, 1) == 1) SkipSubBlocks();
  }

  // Decodes the frame's palette indices (the stream is at its code size).
  bool DecodeIndices(const TGifFrame& frame, TIEPixelFormat format, std::vector<uint8_t>& indices) {
    const int64_t w = frame.width, h = frame.height;
    const int64_t left = fStream.Remaining();
    if (!IEImageSizeOk(w, h, 24)) return Fail();
    if (format != ie1g && (w > 65000 || h > 65000) && left < 2000) return Fail();
    // A frame's pixels come from its own sub-blocks only. Bounding it by the
    // rest of the file instead would let many empty frames each claim a huge
    // area on the same bytes and multiply the work of one small file.
    if (!IEPlausibleForInput(w, h, DataBytesAhead(), kPixelsPerByte)) return Fail();
    TIEGifDecoder decode = fParams.GifDecoder ? fParams.GifDecoder : IEGlobalSettings().GifDecoder;
    if (!decode) return Fail();
    try {
      indices.assign(static_cast<size_t>(w * h), 0);
    } catch (const std::bad_alloc&) {
      return Fail();
    }
    const int64_t start = fStream.Position();
    decode(fStream, frame.height, frame.width, indices.data(), frame.interlaced);
    if (fStream.Position() == start) return Fail();
    return true;
  }

private:
  // Bytes in the sub-blocks of the image data at the stream's position (the
  // code size byte); the position comes back.
  int64_t DataBytesAhead() {
    const int64_t start = fStream.Position();
    const int64_t size = fStream.Size();
    int64_t bytes = 0;
    uint8_t length = 0;
    fStream.Seek(1, soCurrent);
    while (fStream.Read(&length, 1) == 1 && length != 0) {
      bytes += std::min<int64_t>(length, std::max<int64_t>(0, size - fStream.Position()));
      fStream.Seek(length, soCurrent);
    }
    fStream.SetPosition(start);
    return bytes;
  }

  void SkipSubBlocks() {
    for (;;) {
      uint8_t length = 0;
      if (fStream.Read(&length, 1) != 1 || length == 0) return;
      fStream.Seek(length, soCurrent);
    }
  }

  // Only the first sub-block means anything; a short one is ignored.
  void ReadGraphicControl() {
    uint8_t length = 0;
    if (fStream.Read(&length, 1) != 1 || length == 0) return;
    uint8_t d[255];
    const int64_t got = fStream.Read(d, length);
    if (got >= 4) {
      fPending.transparent = (d[0] & 1) != 0;
      fPending.disposal = (d[0] >> 2) & 7;
      fPending.delay = LE16(d + 1);
      fPending.transparentIndex = d[3];
    }
    if (got == length) SkipSubBlocks();
  }

  void ReadComments() {
    for (;;) {
      uint8_t length = 0;
      if (fStream.Read(&length, 1) != 1 || length == 0) return;
      uint8_t d[255];
      const int64_t got = fStream.Read(d, length);
      if (got != length) return;
      if (IsText(d, got) && fParams.GifComments.size() < kMaxComments)
        fParams.GifComments.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(got));
    }
  }

  TIEStream& fStream;
  TIOParams& fParams;
  TProgressRecord& fProgress;
  std::vector<TRGB> fGlobal;
  int fGlobalBits = 1;
  bool fHasGlobal = false;
  TGraphicControl fPending;
};

// Puts a decoded frame into bitmap at its own size; its transparent pixels
// go to an 8-bit mask that is dropped again when no pixel uses them.
bool StoreFrame(const TGifFrame& frame, const std::vector<uint8_t>& indices, TIEPixelFormat format,
                TIEBitmap& bitmap, std::unique_ptr<TIEMask>& mask, bool ignoreAlpha, TProgressRecord& progress) {
  const int w = frame.width, h = frame.height;
  if (indices.size() != static_cast<size_t>(w) * static_cast<size_t>(h) || !bitmap.Allocate(w, h, format)) {
    progress.Abort();
    return false;
  }
  TRGB colors[256];
  frame.Colors(colors);
  if (format == ie8p) {
    // A bitmap allocated again at its size keeps its old palette.
    bitmap.ColorMap().assign(256, TRGB{});
    for (size_t i = 0; i < frame.table.size(); ++i) bitmap.SetPaletteEntry(static_cast<int>(i), frame.table[i]);
    bitmap.SetPaletteUsed(static_cast<int>(frame.table.size()));
  }
  TIEMask* m = nullptr;
  if (!ignoreAlpha && frame.control.transparent) {
    if (!mask) mask = std::make_unique<TIEMask>();
    if (!mask->Allocate(w, h, 8)) {
      progress.Abort();
      return false;
    }
    mask->Fill(255);
    m = mask.get();
  }
  const uint8_t transparent = static_cast<uint8_t>(frame.control.transparentIndex);
  bool anyTransparent = false;
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = indices.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
    uint8_t* d = bitmap.Scanline(y);
    if (format == ie1g) {
      // Each bit is the low bit of its index: index 1 is white.
      std::memset(d, 0, static_cast<size_t>((w + 7) / 8));
      for (int x = 0; x < w; ++x)
        if (s[x] & 1) d[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    } else if (format == ie8p) {
      std::memcpy(d, s, static_cast<size_t>(w));
    } else {
      for (int x = 0; x < w; ++x, d += 3) {
        const TRGB& c = colors[s[x]];
        d[0] = c.b;
        d[1] = c.g;
        d[2] = c.r;
      }
    }
    if (m) {
      uint8_t* a = m->Scanline(y);
      for (int x = 0; x < w; ++x)
        if (s[x] == transparent) {
          a[x] = 0;
          anyTransparent = true;
        }
    }
  }
  if (m) {
    if (anyTransparent)
      m->SyncBoundingBox();
    else
      mask.reset();
  }
  return true;
}

struct TCanvasRect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool Empty() const { return x0 >= x1 || y0 >= y1; }
  size_t Width() const { return static_cast<size_t>(x1 - x0); }
};

// Everything of a canvas between two frames.
struct TCanvasState {
  TIEBitmap pixels;  // with its alpha channel
  bool started = false;
  int w = 0, h = 0;
  TCanvasRect prev;
  int prevDisposal = 0;
  TCanvasRect saved;
  std::vector<uint8_t> savedPixels, savedAlpha;
};

// The logical screen an animation is drawn on, held in the target bitmap
// itself (24 bits with an alpha channel; alpha 0 where no frame drew).
class TCanvas {
public:
  TCanvas(TIEBitmap& bitmap, const TIOParams& params, int64_t fileBytes)
      : fBitmap(bitmap), fScreenW(params.GifScreenWidth), fScreenH(params.GifScreenHeight),
        fBackground(IERGBToColor(params.GifBackgroundColor)), fFileBytes(fileBytes) {}

  // Whether any of the frame lies on the canvas it will be drawn on.
  bool Reaches(const TGifFrame& frame) const {
    const int w = std::max({fW, fScreenW, frame.width}), h = std::max({fH, fScreenH, frame.height});
    return frame.HasArea() && frame.left < w && frame.top < h;
  }

  // Ends the previous frame with its disposal method, then draws this one
  // (indices empty: nothing of it to draw). False when the canvas cannot be
  // had at the size the frame needs.
  bool Draw(const TGifFrame& frame, const std::vector<uint8_t>& indices) {
    if (!Fit(std::max(fScreenW, frame.width), std::max(fScreenH, frame.height))) return false;
    if (fPrevDisposal == 2)
      Fill(fPrev, fBackground, 0);
    else if (fPrevDisposal == 3)
      Restore();
    const TRect r = Clip(frame);
    if (frame.control.disposal == 3) Save(r);
    if (!indices.empty()) Paint(frame, indices, r);
    fPrev = r;
    fPrevDisposal = frame.control.disposal;
    return true;
  }

  void SaveState(TCanvasState& state) {
    if (fStarted) state.pixels.Assign(&fBitmap);
    state.started = fStarted;
    state.w = fW;
    state.h = fH;
    state.prev = fPrev;
    state.prevDisposal = fPrevDisposal;
    state.saved = fSaved;
    state.savedPixels = fSavedPixels;
    state.savedAlpha = fSavedAlpha;
  }

  void LoadState(TCanvasState& state) {
    if (state.started) fBitmap.Assign(&state.pixels);
    fStarted = state.started;
    fW = state.w;
    fH = state.h;
    fPrev = state.prev;
    fPrevDisposal = state.prevDisposal;
    fSaved = state.saved;
    fSavedPixels = state.savedPixels;
    fSavedAlpha = state.savedAlpha;
  }

  // Drops an alpha channel that no pixel needs, and gives the canvas the
  // pixel format of the frame shown when that loses nothing.
  void Finish(TIEPixelFormat format) {
    TIEBitmap* alpha = fBitmap.AlphaChannelOrNull();
    bool opaque = true;
    for (int y = 0; y < fH && opaque && alpha; ++y) {
      const uint8_t* a = alpha->Scanline(y);
      for (int x = 0; x < fW; ++x)
        if (a[x] != 255) {
          opaque = false;
          break;
        }
    }
    if (opaque) fBitmap.RemoveAlphaChannel(false);
    if (format == ie1g)
      ToBlackAndWhite();
    else if (format == ie8p)
      ToPalette();
  }

private:
  using TRect = TCanvasRect;

  // Makes the canvas at least w x h: new area is background, transparent.
  bool Fit(int w, int h) {
    if (fStarted && w <= fW && h <= fH) return true;
    const int nw = fStarted ? std::max(fW, w) : w, nh = fStarted ? std::max(fH, h) : h;
    if (!IEImageSizeOk(nw, nh, 32)) return false;
    if (int64_t(nw) * nh > kFreeCanvasPixels && !IEPlausibleForInput(nw, nh, fFileBytes, kPixelsPerByte))
      return false;
    if (fStarted) {
      if (!fBitmap.Resize(nw, nh, fBackground, 0) || !fBitmap.AlphaChannelOrNull()) return false;
      fW = nw;
      fH = nh;
      return true;
    }
    // Zero-filled storage is already black and transparent.
    auto alpha = std::make_unique<TIEBitmap>();
    if (!fBitmap.Allocate(nw, nh, ie24RGB) || !alpha->Allocate(nw, nh, ie8g)) return false;
    fBitmap.ReplaceAlphaChannel(std::move(alpha));
    fStarted = true;
    fW = nw;
    fH = nh;
    if (fBackground != 0) Fill(TRect{0, 0, nw, nh}, fBackground, 0);
    return true;
  }

  TRect Clip(const TGifFrame& frame) const {
    TRect r;
    r.x0 = std::min(frame.left, fW);
    r.y0 = std::min(frame.top, fH);
    r.x1 = static_cast<int>(std::min<int64_t>(int64_t(frame.left) + frame.width, fW));
    r.y1 = static_cast<int>(std::min<int64_t>(int64_t(frame.top) + frame.height, fH));
    if (r.Empty()) r = TRect();
    return r;
  }

  void Fill(const TRect& r, uint32_t color, uint8_t alphaValue) {
    if (r.Empty()) return;
    const TRGB c = IEColorToRGB(color);
    TIEBitmap* alpha = fBitmap.AlphaChannel();
    for (int y = r.y0; y < r.y1; ++y) {
      uint8_t* d = fBitmap.Scanline(y) + size_t(r.x0) * 3;
      for (size_t x = 0; x < r.Width(); ++x, d += 3) {
        d[0] = c.b;
        d[1] = c.g;
        d[2] = c.r;
      }
      std::memset(alpha->Scanline(y) + r.x0, alphaValue, r.Width());
    }
  }

  void Save(const TRect& r) {
    fSaved = r;
    fSavedPixels.clear();
    fSavedAlpha.clear();
    if (r.Empty()) return;
    TIEBitmap* alpha = fBitmap.AlphaChannel();
    fSavedPixels.resize(r.Width() * 3 * size_t(r.y1 - r.y0));
    fSavedAlpha.resize(r.Width() * size_t(r.y1 - r.y0));
    uint8_t* p = fSavedPixels.data();
    uint8_t* a = fSavedAlpha.data();
    for (int y = r.y0; y < r.y1; ++y, p += r.Width() * 3, a += r.Width()) {
      std::memcpy(p, fBitmap.Scanline(y) + size_t(r.x0) * 3, r.Width() * 3);
      std::memcpy(a, alpha->Scanline(y) + r.x0, r.Width());
    }
  }

  void Restore() {
    const TRect& r = fSaved;
    if (r.Empty()) return;
    TIEBitmap* alpha = fBitmap.AlphaChannel();
    const uint8_t* p = fSavedPixels.data();
    const uint8_t* a = fSavedAlpha.data();
    for (int y = r.y0; y < r.y1; ++y, p += r.Width() * 3, a += r.Width()) {
      std::memcpy(fBitmap.Scanline(y) + size_t(r.x0) * 3, p, r.Width() * 3);
      std::memcpy(alpha->Scanline(y) + r.x0, a, r.Width());
    }
  }

  // Transparent pixels leave the canvas as it was; the others are opaque.
  void Paint(const TGifFrame& frame, const std::vector<uint8_t>& indices, const TRect& r) {
    if (r.Empty()) return;
    TRGB colors[256];
    frame.Colors(colors);
    TIEBitmap* alpha = fBitmap.AlphaChannel();
    const bool keyed = frame.control.transparent;
    const uint8_t key = static_cast<uint8_t>(frame.control.transparentIndex);
    for (int y = r.y0; y < r.y1; ++y) {
      const uint8_t* s = indices.data() + size_t(y - frame.top) * size_t(frame.width) + size_t(r.x0 - frame.left);
      uint8_t* d = fBitmap.Scanline(y) + size_t(r.x0) * 3;
      uint8_t* a = alpha->Scanline(y) + r.x0;
      for (size_t x = 0; x < r.Width(); ++x) {
        if (keyed && s[x] == key) continue;
        const TRGB& c = colors[s[x]];
        d[3 * x] = c.b;
        d[3 * x + 1] = c.g;
        d[3 * x + 2] = c.r;
        a[x] = 255;
      }
    }
  }

  // ie1g when every pixel is black or white.
  void ToBlackAndWhite() {
    const size_t rowBytes = static_cast<size_t>((fW + 7) / 8);
    std::vector<uint8_t> bits(rowBytes * size_t(fH), 0);
    for (int y = 0; y < fH; ++y) {
      const uint8_t* s = fBitmap.Scanline(y);
      uint8_t* d = bits.data() + rowBytes * size_t(y);
      for (int x = 0; x < fW; ++x, s += 3) {
        const bool white = s[0] == 255 && s[1] == 255 && s[2] == 255;
        if (!white && (s[0] | s[1] | s[2]) != 0) return;
        if (white) d[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
    }
    std::unique_ptr<TIEBitmap> alpha = fBitmap.DetachAlphaChannel();
    if (!fBitmap.Allocate(fW, fH, ie1g)) throw EIEException("Not enough memory for the GIF frame");
    for (int y = 0; y < fH; ++y) std::memcpy(fBitmap.Scanline(y), bits.data() + rowBytes * size_t(y), rowBytes);
    fBitmap.ReplaceAlphaChannel(std::move(alpha));
  }

  // ie8p when the canvas has no more than 256 colours.
  void ToPalette() {
    std::unordered_map<uint32_t, uint8_t> index;
    std::vector<TRGB> palette;
    std::vector<uint8_t> pixels(size_t(fW) * size_t(fH));
    uint32_t last = 0xFFFFFFFF;
    uint8_t lastIndex = 0;
    for (int y = 0; y < fH; ++y) {
      const uint8_t* s = fBitmap.Scanline(y);
      uint8_t* d = pixels.data() + size_t(fW) * size_t(y);
      for (int x = 0; x < fW; ++x, s += 3) {
        const uint32_t key = uint32_t(s[0]) | (uint32_t(s[1]) << 8) | (uint32_t(s[2]) << 16);
        if (key != last) {
          auto it = index.find(key);
          if (it == index.end()) {
            if (palette.size() == 256) return;
            it = index.emplace(key, static_cast<uint8_t>(palette.size())).first;
            palette.push_back(TRGB{s[0], s[1], s[2]});
          }
          last = key;
          lastIndex = it->second;
        }
        d[x] = lastIndex;
      }
    }
    std::unique_ptr<TIEBitmap> alpha = fBitmap.DetachAlphaChannel();
    if (!fBitmap.Allocate(fW, fH, ie8p)) throw EIEException("Not enough memory for the GIF frame");
    fBitmap.ColorMap().assign(256, TRGB{});
    for (size_t i = 0; i < palette.size(); ++i) fBitmap.SetPaletteEntry(static_cast<int>(i), palette[i]);
    fBitmap.SetPaletteUsed(static_cast<int>(palette.size()));
    for (int y = 0; y < fH; ++y) std::memcpy(fBitmap.Scanline(y), pixels.data() + size_t(fW) * size_t(y), size_t(fW));
    fBitmap.ReplaceAlphaChannel(std::move(alpha));
  }

  TIEBitmap& fBitmap;
  const int fScreenW, fScreenH;
  const uint32_t fBackground;
  const int64_t fFileBytes;
  bool fStarted = false;
  int fW = 0, fH = 0;
  TRect fPrev;
  int fPrevDisposal = 0;
  TRect fSaved;
  std::vector<uint8_t> fSavedPixels, fSavedAlpha;
};

int32_t Saturating(int32_t n) { return n < INT32_MAX ? n + 1 : n; }

// Which file, as it is now: a file changed since is a different one.
struct TFileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  int64_t modifiedNs = 0;
  int64_t start = 0;  // where the GIF data begins
  bool native = false;

  static bool Of(TIEStream& stream, bool native, TFileIdentity& id) {
    auto* file = dynamic_cast<TIEFileStream*>(&stream);
    struct stat st;
    if (!file || ::fstat(file->Handle(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modifiedNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.start = stream.Position();
    id.native = native;
    return true;
  }
  bool operator==(const TFileIdentity&) const = default;
};

// The canvas after the frame last asked for, so that asking for the next
// frame of the same file (as a document of all frames does, one page each)
// goes on from there instead of drawing every earlier frame again.
struct TAnimationCheckpoint {
  TFileIdentity file;
  int32_t frameIndex = 0;  // the frame drawn last; at least 1
  int64_t position = 0;    // just after its image data
  TCanvasState canvas;
  TGifFrame shown;
  TIEPixelFormat shownFormat = ie24RGB;
  std::vector<std::string> comments;
};
thread_local std::unique_ptr<TAnimationCheckpoint> tCheckpoint;

// Frames 0 to the requested one, each decoded once and drawn as it comes;
// the frames after it are only counted.
void LoadAnimation(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                   std::unique_ptr<TIEMask>& mask) {
  progress.Report(0);
  if (progress.Aborted()) return;
  const bool native = params.NativePixelFormat;
  TFileIdentity identity;
  const bool known = TFileIdentity::Of(stream, native, identity);
  const int64_t start = stream.Position();
  const int64_t fileBytes = std::max<int64_t>(0, stream.Size() - start);
  TGifReader reader(stream, params, progress);
  if (!reader.ReadHeader()) return;
  const int64_t wanted = std::max(0, params.GifImageIndex);
  TCanvas canvas(bitmap, params, fileBytes);
  TGifFrame frame, first;
  std::vector<uint8_t> indices, firstIndices;
  TIEPixelFormat shownFormat = ie24RGB;
  int32_t count = 0;
  // Reads of other sources leave the checkpoint for the file it belongs to.
  std::unique_ptr<TAnimationCheckpoint> checkpoint;
  if (known) checkpoint = std::move(tCheckpoint);
  if (checkpoint && !(checkpoint->file == identity)) checkpoint.reset();
  if (checkpoint && checkpoint->frameIndex < wanted) {
    canvas.LoadState(checkpoint->canvas);
    stream.SetPosition(checkpoint->position);
    count = checkpoint->frameIndex + 1;
    ApplyFrameParams(params, checkpoint->shown);
    shownFormat = checkpoint->shownFormat;
    params.GifComments = checkpoint->comments;
  }
  auto drawFirst = [&] {
    const bool ok = canvas.Draw(first, firstIndices);
    std::vector<uint8_t>().swap(firstIndices);
    if (!ok) progress.Abort();
    return ok;
  };
  while (reader.NextFrame(frame)) {
    const int64_t i = count;
    count = Saturating(count);
    // A second frame makes the file an animation: the first one goes on the
    // canvas only now, so that a still picture keeps its own size.
    if (i == 1 && !drawFirst()) break;
    if (i > wanted) {
      reader.SkipImageData();
      continue;
    }
    ApplyFrameParams(params, frame);
    shownFormat = FrameFormat(frame, native);
    indices.clear();
    const bool drawn = i == 0 ? frame.HasArea() : canvas.Reaches(frame);
    if (!drawn)
      reader.SkipImageData();
    else if (!reader.DecodeIndices(frame, shownFormat, indices))
      break;
    if (i == 0) {
      first = frame;
      firstIndices.swap(indices);
    } else if (!canvas.Draw(frame, indices)) {
      progress.Abort();
      break;
    } else if (i == wanted && known) {
      if (!checkpoint) checkpoint = std::make_unique<TAnimationCheckpoint>();
      checkpoint->file = identity;
      checkpoint->frameIndex = static_cast<int32_t>(i);
      checkpoint->position = stream.Position();
      canvas.SaveState(checkpoint->canvas);
      checkpoint->shown = frame;
      checkpoint->shownFormat = shownFormat;
      checkpoint->comments = params.GifComments;
      tCheckpoint = std::move(checkpoint);
    }
    progress.Report(static_cast<int>((i + 1) * 100 / (wanted + 1)));
  }
  if (progress.Aborted()) return;
  params.SetImageCount(count);
  if (count == 0) {
    progress.Abort();
  } else if (count == 1) {
    StoreFrame(first, firstIndices, shownFormat, bitmap, mask, false, progress);
  } else {
    canvas.Finish(shownFormat);
    params.GifDisposal = 2;
    params.GifXPos = params.GifYPos = 0;
  }
}

}  // namespace

void GIFReadStream(TIEStream& stream, TIEBitmap& bitmap, int32_t& frameCount, bool ignoreAlpha,
                   std::unique_ptr<TIEMask>& mask, bool headerOnly, TProgressRecord& progress,
                   TIOParams& params) {
  frameCount = 0;
  progress.Report(0);
  if (progress.Aborted()) return;
  TGifReader reader(stream, params, progress);
  if (!reader.ReadHeader()) return;
  const int32_t wanted = params.GifImageIndex;
  TGifFrame frame;
  int32_t count = 0;
  while (reader.NextFrame(frame)) {
    if (count != wanted) {
      reader.SkipImageData();
    } else {
      ApplyFrameParams(params, frame);
      progress.Report(30);
      if (progress.Aborted()) break;
      if (headerOnly) {
        reader.SkipImageData();
      } else {
        const TIEPixelFormat format = FrameFormat(frame, params.NativePixelFormat);
        std::vector<uint8_t> indices;
        if (!frame.HasArea()) {
          progress.Abort();
          break;
        }
        if (!reader.DecodeIndices(frame, format, indices)) break;
        progress.Report(70);
        if (progress.Aborted()) break;
        if (!StoreFrame(frame, indices, format, bitmap, mask, ignoreAlpha, progress)) break;
      }
    }
    count = Saturating(count);
  }
  frameCount = count;
  params.SetImageCount(count);
  if (!progress.Aborted()) progress.Report(100);
}

void IEGifLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>& mask) {
  if (!params.GifRawFrame) {
    LoadAnimation(stream, bitmap, params, progress, mask);
    return;
  }
  int32_t frames = 0;
  GIFReadStream(stream, bitmap, frames, false, mask, false, progress, params);
  // The bitmap still holds whatever it held before: that is no frame of this file.
  if (params.GifImageIndex < 0 || params.GifImageIndex >= frames) progress.Abort();
}

int32_t IEGifFrameCount(TIEStream& stream) {
  try {
    bool aborted = false;
    TProgressRecord progress;
    progress.Aborting = &aborted;
    TIOParams params;
    TGifReader reader(stream, params, progress);
    if (!reader.ReadHeader()) return 0;
    TGifFrame frame;
    int32_t count = 0;
    while (reader.NextFrame(frame)) {
      reader.SkipImageData();
      count = Saturating(count);
    }
    return count;
  } catch (...) {
    return 0;
  }
}
