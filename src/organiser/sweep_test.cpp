#include "organiser/sweep.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/test_support.h"

namespace {

std::string output;

int Capture(const char* bytes, std::size_t count) {
  output.append(bytes, count);
  return 0;
}

OutputKind AsFile() { return OutputKind::Other; }

class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    output.clear();
    console_testing::Reset(Capture, AsFile);
    fs::create_directory(tmp.Path() / "Show Name");
    WriteFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv", "old");
    WriteFile(tmp.Path() / "Show.Name.S01E01.mkv", "new");
  }
  void TearDown() override {
    relocation_testing::afterChecks = nullptr;
    console_testing::Reset(nullptr, nullptr);
  }
  std::string Run() {
    MovedFileCount = 0;
    SweepDirectory(tmp.Native());
    WritePendingOutput();
    return output;
  }
  std::string Source() const {
    return fs::path(tmp / "Show.Name.S01E01.mkv").string() +
           std::string(console_platform::kLineEnd);
  }
  TempFolder tmp;
};

TEST_F(Sweep, ReplacesTheOldFileOnlyOnceTheNewOneHasArrived) {
  EXPECT_EQ(Run(), "Moved File: " + Source());
  EXPECT_EQ(MovedFileCount, 1);
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path() / "Show Name"), {}), 1);
}

TEST_F(Sweep, ANameTakenBesideTheOldFileIsLeftAlone) {
  WriteFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv.tvtidy-old", "someone else's");
  EXPECT_EQ(Run(), "Moved File: " + Source());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv"), "new");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv.tvtidy-old"), "someone else's");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path() / "Show Name"), {}), 2);
}

// A name too long for the set-aside suffix falls back to deleting the old
// file first, as the plain program does; the new file still replaces it.
TEST_F(Sweep, LongNamesReplaceTheOldFileToo) {
#ifdef _WIN32
  // A full path under 260 units needs a short base: ./test maps drive Y:.
  if (GetDriveTypeW(L"Y:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no drive Y:";
  const fs::path base = L"Y:\\l" + std::to_wstring(GetCurrentProcessId());
  const size_t lengths[] = {246};
#else
  const fs::path base = tmp.Path() / "long";
  const size_t lengths[] = {244, 245, 255};
#endif
  for (const size_t length : lengths) {
    output.clear();
    const std::string name = "S.S01E01." + std::string(length - 13, 'x') + ".mkv";
    fs::create_directories(base / "S");
    WriteFile(base / "S" / name, "old");
    WriteFile(base / name, "new");
    MovedFileCount = 0;
    SweepDirectory(base.native());
    WritePendingOutput();
    EXPECT_EQ(output, "Moved File: " + (base / name).string() +
                          std::string(console_platform::kLineEnd)) << length;
    EXPECT_EQ(ReadFile(base / "S" / name), "new") << length;
    EXPECT_EQ(std::distance(fs::directory_iterator(base / "S"), {}), 1) << length;
    fs::remove_all(base);
  }
}

TEST_F(Sweep, AReadOnlyOldFileIsNeitherReplacedNorDeleted) {
  const fs::path old = tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv";
  fs::permissions(old, fs::perms::owner_read | fs::perms::group_read);
  if ((fs::status(old).permissions() & fs::perms::owner_write) != fs::perms::none)
    GTEST_SKIP() << "a file system without modes (exFAT, NTFS as mounted) has no read-only files";
  EXPECT_EQ(Run(), "Move File FAILED: " + Source());
  fs::permissions(old, fs::perms::owner_all);
  EXPECT_EQ(ReadFile(old), "old");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show.Name.S01E01.mkv"), "new");
}

TEST_F(Sweep, AFailedMoveBringsTheOldFileBack) {
  relocation_testing::afterChecks = [] { throw EInOutError(NativeString(NATIVE("refused"))); };
  EXPECT_EQ(Run(), "Move File FAILED: " + Source());
  EXPECT_EQ(MovedFileCount, 0);
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv"), "old");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show.Name.S01E01.mkv"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path() / "Show Name"), {}), 1);
}

