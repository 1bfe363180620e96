#include "library/hard_link.h"

#include <algorithm>
#include <utility>

#include "episode/classifier.h"
#include "episode/episode_name.h"
#include "episode/sample.h"
#include "episode/sidecar.h"
#include "core/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/process.h"

namespace {
// A folder as the disk knows it, whichever link it is reached through: the
// links of the folders that are there resolved, those made in thought kept
// as named. Two show folders that are one folder make one season folder.
NativeString FullFolderPath(const NativeString& path) {
  NativeString full, canonical;
  int code = 0;
  FullPathName(path, full, code);
  while (full.size() > 1 && full.back() == kDelimiter) full.pop_back();
  // "." and ".." name the folder they lead to, never one of that name ("./"
  // given for the library).
  const NativeString dot = NativeString(1, kDelimiter) + NATIVE('.');
  if (full.size() > 2 && full.compare(full.size() - 2, 2, dot) == 0) return FullFolderPath(full.substr(0, full.size() - 2));
  if (full.size() > 3 && full.compare(full.size() - 3, 3, dot + NATIVE('.')) == 0) {
    NativeString parent = FullFolderPath(full.substr(0, full.size() - 3));
    parent.erase(std::max<size_t>(parent.find_last_of(kDelimiter), 1));
    return parent;
  }
  if (CanonicalPath(full, canonical)) return canonical;
  const size_t nameAt = full.find_last_of(kDelimiter);
  if (nameAt == full.npos || nameAt == 0 || nameAt + 1 == full.size()) return full;
  return FullFolderPath(full.substr(0, nameAt)).append(full, nameAt, full.npos);
}
}  // namespace

NativeString LinkEffects::FolderKey(const NativeString& folder) {
  NativeString canonical;
  if (CanonicalPath(WithTrailingDelimiter(folder) + NATIVE("."), canonical)) {
    canonical.pop_back();  // "Folder/.": the folder itself, with its delimiter
    return canonical;
  }
  return FullFolderPath(folder) + kDelimiter;
}

const NativeString* LinkEffects::InThoughtAt(const NativeString& path) const {
  if (!dryRun_) return nullptr;
  const auto thought = linkedInThought_.find(FullFolderPath(path));
  return thought == linkedInThought_.end() ? nullptr : &thought->second;
}

NativeString LinkEffects::ResolvedPath(const NativeString& path) { return FullFolderPath(path); }

bool LinkEffects::MadeInThought(const NativeString& path) const {
  return dryRun_ && !madeInThought_.empty() && madeInThought_.count(FullFolderPath(path)) > 0;
}

bool LinkEffects::FolderExists(const NativeString& path) { return MadeInThought(path) || ::FolderExists(path); }

void LinkEffects::FoldersMadeInThought(NativeStringView library,
                                       const std::function<void(NativeStringView)>& each) {
  if (madeInThought_.empty()) return;
  const NativeString parent = FullFolderPath(NativeString(library)) + kDelimiter;
  for (const NativeString& made : madeInThought_)
    if (made.size() > parent.size() && made.compare(0, parent.size(), parent) == 0 &&
        made.find(kDelimiter, parent.size()) == made.npos)
      each(NativeStringView(made).substr(parent.size()));
}

bool LinkEffects::MakeFolder(const NativeString& path) {
  const NativeString parent = FolderPartOf(path);
  if (dryRun_) {
    if (!FolderCouldBeMade(path, MadeInThought(parent), reason_)) return false;
    madeInThought_.insert(FullFolderPath(path));
    return true;
  }
  if (MakeFolderOwnedAsItsParent(path)) return true;  // root's catch-up run: the hooks that follow can use it
  const int code = LastErrorCode();  // before the look below
  reason_ = EntryExists(path) ? NativeString(kNameInTheWay) : SystemErrorText(code);
  return false;
}

