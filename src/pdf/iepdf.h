// The document builder: assembles one PDF 1.4 document in memory (pages,
// their content streams, images, the shared resources and the document
// information) and writes it in one pass.
//
// Lifecycle: construct, add pages and draw on them in any number, save once
// (SaveToStream or SaveToFile), destroy. A save adds the page tree and the
// information entries, so a builder is not saved twice. Pages cannot be
// removed or reordered.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "iepdfobjects.h"

class TIEStream;

// --- Image embedding (iepdfimage.cpp) ---
class TIEBitmap;
class TIOParams;
struct TProgressRecord;
enum TPdfCompression : uint8_t;
// --- end of image embedding ---

// Days since 30 December 1899, the fraction being the time of day.
using TIEPDFDateTime = double;

// A point in page space, in points.
struct TIEDPoint {
  double X = 0;
  double Y = 0;
};

// The 128 bits of a document identifier; written as 32 lower-case hex digits
// in this byte order.
using TIEPDFDocumentId = std::array<uint8_t, 16>;

// Colour values are 0x00BBGGRR.
using TIEColor = uint32_t;

class TIEPDFBuilder {
public:
  // Makes the catalog (1), the shared resources (2) and the information (3).
  TIEPDFBuilder();
  ~TIEPDFBuilder();
  TIEPDFBuilder(const TIEPDFBuilder&) = delete;
  TIEPDFBuilder& operator=(const TIEPDFBuilder&) = delete;

  // --- Objects and pages -----------------------------------------------------

  // Adds a page of width x height points and makes it current; returns its
  // index (0 for the first). Sizes are written as given, unchecked.
  int AddPage(int32_t width, int32_t height);
  // Gives the object the next indirect number. The builder does not take
  // ownership: every registered object is owned by one of its lists.
  void RegisterObject(TIEPDFObject* object);
  void AppendPageContent(int pageIndex, std::string_view text);
  // Page height minus y: callers measure y down from the top edge.
  double PageToPdfY(int pageIndex, double y) const;

  int CurrentPage() const { return currentPage_; }
  int PageCount() const { return static_cast<int>(pages_.size()); }
  int ObjectCount() const { return static_cast<int>(objects_.size()); }
  // Object with the given number (1-based), as registered.
  TIEPDFObject* Object(int number) const { return objects_.at(static_cast<size_t>(number - 1)); }
  TIEPDFDictionaryObject& Page(int pageIndex) const { return *pages_.at(static_cast<size_t>(pageIndex)); }
  TIEPDFStreamObject& Content(int pageIndex) const { return *contents_.at(static_cast<size_t>(pageIndex)); }
  std::pair<double, double> PageSize(int pageIndex) const { return pageSizes_.at(static_cast<size_t>(pageIndex)); }
  TIEPDFDictionaryObject& Catalog() const { return *catalog_; }
  TIEPDFDictionaryObject& Resources() const { return *resources_; }
  TIEPDFDictionaryObject& Info() const { return *info_; }

  // --- Images: the XObjects of the document ---------------------------------

  // Registers an image or soft-mask stream, appends it to the image list
  // (taking ownership) and parks its data in a temporary file. Returns its
  // position in the list, which names it "lm<position>" in the resources.
  int AddImageObject(std::unique_ptr<TIEPDFStreamObject> image);
  int ImageCount() const { return static_cast<int>(images_.size()); }
  TIEPDFStreamObject& Image(int index) const { return *images_.at(static_cast<size_t>(index)); }
  // The XObject, Font and ExtGState dictionaries of the shared resources.
  TIEPDFDictionaryObject& XObjectResources() const;
  TIEPDFDictionaryObject& FontResources() const;
  TIEPDFDictionaryObject& ExtGStateResources() const;

  // --- Image embedding (iepdfimage.cpp) ---
  // Sizes are in points, positions in points from the page's left and top
  // edges to the image's top-left corner, rotation in degrees
  // counter-clockwise about the image's centre, alpha the constant opacity.
  // Images go on the current page. Bitmaps other than ie1g and ie24RGB are
  // embedded from a temporary ie24RGB copy; the caller's bitmap is unchanged.
  // An alpha channel of a colour bitmap becomes a soft mask. Raises
  // EIEException for an empty bitmap, a compression outside TPdfCompression
  // or a document without pages; nothing is added to the document then.

