#include "tiffifd.h"

#include <cstring>
#include <unordered_set>

#include "iecore.h"
#include "iestream.h"

namespace {

// A chain longer than this is a loop the visited set cannot see (offsets that
// differ by a byte) or a hostile file; no real document has a million pages.
constexpr int kMaxChainLength = 1 << 20;

}  // namespace

TIETIFFIFDReader::TIETIFFIFDReader(TIEStream& stream, int64_t base) : fStream(stream), fBase(base) {}

int64_t TIETIFFIFDReader::StreamSize() {
  if (fSize < 0) fSize = fStream.Size();
  return fSize;
}

uint16_t TIETIFFIFDReader::Get16(const uint8_t* p) const {
  return fLittle ? uint16_t(p[0] | (p[1] << 8)) : uint16_t((p[0] << 8) | p[1]);
}

uint32_t TIETIFFIFDReader::Get32(const uint8_t* p) const {
  return fLittle ? uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24)
                 : (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint64_t TIETIFFIFDReader::Get64(const uint8_t* p) const {
  uint64_t a = Get32(p), b = Get32(p + 4);
  return fLittle ? a | (b << 32) : (a << 32) | b;
}

int TIETIFFIFDReader::TypeSize(uint16_t type) {
  switch (type) {
    case ttBYTE: case ttASCII: case ttSBYTE: case ttUNDEFINED: return 1;
    case ttSHORT: case ttSSHORT: return 2;
    case ttLONG: case ttSLONG: case ttFLOAT: case ttIFD: return 4;
    case ttRATIONAL: case ttSRATIONAL: case ttDOUBLE: case ttLONG8: case ttSLONG8: case ttIFD8: return 8;
    default: return 0;
  }
}

bool TIETIFFIFDReader::ReadHeader() {
  uint8_t h[16];
  fStream.SetPosition(fBase);
  if (!fStream.ReadExact(h, 8)) return false;
  if (h[0] == 'I' && h[1] == 'I') fLittle = true;
  else if (h[0] == 'M' && h[1] == 'M') fLittle = false;
  else return false;
  fBig = Get16(h + 2) == 43;
  if (fBig) {
    if (Get16(h + 4) != 8 || Get16(h + 6) != 0) return false;
    if (!fStream.ReadExact(h + 8, 8)) return false;
    fFirstIFD = Get64(h + 8);
  } else {
    fFirstIFD = Get32(h + 4);
  }
  int64_t inside = StreamSize() - fBase;
  return fFirstIFD != 0 && inside > 0 && fFirstIFD < static_cast<uint64_t>(inside);
}

bool TIETIFFIFDReader::ReadOffset(uint64_t& value) {
  uint8_t b[8];
  if (fBig) {
    if (!fStream.ReadExact(b, 8)) return false;
    value = Get64(b);
  } else {
    if (!fStream.ReadExact(b, 4)) return false;
    value = Get32(b);
  }
  return true;
}

bool TIETIFFIFDReader::ReadEntries(uint64_t count) {
  fEntries.clear();
  const int entrySize = fBig ? 20 : 12;
  // A truncated directory keeps the entries that are complete.
  uint64_t fit = static_cast<uint64_t>(fStream.Remaining()) / entrySize;
  if (count > fit) count = fit;
  std::vector<uint8_t> raw(static_cast<size_t>(count) * entrySize);
  if (!raw.empty() && !fStream.ReadExact(raw.data(), static_cast<int64_t>(raw.size()))) return false;
  fEntries.resize(static_cast<size_t>(count));
  for (size_t i = 0; i < fEntries.size(); ++i) {
    const uint8_t* p = raw.data() + i * entrySize;
    TIETIFFEntry& e = fEntries[i];
    e.Tag = Get16(p);
    e.Type = Get16(p + 2);
    if (fBig) {
      e.Count = Get64(p + 4);
      std::memcpy(e.Field, p + 12, 8);
    } else {
      e.Count = Get32(p + 4);
      std::memcpy(e.Field, p + 8, 4);
    }
  }
  return true;
}

bool TIETIFFIFDReader::SkipEntries(uint64_t count) {
  const int entrySize = fBig ? 20 : 12;
  uint64_t left = static_cast<uint64_t>(fStream.Remaining());
  if (count > left / entrySize) {
    fStream.Seek(0, soEnd);
    return false;
  }
  fStream.Seek(static_cast<int64_t>(count * entrySize), soCurrent);
  return true;
}

bool TIETIFFIFDReader::LoadDirectoryAt(uint64_t offset) {
  fEntries.clear();
  fNextIFD = 0;
  int64_t inside = StreamSize() - fBase;
  if (offset == 0 || inside <= 0 || offset >= static_cast<uint64_t>(inside)) return false;
  fStream.SetPosition(fBase + static_cast<int64_t>(offset));
  uint64_t count = 0;
  uint8_t b[8];
  if (fBig) {
    if (!fStream.ReadExact(b, 8)) return false;
    count = Get64(b);
  } else {
    if (!fStream.ReadExact(b, 2)) return false;
    count = Get16(b);
  }
  if (!ReadEntries(count)) return false;
  uint64_t next = 0;
  if (ReadOffset(next)) fNextIFD = next;
  return true;
}

bool TIETIFFIFDReader::LoadDirectory(int index, int* pageCount) {
  fEntries.clear();
  fNextIFD = 0;
  if (pageCount) *pageCount = 0;
  if (index < 0 && !pageCount) return false;
  const int64_t size = StreamSize();
  const int64_t inside = size - fBase;
  if (inside <= 0) return false;
  std::unordered_set<uint64_t> visited;
  uint64_t offset = fFirstIFD;
  bool loaded = false;
  int pages = 0;
  while (pages < kMaxChainLength && offset != 0 && offset < static_cast<uint64_t>(inside)) {
    visited.insert(offset);
    fStream.SetPosition(fBase + static_cast<int64_t>(offset));
    uint64_t count = 0;
    uint8_t b[8];
    if (fBig) {
      if (!fStream.ReadExact(b, 8)) break;
      count = Get64(b);
    } else {
      if (!fStream.ReadExact(b, 2)) break;
      count = Get16(b);
    }
    if (count == 0) break;
    const bool wanted = pages == index;
    ++pages;
    if (wanted) {
      if (!ReadEntries(count)) break;
      loaded = true;
    } else if (!SkipEntries(count)) {
      break;
    }
    if (fStream.Position() >= size) break;
    uint64_t next = 0;
    if (!ReadOffset(next)) break;
    if (wanted) fNextIFD = next;
    if (loaded && !pageCount) break;
    if (next < 8 || visited.count(next)) break;
    offset = next;
  }
  if (pageCount) *pageCount = pages;
  return loaded;
}

const TIETIFFEntry* TIETIFFIFDReader::FindEntry(uint16_t tag) const {
  for (const TIETIFFEntry& e : fEntries)
    if (e.Tag == tag) return &e;
  return nullptr;
}

bool TIETIFFIFDReader::Locate(const TIETIFFEntry& e, int64_t& position, int64_t& size) {
  int ts = TypeSize(e.Type);
  if (ts == 0 || e.Count == 0) return false;
  int64_t total = 0;
  if (e.Count > static_cast<uint64_t>(INT64_MAX) ||
      !IECheckedMul(static_cast<int64_t>(e.Count), ts, total))
    return false;
  size = total;
  if (total <= ValueFieldSize()) {
    position = -1;
    return true;
  }
  uint64_t offset = fBig ? Get64(e.Field) : Get32(e.Field);
  int64_t inside = StreamSize() - fBase;
  if (inside <= 0 || offset > static_cast<uint64_t>(inside) ||
      static_cast<uint64_t>(total) > static_cast<uint64_t>(inside) - offset)
    return false;
  position = fBase + static_cast<int64_t>(offset);
  return true;
}

bool TIETIFFIFDReader::ReadValue(const TIETIFFEntry& e, int index, uint8_t* out) {
  int64_t position = 0, size = 0;
  if (index < 0 || static_cast<uint64_t>(index) >= e.Count || !Locate(e, position, size)) return false;
  int ts = TypeSize(e.Type);
  if (position < 0) {
    std::memcpy(out, e.Field + static_cast<int64_t>(index) * ts, static_cast<size_t>(ts));
    return true;
  }
  fStream.SetPosition(position + static_cast<int64_t>(index) * ts);
  return fStream.ReadExact(out, ts);
}

namespace {

double ToDouble(const TIETIFFIFDReader& r, uint16_t type, const uint8_t* v) {
  switch (type) {
    case ttBYTE: case ttUNDEFINED: case ttASCII: return v[0];
    case ttSBYTE: return static_cast<int8_t>(v[0]);
    case ttSHORT: return r.Get16(v);
    case ttSSHORT: return static_cast<int16_t>(r.Get16(v));
    case ttLONG: case ttIFD: return r.Get32(v);
    case ttSLONG: return static_cast<int32_t>(r.Get32(v));
    case ttLONG8: case ttIFD8: return static_cast<double>(r.Get64(v));
    case ttSLONG8: return static_cast<double>(static_cast<int64_t>(r.Get64(v)));
    case ttRATIONAL: {
      uint32_t n = r.Get32(v), d = r.Get32(v + 4);
      return d == 0 ? 0.0 : static_cast<double>(n) / d;
    }
    case ttSRATIONAL: {
      int32_t n = static_cast<int32_t>(r.Get32(v)), d = static_cast<int32_t>(r.Get32(v + 4));
      return d == 0 ? 0.0 : static_cast<double>(n) / d;
    }
    case ttFLOAT: {
      uint32_t bits = r.Get32(v);
      float f;
      std::memcpy(&f, &bits, 4);
      return f;
    }
    case ttDOUBLE: {
      uint64_t bits = r.Get64(v);
      double d;
      std::memcpy(&d, &bits, 8);
      return d;
    }
    default: return 0.0;
  }
}

int64_t ToInteger(const TIETIFFIFDReader& r, uint16_t type, const uint8_t* v) {
  switch (type) {
    case ttBYTE: case ttUNDEFINED: case ttASCII: return v[0];
    case ttSBYTE: return static_cast<int8_t>(v[0]);
    case ttSHORT: return r.Get16(v);
    case ttSSHORT: return static_cast<int16_t>(r.Get16(v));
    case ttLONG: case ttIFD: return r.Get32(v);
    case ttSLONG: return static_cast<int32_t>(r.Get32(v));
    case ttLONG8: case ttIFD8: case ttSLONG8: return static_cast<int64_t>(r.Get64(v));
    default: {
      double d = ToDouble(r, type, v);
      // Out-of-range reals (and NaN) have no integer value.
      if (!(d > -9.2e18 && d < 9.2e18)) return 0;
      return static_cast<int64_t>(d);
    }
  }
}

}  // namespace

int64_t TIETIFFIFDReader::ReadInteger(uint16_t tag, int index, int64_t defaultValue) {
  const TIETIFFEntry* e = FindEntry(tag);
  uint8_t v[8];
  if (!e || !ReadValue(*e, index, v)) return defaultValue;
  return ToInteger(*this, e->Type, v);
}

double TIETIFFIFDReader::ReadReal(uint16_t tag, int index, double defaultValue) {
  const TIETIFFEntry* e = FindEntry(tag);
  uint8_t v[8];
  if (!e || !ReadValue(*e, index, v)) return defaultValue;
  return ToDouble(*this, e->Type, v);
}

bool TIETIFFIFDReader::ReadRational(uint16_t tag, int index, int64_t& numerator, int64_t& denominator) {
  const TIETIFFEntry* e = FindEntry(tag);
  uint8_t v[8];
  if (!e || (e->Type != ttRATIONAL && e->Type != ttSRATIONAL) || !ReadValue(*e, index, v)) return false;
  if (e->Type == ttRATIONAL) {
    numerator = Get32(v);
    denominator = Get32(v + 4);
  } else {
    numerator = static_cast<int32_t>(Get32(v));
    denominator = static_cast<int32_t>(Get32(v + 4));
  }
  return true;
}

std::vector<uint8_t> TIETIFFIFDReader::ReadBytes(uint16_t tag) {
  std::vector<uint8_t> out;
  const TIETIFFEntry* e = FindEntry(tag);
  int64_t position = 0, size = 0;
  if (!e || !Locate(*e, position, size)) return out;
  if (position < 0) return std::vector<uint8_t>(e->Field, e->Field + size);
  out.resize(static_cast<size_t>(size));
  fStream.SetPosition(position);
  if (!fStream.ReadExact(out.data(), size)) out.clear();
  return out;
}

std::vector<int64_t> TIETIFFIFDReader::ReadArray(uint16_t tag) {
  std::vector<int64_t> out;
  const TIETIFFEntry* e = FindEntry(tag);
  if (!e) return out;
  std::vector<uint8_t> raw = ReadBytes(tag);
  int ts = TypeSize(e->Type);
  if (raw.empty() || ts == 0) return out;
  size_t n = raw.size() / ts;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(ToInteger(*this, e->Type, raw.data() + i * ts));
  return out;
}

std::string TIETIFFIFDReader::ReadString(uint16_t tag) {
  std::vector<uint8_t> raw = ReadBytes(tag);
  size_t n = 0;
  while (n < raw.size() && raw[n] != 0) ++n;
  return std::string(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string TIETIFFIFDReader::ReadUtf16String(uint16_t tag) {
  std::vector<uint8_t> raw = ReadBytes(tag);
  std::string out;
  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    uint32_t c = raw[i] | (raw[i + 1] << 8);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
      uint32_t low = raw[i + 2] | (raw[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
