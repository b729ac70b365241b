// TIFF directory reading and the EXIF parser built on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieexif.h"
#include "ieimageio.h"
#include "ieparams.h"
#include "iestream.h"
#include "testsupport.h"
#include "tiffifd.h"

namespace {

// Writes TIFF structures in either byte order, classic or BigTIFF.
class TiffWriter {
public:
  TiffWriter(bool little, bool big = false) : fLittle(little), fBig(big) {
    Bytes(little ? "II" : "MM");
    U16(big ? 43 : 42);
    if (big) {
      U16(8);
      U16(0);
      U64(0);  // first directory, patched
    } else {
      U32(0);
    }
  }
  struct Entry {
    uint16_t tag, type;
    uint64_t count;
    std::vector<uint8_t> value;  // already in file byte order
  };
  // Appends a directory and returns its offset; next is patched later.
  size_t Directory(const std::vector<Entry>& entries) {
    const size_t at = fData.size();
    const size_t entrySize = fBig ? 20 : 12, field = fBig ? 8 : 4;
    if (fBig) U64(entries.size());
    else U16(static_cast<uint32_t>(entries.size()));
    const size_t entriesAt = fData.size();
    fData.resize(fData.size() + entries.size() * entrySize + field, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      std::vector<uint8_t> raw;
      Swap(raw, e.tag, 2);
      Swap(raw, e.type, 2);
      Swap(raw, e.count, fBig ? 8 : 4);
      if (e.value.size() <= field) {
        raw.insert(raw.end(), e.value.begin(), e.value.end());
        raw.resize(entrySize, 0);
      } else {
        Swap(raw, fData.size(), field);
        fData.insert(fData.end(), e.value.begin(), e.value.end());
      }
      std::copy(raw.begin(), raw.end(), fData.begin() + static_cast<std::ptrdiff_t>(entriesAt + i * entrySize));
    }
    fNextSlots.push_back(entriesAt + entries.size() * entrySize);
    return at;
  }
  void SetFirst(uint64_t offset) { Patch(fBig ? 8 : 4, offset, fBig ? 8 : 4); }
  void SetNext(size_t directoryIndex, uint64_t offset) { Patch(fNextSlots[directoryIndex], offset, fBig ? 8 : 4); }

  std::vector<uint8_t> Short(uint16_t v) const { return Value(v, 2); }
  std::vector<uint8_t> Long(uint32_t v) const { return Value(v, 4); }
  std::vector<uint8_t> Rational(uint32_t n, uint32_t d) const {
    std::vector<uint8_t> r = Value(n, 4), q = Value(d, 4);
    r.insert(r.end(), q.begin(), q.end());
    return r;
  }
  static std::vector<uint8_t> Ascii(const std::string& s) {
    std::vector<uint8_t> v(s.begin(), s.end());
    v.push_back(0);
    return v;
  }
  std::vector<uint8_t>& Data() { return fData; }

private:
  std::vector<uint8_t> Value(uint64_t v, int n) const {
    std::vector<uint8_t> out;
    Swap(out, v, n);
    return out;
  }
  void Swap(std::vector<uint8_t>& out, uint64_t v, size_t n) const {
    for (size_t i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * (fLittle ? i : n - 1 - i))));
  }
  void Patch(size_t at, uint64_t v, size_t n) {
    std::vector<uint8_t> b;
    Swap(b, v, n);
    std::copy(b.begin(), b.end(), fData.begin() + static_cast<std::ptrdiff_t>(at));
  }
  void Bytes(const char* s) { fData.insert(fData.end(), s, s + 2); }
  void U16(uint32_t v) { Swap(fData, v, 2); }
  void U32(uint32_t v) { Swap(fData, v, 4); }
  void U64(uint64_t v) { Swap(fData, v, 8); }

  bool fLittle, fBig;
  std::vector<uint8_t> fData;
  std::vector<size_t> fNextSlots;
};

}  // namespace

