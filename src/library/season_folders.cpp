#include "library/season_folders.h"

#include <algorithm>
#include <set>
#include <string>

#include "episode/classifier.h"
#include "platform/file_system.h"

namespace {

bool SameLetters(NativeStringView text, NativeStringView lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (AsciiLower(text[i]) != lower[i]) return false;
  return true;
}

}  // namespace

bool ReadSeasonFolderName(NativeStringView name, int& season, SeasonSpelling* spelling) {
  if (SameLetters(name, NATIVE("specials")) || SameLetters(name, NATIVE("special"))) {
    season = 0;
    if (spelling) *spelling = SeasonSpelling{NativeString(), 0};  // no numbered spelling
    return true;
  }
  size_t digitsAt = name.size();
  while (digitsAt > 0 && IsAsciiDigit(name[digitsAt - 1])) --digitsAt;
  const size_t digits = name.size() - digitsAt;
  if (digits == 0 || digits > 4) return false;
  // "Season 1", "Season.01", "Season_001", or "S01" (a daily show's "S2024")
  NativeStringView prefix = name.substr(0, digitsAt);
  NativeStringView word = prefix;
  while (!word.empty() && (word.back() == NATIVE(' ') || word.back() == NATIVE('.') || word.back() == NATIVE('_')))
    word.remove_suffix(1);
  if (!SameLetters(word, NATIVE("season")) && !SameLetters(prefix, NATIVE("s"))) return false;
  season = 0;
  for (const NativeChar c : name.substr(digitsAt)) season = season * 10 + (c - NATIVE('0'));
  if (spelling) *spelling = SeasonSpelling{NativeString(prefix), name[digitsAt] == NATIVE('0') ? digits : 1};
  return true;
}

NativeString SeasonFolderName(const SeasonSpelling& spelling, int season) {
  std::string number = std::to_string(season);
  if (number.size() < spelling.digits) number.insert(0, spelling.digits - number.size(), '0');
  return NativeString(spelling.prefix).append(number.begin(), number.end());
}

// Two show folders that are one folder (links) are one show folder here.
NativeString SeasonFolders::Key(const NativeString& showFolder) {
  NativeString canonical;
  return CanonicalPath(WithTrailingDelimiter(showFolder) + NATIVE("."), canonical) ? canonical : showFolder;
}

SeasonFolders::Show& SeasonFolders::Read(const NativeString& showFolder) {
  const auto [at, added] = shows_.try_emplace(Key(showFolder));
  Show& show = at->second;
  if (!added) return show;
  NativeString first;  // the numbered season folder first in byte order gives the spelling
  size_t digits = 1;
  for (FolderListing listing(WithTrailingDelimiter(showFolder)); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (entry.name.empty() || entry.name[0] == NATIVE('.')) continue;  // hidden, ours included
    int season = 0;
    SeasonSpelling spelling;
    if (!entry.isFolder) {
      show.flat = show.flat || IsVideoExtension(ExtensionOf(entry.name));
    } else if (ReadSeasonFolderName(entry.name, season, &spelling)) {
      show.seasoned = show.seasoned || !spelling.prefix.empty();  // Specials alone: a flat show's
      auto [known, fresh] = show.seasons.try_emplace(season, entry.name);
      if (!fresh && NativeStringView(known->second) > entry.name) known->second = entry.name;
      if (!spelling.prefix.empty() && (first.empty() || NativeStringView(first) > entry.name)) {
        first = entry.name;
        show.spelling = spelling;
      }
      if (spelling.digits > digits) digits = spelling.digits;
    }
  }
  if (show.spelling) show.spelling->digits = digits;
  return show;
}

