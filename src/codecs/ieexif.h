// EXIF blocks: the TIFF structure carried in a JPEG APP1 segment.
#pragma once

#include <cstddef>
#include <cstdint>

class TIOParams;

// True when an APP1 payload starts with the EXIF identifier "Exif\0\0".
bool IEIsExifSegment(const uint8_t* data, size_t size);

// Parses the TIFF structure of an EXIF block (the APP1 payload after its
// 6-byte identifier) into params: ExifXResolution/ExifYResolution (the exact
// rational values; 0 when absent), ExifResolutionUnit (default 2),
// ExifOrientation (default 1), the interoperability index, Make, Model,
// DateTime, Software, Artist, and, with readThumbnail, the JPEG thumbnail of
// the second directory decoded into ExifThumbnail. Sets ExifHasExifData.
// False, leaving params untouched, when the block is not a TIFF structure.
bool IEReadExif(const uint8_t* data, size_t size, TIOParams& params, bool readThumbnail = true);

// The IPTC-NAA record (image resource 0x0404) of a Photoshop APP13 payload
// ("Photoshop 3.0\0" and 8BIM resources). False when there is none.
bool IEReadIptcResource(const uint8_t* data, size_t size, TIOParams& params);
