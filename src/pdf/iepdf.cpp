#include "iepdf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <numbers>
#include <random>

#include "iecore.h"
#include "iestream.h"

namespace {

// The ten digits of a cross-reference entry.
constexpr int64_t kMaxXrefOffset = 9'999'999'999;

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendZeroPadded(std::string& out, int64_t v, int width) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  for (auto n = r.ptr - buf; n < width; ++n) out += '0';
  out.append(buf, r.ptr);
}

// Days from 1970-01-01 to a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

// Day 0 of a date-time value, 1899-12-30, counted from 1970-01-01.
constexpr int64_t kDateDelta = -25569;

std::string FormatDate(int64_t y, int mo, int d, int h, int mi, int s) {
  std::string out = "D:";
  AppendZeroPadded(out, y, 4);
  AppendZeroPadded(out, mo, 2);
  AppendZeroPadded(out, d, 2);
  AppendZeroPadded(out, h, 2);
  AppendZeroPadded(out, mi, 2);
  AppendZeroPadded(out, s, 2);
  return out;
}

std::string LocalNowText() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return FormatDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

TIEPDFDocumentId RandomId() {
  std::random_device rd;
  TIEPDFDocumentId id{};
  for (size_t i = 0; i < id.size(); i += 4) {
    uint32_t v = rd();
    for (size_t k = 0; k < 4; ++k) id[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  return id;
}

std::string IdText(const TIEPDFDocumentId& id) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "<";
  for (uint8_t b : id) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out + ">";
}

TIEPDFDictionaryObject& SubDictionary(const TIEPDFDictionaryObject& parent, std::string_view key) {
  auto* d = dynamic_cast<TIEPDFDictionaryObject*>(parent.Find(key));
  if (!d) throw EIEException("Resources have no " + std::string(key) + " dictionary");
  return *d;
}

std::string SystemReason(int err) { return std::strerror(err); }

}  // namespace

TIEPDFDateTime IEEncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
  double days = static_cast<double>(DaysFromCivil(year, month, day) - kDateDelta);
  return days + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

std::string IEFormatPdfDate(TIEPDFDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > 1e9) return LocalNowText();
  // Whole days count from the date; the fraction is the time of day on
  // either side of day 0, to the nearest millisecond.
  double whole = std::trunc(value);
  auto days = static_cast<int64_t>(whole);
  auto ms = static_cast<int64_t>(std::nearbyint(std::fabs(value - whole) * 86400000.0));
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  int64_t y;
  int mo, d;
  CivilFromDays(days + kDateDelta, y, mo, d);
  int64_t secs = ms / 1000;
  return FormatDate(y, mo, d, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                    static_cast<int>(secs % 60));
}

TIEPDFDateTime IENow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return IEEncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// ---------------------------------------------------------------------------
// Construction

TIEPDFBuilder::TIEPDFBuilder() {
  catalog_ = std::make_unique<TIEPDFDictionaryObject>();
  catalog_->Add("Type", new TIEPDFNameObject("Catalog"));

  resources_ = std::make_unique<TIEPDFDictionaryObject>();
  resources_->Shared = true;
  auto* procSet = new TIEPDFArrayObject;
  resources_->Add("ProcSet", procSet);
  procSet->Add(new TIEPDFNameObject("PDF"));
  procSet->Add(new TIEPDFNameObject("ImageB"));
  resources_->Add("XObject", new TIEPDFDictionaryObject);
  resources_->Add("Font", new TIEPDFDictionaryObject);
  resources_->Add("ExtGState", new TIEPDFDictionaryObject);

  info_ = std::make_unique<TIEPDFDictionaryObject>();

  RegisterObject(catalog_.get());
  RegisterObject(resources_.get());
  RegisterObject(info_.get());
}

TIEPDFBuilder::~TIEPDFBuilder() = default;

void TIEPDFBuilder::RegisterObject(TIEPDFObject* object) {
  objects_.push_back(object);
  object->ObjectNumber = static_cast<int32_t>(objects_.size());
}

