// Which files and folders a link run looks at: the torrents' own folders
// to any depth, one file and its subtitles, subtitles beside their episodes.
#include <algorithm>
#include <iterator>
#include <vector>

#include "episode/classifier.h"
#include "episode/episode_name.h"
#include "episode/sample.h"
#include "episode/show_name.h"
#include "episode/sidecar.h"
#include "library/hard_link.h"
#include "library/library_placement.h"
#include "library/season_folders.h"
#include "platform/file_system.h"
#include "platform/letter_case.h"

namespace {

// Whether the folder, or a season folder in it, holds an episode of `show`.
bool HoldsEpisodeOf(const NativeString& folder, NativeStringView name, const std::vector<ShowReading>& show,
                    bool seasons) {
  std::vector<NativeString> seasonFolders;
  for (FolderListing listing(WithTrailingDelimiter(folder)); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    int season = 0;
    if (entry.isFolder) {
      if (seasons && ReadSeasonFolderName(entry.name, season))
        seasonFolders.push_back(WithTrailingDelimiter(folder).append(entry.name));
      continue;
    }
    const std::vector<EpisodeReading> readings = EpisodeReadingsOf(entry.name);
    if (readings.empty()) continue;
    if (CompareIgnoringCase(readings.front().show, name) == 0) return true;  // the exact rule's folder
    if (ShowMatch(ShowReadingsOf(readings.front().show), show) > 0) return true;
  }
  return std::any_of(seasonFolders.begin(), seasonFolders.end(),
                     [&](const NativeString& season) { return HoldsEpisodeOf(season, name, show, false); });
}

// A show folder holds episodes of its own show, directly or in season
// folders, and is named as the exact rule or a clean show folder's name is:
// a release's folder ("Show.Name.S02.720p") is a torrent's, whatever it holds.
bool IsShowFolder(const NativeString& folder, NativeStringView name) {
  const bool clean = CompareIgnoringCase(CleanShowFolderName(ReadShowName(name)), name) == 0;
  return HoldsEpisodeOf(folder, name, clean ? ShowReadingsOf(name) : std::vector<ShowReading>(), true);
}

}  // namespace

bool LinkEffects::Takes(const FolderEntry& entry) {
  if (MarkedAsSample(entry.name)) return false;
  // --move: a link's file may be anywhere, another folder's; no folder is
  // made for it. Looked at only where the listing did not show a plain file.
  NativeString leadsTo;
  return !(linkSkipped_ = move_ && !entry.isRegular && LinkTargetOf(base_ + NativeString(entry.name), leadsTo));
}

void LinkEffects::PassedFolder(NativeStringView name) {
  if (!only_.empty()) return;  // one file: nothing more
  if (depth_ == 0 && name == leftOut_) return SkippedFolder(name, NATIVE("the library"));
  if (CompareIgnoringCase(name, NATIVE("Subs")) == 0) return;  // its subtitles follow their episodes
  // Inside a torrent's folder, a folder left out says so: its episodes are not linked.
  const bool sample = MarkedAsSample(name) || CompareIgnoringCase(name, NATIVE("Samples")) == 0;
  const bool extras = CompareIgnoringCase(name, NATIVE("Extras")) == 0;
  if ((sample || extras) && depth_ > 0) SkippedFolder(name, sample ? NATIVE("sample clips") : NATIVE("extras"));
  if (!sample && !extras) torrentFolders_.emplace_back(base_ + NativeString(name), depth_ + 1);
}

void LinkEffects::SkippedFolder(NativeStringView name, NativeStringView why) {
  WriteEventLine(line_, NATIVE("Skipped Folder: "), BelowSource(name), why);
}
void LinkEffects::SkippedFolderAt(NativeStringView path, NativeStringView why) {
  WriteEventLine(line_, NATIVE("Skipped Folder: "), path.substr(top_.size()), why);
}

bool LinkEffects::NextTorrentFolder(NativeString& path, int& depth) {
  if (nextFolder_ == torrentFolders_.size()) return false;
  path = torrentFolders_[nextFolder_].first;
  depth = depth_ = torrentFolders_[nextFolder_++].second;
  return true;
}

void LinkTorrentFolders(const NativeString& source, const NativeString& library, LinkEffects& effects) {
  (void)source;  // its sub-folders were gathered as it was gone through
  // A link to a folder is someone's arrangement (a show folder elsewhere),
  // not a torrent's: clients write real folders, and links are never
  // followed, so no folder is gone through twice. Show folders this run has
  // made or linked into are known without a look; an old one beside the
  // torrents is known by its episodes.
  NativeString path, target;
  int depth = 0;
  while (effects.NextTorrentFolder(path, depth)) {
    const NativeStringView name = NativeStringView(path).substr(path.find_last_of(kDelimiter) + 1);
    if (effects.ShowFolderOfRun(path + kDelimiter) || (depth == 1 && IsShowFolder(path, name))) continue;
    if (LinkTargetOf(path, target)) {
      // Inside a torrent's folder its episodes are left out: said. Beside
      // the torrents it is the user's arrangement (a show folder elsewhere).
      if (depth > 1) effects.SkippedFolderAt(path, NATIVE("a link to a folder"));
      continue;
    }
    if (effects.GoesThrough(path, depth)) SweepIntoLibrary(path, library, effects);
  }
}

