#include "organiser/hard_link.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "episode/classifier.h"
#include "episode/sample.h"
#include "episode/sidecar.h"
#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/letter_case.h"


bool LinkEffects::FolderExists(const NativeString& path) { return ::FolderExists(path); }

bool LinkEffects::MakeFolder(const NativeString& path) {
  if (::MakeFolder(path)) return true;
  const int code = LastErrorCode();  // before the look below
  reason_ = EntryExists(path) ? NativeString(NATIVE("a file of that name is in the way")) : SystemErrorText(code);
  return false;
}

bool LinkEffects::QuickMove(const NativeString& source, const NativeString& target) {
  already_ = Already::No;
  leadsTo_.clear();
  return QuickPathsPass(source, target) && MakeHardLink(source, target);
}

void LinkEffects::Move(const NativeString& source, const NativeString& target, bool) {
  already_ = Already::No;
  leadsTo_.clear();
  // A symbolic link, relative ones above all, would lead nowhere from the
  // show folder: the file it leads to gets the new name.
  NativeString hop;
  for (int links = 0; links < 40 && LinkTargetOf(leadsTo_.empty() ? source : leadsTo_, hop); ++links)
    leadsTo_.swap(hop);
  if (!leadsTo_.empty() && !FileEntryExists(leadsTo_))
    throw EInOutError(NativeString(NATIVE("a symbolic link that leads to no file")));
  const NativeString& linked = leadsTo_.empty() ? source : leadsTo_;
  CheckMove(linked, target, TheDisk());
  if (MakeHardLink(linked, target)) return;
  const int code = LastErrorCode();
  if (IsNameClash(code)) RefuseTheFileItself(source, target, TheDisk());
  // Run again, or by a second hook: the show folder holds this very file.
  if (IsNameClash(code) && SameFile(linked, target)) {
    already_ = Already::Linked;
    return;
  }
  // sshfs shows each name of a file as a file of its own: said as it is.
  if (IsNameClash(code) && MayBeOneFile(linked, target)) {
    already_ = Already::MaybeLinked;
    return;
  }
  if (IsNameClash(code))
    throw EInOutError(NativeString(NATIVE("a different file of that name is in the show folder")));
  if (LinkRefusedAsOthersFile(linked, code))
    throw EInOutError(NativeString(NATIVE("not the file's owner: the system refuses links to other users' files")));
  throw EInOutError(SystemErrorText(code));
}

// A subtitle says Skipped only once it is known to follow no episode: a
// linked one has its Linked line alone.
void LinkEffects::Skipped(NativeStringView name) {
  if (IsSidecarName(name, false))
    subtitles_.push_back(base_ + NativeString(name));
  else
    WriteEventLine(line_, NATIVE("Skipped File: "), name);
}
void LinkEffects::FolderCreated(NativeStringView folder) {
  made_ = folder;  // until something is linked into it
  showFoldersOfRun_.insert(made_ + kDelimiter);
  WriteEventLine(line_, NATIVE("Created Folder: "), folder);
}
void LinkEffects::FolderFailed(NativeStringView folder) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder, reason_);
}
void LinkEffects::Moved(NativeStringView source, NativeStringView target) {
  RememberEpisode(source.substr(0, source.size() - ExtensionOf(source).size()), target);
  SayLinked(source, target);
}
void LinkEffects::SayLinked(NativeStringView source, NativeStringView target) {
  made_.clear();
  if (already_ == Already::Linked) return WriteEventLine(line_, NATIVE("Already Linked: "), source);
  if (already_ == Already::MaybeLinked)
    return WriteEventLine(line_, NATIVE("Maybe Linked: "), source,
                          NATIVE("the show folder holds a file of that name, size and time; "
                                 "this file system cannot show whether it is this one"));
  CountOne(count_);
  line_.assign(NATIVE("Linked File: ")).append(source).append(NATIVE(" -> ")).append(target);
  if (!leadsTo_.empty())
    line_.append(NATIVE(" (the file the link leads to: "))
        .append(CanonicalPath(leadsTo_, shown_) ? shown_ : leadsTo_)
        .append(NATIVE(")"));
  WriteLine(line_);
}
// A hook must not take an unread folder for one with nothing to link.
void LinkEffects::ListingFailed(NativeStringView folder, int code) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("List Folder FAILED: "), folder, SystemErrorText(code));
}
void LinkEffects::MoveFailed(NativeStringView source, const Exception* why) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Link File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
  // A show folder made for this episode alone is not left empty.
  if (!made_.empty() && RemoveEmptyFolder(made_))
    WriteEventLine(line_, NATIVE("Removed Folder: "), made_, NATIVE("nothing could be linked into it"));
  made_.clear();
}

