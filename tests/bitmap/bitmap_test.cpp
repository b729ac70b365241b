#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iebitmap.h"
#include "iecore.h"
#include "ieglobal.h"

namespace {

// Puts the storage settings back after a test that bends them.
struct StorageSettings {
  int64_t threshold, maxBlock;
  bool segments, fallback;
  StorageSettings() {
    auto& s = IEGlobalSettings();
    threshold = s.MemoryThresholdOverride;
    maxBlock = s.MaxMemoryBlock;
    segments = s.AllowSegmentedAllocation;
    fallback = s.TempFileFallback;
  }
  ~StorageSettings() {
    auto& s = IEGlobalSettings();
    s.MemoryThresholdOverride = threshold;
    s.MaxMemoryBlock = maxBlock;
    s.AllowSegmentedAllocation = segments;
    s.TempFileFallback = fallback;
  }
  StorageSettings(const StorageSettings&) = delete;
  StorageSettings& operator=(const StorageSettings&) = delete;
};

enum class Storage { Contiguous, Segmented, File, FileByFallback };

const char* Name(Storage s) {
  switch (s) {
    case Storage::Contiguous: return "contiguous";
    case Storage::Segmented: return "segmented";
    case Storage::File: return "file";
    case Storage::FileByFallback: return "file by fallback";
  }
  return "?";
}

// Sets the settings so that a bitmap of `bytes` pixel bytes created next
// gets the given storage.
void Force(Storage s, int64_t bytes) {
  auto& g = IEGlobalSettings();
  g.MemoryThresholdOverride = -1;
  g.MaxMemoryBlock = -1;
  g.AllowSegmentedAllocation = true;
  g.TempFileFallback = true;
  switch (s) {
    case Storage::Contiguous: break;
    case Storage::Segmented: g.MaxMemoryBlock = bytes / 2; break;
    case Storage::File: g.MemoryThresholdOverride = 0; break;
    case Storage::FileByFallback: g.MaxMemoryBlock = 1; break;
  }
}

void Expect(Storage s, TIEBitmap& b) {
  switch (s) {
    case Storage::Contiguous:
      EXPECT_EQ(b.Location(), ieMemory);
      EXPECT_EQ(b.SegmentCount(), 0);
      break;
    case Storage::Segmented:
      EXPECT_EQ(b.Location(), ieMemory);
      EXPECT_GE(b.SegmentCount(), 2);
      break;
    case Storage::File:
    case Storage::FileByFallback:
      EXPECT_EQ(b.Location(), ieFile);
      break;
  }
}

std::vector<uint8_t> Row(TIEBitmap& b, int y) {
  const uint8_t* p = b.Scanline(y);
  return std::vector<uint8_t>(p, p + b.RowLen());
}

uint8_t Pattern(int y, int64_t i) { return static_cast<uint8_t>(y * 31 + i * 7 + 1); }

const Storage kStorages[] = {Storage::Contiguous, Storage::Segmented, Storage::File,
                             Storage::FileByFallback};

}  // namespace

TEST(BitmapRowLen, FollowsWidthBitsAndAlignment) {
  struct Case {
    const char* name;
    int width;
    TIEPixelFormat format;
    int align;
    int64_t rowLen;
  } cases[] = {
      {"1 x 1 ie1g", 1, ie1g, 32, 4},
      {"33 wide ie1g", 33, ie1g, 32, 8},
      {"3 wide ie24RGB pads 3 bytes", 3, ie24RGB, 32, 12},
      {"3 wide ie24RGB byte aligned", 3, ie24RGB, 8, 9},
      {"3 wide ie24RGB 64-bit aligned", 3, ie24RGB, 64, 16},
      {"1 wide ieRGB48", 1, ieRGB48, 32, 8},
      {"5 wide ie16g", 5, ie16g, 32, 12},
      {"widest side, ieRGB48", 1 << 20, ieRGB48, 32, int64_t(6) << 20},
  };
  for (const Case& c : cases) {
    TIEBitmap b;
    b.SetRowAlign(c.align);
    ASSERT_TRUE(b.Allocate(c.width, 1, c.format)) << c.name;
    EXPECT_EQ(b.RowLen(), c.rowLen) << c.name;
    EXPECT_EQ(b.BitCount(), IEBitsPerPixel(c.format)) << c.name;
  }
  // Sizes that overflow 32 bits are computed in 64.
  EXPECT_EQ(IERowLen(int64_t(1) << 31, 48), int64_t(3) << 32);
  EXPECT_EQ(IERowLen(INT64_MAX / 2, 48), -1);
}

