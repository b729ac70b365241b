#include "convjob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <random>

#include "iebitmap.h"
#include "iecore.h"
#include "ieformats.h"
#include "iepdf.h"
#include "iestream.h"

// --- Small helpers -----------------------------------------------------------

int CompressionOfItem(int itemIndex) { return itemIndex >= 0 && itemIndex <= 5 ? itemIndex : 4; }

std::string Unscramble(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(static_cast<uint8_t>(c) - 1);
  return out;
}

namespace {

// "Velmora Image to PDF 1.0", each character one code higher.
constexpr char kScrambledCreator[] = "Wfmnpsb!Jnbhf!up!QEG!2/1";

}  // namespace

std::string CreatorText() { return Unscramble(kScrambledCreator); }

std::string PdfTextString(std::string_view utf8) {
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; }))
    return std::string(utf8);
  std::string out = "\xFE\xFF";
  auto put16 = [&out](uint32_t u) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  };
  size_t i = 0;
  while (i < utf8.size()) {
    auto b = static_cast<uint8_t>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else {
      size_t need = (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
      if (need && i + need <= utf8.size()) {
        uint32_t c = b & (0x7F >> need);
        bool ok = true;
        for (size_t k = 1; k < need && ok; ++k) {
          auto t = static_cast<uint8_t>(utf8[i + k]);
          ok = (t & 0xC0) == 0x80;
          c = (c << 6) | (t & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        if (ok && c >= kMin[need] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)) {
          cp = c;
          len = need;
        }
      }
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put16(0xD800 | (cp >> 10));
      put16(0xDC00 | (cp & 0x3FF));
    } else {
      put16(cp);
    }
  }
  return out;
}

// --- Saving beside the target ------------------------------------------------

namespace {

// Read by a signal handler: the name is complete whenever the flag is set.
char gTempName[PATH_MAX + 1];
std::atomic<bool> gTempNameSet{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void RecordTempName(const std::string& name) {
  if (name.size() > PATH_MAX) return;
  std::memcpy(gTempName, name.c_str(), name.size() + 1);
  gTempNameSet.store(true);
}

void ForgetTempName() { gTempNameSet.store(false); }

[[noreturn]] void CannotCreate(const std::string& name, int err) {
  throw EIEException("Cannot create file \"" + name + "\". " + std::strerror(err));
}

// The part of a file name that the temporary name repeats: at most 200
// bytes, cut at a character boundary, so the name stays within NAME_MAX.
std::string TempStem(const std::string& base) {
  if (base.size() <= 200) return base;
  size_t n = 200;
  while (n > 0 && (static_cast<uint8_t>(base[n]) & 0xC0) == 0x80) --n;
  return base.substr(0, n);
}

}  // namespace

const char* SaveInProgressTempName() { return gTempNameSet.load() ? gTempName : ""; }

void SaveFileSafely(const std::string& target, const std::function<void(TIEStream&)>& write) {
  if (target.empty()) throw EIEException("Cannot create file \"\". No file name was given.");
  std::string path = target;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      path = real;
      std::free(real);
    }
  }
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) CannotCreate(target, EISDIR);

  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) CannotCreate(target, EISDIR);

  std::random_device rd;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08X.tmp", static_cast<unsigned>(rd()));
    temp = folder + "." + TempStem(base) + suffix;
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt >= 100)) CannotCreate(target, errno);
  }
  RecordTempName(temp);
  if (exists) {
    // Replacing a file should not change who may read it. Best effort: only
    // the owner or root may hand the file over.
    ::fchmod(fd, st.st_mode & 07777);
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Keeps our ownership; the permission bits above still apply.
    }
  }
  try {
    // Errors of the stream name the target, which is what the user chose.
    TIEFileStream stream(fd, target);
    write(stream);
    stream.Close(true);
    if (::rename(temp.c_str(), path.c_str()) != 0) CannotCreate(target, errno);
  } catch (...) {
    ::unlink(temp.c_str());
    ForgetTempName();
    throw;
  }
  ForgetTempName();
  // Make the new directory entry durable too; failure changes nothing we
  // could still undo.
  int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

// --- The job -----------------------------------------------------------------

