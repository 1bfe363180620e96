#include "undo/undo.h"

#include "core/journal.h"

#include "episode/classifier.h"
#include "episode/episode_name.h"
#include "episode/library_name.h"
#include "episode/sidecar.h"
#include "core/sweep.h"
#include "platform/console.h"
#include "platform/file_system.h"

namespace {

// Windows writes a name its code page cannot hold with "?", which no file
// name there contains: such a path cannot be found.
bool Unfindable(const NativeString& path) { return kNamesIgnoreCase && path.find(NATIVE('?')) != path.npos; }
constexpr NativeStringView kUnfindable = NATIVE("the log's code page could not hold this name: it cannot be found");
constexpr NativeStringView kLookAlike =
    NATIVE("the log's code page writes another name beside it alike: it cannot tell which one the run moved");

// "4 files", "1 folder".
void AppendCount(NativeString& text, std::int64_t count, NativeStringView one, NativeStringView many = {}) {
  const std::string digits = std::to_string(count);
  text.append(digits.begin(), digits.end()).append(1, NATIVE(' '));
  if (count == 1) text.append(one);
  else if (!many.empty()) text.append(many);
  else text.append(one).append(1, NATIVE('s'));
}

// Whether a --move line names a move its run could have made: an episode or
// a subtitle, under its own name or under the library's form of it in its
// show folder or a season folder of it. A line that names any other pair
// (a forged one in a shared log above all) moves nothing.
bool AMoveOfOurs(const NativeString& path, const NativeString& to) {
  const NativeStringView name = NativeStringView(path).substr(path.find_last_of(kDelimiter) + 1);
  const NativeStringView now = NativeStringView(to).substr(to.find_last_of(kDelimiter) + 1);
  const std::vector<EpisodeReading> readings = EpisodeReadingsOf(name);
  const bool subtitle = IsSidecarName(name, false);
  if (readings.empty() && !subtitle) return false;
  if (now == name) return true;
  if (ExtensionOf(now) != ExtensionOf(name)) return false;
  // The show folder is the one above the file, or above its season's.
  NativeStringView folders = NativeStringView(to).substr(0, to.size() - now.size());
  for (int up = 0; up < 2 && folders.size() > 1; ++up) {
    folders.remove_suffix(1);
    const NativeStringView show = folders.substr(folders.find_last_of(kDelimiter) + 1);
    if (subtitle ? now.substr(0, show.size() + 3) == NativeString(show) + NATIVE(" - ")
                 : NativeString(now) == LibraryEpisodeStem(show, readings.front()) + NativeString(ExtensionOf(name)))
      return true;
    folders.remove_suffix(show.size());
  }
  return false;
}

}  // namespace

void Undo::Apply() {
  for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
    if (it->kind == Line::Moved) Restore(*it);
    if (it->kind == Line::Linked) RemoveLink(*it);
    if (it->kind == Line::Copied) RemoveCopy(*it);
    if (it->kind == Line::Created) RemoveFolder(it->path);
  }
  // "Restored 4 files, removed 2 links and 1 folder"
  NativeString summary(dryRun_ ? NATIVE("Would restore ") : NATIVE("Restored "));
  AppendCount(summary, restored_, NATIVE("file"));
  summary.append(dryRun_ ? NATIVE(", remove ") : NATIVE(", removed "));
  AppendCount(summary, removedLinks_, NATIVE("link"));
  if (anyCopy_) AppendCount(summary.append(NATIVE(", ")), removedCopies_, NATIVE("copy"), NATIVE("copies"));
  summary.append(NATIVE(" and "));
  AppendCount(summary, removedFolders_, NATIVE("folder"));
  WriteLine(summary);
}

bool Undo::IgnoresCase(const NativeString& folder) const {
  if (kNamesIgnoreCase) return true;
  auto found = ignoresCase_.find(folder);
  if (found == ignoresCase_.end()) found = ignoresCase_.emplace(folder, NamesIgnoreCaseIn(folder)).first;
  return found->second;
}