TEST(BitmapAllocate, RefusesImpossibleSizesAndLeavesAnEmptyBitmap) {
  struct Case {
    const char* name;
    int w, h;
    TIEPixelFormat format;
  } cases[] = {
      {"zero width", 0, 10, ie24RGB},
      {"negative height", 10, -3, ie24RGB},
      {"no format", 10, 10, ieNull},
      {"unknown format value", 10, 10, static_cast<TIEPixelFormat>(42)},
      {"wider than the side limit", (1 << 20) + 1, 1, ie8g},
      {"int32 extremes", 0x7FFFFFFF, 0x7FFFFFFF, ieRGB48},
      {"past the pixel limit", 1 << 20, 1 << 11, ie1g},
  };
  for (const Case& c : cases) {
    TIEBitmap b(4, 4, ie24RGB);
    ASSERT_FALSE(b.Allocate(c.w, c.h, c.format)) << c.name;
    EXPECT_EQ(b.Width(), 0) << c.name;
    EXPECT_EQ(b.Height(), 0) << c.name;
    EXPECT_TRUE(b.IsEmpty()) << c.name;
    EXPECT_EQ(b.Scanline(0), nullptr) << c.name;
  }
}

TEST(BitmapStorage, EveryStorageGivesTheSameRowsAndStartsZeroed) {
  StorageSettings restore;
  const int w = 37, h = 23;
  for (Storage s : kStorages) {
    SCOPED_TRACE(Name(s));
    Force(s, IERowLen(w, 24) * h);
    TIEBitmap b;
    ASSERT_TRUE(b.Allocate(w, h, ie24RGB));
    Expect(s, b);
    for (int y = 0; y < h; ++y) {
      for (int64_t i = 0; i < b.RowLen(); ++i) ASSERT_EQ(b.Scanline(y)[i], 0) << y << "," << i;
    }
    for (int y = 0; y < h; ++y) {
      uint8_t* p = b.Scanline(y);
      for (int64_t i = 0; i < b.RowLen(); ++i) p[i] = Pattern(y, i);
    }
    // Read back in another order, through Scanline, GetRow and PixelAddress.
    for (int y = h - 1; y >= 0; y -= 2) {
      std::vector<uint8_t> row = Row(b, y);
      for (int64_t i = 0; i < b.RowLen(); ++i) ASSERT_EQ(row[i], Pattern(y, i));
    }
    uint8_t* r3 = b.GetRow(3);
    uint8_t* r17 = b.GetRow(17);
    EXPECT_EQ(r3[5], Pattern(3, 5));
    EXPECT_EQ(r17[5], Pattern(17, 5));
    b.FreeRow(r3);
    b.FreeRow(r17);
    EXPECT_EQ(*b.PixelAddress(9, 4), Pattern(9, 12));
    EXPECT_EQ(b.PixelAddress(9, w), nullptr);
    EXPECT_EQ(b.Scanline(h), nullptr);
    EXPECT_EQ(b.Scanline(-1), nullptr);
  }
}

TEST(BitmapStorage, ContiguousBlockIsBottomUpWithAnAlignedRowBase) {
  TIEBitmap b(5, 7, ie24RGB);
  ASSERT_EQ(b.Location(), ieMemory);
  ASSERT_EQ(b.SegmentCount(), 0);
  // The bottom row is stored first, at the 64-byte aligned base; the top row last.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.Scanline(6)) % 64, 0u);
  EXPECT_EQ(b.Scanline(0), b.Scanline(6) + 6 * b.RowLen());
  EXPECT_EQ(b.Scanline(1) + b.RowLen(), b.Scanline(0));
}

