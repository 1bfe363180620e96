#include "episode/show_name.h"

#include "episode/episode_name.h"
#include "episode/library_name.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
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
      {u8"Another Show 2019 UK", u8"Another Show (2019) (UK)", u8"another show (2019) (UK)", u8"Another Show (2020)"},
      {u8"1883", u8"1883", u8"1883", u8"1883 (2021) Extras"},  // a year alone is a title
      {u8"[grp]", u8"", u8"", u8"grp"},  // nothing but a prefix
      {u8"www site com -", u8"", u8"", u8"www site com"},
      {u8"It", u8"It", u8"IT", u8"Its"},  // never the whole title
      // A last word is a tag where a folder holds the show with it, else part
      // of the title: an all-capitals or all-lower-case title keeps it.
      {u8"THIS IS US", u8"THIS IS US", u8"This Is Us (2016)", u8"This Is (UK)"},
      {u8"the office us", u8"The Office Us", u8"The Office (US)", u8"The Office (UK)"},
      {u8"The Office US", u8"The Office (US)", u8"the office us", u8"the office uk"},
      {u8"Doctor Who (2005)", u8"Doctor Who (2005)", u8"Doctor Who 2005", u8"Doctor Who 1963"},
      // A title's own last word is no tag to drop for a shorter show.
      {u8"Space 1999", u8"Space (1999)", u8"Space 1999", u8"Space"},
      {u8"Between Us", u8"Between Us", u8"Between Us", u8"Between"},
      {u8"Another Show 2019 UK", u8"Another Show (2019) (UK)", u8"", u8"Another Show"},
      // A new folder's name: a title's capitals, a bracketed country, and
      // never a marker, a season or episode word, a release tag or a
      // separator or opening bracket at its end.
      {u8"ted lasso", u8"Ted Lasso", u8"Ted Lasso", u8""},
      {u8"parks and recreation", u8"Parks and Recreation", u8"", u8""},
      {u8"the expanse US", u8"The Expanse (US)", u8"The Expanse (US)", u8"The Expanse (UK)"},
      {u8"Simpsons, The", u8"The Simpsons", u8"The Simpsons", u8"Simpsons"},
      {u8"Coupling - (", u8"Coupling", u8"Coupling", u8""},
      {u8"Game of Thrones S6", u8"Game of Thrones", u8"Game of Thrones", u8""},
      {u8"Star Trek DS9 Ep", u8"Star Trek DS9", u8"", u8""},
      {u8"Pok\u00e9mon S16 - E29", u8"Pok\u00e9mon", u8"Pok\u00e9mon", u8""},
      {u8"HD 720p: Some series", u8"Some series", u8"Some Series", u8""},
      {u8"Mastercook Italia - Stagione 6 (2016) 720p", u8"Mastercook Italia", u8"", u8""},
      {u8"Barney & Friends Easy as ABC (", u8"Barney & Friends Easy as ABC", u8"", u8""},
      {u8"TNA Impact Wrestling HDTV", u8"TNA Impact Wrestling", u8"TNA Impact Wrestling", u8""},
      {u8"The Power of Suggestion - Mind Field S2 (", u8"The Power of Suggestion - Mind Field", u8"", u8""},
      {u8"Show Name - S32-Week 45", u8"Show Name", u8"", u8""},
      {u8"Show Name WEB-DL x264 FRENCH www site com", u8"Show Name", u8"Show Name", u8""},
      {u8"Season of the Witch", u8"Season of the Witch", u8"", u8""},  // words, not markers
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