TEST(TiffDirectoryReader, ReadsBothByteOrdersAndBigTiff) {
  for (bool little : {true, false}) {
    for (bool big : {false, true}) {
      TiffWriter w(little, big);
      std::vector<uint8_t> shorts;
      for (uint16_t v : {3, 500, 65535}) {
        auto b = w.Short(v);
        shorts.insert(shorts.end(), b.begin(), b.end());
      }
      size_t d = w.Directory({{256, 3, 1, w.Short(640)},
                              {257, 4, 1, w.Long(70000)},
                              {258, 3, 3, shorts},
                              {282, 5, 1, w.Rational(300, 7)},
                              {305, 2, 6, TiffWriter::Ascii("Maker")},
                              {40091, 1, 6, {'H', 0, 'i', 0, 0, 0}}});
      w.SetFirst(d);
      TIEMemoryStream s(w.Data().data(), static_cast<int64_t>(w.Data().size()));
      TIETIFFIFDReader r(s, 0);
      const std::string what = std::string(little ? "II" : "MM") + (big ? " BigTIFF" : "");
      ASSERT_TRUE(r.ReadHeader()) << what;
      EXPECT_EQ(r.BigTiff(), big);
      EXPECT_EQ(r.LittleEndian(), little);
      ASSERT_TRUE(r.LoadDirectory(0)) << what;
      EXPECT_EQ(r.EntryCount(), 6);
      EXPECT_EQ(r.ReadInteger(256, 0, 0), 640) << what;
      EXPECT_EQ(r.ReadInteger(257, 0, 0), 70000) << what;
      EXPECT_EQ(r.ReadArray(258), (std::vector<int64_t>{3, 500, 65535})) << what;
      EXPECT_EQ(r.ReadInteger(258, 3, -1), -1) << "index past the count";
      EXPECT_NEAR(r.ReadReal(282, 0, 0), 300.0 / 7, 1e-12) << what;
      int64_t n = 0, den = 0;
      EXPECT_TRUE(r.ReadRational(282, 0, n, den));
      EXPECT_EQ(n, 300);
      EXPECT_EQ(den, 7);
      EXPECT_EQ(r.ReadString(305), "Maker") << what;
      EXPECT_EQ(r.ReadUtf16String(40091), "Hi") << what;
      EXPECT_EQ(r.ReadInteger(999, 0, 42), 42);
    }
  }
}

TEST(TiffDirectoryReader, ChainCountingStopsAtLoopsAndOutsideOffsets) {
  TiffWriter w(true);
  size_t a = w.Directory({{256, 3, 1, w.Short(1)}});
  size_t b = w.Directory({{256, 3, 1, w.Short(2)}});
  w.SetFirst(a);
  w.SetNext(0, b);
  w.SetNext(1, a);  // back to the first
  TIEMemoryStream s(w.Data().data(), static_cast<int64_t>(w.Data().size()));
  TIETIFFIFDReader r(s, 0);
  ASSERT_TRUE(r.ReadHeader());
  int pages = 0;
  ASSERT_TRUE(r.LoadDirectory(1, &pages));
  EXPECT_EQ(pages, 2);
  EXPECT_EQ(r.ReadInteger(256, 0, 0), 2);
  EXPECT_FALSE(r.LoadDirectory(2, &pages));

  w.SetNext(1, 1u << 30);  // far outside the file
  TIEMemoryStream s2(w.Data().data(), static_cast<int64_t>(w.Data().size()));
  TIETIFFIFDReader r2(s2, 0);
  ASSERT_TRUE(r2.ReadHeader());
  EXPECT_TRUE(r2.LoadDirectory(0, &pages));
  EXPECT_EQ(pages, 2);
}

TEST(TiffDirectoryReader, RejectsBadHeadersAndValuesOutsideTheFile) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"wrong byte order mark", {'I', 'M', 42, 0, 8, 0, 0, 0, 0, 0}},
      {"first directory 0", {'I', 'I', 42, 0, 0, 0, 0, 0, 0, 0}},
      {"first directory past the end", {'I', 'I', 42, 0, 200, 0, 0, 0, 0, 0}},
      {"BigTIFF offset size 4", {'I', 'I', 43, 0, 4, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"too short", {'M', 'M', 0}},
  };
  for (const Case& c : cases) {
    TIEMemoryStream s(c.bytes.data(), static_cast<int64_t>(c.bytes.size()));
    TIETIFFIFDReader r(s, 0);
    EXPECT_FALSE(r.ReadHeader()) << c.what;
  }
  TiffWriter w(true);
  size_t d = w.Directory({{273, 4, 0x40000000, w.Long(8)}, {270, 2, 100, w.Long(0xFFFFFF00u)}});
  w.SetFirst(d);
  TIEMemoryStream s(w.Data().data(), static_cast<int64_t>(w.Data().size()));
  TIETIFFIFDReader r(s, 0);
  ASSERT_TRUE(r.ReadHeader());
  ASSERT_TRUE(r.LoadDirectory(0));
  EXPECT_TRUE(r.ReadArray(273).empty()) << "a billion values cannot be in the file";
  EXPECT_EQ(r.ReadString(270), "");
}

