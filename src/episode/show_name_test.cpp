#include "episode/show_name.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

NativeString N(const char8_t* text) { return std::filesystem::path(std::u8string(text)).native(); }

// Release names' shows (the exact rule's name) against library folders: the
// clean name a new folder gets, and which existing folders are the same show.
TEST(ShowName, AReleaseFindsTheFolderAPersonWouldAndNamesANewOneCleanly) {
  const struct {
    const char8_t* show;   // ClassifyEpisodeFile's name for the release
    const char8_t* clean;  // a new folder's name ("" for none: the exact rule's)
    const char8_t* finds;  // a folder it must find ("" for none)
    const char8_t* not_;   // a folder it must not find ("" for none)
  } rows[] = {
      {u8"The Office -", u8"The Office", u8"The Office", u8"The Office Extras"},
      {u8"Doctor Who 2005", u8"Doctor Who (2005)", u8"Doctor Who (2005)", u8"Doctor Who (1963)"},
      {u8"Doctor Who", u8"Doctor Who", u8"doctor who (1963)", u8"Doctor Who Confidential"},
      {u8"Parks_and_Recreation-", u8"Parks and Recreation", u8"Parks and Recreation", u8"Parks"},
      {u8"[TorrentCouch com] Westworld", u8"Westworld", u8"Westworld", u8"[TorrentCouch com] Westworld 2"},
      {u8"www site com - Severance", u8"Severance", u8"Severance", u8"www site com"},
      {u8"Whose Line is it Anyway US", u8"Whose Line is it Anyway (US)", u8"Whose Line Is It Anyway (US)",
       u8"Whose Line Is It Anyway (UK)"},
      {u8"The Office (US)", u8"The Office (US)", u8"The Office US", u8"The Office (UK)"},
      {u8"Marvels Agents of S H I E L D-", u8"Marvels Agents of S.H.I.E.L.D", u8"Marvels Agents of S.H.I.E.L.D",
       u8"Marvels Agents"},
      {u8"Pok\u0065\u0301mon", u8"Pok\u00e9mon", u8"Pok\u00e9mon", u8"Pokemon"},  // NFD finds NFC
      {u8"Another Show 2019 UK", u8"Another Show (2019) (UK)", u8"another show (UK)", u8"Another Show (2020)"},
      {u8"1883", u8"1883", u8"1883", u8"1883 (2021) Extras"},  // a year alone is a title
      {u8"[grp]", u8"", u8"", u8"grp"},  // nothing but a prefix
      {u8"www site com -", u8"", u8"", u8"www site com"},
      {u8"It", u8"It", u8"IT", u8"Its"},  // never the whole title
      // A last word is a tag where a folder holds the show with it, else part
      // of the title: an all-capitals or all-lower-case title keeps it.
      {u8"THIS IS US", u8"THIS IS US", u8"This Is Us (2016)", u8"This Is (UK)"},
      {u8"the office us", u8"the office us", u8"The Office (US)", u8"The Office (UK)"},
      {u8"The Office US", u8"The Office (US)", u8"the office us", u8"the office uk"},
      {u8"Doctor Who (2005)", u8"Doctor Who (2005)", u8"Doctor Who 2005", u8"Doctor Who 1963"},
  };
  for (const auto& row : rows) {
    const std::u8string what(row.show);
    const auto readings = ShowReadingsOf(N(row.show));
    EXPECT_EQ(CleanShowFolderName(ReadShowName(N(row.show))), N(row.clean)) << std::string(what.begin(), what.end());
    if (*row.finds) {
      EXPECT_GT(ShowMatch(readings, ShowReadingsOf(N(row.finds))), 0) << std::string(what.begin(), what.end());
    }
    EXPECT_EQ(ShowMatch(readings, ShowReadingsOf(N(row.not_))), 0) << std::string(what.begin(), what.end());
  }
  // Which folder is the better match: a tag that agrees, then a title a
  // folder holds whole over one cut to fit.
  const struct {
    const char8_t *show, *better, *worse;
  } better[] = {
      {u8"Doctor Who 2005", u8"Doctor Who (2005)", u8"Doctor Who"},
      {u8"The Office US", u8"The Office (US)", u8"The Office"},
      {u8"The Office", u8"The Office", u8"The Office (US)"},
      {u8"the_office_us", u8"The Office (US)", u8"The Office"},
  };
  for (const auto& row : better) {
    const auto release = ShowReadingsOf(N(row.show));
    EXPECT_GT(ShowMatch(release, ShowReadingsOf(N(row.better))), ShowMatch(release, ShowReadingsOf(N(row.worse))))
        << std::string(std::u8string(row.show).begin(), std::u8string(row.show).end());
  }
}

}  // namespace
