#include "iestream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "iecore.h"

namespace {

constexpr int64_t kFileBuffer = 1 << 16;

std::string SystemReason() { return std::strerror(errno); }

}  // namespace

int64_t TIEStream::CopyFrom(TIEStream& source, int64_t count) {
  std::vector<uint8_t> chunk(1 << 20);
  int64_t done = 0;
  while (count < 0 || done < count) {
    int64_t want = static_cast<int64_t>(chunk.size());
    if (count >= 0) want = std::min(want, count - done);
    int64_t got = source.Read(chunk.data(), want);
    if (got <= 0) break;
    Write(chunk.data(), got);
    done += got;
  }
  return done;
}

TIEMemoryStream::TIEMemoryStream(const void* data, int64_t size)
    : view_(static_cast<const uint8_t*>(data)), size_(size < 0 ? 0 : size) {}

int64_t TIEMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= size_) return 0;
  int64_t n = std::min(count, size_ - pos_);
  std::memcpy(buffer, Data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

void TIEMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (view_) throw EIEException("Cannot write to a read-only memory stream");
  int64_t end = 0;
  if (!IECheckedAdd(pos_, count, end)) throw EIEException("Memory stream too large");
  if (end > static_cast<int64_t>(owned_.size())) {
    size_t cap = owned_.capacity();
    if (static_cast<size_t>(end) > cap) owned_.reserve(std::max<size_t>(static_cast<size_t>(end), cap * 2));
    owned_.resize(static_cast<size_t>(end));
  }
  std::memcpy(owned_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  size_ = std::max(size_, end);
}

int64_t TIEMemoryStream::Seek(int64_t offset, TIESeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : size_;
  int64_t p = 0;
  if (!IECheckedAdd(base, offset, p)) p = offset < 0 ? 0 : std::numeric_limits<int64_t>::max();
  pos_ = std::max<int64_t>(0, p);
  return pos_;
}

void TIEMemoryStream::Clear() {
  owned_.clear();
  view_ = nullptr;
  size_ = pos_ = 0;
}

TIEFileStream::TIEFileStream(const std::string& fileName, TIEFileMode mode) : name_(fileName) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmOpenRead: flags |= O_RDONLY; break;
    case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case fmOpenUpdate: flags |= O_RDWR; break;
  }
  do {
    fd_ = ::open(fileName.c_str(), flags, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    const char* what = mode == fmCreate ? "Cannot create file \"" : "Cannot open file \"";
    throw EIEException(what + fileName + "\": " + SystemReason());
  }
  struct stat st {};
  if (mode == fmOpenRead && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EIEException("Cannot open file \"" + fileName + "\": it is a folder");
  }
}

TIEFileStream::TIEFileStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

TIEFileStream::~TIEFileStream() {
  if (fd_ >= 0) {
    try {
      FlushWrite();
    } catch (...) {
      // Destructors cannot report; callers that care call Close().
    }
    ::close(fd_);
  }
}

void TIEFileStream::FlushWrite() {
  if (dirty_ == 0) return;
  const uint8_t* p = buf_.data();
  int64_t left = dirty_, off = bufStart_;
  dirty_ = 0;
  while (left > 0) {
    ssize_t w = ::pwrite(fd_, p, static_cast<size_t>(left), off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw EIEException("Cannot write file \"" + name_ + "\": " + SystemReason());
    p += w;
    left -= w;
    off += w;
  }
  if (fileSize_ >= 0) fileSize_ = std::max(fileSize_, off);
}

void TIEFileStream::Flush() { FlushWrite(); }

void TIEFileStream::Close(bool sync) {
  if (fd_ < 0) return;
  int fd = fd_;
  try {
    FlushWrite();
  } catch (...) {
    ::close(fd);
    fd_ = -1;
    throw;
  }
  fd_ = -1;
  bool ok = !sync || ::fsync(fd) == 0;
  std::string reason = ok ? std::string() : SystemReason();
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = SystemReason();
  }
  if (!ok) throw EIEException("Cannot write file \"" + name_ + "\": " + reason);
}

void TIEFileStream::FillFrom(int64_t pos) {
  if (buf_.size() < static_cast<size_t>(kFileBuffer)) buf_.resize(kFileBuffer);
  bufStart_ = pos;
  bufLen_ = 0;
  for (;;) {
    ssize_t r = ::pread(fd_, buf_.data(), buf_.size(), pos);
    if (r < 0 && errno == EINTR) continue;
    bufLen_ = r > 0 ? r : 0;
    break;
  }
}

int64_t TIEFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || fd_ < 0) return 0;
  FlushWrite();
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  // Large reads go straight to the caller's buffer.
  if (count >= kFileBuffer) {
    if (pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) {
      int64_t n = std::min(count, bufStart_ + bufLen_ - pos_);
      std::memcpy(out, buf_.data() + (pos_ - bufStart_), static_cast<size_t>(n));
      done += n;
      pos_ += n;
    }
    while (done < count) {
      ssize_t r = ::pread(fd_, out + done, static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)), pos_);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      done += r;
      pos_ += r;
    }
    return done;
  }
  while (done < count) {
    if (!(pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_)) {
      FillFrom(pos_);
      if (bufLen_ == 0) break;
    }
    int64_t n = std::min(count - done, bufStart_ + bufLen_ - pos_);
    std::memcpy(out + done, buf_.data() + (pos_ - bufStart_), static_cast<size_t>(n));
    done += n;
    pos_ += n;
  }
  return done;
}

void TIEFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (fd_ < 0) throw EIEException("Cannot write file \"" + name_ + "\": it is closed");
  bufLen_ = 0;  // any read-ahead is stale now
  const auto* in = static_cast<const uint8_t*>(buffer);
  if (dirty_ > 0 && pos_ != bufStart_ + dirty_) FlushWrite();
  if (dirty_ == 0) bufStart_ = pos_;
  if (buf_.size() < static_cast<size_t>(kFileBuffer)) buf_.resize(kFileBuffer);
  while (count > 0) {
    int64_t room = kFileBuffer - dirty_;
    if (room == 0) {
      FlushWrite();
      bufStart_ = pos_;
      room = kFileBuffer;
    }
    int64_t n = std::min(room, count);
    std::memcpy(buf_.data() + dirty_, in, static_cast<size_t>(n));
    dirty_ += n;
    in += n;
    count -= n;
    pos_ += n;
  }
}

int64_t TIEFileStream::Seek(int64_t offset, TIESeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : Size();
  int64_t p = 0;
  if (!IECheckedAdd(base, offset, p)) p = offset < 0 ? 0 : std::numeric_limits<int64_t>::max();
  pos_ = std::max<int64_t>(0, p);
  return pos_;
}

int64_t TIEFileStream::Size() {
  if (fd_ < 0) return 0;
  struct stat st {};
  int64_t onDisk = ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  int64_t pending = dirty_ > 0 ? bufStart_ + dirty_ : 0;
  return std::max(onDisk, pending);
}

std::vector<uint8_t> IEReadWholeFile(const std::string& fileName) {
  TIEFileStream f(fileName, fmOpenRead);
  int64_t size = f.Size();
  std::vector<uint8_t> data(static_cast<size_t>(size));
  if (f.Read(data.data(), size) != size)
    throw EIEException("Cannot read file \"" + fileName + "\"");
  return data;
}