namespace {

// A show folder holds episodes of its own show.
bool IsShowFolder(const NativeString& folder, NativeStringView name) {
  NativeString show;
  for (FolderListing listing(WithTrailingDelimiter(folder)); listing.HasEntry(); listing.Advance())
    if (!listing.Entry().isFolder && ClassifyEpisodeFile(listing.Entry().name, show) &&
        CompareIgnoringCase(show, name) == 0)
      return true;
  return false;
}

}  // namespace

bool LinkEffects::Takes(NativeStringView name) { return !MarkedAsSample(name); }

void LinkEffects::PassedFolder(NativeStringView name) {
  if (!gathering_) return;
  if (name == leftOut_)
    WriteEventLine(line_, NATIVE("Skipped Folder: "), name, NATIVE("the library"));
  else if (!MarkedAsSample(name) && CompareIgnoringCase(name, NATIVE("Subs")) != 0)
    torrentFolders_.emplace_back(name);
}

std::vector<NativeString> LinkEffects::TakeTorrentFolders() {
  gathering_ = false;
  return std::move(torrentFolders_);
}

void LinkTorrentFolders(const NativeString& source, const NativeString& library, LinkEffects& effects) {
  const NativeString base = WithTrailingDelimiter(source);
  const std::vector<NativeString> folders = effects.TakeTorrentFolders();
  // A link to a folder is someone's arrangement (a show folder elsewhere),
  // not a torrent: clients write real folders. Show folders this run has
  // made or linked into are known without a look.
  NativeString target;
  for (const NativeString& name : folders)
    if (!effects.ShowFolderOfRun(base + name + kDelimiter) && !LinkTargetOf(base + name, target) &&
        !IsShowFolder(base + name, name))
      SweepDirectory(base + name, library, effects);
}

void LinkEffects::Begin(NativeStringView base) {
  base_ = base;
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
      LinkBeside(subtitle, showFolders_[std::prev(after)->folder]);
      return true;
    });
    if (!belongs) WriteEventLine(line_, NATIVE("Skipped File: "), NativeStringView(subtitle).substr(base_.size()));
  }
  subtitles_.clear();
  episodes_.clear();
  showFolders_.clear();
  folderNumbers_.clear();
}

void LinkEffects::RememberEpisode(NativeStringView stem, NativeStringView target) {
  folder_.assign(target.substr(0, target.find_last_of(kDelimiter) + 1));
  const auto [at, added] = folderNumbers_.try_emplace(folder_, static_cast<std::uint32_t>(showFolders_.size()));
  if (added) {
    showFolders_.push_back(folder_);
    showFoldersOfRun_.insert(folder_);
  }
  episodes_.push_back(Episode{TextKey(stem), at->second});
}

// A subtitle's own line; its failure never touches the episode's outcome.
void LinkEffects::LinkBeside(const NativeString& subtitle, const NativeString& showFolder) {
  const NativeString target = showFolder + subtitle.substr(subtitle.find_last_of(kDelimiter) + 1);
  try {
    Move(subtitle, target, true);
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