namespace {

// Calls EndProgress however the loop is left.
class TProgressScope {
public:
  TProgressScope(TConvertHost& host, int total, const std::string& caption) : host_(host) {
    host_.BeginProgress(total, caption);
  }
  ~TProgressScope() { host_.EndProgress(); }
  TProgressScope(const TProgressScope&) = delete;
  TProgressScope& operator=(const TProgressScope&) = delete;

private:
  TConvertHost& host_;
};

void ShowMessage(TConvertHost& host, TJobMessageKind kind, std::string text, std::string caption,
                 TMessageIcon icon, std::string detail = std::string()) {
  TJobMessage m;
  m.Kind = kind;
  m.Text = std::move(text);
  m.Caption = std::move(caption);
  m.Icon = icon;
  m.Detail = std::move(detail);
  host.ShowMessage(m);
}

// The pixel size the picture is embedded at, from its full upright size.
struct TPlacement {
  TImagePlace Place;
  TPageSize Pixels;  // equal to the placed size when no resampling is needed
};

TPlacement PlacePicture(int32_t pageW, int32_t pageH, int32_t margin, int32_t w, int32_t h,
                        int position, int quality) {
  TPlacement p;
  p.Place = FitImageOnPage(pageW, pageH, margin, w, h, position);
  if (w != p.Place.Width || h != p.Place.Height)
    p.Pixels = ResampleSize(w, h, p.Place.Width, p.Place.Height, quality);
  else
    p.Pixels = {w, h};
  return p;
}

// The steps after the save dialog. Every working object lives in this scope,
// so they are freed before the caller shows the outcome.
void Convert(const std::vector<TImageEntry>& entries, const TConvertOptions& o, TConvertHost& host,
             const std::string& fileName, TConvertResult& result) {
  const int n = static_cast<int>(entries.size());
  TEntryReader reader;
  TIEBitmap bitmap;
  TIEPDFBuilder builder;

  const TPageSize page = PageSize(o.PaperIndex, o.Landscape, o.Width, o.Height, o.PaperItemCount);
  const int32_t margin = MarginPoints(o.MarginCm);
  const int quality = std::clamp(o.Quality, 0, 100);
  const auto compression = static_cast<TPdfCompression>(CompressionOfItem(o.Compression));

  // The full size decides the place; the decoder may stop at the resample
  // size, which is all the page will carry.
  auto needed = [&](int32_t w, int32_t h) {
    TPlacement p = PlacePicture(page.Width, page.Height, margin, w, h, o.Position, quality);
    return std::pair<int32_t, int32_t>(p.Pixels.Width, p.Pixels.Height);
  };

  for (int i = 0; i < n; ++i) {
    const TImageEntry& entry = entries[i];
    host.StepProgress(i + 1, n, entry);
    host.ProcessEvents();
    if (!ImageFileExists(entry.Path)) {
      ++result.Skipped;
      host.EntrySkipped(entry, srMissing);
      continue;
    }
    if (!reader.Read(entry, bitmap, needed)) {
      ++result.Skipped;
      host.EntrySkipped(entry, srUnreadable);
      continue;
    }
    builder.AddPage(page.Width, page.Height);
    TPlacement p = PlacePicture(page.Width, page.Height, margin, reader.FullWidth(), reader.FullHeight(),
                                o.Position, quality);
    if (bitmap.Width() != p.Pixels.Width || bitmap.Height() != p.Pixels.Height) {
      if (!bitmap.Resample(p.Pixels.Width, p.Pixels.Height, rfLanczos3, false, false))
        throw EIEException("Cannot scale \"" + entry.Path + "\" to " + std::to_string(p.Pixels.Width) +
                           " x " + std::to_string(p.Pixels.Height) + " pixels.");
    }
    builder.AddImage(p.Place.Width, p.Place.Height, p.Place.X, p.Place.Y, bitmap, 0.0, 1.0, compression);
    ++result.Pages;
  }

  if (result.Pages == 0 && !o.WriteEmptyDocument) {
    result.Status = csNothingRead;
    return;
  }
  const std::string title = PdfTextString(o.Title), author = PdfTextString(o.Author),
                    subject = PdfTextString(o.Subject), keywords = PdfTextString(o.Keywords),
                    creator = CreatorText();
  SaveFileSafely(fileName, [&](TIEStream& stream) {
    builder.SaveToStream(stream, title, author, subject, keywords, creator, std::string(), 0.0);
  });
  result.Status = csWritten;
}

}  // namespace

TConvertResult RunConvertJob(const std::vector<TImageEntry>& entries, const TConvertOptions& options,
                             TConvertHost& host, const TMessageTexts& texts) {
  IEInitializeImageIO();  // the writer's LZW routine comes from the codec slots
  TConvertResult result;
  if (entries.empty()) {
    result.Status = csEmptyList;
    ShowMessage(host, jmEmptyList, texts[msTip4], texts[msInfo], miInformation);
    return result;
  }
  if (!MarginsFit(options.PaperIndex, options.Landscape, options.Width, options.Height, options.MarginCm,
                  options.PaperItemCount)) {
    result.Status = csMarginsTooLarge;
    ShowMessage(host, jmMarginsTooLarge, texts[msTip8], texts[msInfo], miInformation);
    return result;
  }
  std::string fileName;
  if (!host.ChooseOutputFile(texts[msSaveAs], fileName)) {
    result.Status = csCancelled;
    return result;
  }
  result.FileName = fileName;

  bool failed = true;
  try {
    TProgressScope progress(host, static_cast<int>(entries.size()), texts[msProcessing]);
    host.ProcessEvents();
    Convert(entries, options, host, fileName, result);
    failed = false;
  } catch (const std::bad_alloc&) {
    result.Error = "Out of memory.";
  } catch (const std::exception& e) {
    result.Error = e.what();
  } catch (...) {
  }
  if (failed) {
    if (result.Error.empty()) result.Error = "Unknown error.";
    result.Status = csFailed;
    ShowMessage(host, jmFailed, texts[msTip5], texts[msError], miError, result.Error);
  } else if (result.Status == csWritten) {
    ShowMessage(host, jmWritten, fileName + "\r\n" + SuccessText, SuccessCaption, miInformation);
  }
  return result;
}
