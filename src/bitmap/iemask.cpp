#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "iebitmap.h"
#include "iecore.h"

TIEMask::~TIEMask() { std::free(fBits); }

void TIEMask::Free() {
  std::free(fBits);
  fBits = nullptr;
  fWidth = fHeight = 0;
  fRowLen = 0;
  fFull = false;
  EmptyBox();
}

void TIEMask::EmptyBox() { fBox = TIERect{kEmptyLeft, kEmptyLeft, 0, 0}; }

bool TIEMask::Allocate(int width, int height, int bitsPerPixel) {
  Free();
  if (bitsPerPixel != 1 && bitsPerPixel != 8) return false;
  fBitsPerPixel = bitsPerPixel;
  if (width == 0 || height == 0) return width >= 0 && height >= 0;
  if (!IEImageSizeOk(width, height, bitsPerPixel)) return false;
  int64_t rowLen = IERowLen(width, bitsPerPixel, 32);
  int64_t size = 0;
  if (rowLen <= 0 || !IECheckedMul(rowLen, height, size) || uint64_t(size) > SIZE_MAX) return false;
  fBits = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
  if (!fBits) return false;
  fWidth = width;
  fHeight = height;
  fRowLen = rowLen;
  return true;
}

void TIEMask::Assign(const TIEMask& other) {
  if (!Allocate(other.fWidth, other.fHeight, other.fBitsPerPixel))
    throw EIEException("Not enough memory to copy the mask");
  if (fBits && other.fBits)
    std::memcpy(fBits, other.fBits, static_cast<size_t>(fRowLen * fHeight));
  fBox = other.fBox;
  fFull = other.fFull;
}

uint8_t* TIEMask::Scanline(int row) {
  if (!fBits || row < 0 || row >= fHeight) return nullptr;
  return fBits + static_cast<int64_t>(fHeight - 1 - row) * fRowLen;
}

const uint8_t* TIEMask::Scanline(int row) const {
  return const_cast<TIEMask*>(this)->Scanline(row);
}

void TIEMask::Extend(int x, int y) {
  fBox.Left = std::min(fBox.Left, x);
  fBox.Top = std::min(fBox.Top, y);
  fBox.Right = std::max(fBox.Right, x);
  fBox.Bottom = std::max(fBox.Bottom, y);
}

void TIEMask::SetPixel(int x, int y, int value) {
  if (x < 0 || y < 0 || x >= fWidth || y >= fHeight) return;
  uint8_t* row = Scanline(y);
  if (fBitsPerPixel == 1) {
    uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
    if (value != 0) {
      row[x >> 3] |= bit;
    } else {
      row[x >> 3] &= static_cast<uint8_t>(~bit);
      fFull = false;  // a cleared bit is a transparent pixel
    }
  } else {
    row[x] = static_cast<uint8_t>(value);
    if (row[x] != 255) fFull = false;
  }
  if ((fBitsPerPixel == 1 ? value != 0 : static_cast<uint8_t>(value) != 0)) Extend(x, y);
}

int TIEMask::GetPixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= fWidth || y >= fHeight) return 0;
  const uint8_t* row = Scanline(y);
  if (fBitsPerPixel == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1;
  return row[x];
}

void TIEMask::Fill(uint8_t value) {
  if (fBits) std::memset(fBits, value, static_cast<size_t>(fRowLen * fHeight));
  fFull = value == 255;
  if (value != 0 && fWidth > 0 && fHeight > 0)
    fBox = TIERect{0, 0, fWidth - 1, fHeight - 1};
  else
    EmptyBox();
}

void TIEMask::Clear() {
  Fill(0);
  fFull = false;
}

bool TIEMask::Resize(int newWidth, int newHeight) {
  if (newWidth == fWidth && newHeight == fHeight) return true;
  TIEMask old;
  std::swap(old.fBits, fBits);
  old.fWidth = fWidth;
  old.fHeight = fHeight;
  old.fRowLen = fRowLen;
  old.fBitsPerPixel = fBitsPerPixel;
  const bool full = fFull;
  const TIERect box = fBox;
  if (!Allocate(newWidth, newHeight, old.fBitsPerPixel)) {
    std::swap(old.fBits, fBits);
    fWidth = old.fWidth;
    fHeight = old.fHeight;
    fRowLen = old.fRowLen;
    fFull = full;
    fBox = box;
    return false;
  }
  const int rows = std::min(fHeight, old.fHeight);
  const int cols = std::min(fWidth, old.fWidth);
  for (int y = 0; y < rows; ++y) {
    uint8_t* dst = Scanline(y);
    const uint8_t* src = old.Scanline(y);
    if (fBitsPerPixel == 8) {
      std::memcpy(dst, src, static_cast<size_t>(cols));
    } else {
      std::memcpy(dst, src, static_cast<size_t>(cols / 8));
      if (cols & 7)
        dst[cols / 8] = static_cast<uint8_t>(src[cols / 8] & (0xFF << (8 - (cols & 7))));
    }
  }
  fFull = full && newWidth <= old.fWidth && newHeight <= old.fHeight;
  SyncBoundingBox();
  return true;
}

void TIEMask::SyncBoundingBox() {
  EmptyBox();
  for (int y = 0; y < fHeight; ++y) {
    const uint8_t* row = Scanline(y);
    int first = -1, last = -1;
    if (fBitsPerPixel == 8) {
      for (int x = 0; x < fWidth; ++x)
        if (row[x]) {
          if (first < 0) first = x;
          last = x;
        }
    } else {
      for (int x = 0; x < fWidth; ++x)
        if (row[x >> 3] & (0x80 >> (x & 7))) {
          if (first < 0) first = x;
          last = x;
        }
    }
    if (first >= 0) {
      Extend(first, y);
      Extend(last, y);
    }
  }
}