namespace {
const NativeString& KeyOf(const NativeString& entry) { return entry; }
const NativeString& KeyOf(const std::pair<const NativeString, NativeString>& entry) { return entry.first; }

// The entry of `entries` (ordered with case ignored) that is `path` as its
// folder compares names.
template <typename Entries>
auto FindAsTheFolder(Entries& entries, const NativeString& path, bool ignoresCase) {
  const auto [first, last] = entries.equal_range(path);
  for (auto it = first; it != last; ++it)
    if (ignoresCase || KeyOf(*it) == path) return it;
  return entries.end();
}
}  // namespace

// One folder reached through two links (two show folders that are one) is
// one folder to what the undo has taken out of it.
NativeString Undo::AsTheDiskKnowsIt(const NativeString& path) const {
  const NativeStringView named = NativeStringView(path).substr(0, path.find_last_not_of(kDelimiter) + 1);
  const size_t nameAt = named.find_last_of(kDelimiter);
  if (nameAt == named.npos) return path;
  const auto [at, added] = resolved_.try_emplace(NativeString(named.substr(0, nameAt + 1)));
  NativeString canonical;
  // The folder with a name in it: its links resolved, the name kept.
  if (added) at->second = CanonicalPath(at->first + NATIVE("x"), canonical) ? canonical.substr(0, canonical.size() - 1)
                                                                            : at->first;
  return at->second + NativeString(named.substr(nameAt + 1));
}

// The name or its folder's, where the log's code page writes another beside it alike.
bool Undo::Ambiguous(const NativeString& path) {
  if (!lookAlikes_) return false;
  const NativeString folder = FolderPartOf(NativeStringView(path).substr(0, path.find_last_not_of(kDelimiter) + 1));
  return alike_.Beside(path) || (!folder.empty() && alike_.Beside(folder));
}

bool Undo::Gone(const NativeString& path) const {
  return !gone_.empty() && FindAsTheFolder(gone_, AsTheDiskKnowsIt(path), IgnoresCase(FolderPartOf(path))) != gone_.end();
}

bool Undo::There(const NativeString& path) const {
  if (Gone(path)) return false;
  return (!arrived_.empty() && FindAsTheFolder(arrived_, path, IgnoresCase(FolderPartOf(path))) != arrived_.end()) ||
         EntryExists(path);
}

bool Undo::FolderThere(const NativeString& path) const { return !Gone(path) && FolderExists(path); }

// Only a dry run's restores are made in thought: after a real one the file
// is where it went back to.
const NativeString& Undo::Before(const NativeString& path) const {
  if (!dryRun_ || arrived_.empty()) return path;
  const auto found = FindAsTheFolder(arrived_, path, IgnoresCase(FolderPartOf(path)));
  return found == arrived_.end() ? path : found->second;
}

bool Undo::FindMoved(const NativeString& path, NativeString& moved) {
  const size_t nameAt = path.find_last_of(kDelimiter) + 1;
  const NativeString base = path.substr(0, nameAt), name = path.substr(nameAt);
  NativeString show;
  if (!ClassifyEpisodeFile(NativeStringView(name), show)) return false;
  moved.assign(base).append(show).append(1, kDelimiter).append(name);
  if (There(moved)) return true;
  if (kNamesIgnoreCase) return false;  // the file system found every spelling
  // Another spelling of the show folder, as the sweep takes one: never one
  // this user cannot look into, which the run passed over too.
  auto& index = bases_[base];
  if (!index) index = std::make_unique<FolderIndex>(base, FolderIndex::FoldersOnly);
  return index->FirstVariant(show, true, [&](NativeStringView variant) {
    moved.assign(base).append(variant).append(1, kDelimiter).append(name);
    return LookUpEntry(moved) != Lookup::Refused && There(moved);
  });
}

