// Speed of the byte and fax codecs on a text-like A4 page at 300 dpi
// (2480 x 3508, 1 bit), next to libtiff's tiffcp on the same page.
//
//   bench_encoders [repeats]
//
// Times are processor time (user + system), which a busy machine disturbs
// far less than wall time. Ours are of the codec alone, in process (best of the
// repeats). tiffcp's are whole runs of the program over a file holding the page
// many times, divided by the page count, so they also hold its start-up and
// file input/output; a tiffcp run that copies without compression shows that
// overhead.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "iestream.h"
#include "pdfrle.h"
#include "tifccitt.h"
#include "tiflzw.h"

namespace {

constexpr int32_t kWidth = 2480, kHeight = 3508;
constexpr int32_t kRowBytes = (kWidth + 7) / 8;

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Best(int repeats, const std::function<void()>& f) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double t0 = CpuMs();
    f();
    best = std::min(best, CpuMs() - t0);
  }
  return best;
}

// Lines of letter-like strokes on paper. The paper is the 1 bit, as in the
// bitmaps the PDF writer embeds (1 = white).
std::vector<uint8_t> TextPage(uint32_t seed) {
  std::vector<uint8_t> bits(static_cast<size_t>(kRowBytes) * kHeight, 0xFF);
  std::mt19937 rng(seed);
  auto rnd = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1)); };
  auto ink = [&](int x, int y) { bits[static_cast<size_t>(y) * kRowBytes + (x >> 3)] &= static_cast<uint8_t>(~(0x80 >> (x & 7))); };
  const int margin = 300, lineHeight = 42, gap = 18;  // 10-point text at 300 dpi
  for (int top = margin; top + lineHeight < kHeight - margin; top += lineHeight + gap) {
    if (rng() % 9 == 0) continue;  // paragraph break
    int x = margin;
    const int right = kWidth - margin - (rng() % 4 == 0 ? rnd(0, 1200) : 0);
    while (x < right) {
      const int glyph = rnd(14, 26);
      for (int s = rnd(2, 4); s > 0; --s) {
        const bool vertical = rng() & 1;
        const int thick = rnd(3, 5);
        const int gx = x + rnd(0, glyph - thick), gy = top + rnd(0, lineHeight / 2);
        const int w = vertical ? thick : rnd(6, glyph);
        const int h = vertical ? rnd(lineHeight / 3, lineHeight - (gy - top)) : thick;
        for (int yy = gy; yy < gy + h; ++yy)
          for (int xx = gx; xx < gx + w && xx < kWidth; ++xx) ink(xx, yy);
      }
      x += glyph + rnd(2, 5) + (rng() % 5 == 0 ? rnd(18, 30) : 0);
    }
  }
  return bits;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
}

// A little-endian TIFF holding the page `pages` times, one uncompressed strip
// per page, so that tiffcp's start-up is spread over many pages.
std::vector<uint8_t> Tiff(const std::vector<uint8_t>& strip, uint16_t photometric, int pages) {
  std::vector<uint8_t> f = {'I', 'I', 42, 0, 0, 0, 0, 0};
  auto put16 = [&](uint32_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  const uint32_t data = 8;
  f.resize(data + strip.size());
  std::memcpy(f.data() + data, strip.data(), strip.size());
  size_t link = 4;
  for (int p = 0; p < pages; ++p) {
    const uint32_t at = static_cast<uint32_t>(f.size());
    for (int i = 0; i < 4; ++i) f[link + i] = static_cast<uint8_t>(at >> (8 * i));
    const uint32_t e[][3] = {{256, 4, kWidth}, {257, 4, kHeight}, {258, 3, 1}, {259, 3, 1},
                             {262, 3, photometric}, {273, 4, data}, {277, 3, 1}, {278, 4, kHeight},
                             {279, 4, static_cast<uint32_t>(strip.size())}};
    put16(9);
    for (const auto& x : e) {
      put16(x[0]);
      put16(x[1]);
      put32(1);
      if (x[1] == 3) {
        put16(x[2]);
        put16(0);
      } else {
        put32(x[2]);
      }
    }
    link = f.size();
    put32(0);
  }
  return f;
}

double BestRun(int repeats, const std::vector<std::string>& args, int pages) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double t = RunProgram(args);
    if (t < 0) return -1;
    best = std::min(best, t);
  }
  return best / pages;
}