TEST(BitmapStorage, ReversedRowOrderMirrorsRows) {
  TIEBitmap b(2, 3, ie8g);
  uint8_t* top = b.Scanline(0);
  b.SetRowOrderReversed(1);
  EXPECT_EQ(b.Scanline(2), top);
}

TEST(BitmapStorage, FileRowsHeldWithGetRowStayValidTogether) {
  StorageSettings restore;
  Force(Storage::File, 0);
  TIEBitmap b(16, 8, ie8g);
  ASSERT_EQ(b.Location(), ieFile);
  uint8_t* a = b.GetRow(1);
  uint8_t* c = b.GetRow(6);
  std::memset(a, 0x11, 16);
  std::memset(c, 0x66, 16);
  // Scanline in between must not disturb the held rows.
  b.Scanline(1)[0] = 0x99;
  b.Scanline(2)[0] = 0x22;
  EXPECT_EQ(a[0], 0x11);
  EXPECT_EQ(c[0], 0x66);
  b.FreeRow(a);
  b.FreeRow(c);
  EXPECT_EQ(b.Scanline(1)[0], 0x11);  // written back by FreeRow after the Scanline copy
  EXPECT_EQ(b.Scanline(6)[15], 0x66);
  EXPECT_EQ(b.Scanline(2)[0], 0x22);
}

TEST(BitmapStorage, FileAccessLimitsReadsAndWrites) {
  StorageSettings restore;
  Force(Storage::File, 0);
  TIEBitmap b(8, 4, ie8g);
  std::memset(b.Scanline(0), 7, 8);
  std::memset(b.Scanline(1), 9, 8);

  b.SetAccess(ieaRead);  // changes are not written back
  b.Scanline(0)[0] = 100;
  b.Scanline(1);
  EXPECT_EQ(b.Scanline(0)[0], 7);

  b.SetAccess(ieaWrite);  // rows are not read: they come up zeroed
  EXPECT_EQ(b.Scanline(1)[3], 0);
  std::memset(b.Scanline(2), 5, 8);
  b.SetAccess(ieaRead | ieaWrite);
  EXPECT_EQ(b.Scanline(2)[7], 5);
  EXPECT_EQ(b.Scanline(0)[1], 7);
}

TEST(BitmapStorage, ReallocationNeverHandsBackOldPixels) {
  StorageSettings restore;
  for (Storage s : kStorages) {
    SCOPED_TRACE(Name(s));
    Force(s, IERowLen(9, 8) * 12);
    TIEBitmap b(9, 12, ie8g);
    Expect(s, b);
    for (int y = 0; y < 12; ++y) std::memset(b.Scanline(y), 0xAB, b.RowLen());
    ASSERT_TRUE(b.Allocate(9, 12, ie8g));  // same geometry
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 9; ++x) ASSERT_EQ(b.Scanline(y)[x], 0);
    for (int y = 0; y < 12; ++y) std::memset(b.Scanline(y), 0xCD, b.RowLen());
    ASSERT_TRUE(b.Allocate(8, 12, ie8g));
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 8; ++x) ASSERT_EQ(b.Scanline(y)[x], 0);
  }
}

TEST(BitmapStorage, MemoryThresholdComesFromTheOverride) {
  StorageSettings restore;
  IEGlobalSettings().MemoryThresholdOverride = 1000;
  TIEBitmap large, small;
  EXPECT_EQ(large.MemoryThreshold(), 1000);
  ASSERT_TRUE(large.Allocate(40, 30, ie8g));  // 1200 bytes
  EXPECT_EQ(large.Location(), ieFile);
  ASSERT_TRUE(small.Allocate(40, 25, ie8g));  // 1000 bytes
  EXPECT_EQ(small.Location(), ieMemory);

  IEGlobalSettings().MemoryThresholdOverride = -1;
  TIEBitmap machine;
  EXPECT_GT(machine.MemoryThreshold(), 0);
  EXPECT_LE(machine.MemoryThreshold(), IEPhysicalMemory());
}

TEST(BitmapStorage, FailsCleanlyWhenNoStorageIsAllowed) {
  StorageSettings restore;
  IEGlobalSettings().MaxMemoryBlock = 1;
  IEGlobalSettings().TempFileFallback = false;
  TIEBitmap b;
  EXPECT_FALSE(b.Allocate(100, 100, ie24RGB));
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Height(), 0);
}

