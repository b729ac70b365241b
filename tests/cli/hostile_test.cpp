// velmora-cli over the hostile corpus in tests/data/hostile (truncated,
// lying, looping and mislabelled files): every file becomes pages or is
// skipped with a reason, the tool never crashes or hangs, and what it writes
// passes qpdf.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::Quote;
using testsupport::RunCommand;
using testsupport::TempDir;

const std::string kCli = VELMORA_CLI;
const std::string kCorpus = testsupport::DataPath("hostile");
constexpr int kTimeoutSeconds = 300;     // a run over many files
constexpr int kOneFileTimeoutSeconds = 60;

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kCorpus))
    if (e.is_regular_file() && e.path().extension() != ".py") names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// The group a file is run with: the word its name starts with.
std::string Group(const std::string& name) { return name.substr(0, name.find_first_of("-.")); }

struct TFileOutcome {
  bool wholeSkipped = false;   // a skip line names the file itself
  int frames = 0;              // "n" of "(frame k of n)" lines
  std::set<int> framesSkipped;
};

struct TRun {
  std::vector<std::string> files;
  CommandResult result;
  int pages = 0;
  std::map<std::string, TFileOutcome> outcome;
  std::vector<std::string> skipLines;  // "subject: reason"
  std::vector<std::string> problems;
};

bool Ok(const TRun& run) { return run.problems.empty(); }

std::string Head(const std::string& text, size_t most = 4000) {
  return text.size() <= most ? text : text.substr(0, most) + "\n[... " + std::to_string(text.size() - most) +
                                          " more bytes]";
}

// The end of what a run printed: where it hung or died.
std::string Tail(const std::string& text, size_t most = 4000) {
  return text.size() <= most ? text : "[" + std::to_string(text.size() - most) + " bytes ...]\n" +
                                          text.substr(text.size() - most);
}

std::string DescribeStatus(int status, int timeout = kTimeoutSeconds) {
  if (status == 124 || status == 137) return "hung (killed after " + std::to_string(timeout) + " s)";
  if (status > 128) return "died of signal " + std::to_string(status - 128);
  return "exit status " + std::to_string(status);
}

int PdfPages(const std::string& pdf) {
  CommandResult r = RunCommand("pdfinfo " + Quote(pdf));
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Pages:", 0) == 0) return std::atoi(line.c_str() + 6);
  return -1;
}

// Frame counts from --info of files that converted without a skip line:
// "name: Description, W x H, N frames".
std::map<std::string, int> InfoFrames(const std::vector<std::string>& files, std::vector<std::string>& problems) {
  std::map<std::string, int> frames;
  if (files.empty()) return frames;
  std::string cmd = "cd " + Quote(kCorpus) + " && timeout -k 10 " + std::to_string(kTimeoutSeconds) + " " +
                    Quote(kCli) + " --info";
  for (const std::string& f : files) cmd += " " + Quote(f);
  CommandResult r = RunCommand(cmd);
  if (r.exitCode != 0) problems.push_back("--info: " + DescribeStatus(r.exitCode) + "\n" + Head(r.output));
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(": ");
    size_t comma = line.rfind(", ");
    if (colon == std::string::npos || comma == std::string::npos || line.rfind("  ", 0) == 0) continue;
    int n = 0;
    if (std::sscanf(line.c_str() + comma + 2, "%d frame", &n) == 1) frames[line.substr(0, colon)] = n;
  }
  return frames;
}

