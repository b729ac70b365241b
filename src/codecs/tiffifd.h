// Reading of TIFF directory structures (classic and BigTIFF, either byte
// order): the header, the chain of directories, and tag values. Shared by
// format detection, the EXIF parser and the TIFF page reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TIEStream;

// Field types of TIFF 6.0 and BigTIFF.
enum TIETIFFType : uint16_t {
  ttBYTE = 1,
  ttASCII = 2,
  ttSHORT = 3,
  ttLONG = 4,
  ttRATIONAL = 5,
  ttSBYTE = 6,
  ttUNDEFINED = 7,
  ttSSHORT = 8,
  ttSLONG = 9,
  ttSRATIONAL = 10,
  ttFLOAT = 11,
  ttDOUBLE = 12,
  ttIFD = 13,
  ttLONG8 = 16,
  ttSLONG8 = 17,
  ttIFD8 = 18,
};

// One directory entry. Tag, type and count are in host order; Field holds the
// value-or-offset bytes exactly as stored in the file.
struct TIETIFFEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint64_t Count = 0;
  uint8_t Field[8] = {};
};

class TIETIFFIFDReader {
public:
  // Reads through stream (not owned). Every file offset is relative to base,
  // the stream position where the TIFF header starts.
  TIETIFFIFDReader(TIEStream& stream, int64_t base);

  // Reads and checks the header: "II" or "MM", BigTIFF (version 43) with
  // offset size 8 and a zero word, and a first directory offset that is not
  // 0 and lies inside the stream. Any version other than 43 reads as classic.
  bool ReadHeader();

  bool LittleEndian() const { return fLittle; }
  bool BigTiff() const { return fBig; }
  int ValueFieldSize() const { return fBig ? 8 : 4; }
  int64_t Base() const { return fBase; }
  uint64_t FirstDirectoryOffset() const { return fFirstIFD; }

  // Loads directory number index (0 first) of the main chain. With pageCount
  // the whole chain is walked and its length stored there; without it the
  // walk stops at the directory asked for. The chain ends at a directory of
  // zero entries, a next offset seen before, below 8 or at or past the end of
  // the stream. False when directory index is not in the chain.
  bool LoadDirectory(int index, int* pageCount = nullptr);
  // Loads the directory at a file offset (EXIF, GPS and SubIFD directories).
  bool LoadDirectoryAt(uint64_t offset);
  // Next-directory offset stored after the loaded directory (0 when none).
  uint64_t NextDirectoryOffset() const { return fNextIFD; }

  const std::vector<TIETIFFEntry>& Entries() const { return fEntries; }
  int EntryCount() const { return static_cast<int>(fEntries.size()); }
  const TIETIFFEntry* FindEntry(uint16_t tag) const;
  bool HasTag(uint16_t tag) const { return FindEntry(tag) != nullptr; }

  // Bytes of one value of a type, 0 for unknown types.
  static int TypeSize(uint16_t type);

  // Value number index of an integer-typed tag (BYTE, SHORT, LONG, LONG8, the
  // signed kinds and IFD offsets; RATIONALs and reals give their truncated
  // value); defaultValue when the tag or the value is missing.
  int64_t ReadInteger(uint16_t tag, int index, int64_t defaultValue);
  // Value number index as a real (rationals divided out; a zero denominator
  // gives 0); defaultValue when missing.
  double ReadReal(uint16_t tag, int index, double defaultValue);
  // Numerator and denominator of RATIONAL or SRATIONAL value number index.
  bool ReadRational(uint16_t tag, int index, int64_t& numerator, int64_t& denominator);
  // Every value of an integer-typed tag (empty when missing).
  std::vector<int64_t> ReadArray(uint16_t tag);
  // The raw value bytes (count x type size, file byte order); empty when the
  // tag is missing or its data lies outside the stream.
  std::vector<uint8_t> ReadBytes(uint16_t tag);
  // An ASCII value up to its first zero byte.
  std::string ReadString(uint16_t tag);
  // A BYTE array holding UTF-16LE text (the Windows XP* tags), as UTF-8.
  std::string ReadUtf16String(uint16_t tag);

  // Byte-order helpers for values taken from the file.
  uint16_t Get16(const uint8_t* p) const;
  uint32_t Get32(const uint8_t* p) const;
  uint64_t Get64(const uint8_t* p) const;

private:
  // File position and size of the values of e; false when they do not fit
  // inside the stream. Inline values report position -1.
  bool Locate(const TIETIFFEntry& e, int64_t& position, int64_t& size);
  // Reads value number index of e (TypeSize bytes) into out.
  bool ReadValue(const TIETIFFEntry& e, int index, uint8_t* out);
  bool ReadOffset(uint64_t& value);
  bool ReadEntries(uint64_t count);
  bool SkipEntries(uint64_t count);
  int64_t StreamSize();

  TIEStream& fStream;
  int64_t fBase = 0;
  int64_t fSize = -1;
  bool fLittle = true;
  bool fBig = false;
  uint64_t fFirstIFD = 0;
  uint64_t fNextIFD = 0;
  std::vector<TIETIFFEntry> fEntries;
};