int TIEPDFBuilder::AddPage(int32_t width, int32_t height) {
  auto content = std::make_unique<TIEPDFStreamObject>();
  auto page = std::make_unique<TIEPDFDictionaryObject>();
  auto* box = new TIEPDFArrayObject;
  page->Add("Type", new TIEPDFNameObject("Page"));
  page->Add("Resources", new TIEPDFRefObject(resources_->ObjectNumber));
  page->Add("MediaBox", box);
  box->Add(new TIEPDFIntegerObject(0));
  box->Add(new TIEPDFIntegerObject(0));
  box->Add(new TIEPDFIntegerObject(width));
  box->Add(new TIEPDFIntegerObject(height));

  // Reserve first so that nothing below throws: a registered object must
  // always sit in one of the owning lists.
  objects_.reserve(objects_.size() + 2);
  contents_.reserve(contents_.size() + 1);
  pages_.reserve(pages_.size() + 1);
  pageSizes_.reserve(pageSizes_.size() + 1);

  RegisterObject(content.get());
  page->Add("Contents", new TIEPDFRefObject(content->ObjectNumber));  // may throw: not yet registered
  contents_.push_back(std::move(content));
  RegisterObject(page.get());
  pages_.push_back(std::move(page));
  pageSizes_.emplace_back(width, height);
  currentPage_ = static_cast<int>(pages_.size()) - 1;
  return currentPage_;
}

void TIEPDFBuilder::AppendPageContent(int pageIndex, std::string_view text) {
  if (pageIndex < 0 || pageIndex >= PageCount()) throw EIEException("No page " + std::to_string(pageIndex));
  contents_[static_cast<size_t>(pageIndex)]->AppendData(text);
}

double TIEPDFBuilder::PageToPdfY(int pageIndex, double y) const {
  if (pageIndex < 0 || pageIndex >= PageCount()) throw EIEException("No page " + std::to_string(pageIndex));
  return pageSizes_[static_cast<size_t>(pageIndex)].second - y;
}

int TIEPDFBuilder::AddImageObject(std::unique_ptr<TIEPDFStreamObject> image) {
  objects_.reserve(objects_.size() + 1);
  images_.reserve(images_.size() + 1);
  TIEPDFStreamObject* p = image.get();
  RegisterObject(p);
  images_.push_back(std::move(image));
  p->MoveDataToTempFile();
  return static_cast<int>(images_.size()) - 1;
}

TIEPDFDictionaryObject& TIEPDFBuilder::XObjectResources() const { return SubDictionary(*resources_, "XObject"); }
TIEPDFDictionaryObject& TIEPDFBuilder::FontResources() const { return SubDictionary(*resources_, "Font"); }
TIEPDFDictionaryObject& TIEPDFBuilder::ExtGStateResources() const { return SubDictionary(*resources_, "ExtGState"); }

// ---------------------------------------------------------------------------
// Graphics states

std::string TIEPDFBuilder::AlphaState(double alpha, bool fill) {
  double scaled = alpha * 255.0;
  int level = 0;
  if (scaled >= 255.0) level = 255;
  else if (scaled > 0.0) level = static_cast<int>(scaled);  // truncates; NaN stays 0
  std::string name = fill ? "GSF" : "GSS";
  AppendInt(name, level);
  bool& used = (fill ? fillAlphaUsed_ : strokeAlphaUsed_)[static_cast<size_t>(level)];
  if (!used) {
    auto* state = new TIEPDFDictionaryObject;
    ExtGStateResources().Add(name, state);
    state->Add(fill ? "ca" : "CA", new TIEPDFRealObject(alpha));
    used = true;
  }
  return name;
}

std::string TIEPDFBuilder::FillAlphaState(double alpha) { return AlphaState(alpha, true); }
std::string TIEPDFBuilder::StrokeAlphaState(double alpha) { return AlphaState(alpha, false); }

// ---------------------------------------------------------------------------
// Content operators

namespace {

void Reals(std::string& s, std::initializer_list<double> values) {
  bool first = true;
  for (double v : values) {
    if (!first) s += ' ';
    IEAppendFixed2(s, v);
    first = false;
  }
}

}  // namespace

void TIEPDFBuilder::SaveGraphicsState(std::string& s) { s += "\nq"; }
void TIEPDFBuilder::RestoreGraphicsState(std::string& s) { s += "\nQ"; }

void TIEPDFBuilder::Translate(std::string& s, double tx, double ty) {
  s += "\n1. 0. 0. 1. ";
  Reals(s, {tx, ty});
  s += " cm";
}

void TIEPDFBuilder::Scale(std::string& s, double sx, double sy) {
  s += '\n';
  IEAppendFixed2(s, sx);
  s += " 0. 0. ";
  IEAppendFixed2(s, sy);
  s += " 0. 0. cm";
}

void TIEPDFBuilder::Rotate(std::string& s, double angle) {
  if (angle == 0) return;
  double a = angle * std::numbers::pi / 180.0;
  double c = std::cos(a), si = std::sin(a);
  s += '\n';
  Reals(s, {c, si, -si, c});
  s += " 0 0 cm";
}

