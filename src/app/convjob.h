// The conversion job: the listed pictures and the page options become one PDF
// document, one page per readable picture. It runs on the caller's thread and
// reaches the user only through a host (the window, or the command line).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "apptexts.h"
#include "imagelist.h"
#include "pagegeom.h"

class TIEStream;

enum TMessageIcon : uint8_t { miInformation, miError };

// What a message of the job is about, so that a host can word it its own way.
enum TJobMessageKind : uint8_t {
  jmEmptyList,         // nothing listed
  jmMarginsTooLarge,   // the margins leave no room
  jmWritten,           // the document was written
  jmFailed,            // the job ended with an error; nothing was written
};

struct TJobMessage {
  TJobMessageKind Kind = jmWritten;
  std::string Text;     // as the window shows it
  std::string Caption;
  TMessageIcon Icon = miInformation;
  std::string Detail;   // jmFailed: the reason (the error's own text)
};

// Why an entry made no page.
enum TSkipReason : uint8_t {
  srMissing,     // no file exists under the entry's path any more
  srUnreadable,  // the file is not a picture we can read, or it is damaged
};

// What the window (or the command line) provides to a job. Calls come in
// this order: ChooseOutputFile; then, when a name was chosen, BeginProgress,
// StepProgress for each entry (and EntrySkipped for an entry that made no
// page), EndProgress, and one ShowMessage for the outcome.
class TConvertHost {
public:
  virtual ~TConvertHost() = default;
  // The save dialog (title MS_SaveAs, PDF files, overwrite confirmation).
  // False when the user cancels.
  virtual bool ChooseOutputFile(const std::string& title, std::string& fileName) = 0;
  virtual void ShowMessage(const TJobMessage& message) = 0;
  // Shows the progress display for `total` entries and disables what could
  // start another job or change the list.
  virtual void BeginProgress(int total, const std::string& caption) = 0;
  // Entry `done` (1-based) of `total` is about to be read.
  virtual void StepProgress(int done, int total, const TImageEntry& entry) = 0;
  // Hides the progress display; called in every case once BeginProgress was.
  virtual void EndProgress() = 0;
  // Lets the event loop handle what is pending. An exception thrown here
  // ends the job like any other failure (nothing is written).
  virtual void ProcessEvents() {}
  // The window skips silently; the command line names the input.
  virtual void EntrySkipped(const TImageEntry& /*entry*/, TSkipReason /*reason*/) {}
};

// The page options as plain values, with the window's defaults.
struct TConvertOptions {
  int PaperIndex = 4;                   // item of the paper-size list (4 = A4)
  int PaperItemCount = kPaperItemCount; // items in that list: first picture and custom are the last two
  bool Landscape = false;
  int32_t Width = 595, Height = 842;    // width and height fields, points (custom and first picture)
  double MarginCm = 1.0;
  int Position = kDefaultPosition;      // 0..8, row * 3 + column
  int Compression = 4;                  // item of the compression list, 0..5 (4 = JPEG)
  int Quality = 20;                     // percent of the excess pixels kept, 0..100
  std::string Title, Author, Subject, Keywords;  // UTF-8
  // When every entry is skipped: write a document without pages (the
  // window) or write nothing and report csNothingRead (the command line).
  bool WriteEmptyDocument = true;
};

enum TConvertStatus : uint8_t {
  csWritten,
  csEmptyList,
  csMarginsTooLarge,
  csCancelled,
  csNothingRead,  // no entry could be read and WriteEmptyDocument is off
  csFailed,
};

struct TConvertResult {
  TConvertStatus Status = csFailed;
  std::string FileName;  // the chosen output name
  int Pages = 0;         // pages written
  int Skipped = 0;       // entries that made no page
  std::string Error;     // csFailed: the reason
};

// Runs one conversion of `entries` in list order. The texts give the messages
// (the window's current language, or the English set).
TConvertResult RunConvertJob(const std::vector<TImageEntry>& entries, const TConvertOptions& options,
                             TConvertHost& host, const TMessageTexts& texts = TMessageTexts());

// The compression handed to the PDF writer for an item of the compression
// list; an index outside 0..5 falls back to JPEG, the list's default.
int CompressionOfItem(int itemIndex);

// Every character replaced by the one whose code is one less (0 becomes 255).
std::string Unscramble(std::string_view text);

// The creator entry of every document this system writes.
std::string CreatorText();

// A document information text as the PDF writer wants it: plain ASCII stays
// as it is; anything else becomes a PDF text string in UTF-16BE with its byte
// order mark. Input is UTF-8; invalid sequences become U+FFFD.
std::string PdfTextString(std::string_view utf8);

// Writes a file through `write` under a temporary name in the target's folder
// and renames it over the target only after the save is complete and on disk.
// On any failure the temporary file is removed, an existing file of that name
// is left as it was, and the error passes on (EIEException "Cannot create file
// "<name>". <reason>" when the file cannot be made). A symbolic link as
// target is followed: the file it points to is replaced, the link stays. A
// replaced file keeps its permission bits.
void SaveFileSafely(const std::string& target, const std::function<void(TIEStream&)>& write);

// The temporary name SaveFileSafely is writing right now ("" when none), so
// that a signal handler can remove it before the process dies. Safe to call
// from a signal handler.
const char* SaveInProgressTempName();