const std::optional<SeasonSpelling>& SeasonFolders::LibraryWay(const NativeString& library) {
  if (libraryRead_) return libraryWay_;
  libraryRead_ = true;
  std::vector<NativeString> names;
  for (FolderListing listing(WithTrailingDelimiter(library)); listing.HasEntry(); listing.Advance())
    if (listing.Entry().isFolder && !listing.Entry().name.empty() && listing.Entry().name[0] != NATIVE('.'))
      names.emplace_back(listing.Entry().name);
  // A sample tells the library's way: the first shows in byte order, so that
  // a hook on a library of thousands lists dozens, alike every run.
  constexpr size_t kSample = 64;
  std::sort(names.begin(), names.end());
  if (names.size() > kSample) names.resize(kSample);
  // The clear majority of the shows that keep episodes, two in three, decides;
  // the spelling most of them use is taken. A show with episodes of its own
  // beside season folders counts as flat, and a folder reached two ways once:
  // what a run adds never turns the majority, and a second run decides alike.
  int seasoned = 0, flat = 0;
  std::map<std::pair<NativeString, size_t>, int> spellings;
  std::set<NativeString> counted;
  for (const NativeString& name : names) {
    const NativeString folder = WithTrailingDelimiter(library) + name;
    if (!counted.insert(Key(folder)).second) continue;
    const Show& show = Read(folder);
    if (show.flat) {
      ++flat;
    } else if (show.seasoned) {
      ++seasoned;
      if (show.spelling) ++spellings[{show.spelling->prefix, show.spelling->digits}];
    }
  }
  if (seasoned == 0 || seasoned * 3 < (seasoned + flat) * 2) return libraryWay_;
  libraryWay_ = SeasonSpelling{};
  int most = 0;
  for (const auto& [spelling, count] : spellings)
    if (count > most) {
      most = count;
      libraryWay_ = SeasonSpelling{spelling.first, spelling.second};
    }
  return libraryWay_;
}

NativeString SeasonFolders::For(const NativeString& library, const NativeString& showFolder,
                                const EpisodeReading& episode, bool& there) {
  there = true;
  // The library as the run found it, before anything of the run's is in it:
  // the dry run and the run decide alike.
  const std::optional<SeasonSpelling>& way = LibraryWay(library);
  Show& show = Read(showFolder);
  if (!show.seasoned && (show.flat || !way)) return showFolder;
  const auto in = [&](const NativeString& name) { return WithTrailingDelimiter(showFolder) + name; };
  // Numbered from the first episode: no season of its own.
  if (episode.kind == EpisodeReading::Kind::Absolute)
    return show.seasons.size() == 1 ? in(show.seasons.begin()->second) : showFolder;
  if (const auto known = show.seasons.find(episode.season); known != show.seasons.end()) return in(known->second);
  there = false;
  return in(SeasonFolderName(show.spelling ? *show.spelling : way ? *way : SeasonSpelling{}, episode.season));
}

std::vector<NativeString> SeasonFolders::SeasonsOf(const NativeString& showFolder) {
  std::vector<NativeString> names;
  for (const auto& [season, name] : Read(showFolder).seasons) names.push_back(name);
  return names;
}

void SeasonFolders::Made(const NativeString& folder) {
  const size_t nameAt = folder.find_last_of(kDelimiter);
  Show& show = shows_[Key(folder.substr(0, nameAt))];
  const NativeString name = folder.substr(nameAt + 1);
  show.seasoned = true;
  int season = 0;
  SeasonSpelling spelling;
  if (ReadSeasonFolderName(name, season, &spelling)) {
    show.seasons.try_emplace(season, name);
    if (!show.spelling) show.spelling = spelling;
  }
}

void SeasonFolders::TakenBack(const NativeString& folder) {
  shows_.erase(Key(folder));
  const size_t nameAt = folder.find_last_of(kDelimiter);
  if (nameAt == folder.npos) return;
  const auto show = shows_.find(Key(folder.substr(0, nameAt)));
  if (show == shows_.end()) return;
  const NativeStringView name = NativeStringView(folder).substr(nameAt + 1);
  std::erase_if(show->second.seasons, [&](const auto& season) { return season.second == name; });
}
