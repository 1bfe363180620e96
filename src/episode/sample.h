// Sample clips, as releases mark them: "sample" as a word of its own in the
// name ("show.s01e01.sample.mkv", "Sample-show.mkv"), in any ASCII case.
#pragma once

#include <string_view>

#include "platform/text.h"

template <typename Char>
bool MarkedAsSample(std::basic_string_view<Char> name) {
  static constexpr char kSample[] = "sample";
  const auto apart = [&](size_t i) {
    return i >= name.size() || name[i] == Char('.') || name[i] == Char('-') || name[i] == Char('_') ||
           name[i] == Char(' ');
  };
  // Looked for in place: no copy per name.
  for (size_t at = 0; at + 6 <= name.size(); ++at) {
    size_t same = 0;
    while (same < 6 && AsciiLower(name[at + same]) == Char(kSample[same])) ++same;
    if (same == 6 && (at == 0 || apart(at - 1)) && apart(at + 6)) return true;
  }
  return false;
}