bool LinkEffects::LinkedElsewhere(const NativeString& linked, const NativeString& target) {
  // Under another name in its own folder: a second hook's spelling of it
  // ("westworld_-_3x10.mkv" beside "Westworld.S03E10.mkv"). Looked for only
  // in a folder this run did not make, where the name is free (a taken one
  // is NameTaken's to judge) and the file has other names.
  const NativeString folder = WithTrailingDelimiter(FolderPartOf(target));
  if (madeByRun_.count(folder) == 0 && !EntryExists(target)) {
    if (HasOtherNames(linked))
      for (FolderListing listing(folder); listing.HasEntry(); listing.Advance())
        if (!listing.Entry().isFolder && SameFile(linked, NativeString(folder).append(listing.Entry().name)))
          return true;
    // A dry run's links are in thought: there, as the run would find them.
    NativeString full = dryRun_ ? FullFolderPath(target) : NativeString();  // as the names in thought are kept
    full.erase(full.find_last_of(kDelimiter) + 1);
    // The folder's names lie together in the map's order, from its own path on.
    const auto inFolder = [&](const NativeString& path) {
      const NativeStringView head = NativeStringView(path).substr(0, full.size());
      return kNamesIgnoreCase ? CompareIgnoringCase(head, full) == 0 : head == NativeStringView(full);
    };
    for (auto at = dryRun_ ? linkedInThought_.lower_bound(full) : linkedInThought_.end();
         at != linkedInThought_.end() && inFolder(at->first); ++at)
      if (at->first.size() > full.size() && at->first.find(kDelimiter, full.size()) == NativeString::npos &&
          SameFile(linked, at->second))
        return true;
  }
  if (othersOf_.empty()) return false;
  // The show folder is the link's folder, or the one above its season's.
  const size_t nameAt = target.find_last_of(kDelimiter) + 1;
  const size_t seasonAt = nameAt < 2 ? NativeString::npos : target.find_last_of(kDelimiter, nameAt - 2);
  for (const size_t at : {nameAt, seasonAt == NativeString::npos ? nameAt : seasonAt + 1}) {
    const auto found = othersOf_.find(target.substr(0, at));
    if (found == othersOf_.end()) continue;
    for (const NativeString& other : found->second) {
      if (SameFile(linked, other + target.substr(at)) || SameFile(linked, other + target.substr(nameAt))) return true;
      for (const NativeString& season : seasons_.SeasonsOf(other))  // kept in its season's folder there
        if (SameFile(linked, other + season + kDelimiter + target.substr(nameAt))) return true;
    }
  }
  return false;
}

bool LinkEffects::QuickMove(const NativeString& source, const NativeString& target) {
  already_ = Already::No;
  copied_ = false;
  leadsTo_.clear();
  if (dryRun_ || names_.On() || !QuickPathsPass(source, target)) return false;
  if (LinkedElsewhere(source, target)) {
    already_ = Already::Linked;
    return true;
  }
  return QuickWayOnly(source, target);
}

bool LinkEffects::QuickWayOnly(const NativeString& source, const NativeString& target) {
  return MakeHardLink(source, target);
}

void LinkEffects::WouldLink(const NativeString& source, const NativeString& linked, const NativeString& target) {
  const NativeString folder = FolderPartOf(target);
  const bool madeFolder = MadeInThought(folder);
  // In the order the system asks: the file reached, the folder searched,
  // the name taken, the folder written.
  if (LookUpEntry(linked) == Lookup::Refused) throw EInOutError(SystemErrorText(LastErrorCode()));
  // A name this dry run has linked already: as the run would find it there.
  const NativeString full = FullFolderPath(target);
  if (const auto thought = linkedInThought_.find(full); thought != linkedInThought_.end()) {
    if (!SameFile(linked, thought->second)) names_.RefuseTaken(target);
    already_ = Already::Linked;
    return;
  }
  const Lookup there = madeFolder ? Lookup::Absent : LookUpEntry(target);
  if (there == Lookup::Refused) throw EInOutError(SystemErrorText(LastErrorCode()));
  if (there == Lookup::There) return NameTaken(source, linked, target);
  // A folder made in thought lies on the disk of the one it would be made in.
  NativeString existing = folder;
  while (existing.size() > 1 && MadeInThought(existing)) existing = FolderPartOf(existing.substr(0, existing.size() - 1));
  copied_ = !OnOneFileSystem(linked, existing);
  if (copied_ && !copy_) throw EInOutError(OtherDiskReason());
  if (!madeFolder && !MayChangeEntriesIn(folder)) throw EInOutError(SystemErrorText(LastErrorCode()));
  if (!copied_ && LinkWouldBeRefusedAsOthersFile(linked)) RefuseAsOthersFile();
  linkedInThought_.emplace(full, linked);
}

