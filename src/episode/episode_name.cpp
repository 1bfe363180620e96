#include "episode/episode_name.h"

#include <algorithm>

#include "episode/classifier.h"
#include "episode/release_words.h"

namespace {

using Kind = EpisodeReading::Kind;

bool IsWordUnit(NativeChar c) {
  return IsAsciiDigit(c) || (c >= NATIVE('a') && c <= NATIVE('z')) || (c >= NATIVE('A') && c <= NATIVE('Z')) ||
         static_cast<std::uint32_t>(c) >= 0x80;
}
bool IsMarkerSeparator(NativeChar c) {
  return c == NATIVE(' ') || c == NATIVE('.') || c == NATIVE('_') || c == NATIVE('-');
}

// A cursor over the marker text: each step consumes what it matches, or
// nothing and false.
struct Cursor {
  const NativeString& text;
  size_t at;

  bool Word(NativeStringView word) {
    if (text.compare(at, word.size(), word.data(), word.size()) != 0) return false;
    at += word.size();
    return true;
  }
  // Digits, from `fewest` to `most` of them: their value, or -1.
  int Number(size_t fewest, size_t most) {
    size_t end = at;
    while (end < text.size() && IsAsciiDigit(text[end]) && end - at < most + 1) ++end;
    if (end - at < fewest || end - at > most) return -1;
    int value = 0;
    for (; at < end; ++at) value = value * 10 + (text[at] - NATIVE('0'));
    return value;
  }
  void Separators(size_t most) {
    for (size_t n = 0; n < most && at < text.size() && IsMarkerSeparator(text[at]); ++n) ++at;
  }
  bool AtWordEnd() const { return at >= text.size() || !IsWordUnit(text[at]); }
  // More episodes of one file (E01E02, E01-E02, E01-02, 1x01x02), and a
  // release's version (v2): passed over; the last is kept where it runs on.
  void MoreEpisodes(EpisodeReading* reading = nullptr) {
    for (;;) {
      Cursor next = *this;
      next.Word(NATIVE("-"));
      if (!next.Word(NATIVE("e")) && !next.Word(NATIVE("x")) && next.at == at) break;
      const int last = next.Number(1, 4);
      if (last < 0) break;
      if (reading && last > std::max(reading->episode, reading->lastEpisode)) reading->lastEpisode = last;
      at = next.at;
    }
    Cursor version = *this;
    if (version.Word(NATIVE("v")) && version.Number(1, 1) >= 0) at = version.at;
  }
};

bool IsYear(int number) { return number >= 1900 && number <= 2099; }

// What the whole name tells about the numbers in it: a fansub's brackets
// let a bare number be an episode; a year makes it a film's.
struct NameFacts {
  bool brackets = false, leadingGroup = false;
  bool year = false;
};

// The marker that starts at `start` (a word's start), with the end of its
// text and, for a number before " - " and the title, where that title starts;
// false where none does.
bool MarkerAt(const NativeString& text, size_t start, const NameFacts& facts, EpisodeReading& reading, size_t& end,
              size_t& titleAfter) {
  titleAfter = text.npos;
  reading.lastEpisode = 0;
  Cursor c{text, start};
  // S01E02, s1e2, S01.E02, S01 E02, S01_E02, S01E01E02, S01E01-02, S6.Ep5,
  // S01EP01, S06xE01, s03-x01, S16 - E29, S2013E14 (the season a year)
  if (c.Word(NATIVE("s"))) {
    reading.season = c.Number(1, 4);
    c.Separators(3);
    const bool episodeWord = c.Word(NATIVE("xe")) || c.Word(NATIVE("ep")) || c.Word(NATIVE("e")) || c.Word(NATIVE("x"));
    c.Separators(1);
    if (reading.season >= 0 && episodeWord && (reading.episode = c.Number(1, 4)) >= 0) {
      c.MoreEpisodes(&reading);
      if (c.AtWordEnd()) return reading.kind = Kind::Seasonal, end = c.at, true;
    }
  }
  // 1x02, 01x02
  c.at = start;
  reading.lastEpisode = 0;
  if ((reading.season = c.Number(1, 2)) >= 0 && c.Word(NATIVE("x")) && (reading.episode = c.Number(2, 3)) >= 0) {
    c.MoreEpisodes(&reading);
    if (c.AtWordEnd()) return reading.kind = Kind::Seasonal, end = c.at, true;
  }
  // Season 1 Episode 2, Season.01.Ep.02
  c.at = start;
  if (c.Word(NATIVE("season"))) {
    c.Separators(3);
    reading.season = c.Number(1, 3);
    c.Separators(3);
    if (reading.season >= 0 && (c.Word(NATIVE("episode")) || c.Word(NATIVE("ep")))) {
      c.Separators(3);
      if ((reading.episode = c.Number(1, 4)) >= 0 && c.AtWordEnd())
        return reading.kind = Kind::Seasonal, end = c.at, true;
    }
  }
  // A daily show: 2024.01.15, 2024-01-15
  c.at = start;
  const int year = c.Number(4, 4);
  if (IsYear(year) && c.at < text.size() && IsMarkerSeparator(text[c.at])) {
    ++c.at;
    const int month = c.Number(2, 2);
    if (month >= 1 && month <= 12 && c.at < text.size() && IsMarkerSeparator(text[c.at])) {
      ++c.at;
      const int day = c.Number(2, 2);
      if (day >= 1 && day <= 31 && c.AtWordEnd()) {
        reading.season = year;
        reading.episode = month * 100 + day;
        return reading.kind = Kind::Daily, end = c.at, true;
      }
    }
  }
  // Numbered from the first episode: Title Episode 161, Title Ep 12
  c.at = start;
  if (c.Word(NATIVE("episode")) || c.Word(NATIVE("ep"))) {
    c.Separators(3);
    reading.episode = c.Number(1, 4);
    c.MoreEpisodes();  // Episode 366v2
    if (reading.episode >= 0 && !IsYear(reading.episode) && c.AtWordEnd())
      return reading.season = 0, reading.kind = Kind::Absolute, end = c.at, true;
  }
  // A miniseries, its only season: Title.Part.1, Title.1of5
  c.at = start;
  if (!facts.year && (c.Word(NATIVE("part")) || c.Word(NATIVE("pt"))) && (c.Separators(1), true) &&
      (reading.episode = c.Number(1, 2)) >= 1 && c.AtWordEnd())
    return reading.season = 1, reading.kind = Kind::Seasonal, end = c.at, true;
  c.at = start;
  if ((reading.episode = c.Number(1, 2)) >= 1 && c.Word(NATIVE("of")) && c.Number(1, 2) >= reading.episode &&
      c.AtWordEnd())
    return reading.season = 1, reading.kind = Kind::Seasonal, end = c.at, true;
  // [Group] Title - 04 [1080p], Title - 102v2, [Group].Title.-.06, Title_-_12
  c.at = start;
  if (start >= 1 && IsMarkerSeparator(text[start - 1]) && text[start - 1] != NATIVE('-') && c.Word(NATIVE("-")) &&
      c.at < text.size() && IsMarkerSeparator(text[c.at])) {
    c.Separators(2);
    reading.episode = c.Number(1, 4);
    Cursor seasonal = c;  // "Title - [05x07]" is the season's marker, read at its number
    if (reading.episode >= 0 && !IsYear(reading.episode) && !(seasonal.Word(NATIVE("x")) && seasonal.Number(1, 3) >= 0)) {
      c.MoreEpisodes();
      if (c.AtWordEnd()) return reading.season = 0, reading.kind = Kind::Absolute, end = c.at, true;
    }
  }
  // A fansub's bare number: [Group] Title 13 [1080p], Title_679_[VOSTFR],
  // [Group] 01 - Title [BD]: as the last word, or before " - " and a title
  // where none is before it; never in a name with a year (a film's).
  c.at = start;
  reading.episode = c.Number(1, 4);
  const bool numberLike = facts.leadingGroup || c.at - start >= 3 || text[start] == NATIVE('0');  // not "Super 8"
  if (facts.brackets && numberLike && !facts.year && reading.episode >= 0 && c.AtWordEnd()) {
    c.MoreEpisodes();
    Cursor rest = c;
    rest.Separators(text.size());
    const NativeStringView between = NativeStringView(text).substr(c.at, rest.at - c.at);
    if (rest.at < text.size() && between.find(NATIVE(" - ")) != between.npos) titleAfter = rest.at;
    if (rest.at == text.size() || titleAfter != text.npos)
      return reading.season = 0, reading.kind = Kind::Absolute, end = c.at, true;
  }
  return false;
}

// The name as the markers are looked for in it: ASCII letters in lower case,
// and what cannot hold a marker (brackets, braces, a site prefix) blanked,
// unit for unit, so that a position in it is one in the name. A bracket
// that holds a season's marker alone ("[05x07]") keeps it.
NativeString MarkerText(NativeStringView stem) {
  NativeString text(stem);
  for (NativeChar& c : text) c = AsciiLower(c);
  const NativeString lowered = text;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != NATIVE('[') && text[at] != NATIVE('{')) continue;
    size_t close = at + 1;
    for (int depth = 1; close < text.size(); ++close) {
      depth += (text[close] == NATIVE('[') || text[close] == NATIVE('{'));
      depth -= (text[close] == NATIVE(']') || text[close] == NATIVE('}'));
      if (depth == 0) break;
    }
    EpisodeReading reading;
    size_t end = 0, titleAfter = 0;
    const bool marker = MarkerAt(lowered, at + 1, NameFacts{}, reading, end, titleAfter) &&
                        reading.kind == Kind::Seasonal && end == close;
    for (size_t i = at; i <= close && i < text.size(); ++i)
      if (!marker || i == at || i == close) text[i] = NATIVE(' ');
    at = close;
  }
  // "www.site.tld - Show..." or "www.site.tld.Show...": the site names no episode.
  if (text.rfind(NATIVE("www."), 0) == 0) {
    size_t end = text.find(NATIVE(" - "));
    if (end == text.npos) {
      end = text.find(NATIVE('.'), 4);
      end = end == text.npos ? end : text.find(NATIVE('.'), end + 1);
    }
    text.replace(0, end == text.npos ? text.size() : end, (end == text.npos ? text.size() : end), NATIVE(' '));
  }
  return text;
}