void Undo::Restore(const Line& move) {
  static constexpr NativeStringView kFailed = NATIVE("Restore File FAILED: ");
  const NativeString& path = move.path;
  if (Unfindable(path) || Unfindable(move.to)) return Fail(kFailed, path, kUnfindable);
  if (!move.to.empty() && !AMoveOfOurs(path, move.to))
    return Fail(kFailed, path, NATIVE("no move of tvtidy-link's: the names are not an episode's and its own or the library's"));
  NativeString moved = move.to;
  if (moved.empty() ? !FindMoved(path, moved) : !There(moved)) {
    if (There(path)) return Say(NATIVE("Already Restored: "), {}, path);
    return Fail(kFailed, path, NATIVE("it is no longer in its show folder"));
  }
  if (There(path)) return Fail(kFailed, path, NATIVE("a file of that name is in its place"));
  if (Ambiguous(moved) || Ambiguous(path)) return Fail(kFailed, path, kLookAlike);
  // Both folders' entries change: asked alike by the undo and its dry run.
  for (const NativeString& folder : {FolderPartOf(moved), FolderPartOf(path)})
    if (!MayChangeEntriesIn(folder)) return Fail(kFailed, path, SystemErrorText(LastErrorCode()));
  // The entry itself, a symbolic link as the link: never through it.
  if (!dryRun_ && !MoveFileNoReplace(moved, path)) return Fail(kFailed, path, SystemErrorText(LastErrorCode()));
  if (lookAlikes_) alike_.Moved(moved, path);
  const NativeString before = Before(moved);
  if (const auto was = FindAsTheFolder(arrived_, moved, IgnoresCase(FolderPartOf(moved))); was != arrived_.end())
    arrived_.erase(was);
  arrived_.emplace(path, before);
  gone_.insert(AsTheDiskKnowsIt(moved));
  if (const auto back = FindAsTheFolder(gone_, AsTheDiskKnowsIt(path), IgnoresCase(FolderPartOf(path)));
      back != gone_.end())
    gone_.erase(back);
  ++restored_;
  Say(NATIVE("Restored File: "), NATIVE("Would Restore File: "), path);
}

void Undo::RemoveLink(const Line& link) {
  static constexpr NativeStringView kFailed = NATIVE("Remove Link FAILED: ");
  if (Unfindable(link.path) || Unfindable(link.source)) return Fail(kFailed, link.path, kUnfindable);
  if (!There(link.path)) return Say(NATIVE("Already Removed: "), {}, link.path);
  const NativeString& file = link.file.empty() ? link.source : link.file;
  if (Ambiguous(link.path) || Ambiguous(file)) return Fail(kFailed, link.path, kLookAlike);
  // The download's own name gone: the link may be all that is left of it.
  if (!There(file)) return Fail(kFailed, link.path, NATIVE("its download is gone: this may be the file's last name"));
  const NativeString& download = Before(file);
  if (!SameFile(download, link.path)) {
    // A disk that numbers each name on its own (sshfs) cannot say.
    if (MayBeOneFile(download, link.path))
      return Fail(kFailed, link.path, NATIVE("this disk cannot tell whether it is a name of the downloaded file"));
    return Fail(kFailed, link.path, NATIVE("no longer a name of the downloaded file"));
  }
  // One entry reached two ways (a torrent's folder replaced by a link to
  // the library, "." in a path): removing it would remove the file.
  if (!TwoNamesOfOneFile(download, link.path))
    return Fail(kFailed, link.path, NATIVE("it is the file's only name here"));
  // A name goes by its folder's leave, whatever the file's own bits say.
  if (!MayChangeEntriesIn(FolderPartOf(link.path)) ||
      (!dryRun_ && !RemoveSecondName(link.path, download)))
    return Fail(kFailed, link.path, SystemErrorText(LastErrorCode()));
  gone_.insert(AsTheDiskKnowsIt(link.path));
  ++removedLinks_;
  Say(NATIVE("Removed Link: "), NATIVE("Would Remove Link: "), link.path);
}