void LinkEffects::Begin(NativeStringView base) {
  base_ = base;
  if (top_.empty()) top_ = base_;  // the download folder is gone through first
  subtitles_.clear();
  episodes_.clear();
  // A Subs folder beside the episodes holds theirs.
  for (const NativeStringView subs : {NATIVE("Subs"), NATIVE("subs"), NATIVE("SUBS")}) {
    const NativeString folder = base_ + NativeString(subs) + kDelimiter;
    FolderListing listing(folder);
    for (; listing.HasEntry(); listing.Advance())
      if (!listing.Entry().isFolder && IsSidecarName(listing.Entry().name, false) && Considers(listing.Entry().name))
        subtitles_.push_back(folder + NativeString(listing.Entry().name));
    if (listing.Failure() == 0) break;
  }
}

// Show.Name.S01E01.en.forced.srt belongs to Show.Name.S01E01.mkv: its
// language tags are dropped one by one until an episode's name is found.
void LinkEffects::End() {
  // Sorted only when there are subtitles to place: most folders have none.
  const auto byKey = [](const Episode& a, const Episode& b) { return a.key < b.key; };
  if (!subtitles_.empty()) std::stable_sort(episodes_.begin(), episodes_.end(), byKey);
  for (const NativeString& subtitle : subtitles_) {
    // One in the Subs folder belongs to the episode beside that folder.
    const NativeStringView name = NativeStringView(subtitle).substr(subtitle.find_last_of(kDelimiter) + 1);
    const NativeString beside = base_ + NativeString(name);
    const bool belongs = SidecarBelongs(NativeStringView(beside), kDelimiter, [&](NativeStringView stem) {
      // The last of an episode's names to be linked, as it was linked last.
      const auto after = std::upper_bound(episodes_.begin(), episodes_.end(), Episode{TextKey(stem), 0}, byKey);
      if (after == episodes_.begin() || std::prev(after)->key != TextKey(stem)) return false;
      const Episode& episode = *std::prev(after);
      // --rename: the subtitle's own tail (".en.srt") after its episode's new name.
      LinkBeside(subtitle, showFolders_[episode.folder],
                 names_.On() ? renamedStems_[episode.renamed] + NativeString(NativeStringView(beside).substr(stem.size()))
                         : NativeString());
      return true;
    });
    if (!belongs) WriteEventLine(line_, NATIVE("Skipped File: "), NativeStringView(subtitle).substr(top_.size()));
  }
  subtitles_.clear();
  episodes_.clear();
  renamedStems_.clear();
  showFolders_.clear();
  folderNumbers_.clear();
  TakeBackMadeFolders();
}

// A subtitle's own line; its failure never touches the episode's outcome.
void LinkEffects::LinkBeside(const NativeString& subtitle, const NativeString& showFolder, const NativeString& name) {
  const NativeString target = showFolder + (name.empty() ? subtitle.substr(subtitle.find_last_of(kDelimiter) + 1) : name);
  try {
    Move(subtitle, target, true, false);
  } catch (const Exception& error) {
    MoveFailed(subtitle, &error);
    return;
  }
  SayLinked(subtitle, target);  // not an episode: nothing to remember
}

void LinkEffects::OnlyFile(NativeStringView name) {
  onlyName_ = name;
  only_ = name.substr(0, name.size() - ExtensionOf(name).size());
}

// A subtitle whose language tags, dropped one by one, reach another episode
// lying beside it first is that episode's ("One.S01E01.720p.srt").
bool LinkEffects::Considers(NativeStringView name) {
  if (only_.empty() || name == onlyName_) return true;
  if (!IsSidecarName(name, false) || !SidecarBelongs(name, kDelimiter, [&](NativeStringView stem) { return stem == only_; }))
    return false;
  NativeString episode;
  bool mine = false;
  SidecarBelongs(name, kDelimiter, [&](NativeStringView stem) {
    if (stem == only_) return mine = true;
    for (const NativeStringView extension : {NATIVE(".mkv"), NATIVE(".mp4"), NATIVE(".avi"), NATIVE(".MKV"),
                                             NATIVE(".MP4"), NATIVE(".AVI")})
      if (FileEntryExists(episode.assign(base_).append(stem).append(extension))) return true;
    return false;
  });
  return mine;
}
