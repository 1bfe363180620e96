#include "episode/show_name.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/letter_case.h"

namespace {

bool IsSeparator(NativeChar c) { return IsBlankUnit(c) || c == NATIVE('-') || c == NATIVE('_') || c == NATIVE('.'); }

void TrimSeparators(NativeString& text) {
  size_t first = 0;
  while (first < text.size() && IsSeparator(text[first])) ++first;
  text.erase(0, first);
  while (!text.empty() && IsSeparator(text.back())) text.pop_back();
}

// Words split on blanks, joined by single spaces.
NativeString Collapsed(NativeStringView text) {
  NativeString out;
  for (const NativeChar c : text) {
    if (!IsBlankUnit(c))
      out.push_back(c);
    else if (!out.empty() && out.back() != NATIVE(' '))
      out.push_back(NATIVE(' '));
  }
  if (!out.empty() && out.back() == NATIVE(' ')) out.pop_back();
  return out;
}

bool AllDigits(NativeStringView text) {
  for (const NativeChar c : text)
    if (!IsAsciiDigit(c)) return false;
  return !text.empty();
}

bool AllCapitals(NativeStringView text) {
  for (const NativeChar c : text)
    if (c < NATIVE('A') || c > NATIVE('Z')) return false;
  return !text.empty();
}

// Tags that releases put bare before the marker; bracketed, any two capitals.
bool IsCountry(NativeStringView code, bool bracketed) {
  if (code.size() != 2 || !AllCapitals(code)) return false;
  if (bracketed) return true;
  for (const NativeStringView known : {NATIVE("US"), NATIVE("UK"), NATIVE("AU"), NATIVE("CA"), NATIVE("NZ"), NATIVE("IE")})
    if (code == known) return true;
  return false;
}

}  // namespace

ShowReading ReadShowName(NativeStringView name) {
  ShowReading reading;
  NativeString text;
  ComposedForm(name, text);
  for (NativeChar& c : text)
    if (c == NATIVE('.') || c == NATIVE('_')) c = NATIVE(' ');
  text = Collapsed(text);
  // A release group's or a site's prefix names no show.
  if (!text.empty() && text[0] == NATIVE('[') && text.find(NATIVE(']')) != text.npos) {
    text.erase(0, text.find(NATIVE(']')) + 1);
  } else if (text.size() > 4 && AsciiLower(text[0]) == NATIVE('w') && AsciiLower(text[1]) == NATIVE('w') &&
             AsciiLower(text[2]) == NATIVE('w') && text[3] == NATIVE(' ')) {
    // "www.site.tld - Show", or the site alone before the marker.
    const size_t dash = text.find(NATIVE(" - "));
    if (dash != text.npos)
      text.erase(0, dash + 3);
    else if (text.size() > 2 && text.substr(text.size() - 2) == NATIVE(" -"))
      text.clear();
  }
  TrimSeparators(text);
  // A year and a country at the end, in either order; never the whole title.
  for (int tags = 0; tags < 2; ++tags) {
    const size_t space = text.rfind(NATIVE(' '));
    if (space == text.npos) break;
    NativeStringView word = NativeStringView(text).substr(space + 1);
    const bool bracketed = word.size() > 2 && word.front() == NATIVE('(') && word.back() == NATIVE(')');
    if (bracketed) word = word.substr(1, word.size() - 2);
    if (reading.year.empty() && word.size() == 4 && AllDigits(word) &&
        (word.substr(0, 2) == NATIVE("19") || word.substr(0, 2) == NATIVE("20")))
      reading.year = NativeString(word);  // a copy: word lies in text, which changes below
    else if (reading.country.empty() && IsCountry(word, bracketed))
      reading.country = NativeString(word);
    else
      break;
    text.erase(space);
    TrimSeparators(text);
  }
  reading.title = text;
  CaseKeyOf(reading.title, reading.key);
  return reading;
}

int ShowMatch(const ShowReading& release, const ShowReading& folder) {
  if (release.title.empty() || CompareCaseKeys(release.key, folder.key) != 0) return 0;
  int score = 1;
  for (const auto& [mine, theirs] : {std::pair(&release.year, &folder.year), std::pair(&release.country, &folder.country)}) {
    if (mine->empty() || theirs->empty()) continue;
    if (*mine != *theirs) return 0;  // The Office (US) is not The Office (UK)
    ++score;
  }
  return score;
}

NativeString CleanShowFolderName(const ShowReading& reading) {
  if (reading.title.empty()) return {};
  // Words of one capital letter, three or more in a row, were an acronym
  // written with dots.
  std::vector<NativeString> words;
  for (size_t start = 0; start <= reading.title.size();) {
    const size_t end = std::min(reading.title.find(NATIVE(' '), start), reading.title.size());
    words.emplace_back(reading.title, start, end - start);
    start = end + 1;
  }
  const auto letter = [&](size_t i) { return i < words.size() && words[i].size() == 1 && AllCapitals(words[i]); };
  NativeString name;
  for (size_t i = 0; i < words.size();) {
    size_t run = i;
    while (letter(run)) ++run;
    if (!name.empty()) name.push_back(NATIVE(' '));
    if (run - i >= 3) {
      for (size_t k = i; k < run; ++k) name.append(k > i ? NATIVE(".") : NATIVE("")).append(words[k]);
      i = run;
    } else {
      name.append(words[i++]);
    }
  }
  if (!reading.year.empty()) name.append(NATIVE(" (")).append(reading.year).append(NATIVE(")"));
  if (!reading.country.empty()) name.append(NATIVE(" (")).append(reading.country).append(NATIVE(")"));
  return name;
}