void TIEPDFBuilder::SetFillAlpha(std::string& s, double alpha) {
  s += "\n/" + FillAlphaState(alpha) + " gs";
}

void TIEPDFBuilder::SetStrokeAlpha(std::string& s, double alpha) {
  s += "\n/" + StrokeAlphaState(alpha) + " gs";
}

void TIEPDFBuilder::PaintXObject(std::string& s, std::string_view name) {
  s += "\n/";
  s += name;
  s += " Do";
}

namespace {

void ColorOperator(std::string& s, TIEColor color, const char* op) {
  s += '\n';
  Reals(s, {(color & 0xFF) / 255.0, ((color >> 8) & 0xFF) / 255.0, ((color >> 16) & 0xFF) / 255.0});
  s += op;
}

}  // namespace

void TIEPDFBuilder::SetFillColor(std::string& s, TIEColor color) { ColorOperator(s, color, " rg"); }
void TIEPDFBuilder::SetStrokeColor(std::string& s, TIEColor color) { ColorOperator(s, color, " RG"); }

void TIEPDFBuilder::SetLineWidth(std::string& s, double width) {
  s += '\n';
  IEAppendFixed2(s, width);
  s += " w";
}

void TIEPDFBuilder::SetLineCap(std::string& s, int cap) {
  s += '\n';
  AppendInt(s, cap);
  s += " J";
}

void TIEPDFBuilder::MoveTo(std::string& s, double x, double y) {
  s += '\n';
  Reals(s, {x, y});
  s += " m";
}

void TIEPDFBuilder::Polyline(std::string& s, std::span<const TIEDPoint> points, int lastIndex) {
  int64_t last = std::min<int64_t>(lastIndex, static_cast<int64_t>(points.size()) - 1);
  for (int64_t i = 0; i <= last; ++i) {
    if (i == 0) s += '\n';
    Reals(s, {points[static_cast<size_t>(i)].X, points[static_cast<size_t>(i)].Y});
    s += i == 0 ? " m " : " l ";
  }
}

void TIEPDFBuilder::CurveTo(std::string& s, double x1, double y1, double x2, double y2, double x3, double y3) {
  s += '\n';
  Reals(s, {x1, y1, x2, y2, x3, y3});
  s += " c";
}

void TIEPDFBuilder::ClosePath(std::string& s) { s += "\nh"; }
void TIEPDFBuilder::StrokePath(std::string& s) { s += "\nS"; }
void TIEPDFBuilder::FillAndStrokePath(std::string& s) { s += "\nB"; }

void TIEPDFBuilder::ShowText(std::string& s, int fontIndex, double size, int renderMode, std::string_view text) {
  s += "\nBT\n/F";
  AppendInt(s, fontIndex);
  s += ' ';
  IEAppendFixed2(s, size);
  s += " Tf\n";
  AppendInt(s, renderMode);
  s += " Tr\n(";
  s += IEEscapeString(text);
  s += ") Tj\nET";
}

// ---------------------------------------------------------------------------
// Saving

void TIEPDFBuilder::AddInformation(const std::string& title, const std::string& author,
                                   const std::string& subject, const std::string& keywords,
                                   const std::string& creator, const std::string& producer,
                                   TIEPDFDateTime creationDate) {
  // The page tree, the Parent links and these entries are added once.
  if (pageTree_) throw EIEException("The PDF document has already been saved");
  const std::pair<const char*, const std::string*> texts[] = {
      {"Title", &title},       {"Author", &author},   {"Subject", &subject},
      {"Keywords", &keywords}, {"Creator", &creator}, {"Producer", &producer},
  };
  for (auto& [key, text] : texts)
    if (!text->empty()) info_->Add(key, new TIEPDFStringObject(*text));
  info_->Add("CreationDate",
             new TIEPDFStringObject(creationDate == 0 ? LocalNowText() : IEFormatPdfDate(creationDate)));

  objects_.reserve(objects_.size() + 1);
  pageTree_ = std::make_unique<TIEPDFDictionaryObject>();
  RegisterObject(pageTree_.get());
}

