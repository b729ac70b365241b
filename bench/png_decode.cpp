// Decoding a 24-megapixel PNG through TIEBitmap::Read, against netpbm's
// pngtopnm (libpng as well) on the same file: RGB, and RGBA for the alpha
// path. Prints the best of several runs.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "ieparams.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000, kRuns = 5;

void WriterError(png_structp, png_const_charp message) {
  std::fprintf(stderr, "PNG writer: %s\n", message);
  std::exit(1);
}

// A photo-like picture (gradients, blocks, noise), written with libpng's
// default filters and compression, so that the file has the size and
// entropy of a real one rather than of a flat colour.
void WriteTestPng(const std::string& path, bool alpha) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, WriterError, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, kWidth, kHeight, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int channels = alpha ? 4 : 3;
  std::vector<uint8_t> row(static_cast<size_t>(kWidth) * channels);
  uint32_t seed = 12345;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = static_cast<int>(seed >> 29) - 4;
      uint8_t* p = row.data() + static_cast<size_t>(x) * channels;
      p[0] = static_cast<uint8_t>(std::clamp(x * 255 / kWidth + noise, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(y * 255 / kHeight + noise, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(((x / 40 + y / 40) % 2) * 120 + 60 + noise, 0, 255));
      if (alpha) p[3] = static_cast<uint8_t>((x + y) / 40 % 2 ? 255 : (x * 7) & 255);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Run(bool alpha) {
  const std::string path =
      (std::filesystem::temp_directory_path() / (alpha ? "velmora-bench-24mp-rgba.png" : "velmora-bench-24mp.png"))
          .string();
  WriteTestPng(path, alpha);
  std::printf("%s file: %d x %d, %.1f MB\n", alpha ? "RGBA" : "RGB", kWidth, kHeight,
              static_cast<double>(std::filesystem::file_size(path)) / 1e6);

  double ours = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    TIEBitmap bitmap;
    TIOParams params;
    auto start = std::chrono::steady_clock::now();
    bool ok = bitmap.Read(path, &params);
    double t = Seconds(std::chrono::steady_clock::now() - start);
    if (!ok || bitmap.Width() != kWidth || bitmap.PixelFormat() != ie24RGB || bitmap.HasAlphaChannel() != alpha) {
      std::printf("Read failed\n");
      return false;
    }
    ours = std::min(ours, t);
  }

  double tool = 1e9;
  const std::string command = "pngtopnm '" + path + "' > /dev/null";
  for (int i = 0; i < kRuns; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      std::printf("pngtopnm failed (is netpbm installed?)\n");
      return false;
    }
    tool = std::min(tool, Seconds(std::chrono::steady_clock::now() - start));
  }

  std::printf("  TIEBitmap::Read into ie24RGB%s: %.3f s (best of %d)\n", alpha ? " + alpha" : "", ours, kRuns);
  std::printf("  pngtopnm to /dev/null:          %.3f s (best of %d)\n", tool, kRuns);
  std::printf("  ours against pngtopnm:          %+.1f %%\n", (ours / tool - 1.0) * 100.0);
  std::filesystem::remove(path);
  return true;
}

}  // namespace

int main() {
  if (!Run(false) || !Run(true)) return 1;
  return 0;
}
