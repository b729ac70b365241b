// Failures in the middle of a conversion: a file system that fills up, inputs
// and folders we may not touch. Each must end with a message that says what
// went wrong, leave an existing output file as it was, and leave no
// temporary files behind.
//
// Running as root makes file permissions moot, so those cases drop the
// capabilities that override them (setpriv for a command, capset for this
// process). Full disks are small tmpfs mounts inside a private mount
// namespace, which vanish with the command; without one the file-size limit
// stands in.

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apptexts.h"
#include "convjob.h"
#include "imagelist.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::HaveTool;
using testsupport::Put16;
using testsupport::Put32;
using testsupport::Quote;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const std::string kCli = VELMORA_CLI;

// A 24-bit BMP of w x h pixels of noise; uncompressed in a PDF it takes
// w * h * 3 bytes.
void WriteBmp(const std::string& path, int w, int h, uint32_t seed = 1) {
  const uint32_t row = (uint32_t(w) * 3 + 3) & ~3u;
  std::vector<uint8_t> v = {'B', 'M'};
  for (uint32_t x : {54 + row * h, 0u, 54u, 40u, uint32_t(w), uint32_t(h)}) Put32(v, x);
  Put16(v, 1);
  Put16(v, 24);
  for (uint32_t x : {0u, row * h, 2835u, 2835u, 0u, 0u}) Put32(v, x);
  for (int y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < row; ++x) {
      seed = seed * 1103515245u + 12345u;
      v.push_back(uint8_t(seed >> 16));
    }
  }
  WriteFileBytes(path, v);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<uint8_t> b = ReadFileBytes(path);
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t c : b) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += char(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

int PdfPages(const std::string& pdf) {
  CommandResult r = RunCommand("pdfinfo " + Quote(pdf));
  size_t at = r.output.find("\nPages:");
  return at == std::string::npos ? -1 : std::stoi(r.output.substr(at + 7));
}

// A real document to stand for the file a failed run must not touch.
std::vector<uint8_t> MakeOldDocument(const TempDir& dir, const std::string& path) {
  WriteBmp(dir.File("old.bmp"), 8, 8, 99);
  CommandResult r = RunCommand(Quote(kCli) + " -q " + Quote(dir.File("old.bmp")) + " -o " + Quote(path));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  fs::remove(dir.File("old.bmp"));
  return ReadFileBytes(path);
}

bool CanMountTmpfs() {
  static const bool can = [] {
    if (!HaveTool("unshare")) return false;
    TempDir d;
    return RunCommand("unshare -m sh -c " + Quote("mount -t tmpfs -o size=64k tmpfs " + Quote(d.Path()))).exitCode ==
           0;
  }();
  return can;
}

// What to put before a command so that file permissions hold for it; none
// when they cannot be made to hold here.
std::optional<std::string> PermissionsPrefix() {
  static const std::optional<std::string> prefix = []() -> std::optional<std::string> {
    TempDir d;
    const std::string locked = d.File("locked");
    WriteFileBytes(locked, "x", 1);
    fs::permissions(locked, fs::perms::none);
    for (std::string p : {"", "setpriv --bounding-set -dac_override,-dac_read_search "})
      if (RunCommand(p + "true").exitCode == 0 && RunCommand(p + "cat " + Quote(locked)).exitCode != 0) return p;
    return std::nullopt;
  }();
  return prefix;
}

// Drops, for its lifetime, this thread's capabilities that override file
// permissions; Holds() tells whether permissions now apply.
class TPermissionsHold {
public:
  TPermissionsHold() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    if (::syscall(SYS_capset, &header_, reduced) != 0) return;
    dropped_ = true;
    TempDir d;
    WriteFileBytes(d.File("locked"), "x", 1);
    fs::permissions(d.File("locked"), fs::perms::none);
    FILE* f = std::fopen(d.File("locked").c_str(), "rb");
    holds_ = f == nullptr;
    if (f) std::fclose(f);
  }
  ~TPermissionsHold() {
    if (dropped_) ::syscall(SYS_capset, &header_, saved_);
  }
  TPermissionsHold(const TPermissionsHold&) = delete;
  TPermissionsHold& operator=(const TPermissionsHold&) = delete;
  bool Holds() const { return holds_; }

private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool dropped_ = false, holds_ = false;
};

class FailureTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveTool("pdfinfo")) GTEST_SKIP() << "pdfinfo is not installed";
  }
  TempDir dir;
};

