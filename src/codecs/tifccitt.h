// CCITT fax coding of 1-bit rows: the group 4 and group 3 two-dimensional
// encoders of the PDF writer, and the modified Huffman, group 3 and group 4
// decoders of the TIFF reader. Both sides share the code tables of t4tables.
#pragma once

#include <cstdint>
#include <vector>

#include "iestream.h"

// Order of the bits inside the bytes of fax data.
enum TIEFaxBitOrder : uint8_t {
  fboMsbFirst,  // first bit in bit 7 (TIFF FillOrder 1, PDF)
  fboLsbFirst,  // first bit in bit 0 (TIFF FillOrder 2)
};

// What the encoder keeps between the rows of one image: the previous row, as
// the positions where its colour changes, and the bits of an unfinished last
// byte (most significant first). Start each image with a fresh record; the
// final call empties it again.
struct TIEFaxEncoderState {
  bool HasReference = false;
  int PendingCount = 0;  // 0..7
  uint8_t PendingByte = 0;
  std::vector<int32_t> Reference;  // change positions and end markers
  std::vector<int32_t> Changes;    // scratch for the current row
  std::vector<uint8_t> Bits;       // scratch for the coded row
};

// Rows are `width` pixels, eight per byte, leftmost in the most significant
// bit; a 0 bit is coded as white and a 1 bit as black, and bits past `width`
// are never read. Each call with a row writes its complete bytes to `stream`
// and keeps an incomplete one in the state, so rows are not byte-aligned. The
// final call (row null) ends the data and pads its last byte with zero bits.
// Every image must use one width. When a write to `stream` fails, *abortFlag
// (if given) is set to true and the stream's exception goes on to the caller.
//
// Group 4: every row coded against the one above, the first against white;
// the final call writes the end-of-facsimile-block (two end-of-line codes).
void EncodeG4Row(const uint8_t* row, int32_t width, TIEStream& stream, TIEFaxBitOrder bitOrder,
                 bool* abortFlag, TIEFaxEncoderState& state);
// Group 3 two-dimensional: each row starts with an end-of-line code and a tag
// bit; the first row is coded one-dimensionally (tag 1), every later row
// against the one above (tag 0). The final call writes one end-of-line code.
void EncodeG3Row(const uint8_t* row, int32_t width, TIEStream& stream, TIEFaxBitOrder bitOrder,
                 bool* abortFlag, TIEFaxEncoderState& state);

// Decodes the strips of a fax-coded TIFF page row by row.
//
// Rows come out as ceil(width / 8) bytes with white runs as 1 bits and black
// runs as 0 bits, the bitmap's own convention (bits past the width are 1).
// The fax codes themselves say which pixels are white; PhotometricInterpretation
// is left to the caller. Damaged data never fails: unknown codes are skipped,
// runs are cut at the row's end, and rows after the end of the data, or after
// a group 4 end-of-block, are white (a black run cut off by the end of the data
// goes on to the end of its row).
class TIECcittDecoder {
public:
  // compression: the TIFF value, 2 (modified Huffman), 3 (group 3) or 4
  // (group 4). t4Options: bit 0 selects two-dimensional group 3; for group 4,
  // bit 2 says rows may carry end-of-line codes. fillOrder 2: bytes are read
  // least significant bit first. Raises EIEException for a width outside
  // 1..IELimits::kMaxDimension or another compression.
  TIECcittDecoder(int compression, uint32_t t4Options, int32_t width, int fillOrder);

  // Starts a strip: bit position 0 and an all-white reference row. The bytes
  // must stay alive while the strip's rows are decoded.
  void StartStrip(const uint8_t* data, int64_t size);
  // Decodes the next row of the strip into row (RowBytes() bytes).
  void DecodeRow(uint8_t* row);
  // True when the strip has nothing more to give (every further row is white).
  bool InputUsed() const { return blockEnded_ || consumed_ >= totalBits_; }
  int64_t RowBytes() const { return (static_cast<int64_t>(width_) + 7) / 8; }
  int32_t Width() const { return width_; }

private:
  enum TRowEnd : uint8_t { reDone, reDataEnd, reRestart, reRun };

  bool AtEnd() const { return consumed_ >= totalBits_; }
  void Fill();
  void Consume(int n) {  // n <= accBits_
    acc_ = n < 64 ? acc_ << n : 0;
    accBits_ -= n;
    consumed_ += n;
  }
  bool ConsumeEndOfLine();
  void Push(int32_t p);
  TRowEnd ReadRun(bool black, int32_t& run);
  TRowEnd Decode1D();
  TRowEnd Decode2D();
  void Uncompressed(int32_t& a0, int& colour);
  void Render(uint8_t* row) const;

  int compression_;
  bool twoD_;           // group 3 with two-dimensional rows, or group 4
  bool eolProcessing_;  // end-of-line codes and their tag bits expected in 2-D rows
  bool reverse_;
  int32_t width_;

  const uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t bytePos_ = 0;   // next byte to load
  uint64_t acc_ = 0;      // unread bits from the most significant end
  int accBits_ = 0;
  int64_t consumed_ = 0;  // bits read from the strip
  int64_t totalBits_ = 0;
  bool blockEnded_ = false;
  bool rowOneD_ = false;  // the coding of the row being decoded

  std::vector<int32_t> ref_;  // change positions of the row above, then 3 x width
  std::vector<int32_t> cur_;
  int32_t curCount_ = 0;
};