// Release names in every form people meet: the show a new folder gets, the
// season (the year for a daily show, 0 for one numbered from the first) and
// the episode of the first reading; "" for a name that is no episode.
TEST(EpisodeName, EveryMarkerAPersonReadsAndNoFilm) {
  const struct {
    const char8_t* name;
    const char8_t* show;
    int season, episode;
  } rows[] = {
      {u8"Show.Name.S01E02.720p.mkv", u8"Show Name", 1, 2},
      {u8"show.name.s1e2.mkv", u8"Show Name", 1, 2},
      {u8"Show.Name.S01.E02.mkv", u8"Show Name", 1, 2},
      {u8"Show Name S01 E02.mkv", u8"Show Name", 1, 2},
      {u8"Show_Name_S01_E02.mkv", u8"Show Name", 1, 2},
      {u8"Show.Name.S01E01E02.mkv", u8"Show Name", 1, 1},
      {u8"Show.Name.S01E01-E02.mkv", u8"Show Name", 1, 1},
      {u8"Show.Name.S01E01-02.1080p.mkv", u8"Show Name", 1, 1},
      {u8"Parks_and_Recreation-s03-e01.mkv", u8"Parks and Recreation", 3, 1},
      {u8"Californication.2x05.Vaginatown.HDTV.XviD-0TV.avi", u8"Californication", 2, 5},
      {u8"Dexter.05x02.mkv", u8"Dexter", 5, 2},
      {u8"Show Name - Season 1 Episode 2 - Title.mp4", u8"Show Name", 1, 2},
      {u8"Show.Name.Season.01.Episode.02.mkv", u8"Show Name", 1, 2},
      {u8"[SubsPlease] Frieren - 04 [1080p][B4D4514E].mkv", u8"Frieren", 0, 4},
      {u8"[Group] Title - 102v2 [720p].mkv", u8"Title", 0, 102},
      {u8"[HorribleSubs] One Piece Episode 161 [720p].mp4", u8"One Piece", 0, 161},
      {u8"The.Daily.Show.2024.01.15.Guest.720p.mkv", u8"The Daily Show", 2024, 115},
      {u8"Show.Name.2010.11.23.HDTV.mkv", u8"Show Name", 2010, 1123},
      // Numbers of a title stay in it.
      {u8"24.S08E01.mkv", u8"24", 8, 1},
      {u8"1883.S01E03.mkv", u8"1883", 1, 3},
      {u8"9-1-1.S05E04.mkv", u8"9-1-1", 5, 4},
      {u8"Catch-22.S01E02.mkv", u8"Catch-22", 1, 2},
      {u8"Super.8.S01E01.mkv", u8"Super 8", 1, 1},
      {u8"The.100.S07E16.mkv", u8"The 100", 7, 16},
      {u8"Doctor.Who.2005.S04E06.mkv", u8"Doctor Who (2005)", 4, 6},
      // A marker in brackets, a hash or a site prefix is none.
      {u8"Por Trece Razones 2x01 [des202].mkv", u8"Por Trece Razones", 2, 1},
      {u8"[S01E09] Show.S02E03.mkv", u8"Show", 2, 3},
      {u8"www.S01E05.com - Show.1x02.mkv", u8"Show", 1, 2},
      {u8"Movie.1280x720.mkv", u8"", 0, 0},
      // Films: a title and a year, no marker.
      {u8"Blade.Runner.2049.2017.1080p.mkv", u8"", 0, 0},
      {u8"2001.A.Space.Odyssey.1968.mkv", u8"", 0, 0},
      {u8"Catch-22.1970.BluRay.mkv", u8"", 0, 0},
      {u8"Show.Name.S01.Complete.mkv", u8"", 0, 0},
      {u8"Show.Name.S01E02.srt", u8"", 0, 0},
      // Anime, numbered from the first episode.
      {u8"[Group].Show.Name.-.06.[720p].mkv", u8"Show Name", 0, 6},
      {u8"[Group]_Show_Name_-_12_[720p][ABCD1234].mkv", u8"Show Name", 0, 12},
      {u8"[Group] Show Name 13 [1080p].mkv", u8"Show Name", 0, 13},
      {u8"Show_Name_679_[VOSTFR]_[720p].mp4", u8"Show Name", 0, 679},
      {u8"[Group] 01 - Show Name [BD].mp4", u8"Show Name", 0, 1},
      {u8"Show.Name.-.03.[English.Dubbed].mkv", u8"Show Name", 0, 3},
      {u8"Show Name Episode 366v2.avi", u8"Show Name", 0, 366},
      {u8"Show - Ep 23 - Title.avi", u8"Show", 0, 23},
      {u8"Super 8 [1080p].mkv", u8"", 0, 0},  // a bare number of a title
      {u8"Apollo 13 (1995) [1080p].mkv", u8"", 0, 0},
      // Seasons and episodes in the other forms.
      {u8"Title - [05x07] - Episode.avi", u8"Title", 5, 7},
      {u8"Title - (4x03) - Episode.mkv", u8"Title", 4, 3},
      {u8"Show.S6.Ep5.mkv", u8"Show", 6, 5},
      {u8"Show.S2013E14.mkv", u8"Show", 2013, 14},
      {u8"show-s03-x01.mkv", u8"Show", 3, 1},
      {u8"Show - S06xE01.avi", u8"Show", 6, 1},
      {u8"Show.S01EP01.mkv", u8"Show", 1, 1},
      {u8"Pok\u00e9mon S16 - E29 - Title.mkv", u8"Pok\u00e9mon", 16, 29},
      {u8"Show Name HDTV 2017-06-22 720p.mkv", u8"Show Name", 2017, 622},
      {u8"Simpsons,.The.12x08.avi", u8"The Simpsons", 12, 8},
      {u8"Show.Part.1.mkv", u8"Show", 1, 1},
      {u8"Show.1of5.mkv", u8"Show", 1, 1},
      {u8"HD 720p: Some series.S03E16.mkv", u8"Some series", 3, 16},
      {u8"Show Name - S01E02 (US).mkv", u8"Show Name (US)", 1, 2},  // a tag after the marker
      {u8"Harry.Potter.Part.1.2010.mkv", u8"", 0, 0},               // a film in parts
  };
  for (const auto& row : rows) {
    const std::u8string what(row.name);
    const auto readings = EpisodeReadingsOf(N(row.name));
    if (!*row.show) {
      EXPECT_TRUE(readings.empty()) << std::string(what.begin(), what.end());
      continue;
    }
    ASSERT_FALSE(readings.empty()) << std::string(what.begin(), what.end());
    EXPECT_EQ(CleanShowFolderName(ReadShowName(readings[0].show)), N(row.show)) << std::string(what.begin(), what.end());
    EXPECT_EQ(readings[0].season, row.season) << std::string(what.begin(), what.end());
    EXPECT_EQ(readings[0].episode, row.episode) << std::string(what.begin(), what.end());
  }
}

