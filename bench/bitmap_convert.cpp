// Pixel format conversions on a 24-megapixel picture: ie24RGB to ie8g, to
// ie1g by threshold, and ie1g back to ie24RGB. Prints megapixels per second
// (best of several runs, conversion only; the targets are allocated before).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "iebitmap.h"

namespace {

struct Timing {
  double wall = 1e9, cpu = 1e9;  // seconds, best of the runs
};

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The machine may be shared: CPU time of this thread shows the cost of the
// work itself, wall time what a user would see.
Timing Best(int runs, const std::function<void()>& work) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    const double cpu0 = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    best.wall = std::min(best.wall, wall.count());
    best.cpu = std::min(best.cpu, ThreadCpuSeconds() - cpu0);
  }
  return best;
}

void Report(const char* name, double megapixels, const Timing& t) {
  std::printf("%-34s %7.1f ms wall %8.1f MP/s   %7.1f ms cpu %8.1f MP/s\n", name, t.wall * 1e3,
              megapixels / t.wall, t.cpu * 1e3, megapixels / t.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const int width = 6000, height = 4000;  // 24 megapixels
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const double megapixels = width * double(height) / 1e6;

  TIEBitmap rgb(width, height, ie24RGB);
  if (rgb.IsEmpty() || rgb.Location() != ieMemory) {
    std::fprintf(stderr, "cannot hold the test picture in memory\n");
    return 1;
  }
  // A photo-like picture: smooth gradients with some noise.
  uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    uint8_t* p = rgb.Scanline(y);
    for (int x = 0; x < width; ++x, p += 3) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = int(seed >> 28) - 8;
      p[0] = static_cast<uint8_t>(std::clamp(x * 255 / width + noise, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(y * 255 / height + noise, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp((x + y) * 255 / (width + height) + noise, 0, 255));
    }
  }

  TIEBitmap gray(width, height, ie8g);
  TIEBitmap bits(width, height, ie1g);
  TIEBitmap back(width, height, ie24RGB);
  std::printf("picture %d x %d (%.1f MP), best of %d runs\n", width, height, megapixels, runs);
  Report("ie24RGB -> ie8g", megapixels, Best(runs, [&] { gray.CopyAndConvertFormat(rgb); }));
  Report("ie24RGB -> ie1g (threshold)", megapixels,
         Best(runs, [&] { bits.CopyAndConvertFormat(rgb); }));
  Report("ie1g -> ie24RGB", megapixels, Best(runs, [&] { back.CopyAndConvertFormat(bits); }));
  bits.SetMonoConversion(0);
  Report("ie24RGB -> ie1g (ordered dither)", megapixels,
         Best(runs, [&] { bits.CopyAndConvertFormat(rgb); }));
  return 0;
}
