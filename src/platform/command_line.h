#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

// The argument at `index` (1: the first after the program name) on a Windows
// command line. The program's own rules, not the C runtime's: a backslash
// escapes nothing, and a double quote only opens or closes a stretch in
// which blanks are kept.
template <typename Char>
std::basic_string<Char> ArgumentOf(std::basic_string_view<Char> line, int index) {
  size_t at = 0;
  auto ended = [&] { return at >= line.size() || line[at] == Char(0); };
  auto skipBlanks = [&] {
    while (!ended()) {
      if (UnitValue(line[at]) <= 32) {
        ++at;
      } else if (line[at] == Char('"') && at + 1 < line.size() && line[at + 1] == Char('"')) {
        at += 2;  // an empty quoted token counts for nothing
      } else {
        break;
      }
    }
  };
  auto nextToken = [&] {
    std::basic_string<Char> token;
    bool quoted = false;
    for (; !ended(); ++at) {
      const Char c = line[at];
      if (c == Char('"')) {
        quoted = !quoted;
      } else if (!quoted && UnitValue(c) <= 32) {
        break;
      } else {
        token.push_back(c);
      }
    }
    return token;
  };
  skipBlanks();
  if (nextToken().empty()) return {};
  for (int skipped = 1; skipped < index; ++skipped) {
    skipBlanks();
    if (nextToken().empty()) return {};
  }
  skipBlanks();
  return nextToken();
}

template <typename Char>
std::basic_string<Char> FirstArgumentOf(std::basic_string_view<Char> line) {
  return ArgumentOf(line, 1);
}
