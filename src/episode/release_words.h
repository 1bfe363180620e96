// The words of a release name that belong to no title: a marker, a season
// or episode word before its number, a release tag (quality, source, codec,
// language, site). A show folder's name holds none of them.
#pragma once

#include "platform/text.h"

// Whether `word` (one word of a cleaned name, its neighbour `next` or empty)
// ends the title: "S06", "E29", "S32-Week", "1x05", "Season 6", "Ep",
// "720p", "HDTV", "x264", "WEB-DL", "FRENCH", "www". Words that are English
// as well ("Web", "Proper", "Multi") count only in capitals, and a season
// or episode word only before a number or at the end: "Season of the Witch"
// keeps its words.
bool EndsTitle(NativeStringView word, NativeStringView next);

// Whether `word` is a release tag that may stand before a title ("HD 720p:
// Some series"), its colon or dash passed over.
bool IsLeadingTag(NativeStringView word);

// Whether `code` is a country that releases put bare after a title (US, UK,
// AU, CA, NZ, IE), in capitals.
bool IsKnownCountry(NativeStringView code);
