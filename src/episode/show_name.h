// A show's name as a person reads it, for tvtidy-link's library: the folder
// a media server groups as one series is found however a release spells it,
// and a new one is named cleanly. tvtidy itself keeps the exact rule
// (ClassifyEpisodeFile's name), which never guesses.
#pragma once

#include "platform/text.h"

struct ShowReading {
  NativeString title;    // cleaned, as written: no group prefix, no tags, single spaces
  NativeString key;      // the title as compared: composed form, letter case ignored (CaseKeyOf)
  NativeString year;     // four digits, or empty
  NativeString country;  // an upper-case code (US, UK, ...), or empty
};

// Reads a show name (the exact rule's, or a library folder's name):
// composed Unicode form; dots, underscores and runs of blanks as one space;
// separators at either end and a leading "[group]" or "www.site.tld -"
// prefix dropped; a year and a country tag at the end, bracketed or not
// (a country tag bare only in capitals), taken apart from the title.
ShowReading ReadShowName(NativeStringView name);

// How well a library folder's name matches a release's: 0 for another show
// (another title, or a year or a country on both sides that differ), else 1
// plus one for each tag on both sides that agrees.
int ShowMatch(const ShowReading& release, const ShowReading& folder);

// A new show folder's clean name: the title, single letters dotted back
// together (S.H.I.E.L.D), then "(year)" and "(country)" where the release
// has them. Empty when no title is left.
NativeString CleanShowFolderName(const ShowReading& reading);
