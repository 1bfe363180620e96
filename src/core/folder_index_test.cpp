#include "core/folder_index.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/test_support.h"

namespace {

#ifndef _WIN32
NativeString N(const char* text) { return fs::path(text).native(); }

// Spellings of one name in one folder (a file system that keeps case): each
// question answers as the folder holds them, before and after the run's own
// changes, and folders come out in the order of the keys, then bytes.
TEST(FolderIndex, AnswersForEverySpellingAsTheFolderHoldsThem) {
  TempFolder tmp;
  for (const char* folder : {"show", "Show", "SHOW", "Other", "_x", "[y]"}) fs::create_directory(tmp.Path() / folder);
  WriteFile(tmp.Path() / "Show.S01E01.mkv", "");
  FolderIndex index(tmp.Native() + N("/"), FolderIndex::Everything);
  const struct {
    const char* asked;
    const char* stored;
    bool exactly;
  } rows[] = {
      {"show", "show", true}, {"sHoW", "SHOW", false}, {"SHOW", "SHOW", true}, {"show.s01e01.MKV", "Show.S01E01.mkv", false},
      {"Show.S01E01.mkv", "Show.S01E01.mkv", true}, {"none", "none", false}, {"", "", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(index.StoredSpelling(N(row.asked)), N(row.stored)) << row.asked;
    EXPECT_EQ(index.HoldsExactly(N(row.asked)), row.exactly) << row.asked;
  }
  std::vector<NativeString> taken;
  EXPECT_FALSE(index.FirstVariant(N("SHOW"), true, [&](NativeStringView name) {
    taken.emplace_back(name);
    return false;
  }));
  EXPECT_EQ(taken, (std::vector<NativeString>{N("SHOW"), N("Show"), N("show")}));
  std::vector<NativeString> folders;
  index.ForEachFolder([&](NativeStringView name) { folders.emplace_back(name); });
  EXPECT_EQ(folders, (std::vector<NativeString>{N("Other"), N("SHOW"), N("Show"), N("show"), N("[y]"), N("_x")}));

  // The run's own changes: a name added twice is held once; the last
  // spelling removed leaves none.
  index.Add(N("show"), true);
  index.Remove(N("SHOW"));
  index.Remove(N("Show"));
  EXPECT_EQ(index.StoredSpelling(N("SHOW")), N("show"));
  index.Remove(N("show"));
  EXPECT_FALSE(index.FirstVariant(N("show"), true, [](NativeStringView) { return true; }));
  index.Add(N("Show.S01E01.mkv"), false);
  EXPECT_TRUE(index.HoldsExactly(N("Show.S01E01.mkv")));
}
#endif

}  // namespace