void LinkEffects::NameTaken(const NativeString& source, const NativeString& linked, const NativeString& target) {
  RefuseTheFileItself(source, target, TheDisk());
  // Run again, or by a second hook: the show folder holds this very file.
  if (SameFile(linked, target)) {
    already_ = Already::Linked;
    return;
  }
  // Copied by an earlier run onto the library's disk.
  if (!OnOneFileSystem(linked, FolderPartOf(target)) && CopyOfFile(target, linked)) {
    already_ = Already::Copied;
    return;
  }
  // sshfs shows each name of a file as a file of its own: said as it is.
  if (MayBeOneFile(linked, target)) {
    already_ = Already::MaybeLinked;
    return;
  }
  names_.RefuseTaken(target);
}

void LinkEffects::RefuseAsOthersFile() {
  throw EInOutError(NativeString(NATIVE("not the file's owner: the system refuses links to other users' files")));
}

// A link cannot cross disks: the line names the way that can.
NativeString LinkEffects::OtherDiskReason() {
  return SystemErrorText(kOtherDiskRefusal).append(NATIVE("; --copy copies it onto the library's disk"));
}

void LinkEffects::Move(const NativeString& source, const NativeString& placed, bool, bool) {
  already_ = Already::No;
  copied_ = false;
  leadsTo_.clear();
  Place(source, names_.InLibrary(source, placed));
}

void LinkEffects::Place(const NativeString& source, const NativeString& target) {
  // A symbolic link, relative ones above all, would lead nowhere from the
  // show folder: the file it leads to gets the new name.
  NativeString hop;
  for (int links = 0; links < 40 && LinkTargetOf(leadsTo_.empty() ? source : leadsTo_, hop); ++links) {
    // Each link on the way, as the kernel would let its folder's users follow it.
    if (!MayFollowLink(leadsTo_.empty() ? source : leadsTo_, false, reason_)) throw EInOutError(reason_);
    leadsTo_.swap(hop);
  }
  if (!leadsTo_.empty() && !FileEntryExists(leadsTo_))
    throw EInOutError(NativeString(NATIVE("a symbolic link that leads to no file")));
  const NativeString& linked = leadsTo_.empty() ? source : leadsTo_;
  // Asked first, as the quick way asks it: each download once, whichever
  // folder of its show holds it.
  if (LinkedElsewhere(linked, target)) {
    already_ = Already::Linked;
    return;
  }
  RefuseOtherRelease(linked, target);
  CheckMove(linked, target, InThought(*this), false);  // the download stays: read-only or not
  if (dryRun_) return WouldLink(source, linked, target);
  if (MakeHardLink(linked, target)) return;
  int code = LastErrorCode();
  if (IsNameClash(code)) return NameTaken(source, linked, target);
  if (code == kOtherDiskRefusal) {
    if (!copy_) throw EInOutError(OtherDiskReason());
    if ((copied_ = CopyNoReplace(linked, target))) return;
    if (IsNameClash(code = LastErrorCode())) return NameTaken(source, linked, target);
    throw EInOutError(SystemErrorText(code));
  }
  if (LinkRefusedAsOthersFile(linked, code)) RefuseAsOthersFile();
  throw EInOutError(SystemErrorText(code));
}

// A subtitle says Skipped only once it is known to follow no episode: a
// linked one has its Linked line alone.
void LinkEffects::Skipped(NativeStringView name) {
  NativeString show;
  if (std::exchange(linkSkipped_, false))
    WriteEventLine(line_, NATIVE("Skipped File: "), BelowSource(name), kOnlyFilesMoved);
  else if (IsSidecarName(name, false))
    subtitles_.push_back(base_ + NativeString(name));
  else if (MarkedAsSample(name) && !EpisodeReadingsOf(name).empty())
    WriteEventLine(line_, NATIVE("Skipped File: "), BelowSource(name), NATIVE("a sample clip"));
  else
    WriteEventLine(line_, NATIVE("Skipped File: "), BelowSource(name), WhyNoEpisode(name));
}
void LinkEffects::FolderCreated(NativeStringView folder) {
  if (InFlightRecorder* journal = dryRun_ ? nullptr : InFlight()) journal->FolderMade(folder);
  made_.emplace_back(folder);  // until something is linked into it
  showFoldersOfRun_.insert(FolderKey(made_.back()));
  madeByRun_.insert(made_.back() + kDelimiter);
  WriteEventLine(line_, dryRun_ ? NATIVE("Would Create Folder: ") : NATIVE("Created Folder: "), folder);
}
// Said on standard error too: a library's name mistyped shows at once.
void LinkEffects::LibraryCreated(NativeStringView folder) {
  WriteEventLine(line_, dryRun_ ? NATIVE("Would Create Folder: ") : NATIVE("Created Folder: "), folder);
  WriteNotice(NativeString(dryRun_ ? NATIVE("The library would be made: ") : NATIVE("The library was made: "))
                  .append(folder));
}
void LinkEffects::FolderFailed(NativeStringView folder) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder, reason_);
  TakeBackMadeFolders(folder);  // a show folder made for a season folder that could not be
}
void LinkEffects::Moved(NativeStringView source, NativeStringView target) {
  const NativeStringView placed = names_.On() ? NativeStringView(names_.Renamed()) : target;
  RememberEpisode(source.substr(0, source.size() - ExtensionOf(source).size()), placed);
  SayLinked(source, placed);
}
void LinkEffects::RememberEpisode(NativeStringView stem, NativeStringView target) {
  folder_.assign(target.substr(0, target.find_last_of(kDelimiter) + 1));
  const auto [at, added] = folderNumbers_.try_emplace(folder_, static_cast<std::uint32_t>(showFolders_.size()));
  if (added) {
    showFolders_.push_back(folder_);
    showFoldersOfRun_.insert(FolderKey(folder_));
  }
  episodes_.push_back(Episode{TextKey(stem), at->second, static_cast<std::uint32_t>(renamedStems_.size())});
  if (names_.On()) {
    const NativeStringView name = target.substr(folder_.size());
    renamedStems_.emplace_back(name.substr(0, name.size() - ExtensionOf(name).size()));
  }
}

