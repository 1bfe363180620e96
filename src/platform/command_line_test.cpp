#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(ArgumentOf, SplitsByTheProgramsOwnRules) {
  const struct {
    std::u16string line;
    std::u16string wanted;
    int index = 1;  // 2: tvtidy-link's library, by the same rules
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
      {u"tvtidy-link.exe D:\\Torrents E:\\Library", u"E:\\Library", 2},
      {u"tvtidy-link.exe \"D:\\My Torrents\" \"E:\\TV Library\"", u"E:\\TV Library", 2},
      {u"tvtidy-link.exe \"\" D:\\Torrents \"\" E:\\Library", u"E:\\Library", 2},
      {u"tvtidy-link.exe D:\\Torrents", u"", 2},
      {u"tvtidy-link.exe", u"", 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.index == 1 ? FirstArgumentOf<char16_t>(c.line) : ArgumentOf<char16_t>(c.line, c.index), c.wanted)
        << std::string(c.line.begin(), c.line.end());
}

}  // namespace
