// Message texts of the application, keyed by their MS_... names. The window
// starts from the built-in (Chinese) defaults, which a language file may
// replace key by key; the command line uses the English set.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Table order is the order a language file's "Messages" section is read in.
enum TMessageId : uint8_t {
  msProcessing,  // progress caption while converting
  msOpening,     // progress caption while files are added
  msInfo,        // caption of information and confirmation boxes
  msError,       // caption of the conversion failure box
  msVer,         // version label; "%1" becomes the version
  msSelImage,    // title of the open dialog
  msSaveAs,      // title of the save dialog
  msTotal,       // status line; "%1" becomes the entry count
  msTip1,        // status line when the list is empty
  msTip2,        // status line when the list has entries
  msTip4,        // convert with an empty list
  msTip5,        // conversion failure
  msTip6,        // confirmation of emptying the list
  msTip7,        // confirmation of removing the selection
  msTip8,        // failed margin check
  msCustom,      // last item of the paper-size list
  msFirstPic,    // second-to-last item of the paper-size list
  msCount
};

struct TMessageEntry {
  const char* Key;      // "MS_Processing", ...
  const char* BuiltIn;  // the window's default
  const char* English;  // the command line's text
};

// The row of a message; id must be below msCount.
const TMessageEntry& MessageEntry(TMessageId id);
// The id of a key (exact comparison), or msCount when there is none.
TMessageId MessageIdOfKey(std::string_view key);

class TMessageTexts {
public:
  // The built-in defaults.
  TMessageTexts();
  // The English set.
  static TMessageTexts English();

  const std::string& Text(TMessageId id) const { return texts_.at(id); }
  const std::string& operator[](TMessageId id) const { return texts_.at(id); }
  void SetText(TMessageId id, std::string text) { texts_.at(id) = std::move(text); }
  // False when no message has that key.
  bool SetByKey(std::string_view key, std::string text);

private:
  std::array<std::string, msCount> texts_;
};

// The two texts of the success box. They are fixed: no language replaces
// them. The box shows the file name, CR LF, then SuccessText.
extern const char* const SuccessText;     // "PDF文件创建成功。"
extern const char* const SuccessCaption;  // "提示"

// The version the window's label and the command line show.
extern const char* const AppVersion;
