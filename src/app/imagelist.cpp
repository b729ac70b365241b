#include "imagelist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <limits>

#include "iebitmap.h"
#include "ieformats.h"
#include "iestream.h"
#include "jpegfilt.h"
#include "ieparams.h"

int32_t FrameIndexOf(std::string_view source) {
  size_t sep = source.find("::");
  if (sep == std::string_view::npos) return 0;
  std::string_view digits = source.substr(sep + 2);
  while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return 0;
  return value;
}

TImageEntry MakeImageEntry(const std::string& path, int32_t frame) {
  TImageEntry e;
  e.Source = path + "::" + std::to_string(frame);
  size_t slash = path.find_last_of('/');
  e.Caption = slash == std::string::npos ? path : path.substr(slash + 1);
  e.Path = path;
  return e;
}

bool ImageFileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Next code point of UTF-8 text; a byte that starts no valid sequence is
// taken as itself (as Latin-1), which keeps the order total and stable.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  auto b = static_cast<uint8_t>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len > 1 && i + len <= s.size()) {
    char32_t c = b & (0x7F >> len);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      auto t = static_cast<uint8_t>(s[i + k]);
      if ((t & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (t & 0x3F);
    }
    if (ok) {
      i += len;
      return c;
    }
  }
  ++i;
  return b;
}

char32_t FoldCase(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c <= 0xDE && c != 0xD7) return c + 32;                          // Latin-1 capitals
  if (c >= 0x100 && c <= 0x137 && (c & 1) == 0) return c + 1;         // Latin Extended-A pairs
  if (c >= 0x139 && c <= 0x148 && (c & 1) == 1) return c + 1;
  if (c >= 0x14A && c <= 0x177 && (c & 1) == 0) return c + 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E && (c & 1) == 1) return c + 1;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;          // Greek capitals
  if (c >= 0x410 && c <= 0x42F) return c + 32;                        // Cyrillic capitals
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// The letter an accented Latin letter is sorted with ("é" with "e").
char32_t BaseLetter(char32_t c) {
  c = FoldCase(c);
  static constexpr char kLatin1[] = "aaaaaaaceeeeiiiidnooooo*ouuuuyty";  // U+00E0..U+00FF
  static_assert(sizeof kLatin1 - 1 == 32);
  static constexpr char kExtendedA[] =
      "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiiiiijjkkkllllllllllnnnnnnnnnoooooooorrrrrrssssssss"
      "ttttttuuuuuuuuuuuuwwyyyzzzzzzs";  // U+0100..U+017F
  static_assert(sizeof kExtendedA - 1 == 128);
  if (c == 0xDF) return 's';
  if (c >= 0xE0 && c <= 0xFF && c != 0xF7) return static_cast<unsigned char>(kLatin1[c - 0xE0]);
  if (c >= 0x100 && c <= 0x17F) return static_cast<unsigned char>(kExtendedA[c - 0x100]);
  return c;
}

// One level of the comparison: the code points of both texts mapped by key.
int CompareLevel(std::string_view a, std::string_view b, char32_t (*key)(char32_t)) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    char32_t ca = key(NextCodePoint(a, i));
    char32_t cb = key(NextCodePoint(b, j));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

int CompareFileNames(std::string_view a, std::string_view b) {
  // Letters first, then accents, then letter case (by bytes), as a
  // dictionary orders words.
  if (int r = CompareLevel(a, b, BaseLetter)) return r;
  if (int r = CompareLevel(a, b, FoldCase)) return r;
  int r = a.compare(b);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

void SortFileNames(std::vector<std::string>& names) {
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& x, const std::string& y) { return CompareFileNames(x, y) < 0; });
}

int AddImageFile(std::vector<TImageEntry>& list, const std::string& name) {
  if (!ImageFileExists(name) || !IsLoadableFile(name, false)) return 0;
  int frames = CountFileFrames(name);
  for (int k = 0; k < frames; ++k) list.push_back(MakeImageEntry(name, k));
  return std::max(frames, 0);
}

