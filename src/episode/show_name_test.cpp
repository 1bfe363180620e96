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
      {u8"It", u8"It", u8"IT", u8"Its"},  // a bare tag only in capitals, never the whole title
  };
  for (const auto& row : rows) {
    const std::u8string what(row.show);
    const ShowReading reading = ReadShowName(N(row.show));
    EXPECT_EQ(CleanShowFolderName(reading), N(row.clean)) << std::string(what.begin(), what.end());
    if (*row.finds) {
      EXPECT_GT(ShowMatch(reading, ReadShowName(N(row.finds))), 0) << std::string(what.begin(), what.end());
    }
    EXPECT_EQ(ShowMatch(reading, ReadShowName(N(row.not_))), 0) << std::string(what.begin(), what.end());
  }
  // A year on both sides that agrees is the better match.
  const ShowReading release = ReadShowName(N(u8"Doctor Who 2005"));
  EXPECT_GT(ShowMatch(release, ReadShowName(N(u8"Doctor Who (2005)"))),
            ShowMatch(release, ReadShowName(N(u8"Doctor Who"))));
}

}  // namespace
