// Text rules for the paths of a move: prefixes, roots, parent folders and the
// checks made before anything on disk changes. Pure, over any code-unit type.
// Windows rules, and the POSIX ones where they differ.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/text.h"

enum class PrefixKind { NoPrefix, ExtendedPrefix, ExtendedUncPrefix };

// What the text of a path fails on, in the order the checks are made.
enum class PathTextFault { None, TooLong, BadFormat, InvalidCharacters };

namespace path_rules {

inline constexpr std::size_t kWindowsMaxPath = 260;
inline constexpr std::size_t kPosixMaxPath = 4096;

template <typename Char>
using View = std::basic_string_view<Char>;

// The unit at 1-based position p, or 0 outside the path (it matches nothing).
template <typename Char>
constexpr Char At(View<Char> path, std::size_t p) {
  return p >= 1 && p <= path.size() ? path[p - 1] : Char(0);
}

template <typename Char>
constexpr bool IsSeparator(Char c) {
  return c == Char('\\') || c == Char('/');
}

template <typename Char>
constexpr bool IsInvalidPathCharacter(Char c) {
  return UnitValue(c) < 0x20 || c == Char('"') || c == Char('<') || c == Char('>') ||
         c == Char('|');
}

template <typename Char>
constexpr bool StartsWithAscii(View<Char> path, std::string_view prefix) {
  if (path.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (path[i] != Char(prefix[i])) return false;
  return true;
}

template <typename Char>
constexpr PrefixKind PathPrefixKind(View<Char> path) {
  if (StartsWithAscii(path, "\\\\?\\UNC\\")) return PrefixKind::ExtendedUncPrefix;
  if (StartsWithAscii(path, "\\\\?\\")) return PrefixKind::ExtendedPrefix;
  return PrefixKind::NoPrefix;
}

template <typename Char>
constexpr std::size_t PositionAfterPrefix(View<Char> path) {
  switch (PathPrefixKind(path)) {
    case PrefixKind::ExtendedUncPrefix: return 9;
    case PrefixKind::ExtendedPrefix: return 5;
    default: return 1;
  }
}

template <typename Char>
constexpr bool IsDriveQualified(View<Char> path) {
  if (path.size() < 2) return false;
  const std::size_t s = PositionAfterPrefix(path);
  const Char letter = AsciiUpper(At(path, s));
  return letter >= Char('A') && letter <= Char('Z') && At(path, s + 1) == Char(':');
}

template <typename Char>
constexpr bool IsUncQualified(View<Char> path) {
  if (path.size() < 3 || path[0] != Char('\\') || path[1] != Char('\\')) return false;
  const Char third = path[2];
  if (PathPrefixKind(path) == PrefixKind::ExtendedUncPrefix) return third == Char('?');
  return third != Char('?') && !IsInvalidPathCharacter(third);
}

// 1-based position of the first separator at or after `from`, 0 if none.
template <typename Char>
constexpr std::size_t SeparatorFrom(View<Char> path, std::size_t from) {
  for (std::size_t p = from < 1 ? 1 : from; p <= path.size(); ++p)
    if (IsSeparator(path[p - 1])) return p;
  return 0;
}

// The root of a full path: drive, server and share, or the leading separators.
// With the extended UNC prefix the root names server and share too, as it does
// without the prefix, so that two shares never count as one root.
template <typename Char>
std::basic_string<Char> PathRootOf(View<Char> path) {
  const PrefixKind prefix = PathPrefixKind(path);
  const std::size_t s = PositionAfterPrefix(path);
  if (IsDriveQualified(path)) {
    std::basic_string<Char> root(path.substr(0, s + 1));
    if (prefix == PrefixKind::NoPrefix && path.size() >= 3 && IsSeparator(path[2]))
      root.push_back(Char('\\'));
    return root;
  }
  if (IsUncQualified(path) && prefix != PrefixKind::ExtendedPrefix) {
    const std::size_t first = SeparatorFrom(path, prefix == PrefixKind::NoPrefix ? 3 : s);
    if (first == 0) return std::basic_string<Char>(path);
    const std::size_t second = SeparatorFrom(path, first + 1);
    if (second == 0) return std::basic_string<Char>(path);
    return std::basic_string<Char>(path.substr(0, second - 1));
  }
  const std::size_t r = (IsSeparator(At(path, s)) ? 1 : 0) + (IsSeparator(At(path, s + 1)) ? 1 : 0);
  return std::basic_string<Char>(path.substr(0, r));
}

template <typename Char>
View<Char> ParentFolderOf(View<Char> untrimmed) {
  const View<Char> p = TrimBlanks(untrimmed);
  const std::size_t n = p.size();
  std::size_t last = 0;
  for (std::size_t i = n; i >= 1; --i)
    if (IsSeparator(p[i - 1])) {
      last = i;
      break;
    }
  const std::size_t s = PositionAfterPrefix(p);
  const PrefixKind prefix = PathPrefixKind(p);
  const bool drive = IsDriveQualified(p);
  std::size_t r = 0;
  if (last == 0) {
    if (drive) {
      const std::size_t colon = p.find(Char(':'), s - 1);
      r = colon == p.npos || colon + 1 == n ? 0 : colon + 1;
    }
  } else if (IsUncQualified(p)) {
    const std::size_t first =
        SeparatorFrom(p, prefix == PrefixKind::ExtendedUncPrefix ? s + 1 : s + 3);
    r = first != 0 && SeparatorFrom(p, first + 1) != 0 ? last - 1 : 0;
  } else if (drive && At(p, last - 1) == Char(':')) {
    if (prefix != PrefixKind::NoPrefix) r = last - 1;
    else r = n > last ? last : 0;
  } else if (drive) {
    r = s < last ? last - 1 : 0;
  } else if (prefix != PrefixKind::NoPrefix) {
    r = 0;
  } else if (last == 1) {
    r = n > 1 ? 1 : 0;
  } else {
    r = last - 1;
  }
  return p.substr(0, r);
}

// The text checks of a Windows path, before any file-system question.
template <typename Char>
PathTextFault CheckWindowsPathText(View<Char> path) {
  const std::size_t s = PositionAfterPrefix(path);
  if (path.size() >= kWindowsMaxPath && PathPrefixKind(path) == PrefixKind::NoPrefix)
    return PathTextFault::TooLong;
  const bool blank = TrimBlanks(path).empty();
  if (!blank) {
    // The drive's colon is the only one allowed.
    const std::size_t from = IsDriveQualified(path) ? s + 2 : s;
    if (path.find(Char(':'), from - 1) != path.npos) return PathTextFault::BadFormat;
  }
  if (blank) return PathTextFault::InvalidCharacters;
  for (std::size_t p = s; p <= path.size(); ++p)
    if (IsInvalidPathCharacter(path[p - 1])) return PathTextFault::InvalidCharacters;
  return PathTextFault::None;
}

// POSIX keeps the length and blank checks; every other byte is a name byte.
template <typename Char>
PathTextFault CheckPosixPathText(View<Char> path) {
  if (path.size() >= kPosixMaxPath) return PathTextFault::TooLong;
  if (TrimBlanks(path).empty()) return PathTextFault::InvalidCharacters;
  return PathTextFault::None;
}

// The POSIX parent: everything before the last "/", or "/" itself.
template <typename Char>
View<Char> PosixParentFolderOf(View<Char> path) {
  const std::size_t last = path.rfind(Char('/'));
  if (last == path.npos) return {};
  return path.substr(0, last == 0 ? 1 : last);
}

}  // namespace path_rules
