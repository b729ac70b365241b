// Frame counting as the image list does it for every added file: detection,
// then the format's counter (TIFF directory chain, GIF blocks, icon and DCX
// tables) on arbitrary bytes.
#include <cstdint>
#include <cstdlib>

#include "ieformats.h"
#include "iestream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  int32_t type = DetectStreamFormat(stream);
  if (CountStreamFrames(stream, type) < 0) std::abort();
  return 0;
}