// A media player's default rules for TV names, first match wins: season and
// episode, or a date.
std::pair<int, int> AsAMediaPlayerReadsIt(const std::string& name) {
  const std::pair<const char*, bool> rules[] = {
      {R"(s([0-9]+)[ ._x-]*e([0-9]+)([^\\/]*)$)", false},
      {R"([._ -]()e(?:p[ ._-]?)?([0-9]+)([^\\/]*)$)", false},
      {R"(([0-9]{4})[.-]([0-9]{2})[.-]([0-9]{2}))", true},
      {R"([\\/._ \[\(-]([0-9]+)x([0-9]+)([^\\/]*)$)", false},
      {R"([\\/._ -]([0-9]+)([0-9][0-9])([._ -][^\\/]*)$)", false},
  };
  std::smatch match;
  for (const auto& [rule, byDate] : rules)
    if (std::regex_search(name, match, std::regex(rule, std::regex::icase)))
      return byDate ? std::pair{std::stoi(match[1]), std::stoi(match[2]) * 100 + std::stoi(match[3])}
                    : std::pair{match[1].length() ? std::stoi(match[1]) : 1, std::stoi(match[2])};
  return {-1, -1};
}

// --rename's names, each read back by that player as the release reads.
TEST(LibraryName, EveryFormIsTheOneMediaServersDocument) {
  const struct {
    const char* name;
    const char* folder;
    const char* stem;
  } rows[] = {
      {"Show.Name.S01E02.720p.mkv", "Show Name", "Show Name - S01E02"},
      {"Show.Name.S01E01-02.1080p.mkv", "Show Name", "Show Name - S01E01-E02"},
      {"Dexter.05x02x03.mkv", "Dexter", "Dexter - S05E02-E03"},
      {"Show Name Season 1 Episode 5.mp4", "Show Name", "Show Name - S01E05"},
      {"[Group] Show - 1071 [1080p].mkv", "Show", "Show - S01E1071"},
      {"The.Daily.Show.2024.01.15.Guest.720p.mkv", "The Daily Show", "The Daily Show - 2024-01-15"},
      {"Show.S00E01.mkv", "Show", "Show - S00E01"},
      {"Show.Name.S01E01-E03.720p.mkv", "Show Name", "Show Name - S01E01-E03"},
      {"[Group] Title - 102v2 [720p].mkv", "Title", "Title - S01E102"},
      {"Show.Name.2010.11.03.HDTV.mkv", "Show Name", "Show Name - 2010-11-03"},
      {"The.100.S02E03.mkv", "The 100", "The 100 - S02E03"},
      {"9-1-1.S01E01.mkv", "9-1-1", "9-1-1 - S01E01"},
      {"The.Office.US.S02E03.mkv", "The Office (US)", "The Office (US) - S02E03"},
  };
  for (const auto& row : rows) {
    const auto readings = EpisodeReadingsOf(NativeString(row.name, row.name + strlen(row.name)));
    ASSERT_FALSE(readings.empty()) << row.name;
    const NativeString stem = LibraryEpisodeStem(NativeString(row.folder, row.folder + strlen(row.folder)), readings[0]);
    EXPECT_EQ(std::string(stem.begin(), stem.end()), row.stem) << row.name;
    const int season = readings[0].kind == EpisodeReading::Kind::Absolute ? 1 : readings[0].season;
    EXPECT_EQ(AsAMediaPlayerReadsIt(std::string(row.stem) + ".mkv"), std::pair(season, readings[0].episode)) << row.name;
  }
  // As releases name them, some are read wrong: the reason for the form.
  EXPECT_EQ(AsAMediaPlayerReadsIt("Show - 1071.mkv"), std::pair(10, 71));
}

}  // namespace
