#include "ietempfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include "iecore.h"

std::string IESystemTempFolder() {
  const char* env = std::getenv("TMPDIR");
  if (env && *env) return env;
  return "/tmp";
}

int IECreateTempFile(const std::string& folder, const std::string& prefix, std::string* nameOut) {
  static std::mutex lock;
  static std::mt19937 rng{std::random_device{}()};
  std::string dir = folder.empty() ? IESystemTempFolder() : folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  std::string pre = prefix.empty() ? "~ietemp" : prefix;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint32_t r;
    {
      std::lock_guard<std::mutex> guard(lock);
      r = static_cast<uint32_t>(rng() % 0x7FFFFFFFu);  // 0 .. 2^31 - 2
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", r);
    std::string name = dir + pre + "-" + hex + ".tmp";
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::unlink(name.c_str());
      if (nameOut) *nameOut = name;
      return fd;
    }
    if (errno != EEXIST && errno != EINTR)
      throw EIEException("Unable to create " + name + " (" + std::strerror(errno) + ")");
  }
  throw EIEException("Unable to create " + dir + pre + "-XXXXXXXX.tmp");
}
