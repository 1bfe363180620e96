#include "episode/classifier.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using U16 = std::u16string;

// Arabic-Indic and full-width digits are digits to Unicode, not to the scan.
const U16 kArabicIndic = u"\u0660\u0661";
const U16 kFullWidth = u"\uFF10\uFF11";

TEST(FindSeasonMarker, FindsTheFirstLetterFollowedByTwoDigits) {
  const struct {
    U16 name;
    int position;
  } cases[] = {
      {u"", 0},
      {u"S01", 1},
      {u"s01e02.mkv", 1},
      {u"Show.Name.S01E02.mkv", 11},
      {u"Show.Name.s01e02.mkv", 11},
      {u"Show.S1E01.mkv", 0},
      {u"Atlas12.S01E01.mkv", 5},  // inside a word
      {u"Clips05.mkv", 5},
      {u"ShowS", 0},
      {u"ShowS1", 0},  // the second digit must lie inside the name
      {u"Show.S 01.mkv", 0},
      {u"Show.S+1.mkv", 0},
      {u"Show.Sx1.mkv", 0},
      {u"Show.S" + kArabicIndic + u".mkv", 0},
      {u"Show.S" + kFullWidth + u".mkv", 0},
      {u"Show.Name.1x02.mkv", 0},
      {u"Sherlock.S01E01.mkv", 10},
      {u"Show.mks12", 8},  // in the extension
      {u"\u0160" u"01.mkv", 0},  // only the ASCII letters S and s
  };
  for (const auto& c : cases)
    EXPECT_EQ(FindSeasonMarker<char16_t>(c.name), c.position)
        << std::string(c.name.begin(), c.name.end());
}

TEST(ClassifyEpisodeFile, AcceptsEpisodesAndNamesTheirShowFolder) {
  const struct {
    U16 name;
    U16 folder;  // empty: rejected
  } cases[] = {
      {u"Show.Name.S01E02.mkv", u"Show Name"},
      {u"show.name.s01e02.MKV", u"show name"},
      {u"The Office S02E03.Avi", u"The Office"},
      {u" Show.Name.S01E02.mp4 ", u"Show Name"},
      {u"\t\x1F" u"Show.S01E01.mkv\r\n", u"Show"},  // control units are blanks
      {u"Show_Name_S01E01.mp4", u"Show_Name_"},
      {u"Show Name - S01E01.mp4", u"Show Name -"},
      {u"Atlas12.S01E01.mkv", u"Atla"},
      {u"Glee.2009.S01E01.mkv", u"Glee 2009"},
      {u"\u00A0Show.S01E01.mkv", u"\u00A0Show"},  // no-break space is no blank
      {u"Show\u3000.S01E01.mkv", u"Show\u3000"},  // nor the ideographic space
      {u"Show.Name.S01E02.mkv.part", u""},
      {u"Show.Name.S01E02", u""},
      {u"Show.Name.S01E02.", u""},
      {u"Show.Name.S01E02.m4v", u""},
      {u"Show.Name.S01E02.mpg", u""},
      {u"Show.Name.S01E02.wmv", u""},
      {u"Show.Name.S01E02.ts", u""},
      {u"Show.Name.S01E02.mkvv", u""},
      {u"Show.Name.S01E02.;*.mkv;", u""},
      {u"S01E01.mp4", u""},
      {u"..S01E01.mp4", u""},
      {u" . S01E01.mp4", u""},
      {u"Show.Name.1x02.mkv", u""},
      {u"Show.Name.S1E2.avi", u""},
      {u"Show.S01E01.mkv\\x", u""},  // a dot before the last "\" is no extension
      {u"Show.S01E01.mkv:x", u""},   // nor before the last ":"
      {u"Show:S01E01.mkv", u"Show:"},
      {u"Show.mks12.avi", u"Show mk"},  // the first marker wins, even in a word
  };
  for (const auto& c : cases) {
    U16 folder = u"stale";
    EXPECT_EQ(ClassifyEpisodeFile<char16_t>(c.name, folder), !c.folder.empty())
        << std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(folder, c.folder) << std::string(c.name.begin(), c.name.end());
  }
}

TEST(ClassifyEpisodeFile, NativeUnitsAgreeWithUtf16) {
  // UTF-8 bytes above 0x7F are never blanks, digits, dots or letters.
  std::string folder;
  EXPECT_TRUE(ClassifyEpisodeFile<char>("Caf\xC3\xA9.Noir.S01E01.mkv", folder));
  EXPECT_EQ(folder, "Caf\xC3\xA9 Noir");
  EXPECT_FALSE(ClassifyEpisodeFile<char>("\xFF\xFE.S01E01.mkv\xA0", folder));
  EXPECT_EQ(folder, "");
  std::wstring wide;
  EXPECT_TRUE(ClassifyEpisodeFile<wchar_t>(L"Show.Name.S01E02.mKv", wide));
  EXPECT_EQ(wide, L"Show Name");
}

}  // namespace
