#include "organiser/undo.h"

#include <algorithm>

#include "episode/classifier.h"
#include "organiser/relocation.h"
#include "organiser/sweep.h"
#include "platform/errors.h"
#include "platform/file_system.h"

namespace {

bool StartsWith(NativeStringView text, NativeStringView prefix) { return text.substr(0, prefix.size()) == prefix; }

// "Moved 12 files", "Linked 0 files" (a count past 2^31 wraps below zero).
bool IsSummary(NativeStringView line) {
  for (const NativeStringView prefix : {NATIVE("Moved "), NATIVE("Linked ")}) {
    if (!StartsWith(line, prefix) || line.size() < prefix.size() + 7) continue;
    NativeStringView count = line.substr(prefix.size(), line.size() - prefix.size() - 6);
    if (line.substr(line.size() - 6) != NATIVE(" files")) continue;
    if (!count.empty() && count.front() == NATIVE('-')) count.remove_prefix(1);
    if (!count.empty() && std::all_of(count.begin(), count.end(), IsAsciiDigit<NativeChar>)) return true;
  }
  return false;
}

// Lines that say nothing was done, or that only the run's standard error
// carries (a log kept with 2>&1): nothing to take back.
constexpr NativeStringView kNothingDone[] = {
    NATIVE("Skipped File: "),      NATIVE("Skipped Folder: "),    NATIVE("Move File FAILED: "),
    NATIVE("Create Folder FAILED: "), NATIVE("Link File FAILED: "), NATIVE("List Folder FAILED: "),
    NATIVE("Already Linked: "),    NATIVE("Maybe Linked: "),      NATIVE("Removed Folder: "),
    NATIVE("Old file kept as: "),  NATIVE("Path not found: "),    NATIVE("Path not specified")};

constexpr NativeStringView kLeadsTo = NATIVE(" (the file the link leads to: ");

// Windows writes a name its code page cannot hold with "?", which no file
// name there contains: such a path cannot be found.
bool Unfindable(const NativeString& path) { return kNamesIgnoreCase && path.find(NATIVE('?')) != path.npos; }
constexpr NativeStringView kUnfindable = NATIVE("the log's code page could not hold this name: it cannot be found");

}  // namespace

bool Undo::Read(NativeStringView line) {
  static constexpr NativeStringView kMoved = NATIVE("Moved File: "), kLinked = NATIVE("Linked File: "),
                                    kCreated = NATIVE("Created Folder: ");
  if (StartsWith(line, kMoved)) {
    moved_.emplace_back(line.substr(kMoved.size()));
    return true;
  }
  if (StartsWith(line, kCreated)) {
    folders_.emplace_back(line.substr(kCreated.size()));
    return true;
  }
  if (StartsWith(line, kLinked)) {
    NativeStringView rest = line.substr(kLinked.size());
    Link link;
    const size_t leads = rest.rfind(kLeadsTo);
    if (leads != rest.npos && rest.back() == NATIVE(')')) {
      link.file = rest.substr(leads + kLeadsTo.size(), rest.size() - leads - kLeadsTo.size() - 1);
      rest = rest.substr(0, leads);
    }
    // The link ends in the source's own name: that tells " -> " in a name
    // from the one between the two paths.
    size_t arrow = rest.find(NATIVE(" -> "));
    for (size_t at = arrow; at != rest.npos; at = rest.find(NATIVE(" -> "), at + 1)) {
      const NativeStringView source = rest.substr(0, at), name = source.substr(source.find_last_of(kDelimiter) + 1);
      const NativeStringView target = rest.substr(at + 4);
      if (target.size() > name.size() && target.substr(target.size() - name.size()) == name &&
          target[target.size() - name.size() - 1] == kDelimiter) {
        arrow = at;
        break;
      }
    }
    if (arrow == rest.npos) return false;
    link.source = rest.substr(0, arrow);
    link.link = rest.substr(arrow + 4);
    links_.push_back(std::move(link));
    return true;
  }
  if (line.empty() || IsSummary(line)) return true;
  return std::any_of(std::begin(kNothingDone), std::end(kNothingDone),
                     [&](NativeStringView prefix) { return StartsWith(line, prefix); });
}

void Undo::Apply() {
  for (auto it = moved_.rbegin(); it != moved_.rend(); ++it) Restore(*it);
  for (auto it = links_.rbegin(); it != links_.rend(); ++it) RemoveLink(*it);
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveFolder(*it);
}

