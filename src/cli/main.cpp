// velmora-cli: the conversion job of the window, driven from the command line.
//
//   velmora-cli [options] INPUT... -o OUT.pdf
//
// Exit status: 0 written; 1 usage error; 2 the conversion failed (nothing is
// left behind); 3 no input could be read (nothing written).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apptexts.h"
#include "convjob.h"
#include "iebitmap.h"
#include "ieformats.h"
#include "imagelist.h"
#include "pagegeom.h"

namespace {

constexpr const char* kProgram = "velmora-cli";

enum TExitStatus { exWritten = 0, exUsage = 1, exFailed = 2, exNothingRead = 3 };

// --- Option values -------------------------------------------------------------

// Lower case without blanks, hyphens and underscores: "US Letter" = "us-letter".
std::string Squash(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '-' && c != '_') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

constexpr int kFirstPictureItem = kPaperItemCount - 2;
constexpr int kCustomItem = kPaperItemCount - 1;

std::optional<int> PaperIndexOf(const std::string& text) {
  std::string s = Squash(text);
  for (int i = 0; i < kPaperCount; ++i) {
    std::string name = Squash(PaperNames[i]);
    if (s == name || (name.rfind("us", 0) == 0 && s == name.substr(2))) return i;
  }
  if (s == "first" || s == "firstpicture") return kFirstPictureItem;
  if (s == "custom") return kCustomItem;
  return std::nullopt;
}

std::optional<int> PositionOf(const std::string& text) {
  std::string s = Squash(text);
  auto row = [](const std::string& w) -> int {
    if (w == "top") return 0;
    if (w == "middle" || w == "center" || w == "centre") return 1;
    if (w == "bottom") return 2;
    return -1;
  };
  auto column = [](const std::string& w) -> int {
    if (w == "left") return 0;
    if (w == "center" || w == "centre" || w == "middle") return 1;
    if (w == "right") return 2;
    return -1;
  };
  // One word: an edge or the centre.
  if (s == "top" || s == "bottom") return row(s) * 3 + 1;
  if (s == "left" || s == "right") return 3 + column(s);
  if (s == "center" || s == "centre" || s == "middle") return 4;
  for (const char* r : {"top", "middle", "center", "centre", "bottom"}) {
    std::string rs = r;
    if (s.rfind(rs, 0) == 0) {
      int c = column(s.substr(rs.size()));
      if (c >= 0) return row(rs) * 3 + c;
    }
  }
  return std::nullopt;
}

std::optional<int> CompressionOf(const std::string& text) {
  static const std::map<std::string, int> kNames = {
      {"none", 0}, {"uncompressed", 0}, {"rle", 1}, {"g4", 2}, {"g4fax", 2},
      {"g3", 3},   {"g3fax", 3},        {"g3fax2d", 3}, {"jpeg", 4}, {"jpg", 4}, {"lzw", 5}};
  auto it = kNames.find(Squash(text));
  if (it == kNames.end()) return std::nullopt;
  return it->second;
}

bool ParseSize(const std::string& text, int32_t& w, int32_t& h) {
  size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  try {
    size_t a = 0, b = 0;
    std::string ws = text.substr(0, x), hs = text.substr(x + 1);
    long lw = std::stol(ws, &a), lh = std::stol(hs, &b);
    if (a != ws.size() || b != hs.size() || lw < 1 || lh < 1 || lw > 10000 || lh > 10000) return false;
    w = static_cast<int32_t>(lw);
    h = static_cast<int32_t>(lh);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

struct TUsageError {
  std::string Message;
};

// --- Collecting inputs -------------------------------------------------------

struct TInput {
  std::string Name;  // a file, as found
  int Frames = 0;
};

void Warn(const std::string& what, const std::string& reason) {
  std::cerr << kProgram << ": skipping " << what << ": " << reason << '\n';
}

// The system's reason when a file cannot even be opened for reading, so that
// a permission problem is not reported as a damaged picture; else
// `otherwise`. Non-blocking: a pipe put in a file's place must not hang us.
std::string UnreadableReason(const std::string& path, const char* otherwise) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return otherwise;
}

std::vector<std::string> ExpandInputs(const std::vector<std::string>& args, bool sort) {
  std::vector<std::string> names;
  for (const std::string& arg : args) {
    struct stat st;
    if (::stat(arg.c_str(), &st) != 0) {
      Warn(arg, errno == ENOENT ? "no such file or folder" : std::strerror(errno));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (DIR* d = ::opendir(arg.c_str())) {
        ::closedir(d);
      } else {
        Warn(arg, std::strerror(errno));
        continue;
      }
      // The window's folder button lists a folder's pictures in its order.
      std::vector<std::string> inFolder = ListFolderImages(arg);
      SortFileNames(inFolder);
      if (inFolder.empty()) Warn(arg, "the folder holds no pictures");
      names.insert(names.end(), inFolder.begin(), inFolder.end());
    } else {
      names.push_back(arg);
    }
  }
  if (sort) SortFileNames(names);
  return names;
}

std::vector<TImageEntry> MakeEntries(const std::vector<std::string>& names, std::map<std::string, int>& frames) {
  std::vector<TImageEntry> entries;
  for (const std::string& name : names) {
    if (!ImageFileExists(name)) {
      Warn(name, "not a regular file");
      continue;
    }
    if (!IsLoadableFile(name, false)) {
      Warn(name, "not a picture format this program reads (see --list-formats)");
      continue;
    }
    int added = AddImageFile(entries, name);
    if (added == 0) Warn(name, UnreadableReason(name, "not a readable picture"));
    frames[name] = added;
  }
  return entries;
}

std::string EntryName(const TImageEntry& e, const std::map<std::string, int>& frames) {
  auto it = frames.find(e.Path);
  if (it == frames.end() || it->second <= 1) return e.Path;
  return e.Path + " (frame " + std::to_string(FrameIndexOf(e.Source) + 1) + " of " +
         std::to_string(it->second) + ")";
}

// --- The host ------------------------------------------------------------------

class TCliHost : public TConvertHost {
public:
  TCliHost(std::string output, bool progress, const std::map<std::string, int>& frames)
      : output_(std::move(output)), progress_(progress), frames_(frames) {}

  bool ChooseOutputFile(const std::string&, std::string& fileName) override {
    fileName = output_;
    return true;
  }

  void ShowMessage(const TJobMessage& m) override { last_ = m; }

  void BeginProgress(int total, const std::string&) override {
    total_ = total;
    shown_ = false;
  }

  void StepProgress(int done, int total, const TImageEntry& entry) override {
    if (!progress_) return;
    int columns = 80;
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) columns = ws.ws_col;
    const int barWidth = 24;
    int filled = total > 0 ? static_cast<int>(int64_t(done - 1) * barWidth / total) : 0;
    std::string line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] " +
                       std::to_string(done) + "/" + std::to_string(total) + " ";
    std::string name = entry.Caption;
    size_t room = columns - 1 > static_cast<int>(line.size()) ? columns - 1 - line.size() : 0;
    if (name.size() > room) {
      // Keep the end of the name, cut at a character boundary.
      size_t cut = name.size() - room;
      while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) ++cut;
      name = name.substr(cut);
    }
    std::cerr << "\r\033[K" << line << name << std::flush;
    shown_ = true;
  }

  void EndProgress() override {
    if (shown_) std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

  void EntrySkipped(const TImageEntry& entry, TSkipReason reason) override {
    if (shown_) std::cerr << "\r\033[K";
    Warn(EntryName(entry, frames_),
         reason == srMissing ? "the file is gone" : UnreadableReason(entry.Path, "not a readable picture"));
  }

  const std::optional<TJobMessage>& Last() const { return last_; }

private:
  std::string output_;
  bool progress_;
  const std::map<std::string, int>& frames_;
  int total_ = 0;
  bool shown_ = false;
  std::optional<TJobMessage> last_;
};