TEST(BitmapPalette, Ie8pGetsAZeroedPaletteAndIgnoresBadIndexes) {
  TIEBitmap b(2, 2, ie8p);
  ASSERT_EQ(b.PaletteLength(), 256);
  EXPECT_EQ(b.PaletteEntry(255), TRGB{});
  b.SetPaletteEntry(3, TRGB{1, 2, 3});
  b.SetPaletteEntry(256, TRGB{9, 9, 9});
  b.SetPaletteEntry(-1, TRGB{9, 9, 9});
  EXPECT_EQ(b.PaletteEntry(3), (TRGB{1, 2, 3}));
  EXPECT_EQ(b.PaletteEntry(300), TRGB{});
  ASSERT_TRUE(b.Allocate(3, 3, ie24RGB));
  EXPECT_EQ(b.PaletteLength(), 0);
}

TEST(BitmapAlpha, CreatedOpaqueOnFirstUseAndDroppedByAllocate) {
  TIEBitmap b(3, 2, ie24RGB);
  EXPECT_FALSE(b.HasAlphaChannel());
  TIEBitmap* a = b.AlphaChannel();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(b.HasAlphaChannel());
  EXPECT_TRUE(a->IsAlphaChannel());
  EXPECT_EQ(a->PixelFormat(), ie8g);
  EXPECT_EQ(a->Width(), 3);
  EXPECT_EQ(a->Height(), 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(a->Scanline(y)[x], 255);
  EXPECT_EQ(a->AlphaChannel(), nullptr);  // no alpha of an alpha
  EXPECT_EQ(b.AlphaChannel(), a);

  ASSERT_TRUE(b.Allocate(3, 2, ie24RGB));  // same size keeps it
  EXPECT_TRUE(b.HasAlphaChannel());
  ASSERT_TRUE(b.Allocate(4, 2, ie24RGB));
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST(BitmapAlpha, MergeBlendsOntoTheBackground) {
  struct Case {
    const char* name;
    uint8_t pixel, alpha, background, expected;
  } cases[] = {
      {"opaque keeps almost all", 200, 255, 0, 199},
      {"transparent gives the background", 200, 0, 90, 90},
      {"half over black", 255, 128, 0, 127},
      {"half towards white shifts arithmetically", 0, 128, 255, 127},
      {"equal to background stays", 77, 40, 77, 77},
  };
  for (const Case& c : cases) {
    TIEBitmap b(1, 1, ie24RGB);
    uint8_t* p = b.Scanline(0);
    p[0] = p[1] = p[2] = c.pixel;
    b.AlphaChannel()->Scanline(0)[0] = c.alpha;
    const uint32_t bg = c.background * 0x010101u;
    b.RemoveAlphaChannel(true, bg);
    EXPECT_FALSE(b.HasAlphaChannel()) << c.name;
    EXPECT_EQ(b.Scanline(0)[0], c.expected) << c.name;
    EXPECT_EQ(b.Scanline(0)[2], c.expected) << c.name;
  }
  // Each channel blends with its own background channel: red in the low byte.
  TIEBitmap b(1, 1, ie24RGB);
  b.AlphaChannel()->Scanline(0)[0] = 0;
  b.RemoveAlphaChannel(true, 0x00332211);
  EXPECT_EQ(b.Scanline(0)[0], 0x33);  // blue
  EXPECT_EQ(b.Scanline(0)[2], 0x11);  // red
  // Without merge the pixels stay.
  TIEBitmap k(1, 1, ie24RGB);
  k.AlphaChannel()->Scanline(0)[0] = 0;
  k.RemoveAlphaChannel(false, 0xFFFFFF);
  EXPECT_EQ(k.Scanline(0)[0], 0);
}

TEST(BitmapAlpha, ReplacedChannelIsMadeToFit) {
  TIEBitmap b(4, 3, ie24RGB);
  auto alpha = std::make_unique<TIEBitmap>(2, 2, ie1g);
  alpha->Fill(0);
  b.ReplaceAlphaChannel(std::move(alpha));
  TIEBitmap* a = b.AlphaChannelOrNull();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->IsAlphaChannel());
  EXPECT_EQ(a->PixelFormat(), ie8g);
  EXPECT_EQ(a->Width(), 4);
  EXPECT_EQ(a->Height(), 3);
  EXPECT_EQ(a->Scanline(0)[0], 0);    // the given pixels
  EXPECT_EQ(a->Scanline(2)[3], 255);  // padding is opaque
  b.ReplaceAlphaChannel(nullptr);
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST(BitmapAssign, CopiesPixelsPaletteAlphaAndSettingsIndependently) {
  StorageSettings restore;
  for (Storage s : {Storage::Contiguous, Storage::File}) {
    SCOPED_TRACE(Name(s));
    Force(s, 0);
    TIEBitmap src(5, 4, ie8p);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x) src.Scanline(y)[x] = static_cast<uint8_t>(y * 5 + x);
    src.SetPaletteEntry(7, TRGB{1, 2, 3});
    src.SetPaletteUsed(20);
    src.SetMonoConversion(0);
    src.SetDisplayRange(10, 20);
    src.InputICCProfile() = {1, 2, 3};
    src.AlphaChannel()->Scanline(2)[1] = 33;

    TIEBitmap dst(9, 9, ie24RGB);
    dst.Assign(&src);
    EXPECT_EQ(dst.Width(), 5);
    EXPECT_EQ(dst.Height(), 4);
    EXPECT_EQ(dst.PixelFormat(), ie8p);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x) EXPECT_EQ(dst.Scanline(y)[x], y * 5 + x);
    EXPECT_EQ(dst.PaletteEntry(7), (TRGB{1, 2, 3}));
    EXPECT_EQ(dst.PaletteUsed(), 20);
    EXPECT_EQ(dst.MonoConversion(), 0);
    EXPECT_EQ(dst.DisplayRange().Max, 20);
    EXPECT_EQ(dst.InputICCProfile().size(), 3u);
    ASSERT_TRUE(dst.HasAlphaChannel());
    EXPECT_EQ(dst.AlphaChannelOrNull()->Scanline(2)[1], 33);

    src.Scanline(0)[0] = 200;
    src.AlphaChannel()->Scanline(2)[1] = 44;
    EXPECT_EQ(dst.Scanline(0)[0], 0);
    EXPECT_EQ(dst.AlphaChannelOrNull()->Scanline(2)[1], 33);

    TIEBitmap noAlpha(2, 2, ie8g);
    dst.Assign(&noAlpha);
    EXPECT_FALSE(dst.HasAlphaChannel());
    dst.Assign(nullptr);
    EXPECT_EQ(dst.Width(), 2);
  }
}

