// The in-memory raster image, its transparency mask and the pixel format tables.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIOParams;

// Value order is stored and compared; do not reorder.
enum TIEPixelFormat : uint8_t {
  ieNull,     // no pixels
  ie1g,       // 1 bit, leftmost pixel in the most significant bit, 1 = white
  ie8p,       // 8-bit palette index
  ie8g,       // 8-bit gray
  ie16g,      // 16-bit little-endian gray
  ie24RGB,    // bytes blue, green, red
  ie32f,      // 32-bit float gray, 0.0 black .. 1.0 white
  ieCMYK,     // bytes C, M, Y, K, each stored as 255 - ink
  ieRGB48,    // 16-bit little-endian words red, green, blue
  ieCIELab,   // L* (255 = 100), a*, b* as signed bytes
  ie32RGB,    // bytes blue, green, red, and a fourth byte (255 when converted)
};

enum TIELocation : uint8_t {
  ieMemory,   // one contiguous block, or segments
  ieFile,     // a temporary file, read and written one row at a time
  ieTBitmap,  // kept as a value only: platform bitmaps are not supported
};

enum TResampleFilter : uint8_t {
  rfNone,
  rfTriangle,
  rfHermite,
  rfBell,
  rfBSpline,
  rfLanczos3,
  rfMitchell,
  rfNearest,
  rfLinear,
  rfFastLinear,
  rfBilinear,
  rfBicubic,
  rfProjectBW,
  rfProjectWB,
  rfWICNearestNeighbor,
  rfWICLinear,
  rfWICCubic,
  rfWICFant,
};

// Horizontal and vertical anchors of Resize.
enum TIEHAlign : uint8_t { iehLeft, iehCenter, iehRight };
enum TIEVAlign : uint8_t { ievTop, ievCenter, ievBottom };

// Bits of TIEBitmap::Access: what file storage does with a row it hands out.
inline constexpr uint8_t ieaRead = 1;   // fill the row from the file
inline constexpr uint8_t ieaWrite = 2;  // write the row back when released

// A palette entry or a pixel colour in storage order.
struct TRGB {
  uint8_t b = 0, g = 0, r = 0;
  friend bool operator==(const TRGB&, const TRGB&) = default;
};

// Colours as 32-bit values are 0x00BBGGRR (red in the low byte).
inline constexpr TRGB IEColorToRGB(uint32_t color) {
  return TRGB{uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color)};
}
inline constexpr uint32_t IERGBToColor(TRGB c) {
  return uint32_t(c.r) | (uint32_t(c.g) << 8) | (uint32_t(c.b) << 16);
}

// Bits and channels per pixel of a format (0 for ieNull and unknown values).
int IEBitsPerPixel(TIEPixelFormat format);
int IEChannelsPerPixel(TIEPixelFormat format);

// Bytes per row for a width, bit count and row alignment in bits (a positive
// multiple of 8). Computed in 64 bits; -1 when the result would overflow.
int64_t IERowLen(int64_t width, int bitCount, int rowAlign = 32);

// Inclusive rectangle in pixels (the mask's bounding box).
struct TIERect {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
  friend bool operator==(const TIERect&, const TIERect&) = default;
};

