#include "episode/show_name.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "episode/release_words.h"
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

bool HasLower(NativeStringView text) {
  for (const NativeChar c : text)
    if (c >= NATIVE('a') && c <= NATIVE('z')) return true;
  return false;
}
bool HasUpper(NativeStringView text) {
  for (const NativeChar c : text)
    if (c >= NATIVE('A') && c <= NATIVE('Z')) return true;
  return false;
}

std::vector<NativeString> WordsOf(NativeStringView text) {
  std::vector<NativeString> words;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(NATIVE(' '), start), text.size());
    words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// What may not end a folder's name: a separator, an opening bracket, a
// joining mark ("Coupling - (", "Barney & Friends Easy as ABC (").
bool IsLoose(NativeChar c) {
  return IsSeparator(c) || c == NATIVE('(') || c == NATIVE('[') || c == NATIVE('{') || c == NATIVE(',') ||
         c == NATIVE(':') || c == NATIVE('&') || c == NATIVE('+');
}

// The title alone out of a cleaned name's words: cut before the first word
// that ends a title, nothing loose at its end, "Simpsons, The" turned round.
NativeString TitleWords(NativeStringView text) {
  const std::vector<NativeString> words = WordsOf(text);
  NativeString title;
  for (size_t i = 0; i < words.size(); ++i) {
    if (EndsTitle(words[i], i + 1 < words.size() ? words[i + 1] : NativeString())) break;
    title.append(i > 0 ? NATIVE(" ") : NATIVE("")).append(words[i]);
  }
  const auto tidyEnds = [&] {
    for (;;) {  // what a loose end hid may end the title: "Show Ep -"
      while (!title.empty() && IsLoose(title.back())) title.pop_back();
      const size_t space = title.rfind(NATIVE(' '));
      const size_t last = space == title.npos ? 0 : space + 1;
      if (title.empty() || !EndsTitle(NativeStringView(title).substr(last), {})) break;
      title.erase(space == title.npos ? 0 : space);
    }
  };
  tidyEnds();
  // Until none is left, so that the folder's name reads as its release's.
  for (bool turned = true; turned;) {
    turned = false;
    for (const NativeStringView article : {NATIVE(", The"), NATIVE(", A"), NATIVE(", An")}) {
      if (title.size() <= article.size() || NativeStringView(title).substr(title.size() - article.size()) != article)
        continue;
      title.erase(title.size() - article.size());
      title.insert(0, NativeString(article.substr(2)).append(NATIVE(" ")));
      tidyEnds();
      turned = true;
    }
  }
  return title;
}

bool IsYear(NativeStringView word) {
  return word.size() == 4 && AllDigits(word) && (word.substr(0, 2) == NATIVE("19") || word.substr(0, 2) == NATIVE("20"));
}

// Words a title keeps in lower case after its first.
bool IsMinorWord(NativeStringView word) {
  for (const NativeStringView minor : {NATIVE("a"), NATIVE("an"), NATIVE("and"), NATIVE("as"), NATIVE("at"),
                                       NATIVE("but"), NATIVE("by"), NATIVE("for"), NATIVE("in"), NATIVE("of"),
                                       NATIVE("on"), NATIVE("or"), NATIVE("the"), NATIVE("to"), NATIVE("vs")})
    if (word == minor) return true;
  return false;
}

// Tags that releases put bare before the marker; bracketed, any two letters.
bool IsCountry(NativeStringView code, bool bracketed) {
  if (code.size() != 2) return false;
  NativeString upper(code);
  for (NativeChar& c : upper) c = AsciiUpper(c);
  if (!AllCapitals(upper)) return false;
  return bracketed || IsKnownCountry(upper);
}

// The name cleaned of everything but its title and tags.
NativeString CleanedName(NativeStringView name) {
  NativeString text(name);
  for (NativeChar& c : text)
    if (c == NATIVE('.') || c == NATIVE('_')) c = NATIVE(' ');
  text = Collapsed(text);
  // Release groups' and sites' prefixes name no show, however many.
  // Nor do tags before it ("HD 720p: Show"), nor what they leave loose.
  for (size_t before = text.npos; text.size() != before;) {
    before = text.size();
    size_t lead = 0;
    while (lead < text.size() && IsLoose(text[lead]) && text[lead] != NATIVE('(') && text[lead] != NATIVE('[')) ++lead;
    text.erase(0, lead);
    const size_t space = text.find(NATIVE(' '));
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
    } else if (space != text.npos && IsLeadingTag(NativeStringView(text).substr(0, space))) {
      text.erase(0, space + 1);
    }
  }
  // Composed once the title is cut out: what was cut may be no UTF-8.
  NativeString composed;
  ComposedForm(TitleWords(text), composed);
  return composed;
}

