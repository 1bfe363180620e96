// Files that belong beside an episode: subtitles (and, for the preview's
// warning, .nfo files) named after it, language tags allowed.
#pragma once

#include <string>
#include <string_view>

#include "episode/classifier.h"
#include "platform/text.h"

// .srt .ass .ssa .sub .idx .vtt in any ASCII letter case; with
// withInfo, .nfo too.
template <typename Char>
bool IsSidecarName(std::basic_string_view<Char> name, bool withInfo) {
  const std::basic_string_view<Char> extension = ExtensionOf(name);
  for (const std::string_view known : {".srt", ".ass", ".ssa", ".sub", ".idx", ".vtt", ".nfo"}) {
    if (known == ".nfo" && !withInfo) continue;
    bool same = extension.size() == known.size();
    for (size_t i = 0; same && i < known.size(); ++i) same = AsciiLower(extension[i]) == Char(known[i]);
    if (same) return true;
  }
  return false;
}

// Calls owns(stem) with the sidecar's path without its extension, then with
// its language tags dropped one by one ("Show.S01E01.en.forced.srt":
// ".en.forced", ".en", none), stopping at the start of its name or when
// owns answers true; true then.
template <typename Char, typename Owns>
bool SidecarBelongs(std::basic_string_view<Char> path, Char delimiter, Owns owns) {
  std::basic_string<Char> stem(path.substr(0, path.size() - ExtensionOf(path).size()));
  const size_t nameAt = stem.find_last_of(delimiter) + 1;
  for (int tags = 0; tags < 3; ++tags) {
    if (owns(std::basic_string_view<Char>(stem))) return true;
    const size_t dot = stem.rfind(Char('.'));
    if (dot == stem.npos || dot < nameAt) return false;
    stem.resize(dot);
  }
  return false;
}