// The show as the text before the marker gives it: dots as spaces, blanks
// trimmed, as the exact rule names it.
NativeString ShowBefore(NativeStringView stem, size_t marker) {
  NativeString show(stem.substr(0, marker));
  for (NativeChar& c : show)
    if (c == NATIVE('.')) c = NATIVE(' ');
  return NativeString(TrimBlanks(NativeStringView(show)));
}

// A year or a country in brackets after the marker, the show's tag:
// "Show - S01E02 (US)" is "Show (US)".
NativeString TagAfter(NativeStringView stem, size_t marker) {
  for (size_t open = stem.find(NATIVE('('), marker); open != stem.npos; open = stem.find(NATIVE('('), open + 1)) {
    const size_t close = stem.find(NATIVE(')'), open);
    if (close == stem.npos) break;
    const NativeStringView inner = stem.substr(open + 1, close - open - 1);
    NativeString digits(inner);
    Cursor c{digits, 0};
    const bool year = inner.size() == 4 && IsYear(c.Number(4, 4));
    if (year || IsKnownCountry(inner)) return NativeString(NATIVE(" ")).append(stem.substr(open, close - open + 1));
  }
  return {};
}

bool HasWord(NativeStringView text) {
  for (const NativeChar c : text)
    if (IsWordUnit(c) && c != NATIVE('-')) return true;
  return false;
}

