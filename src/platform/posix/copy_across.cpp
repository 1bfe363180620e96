#include "platform/posix/copy_across.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "platform/ending.h"
#include "platform/in_flight.h"
#include "platform/posix/file_data.h"
#include "platform/posix/file_facts.h"
#include "platform/posix/name_ways.h"
#include "platform/posix/writers.h"
#include "platform/progress.h"

namespace {

const char* NameOf(const std::string& path) { return path.c_str() + path.rfind('/') + 1; }

// The temporary file of a copy in progress, under a short hidden name that
// fits beside any name that fits, made, renamed and removed through the
// folder it was made in, whatever that folder is called meanwhile.
class Temporary {
 public:
  // The journal hears of each name before it is made: a run stopped from
  // then on leaves the next one a copy it knows to remove.
  Temporary(const std::string& destination, int folder, const std::string& source) : folder_(folder) {
    for (int attempt = 0; folder_ >= 0 && attempt < 64; ++attempt) {
      HiddenNameBeside(destination, ".tvtidy-", path_);
      BeginInFlight(InFlightKind::Copy, path_, source);
      name_ = path_.substr(path_.rfind('/') + 1);
      fd_ = openat(folder_, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ < 0) SettledInFlight(path_);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) name_.clear();
  }
  ~Temporary() { Remove(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  int fd() const { return fd_; }
  int folder() const { return folder_; }
  const char* Name() const { return name_.c_str(); }
  const char* Path() const { return path_.c_str(); }
  bool Close() {
    if (fd_ < 0) return true;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    return closed;
  }
  // It holds the destination's name now: nothing left to remove.
  void Forget() {
    name_.clear();
    SettledInFlight(path_);
  }

  // Removed once closed. Through FUSE a close returns before the file system
  // has let go of the file: an SMB server refuses to remove a file still open
  // (EBUSY) meanwhile, and rclone, still writing it out, would write it out
  // again after its removal. A short wait, a few times.
  void Remove() {
    ErrnoKeeper keep;
    if (fd_ >= 0) Close();
    if (name_.empty()) return;
    for (int attempt = 0; attempt < kLetGoAttempts; ++attempt) {
      const int fd = openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      const bool writtenOut = ListedButUnopened(fd, folder_, name_.c_str());
      if (fd >= 0) close(fd);
      if (!writtenOut && unlinkat(folder_, name_.c_str(), 0) == 0) {
        SettledInFlight(path_);
        break;
      }
      if (!writtenOut && errno != EBUSY) break;
      WaitToLetGo();
    }
    name_.clear();
  }

 private:
  int folder_;
  std::string path_, name_;
  int fd_ = -1;
};

// Refusals of an attribute that the file system does not keep at all.
bool NotKeptThere(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

// Ownership first (it clears setuid), then the mode, then the times. What the
// destination cannot hold (no owners on exFAT, no setuid, no modes through
// fusefat) is left as it can.
bool KeepAttributes(int to, const struct stat& info) {
  if (fchown(to, info.st_uid, info.st_gid) != 0) {
    // Only root may give a file away; the copy is still the user's data.
  }
  if (fchmod(to, info.st_mode & 07777) != 0 && fchmod(to, info.st_mode & 0777) != 0 &&
      !NotKeptThere(errno))
    return false;
  const timespec times[2] = {info.st_atim, info.st_mtim};
  return futimens(to, times) == 0 || (errno != EPERM && NotKeptThere(errno));
}

// A second read of the source, against the copy. A file system that reads
// back no file still open for writing (rclone without its cache: EPERM)
// gives it to read once it is closed and written out.
bool ReadsAsTheCopy(int from, Temporary& temporary, off_t size) {
  errno = 0;
  if (SameContent(from, temporary.fd(), size)) return true;
  if (errno != EPERM && errno != EBADF) return false;
  if (!temporary.Close()) return false;
  const int copy = openat(temporary.folder(), temporary.Name(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (copy < 0) return false;
  const bool same = SameContent(from, copy, size);
  close(copy);
  return same;
}

// A copy of the regular file that `from` reads, under a temporary name beside
// the destination, then moved into place without replacing anything. It fails,
// leaving nothing behind, when the source changed while it was being copied.
bool CopyIntoPlace(int from, const struct stat& start, const std::string& sourcePath,
                   const std::string& destination, const OwnedFolder& into, struct stat& copy, MoveSteps* steps) {
  Temporary temporary(destination, into.fd(), sourcePath);
  if (temporary.fd() < 0) return false;
  const int to = temporary.fd();
  CopyProgress progress(sourcePath, static_cast<std::uint64_t>(start.st_size));
  bool ok = CopyContent(from, to, start.st_size, true, &progress) && KeepAttributes(to, start) &&
            fsync(to) == 0 && fstat(to, &copy) == 0;
  if (ok && steps) steps->AtStep(MoveStep::Copied, sourcePath);
  if (ok && TimesMayHideWrites(from) && !ReadsAsTheCopy(from, temporary, start.st_size)) {
    ok = false;
    errno = EBUSY;  // written to in place, where size and times do not show it
  }
  struct stat end, named;
  if (ok && (fstat(from, &end) != 0 || !Unchanged(start, end) || LstatAt(sourcePath.c_str(), named) != 0 ||
             !Unchanged(start, named))) {
    ok = false;
    errno = EBUSY;  // written to or replaced meanwhile: its newest content is not in the copy
  }
  if (ok && LongWorkStops()) {
    ok = false;
    errno = EINTR;  // the copy never takes the name: the move unwinds
  }
  if (!temporary.Close() && ok) ok = false;
  const PathAt hidden(into.fd(), temporary.Name()), placedAt(into.fd(), NameOf(destination));
  // Named by its whole path: a placeholder on the way is recorded as made for it.
  if (!ok || !RenameNoReplaceAt(hidden, placedAt, temporary.Path(), destination.c_str())) return false;
  temporary.Forget();
  // Known from now on as it looks under its own name: where numbers follow
  // the path (mergerfs, sshfs) the temporary name's number is not its own
  // any more, and a file system may keep the times coarser than they were set.
  struct stat placed;
  if (FreshLstat(placedAt, placed) == 0 && S_ISREG(placed.st_mode) && placed.st_size == copy.st_size &&
      NumbersAgree(placedAt, copy, placed))
    copy = placed;
  if (!into.Flush()) {
    ErrnoKeeper keep;
    RemoveIfStill(placedAt, copy);
    return false;
  }
  return true;
}

bool CopyLinkIntoPlace(const char* source, const struct stat& info, const std::string& destination,
                       const OwnedFolder& into, struct stat& copy) {
  // A link's size may be 0 or stale (procfs, some FUSE file systems): a
  // buffer that comes back full is read again, larger.
  std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
  for (;;) {
    const ssize_t length = readlink(source, target.data(), target.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < target.size()) {
      target.resize(static_cast<size_t>(length));
      break;
    }
    if (target.size() > PATH_MAX) {
      errno = ENAMETOOLONG;
      return false;
    }
    target.resize(target.size() * 2);
  }
  if (symlinkat(target.c_str(), into.fd(), NameOf(destination)) != 0) return false;  // never over a name
  return fstatat(into.fd(), NameOf(destination), &copy, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool CopiableAcross(const NativeString& path) {
  struct stat info;
  if (LstatAt(path.c_str(), info) != 0 || S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) return true;
  errno = EXDEV;
  return false;
}

bool CopyAcross(const std::string& source, const std::string& destination, const OwnedFolder& into,
                struct stat& start, struct stat& copy, MoveSteps* steps) {
  if (LstatAt(source.c_str(), start) != 0) return false;
  if (into.fd() < 0) return false;  // the destination's folder cannot be reached: errno says why
  if (S_ISLNK(start.st_mode)) return CopyLinkIntoPlace(source.c_str(), start, destination, into, copy);
  if (!S_ISREG(start.st_mode)) return CopiableAcross(source);  // false, and why
  const int from = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return false;
  struct stat opened;
  bool ok = fstat(from, &opened) == 0;
  if (ok && (!Unchanged(start, opened) || MayBeWritten(from))) {
    ok = false;
    errno = EBUSY;  // still being written: not worth a copy
  }
  ok = ok && CopyIntoPlace(from, start, source, destination, into, copy, steps);
  ErrnoKeeper keep;
  close(from);
  return ok;
}
