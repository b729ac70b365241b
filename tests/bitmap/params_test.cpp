#include <gtest/gtest.h>

#include <memory>

#include "iebitmap.h"
#include "ieglobal.h"
#include "ieparams.h"

TEST(IOParams, NewRecordHasTheDefaults) {
  TIOParams p;
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.Width, 0);
  EXPECT_EQ(p.Height, 0);
  EXPECT_EQ(p.DpiX(), 300);
  EXPECT_EQ(p.DpiY(), 300);
  EXPECT_EQ(p.ExifXResolution, 300.0);
  EXPECT_EQ(p.ImageIndex(), 0);
  EXPECT_EQ(p.ImageCount(), 0);
  EXPECT_EQ(p.JpegQuality, 80);
  EXPECT_EQ(p.JpegScale, 1);
  EXPECT_EQ(p.JpegDctMethod, 0);
  EXPECT_EQ(p.JpegColorSpace, 2);
  EXPECT_EQ(p.JpegChromaSubsampling, 1);
  EXPECT_FALSE(p.EnableAdjustOrientation());
  EXPECT_TRUE(p.ReadMetadata);
  EXPECT_EQ(p.PdfCompression, pdfUncompressed);
  EXPECT_EQ(p.PdfPaperWidth, 595);
  EXPECT_EQ(p.PdfPaperHeight, 842);
  EXPECT_EQ(p.TiffSubIndex, -1);
  EXPECT_EQ(p.TiffTileIndex, -1);
  EXPECT_EQ(p.IcoBackground, (TRGB{255, 255, 255}));
  EXPECT_EQ(p.TgaGamma, 2.2);
  EXPECT_EQ(p.ColorMapCount(), 0);
}

TEST(IOParams, DefaultsFollowTheGlobalSettingsAndTheOwner) {
  auto& g = IEGlobalSettings();
  const TIOParamDefaults saved = g.IOParamDefaults;
  const TIELzwCompressor savedEncoder = g.TiffLzwEncoder;
  g.IOParamDefaults.JpegQuality = 55;
  g.IOParamDefaults.EnableAdjustOrientation = true;
  g.TiffLzwEncoder = [](const uint8_t*, int64_t, TIEStream&, void*&) {};
  TIOParams p;
  EXPECT_EQ(p.JpegQuality, 55);
  EXPECT_TRUE(p.EnableAdjustOrientation());
  EXPECT_TRUE(p.JpegEnableAdjustOrientation);
  EXPECT_EQ(p.LzwCompressor, g.TiffLzwEncoder);
  g.IOParamDefaults = saved;
  g.TiffLzwEncoder = savedEncoder;

  TIEBitmap bitmap(17, 9, ie24RGB);
  TIOParams owned(&bitmap);
  EXPECT_EQ(owned.Width, 17);
  EXPECT_EQ(owned.Height, 9);
}

TEST(IOParams, SettersKeepTheirMirrorsEqual) {
  TIOParams p;
  p.SetImageIndex(2);
  for (int v : {p.ImageIndex(), p.TiffImageIndex, p.GifImageIndex, p.DcxImageIndex,
                p.IcoImageIndex, p.CurImageIndex})
    EXPECT_EQ(v, 2);
  p.SetImageCount(7);
  for (int v : {p.ImageCount(), p.TiffImageCount, p.GifImageCount, p.DcxImageCount,
                p.IcoImageCount})
    EXPECT_EQ(v, 7);
  p.SetGetThumbnail(true);
  EXPECT_TRUE(p.JpegGetExifThumbnail && p.TiffGetThumbnail && p.RawGetExifThumbnail);
  p.SetEnableAdjustOrientation(true);
  EXPECT_TRUE(p.JpegEnableAdjustOrientation && p.TiffEnableAdjustOrientation);
  p.SetDpiX(72);
  p.SetDpiY(96);
  EXPECT_EQ(p.ExifXResolution, 72.0);
  EXPECT_EQ(p.ExifYResolution, 96.0);
}

