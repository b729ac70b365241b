// Helpers shared by the test suites: scratch folders, external tools as
// oracles, and access to the committed fixtures.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

inline std::string DataPath(const std::string& relative) {
  return std::string(VELMORA_TEST_DATA_DIR) + "/" + relative;
}

// A fresh folder removed with everything in it when the object dies.
class TempDir {
public:
  TempDir() {
    std::random_device rd;
    for (;;) {
      path_ = fs::temp_directory_path() / ("velmora-test-" + std::to_string(rd()));
      std::error_code ec;
      if (fs::create_directory(path_, ec)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
  fs::path path_;
};

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// Runs a shell command line and captures what it prints.
inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  std::string full = command + " 2>&1";
  FILE* pipe = ::popen(full.c_str(), "r");
  if (!pipe) return r;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) r.output.append(buf.data(), n);
  int status = ::pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Little-endian integers into a hand-built file.
inline void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

inline bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + name + " >/dev/null").exitCode == 0;
}

// Quotes a path for the shell.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
  WriteFileBytes(path, data.data(), data.size());
}

// qpdf --check as an oracle: empty string when the file is clean, otherwise
// what qpdf said (warnings count as failures).
inline std::string QpdfProblems(const std::string& pdf) {
  CommandResult r = RunCommand("qpdf --check " + Quote(pdf));
  if (r.exitCode == 0 && r.output.find("WARNING") == std::string::npos) return std::string();
  return r.output.empty() ? "qpdf exit " + std::to_string(r.exitCode) : r.output;
}

}  // namespace testsupport