// Runs the converter on files of the corpus and judges what it did.
TRun Convert(const std::vector<std::string>& files, const std::string& label, int timeout = kTimeoutSeconds) {
  TRun run;
  run.files = files;
  TempDir dir;
  const fs::path outDir = dir.Path() / "out", tmpDir = dir.Path() / "tmp";
  fs::create_directory(outDir);
  fs::create_directory(tmpDir);
  const std::string out = (outDir / "out.pdf").string();
  std::string cmd = "cd " + Quote(kCorpus) + " && TMPDIR=" + Quote(tmpDir.string()) + " timeout -k 10 " +
                    std::to_string(timeout) + " " + Quote(kCli);
  for (const std::string& f : files) cmd += " " + Quote(f);
  run.result = RunCommand(cmd + " -o " + Quote(out) + " </dev/null");
  auto problem = [&](const std::string& what) { run.problems.push_back(label + ": " + what); };

  const int status = run.result.exitCode;
  if (status != 0 && status != 3) problem(DescribeStatus(status, timeout) + "\n" + Tail(run.result.output));
  for (const char* alarm : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    size_t at = run.result.output.find(alarm);
    if (at != std::string::npos)
      problem(std::string("sanitizer report\n") + Head(run.result.output.substr(at > 2000 ? at - 2000 : 0)));
  }

  const std::set<std::string> known(files.begin(), files.end());
  std::istringstream in(run.result.output);
  std::string line;
  const std::string tag = "skipping ";
  while (std::getline(in, line)) {
    size_t at = line.find(tag);
    if (at == std::string::npos) continue;
    const std::string rest = line.substr(at + tag.size());
    size_t colon = rest.find(": ");
    if (colon == std::string::npos || colon + 2 >= rest.size()) {
      problem("a skip line without a reason: " + line);
      continue;
    }
    run.skipLines.push_back(rest);
    std::string subject = rest.substr(0, colon);
    int k = 0, n = 0;
    size_t paren = subject.rfind(" (frame ");
    if (paren != std::string::npos &&
        std::sscanf(subject.c_str() + paren, " (frame %d of %d)", &k, &n) == 2) {
      subject.resize(paren);
      if (!known.count(subject) || k < 1 || k > n) {
        problem("a skip line for no input frame: " + line);
        continue;
      }
      TFileOutcome& o = run.outcome[subject];
      o.frames = n;
      o.framesSkipped.insert(k);
    } else if (known.count(subject)) {
      run.outcome[subject].wholeSkipped = true;
    } else {
      problem("a skip line for no input: " + line);
    }
  }

  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(outDir))
    if (e.path() != out) left.push_back(e.path().filename());
  for (const auto& e : fs::directory_iterator(tmpDir)) left.push_back("$TMPDIR/" + e.path().filename().string());
  if (!left.empty()) problem("left behind: " + left.front() + (left.size() > 1 ? " and more" : ""));

  if (status == 0) {
    run.pages = PdfPages(out);
    std::string qpdf = testsupport::QpdfProblems(out);
    if (!qpdf.empty()) problem("qpdf --check: " + Head(qpdf));
    if (run.result.output.find("Wrote " + out + " (" + std::to_string(run.pages) + " page") == std::string::npos)
      problem("pdfinfo counts " + std::to_string(run.pages) + " pages, the tool said otherwise");
  } else if (status == 3 && fs::exists(out)) {
    problem("exit status 3 but " + out + " exists");
  }
  if (!Ok(run)) return run;

  // Every frame of every file is a page or a skip line.
  std::vector<std::string> untold;
  int expected = 0;
  for (const std::string& f : files) {
    auto it = run.outcome.find(f);
    if (it == run.outcome.end()) untold.push_back(f);
    else if (!it->second.wholeSkipped) expected += it->second.frames - int(it->second.framesSkipped.size());
  }
  std::map<std::string, int> frames = InfoFrames(untold, run.problems);
  for (const std::string& f : untold) {
    auto it = frames.find(f);
    if (it == frames.end() || it->second < 1) problem(f + " gave no skip line, yet --info finds no frame in it");
    else expected += it->second;
  }
  if (expected != run.pages)
    problem(std::to_string(run.pages) + " pages, but the files' frames less the skipped ones are " +
            std::to_string(expected));
  return run;
}

std::string Report(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += p + "\n";
  return text;
}

// One run per file of a group that failed, so the fault has a name.
std::vector<std::string> Culprits(const std::vector<std::string>& files) {
  std::vector<std::string> found;
  for (const std::string& f : files) {
    TRun one = Convert({f}, f, kOneFileTimeoutSeconds);
    found.insert(found.end(), one.problems.begin(), one.problems.end());
  }
  return found;
}

TEST(HostileCorpus, EveryFileBecomesPagesOrIsSkippedWithAReason) {
  for (const char* tool : {"qpdf", "pdfinfo", "timeout"})
    if (!testsupport::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  const std::vector<std::string> files = CorpusFiles();
  ASSERT_GT(files.size(), 300u) << "the corpus is missing; run tests/data/hostile/make-corpus.py";

  TRun all = Convert(files, "the whole corpus");
  EXPECT_TRUE(Ok(all)) << Report(all.problems);

  std::map<std::string, std::vector<std::string>> groups;
  for (const std::string& f : files) groups[Group(f)].push_back(f);
  int batchPages = 0;
  std::vector<std::string> batchSkips;
  for (const auto& [group, members] : groups) {
    TRun batch = Convert(members, group + " files");
    if (!Ok(batch)) {
      std::vector<std::string> culprits = Culprits(members);
      ADD_FAILURE() << Report(batch.problems) << "\nRun alone:\n" << Report(culprits);
      continue;
    }
    batchPages += batch.pages;
    batchSkips.insert(batchSkips.end(), batch.skipLines.begin(), batch.skipLines.end());
  }

  if (Ok(all) && !HasFailure()) {
    // A file's fate does not depend on its company.
    EXPECT_EQ(all.pages, batchPages);
    std::sort(batchSkips.begin(), batchSkips.end());
    std::sort(all.skipLines.begin(), all.skipLines.end());
    EXPECT_TRUE(batchSkips == all.skipLines) << "the skip lines of the batches differ from the whole run's";
  }

  int skipped = 0, partly = 0;
  for (const auto& [name, o] : all.outcome) {
    if (o.wholeSkipped || int(o.framesSkipped.size()) == o.frames) ++skipped;
    else ++partly;
  }
  ::testing::Test::RecordProperty("files", int(files.size()));
  ::testing::Test::RecordProperty("pages", all.pages);
  ::testing::Test::RecordProperty("skipped", skipped);
  std::cout << "hostile corpus: " << files.size() << " files, " << all.pages << " pages, " << skipped
            << " files skipped, " << partly << " with some frames skipped\n";
}

}  // namespace
