// Helpers for the LZW and fax codec tests: hand-built one-strip TIFF files,
// a reader for the strips of the files libtiff's tiffcp writes, libtiff as an
// independent decoder, and test pictures.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "testsupport.h"

namespace codecoracle {

struct TiffPage {
  uint32_t width = 0, height = 0;
  uint16_t bitsPerSample = 1, samplesPerPixel = 1;
  uint16_t compression = 1;
  uint16_t photometric = 0;  // 0 WhiteIsZero: a 0 bit is white, as the fax encoders code it
  uint16_t fillOrder = 1;
  uint32_t t4Options = 0;
  uint32_t rowsPerStrip = 0;
  std::vector<std::vector<uint8_t>> strips;
};

inline uint8_t Reverse(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1 << i)) r |= static_cast<uint8_t>(0x80 >> i);
  return r;
}

inline std::vector<uint8_t> Reversed(std::vector<uint8_t> v) {
  for (auto& b : v) b = Reverse(b);
  return v;
}

// A little-endian TIFF with one directory per page, each holding the page's
// first strip as its whole image.
inline std::vector<uint8_t> BuildTiff(const std::vector<TiffPage>& pages) {
  std::vector<uint8_t> f = {'I', 'I', 42, 0, 0, 0, 0, 0};
  auto put16 = [&](uint32_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  auto patch32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  size_t link = 4;  // where the offset of the next directory goes
  for (const TiffPage& page : pages) {
    const std::vector<uint8_t>& strip = page.strips.at(0);
    const uint32_t data = static_cast<uint32_t>(f.size());
    f.insert(f.end(), strip.begin(), strip.end());
    if (f.size() & 1) f.push_back(0);
    patch32(link, static_cast<uint32_t>(f.size()));
    struct Entry {
      uint16_t tag, type;
      uint32_t value;
    };
    std::vector<Entry> e = {
        {256, 4, page.width},         {257, 4, page.height},
        {258, 3, page.bitsPerSample}, {259, 3, page.compression},
        {262, 3, page.photometric},   {266, 3, page.fillOrder},
        {273, 4, data},               {277, 3, page.samplesPerPixel},
        {278, 4, page.height},        {279, 4, static_cast<uint32_t>(strip.size())},
    };
    if (page.compression == 3) e.push_back({292, 4, page.t4Options});
    put16(static_cast<uint32_t>(e.size()));
    for (const Entry& x : e) {
      put16(x.tag);
      put16(x.type);
      put32(1);
      if (x.type == 3) {
        put16(x.value);
        put16(0);
      } else {
        put32(x.value);
      }
    }
    link = f.size();
    put32(0);
  }
  return f;
}

// Reads the pages of a TIFF written by libtiff: their tags and strips.
inline bool ParseTiff(const std::vector<uint8_t>& f, std::vector<TiffPage>& pages) {
  if (f.size() < 8) return false;
  const bool le = f[0] == 'I';
  auto u16 = [&](size_t o) -> uint32_t {
    if (o + 2 > f.size()) return 0;
    return le ? f[o] | f[o + 1] << 8 : f[o] << 8 | f[o + 1];
  };
  auto u32 = [&](size_t o) -> uint32_t {
    if (o + 4 > f.size()) return 0;
    return le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2);
  };
  pages.clear();
  for (size_t ifd = u32(4); ifd != 0 && pages.size() < 10000; ifd = u32(ifd + 2 + u16(ifd) * 12)) {
    TiffPage page;
    const uint32_t n = u16(ifd);
    std::vector<uint32_t> offsets, counts;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t p = ifd + 2 + i * 12;
      const uint32_t tag = u16(p), type = u16(p + 2), count = u32(p + 4);
      const uint32_t size = type == 3 ? 2 : 4;
      const size_t at = count * size > 4 ? u32(p + 8) : p + 8;
      std::vector<uint32_t> v;
      for (uint32_t k = 0; k < count && k < 1000000; ++k)
        v.push_back(type == 3 ? u16(at + k * 2) : u32(at + k * 4));
      if (v.empty()) continue;
      switch (tag) {
        case 256: page.width = v[0]; break;
        case 257: page.height = v[0]; break;
        case 258: page.bitsPerSample = static_cast<uint16_t>(v[0]); break;
        case 259: page.compression = static_cast<uint16_t>(v[0]); break;
        case 262: page.photometric = static_cast<uint16_t>(v[0]); break;
        case 266: page.fillOrder = static_cast<uint16_t>(v[0]); break;
        case 273: offsets = v; break;
        case 277: page.samplesPerPixel = static_cast<uint16_t>(v[0]); break;
        case 278: page.rowsPerStrip = v[0]; break;
        case 279: counts = v; break;
        case 292: page.t4Options = v[0]; break;
      }
    }
    if (offsets.empty() || offsets.size() != counts.size()) return false;
    if (page.rowsPerStrip == 0 || page.rowsPerStrip > page.height) page.rowsPerStrip = page.height;
    for (size_t i = 0; i < offsets.size(); ++i) {
      if (offsets[i] > f.size() || counts[i] > f.size() - offsets[i]) return false;
      page.strips.emplace_back(f.begin() + offsets[i], f.begin() + offsets[i] + counts[i]);
    }
    pages.push_back(std::move(page));
  }
  return true;
}

