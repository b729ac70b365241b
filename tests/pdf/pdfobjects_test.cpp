#include "iepdfobjects.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "iecore.h"
#include "ieglobal.h"
#include "iestream.h"
#include "testsupport.h"

namespace {

std::string TextOf(TIEPDFObject& object) {
  TIEMemoryStream s;
  object.WriteTo(s);
  return std::string(reinterpret_cast<const char*>(s.Data()), static_cast<size_t>(s.Size()));
}

std::string TextOf(std::unique_ptr<TIEPDFObject> object) { return TextOf(*object); }

// Points the global temporary folder somewhere else for one test.
class TempFolderScope {
public:
  explicit TempFolderScope(std::string folder) : old_(IEGlobalSettings().TempFolder) {
    IEGlobalSettings().TempFolder = std::move(folder);
  }
  ~TempFolderScope() { IEGlobalSettings().TempFolder = old_; }

private:
  std::string old_;
};

int CountEntries(const std::string& folder) {
  int n = 0;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return -1;
  while (dirent* e = ::readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
  ::closedir(d);
  return n;
}

TEST(PdfObjects, SimpleKindsText) {
  struct Case {
    const char* name;
    std::function<TIEPDFObject*()> make;
    std::string text;
  } cases[] = {
      {"reference", [] { return new TIEPDFRefObject(4, 0); }, "4 0 R"},
      {"integer", [] { return new TIEPDFIntegerObject(1234); }, "1234"},
      {"negative integer", [] { return new TIEPDFIntegerObject(-7); }, "-7"},
      {"integer past 32 bits", [] { return new TIEPDFIntegerObject(12345678901); }, "12345678901"},
      {"true", [] { return new TIEPDFBooleanObject(true); }, "true"},
      {"false", [] { return new TIEPDFBooleanObject(false); }, "false"},
      {"real 1.0", [] { return new TIEPDFRealObject(1.0); }, "1"},
      {"real -3.0", [] { return new TIEPDFRealObject(-3.0); }, "-3"},
      {"real -0.0", [] { return new TIEPDFRealObject(-0.0); }, "0"},
      {"real 0.999 keeps two decimals", [] { return new TIEPDFRealObject(0.999); }, "1.00"},
      {"real -0.5", [] { return new TIEPDFRealObject(-0.5); }, "-0.50"},
      {"real 1e20 has no exponent", [] { return new TIEPDFRealObject(1e20); }, "100000000000000000000"},
      {"real NaN", [] { return new TIEPDFRealObject(std::nan("")); }, "0"},
      {"string escapes", [] { return new TIEPDFStringObject("a(b)\\c"); }, "(a\\(b\\)\\\\c)"},
      {"string control bytes", [] { return new TIEPDFStringObject("\b\t\n\f\r\x01"); },
       "(\\b\\t\\n\\f\\r\x01)"},
      {"string high byte unchanged", [] { return new TIEPDFStringObject("\xE9"); }, "(\xE9)"},
      {"empty string", [] { return new TIEPDFStringObject(""); }, "()"},
      {"name with blank", [] { return new TIEPDFNameObject("A B"); }, "/A#20B"},
      {"name with DEL", [] { return new TIEPDFNameObject("\x7F"); }, "/#7F"},
      {"name with high byte", [] { return new TIEPDFNameObject("\xE9t\xE9"); }, "/#E9t#E9"},
      {"name delimiters unchanged", [] { return new TIEPDFNameObject("a#b/c("); }, "/a#b/c("},
      {"empty name", [] { return new TIEPDFNameObject(""); }, "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(TextOf(std::unique_ptr<TIEPDFObject>(c.make())), c.text) << c.name;
}

TEST(PdfObjects, FixedTwoDecimals) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {595, "595.00"},      {-0.5, "-0.50"},   {297.5, "297.50"},  {0.5, "0.50"},
      {-0.25, "-0.25"},     {2.999, "3.00"},   {0.125, "0.13"},    {-0.125, "-0.13"},  // exact halves away from zero
      {0.375, "0.38"},      {2.675, "2.67"},   {1.005, "1.00"},    // stored just below the half
      {0.995, "0.99"},      {0.005, "0.01"},   {-0.001, "0.00"},   {99.999, "100.00"},
      {1e20, "100000000000000000000.00"},     {std::nan(""), "0.00"},
      {std::numeric_limits<double>::infinity(), "0.00"},
  };
  for (const Case& c : cases) EXPECT_EQ(IEFormatFixed2(c.value), c.text) << c.value;
}

TEST(PdfObjects, Containers) {
  TIEPDFArrayObject empty;
  EXPECT_EQ(TextOf(empty), "[]");

  TIEPDFArrayObject refs;
  refs.Add(new TIEPDFRefObject(4));
  refs.Add(new TIEPDFRefObject(7));
  EXPECT_EQ(TextOf(refs), "[4 0 R 7 0 R ]");

  TIEPDFDictionaryObject none;
  EXPECT_EQ(TextOf(none), "<< >>");

  TIEPDFDictionaryObject page;
  page.Add("Type", new TIEPDFNameObject("Page"));
  page.Add("Resources", new TIEPDFRefObject(2));
  EXPECT_EQ(TextOf(page), "<< /Type /Page\n/Resources 2 0 R\n>>");

  // Keys are not name-encoded; a repeated key adds a second entry.
  TIEPDFDictionaryObject twice;
  twice.Add("K ey", new TIEPDFIntegerObject(1));
  twice.Add("K ey", new TIEPDFIntegerObject(2));
  EXPECT_EQ(TextOf(twice), "<< /K ey 1\n/K ey 2\n>>");
}

TEST(PdfObjects, DictionaryLookupAndEdit) {
  TIEPDFDictionaryObject d;
  d.Add("Length", new TIEPDFIntegerObject(1));
  d.Add("length", new TIEPDFIntegerObject(2));
  d.Add("Filter", new TIEPDFNameObject("X"));
  EXPECT_EQ(d.IndexOf("LENGTH"), 0);  // first match, any case
  EXPECT_EQ(d.IndexOf("filter"), 2);
  EXPECT_EQ(d.IndexOf("Missing"), -1);
  EXPECT_EQ(d.Find("Missing"), nullptr);

  d.Insert(0, "Type", new TIEPDFNameObject("XObject"));
  d.Insert(1, "Subtype", new TIEPDFNameObject("Image"));
  d.SetObject(d.IndexOf("length"), new TIEPDFIntegerObject(9));
  EXPECT_EQ(TextOf(d), "<< /Type /XObject\n/Subtype /Image\n/Length 9\n/length 2\n/Filter /X\n>>");
  EXPECT_THROW(d.Insert(9, "Bad", new TIEPDFIntegerObject(0)), EIEException);
  EXPECT_THROW(d.SetObject(-1, new TIEPDFIntegerObject(0)), EIEException);
}

// Records its destruction so that ownership can be checked.
struct TTracked : TIEPDFIntegerObject {
  TTracked(int id, std::vector<int>& log) : TIEPDFIntegerObject(id), log_(log) {}
  ~TTracked() override { log_.push_back(static_cast<int>(Value)); }
  std::vector<int>& log_;
};

TEST(PdfObjects, ContainersFreeOwnedItemsLastToFirstAndSkipShared) {
  std::vector<int> log;
  TTracked shared(99, log);
  shared.Shared = true;
  {
    TIEPDFDictionaryObject d;
    d.Add("A", new TTracked(1, log));
    d.Add("S", &shared);
    d.Add("B", new TTracked(2, log));
    auto* a = new TIEPDFArrayObject;
    d.Add("C", a);
    a->Add(new TTracked(3, log));
    a->Add(new TTracked(4, log));
  }
  EXPECT_EQ(log, (std::vector<int>{4, 3, 2, 1}));
  EXPECT_EQ(TextOf(shared), "99");  // still alive
}

TEST(PdfObjects, StreamText) {
  TIEPDFStreamObject empty;
  EXPECT_EQ(TextOf(empty), "<< /Length 0\n>>\nstream\n\nendstream");

  TIEPDFStreamObject hello("hello", 5);
  EXPECT_EQ(TextOf(hello), "<< /Length 5\n>>\nstream\nhello\nendstream");
  hello.AppendData(" world");
  EXPECT_EQ(TextOf(hello), "<< /Length 11\n>>\nstream\nhello world\nendstream");

  // Entries inserted before Length keep their place.
  hello.Dictionary->Insert(0, "Type", new TIEPDFNameObject("XObject"));
  EXPECT_EQ(TextOf(hello), "<< /Type /XObject\n/Length 11\n>>\nstream\nhello world\nendstream");
}

TEST(PdfObjects, ParkedStreamWritesItsBytesEveryTime) {
  testsupport::TempDir dir;
  TempFolderScope scope(dir.Path().string());
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(i * 7 % 256);  // every byte value, several pieces
  TIEPDFStreamObject s(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.MoveDataToTempFile();
  EXPECT_EQ(s.Data.capacity(), 0u);  // the memory is really given back
  EXPECT_EQ(s.TempSize, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(CountEntries(dir.Path().string()), 0);  // already unlinked

  std::string expected =
      "<< /Length " + std::to_string(bytes.size()) + "\n>>\nstream\n" + bytes + "\nendstream";
  EXPECT_EQ(TextOf(s), expected);
  EXPECT_EQ(TextOf(s), expected);  // read again from the start

  // More data after parking, parked again and then left in memory.
  s.AppendData("tail");
  s.MoveDataToTempFile();
  s.AppendData("!");
  EXPECT_EQ(TextOf(s), "<< /Length " + std::to_string(bytes.size() + 5) + "\n>>\nstream\n" + bytes +
                           "tail!\nendstream");
}

TEST(PdfObjects, ParkedStreamsInterleaved) {
  testsupport::TempDir dir;
  TempFolderScope scope(dir.Path().string());
  TIEPDFStreamObject a("aaa", 3), b("bbbb", 4);
  a.MoveDataToTempFile();
  b.MoveDataToTempFile();
  a.AppendData("AA");
  a.MoveDataToTempFile();
  EXPECT_EQ(TextOf(a), "<< /Length 5\n>>\nstream\naaaAA\nendstream");
  EXPECT_EQ(TextOf(b), "<< /Length 4\n>>\nstream\nbbbb\nendstream");
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }

TEST(PdfObjects, ManyParkedStreamsShareOneDescriptor) {
  // A conversion of thousands of pictures must not run out of descriptors.
  testsupport::TempDir dir;
  TempFolderScope scope(dir.Path().string());
  int before = OpenDescriptors();
  std::vector<std::unique_ptr<TIEPDFStreamObject>> streams;
  for (int i = 0; i < 3000; ++i) {
    std::string data = "stream " + std::to_string(i);
    streams.push_back(std::make_unique<TIEPDFStreamObject>(data.data(), static_cast<int64_t>(data.size())));
    streams.back()->MoveDataToTempFile();
  }
  EXPECT_LE(OpenDescriptors() - before, 1);
  EXPECT_EQ(TextOf(*streams[2999]), "<< /Length 11\n>>\nstream\nstream 2999\nendstream");
  streams.clear();
  EXPECT_EQ(OpenDescriptors(), before);  // the file goes with its last stream
}

TEST(PdfObjects, UncreatableTempFileRaises) {
  TempFolderScope scope("/nonexistent-velmora-folder");
  TIEPDFStreamObject s("x", 1);
  try {
    s.MoveDataToTempFile();
    FAIL() << "no error";
  } catch (const EIEException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Unable to create /nonexistent-velmora-folder/~ietemp-", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(TextOf(s), "<< /Length 1\n>>\nstream\nx\nendstream");  // data still in memory
}

}  // namespace