// A single-channel raster of 1 or 8 bits per pixel that readers use to carry
// transparency out of a file. Rows are stored bottom-up in one zero-filled
// block; row 0 is the top row. In 1-bit masks the leftmost pixel is the most
// significant bit.
class TIEMask {
public:
  TIEMask() = default;
  TIEMask(int width, int height, int bitsPerPixel) { Allocate(width, height, bitsPerPixel); }
  TIEMask(const TIEMask& other) { Assign(other); }
  TIEMask& operator=(const TIEMask& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  ~TIEMask();

  // Sets the size and bit depth (1 or 8), gives zero-filled pixels and empties
  // the bounding box. False, leaving an empty 0 x 0 mask, for an impossible size.
  bool Allocate(int width, int height, int bitsPerPixel);
  void Assign(const TIEMask& other);
  void Free();

  int Width() const { return fWidth; }
  int Height() const { return fHeight; }
  int BitsPerPixel() const { return fBitsPerPixel; }
  int64_t RowLen() const { return fRowLen; }

  // Row 0 is the top row; nullptr outside the mask. Writing through it does
  // not update the bounding box or Full.
  uint8_t* Scanline(int row);
  const uint8_t* Scanline(int row) const;

  // Coordinates outside the mask are ignored (SetPixel) or read as 0 (GetPixel).
  void SetPixel(int x, int y, int value);
  int GetPixel(int x, int y) const;
  // Sets every byte of the pixel block.
  void Fill(uint8_t value);
  // Fills with 0 and empties the bounding box.
  void Clear();
  // Changes the size keeping the overlapping top-left area.
  bool Resize(int newWidth, int newHeight);

  bool IsEmpty() const { return fBox.Left == kEmptyLeft; }
  // Bounding box of the non-zero pixels (inclusive); empty: Left = Top =
  // INT32_MAX, Right = Bottom = 0.
  const TIERect& BoundingBox() const { return fBox; }
  // Recomputes the bounding box from the pixels.
  void SyncBoundingBox();

  bool Full() const { return fFull; }
  void SetFull(bool value) { fFull = value; }

private:
  static constexpr int32_t kEmptyLeft = 0x7FFFFFFF;
  void EmptyBox();
  void Extend(int x, int y);

  int32_t fWidth = 0, fHeight = 0, fBitsPerPixel = 1;
  int64_t fRowLen = 0;
  uint8_t* fBits = nullptr;  // calloc'ed, fHeight * fRowLen bytes
  TIERect fBox{kEmptyLeft, kEmptyLeft, 0, 0};
  bool fFull = false;
};

// Minimum and maximum of the value window used when gray pixels are expanded
// to 24 bits; equal values mean off.
struct TIEDisplayRange {
  double Min = 0.0, Max = 0.0;
};

// The raster image. Rows are reached through Scanline with row 0 the top row;
// pixel storage is one contiguous bottom-up block, segments, or a temporary
// file, chosen by Allocate. New storage is always zero-filled.
class TIEBitmap {
public:
  TIEBitmap();
  TIEBitmap(int width, int height, TIEPixelFormat format);
  // A copy of the sub-rectangle (x, y, width, height) of source, clipped to it,
  // in the source's format.
  TIEBitmap(TIEBitmap& source, int x, int y, int width, int height);
  ~TIEBitmap();
  TIEBitmap(const TIEBitmap&) = delete;
  TIEBitmap& operator=(const TIEBitmap&) = delete;

  // Storage ------------------------------------------------------------------

  // Rebuilds storage for the size and format (zero-filled), dropping the alpha
  // channel and the palette (ie8p gets 256 black entries). False, with an
  // empty 0 x 0 bitmap, when a side is not positive, the format is ieNull,
  // the size is beyond the limits of iecore.h or no storage could be had.
  // A call with the current size and format keeps the pixels.
  bool Allocate(int width, int height, TIEPixelFormat format);
  // Allocate as ie24RGB, Fill with color (0x00BBGGRR); an alpha below 255
  // also fills the alpha channel with it.
  bool AllocateFilled(int width, int height, uint32_t color, uint8_t alpha = 255);
  // Releases storage, palette and alpha channel; the bitmap becomes 0 x 0 and
  // keeps its pixel format.
  void FreeImage();

  int Width() const { return fWidth; }
  int Height() const { return fHeight; }
  TIEPixelFormat PixelFormat() const { return fPixelFormat; }
  int BitCount() const { return fBitCount; }
  int ChannelCount() const { return fChannelCount; }
  int64_t RowLen() const { return fRowLen; }
  // Where the pixels are; before Allocate, the requested location.
  TIELocation Location() const { return fLocation; }
  // The location asked of the next Allocate (ieMemory or ieFile; Allocate
  // still decides by MemoryThreshold).
  void SetLocation(TIELocation location);
  bool IsEmpty() const { return fWidth == 0 || fHeight == 0 || fBitCount == 0 || fRowLen == 0; }
  bool IsAlphaChannel() const { return fIsAlphaChannel; }
  bool Full() const { return fFull; }
  void SetFull(bool value) { fFull = value; }

  // Converts the pixels in place (CopyAndConvertFormat through a temporary
  // bitmap); an empty bitmap only records the format. No-op for the same format.
  void SetPixelFormat(TIEPixelFormat format);