// --- A full file system ----------------------------------------------------------

// Five pictures of 120 000 bytes each: one fits a 256 KiB file system, the
// document does not.
struct TDiskFullRun {
  CommandResult result;
  std::string full;  // the folder that filled up
  std::string out;   // the output file
  std::vector<std::string> leftInFull, leftInOut, leftInTemp;
  std::vector<uint8_t> oldBytes, afterBytes;
};

enum TFullFolder { ffOutput, ffTemporary };

// Runs the conversion with `which` folder on a small tmpfs, or under a
// file-size limit when no tmpfs can be mounted. Listings of the folders and
// the output file are taken before the mount goes away.
TDiskFullRun RunWithFullDisk(const TempDir& dir, TFullFolder which, bool tmpfs) {
  TDiskFullRun run;
  std::string inputs;
  for (int i = 0; i < 5; ++i) {
    const std::string in = dir.File("in" + std::to_string(i) + ".bmp");
    WriteBmp(in, 200, 200, i + 1);
    inputs += " " + Quote(in);
  }
  for (const char* f : {"out", "tmp", "full", "report"}) fs::create_directory(dir.File(f));
  run.full = dir.File("full");
  const std::string outDir = which == ffOutput ? run.full : dir.File("out");
  const std::string tmpDir = which == ffTemporary ? run.full : dir.File("tmp");
  run.out = outDir + "/doc.pdf";
  run.oldBytes = MakeOldDocument(dir, dir.File("report/old.pdf"));
  auto report = [&](const std::string& name) { return Quote(dir.File("report/" + name)); };

  std::string script = tmpfs ? "mount -t tmpfs -o size=256k tmpfs " + Quote(run.full) + " || exit 99\n"
                             : "ulimit -f 400\n";  // 200 or 400 KiB, after the shell's block size
  script += "cp " + report("old.pdf") + " " + Quote(run.out) + "\n";
  script += "TMPDIR=" + Quote(tmpDir) + " " + Quote(kCli) + " --compression none" + inputs + " -o " +
            Quote(run.out) + "\n";
  script += "status=$?\n";
  script += "ls -A " + Quote(run.full) + " > " + report("full.txt") + "\n";
  script += "ls -A " + Quote(outDir) + " > " + report("out.txt") + "\n";
  script += "ls -A " + Quote(tmpDir) + " > " + report("tmp.txt") + "\n";
  script += "cp " + Quote(run.out) + " " + report("after.pdf") + "\n";
  script += "exit $status\n";
  run.result = RunCommand((tmpfs ? "unshare -m sh -c " : "sh -c ") + Quote(script));
  run.leftInFull = Lines(dir.File("report/full.txt"));
  run.leftInOut = Lines(dir.File("report/out.txt"));
  run.leftInTemp = Lines(dir.File("report/tmp.txt"));
  run.afterBytes = ReadFileBytes(dir.File("report/after.pdf"));
  return run;
}

TEST_F(FailureTest, TheOutputFolderFillsUp) {
  if (!CanMountTmpfs())
    GTEST_SKIP() << "no tmpfs can be mounted here, and a file-size limit would stop the temporary file first";
  TDiskFullRun run = RunWithFullDisk(dir, ffOutput, true);
  EXPECT_EQ(run.result.exitCode, 2) << run.result.output;
  EXPECT_EQ(run.result.output,
            "velmora-cli: cannot write " + run.out + ": Cannot write file \"" + run.out + "\": No space left on device\n");
  EXPECT_EQ(run.afterBytes, run.oldBytes);
  EXPECT_EQ(run.leftInFull, std::vector<std::string>{"doc.pdf"});
  EXPECT_EQ(run.leftInTemp, std::vector<std::string>{});
}

