#include "core/leftovers.h"

#include "core/path_rules.h"
#include "core/relocation.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {
// A name's own limit on both builds (NAME_MAX, and NTFS's 255 units).
constexpr size_t kMostNameUnits = 255;
constexpr size_t kRandomLetters = 6;

NativeString Bytes(std::uint64_t size) {
  const std::string digits = std::to_string(size);
  return NativeString(digits.begin(), digits.end()).append(NATIVE(" bytes"));
}
}  // namespace

void AsideNameFor(const NativeString& own, NativeString& aside) {
  HiddenNameBeside(own, kAsidePrefix, aside);
  const NativeStringView name = NativeStringView(own).substr(own.find_last_of(kDelimiter) + 1);
  const size_t nameUnits = kAsidePrefix.size() + kRandomLetters + 1 + name.size();
  bool fits = !name.empty() && nameUnits <= kMostNameUnits;
#ifdef _WIN32
  fits = fits && aside.size() + 1 + name.size() < path_rules::kWindowsMaxPath;
#else
  // Near the limit a file system that walks whole paths itself (mergerfs
  // through its branches) may refuse the longer name: the short one serves.
  const std::size_t full = FullPathLength(aside);
  fits = fits && full > 0 && full + 1 + name.size() + kMostNameUnits < path_rules::kPosixMaxPath;
#endif
  if (fits) aside.append(1, NATIVE('-')).append(name);
}

LeftoverFate FateOf(const Unfinished& item) {
  FileStamp now;
  switch (item.kind) {
    case InFlightKind::Aside:
      // Known again by the size and time it had when set aside: another
      // file under that name since is none of the run's business.
      if (!StampOf(item.path, now) || (item.stamped && !(now == item.stamp))) return LeftoverFate::Forget;
      // Its replace was done but for the removal: it goes, as the run meant.
      if (item.arrived) return LeftoverFate::Remove;
      if (LookUpEntry(item.of) == Lookup::Absent) return LeftoverFate::PutBack;
      // Its name taken: by the new file, where that one has left its place
      // (or, copied there from another disk, holds its bytes); else by
      // someone else's, and the old file stays for the user.
      return !item.copy.empty() && (LookUpEntry(item.copy) == Lookup::Absent || SameBytes(item.of, item.copy))
                 ? LeftoverFate::Remove
                 : LeftoverFate::Keep;
    case InFlightKind::Copy:
      // A copy not named yet: its source still holds everything.
      if (!EntryExists(item.path)) return LeftoverFate::Forget;
      return FileEntryExists(item.of) ? LeftoverFate::Remove : LeftoverFate::Keep;
    case InFlightKind::Gone:
      // A source on its way out: gone only where its copy holds its bytes.
      if (!EntryExists(item.path)) return LeftoverFate::Forget;
      if (SameBytes(item.copy, item.path)) return LeftoverFate::Remove;
      return LookUpEntry(item.of) == Lookup::Absent ? LeftoverFate::PutBack : LeftoverFate::Keep;
    case InFlightKind::Placeholder:
      // Empty, while the file that was to come over it is still where it was.
      if (!StampOf(item.path, now) || now.size != 0) return LeftoverFate::Forget;
      return FileEntryExists(item.of) ? LeftoverFate::Remove : LeftoverFate::Forget;
  }
  return LeftoverFate::Forget;
}

NativeString LeftoverNotice(const Unfinished& item, LeftoverFate fate, bool dryRun) {
  const NativeStringView stopped = NATIVE(" by a run that was stopped");
  NativeString line;
  switch (fate) {
    case LeftoverFate::PutBack:
      if (item.kind == InFlightKind::Aside)
        line.assign(dryRun ? NATIVE("Would put back old file: ") : NATIVE("Old file put back: "));
      else
        line.assign(dryRun ? NATIVE("Would put back file: ") : NATIVE("File put back: "));
      line.append(item.of)
          .append(item.kind == InFlightKind::Aside ? NATIVE(" (set aside") : NATIVE(" (on its way onto another disk"))
          .append(stopped)
          .append(NATIVE(")"));
      break;
    case LeftoverFate::Remove:
      if (item.kind == InFlightKind::Aside)
        line.assign(dryRun ? NATIVE("Would finish replace: ") : NATIVE("Finished replace: "))
            .append(item.of)
            .append(NATIVE(" (its old file, set aside"))
            .append(stopped)
            .append(NATIVE(", goes)"));
      break;
    case LeftoverFate::Keep: {
      FileStamp now;
      StampOf(item.path, now);
      line.assign(item.kind == InFlightKind::Copy ? NATIVE("Copy kept as: ") : NATIVE("Old file kept as: "))
          .append(item.path)
          .append(NATIVE(" ("))
          .append(Bytes(now.size))
          .append(NATIVE(", left"))
          .append(stopped)
          .append(item.kind == InFlightKind::Copy ? NATIVE("; its original is gone)")
                                                  : NATIVE("; a file of its name is there)"));
      break;
    }
    case LeftoverFate::Forget:
      break;
  }
  return line;
}

void FinishWhatWasLeft(RunJournal& journal) {
  // Newest first, as an unwind goes: a placeholder made for an old file's
  // way back goes before that old file looks for its name.
  for (auto at = journal.Left().rbegin(); at != journal.Left().rend(); ++at) {
    const Unfinished& item = *at;
    LeftoverFate fate = FateOf(item);
    if (fate == LeftoverFate::PutBack && !MoveFileNoReplace(item.path, item.of)) fate = LeftoverFate::Keep;
    if (fate == LeftoverFate::Remove && !RemoveFile(item.path)) fate = LeftoverFate::Keep;
    const NativeString notice = LeftoverNotice(item, fate, false);
    if (!notice.empty()) WriteNotice(notice);
    if (fate != LeftoverFate::Keep) journal.Done(item);
  }
  journal.KeepBounded();
  journal.Flush();
}
