// The PNG reader on arbitrary bytes, in its default and native modes.
#include <cstdint>

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadInBothModes(data, size, &TIEImageIO::LoadFromStreamPNG);
  return 0;
}
