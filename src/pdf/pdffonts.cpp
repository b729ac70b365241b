#include "pdffonts.h"

#include <array>

#include "iepdfobjects.h"

namespace {

constexpr std::array<std::string_view, kIEStandardFontCount> kNames = {
    "Times-Roman",    "Times-Bold",          "Times-Italic",      "Times-BoldItalic",
    "Helvetica",      "Helvetica-Bold",      "Helvetica-Oblique", "Helvetica-BoldOblique",
    "Courier",        "Courier-Bold",        "Courier-Oblique",   "Courier-BoldOblique",
    "Symbol",         "ZapfDingbats",
};

constexpr int kHelvetica = 4;

bool ContainsUpper(std::string_view name, std::string_view word) {
  if (word.size() > name.size()) return false;
  for (size_t i = 0; i + word.size() <= name.size(); ++i) {
    size_t k = 0;
    for (; k < word.size(); ++k) {
      char c = name[i + k];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != word[k]) break;
    }
    if (k == word.size()) return true;
  }
  return false;
}

}  // namespace

std::string_view IEStandardFontName(int index) {
  if (index < 0 || index >= kIEStandardFontCount) return {};
  return kNames[static_cast<size_t>(index)];
}

int IEStandardFontIndex(std::string_view name) {
  for (int i = 0; i < kIEStandardFontCount; ++i)
    if (kNames[static_cast<size_t>(i)] == name) return i;
  return -1;
}

std::string IEMapToStandardFont(std::string_view name, bool bold, bool italic) {
  // Within a family the faces follow the order regular, bold, italic,
  // bold italic.
  int style = (bold ? 1 : 0) + (italic ? 2 : 0);
  int family;
  if (ContainsUpper(name, "ROMAN")) family = 0;
  else if (ContainsUpper(name, "SYMBOL")) return "Symbol";
  else if (ContainsUpper(name, "COURIER")) family = 8;
  else family = kHelvetica;
  return std::string(kNames[static_cast<size_t>(family + style)]);
}

TIEPDFDictionaryObject* IENewFontResource(std::string_view baseFont) {
  auto* font = new TIEPDFDictionaryObject();
  font->Add("Type", new TIEPDFNameObject("Font"));
  font->Add("Subtype", new TIEPDFNameObject("Type1"));
  font->Add("BaseFont", new TIEPDFNameObject(std::string(baseFont)));
  // Symbol and ZapfDingbats have no glyphs under the Windows ANSI names, so
  // readers would draw nothing; they keep their built-in encodings.
  if (baseFont != "Symbol" && baseFont != "ZapfDingbats")
    font->Add("Encoding", new TIEPDFNameObject("WinAnsiEncoding"));
  return font;
}

double IETextWidth(int fontIndex, std::string_view text, double size) {
  if (fontIndex < 0 || fontIndex >= kIEStandardFontCount) fontIndex = kHelvetica;
  const uint16_t* widths = kIEStandardFontWidths[fontIndex];
  int64_t total = 0;  // thousandths of the size
  for (char c : text) {
    int code = static_cast<unsigned char>(c);
    if (code >= kIEFontFirstCode) total += widths[code - kIEFontFirstCode];
  }
  return static_cast<double>(total) * size / 1000.0;
}

TIETextExtent IEMeasureText(const TIEFont& font, std::string_view text, double pixelHeight) {
  TIETextExtent extent;
  extent.Width = IETextWidth(IEStandardFontIndex(IEMapToStandardFont(font)), text, pixelHeight);
  extent.Height = pixelHeight;
  return extent;
}
