#include "tidy/preview.h"

#include "core/leftovers.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace {

// The run needs to add and remove entries there; the reason when it may not.
void CheckMayChange(const NativeString& folder) {
  if (!MayChangeEntriesIn(folder)) throw EInOutError(SystemErrorText(LastErrorCode()));
}

}  // namespace

bool PreviewEffects::Disk::Made(const NativeString& path) const {
  return CanonicalPath(path, full_) && made_.count(full_) > 0;
}

bool PreviewEffects::Disk::InMadeFolder(const NativeString& path) const {
  if (made_.empty()) return false;
  const size_t at = path.find_last_of(kDelimiter);
  if (at == path.npos) return false;
  // The sweep asks about one show folder many times in a row.
  if (path.compare(0, at, lastFolder_) != 0 || lastFolder_.size() != at) {
    lastFolder_.assign(path, 0, at);
    lastMade_ = Made(lastFolder_);
  }
  return lastMade_;
}

bool PreviewEffects::Disk::FolderExists(const NativeString& path) const {
  return Made(path) || ::FolderExists(path);
}

bool PreviewEffects::Disk::FileEntryExists(const NativeString& path) const {
  if (Arrival(path) != nullptr) return true;
  if (InMadeFolder(path) || !::FileEntryExists(path)) return false;
  // A link that leads through a file the run will have moved (a link
  // itself, perhaps) leads nowhere by then.
  NativeString hop = path;
  for (int links = 0; !gone_.empty() && links < 40; ++links) {
    if (!CanonicalPath(hop, full_)) break;
    if (gone_.count(full_) > 0) return false;
    if (!LinkTargetOf(full_, hop)) break;
  }
  return true;
}

void PreviewEffects::Disk::Make(const NativeString& path) {
  if (CanonicalPath(path, full_)) made_.insert(full_);
  lastFolder_.clear();
}

void PreviewEffects::Disk::Gone(const NativeString& path) {
  if (CanonicalPath(path, full_)) gone_.insert(full_);
}

const PreviewEffects::Disk::Folder* PreviewEffects::Disk::FolderOf(const NativeString& path) const {
  const size_t at = path.find_last_of(kDelimiter);
  if (at == path.npos) return nullptr;
  folderName_.assign(path, 0, at);
  name_.assign(path, at + 1);
  auto found = folders_.find(folderName_);
  if (found == folders_.end()) {
    // One the run makes resolves through its parent.
    Folder folder;
    if (!CanonicalPath(folderName_, folder.resolved)) return nullptr;
    folder.ignoresCase = NamesIgnoreCaseIn(folderName_);
    found = folders_.emplace(folderName_, std::move(folder)).first;
  }
  return &found->second;
}

PreviewEffects::Disk::Arrived* PreviewEffects::Disk::ArrivalsIn(const Folder& folder) const {
  const auto found = arrived_.find(folder.resolved);
  if (found != arrived_.end()) return &found->second;
  // The same folder named in another case, where names ignore it.
  for (auto& [resolved, names] : arrived_)
    if (CompareIgnoringCase(resolved, folder.resolved) == 0) return &names;
  return nullptr;
}

const bool* PreviewEffects::Disk::Arrival(const NativeString& path) const {
  if (arrived_.empty()) return nullptr;
  const Folder* folder = FolderOf(path);
  if (folder == nullptr) return nullptr;
  const Arrived* names = ArrivalsIn(*folder);
  if (names == nullptr) return nullptr;
  const auto found = names->find(name_);
  return found == names->end() ? nullptr : &found->second;
}

void PreviewEffects::Disk::Arrive(const NativeString& source, const NativeString& target, bool keptThere) {
  const Folder* folder = FolderOf(target);
  if (folder == nullptr || (!folder->ignoresCase && !keptThere)) return;
  Arrived* names = ArrivalsIn(*folder);
  if (names == nullptr) {
    AsTheFolder order;
    order.ignoreCase = folder->ignoresCase;
    names = &arrived_.emplace(folder->resolved, Arrived(order)).first->second;
  }
  (*names)[name_] = ::IsRemovableEntry(source);
}

