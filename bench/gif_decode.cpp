// GIF decoding through TIEBitmap::Read: a 12-megapixel still of 256 colours,
// and a 300-frame animation (640 x 480 screen, small frames with all three
// disposal methods) loaded at its last frame and frame by frame as the
// conversion job does. ImageMagick's convert on the same files for
// comparison when it is installed. Prints the best of several runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "iebitmap.h"
#include "ieparams.h"

namespace {

// Codes indices as GIF encoders do: a clear code first and when the table fills.
std::vector<uint8_t> Lzw(const std::vector<uint8_t>& indices, int minCodeSize) {
  const int clear = 1 << minCodeSize;
  int next = clear + 2, width = minCodeSize + 1;
  std::unordered_map<uint32_t, int> dict;
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc |= uint64_t(code) << bits;
    bits += width;
    while (bits >= 8) {
      out.push_back(uint8_t(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  put(clear);
  int prefix = indices[0];
  for (size_t i = 1; i < indices.size(); ++i) {
    const uint32_t key = (uint32_t(prefix) << 8) | indices[i];
    auto it = dict.find(key);
    if (it != dict.end()) {
      prefix = it->second;
      continue;
    }
    put(prefix);
    dict[key] = next++;
    if (next > (1 << width) && width < 12) ++width;
    if (next == 4096) {
      put(clear);
      dict.clear();
      next = clear + 2;
      width = minCodeSize + 1;
    }
    prefix = indices[i];
  }
  put(prefix);
  if (++next > (1 << width) && width < 12) ++width;
  put(clear + 1);
  if (bits > 0) out.push_back(uint8_t(acc));
  return out;
}

void Put16(std::vector<uint8_t>& v, int x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void PutImage(std::vector<uint8_t>& v, int left, int top, int w, int h, const std::vector<uint8_t>& indices,
              int disposal, bool transparent) {
  v.insert(v.end(), {0x21, 0xF9, 4, uint8_t((disposal << 2) | (transparent ? 1 : 0)), 4, 0, 0, 0});
  v.push_back(0x2C);
  Put16(v, left);
  Put16(v, top);
  Put16(v, w);
  Put16(v, h);
  v.push_back(0);
  v.push_back(8);
  const auto data = Lzw(indices, 8);
  for (size_t i = 0; i < data.size(); i += 255) {
    const size_t n = std::min<size_t>(255, data.size() - i);
    v.push_back(uint8_t(n));
    v.insert(v.end(), data.begin() + std::ptrdiff_t(i), data.begin() + std::ptrdiff_t(i + n));
  }
  v.push_back(0);
}

std::vector<uint8_t> Header(int w, int h) {
  std::vector<uint8_t> v = {'G', 'I', 'F', '8', '9', 'a'};
  Put16(v, w);
  Put16(v, h);
  v.insert(v.end(), {0xF7, 0, 0});
  for (int i = 0; i < 256; ++i) v.insert(v.end(), {uint8_t(i), uint8_t(255 - i), uint8_t((i * 7) & 255)});
  return v;
}

// Smooth bands with noise: palette indices of a dithered photo.
std::vector<uint8_t> Picture(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> p(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double v = 128 + 60 * std::sin(x / 97.0) + 50 * std::cos(y / 53.0 + x / 300.0);
      p[size_t(y) * size_t(w) + size_t(x)] = uint8_t(std::clamp(v + int(rng() % 9) - 4.0, 0.0, 255.0));
    }
  return p;
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

double BestSeconds(int runs, const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void Load(const std::string& path, int index) {
  TIEBitmap bitmap;
  TIOParams params;
  params.SetImageIndex(index);
  if (!bitmap.Read(path, &params)) {
    std::fprintf(stderr, "cannot load %s frame %d\n", path.c_str(), index);
    std::exit(1);
  }
}

void Magick(const std::string& label, const std::string& command) {
  const double s = BestSeconds(3, [&] {
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "%s failed\n", command.c_str());
  });
  std::printf("  %-44s %8.3f s\n", label.c_str(), s);
}

}  // namespace

int main() {
  const std::string dir = (std::filesystem::temp_directory_path() / "velmora-bench-gif").string();
  std::filesystem::create_directories(dir);
  const std::string still = dir + "/still.gif", anim = dir + "/anim.gif";

  const int w = 4000, h = 3000;
  auto s = Header(w, h);
  PutImage(s, 0, 0, w, h, Picture(w, h, 1), 0, false);
  s.push_back(0x3B);
  Write(still, s);

  const int frames = 300;
  auto a = Header(640, 480);
  PutImage(a, 0, 0, 640, 480, Picture(640, 480, 2), 0, false);
  std::mt19937 rng(3);
  for (int i = 1; i < frames; ++i) {
    const int fw = 64 + int(rng() % 96), fh = 48 + int(rng() % 64);
    const int x = int(rng() % uint32_t(640 - fw)), y = int(rng() % uint32_t(480 - fh));
    PutImage(a, x, y, fw, fh, Picture(fw, fh, uint32_t(i)), 1 + i % 3, i % 2 == 0);
  }
  a.push_back(0x3B);
  Write(anim, a);

  const bool magick = std::system("command -v convert >/dev/null 2>&1") == 0;
  std::printf("still %dx%d, %zu bytes\n", w, h, s.size());
  std::printf("  %-44s %8.3f s\n", "velmora Read", BestSeconds(5, [&] { Load(still, 0); }));
  if (magick) Magick("ImageMagick convert to PPM", "convert " + still + " ppm:/dev/null");

  std::printf("animation 640x480, %d frames, %zu bytes\n", frames, a.size());
  std::printf("  %-44s %8.3f s\n", "velmora Read of frame 0", BestSeconds(5, [&] { Load(anim, 0); }));
  std::printf("  %-44s %8.3f s\n", "velmora Read of the last frame", BestSeconds(5, [&] { Load(anim, frames - 1); }));
  std::printf("  %-44s %8.3f s\n", "velmora Read of every frame, one by one", BestSeconds(1, [&] {
                for (int i = 0; i < frames; ++i) Load(anim, i);
              }));
  if (magick) {
    Magick("ImageMagick coalesce of all frames", "convert " + anim + " -coalesce null:");
    Magick("ImageMagick last frame, coalesced, to PPM",
           "convert " + anim + " -coalesce -delete 0--2 ppm:/dev/null");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
