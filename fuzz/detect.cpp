// Format detection, the TIFF directory walk and the EXIF parser on arbitrary
// bytes: no crash, no hang, and the stream position always comes back.
#include <cstdint>
#include <cstdlib>

#include "ieexif.h"
#include "ieformats.h"
#include "ieparams.h"
#include "iestream.h"
#include "tiffifd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIEMemoryStream stream(data, static_cast<int64_t>(size));
  DetectStreamFormat(stream);
  if (stream.Position() != 0) std::abort();

  TIETIFFIFDReader reader(stream, 0);
  if (reader.ReadHeader()) {
    int pages = 0;
    reader.LoadDirectory(-1, &pages);
    if (reader.LoadDirectory(0)) {
      for (const TIETIFFEntry& e : reader.Entries()) {
        reader.ReadArray(e.Tag);
        reader.ReadString(e.Tag);
        reader.ReadUtf16String(e.Tag);
        reader.ReadReal(e.Tag, 1, 0.0);
      }
    }
  }
  TIOParams params;
  IEReadExif(data, size, params, true);
  IEReadIptcResource(data, size, params);
  return 0;
}