TEST_F(Sweep, ARealFolderAtTheTargetIsLeftAlone) {
  fs::remove(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv");
  fs::create_directory(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv");
  WriteFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv" / "inside", "kept");
  EXPECT_EQ(Run(), "Move File FAILED: " + Source());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv" / "inside"), "kept");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show.Name.S01E01.mkv"), "new");
}

// The quick rename of plain files must give exactly the lines and the files
// that the full sequence of checks gives, on a folder that meets every rule.
std::multiset<std::string> Tree(const fs::path& root) {
  std::multiset<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string where = fs::relative(entry.path(), root).generic_string();
    found.insert(where + (entry.is_regular_file() ? "=" + ReadFile(entry.path()) : "/"));
  }
  return found;
}

// tvtidy's effects with the quick way switched off.
struct FullSequenceOnly : TidyEffects {
  bool QuickMove(const NativeString&, const NativeString&) override { return false; }
};

TEST_F(Sweep, QuickRenamesGiveTheSameLinesAndFilesAsTheFullSequence) {
  std::multiset<std::string> lines[2], trees[2];
  for (int full = 0; full < 2; ++full) {
    const fs::path base = tmp.Path() / (full ? "full" : "quick");
    fs::create_directories(base);
    for (int i = 0; i < 1200; ++i) {
      const std::string show = "Show." + std::to_string(i % 40);
      WriteFile(base / (show + ".S01E" + std::to_string(i) + ".mkv"), std::to_string(i));
      if (i % 40 < 10) fs::create_directories(base / (show.substr(0, 4) + " " + show.substr(5)));
      if (i % 97 == 0) WriteFile(base / ("notes" + std::to_string(i) + ".txt"), "n");
    }
    WriteFile(base / "Show 1" / "Show.1.S01E1.mkv", "old");  // replaced
    WriteFile(base / "Blocked", "a file in the way");
    WriteFile(base / "Blocked.S01E01.mkv", "b");
    fs::create_directories(base / "Show 2" / "Show.2.S01E2.mkv");  // a real folder at the target
    WriteFile(base / "Show.2.S01E2.mkv.d" / "x", "x");
    fs::create_directories(base / "case show");
    WriteFile(base / "Case.Show.S01E01.mkv", "c");
#ifndef _WIN32
    std::error_code noLinks;  // exFAT holds none
    fs::create_symlink("Blocked", base / "Link.S01E01.mkv", noLinks);
    mkfifo((base / "Fifo.S01E01.mkv").c_str(), 0600);
#endif
    output.clear();
    MovedFileCount = 0;
    TidyEffects quick;
    FullSequenceOnly slow;
    SweepDirectory(base.native(), full ? static_cast<SweepEffects&>(slow) : quick);
    WritePendingOutput();
    const std::string prefix = base.string();
    for (size_t start = 0, end; (end = output.find('\n', start)) != output.npos; start = end + 1) {
      std::string text = output.substr(start, end - start);
      const size_t at = text.find(prefix);
      if (at != text.npos) text.replace(at, prefix.size(), "<base>");
      lines[full].insert(text);
    }
    lines[full].insert("count " + std::to_string(MovedFileCount));
    trees[full] = Tree(base);
  }
  EXPECT_EQ(lines[0], lines[1]);
  EXPECT_EQ(trees[0], trees[1]);
  // Only the blocked episode and the one held by a folder fail; the count
  // is the number of "Moved File:" lines.
  int moved = 0, failed = 0;
  for (const auto& text : lines[0]) {
    moved += text.rfind("Moved File: ", 0) == 0;
    failed += text.find("FAILED") != text.npos;
  }
  EXPECT_EQ(failed, 2);
  EXPECT_GE(moved, 1200);  // and the links and FIFOs, where the file system holds them
  EXPECT_EQ(lines[0].count("count " + std::to_string(moved)), 1u);
}

}  // namespace