void TIEPDFBuilder::WriteDocument(TIEStream& stream) {
  // Page tree (registered last of all by AddInformation).
  TIEPDFDictionaryObject& tree = *pageTree_;
  const int32_t treeNumber = tree.ObjectNumber;
  tree.Add("Type", new TIEPDFNameObject("Pages"));
  auto* kids = new TIEPDFArrayObject;
  tree.Add("Kids", kids);
  for (auto& page : pages_) {
    kids->Add(new TIEPDFRefObject(page->ObjectNumber));
    page->Add("Parent", new TIEPDFRefObject(treeNumber));
  }
  tree.Add("Count", new TIEPDFIntegerObject(static_cast<int64_t>(pages_.size())));
  catalog_->Add("Pages", new TIEPDFRefObject(treeNumber));

  stream.WriteString("%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");

  std::string head;
  for (TIEPDFObject* object : objects_) {
    int64_t at = stream.Position();
    if (at > kMaxXrefOffset)
      throw EIEException("The PDF document is too large: object " + std::to_string(object->ObjectNumber) +
                         " would start at byte " + std::to_string(at) +
                         ", beyond the 9999999999 that a cross-reference entry can hold");
    head.clear();
    AppendInt(head, object->ObjectNumber);
    head += " 0 obj\n";
    stream.WriteString(head);
    object->WriteTo(stream);
    stream.WriteString("\nendobj\n");
    object->Offset = at;
  }

  const int64_t xrefAt = stream.Position();
  const int64_t size = static_cast<int64_t>(objects_.size()) + 1;
  std::string text = "xref\n0 ";
  AppendInt(text, size);
  text += "\n0000000000 65535 f \n";
  for (TIEPDFObject* object : objects_) {
    AppendZeroPadded(text, object->Offset, 10);
    text += " 00000 n \n";
    if (text.size() >= 1 << 16) {
      stream.WriteString(text);
      text.clear();
    }
  }
  std::string id = IdText(idSource_ ? idSource_() : RandomId());
  text += "trailer\n<< /Size ";
  AppendInt(text, size);
  text += "\n/Root ";
  AppendInt(text, catalog_->ObjectNumber);
  text += " 0 R\n/Info ";
  AppendInt(text, info_->ObjectNumber);
  text += " 0 R\n/ID [" + id + " " + id + "]>>\nstartxref\n";
  AppendInt(text, xrefAt);
  text += "\n%%EOF\n";
  stream.WriteString(text);
}

void TIEPDFBuilder::SaveToStream(TIEStream& stream, const std::string& title, const std::string& author,
                                 const std::string& subject, const std::string& keywords,
                                 const std::string& creator, const std::string& producer,
                                 TIEPDFDateTime creationDate) {
  AddInformation(title, author, subject, keywords, creator, producer, creationDate);
  WriteDocument(stream);
}

namespace {

// The output file of a save: a fresh file beside the target that replaces it
// on Commit, or, for targets that cannot be replaced by renaming (devices,
// pipes, symbolic links), the target itself opened for writing.
class TOutputFile {
public:
  explicit TOutputFile(const std::string& fileName) : target_(fileName) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(fileName, ec);
    expanded_ = ec ? fileName : full.string();

    struct stat st {};
    bool replace = ::lstat(fileName.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    int fd = -1;
    if (replace) {
      std::filesystem::path p(fileName);
      std::string base = p.filename().string();
      std::string dir = p.has_parent_path() ? p.parent_path().string() + "/" : std::string();
      std::random_device rd;
      for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x~", static_cast<unsigned>(rd()));
        temp_ = dir + "." + base + suffix;
        fd = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
      }
    } else {
      fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (fd < 0) Fail(errno);
    if (!replace) temp_.clear();
    try {
      file_ = std::make_unique<TIEFileStream>(fd, temp_.empty() ? fileName : temp_);
    } catch (...) {
      ::close(fd);
      if (!temp_.empty()) ::unlink(temp_.c_str());
      throw;
    }
  }

  ~TOutputFile() {
    file_.reset();  // closes without reporting
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  TIEStream& Stream() { return *file_; }

  void Commit() {
    file_->Close(!temp_.empty());
    if (temp_.empty()) return;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) Fail(errno);
    temp_.clear();
  }

private:
  [[noreturn]] void Fail(int err) {
    throw EIEException("Cannot create file \"" + expanded_ + "\". " + SystemReason(err));
  }

  std::string target_, expanded_, temp_;
  std::unique_ptr<TIEFileStream> file_;
};

}  // namespace

void TIEPDFBuilder::SaveToFile(const std::string& fileName, const std::string& title, const std::string& author,
                               const std::string& subject, const std::string& keywords,
                               const std::string& creator, const std::string& producer,
                               TIEPDFDateTime creationDate) {
  // The file first: a builder whose file cannot be made may try another name.
  TOutputFile out(fileName);
  AddInformation(title, author, subject, keywords, creator, producer, creationDate);
  WriteDocument(out.Stream());
  out.Commit();
}