TEST(BitmapAssign, SubRectangleConstructorClipsToTheSource) {
  TIEBitmap src(10, 3, ie1g);
  src.Scanline(1)[0] = 0b00110000;  // pixels 2 and 3 of row 1 white
  TIEBitmap part(src, 2, 1, 20, 5);
  EXPECT_EQ(part.Width(), 8);
  EXPECT_EQ(part.Height(), 2);
  EXPECT_EQ(part.PixelFormat(), ie1g);
  EXPECT_EQ(part.Scanline(0)[0], 0b11000000);
}

TEST(BitmapFill, WritesTheValueAndSetsFull) {
  struct Case {
    const char* name;
    TIEPixelFormat format;
    double value;
    std::vector<uint8_t> pixel;
    bool full;
  } cases[] = {
      {"ie1g non-zero is white", ie1g, 3, {0xFF}, true},
      {"ie1g zero is black", ie1g, 0, {0x00}, false},
      {"ie8g low byte", ie8g, 0x1FF, {0xFF}, true},
      {"ie8g truncates", ie8g, 12.9, {12}, false},
      {"ie16g low word", ie16g, 65535, {0xFF, 0xFF}, true},
      {"ie16g partial", ie16g, 0x1234, {0x34, 0x12}, false},
      {"ie24RGB red low byte", ie24RGB, 0x00332211, {0x33, 0x22, 0x11}, false},
      {"ie32RGB fourth byte opaque", ie32RGB, 0x000000FF, {0, 0, 0xFF, 0xFF}, false},
  };
  for (const Case& c : cases) {
    TIEBitmap b(9, 2, c.format);
    b.Fill(c.value);
    EXPECT_EQ(b.Full(), c.full) << c.name;
    for (size_t i = 0; i < c.pixel.size(); ++i) {
      EXPECT_EQ(b.Scanline(1)[i], c.pixel[i]) << c.name << " byte " << i;
      EXPECT_EQ(b.Scanline(0)[i], c.pixel[i]) << c.name << " byte " << i;
    }
  }
  TIEBitmap f(2, 1, ie32f);
  f.Fill(0.25);
  float v;
  std::memcpy(&v, f.Scanline(0) + 4, 4);
  EXPECT_EQ(v, 0.25f);
}

