#include "iepdfobjects.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>

#include "iecore.h"
#include "ieglobal.h"
#include "iestream.h"
#include "ietempfile.h"

// ---------------------------------------------------------------------------
// Numbers and text

namespace {

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// An integral double in decimal, exactly (to_chars never reads the locale).
void AppendIntegral(std::string& out, double v) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 0);
  out.append(buf, r.ptr);
}

void Write(TIEStream& stream, const std::string& s) { stream.WriteString(s); }

void Write(TIEStream& stream, const char* s) { stream.Write(s, static_cast<int64_t>(std::strlen(s))); }

}  // namespace

void IEAppendFixed2(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "0.00";
    return;
  }
  // Round the exact binary value to hundredths, halves away from zero. The
  // integer part is split off so that fraction x 100 stays small, and fma
  // recovers the rounding error of that product so that a value just below a
  // half is not taken for one.
  double a = std::fabs(value);
  double whole = std::floor(a);
  double fraction = a - whole;  // exact
  double scaled = fraction * 100.0;
  double error = std::fma(fraction, 100.0, -scaled);  // exact product = scaled + error
  double cents = std::floor(scaled);
  double rest = scaled - cents;  // exact
  // rest - 0.5 is exact once rest >= 0.25; below that error cannot reach a half.
  if (rest >= 0.25 && rest - 0.5 >= -error) cents += 1.0;
  if (cents >= 100.0) {
    cents -= 100.0;
    whole += 1.0;
  }
  if (std::signbit(value) && (whole != 0.0 || cents != 0.0)) out += '-';
  AppendIntegral(out, whole);
  int c = static_cast<int>(cents);
  out += '.';
  out += static_cast<char>('0' + c / 10);
  out += static_cast<char>('0' + c % 10);
}

std::string IEFormatFixed2(double value) {
  std::string s;
  IEAppendFixed2(s, value);
  return s;
}

std::string IEFormatReal(double value) {
  if (!std::isfinite(value) || value == 0.0) return "0";
  std::string s;
  if (std::trunc(value) == value)
    AppendIntegral(s, value);
  else
    IEAppendFixed2(s, value);
  return s;
}

std::string IEEscapeString(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  for (char c : bytes) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '(': out += "\\("; break;
      case ')': out += "\\)"; break;
      case '\\': out += "\\\\"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string IEEncodeName(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    auto b = static_cast<uint8_t>(ch);
    if (b >= 0x21 && b <= 0x7E) {
      out += ch;
    } else {
      out += '#';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Simple kinds

void TIEPDFRefObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  std::string s;
  AppendInt(s, Number);
  s += ' ';
  AppendInt(s, Generation);
  s += " R";
  Write(stream, s);
}

void TIEPDFIntegerObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  std::string s;
  AppendInt(s, Value);
  Write(stream, s);
}

void TIEPDFRealObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  Write(stream, IEFormatReal(Value));
}

void TIEPDFBooleanObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  Write(stream, Value ? "true" : "false");
}

void TIEPDFStringObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  std::string s = IEEscapeString(Value);
  Write(stream, "(");
  Write(stream, s);
  Write(stream, ")");
}

void TIEPDFNameObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  Write(stream, "/");
  Write(stream, IEEncodeName(Value));
}

// ---------------------------------------------------------------------------
// Containers

namespace {

void Release(TIEPDFObject* object) {
  if (object && !object->Shared) delete object;
}

}  // namespace

TIEPDFArrayObject::~TIEPDFArrayObject() {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) Release(*it);
}

void TIEPDFArrayObject::Add(TIEPDFObject* item) {
  if (!item) throw EIEException("Null PDF array item");
  try {
    items_.push_back(item);
  } catch (...) {
    Release(item);
    throw;
  }
}

void TIEPDFArrayObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  Write(stream, "[");
  for (TIEPDFObject* item : items_) {
    item->WriteTo(stream);
    Write(stream, " ");
  }
  Write(stream, "]");
}

TIEPDFDictionaryObject::~TIEPDFDictionaryObject() {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) Release(it->second);
}

void TIEPDFDictionaryObject::Add(std::string key, TIEPDFObject* value) {
  if (!value) throw EIEException("Null PDF dictionary value");
  try {
    items_.emplace_back(std::move(key), value);
  } catch (...) {
    Release(value);
    throw;
  }
}

void TIEPDFDictionaryObject::Insert(int index, std::string key, TIEPDFObject* value) {
  try {
    if (!value) throw EIEException("Null PDF dictionary value");
    if (index < 0 || index > Count()) throw EIEException("Dictionary index out of range");
    items_.emplace(items_.begin() + index, std::move(key), value);
  } catch (...) {
    Release(value);
    throw;
  }
}

int TIEPDFDictionaryObject::IndexOf(std::string_view key) const {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < items_.size(); ++i) {
    const std::string& k = items_[i].first;
    if (k.size() != key.size()) continue;
    size_t j = 0;
    while (j < k.size() && lower(k[j]) == lower(key[j])) ++j;
    if (j == k.size()) return static_cast<int>(i);
  }
  return -1;
}

TIEPDFObject* TIEPDFDictionaryObject::Find(std::string_view key) const {
  int i = IndexOf(key);
  return i < 0 ? nullptr : items_[static_cast<size_t>(i)].second;
}

void TIEPDFDictionaryObject::SetObject(int index, TIEPDFObject* value) {
  if (!value || index < 0 || index >= Count()) {
    Release(value);
    throw EIEException("Dictionary index out of range");
  }
  TIEPDFObject*& slot = items_[static_cast<size_t>(index)].second;
  if (slot != value) {
    Release(slot);
    slot = value;
  }
}

