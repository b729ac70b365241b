// Encoding speed of the PDF image paths: JPEG of a 12-megapixel photo-like
// picture through WriteJpeg next to cjpeg on the same pixels, and the
// embedding of an A4 300-dpi text page in black and white with LZW, group 4
// and run-length (group 3 and uncompressed for reference), next to tiffcp.
//
// Usage: bench_pdf_encode [repeats]   (best of the repeats is printed)

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "iecore.h"
#include "ieparams.h"
#include "iepdf.h"
#include "iestream.h"
#include "pdfjpeg.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A picture with what photographs have: smooth shading, some texture,
// hard edges and sensor-like grain.
std::unique_ptr<TIEBitmap> MakePhoto(int w, int h) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie24RGB);
  std::mt19937 rng(7);
  std::vector<double> sx(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) sx[x] = std::sin(x * 0.013) + 0.3 * std::sin(x * 0.11);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    const double sy = std::cos(y * 0.009) + 0.3 * std::sin(y * 0.07);
    for (int x = 0; x < w; ++x) {
      const int grain = static_cast<int>(rng() % 7) - 3;
      const double dx = x - w * 0.6, dy = y - h * 0.4;
      const bool disc = dx * dx + dy * dy < (h * 0.2) * (h * 0.2);
      const bool block = x > w / 8 && x < w / 3 && y > h / 2 && y < h * 7 / 8;
      double r = 120 + 60 * sx[x] + 40 * sy, g = 110 + 50 * sy - 30 * sx[x], bl = 90 + 80 * double(y) / h;
      if (disc) r = 220 - 40 * sy, g = 180, bl = 60 + 20 * sx[x];
      if (block) r = 30, g = 60 + 20 * sx[x], bl = 140;
      uint8_t* p = row + 3 * x;
      p[0] = static_cast<uint8_t>(std::clamp(int(bl) + grain, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(int(g) + grain, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(int(r) + grain, 0, 255));
    }
  }
  return b;
}

void SetBlack(TIEBitmap& b, int x, int y) { b.Scanline(y)[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8))); }

// A page of text at 300 dpi: one-inch margins, 12-point lines of words made
// of glyph-sized clusters of strokes.
std::unique_ptr<TIEBitmap> MakeTextPage(int w, int h) {
  auto b = std::make_unique<TIEBitmap>(w, h, ie1g);
  b->Fill(1);
  std::mt19937 rng(11);
  for (int line = 300; line + 40 < h - 300; line += 50) {
    int x = 300;
    while (x < w - 300) {
      const int letters = 2 + static_cast<int>(rng() % 8);
      for (int l = 0; l < letters && x < w - 330; ++l) {
        const int gw = 14 + static_cast<int>(rng() % 10);
        const int top = line + (rng() % 4 == 0 ? 0 : 10), bottom = line + (rng() % 6 == 0 ? 40 : 32);
        // Stems, a bowl or bar: a few strokes 3 pixels thick.
        for (int y = top; y < bottom; ++y) {
          for (int t = 0; t < 3; ++t) SetBlack(*b, x + t, y);
          if (rng() % 3 == 0 || y - top < 3 || bottom - y <= 3)
            for (int t = 0; t < gw - 4; ++t) SetBlack(*b, x + t, y);
          if (gw > 18)
            for (int t = 0; t < 3; ++t) SetBlack(*b, x + gw - 6 + t, y);
        }
        x += gw + 3;
      }
      x += 25;
    }
  }
  return b;
}

void WritePpm(const std::string& path, TIEBitmap& b) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << b.Width() << " " << b.Height() << "\n255\n";
  std::vector<char> row(3 * static_cast<size_t>(b.Width()));
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* s = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      row[3 * x] = static_cast<char>(s[3 * x + 2]);
      row[3 * x + 1] = static_cast<char>(s[3 * x + 1]);
      row[3 * x + 2] = static_cast<char>(s[3 * x]);
    }
    out.write(row.data(), static_cast<std::streamsize>(row.size()));
  }
}

void WritePbm(const std::string& path, TIEBitmap& b) {
  std::ofstream out(path, std::ios::binary);
  out << "P4\n" << b.Width() << " " << b.Height() << "\n";
  const size_t bytes = (static_cast<size_t>(b.Width()) + 7) / 8;
  std::vector<char> row(bytes);
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* s = b.Scanline(y);
    for (size_t i = 0; i < bytes; ++i) row[i] = static_cast<char>(~s[i]);  // PBM: 1 = black
    out.write(row.data(), static_cast<std::streamsize>(bytes));
  }
}

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Best wall time of an external command, or a negative value when it fails.
double TimeCommand(const std::string& command, int repeats) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    auto t0 = Clock::now();
    int rc = std::system((command + " >/dev/null 2>&1").c_str());
    auto t1 = Clock::now();
    if (rc != 0) return -1;
    best = std::min(best, Seconds(t0, t1));
  }
  return best;
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(n);
}

