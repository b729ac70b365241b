// Lanczos 3 downscale of a 4000 x 3000 ie24RGB picture to the A4 page size
// of the conversion job (1076 x 718) and to half size, through
// TIEBitmap::Resample as the job calls it (the front's copies included),
// single- and multi-threaded, and without SIMD. Megapixels per second count
// source pixels. When `convert` is ImageMagick, it runs the same resize on
// the same picture (PPM in and out; its plain read-and-write time is
// measured too and taken off). Wall time and processor time (all threads,
// or the child process) are both printed: on a busy machine the processor
// time is the steadier figure.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "iebitmap.h"
#include "ieglobal.h"
#include "ieresample.h"

namespace {

struct TTimes {
  double wall = 1e9, cpu = 1e9;
  void Keep(const TTimes& t) {
    wall = std::min(wall, t.wall);
    cpu = std::min(cpu, t.cpu);
  }
};

double ProcessCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double ChildrenCpu() {
  rusage r{};
  getrusage(RUSAGE_CHILDREN, &r);
  return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

TTimes Measure(const std::function<void()>& work, bool children = false) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu0 = children ? ChildrenCpu() : ProcessCpu();
  work();
  TTimes t;
  t.cpu = (children ? ChildrenCpu() : ProcessCpu()) - cpu0;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return t;
}

void MakePhoto(TIEBitmap& b) {
  // Smooth gradients, noise and a few hard edges.
  const int w = b.Width(), h = b.Height();
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y) {
    uint8_t* p = b.Scanline(y);
    for (int x = 0; x < w; ++x, p += 3) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = int(seed >> 27) - 16;
      const int edge = ((x / 250 + y / 250) & 1) ? 40 : 0;
      p[0] = static_cast<uint8_t>(std::clamp(x * 200 / w + noise + edge, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(y * 200 / h + noise + edge, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp((x + y) * 200 / (w + h) + noise, 0, 255));
    }
  }
}

// Best times of `runs` resamples of a fresh copy of source.
TTimes BestResample(TIEBitmap& source, int w, int h, int runs) {
  TTimes best;
  for (int i = 0; i < runs; ++i) {
    TIEBitmap copy;
    copy.Assign(&source);
    best.Keep(Measure([&] { copy.Resample(w, h, rfLanczos3); }));
  }
  return best;
}

bool WritePPM(TIEBitmap& b, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "P6\n%d %d\n255\n", b.Width(), b.Height());
  std::string row(static_cast<size_t>(b.Width()) * 3, '\0');
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      row[3 * x] = char(p[3 * x + 2]);
      row[3 * x + 1] = char(p[3 * x + 1]);
      row[3 * x + 2] = char(p[3 * x]);
    }
    std::fwrite(row.data(), 1, row.size(), f);
  }
  return std::fclose(f) == 0;
}

bool IsImageMagick() {
  FILE* p = ::popen("convert -version 2>/dev/null", "r");
  if (!p) return false;
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  ::pclose(p);
  return got && std::string(line).find("ImageMagick") != std::string::npos;
}

// Best times of a shell command over `runs` runs; wall < 0 when it fails.
TTimes BestCommand(const std::string& command, int runs) {
  TTimes best;
  for (int i = 0; i < runs; ++i) {
    int status = 0;
    const TTimes t = Measure([&] { status = std::system(command.c_str()); }, true);
    if (status != 0) return TTimes{-1, -1};
    best.Keep(t);
  }
  return best;
}

void Row(const char* name, double megapixels, const TTimes& t) {
  std::printf("  %-30s wall %7.1f ms %7.1f MP/s   cpu %7.1f ms\n", name, t.wall * 1000,
              megapixels / t.wall, t.cpu * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const int width = 4000, height = 3000;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const double megapixels = width * double(height) / 1e6;
  TIEBitmap photo(width, height, ie24RGB);
  if (photo.IsEmpty() || photo.Location() != ieMemory) {
    std::fprintf(stderr, "cannot hold the test picture in memory\n");
    return 1;
  }
  MakePhoto(photo);

  TIEGlobalSettings& g = IEGlobalSettings();
  const int threads = std::min<int>(g.MaxThreadCount, g.ProcessorCoreCount());
  std::printf("Lanczos 3 from %d x %d (%.0f MP), best of %d; %d cores, up to %d threads\n", width,
              height, megapixels, runs, g.ProcessorCoreCount(), threads);

  struct Target {
    const char* name;
    int w, h;
  } targets[] = {{"1076 x 718", 1076, 718}, {"2000 x 1500 (half)", 2000, 1500}};

  TTimes ours[2][2];
  for (int t = 0; t < 2; ++t) {
    const Target& target = targets[t];
    std::printf("to %s\n", target.name);
    g.MaxThreadCount = 1;
    ours[t][0] = BestResample(photo, target.w, target.h, runs);
    Row("Velmora, 1 thread", megapixels, ours[t][0]);
    g.MaxThreadCount = 4;
    ours[t][1] = BestResample(photo, target.w, target.h, runs);
    const std::string label = "Velmora, " + std::to_string(threads) + " threads";
    Row(label.c_str(), megapixels, ours[t][1]);
    IEResampleSetSimd(false);
    g.MaxThreadCount = 1;
    Row("Velmora, 1 thread, no SIMD", megapixels, BestResample(photo, target.w, target.h, runs));
    g.MaxThreadCount = 4;
    IEResampleSetSimd(true);
  }

  if (!IsImageMagick()) {
    std::printf("ImageMagick convert not found: no comparison\n");
    return 0;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("velmora-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string in = (dir / "in.ppm").string(), out = (dir / "out.ppm").string();
  if (!WritePPM(photo, in)) {
    std::fprintf(stderr, "cannot write %s\n", in.c_str());
    return 1;
  }
  const int imRuns = std::min(runs, 3);
  for (int single = 1; single >= 0; --single) {
    const std::string env = single ? "MAGICK_THREAD_LIMIT=1 " : "";
    const TTimes io = BestCommand(env + "convert '" + in + "' '" + out + "'", imRuns);
    std::printf("ImageMagick convert, %s; read and write alone: wall %.1f ms, cpu %.1f ms\n",
                single ? "1 thread" : "default threads", io.wall * 1000, io.cpu * 1000);
    for (int t = 0; t < 2; ++t) {
      const std::string geometry =
          std::to_string(targets[t].w) + "x" + std::to_string(targets[t].h) + "!";
      const TTimes all = BestCommand(
          env + "convert '" + in + "' -filter Lanczos -resize " + geometry + " '" + out + "'",
          imRuns);
      if (all.wall < 0) {
        std::printf("  convert failed\n");
        continue;
      }
      TTimes resize{std::max(all.wall - io.wall, 1e-6), std::max(all.cpu - io.cpu, 1e-6)};
      const TTimes& mine = ours[t][single ? 0 : 1];
      std::printf(
          "  to %-20s resize alone: wall %7.1f ms %6.1f MP/s, cpu %7.1f ms;"
          " Velmora faster by %.1fx (wall), %.1fx (cpu)\n",
          targets[t].name, resize.wall * 1000, megapixels / resize.wall, resize.cpu * 1000,
          resize.wall / mine.wall, resize.cpu / mine.cpu);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
