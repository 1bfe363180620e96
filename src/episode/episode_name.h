// An episode's name as a person reads it, for tvtidy-link: the title, the
// season and the episode, whichever marker the release uses. tvtidy itself
// keeps the exact rule (ClassifyEpisodeFile), which never guesses.
#pragma once

#include <vector>

#include "platform/text.h"

struct EpisodeReading {
  enum class Kind {
    Seasonal,  // S01E02, 1x02, Season 1 Episode 2
    Daily,     // Title.2024.01.15: the season is the year
    Absolute,  // anime numbered from the first episode: no season
  };
  Kind kind = Kind::Seasonal;
  NativeString show;  // the text before the marker, dots as spaces, blanks trimmed
  int season = 0;     // the year for a daily show; 0 for an absolute number
  int episode = 0;    // the first one, where a file holds several; a daily show's month * 100 + day
  int lastEpisode = 0;  // the last of several (S01E01-E03), else 0
};

// Every reading of a video file's name (.avi, .mp4, .mkv), the leftmost
// marker first; empty for anything else, a film above all (a title and a
// year, no marker). A miniseries ("Part 1", "1of5") is season 1; a fansub's
// bare number ("[Group] Title 13 [1080p]") an absolute one, but never in a
// name with a year; a year or country in brackets after the marker goes
// with the show ("Show - S01E02 (US)" is "Show (US)"). A marker inside brackets or braces, in a site prefix,
// or glued to the letters or digits of a word ("Catch-22", "[des202]") is
// not one; a number that belongs to the title stays in it ("24", "The 100").
std::vector<EpisodeReading> EpisodeReadingsOf(NativeStringView fileName);

// Why a file that has no reading is no episode, as its Skipped line says:
// "not a video file", "a film" (a title and a year), "an extra" (a
// featurette, a trailer, deleted scenes and the like), else "not an
// episode's name".
NativeStringView WhyNoEpisode(NativeStringView fileName);