// Runs tiffcp with the given options on a TIFF and returns the pages it wrote.
inline bool Tiffcp(const std::vector<uint8_t>& tiff, const std::string& options,
                   std::vector<TiffPage>& out, std::string& message) {
  testsupport::TempDir dir;
  const std::string in = dir.File("in.tif"), res = dir.File("out.tif");
  testsupport::WriteFileBytes(in, tiff);
  auto r = testsupport::RunCommand("tiffcp " + options + " " + testsupport::Quote(in) + " " +
                                   testsupport::Quote(res));
  message = r.output;
  if (r.exitCode != 0) return false;
  return ParseTiff(testsupport::ReadFileBytes(res), out);
}

// libtiff's decoding of one-strip pages (one tiffcp run for all): each page's
// rows, uncompressed, first bit most significant. Any complaint of libtiff's
// about the data counts as failure.
inline bool DecodeWithLibtiff(const std::vector<TiffPage>& pages, std::vector<std::vector<uint8_t>>& rows,
                              std::string& message) {
  std::vector<TiffPage> out;
  if (!Tiffcp(BuildTiff(pages), "-c none -f msb2lsb -r 1000000", out, message)) return false;
  if (!message.empty() || out.size() != pages.size()) return false;
  rows.clear();
  for (const TiffPage& page : out) {
    rows.emplace_back();
    for (const auto& s : page.strips) rows.back().insert(rows.back().end(), s.begin(), s.end());
  }
  return true;
}

// qpdf's decoding of streams under a PDF filter (/LZWDecode,
// /RunLengthDecode), all wrapped in one minimal document and read in one run.
inline bool DecodeWithQpdf(const std::string& filter, const std::vector<std::vector<uint8_t>>& streams,
                           std::vector<std::vector<uint8_t>>& out, std::string& message) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> at;
  auto object = [&](const std::string& body) {
    at.push_back(pdf.size());
    pdf += std::to_string(at.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  object("<< /Type /Catalog /Pages 2 0 R >>");
  object("<< /Type /Pages /Kids [] /Count 0 >>");
  for (const auto& data : streams)
    object("<< /Length " + std::to_string(data.size()) + " /Filter " + filter + " >>\nstream\n" +
           std::string(data.begin(), data.end()) + "\nendstream");
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(at.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t o : at) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(at.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  testsupport::TempDir dir;
  const std::string in = dir.File("in.pdf"), prefix = dir.File("s");
  testsupport::WriteFileBytes(in, pdf.data(), pdf.size());
  auto r = testsupport::RunCommand("qpdf --json --json-stream-data=file --json-stream-prefix=" +
                                   testsupport::Quote(prefix) + " --decode-level=specialized " +
                                   testsupport::Quote(in) + " > /dev/null");
  message = r.output;
  if (r.exitCode != 0 || !message.empty()) return false;
  out.clear();
  for (size_t i = 0; i < streams.size(); ++i) {
    const std::string file = prefix + "-" + std::to_string(i + 3);
    if (!std::filesystem::exists(file)) {
      message = "no data for stream " + std::to_string(i);
      return false;
    }
    out.push_back(testsupport::ReadFileBytes(file));
  }
  return true;
}

// A 1-bit picture: height rows of (width + 7) / 8 bytes, bits past the width 0.
struct Bitmap {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bits;
  int32_t RowBytes() const { return (width + 7) / 8; }
  uint8_t* Row(int32_t y) { return bits.data() + static_cast<size_t>(y) * RowBytes(); }
  const uint8_t* Row(int32_t y) const { return bits.data() + static_cast<size_t>(y) * RowBytes(); }
  void Set(int32_t x, int32_t y) { Row(y)[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7)); }
  void ClearPadding() {
    if (width & 7)
      for (int32_t y = 0; y < height; ++y)
        Row(y)[RowBytes() - 1] &= static_cast<uint8_t>(0xFF00 >> (width & 7));
  }
};

inline Bitmap RandomBitmap(int32_t width, int32_t height, uint32_t seed) {
  Bitmap b{width, height, std::vector<uint8_t>(static_cast<size_t>((width + 7) / 8) * height)};
  std::mt19937 rng(seed);
  for (auto& x : b.bits) x = static_cast<uint8_t>(rng());
  b.ClearPadding();
  return b;
}

// Lines of letter-like strokes: long runs of paper, short runs of ink, rows
// much like their neighbours. Ink is the 1 bit (inkIsOne) or the 0 bit.
inline Bitmap TextBitmap(int32_t width, int32_t height, uint32_t seed, bool inkIsOne = true) {
  Bitmap b{width, height, std::vector<uint8_t>(static_cast<size_t>((width + 7) / 8) * height)};
  std::mt19937 rng(seed);
  auto rnd = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1)); };
  const int lineHeight = std::max(4, std::min(40, height / 2 + 1));
  for (int32_t top = 2; top + lineHeight <= height + 2; top += lineHeight + lineHeight / 3) {
    int32_t x = rnd(0, std::min(60, width));
    while (x < width) {
      const int glyph = rnd(4, 24);
      for (int s = rnd(1, 4); s > 0; --s) {
        const bool vertical = rng() & 1;
        const int thick = rnd(1, 4);
        const int gx = x + rnd(0, glyph), gy = top + rnd(0, lineHeight / 2);
        const int w = vertical ? thick : rnd(2, glyph);
        const int h = vertical ? rnd(lineHeight / 3, lineHeight) : thick;
        for (int yy = gy; yy < gy + h && yy < height; ++yy)
          for (int xx = gx; xx < gx + w && xx < width; ++xx)
            if (yy >= 0) b.Set(xx, yy);
      }
      x += glyph + rnd(1, 4) + (rng() % 6 == 0 ? rnd(8, 30) : 0);
    }
  }
  if (!inkIsOne)
    for (auto& v : b.bits) v = static_cast<uint8_t>(~v);
  b.ClearPadding();
  return b;
}

}  // namespace codecoracle
