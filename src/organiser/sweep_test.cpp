#include "organiser/sweep.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
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

}  // namespace