TEST(BitmapResize, AnchorsOldPixelsAndFillsNewArea) {
  struct Case {
    const char* name;
    TIEHAlign h;
    TIEVAlign v;
    int ox, oy;  // where the old top-left pixel lands in a 6 x 5 canvas
  } cases[] = {
      {"top left", iehLeft, ievTop, 0, 0},
      {"centre", iehCenter, ievCenter, 1, 1},
      {"bottom right", iehRight, ievBottom, 3, 2},
  };
  for (const Case& c : cases) {
    TIEBitmap b(3, 3, ie24RGB);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 3; ++x) b.PixelAddress(y, x)[0] = static_cast<uint8_t>(10 * y + x + 1);
    b.AlphaChannel()->Scanline(0)[0] = 7;
    ASSERT_TRUE(b.Resize(6, 5, 0x00FF0000, 0, c.h, c.v)) << c.name;
    EXPECT_EQ(b.Width(), 6);
    EXPECT_EQ(b.Height(), 5);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) {
        int sx = x - c.ox, sy = y - c.oy;
        bool old = sx >= 0 && sx < 3 && sy >= 0 && sy < 3;
        uint8_t blue = b.PixelAddress(y, x)[0];
        EXPECT_EQ(blue, old ? 10 * sy + sx + 1 : 0xFF) << c.name << " " << x << "," << y;
        uint8_t alpha = b.AlphaChannelOrNull()->Scanline(y)[x];
        EXPECT_EQ(alpha, old ? (sx == 0 && sy == 0 ? 7 : 255) : 0) << c.name;
      }
  }
  // Shrinking crops; 1-bit rows keep their bits at odd offsets.
  TIEBitmap m(10, 2, ie1g);
  m.Scanline(0)[0] = 0b01010101;
  m.Scanline(0)[1] = 0b11000000;
  ASSERT_TRUE(m.Resize(5, 1, 0, 255, iehRight, ievTop));
  EXPECT_EQ(m.Scanline(0)[0] & 0xF8, 0b10111000);
}

TEST(BitmapMask, CopiedIntoBitmapsAndAlphaChannels) {
  TIEMask mask(10, 2, 1);
  mask.SetPixel(0, 0, 1);
  mask.SetPixel(9, 1, 1);
  TIEBitmap plain;
  plain.CopyFromTIEMask(&mask);
  EXPECT_EQ(plain.PixelFormat(), ie1g);
  EXPECT_EQ(plain.Scanline(0)[0], 0x80);
  EXPECT_EQ(plain.Scanline(1)[1], 0x40);

  TIEBitmap image(10, 2, ie24RGB);
  image.AlphaChannel()->CopyFromTIEMask(&mask);
  TIEBitmap* a = image.AlphaChannelOrNull();
  EXPECT_EQ(a->PixelFormat(), ie8g);
  EXPECT_EQ(a->Scanline(0)[0], 255);
  EXPECT_EQ(a->Scanline(0)[1], 0);
  EXPECT_EQ(a->Scanline(1)[9], 255);

  // A mask of another size than the picture (a lying file) is made to fit.
  TIEMask small(4, 1, 8);
  small.Fill(0);
  image.AlphaChannel()->CopyFromTIEMask(&small);
  EXPECT_EQ(a->Width(), 10);
  EXPECT_EQ(a->Height(), 2);
  EXPECT_EQ(a->Scanline(0)[3], 0);
  EXPECT_EQ(a->Scanline(1)[9], 255);

  image.AlphaChannel()->CopyFromTIEMask(nullptr);
  EXPECT_EQ(a->Scanline(0)[0], 255);
  EXPECT_TRUE(a->Full());
}

