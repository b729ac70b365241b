#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>

#include "iecore.h"
#include "iestream.h"
#include "ietempfile.h"
#include "testsupport.h"

TEST(CheckedSizes, RejectsOverflowAndAbsurdPictures) {
  struct Case {
    const char* name;
    int64_t w, h, bits;
    bool ok;
  } cases[] = {
      {"one pixel", 1, 1, 1, true},
      {"30000 square scan", 30000, 30000, 24, true},
      {"zero width", 0, 10, 24, false},
      {"negative height", 10, -1, 24, false},
      {"60000 square is past the pixel limit", 60000, 60000, 24, false},
      {"past the side limit", (1 << 20) + 1, 1, 8, false},
      {"past the pixel limit", 1 << 20, 1 << 11, 8, false},
      {"int32 extremes", 0x7FFFFFFF, 0x7FFFFFFF, 48, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IEImageSizeOk(c.w, c.h, c.bits), c.ok) << c.name;
  int64_t out = 0;
  EXPECT_FALSE(IECheckedMul(int64_t(1) << 40, int64_t(1) << 30, out));
  EXPECT_TRUE(IECheckedMul(3, 4, out));
  EXPECT_EQ(out, 12);
}

TEST(MemoryStream, ReadsWritesAndSeeksWithinBounds) {
  TIEMemoryStream s;
  s.WriteString("hello");
  s.Seek(10, soBeginning);
  s.WriteString("!");
  EXPECT_EQ(s.Size(), 11);
  s.SetPosition(0);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 16), 11);
  EXPECT_EQ(std::memcmp(buf, "hello\0\0\0\0\0!", 11), 0);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Seek(-100, soCurrent), 0);

  const uint8_t fixed[3] = {1, 2, 3};
  TIEMemoryStream view(fixed, 3);
  EXPECT_THROW(view.Write("x", 1), EIEException);
  EXPECT_EQ(view.Seek(1, soEnd), 4);
  EXPECT_EQ(view.Remaining(), 0);
}

TEST(FileStream, BufferedWritesReadBackAcrossBufferBoundaries) {
  testsupport::TempDir dir;
  std::string name = dir.File("data.bin");
  std::vector<uint8_t> data(200000);
  std::iota(data.begin(), data.end(), 0);
  {
    TIEFileStream f(name, fmCreate);
    for (size_t i = 0; i < data.size(); i += 777)
      f.Write(data.data() + i, static_cast<int64_t>(std::min<size_t>(777, data.size() - i)));
    f.Seek(5, soBeginning);
    f.Write("\xFF", 1);
    data[5] = 0xFF;
    f.Close();
  }
  TIEFileStream f(name, fmOpenRead);
  EXPECT_EQ(f.Size(), 200000);
  std::vector<uint8_t> back(data.size());
  EXPECT_EQ(f.Read(back.data(), 100), 100);
  EXPECT_EQ(f.Read(back.data() + 100, 199900), 199900);
  EXPECT_EQ(back, data);
  EXPECT_THROW(TIEFileStream(dir.File("missing"), fmOpenRead), EIEException);
}

TEST(TempFile, IsPrivateAndGoneFromTheFolderAtOnce) {
  testsupport::TempDir dir;
  std::string name;
  int fd = IECreateTempFile(dir.Path().string(), "IMG", &name);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(name.rfind(dir.Path().string() + "/IMG-", 0), 0u);
  EXPECT_EQ(name.size() - name.rfind('-'), std::strlen("-XXXXXXXX.tmp"));
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_EQ(::write(fd, "abc", 3), 3);
  ::close(fd);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  EXPECT_THROW(IECreateTempFile(dir.File("no/such/folder"), "IMG"), EIEException);
}
