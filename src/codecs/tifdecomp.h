// Decoding of TIFF strips and tiles into rows: the compressions (none,
// PackBits, LZW, CCITT modified Huffman, group 3, group 4, Deflate), then
// FillOrder, the unpacking of narrow samples, grey scaling and the
// predictors. JPEG data does not come through here: the page reader hands it
// to the JPEG reader whole.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "iecore.h"

class TIECcittDecoder;

// TIFF Compression tag values this module knows.
inline constexpr int kTiffNone = 1;
inline constexpr int kTiffCcittRle = 2;
inline constexpr int kTiffGroup3 = 3;
inline constexpr int kTiffGroup4 = 4;
inline constexpr int kTiffLzw = 5;
inline constexpr int kTiffOldJpeg = 6;
inline constexpr int kTiffJpeg = 7;
inline constexpr int kTiffAdobeDeflate = 8;
inline constexpr int kTiffDeflate = 32946;
inline constexpr int kTiffPackBits = 32773;

// Whether rows of this compression can be decoded here.
bool IETiffRowCompression(int compression);
inline bool IETiffIsCcitt(int compression) {
  return compression >= kTiffCcittRle && compression <= kTiffGroup4;
}

// What the row decoder needs to know about the rows of one page (or one
// plane of a planar page: SamplesPerPixel 1 then).
struct TIETiffRowFormat {
  int Compression = kTiffNone;
  int BitsPerSample = 1;
  int SamplesPerPixel = 1;
  int SampleFormat = 1;     // 1 unsigned, 2 signed, 3 IEEE float
  bool ScaleToBytes = false;  // samples of 1 to 7 bits become 0..255 levels (not palette indices)
  bool UnpackBits = false;    // 1-bit samples become bytes even with one sample per pixel
  int FillOrder = 1;        // 2: bits of each byte stored least significant first
  uint32_t T4Options = 0;
  int Predictor = 1;        // 2 horizontal differencing, 3 floating point
  int32_t Width = 0;        // pixels per row
  bool LittleEndian = true; // byte order of 16- and 32-bit samples
  // Bytes of one stored row when they are not width x samples x bits
  // (subsampled YCbCr); 0 = computed.
  int64_t PackedRowBytes = 0;
  TIETiffLzwDecoder LzwDecoder = nullptr;
};

// Decodes the rows of one strip or tile after another. One object serves a
// whole page; StartStrip begins each strip.
//
// Delivered rows: samples of 1 bit stay packed (most significant bit first)
// when there is one sample per pixel (and no UnpackBits); narrower samples
// otherwise become one
// byte each (0..2^bits - 1, or 0..255 with ScaleToBytes); 8, 12, 16 and 32
// bits stay as stored, in the file's byte order, with the predictor undone.
// CCITT rows are 1 = white.
class TIETiffRowDecoder {
public:
  // Check with Valid() before use: false for a format whose rows cannot be
  // decoded or whose row size is beyond the limits.
  explicit TIETiffRowDecoder(const TIETiffRowFormat& format);
  ~TIETiffRowDecoder();
  TIETiffRowDecoder(const TIETiffRowDecoder&) = delete;
  TIETiffRowDecoder& operator=(const TIETiffRowDecoder&) = delete;

  bool Valid() const { return valid_; }
  // Bytes of one stored row.
  int64_t PackedRowBytes() const { return packedBytes_; }
  // Bytes of one delivered row.
  int64_t RowBytes() const { return rowBytes_; }
  // Bits of a delivered sample (8 after unpacking).
  int DeliveredBits() const { return deliveredBits_; }

  // Begins a strip of `rows` rows over size bytes that stay alive until the
  // next StartStrip or EndStrip.
  void StartStrip(const uint8_t* data, int64_t size, int64_t rows);
  // The next row of the strip, valid until the next call; nullptr when the
  // LZW decoder reports corrupt data (the page fails). Rows past the end of
  // the data are zeros (CCITT: white).
  const uint8_t* NextRow();
  // Releases the per-strip state.
  void EndStrip();

  // For uncompressed data read straight from the file: fill PackedBuffer()
  // with one stored row, then Finish delivers it.
  uint8_t* PackedBuffer() { return packed_.data(); }
  const uint8_t* Finish();

private:
  void InflateStrip();
  void PackBitsRow(uint8_t* out);
  const uint8_t* PostProcess(uint8_t* packed, bool reverseBits);
  void UndoPredictor(uint8_t* row);

  TIETiffRowFormat f_;
  bool valid_ = false;
  int64_t packedBytes_ = 0;
  int64_t rowBytes_ = 0;
  int deliveredBits_ = 8;
  bool unpack_ = false;

  std::vector<uint8_t> packed_;  // one stored row (+ slack for CCITT rows)
  std::vector<uint8_t> out_;     // one delivered row when unpacking
  uint8_t scale_[256] = {};      // level of each narrow sample value

  const uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t pos_ = 0;
  int64_t row_ = 0;
  int64_t rows_ = 0;
  bool failed_ = false;
  void* lzwState_ = nullptr;
  std::unique_ptr<TIECcittDecoder> ccitt_;
  std::vector<uint8_t> inflated_;  // Deflate: the strip's rows
  int64_t inflatedBytes_ = 0;
  bool inflatedDone_ = false;
};

// Reverses the bits of every byte (FillOrder 2 data).
void IETiffReverseBits(uint8_t* data, int64_t count);