TEST(BitmapMask, PixelsBoundingBoxAndFull) {
  TIEMask m(20, 10, 8);
  EXPECT_TRUE(m.IsEmpty());
  m.SetPixel(5, 3, 200);
  m.SetPixel(12, 7, 1);
  m.SetPixel(-1, 0, 9);  // ignored
  m.SetPixel(20, 0, 9);
  EXPECT_FALSE(m.IsEmpty());
  EXPECT_EQ(m.BoundingBox(), (TIERect{5, 3, 12, 7}));
  EXPECT_EQ(m.GetPixel(5, 3), 200);
  EXPECT_EQ(m.GetPixel(50, 3), 0);
  // Rows are bottom-up in the block: row 0 is the last one.
  EXPECT_EQ(m.Scanline(0), m.Scanline(9) + 9 * m.RowLen());

  m.Fill(255);
  EXPECT_TRUE(m.Full());
  m.SetPixel(0, 0, 254);
  EXPECT_FALSE(m.Full());
  m.Clear();
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_EQ(m.GetPixel(0, 0), 0);

  TIEMask bits(9, 3, 1);
  EXPECT_EQ(bits.RowLen(), 4);
  bits.SetPixel(8, 2, 1);
  EXPECT_EQ(bits.GetPixel(8, 2), 1);
  EXPECT_EQ(bits.Scanline(2)[1], 0x80);
  ASSERT_TRUE(bits.Resize(9, 5));
  EXPECT_EQ(bits.GetPixel(8, 2), 1);
  EXPECT_EQ(bits.BoundingBox(), (TIERect{8, 2, 8, 2}));
  ASSERT_TRUE(bits.Resize(4, 5));
  EXPECT_TRUE(bits.IsEmpty());

  EXPECT_FALSE(TIEMask().Allocate(10, 10, 4));
  EXPECT_FALSE(TIEMask().Allocate(0x7FFFFFFF, 0x7FFFFFFF, 8));
}

TEST(BitmapPixelFormat, SameFormatLeavesPixelsAndEmptyBitmapRecordsFormat) {
  TIEBitmap b(3, 3, ie24RGB);
  b.Scanline(1)[4] = 42;
  uint8_t* row = b.Scanline(1);
  b.SetPixelFormat(ie24RGB);
  EXPECT_EQ(b.Scanline(1), row);
  EXPECT_EQ(row[4], 42);

  TIEBitmap empty;
  empty.SetPixelFormat(ie8g);
  EXPECT_EQ(empty.PixelFormat(), ie8g);
  EXPECT_TRUE(empty.IsEmpty());
}

TEST(BitmapPixelFormat, InPlaceConversionKeepsAlphaUnderEveryStorage) {
  StorageSettings restore;
  for (Storage s : kStorages) {
    SCOPED_TRACE(Name(s));
    Force(s, IERowLen(7, 24) * 9);
    TIEBitmap b(7, 9, ie24RGB);
    Expect(s, b);
    std::mt19937 rng(5);
    for (int y = 0; y < 9; ++y)
      for (int64_t i = 0; i < 21; ++i) b.Scanline(y)[i] = static_cast<uint8_t>(rng());
    b.AlphaChannel()->Scanline(4)[2] = 9;
    std::vector<uint8_t> expected;
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 7; ++x) {
        const uint8_t* p = b.PixelAddress(y, x);
        expected.push_back(static_cast<uint8_t>((p[2] * 21 + p[1] * 71 + p[0] * 8) / 100));
      }
    b.SetPixelFormat(ie8g);
    EXPECT_EQ(b.PixelFormat(), ie8g);
    EXPECT_EQ(b.BitCount(), 8);
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 7; ++x) ASSERT_EQ(b.Scanline(y)[x], expected[y * 7 + x]);
    ASSERT_TRUE(b.HasAlphaChannel());
    EXPECT_EQ(b.AlphaChannelOrNull()->Scanline(4)[2], 9);
  }
}
