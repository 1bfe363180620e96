// Season folders as a media server's library keeps them ("Show/Season 01/"):
// tvtidy-link puts an episode into its season's folder where its show
// folder holds such folders, keeps a flat show folder flat, and gives a new
// show what the library's other shows have. Each show folder is listed
// once a run, and the library's shows once, before the run adds to them.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "episode/episode_name.h"
#include "platform/text.h"

// A season folder's spelling: "Season 01" is {"Season ", 2}, "S1" {"S", 1}.
struct SeasonSpelling {
  NativeString prefix = NATIVE("Season ");
  size_t digits = 2;
};

// Whether the name is a season folder's: "Season 1", "season.01", "Season
// 001", "S01", "Specials" (season 0); the spelling of a numbered one (an
// empty prefix for Specials).
bool ReadSeasonFolderName(NativeStringView name, int& season, SeasonSpelling* spelling = nullptr);
NativeString SeasonFolderName(const SeasonSpelling& spelling, int season);

class SeasonFolders {
 public:
  // The folder inside the show folder (its full path, no delimiter at its
  // end) that the episode goes into, empty for the show folder itself; and
  // whether it is there (made by this run included, in thought too).
  NativeString For(const NativeString& library, const NativeString& showFolder, const EpisodeReading& episode,
                   bool& there);
  // The names of the show folder's season folders, as this run knows them.
  std::vector<NativeString> SeasonsOf(const NativeString& showFolder);
  // A season folder this run has made (in thought too), by its full path.
  void Made(const NativeString& folder);
  // A folder this run made is about to be taken back: what it knew of it
  // (a show's, a season's) is read from the disk again when asked.
  void TakenBack(const NativeString& folder);

 private:
  struct Show {
    bool seasoned = false, flat = false;
    std::map<int, NativeString> seasons;  // by number, the first in byte order
    std::optional<SeasonSpelling> spelling;
  };
  Show& Read(const NativeString& showFolder);
  static NativeString Key(const NativeString& showFolder);
  // Whether new shows get season folders, and in which spelling.
  const std::optional<SeasonSpelling>& LibraryWay(const NativeString& library);

  std::map<NativeString, Show> shows_;
  bool libraryRead_ = false;
  std::optional<SeasonSpelling> libraryWay_;
};
