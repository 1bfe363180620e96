#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

// 1-based position of the first "S" or "s" followed by two ASCII digits, or 0.
// Both digits must lie inside the name; nothing else counts as a digit.
template <typename Char>
std::int32_t FindSeasonMarker(std::basic_string_view<Char> name) {
  for (size_t i = 0; i + 2 < name.size(); ++i) {
    if ((name[i] == Char('S') || name[i] == Char('s')) && IsAsciiDigit(name[i + 1]) &&
        IsAsciiDigit(name[i + 2]))
      return static_cast<std::int32_t>(i + 1);
  }
  return 0;
}
