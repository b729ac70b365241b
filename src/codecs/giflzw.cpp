#include "giflzw.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "iestream.h"

namespace {

constexpr int kMaxCodes = 4096;  // 12-bit codes
constexpr int kMaxWidth = 12;

constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

// The data sub-blocks of one frame, concatenated. Stops at the zero-length
// block or where the stream ends (keeping what a cut block still had).
void ReadSubBlocks(TIEStream& stream, std::vector<uint8_t>& data) {
  uint8_t block[255];
  for (;;) {
    uint8_t length = 0;
    if (stream.Read(&length, 1) != 1 || length == 0) return;
    const int64_t got = stream.Read(block, length);
    if (got > 0) data.insert(data.end(), block, block + got);
    if (got != length) return;
  }
}

// Decoding runs into a buffer in stored order; interlaced frames are then
// put in row order in place, following each cycle of the row permutation
// with one carried row.
void Deinterlace(uint8_t* out, int width, int height) {
  if (height < 2) return;
  std::vector<int> dest;
  dest.reserve(static_cast<size_t>(height));
  for (int p = 0; p < 4; ++p)
    for (int row = kPassStart[p]; row < height; row += kPassStep[p]) dest.push_back(row);
  std::vector<bool> done(static_cast<size_t>(height), false);
  std::vector<uint8_t> carry(static_cast<size_t>(width));
  const size_t w = static_cast<size_t>(width);
  for (int start = 0; start < height; ++start) {
    if (done[start]) continue;
    if (dest[start] == start) {
      done[start] = true;
      continue;
    }
    std::memcpy(carry.data(), out + static_cast<size_t>(start) * w, w);
    int k = start;
    do {
      const int d = dest[k];
      std::swap_ranges(carry.begin(), carry.end(), out + static_cast<size_t>(d) * w);
      done[k] = true;
      k = d;
    } while (k != start);
  }
}

class TLzwDecoder {
public:
  TLzwDecoder(const std::vector<uint8_t>& data, int minCodeSize, uint8_t* out, int64_t total)
      : fData(data), fMin(minCodeSize), fOut(out), fTotal(total) {}

  // False when the data breaks the rules that make a frame fail.
  bool Run() {
    const int clear = 1 << fMin, end = clear + 1, firstFree = clear + 2;
    for (int c = 0; c < clear; ++c) {
      fPrefix[c] = 0;
      fSuffix[c] = static_cast<uint8_t>(c);
      fFirst[c] = static_cast<uint8_t>(c);
      fLength[c] = 1;
    }
    // Encoders should start with a clear code but not all do; without one,
    // the table starts as a clear code would leave it.
    Reset(firstFree);
    bool afterClear = true, sawClear = false;
    int prev = -1;
    int code;
    while (NextCode(code)) {
      if (code == clear) {
        Reset(firstFree);
        afterClear = sawClear = true;
        continue;
      }
      if (code == end) {
        // An empty frame is two codes; bytes after them are not its data.
        return !(afterClear && sawClear && fPos < fData.size());
      }
      if (afterClear) {
        if (code >= fNext) {
          if (!sawClear) return false;  // no string to refer to
          code = 0;
        }
        Emit(code);
        prev = code;
        afterClear = false;
        continue;
      }
      if (code > fNext) return false;
      if (fNext < kMaxCodes) {
        const uint8_t first = code < fNext ? fFirst[code] : fFirst[prev];
        fPrefix[fNext] = static_cast<uint16_t>(prev);
        fSuffix[fNext] = first;
        fFirst[fNext] = fFirst[prev];
        fLength[fNext] = static_cast<uint16_t>(fLength[prev] + 1);
        ++fNext;
        if (fNext == fLimit && fWidth < kMaxWidth) {
          ++fWidth;
          fLimit <<= 1;
        }
      }
      Emit(code);
      prev = code;
    }
    return true;
  }

private:
  void Reset(int firstFree) {
    fWidth = fMin + 1;
    fLimit = 1 << fWidth;
    fNext = firstFree;
  }

  bool NextCode(int& code) {
    while (fBits < fWidth) {
      if (fPos >= fData.size()) return false;
      fAcc |= static_cast<uint64_t>(fData[fPos++]) << fBits;
      fBits += 8;
    }
    code = static_cast<int>(fAcc & ((1u << fWidth) - 1));
    fAcc >>= fWidth;
    fBits -= fWidth;
    return true;
  }

  // Writes the string of code at the output position, back to front along
  // its prefix chain; the part past the frame is dropped unwalked once the
  // frame is full, so trailing data costs nothing per pixel.
  void Emit(int code) {
    const int64_t length = fLength[code];
    if (fDone < fTotal) {
      const int64_t room = std::min<int64_t>(length, fTotal - fDone);
      int c = code;
      for (int64_t i = length; i > room; --i) c = fPrefix[c];
      uint8_t* p = fOut + fDone + room;
      for (int64_t i = room; i > 0; --i) {
        *--p = fSuffix[c];
        c = fPrefix[c];
      }
    }
    fDone += length;
  }

  const std::vector<uint8_t>& fData;
  const int fMin;
  uint8_t* const fOut;
  const int64_t fTotal;
  size_t fPos = 0;
  uint64_t fAcc = 0;
  int fBits = 0;
  int fWidth = 0, fLimit = 0, fNext = 0;
  int64_t fDone = 0;
  uint16_t fPrefix[kMaxCodes];
  uint8_t fSuffix[kMaxCodes];
  uint8_t fFirst[kMaxCodes];
  uint16_t fLength[kMaxCodes];
};

}  // namespace

int GifInterlacedRow(int n, int height) {
  for (int p = 0; p < 4; ++p) {
    const int rows = height > kPassStart[p] ? (height - kPassStart[p] + kPassStep[p] - 1) / kPassStep[p] : 0;
    if (n < rows) return kPassStart[p] + n * kPassStep[p];
    n -= rows;
  }
  return -1;
}

void GifLzwDecode(TIEStream& stream, int height, int width, uint8_t* out, bool interlaced) {
  const int64_t start = stream.Position();
  uint8_t minCodeSize = 0;
  if (stream.Read(&minCodeSize, 1) != 1 || minCodeSize < 2 || minCodeSize > 9) {
    stream.SetPosition(start);
    return;
  }
  std::vector<uint8_t> data;
  ReadSubBlocks(stream, data);
  const int64_t total = width > 0 && height > 0 ? int64_t(width) * height : 0;
  auto decoder = std::make_unique<TLzwDecoder>(data, minCodeSize, out, total);
  if (!decoder->Run()) {
    stream.SetPosition(start);
    return;
  }
  if (interlaced && total > 0) Deinterlace(out, width, height);
}
