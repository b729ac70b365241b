#include "pnmfilt.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "ieglobal.h"
#include "iestream.h"

namespace {

// Text data needs at least one character a sample and binary data at least
// one byte for eight pixels; files cut short still load what they have, up to
// this many times fewer bytes than the header promises.
constexpr int64_t kTruncationSlack = 16;
// Comments are kept up to this many bytes in all.
constexpr size_t kMaxCommentBytes = 1 << 20;
// Longer digit runs are out of every range we accept.
constexpr size_t kMaxDigits = 10;

class TByteSource {
public:
  explicit TByteSource(TIEStream& stream) : fStream(stream), fBuffer(65536) {}

  // Next byte, -1 at the end.
  int Get() {
    if (fPos == fLen && !Fill()) return -1;
    return fBuffer[fPos++];
  }
  // Up to n bytes; returns how many.
  int64_t Read(uint8_t* out, int64_t n) {
    int64_t done = 0;
    while (done < n) {
      if (fPos == fLen) {
        // Large requests bypass the buffer.
        if (n - done >= static_cast<int64_t>(fBuffer.size())) {
          const int64_t got = fStream.Read(out + done, n - done);
          return done + std::max<int64_t>(got, 0);
        }
        if (!Fill()) break;
      }
      const int64_t take = std::min<int64_t>(n - done, static_cast<int64_t>(fLen - fPos));
      std::memcpy(out + done, fBuffer.data() + fPos, static_cast<size_t>(take));
      fPos += static_cast<size_t>(take);
      done += take;
    }
    return done;
  }

private:
  bool Fill() {
    const int64_t got = fStream.Read(fBuffer.data(), static_cast<int64_t>(fBuffer.size()));
    fPos = 0;
    fLen = got > 0 ? static_cast<size_t>(got) : 0;
    return fLen > 0;
  }

  TIEStream& fStream;
  std::vector<uint8_t> fBuffer;
  size_t fPos = 0, fLen = 0;
};

// Tokens are runs of letters and digits; anything else separates them, and
// "#" starts a comment that runs to the end of the line.
class TTokenizer {
public:
  TTokenizer(TByteSource& in, std::vector<std::string>* comments) : fIn(in), fComments(comments) {}

  // The next token (cut to kMaxDigits + 1 characters); false at the end of
  // the data. Consumes the one character that ends the token.
  bool Next(std::string& token) {
    token.clear();
    for (;;) {
      const int c = fIn.Get();
      if (c < 0) return !token.empty();
      if (std::isalnum(c)) {
        if (token.size() <= kMaxDigits) token += static_cast<char>(c);
        continue;
      }
      if (c == '#') Comment();
      if (!token.empty()) return true;
    }
  }

  // A token as a number; -1 when it is not all digits or too long.
  static int64_t Number(const std::string& token) {
    if (token.empty() || token.size() > kMaxDigits) return -1;
    int64_t v = 0;
    for (char c : token) {
      if (c < '0' || c > '9') return -1;
      v = v * 10 + (c - '0');
    }
    return v;
  }

  void Comment() {
    std::string text;
    for (int c = fIn.Get(); c >= 0 && c != '\n' && c != '\r'; c = fIn.Get())
      if (fComments && text.size() < kMaxCommentBytes) text += static_cast<char>(c);
    if (!fComments) return;
    const size_t a = text.find_first_not_of(" \t\v\f");
    const size_t b = text.find_last_not_of(" \t\v\f");
    text = a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
    if (fCommentBytes + text.size() > kMaxCommentBytes) return;
    fCommentBytes += text.size();
    fComments->push_back(std::move(text));
  }

private:
  TByteSource& fIn;
  std::vector<std::string>* fComments;
  size_t fCommentBytes = 0;
};

// Rows of a picture, filled sample by sample (text formats).
class TRowWriter {
public:
  TRowWriter(TIEBitmap& bitmap, TProgressRecord& progress, int samplesPerPixel)
      : fBitmap(bitmap), fProgress(progress), fWidth(bitmap.Width()), fHeight(bitmap.Height()),
        fSamples(samplesPerPixel) {
    fRow = fBitmap.Scanline(0);
  }
  bool Done() const { return fY >= fHeight || fProgress.Aborted(); }
  // One 1-bit pixel (true = white).
  void PutBit(bool white) {
    if (white) fRow[fX >> 3] |= uint8_t(0x80 >> (fX & 7));
    if (++fX == fWidth) NextRow();
  }
  // One 8-bit sample in file order: grey, or red, green, blue.
  void PutSample(uint8_t v) {
    uint8_t* p = fRow + 3 * static_cast<int64_t>(fX);
    if (fSamples == 1) {
      p[0] = p[1] = p[2] = v;
    } else {
      p[2 - fSample] = v;
    }
    if (++fSample < fSamples) return;
    fSample = 0;
    if (++fX == fWidth) NextRow();
  }

private:
  void NextRow() {
    fX = 0;
    ++fY;
    fProgress.Report(static_cast<int>(static_cast<int64_t>(fY) * 100 / fHeight));
    if (fY < fHeight) fRow = fBitmap.Scanline(fY);
  }

