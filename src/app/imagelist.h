// The image list without its grid: entries made from files and folders (one
// per frame of a multi-frame file), the window's file-name order, and reading
// an entry's picture the way the conversion job does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TIEBitmap;
class TIOParams;

// One picture of the list. All three strings are written when the entry is
// made and never change.
struct TImageEntry {
  std::string Source;   // EntrySource: path + "::" + frame number in decimal
  std::string Caption;  // EntryCaption: the file name without its folder
  std::string Path;     // EntryPath: the full path
};

// The frame number written after the first "::" of an entry source; 0 when
// there is no "::" or the text after it is not a decimal 32-bit integer.
int32_t FrameIndexOf(std::string_view source);

// The entry of frame `frame` of the file `path`.
TImageEntry MakeImageEntry(const std::string& path, int32_t frame);

// Whether a regular file (after following links) exists under the name.
// Folders, devices and pipes count as missing: reading them would fail or
// block.
bool ImageFileExists(const std::string& path);

// Orders names as the window's list does: ascending, ignoring letter case
// (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters fold), the
// byte order breaking ties so that the result never depends on the input
// order. Negative, zero or positive like strcmp.
int CompareFileNames(std::string_view a, std::string_view b);
void SortFileNames(std::vector<std::string>& names);

// Appends the entries of one file: nothing when no regular file exists under
// the name or its extension is not a loadable format, else one entry per
// frame that CountFileFrames reports (none for 0). Returns the number added.
int AddImageFile(std::vector<TImageEntry>& list, const std::string& name);

// The names in the folder (not in its subfolders) whose extension is a
// loadable format, as folder + "/" + name, in the order the folder lists
// them. Hidden files count; an empty or unreadable folder gives nothing.
std::vector<std::string> ListFolderImages(const std::string& folder);

// Reads list entries into a bitmap with one parameter record reused from
// entry to entry, as the conversion job does. Pictures are turned upright by
// their EXIF orientation, so every size taken from the bitmap is the upright
// one.
class TEntryReader {
public:
  TEntryReader();
  ~TEntryReader();
  TEntryReader(const TEntryReader&) = delete;
  TEntryReader& operator=(const TEntryReader&) = delete;

  // The smallest upright size, width then height, at which the caller will
  // use a picture of the given full upright size.
  using TSizeNeeded = std::function<std::pair<int32_t, int32_t>(int32_t fullWidth, int32_t fullHeight)>;

  // Reads frame FrameIndexOf(entry.Source) of entry.Path. False when no
  // regular file exists there or the load fails (unknown format, damaged
  // data); exceptions of the load (a file that cannot be opened, out of
  // memory) pass through.
  //
  // With `needed`, a JPEG may be decoded at 1/2, 1/4 or 1/8 of its size as
  // long as the result stays at least as large as `needed` asks on both
  // sides; the bitmap is then smaller than the picture, whose size
  // FullWidth/FullHeight keep.
  bool Read(const TImageEntry& entry, TIEBitmap& bitmap, const TSizeNeeded& needed = {});

  // Upright size of the picture last read, before any reduced decoding.
  int32_t FullWidth() const { return fullWidth_; }
  int32_t FullHeight() const { return fullHeight_; }

  // The record of the last read (file type, frame count, EXIF fields, ...).
  TIOParams& Params() { return *params_; }

private:
  std::unique_ptr<TIOParams> params_;
  int32_t fullWidth_ = 0, fullHeight_ = 0;
};