void Report(const char* what, double ms, int64_t outBytes) {
  const double mb = static_cast<double>(kRowBytes) * kHeight / 1e6;
  if (outBytes >= 0)
    std::printf("  %-44s %8.2f ms/page %9.1f MB/s   %9lld bytes\n", what, ms, mb / (ms / 1000), static_cast<long long>(outBytes));
  else
    std::printf("  %-44s %8.2f ms/page %9.1f MB/s\n", what, ms, mb / (ms / 1000));
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const std::vector<uint8_t> page = TextPage(2024);
  std::vector<uint8_t> inverted = page;
  for (auto& b : inverted) b = static_cast<uint8_t>(~b);
  std::printf("page %d x %d, 1 bit, %d bytes per row, %.3f MB; best of %d\n\n", kWidth, kHeight, kRowBytes,
              static_cast<double>(page.size()) / 1e6, repeats);

  TIEMemoryStream lzw, g4, g4inv, g3;
  std::vector<uint8_t> rle(static_cast<size_t>(RunLengthMaxSize(static_cast<int64_t>(page.size()))));
  int64_t rleSize = 0;

  auto encodeLzw = [&] {
    lzw.Clear();
    void* state = nullptr;
    for (int32_t y = 0; y < kHeight; ++y) TiffLzwEncode(page.data() + static_cast<size_t>(y) * kRowBytes, kRowBytes, lzw, state);
    TiffLzwEncode(nullptr, 0, lzw, state);
  };
  auto encodeFax = [&](TIEMemoryStream& out, const std::vector<uint8_t>& bits, bool group4) {
    out.Clear();
    TIEFaxEncoderState st;
    auto row = group4 ? EncodeG4Row : EncodeG3Row;
    for (int32_t y = 0; y < kHeight; ++y)
      row(bits.data() + static_cast<size_t>(y) * kRowBytes, kWidth, out, fboMsbFirst, nullptr, st);
    row(nullptr, kWidth, out, fboMsbFirst, nullptr, st);
  };

  std::printf("Encoders (ours, in process):\n");
  double ms = Best(repeats, encodeLzw);
  Report("LZW, row by row", ms, lzw.Size());
  ms = Best(repeats, [&] { encodeFax(g4, page, true); });
  Report("CCITT group 4 (paper = 1 bits, as embedded)", ms, g4.Size());
  ms = Best(repeats, [&] { encodeFax(g4inv, inverted, true); });
  Report("CCITT group 4 (paper = 0 bits)", ms, g4inv.Size());
  ms = Best(repeats, [&] { encodeFax(g3, page, false); });
  Report("CCITT group 3 2-D (paper = 1 bits)", ms, g3.Size());
  ms = Best(repeats, [&] { rleSize = EncodeRunLength(page.data(), static_cast<int64_t>(page.size()), rle.data()); });
  Report("run-length, whole page", ms, rleSize);

  std::printf("\nDecoders (ours, in process):\n");
  const std::vector<uint8_t> lzwData(lzw.Data(), lzw.Data() + lzw.Size());
  const std::vector<uint8_t> g4Data(g4inv.Data(), g4inv.Data() + g4inv.Size());
  std::vector<uint8_t> rows(page.size());
  bool ok = true;
  Report("LZW rows", Best(repeats, [&] {
           void* state = nullptr;
           for (int32_t y = 0; y < kHeight; ++y) {
             const uint8_t* r = TiffLzwDecode(lzwData.data(), static_cast<int64_t>(lzwData.size()), kRowBytes, state, 1);
             if (!r) { ok = false; break; }
             std::memcpy(rows.data() + static_cast<size_t>(y) * kRowBytes, r, kRowBytes);
           }
           TiffLzwDecode(nullptr, 0, 0, state, 1);
         }), -1);
  ok = ok && rows == page;
  Report("CCITT group 4 rows", Best(repeats, [&] {
           TIECcittDecoder dec(4, 0, kWidth, 1);
           dec.StartStrip(g4Data.data(), static_cast<int64_t>(g4Data.size()));
           for (int32_t y = 0; y < kHeight; ++y) dec.DecodeRow(rows.data() + static_cast<size_t>(y) * kRowBytes);
         }), -1);
  ok = ok && rows == page;  // white comes back as 1: the paper of the 0-paper page
  if (!ok) std::printf("  !! decoded rows differ from the page\n");

  // libtiff on the same page.
  const auto dir = std::filesystem::temp_directory_path() / ("velmora-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string raw = (dir / "page.tif").string(), rawInv = (dir / "page0.tif").string();
  const std::string outG4 = (dir / "g4.tif").string(), outLzw = (dir / "lzw.tif").string(),
                    outNone = (dir / "none.tif").string();
  // Photometric 0: the fax coders see 0 bits as white, as ours do.
  constexpr int kPages = 20;
  WriteFile(raw, Tiff(page, 0, kPages));
  WriteFile(rawInv, Tiff(inverted, 0, kPages));
  const int runs = std::max(repeats / 2, 3);
  std::printf("\nlibtiff tiffcp (best whole run over a file of %d copies of the page, / %d):\n", kPages, kPages);
  const double none = BestRun(runs, {"tiffcp", "-r", "100000", "-c", "none", raw, outNone}, kPages);
  if (none < 0) {
    std::printf("  tiffcp not available\n");
  } else {
    auto size = [](const std::string& f) { return static_cast<int64_t>(std::filesystem::file_size(f)); };
    Report("tiffcp -c none (copy: start-up and I/O)", none, -1);
    auto timed = [&](const char* what, std::vector<std::string> args, const std::string& out, bool showSize) {
      const double ms = BestRun(runs, args, kPages);
      Report(what, ms, showSize ? size(out) / kPages : -1);
    };
    timed("tiffcp -c g4 (paper = 1 bits)", {"tiffcp", "-r", "100000", "-c", "g4", raw, outG4}, outG4, true);
    timed("tiffcp -c g4 (paper = 0 bits)", {"tiffcp", "-r", "100000", "-c", "g4", rawInv, outG4}, outG4, true);
    timed("tiffcp -c lzw", {"tiffcp", "-r", "100000", "-c", "lzw", raw, outLzw}, outLzw, true);
    timed("tiffcp -c none of the g4 file (decode)", {"tiffcp", "-r", "100000", "-c", "none", outG4, outNone}, outNone, false);
    timed("tiffcp -c none of the lzw file (decode)", {"tiffcp", "-r", "100000", "-c", "none", outLzw, outNone}, outNone, false);
  }
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