  TIEBitmap& fBitmap;
  TProgressRecord& fProgress;
  int fWidth, fHeight, fSamples;
  int fX = 0, fY = 0, fSample = 0;
  uint8_t* fRow = nullptr;
};

// v (0..maximum, larger values clamp) scaled to 0..top, truncated.
uint32_t Scale(uint32_t v, uint32_t maximum, uint32_t top) {
  if (v >= maximum) return top;
  return static_cast<uint32_t>(static_cast<uint64_t>(v) * top / maximum);
}

}  // namespace

void IEPnmReadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, bool headerOnly,
                     TProgressRecord& progress) {
  const TIEGlobalSettings& settings = IEGlobalSettings();
  const int64_t streamBytes = stream.Remaining();
  TByteSource in(stream);
  params.PnmComments.clear();
  TTokenizer tokens(in, &params.PnmComments);

  std::string token;
  if (!tokens.Next(token) || token.size() != 2 || token[0] != 'P' || token[1] < '1' || token[1] > '6') {
    progress.Abort();
    return;
  }
  const int kind = token[1] - '0';
  const bool bitmapKind = kind == 1 || kind == 4;
  int64_t values[3] = {0, 0, 1};
  for (int i = 0; i < (bitmapKind ? 2 : 3); ++i) {
    values[i] = tokens.Next(token) ? TTokenizer::Number(token) : -1;
    if (values[i] < 0) {
      progress.Abort();
      return;
    }
  }
  const int64_t width = values[0], height = values[1], maximum = values[2];
  // A maximum of 0 leaves nothing to scale by.
  if (width <= 0 || height <= 0 || maximum < 1 || maximum > 65535) {
    progress.Abort();
    return;
  }
  const bool wide = maximum > 255;

  params.FreeColorMap();
  params.Width = params.OriginalWidth = static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX));
  params.Height = params.OriginalHeight = static_cast<int32_t>(std::min<int64_t>(height, INT32_MAX));
  params.SetDpiX(settings.DefaultDpiX);
  params.SetDpiY(settings.DefaultDpiY);
  params.SetImageCount(1);
  params.BitsPerSample = bitmapKind ? 1 : (wide && (kind == 5 || kind == 6)) ? 16 : 8;
  params.SamplesPerPixel = (kind == 3 || kind == 6) ? 3 : 1;
  if (headerOnly) return;

  const bool native = params.NativePixelFormat;
  TIEPixelFormat format = ie24RGB;
  if (bitmapKind) format = ie1g;
  else if (native && wide && kind == 5) format = ie16g;
  else if (native && wide && kind == 6) format = ieRGB48;
  const int64_t perByte = (kind == 4 ? 8 : 1) * kTruncationSlack;
  if (!IEImageSizeOk(width, height, IEBitsPerPixel(format)) ||
      !IEPlausibleForInput(width, height, streamBytes, perByte) ||
      !bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), format)) {
    progress.Abort();
    return;
  }
  const int w = static_cast<int>(width), ht = static_cast<int>(height);
  const uint32_t maxv = static_cast<uint32_t>(maximum);

  if (kind == 1) {
    TRowWriter out(bitmap, progress, 1);
    TTokenizer data(in, nullptr);
    while (!out.Done()) {
      const int c = in.Get();
      if (c < 0) break;
      if (c == '0' || c == '1') out.PutBit(c == '0');
      else if (c == '#') data.Comment();  // digits in comments are no pixels
    }
    return;
  }
  if (kind == 2 || kind == 3) {
    uint8_t lut[256];
    const bool useLut = maxv <= 255;
    for (uint32_t v = 0; v < 256; ++v) lut[v] = static_cast<uint8_t>(Scale(v, maxv, 255));
    TRowWriter out(bitmap, progress, kind == 3 ? 3 : 1);
    TTokenizer values(in, nullptr);
    while (!out.Done() && values.Next(token)) {
      const int64_t v = TTokenizer::Number(token);
      if (v < 0) break;  // not a sample: the data ends here
      const uint32_t u = static_cast<uint32_t>(std::min<int64_t>(v, 65535));
      out.PutSample(useLut && u < 256 ? lut[u] : static_cast<uint8_t>(Scale(u, maxv, 255)));
    }
    return;
  }

  // Binary rows.
  const int samples = kind == 6 ? 3 : 1;
  const int64_t fileRowLen = kind == 4 ? (width + 7) / 8 : width * samples * (wide ? 2 : 1);
  std::vector<uint8_t> row(static_cast<size_t>(fileRowLen));
  uint8_t lut[256];
  for (uint32_t v = 0; v < 256; ++v) lut[v] = static_cast<uint8_t>(Scale(v, maxv, 255));
  int y = 0;
  for (; y < ht; ++y) {
    if (progress.Aborted()) return;
    const int64_t got = in.Read(row.data(), fileRowLen);
    if (got <= 0) break;
    if (got < fileRowLen) std::fill(row.begin() + got, row.end(), uint8_t(0));
    uint8_t* dst = bitmap.Scanline(y);
    const uint8_t* src = row.data();
    if (kind == 4) {
      // 1 is black in the file, white in ie1g; bits past the width stay 0.
      for (int64_t i = 0; i < fileRowLen; ++i) dst[i] = uint8_t(~src[i]);
      if (w & 7) dst[fileRowLen - 1] &= uint8_t(0xFF00 >> (w & 7));
    } else if (!wide) {
      for (int x = 0; x < w; ++x) {
        uint8_t* p = dst + 3 * static_cast<int64_t>(x);
        if (samples == 1) {
          p[0] = p[1] = p[2] = lut[src[x]];
        } else {
          const uint8_t* s = src + 3 * static_cast<int64_t>(x);
          p[0] = lut[s[2]];
          p[1] = lut[s[1]];
          p[2] = lut[s[0]];
        }
      }
    } else {
      const int64_t n = static_cast<int64_t>(w) * samples;
      for (int64_t i = 0; i < n; ++i) {
        const uint32_t v = (uint32_t(src[2 * i]) << 8) | src[2 * i + 1];
        if (format == ie16g || format == ieRGB48) {
          // Little-endian words, red first for ieRGB48.
          const uint32_t s = maxv == 65535 ? v : Scale(v, maxv, 65535);
          dst[2 * i] = uint8_t(s);
          dst[2 * i + 1] = uint8_t(s >> 8);
        } else {
          // The high byte when the samples span 16 bits, else scaled.
          const uint8_t s = maxv == 65535 ? uint8_t(v >> 8) : uint8_t(Scale(v, maxv, 255));
          if (samples == 1) {
            dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = s;
          } else {
            const int64_t x = i / 3, c = i % 3;
            dst[3 * x + 2 - c] = s;
          }
        }
      }
    }
    progress.Report(static_cast<int>(static_cast<int64_t>(y + 1) * 100 / ht));
  }
  // Missing P4 rows read as all-zero file bytes, which are white.
  if (kind == 4)
    for (; y < ht; ++y) {
      uint8_t* dst = bitmap.Scanline(y);
      std::memset(dst, 0xFF, static_cast<size_t>(fileRowLen));
      if (w & 7) dst[fileRowLen - 1] &= uint8_t(0xFF00 >> (w & 7));
    }
}

void IEPnmLoadStream(TIEStream& stream, TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress,
                     std::unique_ptr<TIEMask>&) {
  IEPnmReadStream(stream, bitmap, params, false, progress);
}
