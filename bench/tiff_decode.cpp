// Speed of TIFF reading through TIEBitmap::Read: an A4 fax page at 300 dpi
// (2480 x 3508, group 4) and a 24-megapixel RGB photo (6000 x 4000, LZW,
// with and without the horizontal predictor), next to libtiff's tiffcp
// decoding the same files.
//
//   bench_tiff_decode [repeats] [folder]
//
// The test files are made in a scratch folder, or kept in the folder given.
//
// Times are processor time (user + system), best of the repeats. Ours is one
// whole Read: opening the file, detection, decoding and the bitmap. tiffcp's
// is a whole run of the program writing the page uncompressed, so it also
// holds its start-up and the writing; "tiffcp -c none" of the uncompressed
// file shows that part, and the decode alone is roughly the difference.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "iebitmap.h"
#include "ieformats.h"
#include "ieparams.h"

namespace {

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double BestRun(int repeats, const std::vector<std::string>& args) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double t = RunProgram(args);
    if (t < 0) return -1;
    best = std::min(best, t);
  }
  return best;
}

// One uncompressed strip; photometric 0 for 1-bit pages, 2 for RGB.
std::vector<uint8_t> Tiff(const std::vector<uint8_t>& strip, uint32_t width, uint32_t height, uint16_t bits,
                          uint16_t samples, uint16_t photometric) {
  std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put16 = [&](uint32_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  const uint32_t data = 8 + 2 + 10 * 12 + 4 + 8;
  const uint32_t bitsAt = data - 8;
  const uint32_t e[][3] = {{256, 4, width},       {257, 4, height},   {258, 3, samples == 3 ? bitsAt : bits},
                           {259, 3, 1},           {262, 3, photometric}, {273, 4, data},
                           {277, 3, samples},     {278, 4, height},   {279, 4, static_cast<uint32_t>(strip.size())},
                           {284, 3, 1}};
  put16(10);
  for (const auto& x : e) {
    put16(x[0]);
    put16(x[1]);
    put32(x[0] == 258 && samples == 3 ? 3 : 1);
    if (x[1] == 3 && !(x[0] == 258 && samples == 3)) {
      put16(x[2]);
      put16(0);
    } else {
      put32(x[2]);
    }
  }
  put32(0);
  put16(bits), put16(bits), put16(bits), put16(0);
  f.insert(f.end(), strip.begin(), strip.end());
  return f;
}

// Lines of letter-like strokes; 0 = white paper (WhiteIsZero).
std::vector<uint8_t> TextPage(int width, int height) {
  const int rowBytes = (width + 7) / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(rowBytes) * height, 0);
  std::mt19937 rng(42);
  auto rnd = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1)); };
  const int margin = 300, lineHeight = 42, gap = 18;
  for (int top = margin; top + lineHeight < height - margin; top += lineHeight + gap) {
    if (rng() % 9 == 0) continue;
    int x = margin;
    const int right = width - margin - (rng() % 4 == 0 ? rnd(0, 1200) : 0);
    while (x < right) {
      const int glyph = rnd(14, 26);
      for (int s = rnd(2, 4); s > 0; --s) {
        const bool vertical = rng() & 1;
        const int thick = rnd(3, 5);
        const int gx = x + rnd(0, glyph - thick), gy = top + rnd(0, lineHeight / 2);
        const int w = vertical ? thick : rnd(6, glyph);
        const int h = vertical ? rnd(lineHeight / 3, lineHeight - (gy - top)) : thick;
        for (int yy = gy; yy < gy + h; ++yy)
          for (int xx = gx; xx < gx + w && xx < width; ++xx)
            bits[static_cast<size_t>(yy) * rowBytes + (xx >> 3)] |= static_cast<uint8_t>(0x80 >> (xx & 7));
      }
      x += glyph + rnd(2, 5) + (rng() % 5 == 0 ? rnd(18, 30) : 0);
    }
  }
  return bits;
}

// Smooth colour fields with a little sensor noise, as in a photograph.
std::vector<uint8_t> Photo(int width, int height) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 3);
  std::mt19937 rng(7);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = px.data() + (static_cast<size_t>(y) * width + x) * 3;
      const int n = static_cast<int>(rng() % 5) - 2;
      p[0] = static_cast<uint8_t>(std::clamp(x * 255 / width + n, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(y * 255 / height + n, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(((x / 40 + y / 40) % 2 ? 200 : 60) + n, 0, 255));
    }
  return px;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
}

double BestRead(int repeats, const std::string& path, bool& ok) {
  double best = 1e300;
  ok = true;
  for (int i = 0; i < repeats; ++i) {
    TIEBitmap bitmap;
    TIOParams params;
    const double t0 = CpuMs();
    ok = bitmap.Read(path, &params) && ok;
    best = std::min(best, CpuMs() - t0);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  IEInitializeImageIO();
  namespace fs = std::filesystem;
  const bool keep = argc > 2;
  const fs::path dir = keep ? fs::path(argv[2]) : fs::temp_directory_path() / ("velmora-bench-tiff-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto file = [&](const char* name) { return (dir / name).string(); };

  WriteFile(file("fax-raw.tif"), Tiff(TextPage(2480, 3508), 2480, 3508, 1, 1, 0));
  WriteFile(file("photo-raw.tif"), Tiff(Photo(6000, 4000), 6000, 4000, 8, 3, 2));
  const bool made = RunProgram({"tiffcp", "-c", "g4", file("fax-raw.tif"), file("fax-g4.tif")}) >= 0 &&
                    RunProgram({"tiffcp", "-c", "lzw", "-r", "64", file("photo-raw.tif"), file("photo-lzw.tif")}) >= 0 &&
                    RunProgram({"tiffcp", "-c", "lzw:2", "-r", "64", file("photo-raw.tif"), file("photo-lzw2.tif")}) >= 0;
  if (!made) {
    std::printf("tiffcp is needed to make the test files\n");
    if (!keep) fs::remove_all(dir);
    return 1;
  }
  std::printf("TIFF decoding, processor time, best of %d\n\n", repeats);
  struct Item {
    const char* what;
    const char* path;
    const char* raw;
  } items[] = {
      {"A4 fax page, 2480 x 3508, group 4", "fax-g4.tif", "fax-raw.tif"},
      {"photo 6000 x 4000 RGB, LZW", "photo-lzw.tif", "photo-raw.tif"},
      {"photo 6000 x 4000 RGB, LZW + predictor", "photo-lzw2.tif", "photo-raw.tif"},
  };
  for (const Item& it : items) {
    bool ok = false;
    const double ours = BestRead(repeats, file(it.path), ok);
    const double theirs = BestRun(repeats, {"tiffcp", "-c", "none", file(it.path), file("out.tif")});
    const double copy = BestRun(repeats, {"tiffcp", "-c", "none", file(it.raw), file("out.tif")});
    std::printf("%s (%lld bytes)\n", it.what, static_cast<long long>(fs::file_size(file(it.path))));
    std::printf("  Read (ours)                         %9.1f ms%s\n", ours, ok ? "" : "  FAILED");
    std::printf("  tiffcp -c none (decode + write)     %9.1f ms\n", theirs);
    std::printf("  tiffcp -c none of the raw file      %9.1f ms\n", copy);
    std::printf("  ours / tiffcp                       %9.2f   (ours / (tiffcp - copy) %.2f)\n\n", ours / theirs,
                ours / std::max(theirs - copy, 0.001));
  }
  if (!keep) fs::remove_all(dir);
  return 0;
}
