#include "organiser/sweep.h"

#include <gtest/gtest.h>

#include <string>

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