TEST_F(FailureTest, TheTemporaryFolderFillsUp) {
  const bool tmpfs = CanMountTmpfs();
  TDiskFullRun run = RunWithFullDisk(dir, ffTemporary, tmpfs);
  EXPECT_EQ(run.result.exitCode, 2) << run.result.output;
  // The parked image data fails first; the message names the output, the
  // place that filled up and why.
  const std::string head = "velmora-cli: cannot write " + run.out + ": Cannot write temporary file " + run.full +
                           "/~ietemp-";
  const std::string tail = std::string(".tmp: ") + (tmpfs ? "No space left on device" : "File too large") + "\n";
  const std::string& said = run.result.output;
  EXPECT_TRUE(said.rfind(head, 0) == 0 && said.size() == head.size() + 8 + tail.size() &&
              said.compare(said.size() - tail.size(), tail.size(), tail) == 0)
      << said;
  EXPECT_EQ(run.afterBytes, run.oldBytes);
  EXPECT_EQ(run.leftInOut, std::vector<std::string>{"doc.pdf"});
  EXPECT_EQ(run.leftInFull, std::vector<std::string>{});
  if (!tmpfs) GTEST_SKIP() << "no tmpfs can be mounted here; a file-size limit stood in for a full disk";
}

// --- Inputs and folders we may not touch ---------------------------------------------

TEST_F(FailureTest, UnreadableInputsAreSkippedWithTheirReason) {
  std::optional<std::string> prefix = PermissionsPrefix();
  if (!prefix) GTEST_SKIP() << "file permissions cannot be made to hold here";
  WriteBmp(dir.File("a.bmp"), 20, 20, 1);
  WriteBmp(dir.File("locked.bmp"), 20, 20, 2);
  WriteBmp(dir.File("c.bmp"), 20, 20, 3);
  fs::create_directory(dir.File("closed"));
  WriteBmp(dir.File("closed/inside.bmp"), 20, 20, 4);
  fs::permissions(dir.File("locked.bmp"), fs::perms::none);
  fs::permissions(dir.File("closed"), fs::perms::none);
  const std::string out = dir.File("out.pdf");
  const std::string cli = *prefix + Quote(kCli) + " ";

  CommandResult r = RunCommand(cli + Quote(dir.File("a.bmp")) + " " + Quote(dir.File("locked.bmp")) + " " +
                               Quote(dir.File("closed")) + " " + Quote(dir.File("closed/inside.bmp")) + " " +
                               Quote(dir.File("c.bmp")) + " -o " + Quote(out));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (const char* name : {"locked.bmp", "closed", "closed/inside.bmp"})
    EXPECT_NE(r.output.find("skipping " + dir.File(name) + ": Permission denied\n"), std::string::npos)
        << name << "\n" << r.output;
  EXPECT_EQ(PdfPages(out), 2);

  // Nothing readable: nothing written, the old file kept.
  std::vector<uint8_t> old = ReadFileBytes(out);
  std::vector<std::string> before = FolderNames(dir.Path());
  r = RunCommand(cli + Quote(dir.File("locked.bmp")) + " " + Quote(dir.File("closed")) + " -o " + Quote(out));
  EXPECT_EQ(r.exitCode, 3) << r.output;
  // Folders are listed before files are looked into.
  EXPECT_EQ(r.output, "velmora-cli: skipping " + dir.File("closed") + ": Permission denied\n" +
                          "velmora-cli: skipping " + dir.File("locked.bmp") + ": Permission denied\n" +
                          "velmora-cli: no input could be read; nothing written\n");
  EXPECT_EQ(ReadFileBytes(out), old);
  EXPECT_EQ(FolderNames(dir.Path()), before);

  r = RunCommand(cli + "--info " + Quote(dir.File("locked.bmp")));
  EXPECT_EQ(r.exitCode, 3) << r.output;
  EXPECT_EQ(r.output, "velmora-cli: skipping " + dir.File("locked.bmp") + ": Permission denied\n");

  fs::permissions(dir.File("closed"), fs::perms::owner_all);
}

