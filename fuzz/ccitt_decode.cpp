// The fax decoder on arbitrary strips, and the group 3 and group 4 encoders'
// output of arbitrary rows decoded back to those rows.
//
// Input: byte 0 bits 0-2 the coding (modified Huffman, group 3 1-D, group 3
// 2-D, group 4, group 4 with end-of-line codes), bit 3 FillOrder 2 / least
// significant bit first, bit 7 a round trip; bytes 1-2 the width (1..4096);
// byte 3 the row count (1..256); then the data (strip or rows).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iestream.h"
#include "tifccitt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  struct Coding {
    int compression;
    uint32_t t4Options;
  };
  static const Coding kCodings[] = {{2, 0}, {3, 0}, {3, 1}, {4, 0}, {4, 4}};
  const Coding coding = kCodings[(data[0] & 7) % 5];
  const bool lsb = data[0] & 8;
  const bool roundTrip = data[0] & 0x80;
  const int32_t width = 1 + ((data[1] | data[2] << 8) % 4096);
  const int32_t rows = 1 + data[3];
  data += 4;
  size -= 4;

  TIECcittDecoder decoder(coding.compression, coding.t4Options, width, lsb ? 2 : 1);
  const size_t rowBytes = static_cast<size_t>(decoder.RowBytes());
  std::vector<uint8_t> row(rowBytes + 1);

  if (!roundTrip) {
    decoder.StartStrip(data, static_cast<int64_t>(size));
    row[rowBytes] = 0x5A;
    for (int32_t y = 0; y < rows; ++y) {
      decoder.DecodeRow(row.data());
      if (row[rowBytes] != 0x5A) std::abort();
    }
    return 0;
  }

  // Rows taken from the data (cycled), bits past the width cleared.
  std::vector<uint8_t> image(rowBytes * static_cast<size_t>(rows));
  for (size_t i = 0; i < image.size(); ++i) image[i] = size ? data[i % size] : 0;
  if (width & 7)
    for (int32_t y = 0; y < rows; ++y) image[(y + 1) * rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (width & 7));
  const bool group4 = coding.compression == 4;
  TIEMemoryStream coded;
  TIEFaxEncoderState state;
  auto encode = group4 ? EncodeG4Row : EncodeG3Row;
  for (int32_t y = 0; y < rows; ++y)
    encode(image.data() + y * rowBytes, width, coded, lsb ? fboLsbFirst : fboMsbFirst, nullptr, state);
  encode(nullptr, width, coded, lsb ? fboLsbFirst : fboMsbFirst, nullptr, state);
  TIECcittDecoder back(group4 ? 4 : 3, group4 ? 0 : 1, width, lsb ? 2 : 1);
  back.StartStrip(coded.Data(), coded.Size());
  for (int32_t y = 0; y < rows; ++y) {
    back.DecodeRow(row.data());
    for (size_t i = 0; i < rowBytes; ++i)
      if (static_cast<uint8_t>(~row[i]) != image[y * rowBytes + i]) std::abort();
  }
  return 0;
}
