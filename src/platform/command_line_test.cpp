#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(FirstArgumentOf, SplitsByTheProgramsOwnRules) {
  const struct {
    std::u16string line;
    std::u16string first;
  } cases[] = {
      {u"tvtidy.exe D:\\TV", u"D:\\TV"},
      {u"tvtidy.exe \"D:\\TV Shows\"", u"D:\\TV Shows"},
      {u"tvtidy.exe D:\\\"TV Shows\"\\New", u"D:\\TV Shows\\New"},
      {u"tvtidy.exe \"D:\\TV\\\"", u"D:\\TV\\"},  // the backslash escapes nothing
      {u"tvtidy.exe \"D:\\a\"\"b\"", u"D:\\ab"},
      {u"tvtidy.exe \"\" D:\\TV", u"D:\\TV"},
      {u"tvtidy.exe \"\"", u""},
      {u"tvtidy.exe \"D:\\TV Shows", u"D:\\TV Shows"},
      {u"tvtidy.exe", u""},
      {u"tvtidy.exe   ", u""},
      {u"tvtidy.exe D:\\TV E:\\Other", u"D:\\TV"},
      {u"tvtidy.exe\tD:\\TV\x01x", u"D:\\TV"},  // control units separate tokens
      {u"\"C:\\Program Files\\tvtidy.exe\" D:\\TV", u"D:\\TV"},
      {u"\"\" tvtidy.exe D:\\TV", u"D:\\TV"},
      {u"", u""},
      {u"   ", u""},
      {std::u16string(u"tvtidy.exe D:\\TV\0E:\\x", 22), u"D:\\TV"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FirstArgumentOf<char16_t>(c.line), c.first)
        << std::string(c.line.begin(), c.line.end());
}

// tvtidy-link's library: the second argument, by the same rules.
TEST(ArgumentOf, TheSecondByTheSameRules) {
  const struct {
    std::u16string line;
    std::u16string second;
  } cases[] = {
      {u"tvtidy-link.exe D:\\Torrents E:\\Library", u"E:\\Library"},
      {u"tvtidy-link.exe \"D:\\My Torrents\" \"E:\\TV Library\"", u"E:\\TV Library"},
      {u"tvtidy-link.exe \"\" D:\\Torrents \"\" E:\\Library", u"E:\\Library"},
      {u"tvtidy-link.exe D:\\Torrents", u""},
      {u"tvtidy-link.exe", u""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ArgumentOf<char16_t>(c.line, 2), c.second) << std::string(c.line.begin(), c.line.end());
}

}  // namespace
