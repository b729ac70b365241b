// The PDF object model: one class per kind of object, each writing itself in
// PDF 1.4 syntax. Everything written is 8-bit text except stream data, which
// is copied byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TIEStream;
class TIEPDFTempFile;

// Text of real numbers, independent of the process locale.
// IEFormatReal: an integral value as an integer ("2", "-3"), any other value
// with two decimals ("0.50", "3.00"). IEFormatFixed2: always two decimals
// ("595.00"). Halves round away from zero; non-finite values write as 0.
std::string IEFormatReal(double value);
std::string IEFormatFixed2(double value);
void IEAppendFixed2(std::string& out, double value);

// Literal-string and name encodings.
std::string IEEscapeString(std::string_view bytes);
std::string IEEncodeName(std::string_view bytes);

class TIEPDFObject {
public:
  TIEPDFObject() = default;
  virtual ~TIEPDFObject() = default;
  TIEPDFObject(const TIEPDFObject&) = delete;
  TIEPDFObject& operator=(const TIEPDFObject&) = delete;

  // Appends the object's text to the stream; stores the position at which it
  // started into Offset first.
  virtual void WriteTo(TIEStream& stream) = 0;

  int32_t ObjectNumber = 0;  // indirect object number, 0 while only written inline
  int64_t Offset = 0;        // where the object (then its "N 0 obj" line) was written
  bool Shared = false;       // owned elsewhere: containers do not free it
};

class TIEPDFRefObject : public TIEPDFObject {
public:
  TIEPDFRefObject(int32_t number, int32_t generation = 0) : Number(number), Generation(generation) {}
  void WriteTo(TIEStream& stream) override;
  int32_t Number;
  int32_t Generation;
};

class TIEPDFIntegerObject : public TIEPDFObject {
public:
  explicit TIEPDFIntegerObject(int64_t value) : Value(value) {}
  void WriteTo(TIEStream& stream) override;
  int64_t Value;  // 64 bits so that stream lengths past 2 GiB stay right
};

class TIEPDFRealObject : public TIEPDFObject {
public:
  explicit TIEPDFRealObject(double value) : Value(value) {}
  void WriteTo(TIEStream& stream) override;
  double Value;
};

class TIEPDFBooleanObject : public TIEPDFObject {
public:
  explicit TIEPDFBooleanObject(bool value) : Value(value) {}
  void WriteTo(TIEStream& stream) override;
  bool Value;
};

// A literal string: 8-bit bytes written as they are, with the few escapes
// PDF requires.
class TIEPDFStringObject : public TIEPDFObject {
public:
  explicit TIEPDFStringObject(std::string value) : Value(std::move(value)) {}
  void WriteTo(TIEStream& stream) override;
  std::string Value;
};

// A name, Value without the slash.
class TIEPDFNameObject : public TIEPDFObject {
public:
  explicit TIEPDFNameObject(std::string value) : Value(std::move(value)) {}
  void WriteTo(TIEStream& stream) override;
  std::string Value;
};

// Owns its items (except Shared ones) and frees them last to first.
class TIEPDFArrayObject : public TIEPDFObject {
public:
  TIEPDFArrayObject() = default;
  ~TIEPDFArrayObject() override;
  void WriteTo(TIEStream& stream) override;

  // Takes ownership, also when it throws.
  void Add(TIEPDFObject* item);
  int Count() const { return static_cast<int>(items_.size()); }
  TIEPDFObject* Item(int index) const { return items_.at(static_cast<size_t>(index)); }

private:
  std::vector<TIEPDFObject*> items_;
};

// Entries keep their insertion order and a repeated key adds a second entry.
// Keys are written as stored, without name encoding. Owns its values (except
// Shared ones) and frees them last to first.
class TIEPDFDictionaryObject : public TIEPDFObject {
public:
  TIEPDFDictionaryObject() = default;
  ~TIEPDFDictionaryObject() override;
  void WriteTo(TIEStream& stream) override;

  // Take ownership of value, also when they throw.
  void Add(std::string key, TIEPDFObject* value);
  void Insert(int index, std::string key, TIEPDFObject* value);
  // First entry whose key matches without regard to ASCII letter case, or -1.
  int IndexOf(std::string_view key) const;
  // Value of IndexOf(key), or null.
  TIEPDFObject* Find(std::string_view key) const;
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Key(int index) const { return items_.at(static_cast<size_t>(index)).first; }
  TIEPDFObject* Object(int index) const { return items_.at(static_cast<size_t>(index)).second; }
  // Frees the old value (unless Shared) and stores the new one.
  void SetObject(int index, TIEPDFObject* value);

private:
  std::vector<std::pair<std::string, TIEPDFObject*>> items_;
};

// A stream: its dictionary (Length always refreshed on writing) and its data,
// held in memory or parked in a temporary file until the document is saved.
class TIEPDFStreamObject : public TIEPDFObject {
public:
  TIEPDFStreamObject();
  TIEPDFStreamObject(const void* bytes, int64_t count);
  ~TIEPDFStreamObject() override;
  void WriteTo(TIEStream& stream) override;

  void AppendData(const void* bytes, int64_t count);
  void AppendData(std::string_view text) { AppendData(text.data(), static_cast<int64_t>(text.size())); }

  // Moves the in-memory data to a temporary file and empties the array, so
  // that many large streams need not stay in memory until the save. The file
  // lies in the global settings' temporary folder (the system's when empty);
  // streams parked meanwhile share it, and it vanishes when the last of them
  // is freed. Raises EIEException "Unable to create ..." when no file can be
  // made. Data appended after parking is written after the parked bytes.
  void MoveDataToTempFile();

  // Bytes written between "stream\n" and "\nendstream": parked plus in memory.
  int64_t DataSize() const { return TempSize + static_cast<int64_t>(Data.size()); }

  std::unique_ptr<TIEPDFDictionaryObject> Dictionary;
  std::vector<uint8_t> Data;
  std::shared_ptr<TIEPDFTempFile> TempStream;  // where parked data lies, or null
  int64_t TempSize = 0;                        // bytes parked in TempStream

private:
  std::vector<std::pair<int64_t, int64_t>> tempParts_;  // (offset, count) in TempStream
};