void Undo::RemoveCopy(const Line& copy) {
  static constexpr NativeStringView kFailed = NATIVE("Remove Copy FAILED: ");
  if (Unfindable(copy.path) || Unfindable(copy.source)) return Fail(kFailed, copy.path, kUnfindable);
  if (!There(copy.path)) return Say(NATIVE("Already Removed: "), {}, copy.path);
  const NativeString& file = copy.file.empty() ? copy.source : copy.file;
  if (Ambiguous(copy.path) || Ambiguous(file)) return Fail(kFailed, copy.path, kLookAlike);
  if (!There(file)) return Fail(kFailed, copy.path, NATIVE("its download is gone: this may be the only copy left"));
  if (!CopyOfFile(copy.path, Before(file)))
    return Fail(kFailed, copy.path, NATIVE("no longer of its download's size and time: it may be the only one"));
  // Size and time say nothing of a download that is the copy itself (a
  // folder link put in its place, a line naming one file twice): only
  // another file with the same bytes is proof that nothing is lost.
  if (!SameBytes(copy.path, Before(file)))
    return Fail(kFailed, copy.path, NATIVE("its download is not another file of the same bytes: it may be the only copy"));
  if (!MayChangeEntriesIn(FolderPartOf(copy.path)) || (!dryRun_ && !RemoveFile(copy.path)))
    return Fail(kFailed, copy.path, SystemErrorText(LastErrorCode()));
  gone_.insert(AsTheDiskKnowsIt(copy.path));
  ++removedCopies_;
  Say(NATIVE("Removed Copy: "), NATIVE("Would Remove Copy: "), copy.path);
}

bool Undo::EmptiedBy(const NativeString& folder) const {
  const NativeString inside = WithTrailingDelimiter(folder);
  FolderListing listing(inside);
  if (listing.Failure() != 0) return false;
  for (; listing.HasEntry(); listing.Advance()) {
    const NativeStringView name = listing.Entry().name;
    // A journal of the runs in it goes with the folder.
    if (!IsSelfOrParent(name) && !IsJournalName(name) && !Gone(inside + NativeString(name))) return false;
  }
  // What the undo put back there (in thought, not listed).
  for (const auto& [path, before] : arrived_)
    if (FolderPartOf(path).size() == inside.size() && CompareIgnoringCase(FolderPartOf(path), inside) == 0 &&
        (IgnoresCase(inside) || FolderPartOf(path) == inside) && !Gone(path))
      return false;
  return true;
}

void Undo::RemoveFolder(const NativeString& folder) {
  static constexpr NativeStringView kFailed = NATIVE("Remove Folder FAILED: ");
  if (Unfindable(folder)) return Fail(kFailed, folder, kUnfindable);
  if (!FolderThere(folder)) return Say(NATIVE("Already Removed: "), {}, folder);
  if (Ambiguous(folder)) return Fail(kFailed, folder, kLookAlike);
  if (!EmptiedBy(folder)) {
    line_.assign(NATIVE("Kept Folder: ")).append(folder).append(NATIVE(" (it holds files the run did not put there)"));
    return WriteLine(line_);
  }
  const NativeString parent = FolderPartOf(NativeStringView(folder).substr(0, folder.find_last_not_of(kDelimiter) + 1));
  if (!dryRun_)
    for (const NativeStringView journal : {kJournalName, NativeStringView(NATIVE(".tvtidy.journal.1"))})
      RemoveFile(WithTrailingDelimiter(folder).append(journal));
  if (!MayChangeEntriesIn(parent) || (!dryRun_ && !RemoveEmptyFolder(folder)))
    return Fail(kFailed, folder, SystemErrorText(LastErrorCode()));
  gone_.insert(AsTheDiskKnowsIt(folder));
  ++removedFolders_;
  Say(NATIVE("Removed Folder: "), NATIVE("Would Remove Folder: "), folder);
}

// done: the line of what was done; would: the dry run's, where it differs.
void Undo::Say(NativeStringView done, NativeStringView would, NativeStringView what) {
  WriteEventLine(line_, dryRun_ && !would.empty() ? would : done, what);
}

void Undo::Fail(NativeStringView prefix, NativeStringView what, NativeStringView reason) {
  failed_ = true;
  WriteEventLine(line_, prefix, what, reason);
}
