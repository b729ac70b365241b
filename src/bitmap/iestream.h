// Byte streams: the readers read from them, the PDF writer writes to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TIESeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TIEStream {
public:
  virtual ~TIEStream() = default;
  // Returns the number of bytes read (short at the end of the data).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes all bytes or raises EIEException.
  virtual void Write(const void* buffer, int64_t count) = 0;
  // Returns the new position; positions are clamped at 0 but may pass the end.
  virtual int64_t Seek(int64_t offset, TIESeekOrigin origin) = 0;
  virtual int64_t Size() = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // True when exactly count bytes were read.
  bool ReadExact(void* buffer, int64_t count) { return Read(buffer, count) == count; }
  void WriteString(const std::string& s) { Write(s.data(), static_cast<int64_t>(s.size())); }
  // Bytes between the position and the end (0 when past the end).
  int64_t Remaining() {
    int64_t pos = Position(), size = Size();
    return pos < size ? size - pos : 0;
  }
  // Copies count bytes (all that remain when count < 0) from source; returns bytes copied.
  int64_t CopyFrom(TIEStream& source, int64_t count = -1);
};

// A stream over memory: either its own growable buffer, or a read-only view
// of bytes owned by the caller (which must outlive the stream).
class TIEMemoryStream : public TIEStream {
public:
  TIEMemoryStream() = default;
  TIEMemoryStream(const void* data, int64_t size);

  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TIESeekOrigin origin) override;
  int64_t Size() override { return size_; }

  const uint8_t* Data() const { return view_ ? view_ : owned_.data(); }
  std::vector<uint8_t>& Buffer() { return owned_; }  // own-buffer streams only
  void Clear();

private:
  std::vector<uint8_t> owned_;
  const uint8_t* view_ = nullptr;
  int64_t size_ = 0;
  int64_t pos_ = 0;
};

enum TIEFileMode : uint8_t {
  fmOpenRead,    // existing file, read only
  fmCreate,      // new or truncated file, read and write
  fmOpenUpdate,  // existing file, read and write
};

// A buffered file stream on a POSIX descriptor. File names are UTF-8 paths.
class TIEFileStream : public TIEStream {
public:
  TIEFileStream(const std::string& fileName, TIEFileMode mode);
  // Adopts an open descriptor (temporary files); the stream closes it.
  explicit TIEFileStream(int fd, std::string name = std::string());
  ~TIEFileStream() override;
  TIEFileStream(const TIEFileStream&) = delete;
  TIEFileStream& operator=(const TIEFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TIESeekOrigin origin) override;
  int64_t Size() override;

  // Writes buffered bytes out; raises EIEException on failure.
  void Flush();
  // Flushes, asks the system to put the data on disk, and closes; raises on failure.
  void Close(bool sync = false);
  const std::string& FileName() const { return name_; }
  int Handle() const { return fd_; }

private:
  void FillFrom(int64_t pos);
  void FlushWrite();

  int fd_ = -1;
  std::string name_;
  int64_t pos_ = 0;           // logical position
  int64_t fileSize_ = -1;     // cached size, -1 unknown
  std::vector<uint8_t> buf_;
  int64_t bufStart_ = 0;      // file offset of buf_[0]
  int64_t bufLen_ = 0;        // valid bytes in buf_ (read mode)
  int64_t dirty_ = 0;         // pending bytes in buf_ (write mode)
};

// Reads the whole file; raises EIEException when it cannot be opened or read.
std::vector<uint8_t> IEReadWholeFile(const std::string& fileName);