// A signal must not leave the half-written document beside the target.
void OnFatalSignal(int sig) {
  const char* temp = SaveInProgressTempName();
  if (temp[0]) ::unlink(temp);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// --- --info and --list-formats ---------------------------------------------------

int PrintInfo(const std::vector<std::string>& names) {
  int readable = 0;
  TEntryReader reader;
  TIEBitmap bitmap;
  for (const std::string& name : names) {
    if (!ImageFileExists(name)) {
      Warn(name, "not a regular file");
      continue;
    }
    if (std::string why = UnreadableReason(name, ""); !why.empty()) {
      Warn(name, why);
      continue;
    }
    int type = DetectFileFormat(name, 2);
    const TIEFileFormatInfo* info = FormatInfoById(type);
    int frames = IsLoadableFile(name, false) ? CountFileFrames(name) : 0;
    std::cout << name << ": " << (info ? info->Description : std::string("unknown format"));
    if (frames <= 0) {
      std::cout << ", cannot be read\n";
      continue;
    }
    std::vector<std::string> sizes;
    for (int k = 0; k < frames; ++k) {
      if (reader.Read(MakeImageEntry(name, k), bitmap))
        sizes.push_back(std::to_string(reader.FullWidth()) + " x " + std::to_string(reader.FullHeight()));
      else
        sizes.push_back("unreadable");
    }
    std::cout << ", " << sizes[0] << ", " << frames << (frames == 1 ? " frame" : " frames") << '\n';
    for (int k = 1; k < frames && frames > 1; ++k) std::cout << "  frame " << k + 1 << ": " << sizes[k] << '\n';
    if (std::any_of(sizes.begin(), sizes.end(), [](const std::string& s) { return s != "unreadable"; }))
      ++readable;
  }
  return readable > 0 ? exWritten : exNothingRead;
}

void PrintFormats() {
  const TIEFileFormats& formats = IEFileFormats();
  for (int i = 0; i < formats.Count(); ++i) {
    const TIEFileFormatInfo& f = formats[i];
    if (f.ExtensionList.empty()) continue;
    std::string ext = f.ExtensionList;
    std::replace(ext.begin(), ext.end(), ';', ' ');
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    std::cout << f.Description << ": " << ext << (f.Reader ? "" : " (not readable)") << '\n';
  }
}

const char* kFooter =
    "Inputs are picture files or folders (a folder adds its pictures, not its\n"
    "subfolders); a multi-frame file adds one page per frame. Every page has the\n"
    "paper's size; a larger picture shrinks to fit inside the margins, a smaller\n"
    "one keeps its size at one pixel per point.\n"
    "\n"
    "Exit status: 0 written, 1 usage error, 2 conversion failed (nothing left\n"
    "behind), 3 no input could be read (nothing written).";

int Run(int argc, char** argv) {
  CLI::App app("Turns pictures into one PDF document, one page per picture or frame.", kProgram);
  app.footer(kFooter);
  app.get_formatter()->column_width(26);

  std::vector<std::string> inputs;
  std::string output, paper = "A4", size, position = "center", compression = "jpeg";
  std::string title, author, subject, keywords;
  double margin = 1.0;
  int scale = 100, quality = 20;
  bool landscape = false, sort = false, info = false, listFormats = false, quiet = false, version = false;

  app.add_option("inputs", inputs, "Picture files and folders, in page order")->type_name("INPUT...");
  auto* outOpt = app.add_option("-o,--output", output, "The PDF file to write")->type_name("OUT.pdf");
  auto* paperOpt = app.add_option("--paper", paper,
                                  "A0, A1, A2, A3, A4, A5, A6, B5, \"US Letter\", \"US Legal\", \"US Ledger\", "
                                  "\"US Tabloid\", first (the first picture's size) or custom (see --size); "
                                  "default A4")
                       ->type_name("PAPER");
  app.add_flag("--landscape", landscape, "Turn a named paper sideways");
  auto* sizeOpt = app.add_option("--size", size, "Page size for --paper custom, in points; default 595x842")
                      ->type_name("WxH");
  auto* scaleOpt = app.add_option("--scale", scale, "Percent of the first picture's size for --paper first; "
                                                    "default 100")
                       ->type_name("1-100");
  app.add_option("--margin", margin, "Margin in centimetres, 0 to 10; default 1")->type_name("CM");
  app.add_option("--position", position,
                 "Place on the page: top-left, top, top-right, left, center, right, bottom-left, bottom, "
                 "bottom-right; default center")
      ->type_name("POS");
  app.add_option("--compression", compression,
                 "none, rle, g4, g3, jpeg or lzw (rle, g4 and g3 apply to black-and-white pictures, jpeg to "
                 "colour ones); default jpeg")
      ->type_name("KIND");
  app.add_option("--quality", quality,
                 "Percent of a shrunk picture's excess pixels that it keeps, 0 to 100; default 20")
      ->type_name("0-100");
  app.add_option("--title", title, "Document title")->type_name("TEXT");
  app.add_option("--author", author, "Document author")->type_name("TEXT");
  app.add_option("--subject", subject, "Document subject")->type_name("TEXT");
  app.add_option("--keywords", keywords, "Document keywords")->type_name("TEXT");
  app.add_flag("--sort", sort, "Order the pictures by file name, ignoring letter case");
  app.add_flag("--info", info, "Show format, size and frames of each input instead of converting");
  app.add_flag("--list-formats", listFormats, "List the picture formats that can be read");
  app.add_flag("-q,--quiet", quiet, "Print nothing but warnings and errors");
  app.add_flag("-V,--version", version, "Show the version");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return exWritten;
  } catch (const CLI::ParseError& e) {
    std::cerr << kProgram << ": " << e.what() << "\nRun '" << kProgram << " --help' for more information.\n";
    return exUsage;
  }

  try {
    if (version) {
      std::cout << kProgram << ' ' << AppVersion << '\n';
      return exWritten;
    }
    if (listFormats) {
      PrintFormats();
      return exWritten;
    }
    if (inputs.empty()) throw TUsageError{"no input given"};

    TConvertOptions o;
    o.WriteEmptyDocument = false;
    if (!info) {
      if (outOpt->count() == 0 || output.empty()) throw TUsageError{"no output file given (-o OUT.pdf)"};
      std::optional<int> p = PaperIndexOf(paper);
      if (!p) throw TUsageError{"unknown paper \"" + paper + "\""};
      bool custom = *p == kCustomItem, first = *p == kFirstPictureItem;
      if (sizeOpt->count() && paperOpt->count() == 0) custom = true, *p = kCustomItem;
      if (scaleOpt->count() && paperOpt->count() == 0) first = true, *p = kFirstPictureItem;
      if (sizeOpt->count() && !custom) throw TUsageError{"--size goes with --paper custom"};
      if (scaleOpt->count() && !first) throw TUsageError{"--scale goes with --paper first"};
      if (landscape && (custom || first)) throw TUsageError{"--landscape goes with a named paper"};
      o.PaperIndex = *p;
      o.Landscape = landscape;
      if (custom && !size.empty() && !ParseSize(size, o.Width, o.Height))
        throw TUsageError{"--size wants WIDTHxHEIGHT in points, each 1 to 10000, not \"" + size + "\""};
      if (scale < 1 || scale > 100) throw TUsageError{"--scale must lie in 1 to 100"};
      if (!(margin >= 0 && margin <= 10)) throw TUsageError{"--margin must lie in 0 to 10 (centimetres)"};
      o.MarginCm = margin;
      std::optional<int> pos = PositionOf(position);
      if (!pos) throw TUsageError{"unknown position \"" + position + "\""};
      o.Position = *pos;
      std::optional<int> comp = CompressionOf(compression);
      if (!comp) throw TUsageError{"unknown compression \"" + compression + "\""};
      o.Compression = *comp;
      if (quality < 0 || quality > 100) throw TUsageError{"--quality must lie in 0 to 100"};
      o.Quality = quality;
      o.Title = title;
      o.Author = author;
      o.Subject = subject;
      o.Keywords = keywords;
      struct stat st;
      if (::stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw TUsageError{"the output \"" + output + "\" is a folder"};
    }

    if (!info) {
      // Say so before the work rather than after it.
      size_t slash = output.find_last_of('/');
      std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
      struct stat st;
      if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::cerr << kProgram << ": cannot write " << output << ": the folder " << folder << " does not exist\n";
        return exFailed;
      }
      // A read-only folder or file system; the save reports what this misses.
      if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        std::cerr << kProgram << ": cannot write " << output << ": the folder " << folder
                  << " is not writable: " << std::strerror(errno) << '\n';
        return exFailed;
      }
    }

    std::vector<std::string> names = ExpandInputs(inputs, sort);
    if (info) return PrintInfo(names);

    std::map<std::string, int> frames;
    std::vector<TImageEntry> entries = MakeEntries(names, frames);
    if (entries.empty()) {
      std::cerr << kProgram << ": no input could be read; nothing written\n";
      return exNothingRead;
    }

    if (o.PaperIndex == kFirstPictureItem) {
      // The window takes the first entry's full size; an entry that cannot be
      // read makes no page, so the first one that can gives the size.
      TEntryReader reader;
      TIEBitmap bitmap;
      bool found = false;
      for (const TImageEntry& e : entries) {
        if (reader.Read(e, bitmap)) {
          TPageSize s = FirstPictureSize(true, reader.FullWidth(), reader.FullHeight(), scale);
          o.Width = s.Width;
          o.Height = s.Height;
          found = true;
          break;
        }
      }
      if (!found) {
        for (const TImageEntry& e : entries)
          Warn(EntryName(e, frames), UnreadableReason(e.Path, "not a readable picture"));
        std::cerr << kProgram << ": no input could be read; nothing written\n";
        return exNothingRead;
      }
    }

    TCliHost host(output, !quiet && ::isatty(STDERR_FILENO), frames);
    TConvertResult r = RunConvertJob(entries, o, host, TMessageTexts::English());
    switch (r.Status) {
      case csWritten:
        if (!quiet)
          std::cout << "Wrote " << r.FileName << " (" << r.Pages << (r.Pages == 1 ? " page" : " pages") << ")\n";
        return exWritten;
      case csMarginsTooLarge:
        throw TUsageError{"the margin is too large for the page: at least 50 points of its shorter side must "
                          "remain"};
      case csNothingRead:
      case csEmptyList:
        std::cerr << kProgram << ": no input could be read; nothing written\n";
        return exNothingRead;
      case csCancelled:
      case csFailed:
        break;
    }
    std::cerr << kProgram << ": cannot write " << output << ": " << r.Error << "\n";
    return exFailed;
  } catch (const TUsageError& e) {
    std::cerr << kProgram << ": " << e.Message << "\nRun '" << kProgram << " --help' for more information.\n";
    return exUsage;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit should fail the save cleanly rather than kill us.
  ::signal(SIGXFSZ, SIG_IGN);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, OnFatalSignal);
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << '\n';
    return exFailed;
  }
}