void Row(const char* what, double seconds, double inputBytes, int64_t outputBytes) {
  std::printf("  %-34s %9.1f ms %9.1f MB/s   %10lld bytes out\n", what, seconds * 1e3,
              inputBytes / seconds / 1e6, static_cast<long long>(outputBytes));
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                     ("velmora-bench-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);

  // JPEG -----------------------------------------------------------------
  {
    const int w = 4000, h = 3000;
    auto photo = MakePhoto(w, h);
    const double bytes = 3.0 * w * h;
    std::printf("JPEG quality 80, %dx%d photo-like picture (%.1f MB of RGB), best of %d\n", w, h, bytes / 1e6,
                repeats);
    double best = 1e30;
    int64_t size = 0;
    for (int i = 0; i < repeats; ++i) {
      TIEMemoryStream out;
      TIOParams params;  // fresh record: quality 80, 4:2:0, accurate integer DCT
      bool aborting = false;
      TProgressRecord progress;
      progress.Aborting = &aborting;
      auto t0 = Clock::now();
      WriteJpeg(out, *photo, params, progress);
      auto t1 = Clock::now();
      best = std::min(best, Seconds(t0, t1));
      size = out.Size();
    }
    Row("WriteJpeg", best, bytes, size);
    if (Have("cjpeg")) {
      const std::string ppm = (dir / "photo.ppm").string(), jpg = (dir / "photo.jpg").string();
      WritePpm(ppm, *photo);
      double t = TimeCommand("cjpeg -quality 80 -outfile '" + jpg + "' '" + ppm + "'", repeats);
      if (t > 0) Row("cjpeg -quality 80 (PPM file in)", t, bytes, FileSize(jpg));
    } else {
      std::printf("  cjpeg not installed\n");
    }
  }

  // Black-and-white page ---------------------------------------------------
  {
    const int w = 2480, h = 3508;
    auto page = MakeTextPage(w, h);
    const double bytes = double((w + 7) / 8) * h;
    std::printf("\nA4 300 dpi text page, %dx%d ie1g (%.2f MB of 1-bit rows), AddImage, best of %d\n", w, h,
                bytes / 1e6, repeats);
    struct Case {
      const char* name;
      TPdfCompression compression;
    } cases[] = {{"LZW", pdfLZW},
                 {"CCITT group 4", pdfG4Fax},
                 {"run-length", pdfRLE},
                 {"CCITT group 3 2-D", pdfG3Fax2D},
                 {"uncompressed", pdfUncompressed}};
    for (const Case& c : cases) {
      double best = 1e30;
      int64_t size = 0;
      for (int i = 0; i < repeats; ++i) {
        TIEPDFBuilder builder;
        builder.AddPage(595, 842);
        auto t0 = Clock::now();
        builder.AddImage(595, 842, 0, 0, *page, 0, 1, c.compression);
        auto t1 = Clock::now();
        best = std::min(best, Seconds(t0, t1));
        size = builder.Image(0).DataSize();
      }
      Row(c.name, best, bytes, size);
    }
    if (Have("tiffcp") && Have("pnmtotiff")) {
      const std::string pbm = (dir / "page.pbm").string(), tif = (dir / "page.tif").string();
      const std::string out = (dir / "out.tif").string();
      WritePbm(pbm, *page);
      if (std::system(("pnmtotiff -none '" + pbm + "' > '" + tif + "' 2>/dev/null").c_str()) == 0) {
        double g4 = TimeCommand("tiffcp -c g4 '" + tif + "' '" + out + "'", repeats);
        if (g4 > 0) Row("tiffcp -c g4 (TIFF file in)", g4, bytes, FileSize(out));
        double lzw = TimeCommand("tiffcp -c lzw '" + tif + "' '" + out + "'", repeats);
        if (lzw > 0) Row("tiffcp -c lzw (TIFF file in)", lzw, bytes, FileSize(out));
        double none = TimeCommand("tiffcp -c none '" + tif + "' '" + out + "'", repeats);
        if (none > 0) Row("tiffcp -c none (process and I/O)", none, bytes, FileSize(out));
      }
    } else {
      std::printf("  tiffcp or pnmtotiff not installed\n");
    }
  }

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
