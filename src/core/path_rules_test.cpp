#include "core/path_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace path_rules;
using U16 = std::u16string;
using V16 = std::u16string_view;

std::string Show(V16 path) { return std::string(path.begin(), path.end()); }

TEST(PathRules, PrefixDriveAndUnc) {
  const struct {
    U16 path;
    PrefixKind prefix;
    size_t after;
    bool drive;
    bool unc;
  } cases[] = {
      {u"D:\\TV", PrefixKind::NoPrefix, 1, true, false},
      {u"z:x", PrefixKind::NoPrefix, 1, true, false},
      {u"1:\\x", PrefixKind::NoPrefix, 1, false, false},
      {u"D", PrefixKind::NoPrefix, 1, false, false},
      {u"\\\\?\\D:\\TV", PrefixKind::ExtendedPrefix, 5, true, false},
      {u"\\\\?\\UNC\\nas\\tv", PrefixKind::ExtendedUncPrefix, 9, false, true},
      {u"\\\\?\\unc\\nas\\tv", PrefixKind::ExtendedPrefix, 5, false, false},  // case-sensitive
      {u"\\\\nas\\tv", PrefixKind::NoPrefix, 1, false, true},
      {u"//nas/tv", PrefixKind::NoPrefix, 1, false, false},
      {u"\\\\|x", PrefixKind::NoPrefix, 1, false, false},
      {u"\\\\", PrefixKind::NoPrefix, 1, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathPrefixKind<char16_t>(c.path), c.prefix) << Show(c.path);
    EXPECT_EQ(PositionAfterPrefix<char16_t>(c.path), c.after) << Show(c.path);
    EXPECT_EQ(IsDriveQualified<char16_t>(c.path), c.drive) << Show(c.path);
    EXPECT_EQ(IsUncQualified<char16_t>(c.path), c.unc) << Show(c.path);
  }
}

TEST(PathRules, RootOfAFullPath) {
  const struct {
    U16 path, root;
  } cases[] = {
      {u"D:\\TV\\Show\\x.mkv", u"D:\\"},
      {u"d:/TV/x.mkv", u"d:\\"},
      {u"D:x.mkv", u"D:"},
      {u"\\\\?\\D:\\TV\\x.mkv", u"\\\\?\\D:"},
      {u"\\\\nas\\tv\\Show\\x.mkv", u"\\\\nas\\tv"},
      {u"\\\\nas\\tv", u"\\\\nas\\tv"},
      {u"\\\\nas", u"\\\\nas"},
      {u"\\x.mkv", u"\\"},
      {u"x.mkv", u""},
      {u"\\\\?\\UNC\\nas\\tv\\x.mkv", u"\\\\?\\UNC\\nas\\tv"},
      {u"\\\\?\\UNC\\nas\\films\\x.mkv", u"\\\\?\\UNC\\nas\\films"},
  };
  for (const auto& c : cases) EXPECT_EQ(PathRootOf<char16_t>(c.path), c.root) << Show(c.path);
}

TEST(PathRules, ParentFolder) {
  const struct {
    U16 path, parent;
  } cases[] = {
      {u"D:\\TV\\Show Name\\x.mkv", u"D:\\TV\\Show Name"},
      {u"D:\\x.mkv", u"D:\\"},
      {u"D:\\", u""},
      {u"D:x.mkv", u"D:"},
      {u"D:", u""},
      {u"\\\\nas\\tv\\x.mkv", u"\\\\nas\\tv"},
      {u"\\\\nas\\tv", u""},
      {u"\\\\?\\D:\\TV\\x.mkv", u"\\\\?\\D:\\TV"},
      {u"\\\\?\\D:\\x.mkv", u"\\\\?\\D:"},
      {u"\\\\?\\UNC\\nas\\tv\\x.mkv", u"\\\\?\\UNC\\nas\\tv"},
      {u"\\x.mkv", u"\\"},
      {u"\\", u""},
      {u"TV\\x.mkv", u"TV"},
      {u"x.mkv", u""},
      {u" D:/TV/x.mkv ", u"D:/TV"},  // trimmed first; "/" separates too
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParentFolderOf<char16_t>(c.path), V16(c.parent)) << Show(c.path);
}

TEST(PathRules, WindowsTextChecks) {
  const U16 folder = u"D:\\TV\\";
  const U16 at259 = folder + U16(259 - folder.size(), u'a');
  const U16 at260 = at259 + u"a";
  const struct {
    U16 path;
    PathTextFault fault;
  } cases[] = {
      {at259, PathTextFault::None},
      {at260, PathTextFault::TooLong},
      {u"\\\\?\\" + at260 + U16(300, u'b'), PathTextFault::None},
      {U16(300, u' '), PathTextFault::TooLong},  // length comes first
      {u"D:\\TV\\a:b.mkv", PathTextFault::BadFormat},
      {u"\\\\nas\\tv:x", PathTextFault::BadFormat},
      {u"\\\\?\\D:\\TV\\a.mkv", PathTextFault::None},
      {u"\\\\?\\D:\\TV:a.mkv", PathTextFault::BadFormat},
      {u"", PathTextFault::InvalidCharacters},
      {u" \t ", PathTextFault::InvalidCharacters},
      {u"D:\\TV\\\"a\".mkv", PathTextFault::InvalidCharacters},
      {u"D:\\TV\\<a>.mkv", PathTextFault::InvalidCharacters},
      {u"D:\\TV\\a|b.mkv", PathTextFault::InvalidCharacters},
      {u"D:\\TV\\a\x01.mkv", PathTextFault::InvalidCharacters},
      {u"D:\\TV\\a*?.mkv", PathTextFault::None},  // wildcards fail later, on disk
      {u"\\\\?\\D:\\a\u00A0.mkv", PathTextFault::None},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckWindowsPathText<char16_t>(c.path), c.fault) << Show(c.path);
}

TEST(PathRules, PosixTextChecksAndParent) {
  const std::string folder = "/tv/";
  EXPECT_EQ(CheckPosixPathText<char>(folder + std::string(4095 - folder.size(), 'a')),
            PathTextFault::None);
  EXPECT_EQ(CheckPosixPathText<char>(folder + std::string(4096 - folder.size(), 'a')),
            PathTextFault::TooLong);
  EXPECT_EQ(CheckPosixPathText<char>(" \n"), PathTextFault::InvalidCharacters);
  EXPECT_EQ(CheckPosixPathText<char>("/tv/a:\"<|>\\.mkv"), PathTextFault::None);
  EXPECT_EQ(PosixParentFolderOf<char>("/tv/Show/x.mkv"), "/tv/Show");
  EXPECT_EQ(PosixParentFolderOf<char>("/x.mkv"), "/");
  EXPECT_EQ(PosixParentFolderOf<char>("/tv\\x.mkv"), "/");
}

}  // namespace