TEST_F(FailureTest, AnUnwritableOutputFolderIsReportedBeforeTheWork) {
  std::optional<std::string> prefix = PermissionsPrefix();
  if (!prefix) GTEST_SKIP() << "file permissions cannot be made to hold here";
  WriteBmp(dir.File("a.bmp"), 20, 20);
  WriteFileBytes(dir.File("junk.bmp"), "not a picture", 13);
  fs::create_directory(dir.File("ro"));
  const std::string ro = dir.File("ro");
  const std::vector<uint8_t> old = MakeOldDocument(dir, ro + "/doc.pdf");
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

  for (const char* name : {"doc.pdf", "new.pdf"}) {
    SCOPED_TRACE(name);
    const std::string out = ro + "/" + name;
    // The junk input would be reported if the inputs were read first.
    CommandResult r = RunCommand(*prefix + Quote(kCli) + " " + Quote(dir.File("junk.bmp")) + " " +
                                 Quote(dir.File("a.bmp")) + " -o " + Quote(out));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(r.output, "velmora-cli: cannot write " + out + ": the folder " + ro +
                            " is not writable: Permission denied\n");
    EXPECT_EQ(FolderNames(ro), std::vector<std::string>{"doc.pdf"});
    EXPECT_EQ(ReadFileBytes(ro + "/doc.pdf"), old);
  }

  // A link in a writable folder gets past that check; the save itself must
  // fail as cleanly.
  fs::create_directory(dir.File("out"));
  const std::string link = dir.File("out/link.pdf");
  fs::create_symlink(ro + "/doc.pdf", link);
  CommandResult r = RunCommand(*prefix + Quote(kCli) + " " + Quote(dir.File("a.bmp")) + " -o " + Quote(link));
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_EQ(r.output, "velmora-cli: cannot write " + link + ": Cannot create file \"" + link +
                          "\". Permission denied\n");
  EXPECT_EQ(FolderNames(ro), std::vector<std::string>{"doc.pdf"});
  EXPECT_EQ(FolderNames(dir.File("out")), std::vector<std::string>{"link.pdf"});
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(ro + "/doc.pdf"), old);

  fs::permissions(ro, fs::perms::owner_all);
}

// --- Inputs that change while the job runs -----------------------------------------

// Does something to the file of an entry just before the job reads it.
class TChangingHost : public TConvertHost {
public:
  TChangingHost(std::string output, int atStep, std::function<void(const std::string&)> change)
      : output_(std::move(output)), atStep_(atStep), change_(std::move(change)) {}
  bool ChooseOutputFile(const std::string&, std::string& fileName) override {
    fileName = output_;
    return true;
  }
  void ShowMessage(const TJobMessage&) override {}
  void BeginProgress(int, const std::string&) override {}
  void StepProgress(int done, int, const TImageEntry& entry) override {
    if (done == atStep_) change_(entry.Path);
  }
  void EndProgress() override {}
  void EntrySkipped(const TImageEntry& entry, TSkipReason reason) override {
    Skipped.push_back(fs::path(entry.Path).filename().string() + (reason == srMissing ? " missing" : " unreadable"));
  }
  std::vector<std::string> Skipped;

private:
  std::string output_;
  int atStep_;
  std::function<void(const std::string&)> change_;
};

TEST_F(FailureTest, AnInputThatChangesDuringTheJob) {
  for (const char* name : {"1.bmp", "2.bmp", "3.bmp"}) WriteBmp(dir.File(name), 20, 20);
  const std::vector<TImageEntry> entries = {MakeImageEntry(dir.File("1.bmp"), 0),
                                            MakeImageEntry(dir.File("2.bmp"), 0),
                                            MakeImageEntry(dir.File("3.bmp"), 0)};
  const std::string out = dir.File("doc.pdf");
  TConvertOptions options;
  options.WriteEmptyDocument = false;

  {
    // Gone: that entry makes no page, the others convert.
    TChangingHost host(out, 2, [](const std::string& path) { fs::remove(path); });
    TConvertResult r = RunConvertJob(entries, options, host, TMessageTexts::English());
    EXPECT_EQ(r.Status, csWritten) << r.Error;
    EXPECT_EQ(r.Pages, 2);
    EXPECT_EQ(host.Skipped, std::vector<std::string>{"2.bmp missing"});
    EXPECT_EQ(PdfPages(out), 2);
  }

  // Locked: a file that cannot be opened ends the job, naming the file and
  // why; the old document stays as it was.
  WriteBmp(dir.File("2.bmp"), 20, 20);
  const std::vector<uint8_t> old = ReadFileBytes(out);
  const std::vector<std::string> before = FolderNames(dir.Path());
  TPermissionsHold permissions;
  if (!permissions.Holds()) GTEST_SKIP() << "file permissions cannot be made to hold here";
  TChangingHost host(out, 2, [](const std::string& path) { fs::permissions(path, fs::perms::none); });
  TConvertResult r = RunConvertJob(entries, options, host, TMessageTexts::English());
  EXPECT_EQ(r.Status, csFailed);
  EXPECT_EQ(r.Error, "Cannot open file \"" + dir.File("2.bmp") + "\": Permission denied");
  EXPECT_EQ(ReadFileBytes(out), old);
  EXPECT_EQ(FolderNames(dir.Path()), before);
}

}  // namespace
