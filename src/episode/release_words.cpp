#include "episode/release_words.h"

#include <initializer_list>

namespace {

bool SameLetters(NativeStringView word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (AsciiLower(word[i]) != NativeChar(lower[i])) return false;
  return true;
}

bool OneOf(NativeStringView word, std::initializer_list<std::string_view> words) {
  for (const std::string_view known : words)
    if (SameLetters(word, known)) return true;
  return false;
}

bool AllCapitals(NativeStringView word) {
  bool letter = false;
  for (const NativeChar c : word) {
    if (c >= NATIVE('a') && c <= NATIVE('z')) return false;
    letter = letter || (c >= NATIVE('A') && c <= NATIVE('Z'));
  }
  return letter;
}

bool IsNumber(NativeStringView word) {
  if (word.empty()) return false;
  for (const NativeChar c : word)
    if (!IsAsciiDigit(c)) return false;
  return true;
}

// Digits from `at`: how many.
size_t DigitsAt(NativeStringView word, size_t at) {
  size_t n = 0;
  while (at + n < word.size() && IsAsciiDigit(word[at + n])) ++n;
  return n;
}

// "S06", "s1e2", "E29", "S32-Week", "1x05", "720p": a letter and digits
// glued as markers and resolutions are, whatever follows a non-letter.
bool IsMarkerLike(NativeStringView word) {
  const auto endsWord = [&](size_t at) {
    return at >= word.size() || !((word[at] >= NATIVE('a') && word[at] <= NATIVE('z')) ||
                                  (word[at] >= NATIVE('A') && word[at] <= NATIVE('Z')) || IsAsciiDigit(word[at]));
  };
  const NativeChar first = AsciiLower(word.empty() ? NATIVE(' ') : word[0]);
  if (first == NATIVE('s') || first == NATIVE('e')) {
    const size_t n = DigitsAt(word, 1);
    if (n > 0 && (endsWord(1 + n) || AsciiLower(word[1 + n]) == NATIVE('e') || AsciiLower(word[1 + n]) == NATIVE('x')))
      return true;
  }
  const size_t n = DigitsAt(word, 0);
  if (n >= 1 && n <= 2 && n < word.size() && AsciiLower(word[n]) == NATIVE('x') && DigitsAt(word, n + 1) >= 2)
    return true;
  return n >= 3 && n + 1 == word.size() && AsciiLower(word[n]) == NATIVE('p');  // 720p, 1080p
}

bool IsTag(NativeStringView word) {
  if (IsMarkerLike(word) && DigitsAt(word, 0) >= 3) return true;
  if (OneOf(word, {"hdtv", "pdtv", "sdtv", "webrip", "web-dl", "webdl", "web-rip", "bluray", "blu-ray", "bdrip",
                   "brrip", "dvdrip", "hdrip", "x264", "x265", "h264", "h265", "hevc", "xvid", "divx", "vostfr",
                   "subfrench", "4k", "uhd", "10bit", "hdr", "aac", "ac3", "dts", "www", "amzn", "nf"}))
    return true;
  return AllCapitals(word) && OneOf(word, {"hd", "sd", "web", "dvd", "proper", "repack", "internal", "multi",
                                          "dubbed", "subbed", "french", "german", "italian", "spanish",
                                          "english", "ita", "eng", "vo", "truefrench", "complete"});
}

// The word without the brackets and punctuation around it: "(720p)", "HDTV:".
NativeStringView Bare(NativeStringView word) {
  const NativeStringView around = NATIVE("()[]{}:,;-+&._");
  while (!word.empty() && around.find(word.front()) != around.npos) word.remove_prefix(1);
  while (!word.empty() && around.find(word.back()) != around.npos) word.remove_suffix(1);
  return word;
}

}  // namespace

bool EndsTitle(NativeStringView word, NativeStringView next) {
  word = Bare(word);
  if (IsMarkerLike(word) || IsTag(word)) return true;
  next = Bare(next);
  const bool numberOrEnd = next.empty() || IsNumber(next);
  return numberOrEnd && OneOf(word, {"season", "saison", "stagione", "temporada", "staffel", "episode", "episodio",
                                     "ep", "folge"});
}

bool IsLeadingTag(NativeStringView word) {
  word = Bare(word);
  return !word.empty() && IsTag(word);
}

bool IsKnownCountry(NativeStringView code) {
  for (const NativeStringView known : {NATIVE("US"), NATIVE("UK"), NATIVE("AU"), NATIVE("CA"), NATIVE("NZ"), NATIVE("IE")})
    if (code == known) return true;
  return false;
}