bool Undo::FindMoved(const NativeString& path, NativeString& moved) {
  const size_t nameAt = path.find_last_of(kDelimiter) + 1;
  const NativeString base = path.substr(0, nameAt), name = path.substr(nameAt);
  NativeString show;
  if (!ClassifyEpisodeFile(NativeStringView(name), show)) return false;
  moved.assign(base).append(show).append(1, kDelimiter).append(name);
  if (EntryExists(moved)) return true;
  if (kNamesIgnoreCase) return false;  // the file system found every spelling
  // Another spelling of the show folder, as the sweep takes one.
  auto& index = bases_[base];
  if (!index) index = std::make_unique<FolderIndex>(base, FolderIndex::FoldersOnly);
  return index->FirstVariant(show, true, [&](NativeStringView variant) {
    moved.assign(base).append(variant).append(1, kDelimiter).append(name);
    return EntryExists(moved);
  });
}

void Undo::Restore(const NativeString& path) {
  static constexpr NativeStringView kFailed = NATIVE("Restore File FAILED: ");
  if (Unfindable(path)) return Fail(kFailed, path, kUnfindable);
  NativeString moved;
  if (!FindMoved(path, moved)) {
    if (EntryExists(path)) return Say(NATIVE("Already Restored: "), path);
    return Fail(kFailed, path, NATIVE("it is no longer in its show folder"));
  }
  if (EntryExists(path)) return Fail(kFailed, path, NATIVE("a file of that name is in its place"));
  if (!dryRun_) try {
      RelocateFile(moved, path);
    } catch (const Exception& error) {
      return Fail(kFailed, path, error.Message());
    }
  takenOut_.insert(moved);
  Say(NATIVE("Restored File: "), path);
}

void Undo::RemoveLink(const Link& link) {
  static constexpr NativeStringView kFailed = NATIVE("Remove Link FAILED: ");
  if (Unfindable(link.link) || Unfindable(link.source)) return Fail(kFailed, link.link, kUnfindable);
  if (!EntryExists(link.link)) return Say(NATIVE("Already Removed: "), link.link);
  const NativeString& file = link.file.empty() ? link.source : link.file;
  // The download's own name gone: the link may be all that is left of it.
  if (!EntryExists(file)) return Fail(kFailed, link.link, NATIVE("its download is gone: this may be the file's last name"));
  if (!SameFile(file, link.link)) return Fail(kFailed, link.link, NATIVE("no longer a name of the downloaded file"));
  // One entry reached two ways (a torrent's folder replaced by a link to
  // the library, "." in a path): removing it would remove the file.
  if (!TwoNamesOfOneFile(file, link.link)) return Fail(kFailed, link.link, NATIVE("it is the file's only name here"));
  if (!dryRun_ && !RemoveFile(link.link)) return Fail(kFailed, link.link, SystemErrorText(LastErrorCode()));
  takenOut_.insert(link.link);
  Say(NATIVE("Removed Link: "), link.link);
}

bool Undo::EmptiedBy(const NativeString& folder) const {
  const NativeString inside = WithTrailingDelimiter(folder);
  FolderListing listing(inside);
  if (listing.Failure() != 0) return false;
  for (; listing.HasEntry(); listing.Advance()) {
    const NativeStringView name = listing.Entry().name;
    if (!IsSelfOrParent(name) && takenOut_.count(inside + NativeString(name)) == 0) return false;
  }
  return true;
}

void Undo::RemoveFolder(const NativeString& folder) {
  if (Unfindable(folder)) return Fail(NATIVE("Remove Folder FAILED: "), folder, kUnfindable);
  if (!FolderExists(folder)) return Say(NATIVE("Already Removed: "), folder);
  if (!EmptiedBy(folder)) return Say(NATIVE("Kept Folder: "), folder, NATIVE("it holds files the run did not put there"));
  if (!dryRun_ && !RemoveEmptyFolder(folder))
    return Fail(NATIVE("Remove Folder FAILED: "), folder, SystemErrorText(LastErrorCode()));
  takenOut_.insert(folder);
  Say(NATIVE("Removed Folder: "), folder);
}

void Undo::Say(NativeStringView prefix, NativeStringView what, NativeStringView reason) {
  WriteEventLine(line_, prefix, what, reason);
}

void Undo::Fail(NativeStringView prefix, NativeStringView what, NativeStringView reason) {
  failed_ = true;
  WriteEventLine(line_, prefix, what, reason);
}