// A folder the run will make holds only what arrives there: the disk is
// never asked about a path under it (on Windows under Wine, each such
// question scans the whole parent folder).
bool PreviewEffects::Disk::EntryExists(const NativeString& path) const {
  return Arrival(path) != nullptr || (!InMadeFolder(path) && ::EntryExists(path));
}

bool PreviewEffects::Disk::SameEntry(const NativeString& a, const NativeString& b) const {
  return Arrival(b) == nullptr && !InMadeFolder(b) && ::SameEntry(a, b);  // an arrival is another episode
}

bool PreviewEffects::Disk::SameFile(const NativeString& a, const NativeString& b) const {
  return Arrival(b) == nullptr && !InMadeFolder(b) && ::SameFile(a, b);
}

bool PreviewEffects::Disk::IsRemovableEntry(const NativeString& path) const {
  const bool* arrival = Arrival(path);
  return arrival != nullptr ? *arrival : !InMadeFolder(path) && ::IsRemovableEntry(path);
}

bool PreviewEffects::FolderExists(const NativeString& path) { return disk_.FolderExists(path); }

bool PreviewEffects::UsableFolder(const NativeString& path) {
  return disk_.Made(path) || (::FolderExists(path) && MayChangeEntriesIn(path));
}

bool PreviewEffects::MakeFolder(const NativeString& path) {
  if (!FolderCouldBeMade(path, disk_.Made(FolderPartOf(path)), reason_)) return false;
  disk_.Make(path);
  return true;
}

void PreviewEffects::Move(const NativeString& source, const NativeString& target, bool folderExisted, bool) {
  replacing_ = false;
  sameFile_ = false;
  if (folderExisted) {
    replacing_ = PlanReplace(source, target, disk_);
    sameFile_ = replacing_ && disk_.SameFile(source, target);
  } else {
    CheckMove(source, target, disk_);
  }
  CheckMayChange(FolderPartOf(source));
  folder_ = FolderPartOf(target);
  if (!disk_.Made(folder_)) CheckMayChange(folder_);
}

// The run finishes what a stopped run left before it sweeps: from then on
// an old file put back holds its name.
void PreviewEffects::Foresee(const RunJournal& journal) {
  for (auto at = journal.Left().rbegin(); at != journal.Left().rend(); ++at) {
    const Unfinished& item = *at;
    const LeftoverFate fate = FateOf(item);
    if (fate == LeftoverFate::PutBack) disk_.Arrive(item.path, item.of, true);
    if ((fate == LeftoverFate::PutBack || fate == LeftoverFate::Remove) && FolderPartOf(item.path) == journal.Folder())
      unlisted_.insert(item.path.substr(journal.Folder().size()));
    const NativeString notice = LeftoverNotice(item, fate, true);
    if (!notice.empty()) WriteNotice(notice);
  }
}

void PreviewEffects::Skipped(NativeStringView name) {
  warnings_.Skipped(base_, name);
  WriteEventLine(line_, NATIVE("Skipped File: "), name);
}
void PreviewEffects::FolderCreated(NativeStringView folder) {
  warnings_.Making(folder, folder.substr(folder.find_last_of(kDelimiter) + 1));
  WriteEventLine(line_, NATIVE("Would Create Folder: "), folder);
}
void PreviewEffects::FolderFailed(NativeStringView folder) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder, reason_);
}
void PreviewEffects::Moved(NativeStringView source, NativeStringView target) {
  CountOne(count_);
  warnings_.Moving(source);
  disk_.Arrive(NativeString(source), NativeString(target));
  disk_.Gone(NativeString(source));
  line_.assign(replacing_ ? NATIVE("Would Replace File: ") : NATIVE("Would Move File: "));
  line_.append(source).append(NATIVE(" -> ")).append(target);
  // tvtidy-link's own link: the replace takes away a name, never the data.
  if (replacing_ && sameFile_) line_.append(NATIVE(" (already a link of this very file)"));
  WriteLine(line_);
}
void PreviewEffects::MoveFailed(NativeStringView source, const Exception* why) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Move File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
}
