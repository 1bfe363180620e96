// A show's name as a person reads it, for tvtidy-link's library: the folder
// a media server groups as one series is found however a release spells it,
// and a new one is named cleanly. tvtidy itself keeps the exact rule
// (ClassifyEpisodeFile's name), which never guesses.
#pragma once

#include <vector>

#include "platform/text.h"

struct ShowReading {
  NativeString title;    // cleaned, as written: no group prefix, no tags, single spaces
  NativeString key;      // the title as compared: composed form, letter case ignored (CaseKeyOf)
  NativeString year;     // four digits, or empty
  NativeString country;  // an upper-case code (US, UK, ...), or empty
  int tagsTaken = 0;     // how many words at the end were read as tags
  // A tag taken bare may be the title's own word ("Space 1999", "Between
  // Us"): a folder is the same show only where it has that tag too.
  bool bareYear = false, bareCountry = false;
};

// Reads a show name (the exact rule's, or a library folder's name) as a
// new show folder is named after it: composed Unicode form; dots,
// underscores and runs of blanks as one space; separators at either end and
// a leading "[group]", "www.site.tld -" or "HD 720p:" prefix dropped;
// "Simpsons, The" turned round; cut before the first word that ends a title
// (release_words.h) and before separators and opening brackets at its end;
// a year and a country tag at the end taken apart from the title, bracketed
// or not, a bare country only in capitals after a title that is not all
// capitals ("the.expanse.US", never "THIS.IS.US" or "the_office_us").
ShowReading ReadShowName(NativeStringView name);

// Every way the name may be read: the whole title first (brackets of its
// last words dropped), then with the last word taken as a tag where it may
// be one, in any letter case (a year; a country: US, UK, AU, CA, NZ, IE
// bare, any two letters bracketed), then the last two. Never an empty title.
std::vector<ShowReading> ShowReadingsOf(NativeStringView name);

// How well a library folder's name matches a release's, both read every
// way: 0 for another show (no reading of one is a reading of the other
// without a year or a country on both sides that differ), else higher for
// each tag that agrees, then for fewer words taken as tags: a title that a
// folder holds whole wins over one cut to fit. A word taken bare as a tag
// is never dropped to reach a shorter show.
int ShowMatch(const std::vector<ShowReading>& release, const std::vector<ShowReading>& folder);

// A new show folder's clean name: the title, single letters dotted back
// together (S.H.I.E.L.D), an all-lower-case one in a title's capitals
// ("Ted Lasso", "Parks and Recreation"), then "(year)" and "(country)"
// where the release has them. Empty when no title is left.
NativeString CleanShowFolderName(const ShowReading& reading);