bool HasYear(const NativeString& text) {
  for (size_t at = 0; at + 4 <= text.size(); ++at) {
    Cursor c{text, at};
    if ((at == 0 || !IsWordUnit(text[at - 1])) && IsYear(c.Number(4, 4)) && c.AtWordEnd()) return true;
  }
  return false;
}

}  // namespace

NativeStringView WhyNoEpisode(NativeStringView fileName) {
  const NativeStringView name = TrimBlanks(fileName);
  const NativeStringView extension = ExtensionOf(name);
  if (!IsVideoExtension(extension)) return NATIVE("not a video file");
  const NativeString text = MarkerText(name.substr(0, name.size() - extension.size()));
  for (const NativeStringView extra : {NATIVE("featurette"), NATIVE("trailer"), NATIVE("deleted scene"),
                                       NATIVE("deleted.scene"), NATIVE("deleted_scene"), NATIVE("behind the scenes"),
                                       NATIVE("behind.the.scenes"), NATIVE("blooper"), NATIVE("interview"),
                                       NATIVE("making of"), NATIVE("making.of")})
    if (text.find(extra) != text.npos) return NATIVE("an extra");
  return HasYear(text) ? NATIVE("a film") : NATIVE("not an episode's name");
}

std::vector<EpisodeReading> EpisodeReadingsOf(NativeStringView fileName) {
  std::vector<EpisodeReading> readings;
  const NativeStringView name = TrimBlanks(fileName);
  const NativeStringView extension = ExtensionOf(name);
  if (!IsVideoExtension(extension)) return readings;
  const NativeStringView stem = name.substr(0, name.size() - extension.size());
  const NativeString text = MarkerText(stem);
  NameFacts facts;
  facts.brackets = stem.find(NATIVE('[')) != stem.npos;
  facts.leadingGroup = !stem.empty() && stem[0] == NATIVE('[');
  facts.year = HasYear(text);
  for (size_t at = 0; at < text.size(); ++at) {
    if (at > 0 && IsWordUnit(text[at - 1])) continue;  // markers start words
    EpisodeReading reading;
    size_t end = 0, titleAfter = 0;
    if (!MarkerAt(text, at, facts, reading, end, titleAfter)) continue;
    // " - 04" starts at its dash, after the title's last blank.
    reading.show = ShowBefore(stem, at);
    if (!HasWord(MarkerText(reading.show)) && titleAfter != text.npos)
      reading.show = ShowBefore(stem.substr(titleAfter, stem.find(NATIVE('['), titleAfter) - titleAfter), stem.npos);
    else if (titleAfter != text.npos)
      continue;  // "Show 2 - Title 05": the number is the title's
    if (HasWord(MarkerText(reading.show))) {
      reading.show.append(TagAfter(stem, end));
      readings.push_back(std::move(reading));
    }
    at = end - 1;  // a marker's own numbers hold no other
  }
  return readings;
}