TEST(IOParams, ResetInfoClearsMetadataButKeepsFileFacts) {
  TIOParams p;
  p.Width = 640;
  p.Height = 480;
  p.SetDpiX(150);
  p.SetDpiY(200);
  p.JpegMarkers = {{0xE1, {1, 2}}, {0xE2, {3}}, {0xFE, {4}}};
  p.ExifOrientation = 6;
  p.ExifXResolution = 150.5;
  p.ExifInteropIndex = "R03";
  p.ExifThumbnail = std::make_unique<TIEBitmap>(2, 2, ie24RGB);
  p.InputICCProfile = {9, 9};
  p.IptcData = {1};
  p.XmpData = "<x/>";
  p.PngTextKeys = {"k"};
  p.GifComments = {"c"};
  p.Annotations = {1};

  TIOParams markersOnly(p);
  markersOnly.ResetInfo(ieriMarkers);  // APP2 (ICC) markers stay without the ICC bit
  ASSERT_EQ(markersOnly.JpegMarkers.size(), 1u);
  EXPECT_EQ(markersOnly.JpegMarkers[0].type, 0xE2);
  EXPECT_EQ(markersOnly.InputICCProfile.size(), 2u);

  p.ResetInfo(0);
  EXPECT_TRUE(p.JpegMarkers.empty());
  EXPECT_EQ(p.ExifOrientation, 1);
  EXPECT_EQ(p.ExifThumbnail, nullptr);
  EXPECT_TRUE(p.ExifInteropIndex.empty());
  EXPECT_TRUE(p.InputICCProfile.empty());
  EXPECT_TRUE(p.IptcData.empty());
  EXPECT_TRUE(p.XmpData.empty());
  EXPECT_TRUE(p.PngTextKeys.empty());
  EXPECT_TRUE(p.GifComments.empty());
  EXPECT_TRUE(p.Annotations.empty());
  EXPECT_EQ(p.Width, 640);
  EXPECT_EQ(p.Height, 480);
  EXPECT_EQ(p.DpiX(), 150);
  EXPECT_EQ(p.DpiY(), 200);
  EXPECT_EQ(p.ExifXResolution, 150.0);  // follows the kept resolution
}

TEST(IOParams, AssignIsDeep) {
  auto source = std::make_unique<TIOParams>();
  source->ColorMap.resize(16);
  source->ColorMap[5] = TRGB{1, 2, 3};
  source->SetImageIndex(3);
  source->SetDpiX(123);
  source->JpegMarkers = {{0xE1, {7, 8, 9}}};
  source->ExifThumbnail = std::make_unique<TIEBitmap>(3, 2, ie8g);
  source->ExifThumbnail->Scanline(1)[2] = 77;
  source->GifVersion = "GIF87a";

  TIOParams copy;
  copy.Assign(*source);
  source->ColorMap[5] = TRGB{};
  source->ExifThumbnail->Scanline(1)[2] = 0;
  source->JpegMarkers[0].data[0] = 0;
  EXPECT_EQ(copy.ColorMapCount(), 16);
  EXPECT_EQ(copy.ColorMap[5], (TRGB{1, 2, 3}));
  EXPECT_EQ(copy.JpegMarkers[0].data[0], 7);
  ASSERT_NE(copy.ExifThumbnail, nullptr);
  EXPECT_EQ(copy.ExifThumbnail->Scanline(1)[2], 77);
  source.reset();
  EXPECT_EQ(copy.ColorMap[5], (TRGB{1, 2, 3}));
  EXPECT_EQ(copy.ImageIndex(), 3);
  EXPECT_EQ(copy.GifImageIndex, 3);
  EXPECT_EQ(copy.DpiX(), 123);
  EXPECT_EQ(copy.GifVersion, "GIF87a");

  // A source without a thumbnail frees the target's.
  TIOParams plain;
  copy = plain;
  EXPECT_EQ(copy.ExifThumbnail, nullptr);
  EXPECT_EQ(copy.ColorMapCount(), 0);
}

TEST(GlobalSettings, OneObjectWithTheDefaults) {
  TIEGlobalSettings& g = TIEGlobalSettings::Instance();
  EXPECT_EQ(&g, &IEGlobalSettings());
  EXPECT_EQ(g.RedToGrayCoef + g.GreenToGrayCoef + g.BlueToGrayCoef, 100);
  EXPECT_EQ(g.DefaultDpiX, 300);
  EXPECT_EQ(g.MinPixelsForThreads, 65536);
  EXPECT_EQ(g.MaxThreadCount, 4);
  EXPECT_EQ(g.ResampleFallbackFilter, rfFastLinear);
  EXPECT_EQ(g.IOParamDefaults.JpegQuality, 80);
  EXPECT_GE(g.ProcessorCoreCount(), 1);
}