  // Row access ---------------------------------------------------------------

  // First byte of row (0 = top). Under file storage only one row is mapped at
  // a time: the pointer stays valid until the next Scanline call. Memory
  // storage is pure address arithmetic and safe from several threads.
  // nullptr for a row outside the bitmap.
  uint8_t* Scanline(int row);
  // Like Scanline, but under file storage the buffer stays valid until
  // FreeRow, so several rows can be held at once.
  uint8_t* GetRow(int row);
  void FreeRow(uint8_t* row);
  // Scanline(row) + col * (BitCount / 8).
  uint8_t* PixelAddress(int row, int col);

  // Bits of ieaRead / ieaWrite; default both. Only file storage looks at it.
  uint8_t Access() const { return fAccess; }
  void SetAccess(uint8_t access);

  // Writes rows of file storage held by Scanline or GetRow back to the file
  // (under write access); they stay valid.
  void FlushRows();

  // Palette ------------------------------------------------------------------

  std::vector<TRGB>& ColorMap() { return fColorMap; }
  const std::vector<TRGB>& ColorMap() const { return fColorMap; }
  // Out-of-range indexes read as black and are ignored when written.
  TRGB PaletteEntry(int index) const;
  void SetPaletteEntry(int index, TRGB color);
  int PaletteLength() const { return static_cast<int>(fColorMap.size()); }
  int PaletteUsed() const { return fPaletteUsed; }
  void SetPaletteUsed(int count) { fPaletteUsed = count; }
  // Copies this palette and PaletteUsed into target.
  void CopyPaletteTo(TIEBitmap& target) const;

  // Alpha channel ------------------------------------------------------------

  // Creates it on first use as an all-255 ie8g bitmap of the same size (an
  // empty one for an empty bitmap); nullptr on a bitmap that is itself an
  // alpha channel.
  TIEBitmap* AlphaChannel();
  // The alpha channel when there is one, without creating it.
  TIEBitmap* AlphaChannelOrNull() const { return fAlpha.get(); }
  bool HasAlphaChannel() const { return fAlpha != nullptr; }
  // With merge on an ie24RGB bitmap, first blends every pixel onto the
  // background (0x00BBGGRR); then frees the alpha channel.
  void RemoveAlphaChannel(bool merge = false, uint32_t background = 0);
  // Adopts alpha (nullptr removes the channel). An alpha channel of another
  // size or format is converted to ie8g and resized to match first.
  void ReplaceAlphaChannel(std::unique_ptr<TIEBitmap> alpha);
  // Hands the alpha channel over to the caller.
  std::unique_ptr<TIEBitmap> DetachAlphaChannel();

  // Copying and filling ------------------------------------------------------

  // Copies size, format, pixels, alpha channel, palette and the display and
  // conversion settings. A null source does nothing.
  void Assign(TIEBitmap* source);
  // Copies a mask's pixels (ie1g for 1-bit, ie8g for 8-bit, or ie8g with set
  // bits as 255 when this bitmap is an alpha channel); no mask: Fill(255).
  void CopyFromTIEMask(const TIEMask* mask);
  // Fills this bitmap (already allocated with the source's size and its own
  // target format) from source; sizes that differ convert nothing. The
  // source's pixels are left as they are.
  void CopyAndConvertFormat(TIEBitmap& source);
  // value truncated to an integer: ie1g any non-zero = white; ie8p/ie8g low
  // byte; ie16g low word; ie24RGB, ie32RGB (fourth byte 255) and ieRGB48 a
  // colour 0x00BBGGRR; ieCMYK and ieCIELab the raw pixel bytes, low byte
  // first; ie32f the value itself.
  void Fill(double value);
  // Changes the canvas without scaling; old pixels stay anchored, new area
  // gets background (0x00BBGGRR colour for colour formats, the low bits as a
  // value otherwise) and, in the alpha channel, alphaFill.
  bool Resize(int newWidth, int newHeight, uint32_t background = 0, int alphaFill = 255,
              TIEHAlign hAlign = iehLeft, TIEVAlign vAlign = ievTop);

