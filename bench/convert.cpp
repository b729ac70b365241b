// Converts 40 colour photos of 4000 x 3000 (JPEG quality 90, made here) to
// A4 with the window's defaults, and ImageMagick's convert on the same work
// when it is installed: seconds, megapixels per second and peak memory.
//
//   bench_convert [photos]     (default 40)
//
// Each conversion runs in a child process so that its peak memory is its own.

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "convjob.h"
#include "imagelist.h"
#include "pagegeom.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 4000, kHeight = 3000;

// A photo-like picture: smooth light, a horizon, round shapes and fine
// grain, different for every index, so the encoder and decoder do real work.
void WritePhoto(const std::string& path, int index) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  jpeg_stdio_dest(&c, f);
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(size_t(kWidth) * 3);
  uint32_t seed = 0x9E3779B9u * uint32_t(index + 1);
  const int horizon = kHeight / 2 + (index * 97) % 600 - 300;
  const int cx = 600 + (index * 331) % 2800, cy = 500 + (index * 211) % 1200, r2 = 400 * 400;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      int grain = int(seed >> 27) - 16;
      int r, g, b;
      if (y < horizon) {
        r = 90 + y * 100 / kHeight + x * 40 / kWidth;
        g = 140 + y * 60 / kHeight;
        b = 220 - y * 50 / kHeight;
      } else {
        int wave = ((x / 13 + y / 7 + index) % 9) * 4;
        r = 40 + wave;
        g = 90 + (y - horizon) * 80 / kHeight + wave;
        b = 50 + wave;
      }
      int dx = x - cx, dy = y - cy;
      if (dx * dx + dy * dy < r2) {
        r = 240;
        g = 200 - (dx * dx + dy * dy) * 60 / r2;
        b = 90;
      }
      auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
      row[size_t(x) * 3] = clamp(r + grain);
      row[size_t(x) * 3 + 1] = clamp(g + grain);
      row[size_t(x) * 3 + 2] = clamp(b + grain);
    }
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&c, &p, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::fclose(f);
}

class TQuietHost : public TConvertHost {
public:
  explicit TQuietHost(std::string output) : output_(std::move(output)) {}
  bool ChooseOutputFile(const std::string&, std::string& fileName) override {
    fileName = output_;
    return true;
  }
  void ShowMessage(const TJobMessage& m) override {
    if (m.Kind == jmFailed) std::fprintf(stderr, "conversion failed: %s\n", m.Detail.c_str());
  }
  void BeginProgress(int, const std::string&) override {}
  void StepProgress(int, int, const TImageEntry&) override {}
  void EndProgress() override {}

private:
  std::string output_;
};

struct TRun {
  bool ok = false;
  double seconds = 0;
  double cpuSeconds = 0;  // user + system: less disturbed by other load than the wall time
  double peakMiB = 0;
};

// Runs body in a child process; its wall time and peak resident memory.
template <typename F>
TRun InChild(F body) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  TRun r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peakMiB = double(ru.ru_maxrss) / 1024.0;
  r.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

TRun RunVelmora(const std::vector<std::string>& photos, const std::string& out) {
  return InChild([&] {
    std::vector<TImageEntry> entries;
    for (const std::string& p : photos) entries.push_back(MakeImageEntry(p, 0));
    TQuietHost host(out);
    TConvertResult r = RunConvertJob(entries, TConvertOptions(), host, TMessageTexts::English());
    return r.Status == csWritten && r.Pages == int(photos.size()) ? 0 : 1;
  });
}

// The real ImageMagick (not a stand-in): the first candidate that says so.
std::string FindImageMagick() {
  for (const char* name : {"convert-im6.q16", "/usr/bin/convert", "magick", "convert"}) {
    std::string cmd = std::string(name) + " -version 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) continue;
    char buf[256] = {0};
    bool real = std::fgets(buf, sizeof buf, p) && std::string(buf).find("ImageMagick") != std::string::npos;
    pclose(p);
    if (real) return name;
  }
  return std::string();
}