TEST(ExifParser, ReadsFieldsInBothByteOrders) {
  const std::vector<uint8_t> thumbnail = testsupport::ReadFileBytes(testsupport::DataPath("jpeg/gray.jpg"));
  for (bool little : {true, false}) {
    TiffWriter w(little);
    size_t ifd0 = w.Directory({{271, 2, 6, TiffWriter::Ascii("Canon")},
                               {274, 3, 1, w.Short(8)},
                               {282, 5, 1, w.Rational(7201, 100)},
                               {283, 5, 1, w.Rational(300, 1)},
                               {296, 3, 1, w.Short(3)},
                               {34665, 4, 1, w.Long(0)}});
    size_t exif = w.Directory({{40965, 4, 1, w.Long(0)}});
    size_t interop = w.Directory({{1, 2, 4, TiffWriter::Ascii("R03")}});
    size_t ifd1 = w.Directory({{513, 4, 1, w.Long(0)}, {514, 4, 1, w.Long(static_cast<uint32_t>(thumbnail.size()))}});
    const size_t thumbAt = w.Data().size();
    w.Data().insert(w.Data().end(), thumbnail.begin(), thumbnail.end());
    w.SetFirst(ifd0);
    w.SetNext(0, ifd1);
    // Patch the sub-directory pointers now that their offsets are known.
    auto patchLong = [&](size_t dir, int entry, uint32_t value) {
      std::vector<uint8_t> v = w.Long(value);
      std::copy(v.begin(), v.end(), w.Data().begin() + static_cast<std::ptrdiff_t>(dir + 2 + entry * 12 + 8));
    };
    patchLong(ifd0, 5, static_cast<uint32_t>(exif));
    patchLong(exif, 0, static_cast<uint32_t>(interop));
    patchLong(ifd1, 0, static_cast<uint32_t>(thumbAt));

    TIOParams p;
    ASSERT_TRUE(IEReadExif(w.Data().data(), w.Data().size(), p)) << little;
    EXPECT_TRUE(p.ExifHasExifData);
    EXPECT_EQ(p.ExifMake, "Canon");
    EXPECT_EQ(p.ExifOrientation, 8);
    EXPECT_DOUBLE_EQ(p.ExifXResolution, 72.01);
    EXPECT_DOUBLE_EQ(p.ExifYResolution, 300.0);
    EXPECT_EQ(p.ExifResolutionUnit, 3);
    EXPECT_EQ(p.ExifInteropIndex, "R03");
    ASSERT_NE(p.ExifThumbnail, nullptr) << little;
    EXPECT_EQ(p.ExifThumbnail->Width(), 12);
    EXPECT_EQ(p.ExifThumbnail->Height(), 10);

    // Cut anywhere, the block still parses or is refused without harm.
    for (size_t n = 0; n < w.Data().size(); n += 7) {
      TIOParams q;
      IEReadExif(w.Data().data(), n, q);
    }
  }
}

TEST(ExifParser, DefaultsAndRefusals) {
  TiffWriter w(true);
  w.SetFirst(w.Directory({{305, 2, 4, TiffWriter::Ascii("abc")}}));
  TIOParams p;
  ASSERT_TRUE(IEReadExif(w.Data().data(), w.Data().size(), p));
  EXPECT_EQ(p.ExifOrientation, 1);
  EXPECT_EQ(p.ExifResolutionUnit, 2);
  EXPECT_EQ(p.ExifXResolution, 0.0);
  EXPECT_EQ(p.ExifSoftware, "abc");
  EXPECT_EQ(p.ExifThumbnail, nullptr);

  TIOParams untouched;
  untouched.ExifOrientation = 5;
  const std::vector<uint8_t> junk = {'X', 'X', 1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(IEReadExif(junk.data(), junk.size(), untouched));
  EXPECT_EQ(untouched.ExifOrientation, 5);
  EXPECT_FALSE(untouched.ExifHasExifData);
}

TEST(ExifParser, JpegWithExifThumbnailAndOrientation) {
  // A camera-style file: no JFIF, EXIF with orientation 6, 72 dpi and a thumbnail.
  TIEBitmap b;
  TIOParams p;
  ASSERT_TRUE(b.Read(testsupport::DataPath("jpeg/exif.jpg"), &p));
  EXPECT_EQ(p.DpiX(), 72);
  EXPECT_EQ(p.ExifOrientation, 6);
  EXPECT_EQ(p.ExifInteropIndex, "R98");
  ASSERT_NE(p.ExifThumbnail, nullptr);
  EXPECT_EQ(p.ExifThumbnail->Width(), 12);
  EXPECT_EQ(b.Width(), 12) << "not turned unless asked";

  TIEBitmap thumbOnly;
  TIOParams q;
  q.SetGetThumbnail(true);
  ASSERT_TRUE(thumbOnly.Read(testsupport::DataPath("jpeg/exif.jpg"), &q));
  EXPECT_EQ(thumbOnly.Width(), p.ExifThumbnail->Width());
}

TEST(ExifParser, IptcResourceOfPhotoshopSegment) {
  std::vector<uint8_t> seg = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  auto resource = [&](uint16_t id, std::vector<uint8_t> data) {
    seg.insert(seg.end(), {'8', 'B', 'I', 'M', uint8_t(id >> 8), uint8_t(id), 0, 0});
    seg.insert(seg.end(), {0, 0, 0, uint8_t(data.size())});
    seg.insert(seg.end(), data.begin(), data.end());
    if (data.size() & 1) seg.push_back(0);
  };
  resource(0x03ED, {1, 2, 3});
  resource(0x0404, {0x1C, 2, 5, 0, 1, 'A'});
  TIOParams p;
  ASSERT_TRUE(IEReadIptcResource(seg.data(), seg.size(), p));
  EXPECT_EQ(p.IptcData, (std::vector<uint8_t>{0x1C, 2, 5, 0, 1, 'A'}));
  TIOParams q;
  EXPECT_FALSE(IEReadIptcResource(seg.data(), 20, q));
}
