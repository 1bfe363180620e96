// Moves and replaces that never replace an existing entry, on every file
// system, and moves across file systems that lose nothing. Ending signals
// wait while one runs: it finishes or unwinds first.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/move_across.h"
#include "platform/posix/copy_across.h"
#include "platform/posix/file_data.h"
#include "platform/posix/file_facts.h"
#include "platform/posix/learned_ways.h"
#include "platform/posix/name_ways.h"
#include "platform/posix/stored_names.h"
#include "platform/posix/writers.h"

namespace {

// Where times may hide a write, or a newer file renamed over the source may
// carry its number, size and times (FUSE, FAT): the file about to be
// removed is read once more against the copy in place, byte for byte.
bool HoldsWhatWasCopied(const char* hidden, const struct stat& start, const PathAt& placed,
                        const struct stat& copy) {
  const PathAt at(hidden);
  const int gone = openat(at.dir(), at.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (gone < 0) return false;
  bool same = true;
  if (TimesMayHideWrites(gone)) {
    const int kept = openat(placed.dir(), placed.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat keptInfo;
    same = kept >= 0 && fstat(kept, &keptInfo) == 0 && IsStill(placed, copy, keptInfo) &&
           keptInfo.st_size == start.st_size && SameContent(gone, kept, start.st_size);
    if (kept >= 0) close(kept);
  }
  close(gone);
  return same;
}

// The source goes only while it is the file that was copied, with no window:
// it is first renamed to a hidden name of its own, so that a newer file
// renamed over its name meanwhile is never the one removed, checked there,
// and removed. Otherwise it goes back under its name (or stays under the
// hidden name, should its own have been taken meanwhile).
bool RemoveCopiedSource(const NativeString& source, const NativeString& destination, const struct stat& start,
                        const PathAt& placed, const struct stat& copy, const Watch& watch, MoveSteps* steps) {
  if (steps) steps->AtStep(MoveStep::Removing, source);
  HeldFromWriters writers(source.c_str());  // until the source is gone
  struct stat now;
  if (writers.BeingWritten() || LstatAt(source.c_str(), now) != 0 || !Unchanged(start, now) ||
      watch.Seen() > 0) {
    errno = EBUSY;  // written to, still open for writing, or replaced meanwhile
    return false;
  }
  if (steps) steps->AtStep(MoveStep::Held, source);
  NativeString hidden;
  bool taken = false;
  for (int attempt = 0; attempt < 64 && !taken; ++attempt) {
    HiddenNameBeside(source, ".tvtidy-gone-", hidden);
    BeginInFlight(InFlightKind::Gone, hidden, source, destination);
    taken = writers.Do([&] { return RenameToFreshName(source.c_str(), hidden.c_str()); });
    if (!taken) SettledInFlight(hidden);
    if (!taken && errno != EEXIST) return false;
  }
  if (!taken) return false;
  // The rename sets the change time; the file, its size and content stay.
  const bool same = LstatAt(hidden.c_str(), now) == 0 && IsStill(hidden.c_str(), start, now) &&
                    watch.Seen() == 0 &&
                    (!S_ISREG(now.st_mode) || HoldsWhatWasCopied(hidden.c_str(), start, placed, copy)) &&
                    !writers.OpenerWaiting();
  if (same && writers.Do([&] { return RemoveFile(hidden); })) {
    SettledInFlight(hidden);
    return true;
  }
  ErrnoKeeper keep;
  if (!same) keep.saved = EBUSY;
  if (RenameNoReplace(hidden.c_str(), source.c_str())) SettledInFlight(hidden);
  return false;
}

// The POSIX wing of a move by copy. Every writer on this machine is watched
// from the start, whatever the file system's timestamps show (coarse on
// exFAT, cached through FUSE): a write to the source while it is copied
// means its newest bytes are not in the copy. Without a watch, the times
// and, where they may hide a write, the contents decide.
// The copy is made, named and removed in the destination's folder as it was
// opened at the start, whatever it is called by the end.
class CopyMove {
 public:
  CopyMove(const NativeString& source, const NativeString& destination)
      : source_(source), destination_(destination), watch_(source.c_str(), Watch::Writes),
        into_(FolderPartOf(destination)), placed_(into_.fd(), destination.c_str() + destination.rfind('/') + 1) {}
  bool CopyIntoPlace(MoveSteps* steps) { return CopyAcross(source_, destination_, into_, start_, copy_, steps); }
  bool RemoveSource(MoveSteps* steps) {
    return RemoveCopiedSource(source_, destination_, start_, placed_, copy_, watch_, steps);
  }
  bool RemoveCopy() { return RemoveIfStill(placed_, copy_); }

 private:
  const NativeString& source_;
  const NativeString& destination_;
  const Watch watch_;
  const OwnedFolder into_;
  const PathAt placed_;
  struct stat start_ {}, copy_ {};
};

}  // namespace

// Held from before the wing is made until it is gone: an ending event takes
// effect only once whatever the wing made is removed.
bool MoveByCopy(const NativeString& source, const NativeString& destination, MoveSteps* steps) {
  EndingSignalsHeld held;
  CopyMove move(source, destination);
  return MoveThroughCopy(move, source, destination, steps);
}

bool CopyNoReplace(const NativeString& source, const NativeString& destination) {
  EndingSignalsHeld held;
  CopyMove copy(source, destination);
  return copy.CopyIntoPlace(nullptr);
}

bool MoveFileNoReplace(const NativeString& source, const NativeString& destination,
                       MoveSteps* steps) {
  EndingSignalsHeld held;
  if (RenameNoReplace(source.c_str(), destination.c_str(), steps)) return true;
  // Another file system: a show folder linked to another disk.
  return errno == EXDEV && MoveByCopy(source, destination, steps);
}

struct QuickWay::Folders : HeldFolders {
  using HeldFolders::HeldFolders;
};
QuickWay::QuickWay() : folders_(std::make_unique<Folders>()) {}
QuickWay::QuickWay(std::size_t mostHeld) : folders_(std::make_unique<Folders>(mostHeld)) {}
QuickWay::~QuickWay() = default;
bool QuickWay::RenameNoReplaceOnly(const NativeString& source, const NativeString& destination, MoveSteps* steps) {
  return RenameByLearnedWayOnly(source, destination, *folders_, steps);
}

namespace {
// The old file of the replace under way, as it looks under its hidden name:
// it is removed only while it is still that file, untouched. It stays open
// from before it was set aside until it goes or goes back, leased but for a
// long step (a copy) while the new file arrives, so that nobody who opens it
// then waits on us.
struct {
  NativeString path;
  struct stat known;
  std::unique_ptr<HeldFromWriters> writers;
} setAside;
}  // namespace

bool SetAsideAs(const NativeString& path, const NativeString& aside, NativeString& own) {
  EndingSignalsHeld held;
  setAside.writers.reset();
  setAside.path.clear();
  auto writers = std::make_unique<HeldFromWriters>(path.c_str());  // until it goes or goes back
  if (writers->BeingWritten()) {
    errno = EBUSY;
    return false;
  }
  // The file held is the one to set aside, as its descriptor tells: should
  // another take its name first, the removal finds that one is not it.
  const bool open = writers->Open() && fstat(writers->fd(), &setAside.known) == 0;
  if (open)
    StoredNameNowOn(setAside.known.st_dev, path, own);
  else
    StoredNameNow(path, own);
  // By the name looked up, which a file system that ignores case may cache.
  if (!writers->Do([&] { return RenameToFreshName(path.c_str(), aside.c_str(), open ? &setAside.known : nullptr); }))
    return false;
  // Still leased: a program that found it by its name meanwhile and waits
  // to write is found by the removal, and the replace unwinds.
  if (open || FreshLstat(aside.c_str(), setAside.known) == 0) setAside.path = aside;
  setAside.writers = std::move(writers);
  return true;
}

void OpenAsideToOthers() {
  if (setAside.writers) setAside.writers->Pause();
}

// Let go first: a server that refuses to rename an open file (SMB) takes it
// back then.
bool PutBack(const NativeString& aside, const NativeString& own) {
  EndingSignalsHeld held;
  setAside.writers.reset();
  return RenameNoReplace(aside.c_str(), own.c_str());
}

// An old file that someone still writes (one whose writer no lease can
// show: written within the last minute) is not removed: the replace unwinds.
// It goes only while its name still holds it, as the one look shows, and
// only while that look finds it writable.
bool RemoveAside(const NativeString& aside) {
  EndingSignalsHeld held;
  std::unique_ptr<HeldFromWriters> writers;
  if (setAside.path == aside && setAside.writers) {
    writers = std::move(setAside.writers);
    writers->Resume();
  }
  if (!writers) writers = std::make_unique<HeldFromWriters>(aside.c_str());
  struct stat now;
  if (writers->BeingWritten() || writers->OpenerWaiting() ||
      (setAside.path == aside && !StillTheFile(aside.c_str(), setAside.known, &now))) {
    errno = EBUSY;
    return false;
  }
  if (setAside.path != aside) return writers->Do([&] { return RemoveFile(aside); });
  if (IsReadOnly(now)) {
    errno = EACCES;
    return false;
  }
  const PathAt at(aside);
  return writers->Do([&] { return unlinkat(at.dir(), at.name(), 0) == 0; });
}

// The source is first renamed to a hidden name of its own, so that a newer
// file renamed over its name meanwhile is never the one that goes; there it
// is checked to be a link of the target's file, which the target still holds.
OwnLinkReplace ReplaceByOwnLink(const NativeString& source, const NativeString& target, MoveSteps* steps) {
  struct stat from, to;
  // The target first: a file of one link is never the source's.
  if (LstatAt(target.c_str(), to) != 0 || to.st_nlink < 2) return OwnLinkReplace::NotOneFile;
  // One link count above one: a file system that gives each name a number of
  // its own (mergerfs, sshfs) or knows no links (FAT) never passes for one file.
  const auto oneFile = [](const struct stat& a, const struct stat& b) {
    return SameFile(a, b) && S_ISREG(a.st_mode) && a.st_nlink > 1 && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
  };
  // The show folder is left alone, but must be one this user may change:
  // the way succeeds exactly where the usual one would.
  if (LstatAt(source.c_str(), from) != 0 || !oneFile(from, to) ||
      !MayChangeEntriesIn(FolderPartOf(target)))
    return OwnLinkReplace::NotOneFile;
  EndingSignalsHeld held;
  if (steps) steps->AtStep(MoveStep::Removing, source);
  NativeString hidden;
  bool taken = false;
  for (int attempt = 0; attempt < 64 && !taken; ++attempt) {
    HiddenNameBeside(source, ".tvtidy-gone-", hidden);
    BeginInFlight(InFlightKind::Gone, hidden, source, target);
    taken = RenameToFreshName(source.c_str(), hidden.c_str());
    if (!taken) SettledInFlight(hidden);
    if (!taken && errno != EEXIST) return OwnLinkReplace::Failed;
  }
  if (!taken) return OwnLinkReplace::Failed;
  struct stat now;
  const bool same = LstatAt(hidden.c_str(), now) == 0 && oneFile(now, to) && LstatAt(target.c_str(), to) == 0 &&
                    oneFile(now, to);
  if (same) {
    const PathAt at(hidden);
    if (unlinkat(at.dir(), at.name(), 0) == 0) {
      SettledInFlight(hidden);
      return OwnLinkReplace::Done;
    }
  }
  // Another file by now, or not removable: back under its name, and the
  // replace takes its usual way.
  ErrnoKeeper keep;
  if (!RenameNoReplace(hidden.c_str(), source.c_str())) return OwnLinkReplace::Failed;
  SettledInFlight(hidden);
  return same ? OwnLinkReplace::Failed : OwnLinkReplace::NotOneFile;
}
