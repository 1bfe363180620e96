// Native text: UTF-16 code units on Windows (as the platform names files),
// the bytes of the name on POSIX. Every character rule of the program is
// ASCII-only, so the same templates serve both.
#pragma once

#include <cstdint>

#include <string>
#include <string_view>
#include <type_traits>

#ifdef _WIN32
using NativeChar = wchar_t;
#define NATIVE(text) L##text
#else
using NativeChar = char;
#define NATIVE(text) text
#endif

using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

#ifdef _WIN32
inline constexpr NativeChar kDelimiter = L'\\';
#else
inline constexpr NativeChar kDelimiter = '/';
#endif

// The unsigned value of a code unit, so that bytes above 0x7F are not negative.
template <typename Char>
constexpr unsigned long UnitValue(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c);
}

// Blank: space and every control unit (U+0000 to U+0020), nothing else.
template <typename Char>
constexpr bool IsBlankUnit(Char c) {
  return UnitValue(c) <= 0x20;
}

template <typename Char>
constexpr std::basic_string_view<Char> TrimBlanks(std::basic_string_view<Char> text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsBlankUnit(text[first])) ++first;
  while (last > first && IsBlankUnit(text[last - 1])) --last;
  return text.substr(first, last - first);
}

template <typename Char>
constexpr Char AsciiUpper(Char c) {
  return (c >= Char('a') && c <= Char('z')) ? Char(c - Char('a') + Char('A')) : c;
}

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? Char(c - Char('A') + Char('a')) : c;
}

// The text with its ASCII letters in lower case, and whether it ends so.
inline NativeString AsciiLowered(NativeStringView text) {
  NativeString lower(text);
  for (NativeChar& c : lower) c = AsciiLower(c);
  return lower;
}
inline bool EndsWith(NativeStringView text, NativeStringView end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

template <typename Char>
constexpr bool IsAsciiDigit(Char c) {
  return c >= Char('0') && c <= Char('9');
}

// Widens an ASCII literal to any code-unit type (for fixed texts and tests).
template <typename Char>
std::basic_string<Char> FromAscii(std::string_view ascii) {
  return std::basic_string<Char>(ascii.begin(), ascii.end());
}

// A 64-bit number for a text (FNV-1a over its units), for remembering many
// paths at a few bytes each where a rare mix-up costs only a missed line.
inline std::uint64_t TextKey(NativeStringView text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const NativeChar c : text) hash = (hash ^ static_cast<std::uint64_t>(UnitValue(c))) * 1099511628211ull;
  return hash;
}
