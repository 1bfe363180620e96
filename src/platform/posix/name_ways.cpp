#include "platform/posix/name_ways.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/syscall.h>
#endif

#include "platform/posix/file_facts.h"
#include "platform/posix/held_folders.h"
#include "platform/posix/learned_ways.h"
#include "platform/posix/placeholder.h"
#include "platform/posix/writers.h"

namespace {

// Errors that answer the move itself: the name is taken, the source or the
// folder is gone, another disk, no room or no right, or a refusal that the
// file itself explains (RefusedForThisFile). Any other failure of a way
// (EINVAL, ENOSYS, ENOTSUP, EPERM, EIO from a cloud mount, ...) is that way
// refused here, and the next way is tried.
bool AnswersTheMove(int error, const char* source, bool link = false) {
  return error == EEXIST || error == ENOENT || error == ENOTDIR || error == EISDIR ||
         error == ENOTEMPTY || error == EXDEV || error == ENAMETOOLONG || error == ELOOP ||
         error == EACCES || error == EROFS || error == ENOSPC || error == EDQUOT ||
         error == EMLINK || error == EBUSY || RefusedForThisFile(source, error, link);
}

// No way to reserve the name here: the rename goes only onto a free one.
// Should a program here take it in the moment before the rename, the file
// goes back: a cloud mount still writing theirs out would write it over
// this one afterwards. Without a watch that cannot be verified, and the
// move fails.
bool RenameOntoCheckedName(const PathAt& from, const PathAt& to, const char* destination, MoveSteps* steps) {
  const std::string folder = FolderPartOf(destination);
  const Watch arrivals(folder.c_str(), Watch::Arrivals);
  if (!arrivals.Working()) return false;
  struct stat taken;
  if (fstatat(to.dir(), to.name(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;  // a look that fails (EIO, a time-out) proves nothing free
  if (steps) steps->AtStep(MoveStep::Renaming, destination);
  // Last look just before the rename: rclone with its write cache drops a
  // file that is renamed over, so the moment left is the call's own.
  const char* slash = strrchr(destination, '/');
  const char* name = slash ? slash + 1 : destination;
  if (arrivals.Seen(name) > 0) {
    errno = EEXIST;
    return false;
  }
  if (renameat(from.dir(), from.name(), to.dir(), to.name()) != 0) return false;
  if (arrivals.Seen(name) <= 1) return true;  // only this one
  if (fstatat(from.dir(), from.name(), &taken, AT_SYMLINK_NOFOLLOW) == 0 ||
      renameat(to.dir(), to.name(), from.dir(), from.name()) != 0)
    return true;  // stays moved
  errno = EEXIST;
  return false;
}

bool RenameWithFlagAt(const PathAt& from, const PathAt& to) {
#if defined(__linux__) && defined(SYS_renameat2)
  return syscall(SYS_renameat2, from.dir(), from.name(), to.dir(), to.name(), RENAME_NOREPLACE) == 0;
#else
  (void)from;
  (void)to;
  errno = EINVAL;
  return false;
#endif
}

// A new link fails on an existing name; only then is the old name removed,
// and should that fail, the new link goes again. refused: the link itself
// was refused (errno says why), so another way may serve.
bool LinkThenUnlink(const PathAt& from, const PathAt& to, bool& refused) {
  refused = linkat(from.dir(), from.name(), to.dir(), to.name(), 0) != 0;
  if (refused) return false;
  if (unlinkat(from.dir(), from.name(), 0) == 0) return true;
  ErrnoKeeper keep;
  unlinkat(to.dir(), to.name(), 0);
  return false;
}

}  // namespace

bool RenameWithFlag(const char* source, const char* destination) {
  const PathAt from(source), to(destination);
  return RenameWithFlagAt(from, to);
}

bool RenameNoReplace(const char* source, const char* destination, MoveSteps* steps) {
  const PathAt from(source), to(destination);
  return RenameNoReplaceAt(from, to, source, destination, steps);
}

bool RenameNoReplaceAt(const PathAt& from, const PathAt& to, const char* source, const char* destination,
                       MoveSteps* steps) {
  struct stat info;
  dev_t device = 0;
  bool deviceKnown = false;
  const auto findDevice = [&] {
    if (!deviceKnown && fstatat(from.dir(), from.name(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      device = info.st_dev;
      deviceKnown = true;
    }
    return deviceKnown;
  };
  Way way = Way::RenameFlag;
  if (AnyWayLearned() && findDevice()) way = WayFor(device);

  if (way == Way::RenameFlag) {
    if (RenameWithFlagAt(from, to)) return true;
    if (AnswersTheMove(errno, source) || !findDevice()) return false;
    Learn(device, way = Way::Link);
  }
  if (way == Way::Link) {
    bool refused = false;
    if (LinkThenUnlink(from, to, refused)) return true;
    if (!refused) return false;
    // Across disks (or branches of a pool) no way could take the name: the
    // move is a copy, and no placeholder is made on the other disk.
    if (errno == EXDEV) return false;
    if (errno != EMLINK && AnswersTheMove(errno, source, true)) return false;
    if (errno != EMLINK && findDevice())
      Learn(device, way = IsCloudMount(device) ? Way::CheckedRename : Way::Placeholder);
  }
  if (way == Way::CheckedRename) return RenameOntoCheckedName(from, to, destination, steps);
  return RenameOverPlaceholder(source, destination, from, to, steps, way != Way::ClosedPlaceholder);
}

bool RenameToFreshName(const char* source, const char* fresh, const struct stat* known) {
  const PathAt from(source), to(fresh);
  // Until a device refuses the flag, every device takes it: no look first.
  if (!AnyWayLearned() && RenameWithFlag(source, fresh)) return true;
  if (!AnyWayLearned() && AnswersTheMove(errno, source)) return false;
  struct stat info;
  if (known)
    info.st_dev = known->st_dev;
  else if (fstatat(from.dir(), from.name(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (WayFor(info.st_dev) == Way::RenameFlag) {
    if (RenameWithFlag(source, fresh)) return true;
    if (AnswersTheMove(errno, source)) return false;
    Learn(info.st_dev, Way::Link);  // the flag refused here; the move learns the rest
  }
  if (fstatat(to.dir(), to.name(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return renameat(from.dir(), from.name(), to.dir(), to.name()) == 0;
}

bool RenameByLearnedWayOnly(const std::string& source, const std::string& destination, HeldFolders& folders,
                            MoveSteps* steps) {
  const size_t sourceName = source.rfind('/') + 1, destinationName = destination.rfind('/') + 1;
  if (sourceName == 0 || destinationName == 0) return false;
  const std::string_view sourceFolder(source.data(), sourceName);
  const std::string_view destinationFolder(destination.data(), destinationName);
  // Both held until the move is done: neither can be closed, and so neither
  // number handed on, while the other is opened.
  const HeldFolders::Held from = folders.Of(sourceFolder);
  if (!from) return false;
  const HeldFolders::Held to = folders.Of(destinationFolder);
  if (!to) return false;
  if (from.device() != to.device()) {
    errno = EXDEV;
    return false;
  }
  const char* name = source.c_str() + sourceName;
  const char* newName = destination.c_str() + destinationName;
  // One entry under both names (a show folder that leads back): a rename
  // onto itself succeeds and moves nothing. The full way says why it fails.
  if (from.SameFolderAs(to) && strcmp(name, newName) == 0) {
    folders.LetGoOf(sourceFolder);
    folders.LetGoOf(destinationFolder);
    errno = EINVAL;
    return false;
  }
  const PathAt fromAt(from.fd(), name), toAt(to.fd(), newName);
  bool moved = false, refused = false;
  switch (WayFor(from.device())) {
    case Way::RenameFlag:
      moved = RenameWithFlagAt(fromAt, toAt);
      break;
    case Way::Link:
      moved = LinkThenUnlink(fromAt, toAt, refused);
      break;
    case Way::Placeholder:
    case Way::ClosedPlaceholder:
      moved = RenameOverPlaceholder(source.c_str(), destination.c_str(), fromAt, toAt, steps,
                                    WayFor(from.device()) == Way::Placeholder);
      break;
    case Way::CheckedRename:
      return false;
  }
  // Refused: either folder may be another by now; the full way looks by path.
  if (!moved && errno != EEXIST) {
    folders.LetGoOf(sourceFolder);
    folders.LetGoOf(destinationFolder);
  }
  return moved;
}