std::vector<std::string> ListFolderImages(const std::string& folder) {
  std::vector<std::string> result;
  if (folder.empty()) return result;
  std::string prefix = folder;
  if (prefix.back() != '/') prefix += '/';
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return result;
  while (dirent* d = ::readdir(dir)) {
    std::string_view name = d->d_name;
    if (name == "." || name == "..") continue;
    std::string full = prefix + d->d_name;
    if (IsLoadableFile(full, false)) result.push_back(std::move(full));
  }
  ::closedir(dir);
  return result;
}

TEntryReader::TEntryReader() : params_(std::make_unique<TIOParams>()) {}
TEntryReader::~TEntryReader() = default;

namespace {

// The stored size and EXIF orientation of a JPEG file, from its header
// alone. False when the file is no JPEG the reader understands.
bool PeekJpeg(const std::string& path, int32_t& width, int32_t& height, int32_t& orientation) {
  try {
    TIEFileStream stream(path, fmOpenRead);
    TIOParams header;
    bool aborted = false;
    TProgressRecord progress;
    progress.Aborting = &aborted;
    TIEJpegReadOptions options;
    options.HeaderOnly = true;
    options.ReadICC = false;
    IEJpegReadStream(stream, nullptr, header, progress, options);
    if (aborted || header.Width <= 0 || header.Height <= 0) return false;
    width = header.Width;
    height = header.Height;
    orientation = header.ExifOrientation;
    return true;
  } catch (const std::exception&) {
    // The real load meets the same trouble and reports it.
    return false;
  }
}

}  // namespace

bool TEntryReader::Read(const TImageEntry& entry, TIEBitmap& bitmap, const TSizeNeeded& needed) {
  fullWidth_ = fullHeight_ = 0;
  params_->SetImageIndex(FrameIndexOf(entry.Source));
  if (!ImageFileExists(entry.Path)) return false;
  params_->SetEnableAdjustOrientation(true);

  // A photo far larger than its place on the page need not be decoded at
  // full size: libjpeg can scale by 1/2, 1/4 or 1/8 while decoding, which
  // is several times faster and never drops below the size we resample to.
  // Only for files the load front hands to the JPEG reader first.
  bool reduced = false;
  int32_t w = 0, h = 0, orientation = 1;
  if (needed && FormatFromExtension(entry.Path) == ioJPEG && PeekJpeg(entry.Path, w, h, orientation)) {
    const bool quarterTurn = orientation >= 5 && orientation <= 8;
    const int32_t uprightW = quarterTurn ? h : w, uprightH = quarterTurn ? w : h;
    auto [needW, needH] = needed(uprightW, uprightH);
    if (needW > 0 && needH > 0 && (int64_t(needW) * 2 <= uprightW && int64_t(needH) * 2 <= uprightH)) {
      params_->JpegScale = 0;  // the reader picks the smallest scale of at least Width x Height
      params_->Width = quarterTurn ? needH : needW;
      params_->Height = quarterTurn ? needW : needH;
      fullWidth_ = uprightW;
      fullHeight_ = uprightH;
      reduced = true;
    }
  }
  bool ok;
  try {
    ok = bitmap.Read(entry.Path, params_.get(), true);
  } catch (...) {
    params_->JpegScale = 1;
    throw;
  }
  if (reduced) {
    params_->JpegScale = 1;
    // Another reader may have taken the file after all (a PNG named .jpg).
    if (!ok || params_->FileType != ioJPEG || params_->JpegScaleUsed <= 1) reduced = false;
  }
  if (!ok) {
    fullWidth_ = fullHeight_ = 0;
    return false;
  }
  // A header of no pixels loads without storing any: what the bitmap holds
  // then is the previous picture, which must not become this page.
  if (params_->Width <= 0 || params_->Height <= 0) {
    fullWidth_ = fullHeight_ = 0;
    return false;
  }
  if (!reduced) {
    fullWidth_ = bitmap.Width();
    fullHeight_ = bitmap.Height();
  }
  return true;
}