  // Places bitmap with a fresh parameter record of the given compression.
  void AddImage(int32_t width, int32_t height, double x, double y, TIEBitmap& bitmap, double rotation,
                double alpha, TPdfCompression compression);
  // Drawn size: width 0 = the bitmap's width, -1 = kept in proportion to the
  // height, other values by their magnitude (both negative: used as given);
  // the height likewise against the resolved width. Uses params'
  // PdfCompression (a black-and-white JPEG request is changed to
  // pdfG3Fax2D there), LzwCompressor and JPEG fields, and sets its
  // BitsPerSample and SamplesPerPixel.
  void PlaceImage(int32_t width, int32_t height, double x, double y, TIEBitmap& bitmap, double rotation,
                  double alpha, TIOParams& params, TProgressRecord& progress);
  // Adds a page of params' PdfPaperWidth x PdfPaperHeight (the bitmap's size
  // plus twice PdfMargin when either is below 1) and places the whole bitmap
  // on it, scaled to fit inside the margin. Returns the page index.
  int AddFittedImagePage(TIEBitmap& bitmap, TIOParams& params, TProgressRecord& progress);
  // --- end of image embedding ---

  // --- Text and vector drawing ----------------------------------------------

  // >>> Text, fonts and vector drawing (iepdftext.cpp) >>>>>>>>>>>>>>>>>>>>>>>>
  // Each call appends one q ... Q group to the current page. Coordinates are
  // points, x from the left edge, y down from the top edge; colours are
  // 0x00BBGGRR, NoColor meaning no stroke or no fill. Text is 8-bit Windows
  // ANSI bytes, drawn in one of the fourteen standard fonts.
  static constexpr TIEColor NoColor = 0x1FFFFFFF;
  // baseFont is a standard font name; any other name is first mapped like a
  // font family of that name. The baseline lies size points below y.
  void DrawText(std::string_view text, std::string_view baseFont, double x, double y, double size,
                double angle, TIEColor fillColor, double fillAlpha, TIEColor strokeColor,
                double strokeAlpha, int renderMode, double lineWidth);
  // Filled in the font's colour, in the standard font mapped from it.
  void DrawTextWithFont(std::string_view text, const struct TIEFont& font, double x, double y,
                        double size, double angle, double alpha);
  // Word-wrapped into the box (whole points); lines below the bottom are
  // dropped when angle is 0. A line feed breaks before the word it ends.
  void DrawTextInRect(int32_t left, int32_t top, int32_t right, int32_t bottom, std::string_view text,
                      const struct TIEFont& font, double size, double angle, double alpha);
  // Points 0..lastIndex; a filled path is closed first. Nothing for no points.
  void DrawPolyline(std::span<const TIEDPoint> points, int lastIndex, TIEColor strokeColor,
                    double lineWidth, double strokeAlpha, int lineCap, bool fill, TIEColor fillColor,
                    double fillAlpha);
  void DrawPolyline(const struct TIEPoint* points, int count, TIEColor strokeColor, double lineWidth,
                    double strokeAlpha, int lineCap, bool fill, TIEColor fillColor, double fillAlpha);
  // The ellipse inscribed in the box with corners (x1, y1) and (x2, y2).
  void DrawEllipse(double x1, double y1, double x2, double y2, TIEColor strokeColor, double lineWidth,
                   double strokeAlpha, bool fill, TIEColor fillColor, double fillAlpha);
  // shapeKind is a TIEShape: 0 the ellipse, others the outline of
  // IEShapeOutline turned by rotation degrees. False when there is no outline.
  bool DrawShape(int shapeKind, double rotation, double x1, double y1, double x2, double y2,
                 TIEColor strokeColor, double lineWidth, double strokeAlpha, int lineCap, bool fill,
                 TIEColor fillColor, double fillAlpha);
  // A page of params' PdfPaperWidth x PdfPaperHeight with every visible
  // layer drawn on it in order; returns the page index.
  int AddLayersPage(std::span<class TIELayer* const> layers, const class TIOParams& params,
                    struct TProgressRecord* progress = nullptr);
  // <<< Text, fonts and vector drawing <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<

  // --- Graphics states -------------------------------------------------------

  // Name of the graphics state setting the fill (non-stroking) or stroke
  // alpha: "GSF<level>" / "GSS<level>", level = alpha x 255 truncated and
  // clamped to 0..255. The first request for a level adds the state with the
  // caller's alpha; later requests of that level reuse it.
  std::string FillAlphaState(double alpha);
  std::string StrokeAlphaState(double alpha);

  // --- Content operators -----------------------------------------------------
  // Each appends operator text to s, starting with a line feed (Polyline's
  // line-to pieces excepted); the caller hands the finished text to
  // AppendPageContent. Reals are written with two decimals.