  // Defined by the resampling code.
  bool Resample(int newWidth, int newHeight, TResampleFilter filter = rfNone,
                bool keepAspect = false, bool shrinkOnly = false);
  // Defined by the load front: loads a file into this bitmap.
  bool Read(const std::string& fileName, TIOParams* params = nullptr, bool checkUnknown = true);

  // Settings -----------------------------------------------------------------

  // Bytes above which Allocate puts pixels in a temporary file. Set at
  // construction from the global override or the machine's physical memory.
  int64_t MemoryThreshold() const { return fMemoryThreshold; }
  void SetMemoryThreshold(int64_t bytes) { fMemoryThreshold = bytes; }
  // Conversion to ie1g: 0 ordered dither, 1 threshold at the mean colour.
  uint8_t MonoConversion() const { return fMonoConversion; }
  void SetMonoConversion(uint8_t method) { fMonoConversion = method; }
  const TIEDisplayRange& DisplayRange() const { return fDisplayRange; }
  void SetDisplayRange(double minimum, double maximum) { fDisplayRange = {minimum, maximum}; }
  // Row alignment in bits: a positive multiple of 8 (others are ignored).
  // Takes effect at the next Allocate.
  int RowAlign() const { return fRowAlign; }
  void SetRowAlign(int bits);
  // 1 = row r is stored as row Height - 1 - r.
  uint8_t RowOrderReversed() const { return fRowOrderReversed; }
  void SetRowOrderReversed(uint8_t value) { fRowOrderReversed = value ? 1 : 0; }

  // ICC profiles carried with the pixels (never applied by the pipeline).
  std::vector<uint8_t>& InputICCProfile() { return fInputICC; }
  const std::vector<uint8_t>& InputICCProfile() const { return fInputICC; }
  std::vector<uint8_t>& OutputICCProfile() { return fOutputICC; }
  const std::vector<uint8_t>& OutputICCProfile() const { return fOutputICC; }

  // File name and file type id of the last Read.
  const std::string& FileName() const { return fFileName; }
  int FileType() const { return fFileType; }
  void SetFileInfo(const std::string& fileName, int fileType) {
    fFileName = fileName;
    fFileType = fileType;
  }

  // Progress handler handed to the loader by Read (none by default).
  const std::function<void(void* sender, int percent)>& OnProgress() const { return fOnProgress; }
  void SetOnProgress(std::function<void(void* sender, int percent)> handler) {
    fOnProgress = std::move(handler);
  }

  // Segmented storage in use: number of segments (0 otherwise).
  int SegmentCount() const { return static_cast<int>(fSegments.size()); }

private:
  struct TFileStore;

  void ReleaseStorage();
  bool AllocateMemory(int64_t size);
  bool AllocateSegments();
  bool AllocateFile(int64_t size);
  uint8_t* MemoryRow(int row) const;
  void MoveStorageTo(TIEBitmap& other);

  int32_t fWidth = 0, fHeight = 0, fBitCount = 0, fChannelCount = 0;
  int64_t fRowLen = 0;
  TIEPixelFormat fPixelFormat = ieNull;
  TIELocation fLocation = ieFile;
  bool fIsAlphaChannel = false;
  bool fFull = false;
  bool fNeedsAllocation = true;
  uint8_t fAccess = ieaRead | ieaWrite;
  uint8_t fMonoConversion = 1;
  uint8_t fRowOrderReversed = 0;
  int32_t fRowAlign = 32;
  int64_t fMemoryThreshold = 0;
  TIEDisplayRange fDisplayRange;

  std::vector<TRGB> fColorMap;
  int32_t fPaletteUsed = 256;
  std::unique_ptr<TIEBitmap> fAlpha;

  // Contiguous memory: calloc'ed block and its first 64-byte-aligned address.
  void* fBlock = nullptr;
  uint8_t* fRowBase = nullptr;
  // Segmented memory: top-down rows inside each segment.
  std::vector<uint8_t*> fSegments;
  int32_t fRowsPerSegment = 0;
  // File storage.
  std::unique_ptr<TFileStore> fFile;

  std::vector<uint8_t> fInputICC, fOutputICC;
  std::string fFileName;
  int32_t fFileType = 0;
  std::function<void(void* sender, int percent)> fOnProgress;
  // The bitmap whose alpha channel this is.
  TIEBitmap* fOwner = nullptr;
};