void LinkEffects::SayLinked(NativeStringView source, NativeStringView target) {
  std::erase_if(made_, [&](const NativeString& folder) { return Holds(folder, target); });
  if (already_ == Already::Linked) return WriteEventLine(line_, NATIVE("Already Linked: "), source);
  if (already_ == Already::Copied) return WriteEventLine(line_, NATIVE("Already Copied: "), source);
  if (already_ == Already::MaybeLinked)
    return WriteEventLine(line_, NATIVE("Maybe Linked: "), source,
                          NATIVE("the show folder holds a file of that name, size and time; "
                                 "this file system cannot show whether it is this one"));
  CountOne(count_);
  InFlightRecorder* const journal = dryRun_ ? nullptr : InFlight();
  if (journal && move_) journal->Moved(source, target);
  else if (journal) journal->Linked(leadsTo_.empty() ? source : NativeStringView(leadsTo_), target, copied_);
  if (move_)
    line_.assign(dryRun_ ? NATIVE("Would Move File: ") : NATIVE("Moved File: "));
  else if (copied_)
    line_.assign(dryRun_ ? NATIVE("Would Copy File: ") : NATIVE("Copied File: "));
  else
    line_.assign(dryRun_ ? NATIVE("Would Link File: ") : NATIVE("Linked File: "));
  line_.append(source).append(NATIVE(" -> ")).append(target);
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
  WriteEventLine(line_, move_ ? NATIVE("Move File FAILED: ") : NATIVE("Link File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
}

// A folder made in thought holds what was linked into it in thought, by
// whichever spelling (a show folder reached through two links).
bool LinkEffects::EmptyInThought(const NativeString& folder) const {
  const NativeString full = FullFolderPath(folder) + kDelimiter;
  const auto first = linkedInThought_.lower_bound(full);
  return first == linkedInThought_.end() || first->first.compare(0, full.size(), full) != 0;
}

bool LinkEffects::Holds(NativeStringView folder, NativeStringView path) {
  return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == kDelimiter;
}

// A show folder made for episodes of which none could be linked is not left
// empty: taken back once the folder's sweep is done (so that each of them
// fails for its own reason, the folder still there), or at once on the way to
// a folder that could not be made.
void LinkEffects::TakeBackMadeFolders(NativeStringView onTheWayTo) {
  for (auto folder = made_.rbegin(); folder != made_.rend(); ++folder) {
    if (!onTheWayTo.empty() && !Holds(*folder, onTheWayTo)) continue;
    seasons_.TakenBack(*folder);  // while it is there to be known by
    if (dryRun_ ? EmptyInThought(*folder) && madeInThought_.erase(FullFolderPath(*folder)) > 0 : RemoveEmptyFolder(*folder))
      WriteEventLine(line_, dryRun_ ? NATIVE("Would Remove Folder: ") : NATIVE("Removed Folder: "), *folder,
                     move_ ? NATIVE("nothing could be moved into it") : NATIVE("nothing could be linked into it"));
  }
  std::erase_if(made_, [&](const NativeString& folder) { return onTheWayTo.empty() || Holds(folder, onTheWayTo); });
}