  static void SaveGraphicsState(std::string& s);
  static void RestoreGraphicsState(std::string& s);
  static void Translate(std::string& s, double tx, double ty);
  static void Scale(std::string& s, double sx, double sy);
  // Counter-clockwise, in degrees; nothing for exactly 0.
  static void Rotate(std::string& s, double angle);
  void SetFillAlpha(std::string& s, double alpha);
  void SetStrokeAlpha(std::string& s, double alpha);
  static void PaintXObject(std::string& s, std::string_view name);
  static void SetFillColor(std::string& s, TIEColor color);
  static void SetStrokeColor(std::string& s, TIEColor color);
  static void SetLineWidth(std::string& s, double width);
  static void SetLineCap(std::string& s, int cap);
  static void MoveTo(std::string& s, double x, double y);
  // Points 0..lastIndex (clipped to the list); nothing for an empty list.
  static void Polyline(std::string& s, std::span<const TIEDPoint> points, int lastIndex);
  static void CurveTo(std::string& s, double x1, double y1, double x2, double y2, double x3, double y3);
  static void ClosePath(std::string& s);
  static void StrokePath(std::string& s);
  static void FillAndStrokePath(std::string& s);
  // text is 8-bit bytes, escaped as a literal string.
  static void ShowText(std::string& s, int fontIndex, double size, int renderMode, std::string_view text);

  // --- Saving ----------------------------------------------------------------

  // Adds the document information (the non-empty texts, then the creation
  // date; 0 = now, local time) and writes the document. Texts are byte
  // strings written as they are. Offsets are positions in stream, so the
  // document should start at its position 0. Raises EIEException when an
  // object would start beyond the 10 digits of a cross-reference entry.
  void SaveToStream(TIEStream& stream, const std::string& title, const std::string& author,
                    const std::string& subject, const std::string& keywords, const std::string& creator,
                    const std::string& producer, TIEPDFDateTime creationDate);
  // As SaveToStream, into the file fileName (a UTF-8 path). The document is
  // written beside it under a temporary name and replaces it only when
  // complete, so a failed save leaves no half-written file behind. Raises
  // EIEException "Cannot create file "<full name>". <reason>" when the file
  // cannot be made.
  void SaveToFile(const std::string& fileName, const std::string& title, const std::string& author,
                  const std::string& subject, const std::string& keywords, const std::string& creator,
                  const std::string& producer, TIEPDFDateTime creationDate);

  // Where each save's identifier comes from; std::random_device by default.
  // Tests inject a fixed one.
  void SetIdSource(std::function<TIEPDFDocumentId()> source) { idSource_ = std::move(source); }

private:
  void AddInformation(const std::string& title, const std::string& author, const std::string& subject,
                      const std::string& keywords, const std::string& creator, const std::string& producer,
                      TIEPDFDateTime creationDate);
  void WriteDocument(TIEStream& stream);
  std::string AlphaState(double alpha, bool fill);

  std::vector<TIEPDFObject*> objects_;  // registration order, not owning
  std::vector<std::unique_ptr<TIEPDFDictionaryObject>> pages_;
  std::vector<std::unique_ptr<TIEPDFStreamObject>> images_;  // images and soft masks
  std::vector<std::unique_ptr<TIEPDFStreamObject>> contents_;
  std::unique_ptr<TIEPDFDictionaryObject> resources_;  // Shared: every page refers to it
  std::unique_ptr<TIEPDFDictionaryObject> catalog_;
  std::vector<std::string> fontNames_;  // base fonts with a resource; index = F<n>
  std::unique_ptr<TIEPDFDictionaryObject> info_;
  std::array<bool, 256> strokeAlphaUsed_{};
  std::array<bool, 256> fillAlphaUsed_{};
  std::vector<std::pair<double, double>> pageSizes_;  // points, like pages_
  int currentPage_ = -1;
  // Made at save time; kept until destruction so that objects_ never dangles.
  std::unique_ptr<TIEPDFDictionaryObject> pageTree_;
  std::function<TIEPDFDocumentId()> idSource_;
};

// The date-time value of a calendar date and time of day.
TIEPDFDateTime IEEncodeDateTime(int year, int month, int day, int hour, int minute, int second);
// "D:YYYYMMDDHHMMSS" of a date-time value (no time zone).
std::string IEFormatPdfDate(TIEPDFDateTime value);
// The current local date and time as a date-time value.
TIEPDFDateTime IENow();