// Takes the last word of `text` as a tag of `reading` where it may be one
// (strict: as a new folder's name reads it); false, nothing changed, where not.
bool TakeTag(NativeString& text, ShowReading& reading, bool strict) {
  const size_t space = text.rfind(NATIVE(' '));
  if (space == text.npos) return false;  // never the whole title
  NativeStringView word = NativeStringView(text).substr(space + 1);
  const bool bracketed = word.size() > 2 && word.front() == NATIVE('(') && word.back() == NATIVE(')');
  if (bracketed) word = word.substr(1, word.size() - 2);
  const NativeStringView rest = NativeStringView(text).substr(0, space);
  if (reading.year.empty() && IsYear(word)) {
    reading.year = NativeString(word);  // a copy: word lies in text, which changes below
    reading.bareYear = !bracketed;
  } else if (reading.country.empty() && IsCountry(word, bracketed) &&
             (!strict || bracketed || (AllCapitals(word) && HasLower(rest)))) {
    reading.country = NativeString(word);
    for (NativeChar& c : reading.country) c = AsciiUpper(c);
    reading.bareCountry = !bracketed;
  } else {
    return false;
  }
  text.erase(space);
  TrimSeparators(text);
  ++reading.tagsTaken;
  return true;
}

void Keyed(ShowReading& reading, NativeString title) {
  reading.title = std::move(title);
  CaseKeyOf(reading.title, reading.key);
}

}  // namespace

ShowReading ReadShowName(NativeStringView name) {
  ShowReading reading;
  NativeString text = CleanedName(name);
  // A year and a country at the end, in either order.
  for (int tags = 0; tags < 2 && TakeTag(text, reading, true); ++tags) {
  }
  Keyed(reading, std::move(text));
  return reading;
}

std::vector<ShowReading> ShowReadingsOf(NativeStringView name) {
  NativeString text = CleanedName(name);
  if (text.empty()) return {};
  // The whole title, the brackets of its last two words dropped: "The Office
  // (US)" holds "The Office US" whole.
  NativeString whole;
  size_t end = text.size();
  for (int words = 0; words < 2 && end != text.npos; ++words) {
    const size_t space = text.rfind(NATIVE(' '), end == 0 ? 0 : end - 1);
    if (space == text.npos || space == 0) break;
    const size_t start = space + 1;
    if (end - start > 2 && text[start] == NATIVE('(') && text[end - 1] == NATIVE(')'))
      whole = NativeString(NATIVE(" ")).append(text, start + 1, end - start - 2).append(whole);
    else
      whole = NativeString(text, space, end - space).append(whole);
    end = space;
  }
  whole.insert(0, text, 0, end);
  std::vector<ShowReading> readings(1);
  Keyed(readings[0], whole);
  ShowReading tagged;
  while (TakeTag(text, tagged, false)) {
    Keyed(tagged, text);
    readings.push_back(tagged);
  }
  return readings;
}

int ShowMatch(const std::vector<ShowReading>& release, const std::vector<ShowReading>& folder) {
  int best = 0;
  for (const ShowReading& mine : release)
    for (const ShowReading& theirs : folder) {
      if (mine.title.empty() || CompareCaseKeys(mine.key, theirs.key) != 0) continue;
      const auto dropsOwnWord = [](const ShowReading& a, const ShowReading& b) {
        return (a.bareYear && a.year != b.year) || (a.bareCountry && a.country != b.country);
      };
      if (dropsOwnWord(mine, theirs) || dropsOwnWord(theirs, mine)) continue;  // Space 1999 is not Space
      int agreeing = 0;
      bool differ = false;  // The Office (US) is not The Office (UK)
      for (const auto& [a, b] : {std::pair(&mine.year, &theirs.year), std::pair(&mine.country, &theirs.country)}) {
        if (a->empty() || b->empty()) continue;
        differ = differ || *a != *b;
        ++agreeing;
      }
      if (!differ) best = std::max(best, 1 + 8 * agreeing + (4 - mine.tagsTaken - theirs.tagsTaken));
    }
  return best;
}

NativeString CleanShowFolderName(const ShowReading& reading) {
  if (reading.title.empty()) return {};
  // Words of one capital letter, three or more in a row, were an acronym
  // written with dots.
  std::vector<NativeString> words = WordsOf(reading.title);
  // Written all in lower case: capitals as a title has them, where letter
  // case is ignored for the name (not for one that is not UTF-8), so that
  // the release finds its folder again.
  if (!HasUpper(reading.title) && HasLower(reading.title)) {
    std::vector<NativeString> titled = words;
    NativeString title, key;
    for (size_t i = 0; i < titled.size(); ++i) {
      if (i == 0 || !IsMinorWord(titled[i])) titled[i][0] = AsciiUpper(titled[i][0]);
      title.append(i > 0 ? NATIVE(" ") : NATIVE("")).append(titled[i]);
    }
    CaseKeyOf(title, key);
    if (CompareCaseKeys(key, reading.key) == 0) words.swap(titled);
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