// Debian's policy forbids the PDF coder and caps memory at 256 MiB, which
// sends every 12-megapixel picture to a disk cache. A policy of our own
// raises the limits, and the output goes through the same PDF writer under
// its "EPDF" name, which the system policy does not name.
TRun RunImageMagick(const std::string& convert, const std::vector<std::string>& photos, TPageSize pixels,
                    const fs::path& dir, const std::string& out) {
  {
    FILE* f = std::fopen((dir / "policy.xml").c_str(), "w");
    if (!f) return TRun();
    std::fputs("<policymap>\n"
               "  <policy domain=\"resource\" name=\"memory\" value=\"8GiB\"/>\n"
               "  <policy domain=\"resource\" name=\"map\" value=\"8GiB\"/>\n"
               "  <policy domain=\"resource\" name=\"disk\" value=\"16GiB\"/>\n"
               "  <policy domain=\"resource\" name=\"area\" value=\"4GP\"/>\n"
               "</policymap>\n",
               f);
    std::fclose(f);
  }
  std::vector<std::string> args = {convert, "-filter", "Lanczos"};
  const std::string geometry = std::to_string(pixels.Width) + "x" + std::to_string(pixels.Height) + "!";
  for (const std::string& p : photos) args.insert(args.end(), {"(", p, "-resize", geometry, ")"});
  args.insert(args.end(), {"-quality", "80", "-compress", "jpeg", "-page", "A4", "EPDF:" + out});
  return InChild([&] {
    setenv("MAGICK_CONFIGURE_PATH", dir.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return 127;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  fs::path dir = fs::temp_directory_path() / ("velmora-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);

  std::printf("Making %d photos of %d x %d (JPEG quality 90)...\n", count, kWidth, kHeight);
  std::vector<std::string> photos;
  for (int i = 0; i < count; ++i) {
    photos.push_back((dir / ("photo" + std::to_string(i) + ".jpg")).string());
    WritePhoto(photos.back(), i);
  }
  std::printf("  %.1f MB of JPEG\n", double(fs::file_size(photos[0])) * count / 1e6);

  // The pixel size every photo is embedded at with the defaults (A4 portrait,
  // margin 1 cm, quality 20).
  TImagePlace place = FitImageOnPage(595, 842, MarginPoints(1.0), kWidth, kHeight, kDefaultPosition);
  TPageSize pixels = ResampleSize(kWidth, kHeight, place.Width, place.Height, 20);
  const double megapixels = double(kWidth) * kHeight * count / 1e6;
  std::printf("Each photo is placed %d x %d points and embedded at %d x %d pixels.\n\n", place.Width,
              place.Height, pixels.Width, pixels.Height);

  const std::string ours = (dir / "velmora.pdf").string();
  TRun v = RunVelmora(photos, ours);
  std::printf("velmora:      %6.2f s (cpu %6.2f s)  %7.1f MP/s  peak %7.1f MiB  %s  (%.1f MB PDF)\n", v.seconds,
              v.cpuSeconds, megapixels / v.seconds, v.peakMiB, v.ok ? "ok" : "FAILED",
              v.ok ? double(fs::file_size(ours)) / 1e6 : 0.0);
  if (count > 10) {
    std::vector<std::string> few(photos.begin(), photos.begin() + 10);
    TRun f = RunVelmora(few, (dir / "velmora10.pdf").string());
    std::printf("velmora (10): %6.2f s (cpu %6.2f s)  %7.1f MP/s  peak %7.1f MiB  (peak memory with 10 photos)\n",
                f.seconds, f.cpuSeconds, double(kWidth) * kHeight * 10 / 1e6 / f.seconds, f.peakMiB);
  }

  const std::string convert = FindImageMagick();
  if (convert.empty()) {
    std::printf("ImageMagick: not installed, no comparison\n");
  } else {
    const std::string theirs = (dir / "imagemagick.pdf").string();
    TRun m = RunImageMagick(convert, photos, pixels, dir, theirs);
    std::printf("ImageMagick:  %6.2f s (cpu %6.2f s)  %7.1f MP/s  peak %7.1f MiB  %s  (%s; Lanczos, quality 80, A4)\n",
                m.seconds, m.cpuSeconds, megapixels / m.seconds, m.peakMiB, m.ok ? "ok" : "FAILED", convert.c_str());
    if (m.ok && v.ok)
      std::printf("velmora is %.2f times as fast (%.2f times in cpu time), using %.2f times the memory\n",
                  m.seconds / v.seconds, m.cpuSeconds / v.cpuSeconds, v.peakMiB / m.peakMiB);
  }
  fs::remove_all(dir);
  return v.ok ? 0 : 1;
}