void TIEPDFDictionaryObject::WriteTo(TIEStream& stream) {
  Offset = stream.Position();
  Write(stream, "<< ");
  for (auto& [key, value] : items_) {
    Write(stream, "/" + key + " ");
    value->WriteTo(stream);
    Write(stream, "\n");
  }
  Write(stream, ">>");
}

// ---------------------------------------------------------------------------
// Parked stream data

// One temporary file shared by every stream parked while it lives: a document
// of a thousand pictures must not hold a thousand descriptors open (the usual
// per-process limit is 1024). Data is only ever appended, at offsets handed
// out under a lock, and read back with pread, so no file position is shared.
// The file is already unlinked; it vanishes when its last stream is freed.
class TIEPDFTempFile {
public:
  explicit TIEPDFTempFile(const std::string& folder) : folder_(folder) {
    fd_ = IECreateTempFile(folder, "~ietemp", &name_);
  }
  ~TIEPDFTempFile() { ::close(fd_); }
  TIEPDFTempFile(const TIEPDFTempFile&) = delete;
  TIEPDFTempFile& operator=(const TIEPDFTempFile&) = delete;

  const std::string& Folder() const { return folder_; }

  // Returns the offset at which the bytes were stored.
  int64_t Append(const uint8_t* data, int64_t count) {
    int64_t at;
    {
      std::lock_guard<std::mutex> guard(lock_);
      at = end_;
      if (!IECheckedAdd(end_, count, end_)) throw EIEException("Temporary file too large: " + name_);
    }
    int64_t off = at;
    while (count > 0) {
      ssize_t w = ::pwrite(fd_, data, static_cast<size_t>(std::min<int64_t>(count, 1 << 30)), off);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        throw EIEException("Cannot write temporary file " + name_ + ": " +
                           (w < 0 ? std::strerror(errno) : "no space left"));
      data += w;
      count -= w;
      off += w;
    }
    return at;
  }

  void ReadAt(int64_t offset, uint8_t* data, int64_t count) {
    while (count > 0) {
      ssize_t r = ::pread(fd_, data, static_cast<size_t>(count), offset);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0)
        throw EIEException("Cannot read back temporary file " + name_ + ": " +
                           (r < 0 ? std::strerror(errno) : "it is shorter than written"));
      data += r;
      count -= r;
      offset += r;
    }
  }

  // The file new parkings go to, created when none is alive for the folder.
  static std::shared_ptr<TIEPDFTempFile> Current(const std::string& folder) {
    static std::mutex lock;
    static std::weak_ptr<TIEPDFTempFile> current;
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<TIEPDFTempFile> file = current.lock();
    if (!file || file->Folder() != folder) {
      file = std::make_shared<TIEPDFTempFile>(folder);
      current = file;
    }
    return file;
  }

private:
  std::string folder_;
  std::string name_;
  int fd_ = -1;
  std::mutex lock_;
  int64_t end_ = 0;
};

// ---------------------------------------------------------------------------
// Streams

TIEPDFStreamObject::TIEPDFStreamObject() : Dictionary(std::make_unique<TIEPDFDictionaryObject>()) {
  Dictionary->Add("Length", new TIEPDFIntegerObject(0));
}

TIEPDFStreamObject::TIEPDFStreamObject(const void* bytes, int64_t count) : TIEPDFStreamObject() {
  AppendData(bytes, count);
}

TIEPDFStreamObject::~TIEPDFStreamObject() = default;

void TIEPDFStreamObject::AppendData(const void* bytes, int64_t count) {
  if (count <= 0) return;
  const auto* p = static_cast<const uint8_t*>(bytes);
  Data.insert(Data.end(), p, p + count);
}

void TIEPDFStreamObject::MoveDataToTempFile() {
  if (!TempStream) TempStream = TIEPDFTempFile::Current(IEGlobalSettings().TempFolder);
  if (Data.empty()) return;
  int64_t count = static_cast<int64_t>(Data.size());
  int64_t at = TempStream->Append(Data.data(), count);
  // A second parking of the same stream lands wherever the shared file ends.
  if (!tempParts_.empty() && tempParts_.back().first + tempParts_.back().second == at)
    tempParts_.back().second += count;
  else
    tempParts_.emplace_back(at, count);
  TempSize += count;
  std::vector<uint8_t>().swap(Data);  // give the memory back, not just the size
}

void TIEPDFStreamObject::WriteTo(TIEStream& stream) {
  int64_t size = DataSize();
  Offset = stream.Position();
  int index = Dictionary->IndexOf("Length");
  if (index < 0)
    Dictionary->Add("Length", new TIEPDFIntegerObject(size));
  else
    Dictionary->SetObject(index, new TIEPDFIntegerObject(size));
  Dictionary->WriteTo(stream);
  Write(stream, "\nstream\n");
  if (TempSize > 0) {
    constexpr int64_t kPiece = 1 << 18;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<int64_t>(kPiece, TempSize)));
    for (auto [at, count] : tempParts_) {
      while (count > 0) {
        int64_t n = std::min<int64_t>(count, static_cast<int64_t>(piece.size()));
        TempStream->ReadAt(at, piece.data(), n);
        stream.Write(piece.data(), n);
        at += n;
        count -= n;
      }
    }
  }
  if (!Data.empty()) stream.Write(Data.data(), static_cast<int64_t>(Data.size()));
  Write(stream, "\nendstream");
}
