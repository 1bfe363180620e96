// Moves that never replace an existing entry, on every file system, and
// copies across file systems that lose nothing.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#endif

#include <string>

#include "platform/file_system.h"

namespace {

// Keeps errno across clean-up calls, so the caller reports the first failure.
struct ErrnoKeeper {
  int saved = errno;
  ~ErrnoKeeper() { errno = saved; }
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same file with the same content as far as the system tells: a writer,
// a truncation or a replacement between the two looks changes one of these.
bool Unchanged(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// lstat as the file system has it now, not as cached: through FUSE the
// kernel keeps a file's size and times for a while (smbnetfs), and a write
// on the server's side meanwhile would not show.
int FreshLstat(const char* path, struct stat& info) {
#if defined(__linux__) && defined(STATX_BASIC_STATS)
  struct statx now;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &now) != 0)
    return lstat(path, &info);  // a kernel without statx
  info = {};
  info.st_dev = makedev(now.stx_dev_major, now.stx_dev_minor);
  info.st_ino = now.stx_ino;
  info.st_mode = now.stx_mode;
  info.st_nlink = now.stx_nlink;
  info.st_size = static_cast<off_t>(now.stx_size);
  info.st_mtim = {now.stx_mtime.tv_sec, now.stx_mtime.tv_nsec};
  info.st_ctim = {now.stx_ctime.tv_sec, now.stx_ctime.tv_nsec};
  return 0;
#else
  return lstat(path, &info);
#endif
}

// Removes the entry only while it is still the given file.
void RemoveIfStill(const char* path, const struct stat& mine) {
  struct stat now;
  if (lstat(path, &now) == 0 && SameFile(now, mine)) unlink(path);
}

// ---------------------------------------------------------------------------
// How a file system lets a file change its name without replacing anything.
// FUSE file systems (exFAT, NTFS through ntfs-3g, mergerfs) refuse the rename
// flag, and exFAT refuses links too.
enum class Way { RenameFlag, Link, Placeholder, ClosedPlaceholder, CheckedRename };

// What each device has refused, for this run: a large folder on exFAT pays
// the refused calls once, not per file. Fixed room, no allocation.
struct LearnedWay {
  dev_t device;
  Way way;
};
LearnedWay learned[16];
std::size_t learnedCount = 0;

Way WayFor(dev_t device) {
  for (std::size_t i = 0; i < learnedCount; ++i)
    if (learned[i].device == device) return learned[i].way;
  return Way::RenameFlag;
}

void Learn(dev_t device, Way way) {
  for (std::size_t i = 0; i < learnedCount; ++i)
    if (learned[i].device == device) {
      learned[i].way = way;
      return;
    }
  if (learnedCount < sizeof learned / sizeof learned[0]) learned[learnedCount++] = {device, way};
}

// The kernel's no-replace rename; false with EINVAL where there is none.
bool RenameWithFlag(const char* source, const char* destination) {
#if defined(__linux__) && defined(SYS_renameat2)
  return syscall(SYS_renameat2, AT_FDCWD, source, AT_FDCWD, destination, RENAME_NOREPLACE) == 0;
#else
  (void)source;
  (void)destination;
  errno = EINVAL;
  return false;
#endif
}

// Errors that answer the move itself: the name is taken, the source or the
// folder is gone, another disk, no room or no right. Any other failure of a
// way (EINVAL, ENOSYS, ENOTSUP, EPERM, EIO from a cloud mount, ...) is that
// way refused here, and the next way is tried.
bool AnswersTheMove(int error) {
  return error == EEXIST || error == ENOENT || error == ENOTDIR || error == EISDIR ||
         error == ENOTEMPTY || error == EXDEV || error == ENAMETOOLONG || error == ELOOP ||
         error == EACCES || error == EROFS || error == ENOSPC || error == EDQUOT ||
         error == EMLINK || error == EBUSY;
}


bool CopyRange(int from, int to, off_t start, off_t end);

// How long to wait, and how often, for another program (or a FUSE file
// system behind its close) to let go of a file: 100 times 20 ms. Only an
// async-signal-safe call: the signal handler waits this way too.
constexpr int kLetGoAttempts = 100;
void WaitToLetGo() {
  const struct timespec wait = {0, 20 * 1000 * 1000};
  nanosleep(&wait, nullptr);
}

// A lease's holder is told of an opener by SIGIO, whose default would end the
// run: the opener waits until the lease is given up, which is what we want.
void IgnoreLeaseBreaks() {
#ifdef __linux__
  static const bool ignored = signal(SIGIO, SIG_IGN) != SIG_ERR;
  (void)ignored;
#endif
}

// Saves the bytes a writer put into a placeholder after its last check, read
// back through the placeholder's own descriptor: under `name` while it is
// free, else under a hidden name beside it.
void KeepWrittenBytes(int fd, const struct stat& written, const char* name) {
  std::string keep = name;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const int to = open(keep.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        written.st_mode & 0777);
    if (to >= 0) {
      if (!CopyRange(fd, to, 0, written.st_size)) {
        // What could be read is kept: the writer's file is never removed.
      }
      fsync(to);
      close(to);
      return;
    }
    if (errno != EEXIST) return;
    HiddenNameBeside(name, ".tvtidy-written-", keep);
  }
}

// Reserves the name with an empty file of our own (exFAT, FAT, SMB: no
// rename flag, no links), then renames over it once it is checked, on its
// path and on its descriptor, to be still ours and empty. The only rename(2)
// that may replace, and it replaces nothing but the placeholder. Another
// program that opens the name without O_EXCL meanwhile (a shell redirect, a
// downloader) writes into the placeholder: a file with anything in it is
// never renamed over nor removed. Bytes written between the last check and
// the rename are still there through the descriptor kept open: the episode
// goes back, and the writer's bytes take the name as though the writer had
// come first. SMB refuses to rename over an open file: there the placeholder
// is closed before the rename, and one that is open elsewhere stays unreplaced.
bool RenameOverPlaceholder(const char* source, const char* destination, MoveSteps* steps,
                           bool keepOpen, bool mayGoBack = true) {
  EndingSignalsHeld held;  // a signal never ends the run with the placeholder or its bytes out
  int fd = open(destination, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;  // EEXIST: the name is taken
  struct stat mine {}, now {}, through {};
  const bool known = fstat(fd, &mine) == 0;
  const auto closeIt = [&] {
    const bool closed = fd < 0 || close(fd) == 0;
    fd = -1;
    return closed;
  };
  if (!keepOpen && !closeIt()) return false;
  if (steps) steps->AtStep(MoveStep::Reserved, destination);
  bool leased = false;
  const auto stillOurs = [&] {
    return FreshLstat(destination, now) == 0 && SameFile(now, mine) && S_ISREG(now.st_mode) &&
           now.st_size == 0 &&
           (fd < 0 || (fstat(fd, &through) == 0 && through.st_size == 0 &&
                       through.st_mtim.tv_sec == mine.st_mtim.tv_sec &&
                       through.st_mtim.tv_nsec == mine.st_mtim.tv_nsec)) &&
#ifdef __linux__
           (fd < 0 || !leased || fcntl(fd, F_GETLEASE) == F_WRLCK) &&
#endif
           true;
  };
  // A write lease, while ours alone holds it open: anyone who opens the name
  // from then on (and might write after the rename, into a file gone) waits,
  // and shows as a lease no longer whole. Closing the placeholder ends it.
  // Refused while another program has already opened it (between the create
  // and the lease): that one may write at any moment, even after the last
  // check, into a file that fusefat frees at the rename. The name is ours
  // again only once it lets go with nothing written; held on, it is left to it.
#ifdef __linux__
  IgnoreLeaseBreaks();
  for (int attempt = 0; fd >= 0 && known; ++attempt) {
    leased = fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    if (leased || errno != EAGAIN) break;  // or no leases here: the other checks stand
    if (attempt == kLetGoAttempts || !stillOurs()) {
      closeIt();
      errno = EEXIST;
      return false;
    }
    WaitToLetGo();
  }
#endif
  if (!known || !stillOurs()) {
    closeIt();
    errno = EEXIST;  // someone else's file now holds the name, or writes into it: leave it
    return false;
  }
  if (steps) steps->AtStep(MoveStep::Renaming, destination);
  bool renamed = rename(source, destination) == 0;
  if (!renamed && errno == EBUSY && fd >= 0) {
    Learn(mine.st_dev, Way::ClosedPlaceholder);
    if (closeIt() && stillOurs()) {
      renamed = rename(source, destination) == 0;
    } else {
      errno = EEXIST;
    }
  }
  if (!renamed) {
    ErrnoKeeper keep;
    const bool ours = stillOurs();
    if (closeIt() && ours) unlink(destination);
    return false;
  }
  if (fd < 0 || fstat(fd, &through) != 0 || through.st_size == 0) {
    closeIt();
    return true;
  }
  const bool back = mayGoBack && RenameOverPlaceholder(destination, source, nullptr, true, false);
  KeepWrittenBytes(fd, through, destination);
  closeIt();
  if (!back) return true;  // the episode stays moved; the bytes wait under a hidden name
  errno = EEXIST;
  return false;
}

// A cloud mount (rclone) that is still writing a file out lists it but opens
// it to no one yet: `fd` is what an open of `path` for reading gave.
// Async-signal-safe.
bool ListedButUnopened(int fd, const char* path) {
  struct stat listed;
  return fd < 0 && errno == ENOENT && lstat(path, &listed) == 0;
}

// rclone mounts: a rename onto a file it has just created and is still
// writing out fails with EIO after taking the source away, so a placeholder
// there loses the episode. Found by the mount's type, once per device.
bool IsCloudMount(dev_t device) {
  const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string table;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) table.append(buffer, static_cast<size_t>(got));
  close(fd);
  // Each line: id parent major:minor root mount-point options ... - type source ...
  const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (size_t start = 0, end; start < table.size(); start = end + 1) {
    end = table.find('\n', start);
    if (end == table.npos) end = table.size();
    const std::string line = table.substr(start, end - start);
    const size_t field = line.find(' ', line.find(' ') + 1) + 1;
    if (line.compare(field, number.size() + 1, number + " ") != 0) continue;
    const size_t type = line.find(" - ");
    return type != line.npos && line.compare(type + 3, 12, "fuse.rclone ") == 0;
  }
  return false;
}

// What any program on this machine does to a file, or in a folder, through
// FUSE mounts too, as inotify sees it: writes to a file, or names arriving
// in a folder (created, or moved there).
class Watch {
 public:
  enum Kind { Writes, Arrivals };
  Watch(const char* path, Kind kind) {
#ifdef __linux__
    mask_ = kind == Writes ? IN_MODIFY | IN_CLOSE_WRITE : IN_CREATE | IN_MOVED_TO;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && inotify_add_watch(fd_, path, mask_ | (kind == Writes ? IN_DONT_FOLLOW : IN_ONLYDIR)) < 0) {
      close(fd_);
      fd_ = -1;
    }
#else
    (void)path;
    (void)kind;
#endif
  }
  ~Watch() {
    if (fd_ >= 0) close(fd_);
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  // Events since the last look; in a folder, those on `name` alone. The end
  // of the watch (IN_IGNORED, as when a FUSE file system forgets the inode
  // on a rename) is none of them.
  int Seen(const char* name = nullptr) const {
    int seen = 0;
#ifdef __linux__
    alignas(inotify_event) char events[4096];
    for (ssize_t got; fd_ >= 0 && (got = read(fd_, events, sizeof events)) > 0;)
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        seen += (event->mask & mask_) && (!name || (event->len > 0 && strcmp(event->name, name) == 0));
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
#else
    (void)name;
#endif
    return seen;
  }

 private:
  int fd_ = -1;
  uint32_t mask_ = 0;
};

bool RenameNoReplace(const char* source, const char* destination, MoveSteps* steps = nullptr) {
  struct stat info;
  dev_t device = 0;
  bool deviceKnown = false;
  const auto findDevice = [&] {
    if (!deviceKnown && lstat(source, &info) == 0) {
      device = info.st_dev;
      deviceKnown = true;
    }
    return deviceKnown;
  };
  Way way = Way::RenameFlag;
  if (learnedCount > 0 && findDevice()) way = WayFor(device);

  if (way == Way::RenameFlag) {
    if (RenameWithFlag(source, destination)) return true;
    if (AnswersTheMove(errno) || !findDevice()) return false;
    Learn(device, way = Way::Link);
  }
  if (way == Way::Link) {
    // A new link fails on an existing name; only then is the old name removed.
    if (link(source, destination) == 0) {
      if (unlink(source) == 0) return true;
      ErrnoKeeper keep;
      unlink(destination);
      return false;
    }
    // A link across disks says nothing of this disk: the last way answers.
    if (errno != EXDEV && errno != EMLINK && AnswersTheMove(errno)) return false;
    if (errno != EXDEV && errno != EMLINK && findDevice())
      Learn(device, way = IsCloudMount(device) ? Way::CheckedRename : Way::Placeholder);
  }
  if (way == Way::CheckedRename) {
    // No way to reserve the name here: the rename goes only onto a free one.
    // Should a program here take it in the moment before the rename, the
    // file goes back: a cloud mount still writing theirs out would write it
    // over this one afterwards.
    // No allocation: a signal handler puts a set-aside file back this way.
    char folder[PATH_MAX + 32] = ".";
    const char* slash = strrchr(destination, '/');
    if (slash && static_cast<size_t>(slash + 1 - destination) < sizeof folder) {
      memcpy(folder, destination, static_cast<size_t>(slash + 1 - destination));
      folder[slash + 1 - destination] = '\0';
    }
    const Watch arrivals(folder, Watch::Arrivals);
    struct stat taken;
    if (lstat(destination, &taken) == 0) {
      errno = EEXIST;
      return false;
    }
    if (steps) steps->AtStep(MoveStep::Renaming, destination);
    // Last look just before the rename: rclone with its write cache drops a
    // file that is renamed over, so the moment left is the call's own.
    const char* name = slash ? slash + 1 : destination;
    if (arrivals.Seen(name) > 0) {
      errno = EEXIST;
      return false;
    }
    if (rename(source, destination) != 0) return false;
    if (arrivals.Seen(name) <= 1) return true;  // only this one
    if (lstat(source, &taken) == 0 || rename(destination, source) != 0) return true;  // stays moved
    errno = EEXIST;
    return false;
  }
  return RenameOverPlaceholder(source, destination, steps, way != Way::ClosedPlaceholder);
}

// ---------------------------------------------------------------------------
// The temporary file of a copy in progress, removed by SIGINT, SIGTERM and
// SIGHUP before the process ends as the signal would end it.
char temporaryPath[PATH_MAX + 32];
volatile sig_atomic_t temporaryFd = -1;
volatile sig_atomic_t temporaryActive = 0;
// An old file set aside for the replace in progress, and its own name: a
// signal puts it back by a move that never replaces whatever took the name.
char asidePath[PATH_MAX + 32], asideOwnPath[PATH_MAX + 32];
volatile sig_atomic_t asideActive = 0;

// Removes the temporary file once closed. Through FUSE a close returns
// before the file system has let go of the file: an SMB server refuses to
// remove a file still open (EBUSY) meanwhile, and rclone, still writing it
// out, would write it out again after its removal. A short wait, a few
// times. Only async-signal-safe calls: the signal handler uses it.
void RemoveClosedTemporary() {
  for (int attempt = 0; attempt < kLetGoAttempts; ++attempt) {
    const int fd = open(temporaryPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool writtenOut = ListedButUnopened(fd, temporaryPath);
    if (fd >= 0) close(fd);
    if (!writtenOut && (unlink(temporaryPath) == 0 || errno != EBUSY)) return;
    WaitToLetGo();
  }
}

void RemoveTemporaryAndDie(int signalNumber) {
  if (temporaryActive) {
    close(temporaryFd);  // some servers refuse to remove a file still open
    RemoveClosedTemporary();
  }
  if (asideActive) RenameNoReplace(asidePath, asideOwnPath);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);  // delivered when this handler returns
}

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void InstallSignalCleanUp() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int number : kEndingSignals) {
    struct sigaction current {};
    sigaction(number, nullptr, &current);
    if (current.sa_handler == SIG_IGN) continue;  // started with it ignored: keep it so
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
  }
}

// Held signals nest: the mask from before the outermost hold comes back.
int holdDepth = 0;
sigset_t maskBeforeHold;

// A copy's content is long: while it runs, a held signal may end the process
// (its handler cleans up), as it may outside any replace.
struct OpenToEndingSignals {
  OpenToEndingSignals() {
    if (holdDepth > 0) sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
  }
  ~OpenToEndingSignals() {
    if (holdDepth == 0) return;
    sigset_t held = maskBeforeHold;
    for (const int number : kEndingSignals) sigaddset(&held, number);
    sigprocmask(SIG_SETMASK, &held, nullptr);
  }
};

// A short hidden name beside the destination: it fits beside a 255-byte name.
int CreateTemporaryBeside(const std::string& destination) {
  const std::string folder = FolderPartOf(destination);
  if (folder.size() + 16 >= sizeof temporaryPath) {
    errno = ENAMETOOLONG;
    return -1;
  }
  InstallSignalCleanUp();
  EndingSignalsHeld held;
  memcpy(temporaryPath, folder.data(), folder.size());
  memcpy(temporaryPath + folder.size(), ".tvtidy-XXXXXX", 15);
  const int fd = mkostemp(temporaryPath, O_CLOEXEC);
  if (fd >= 0) {
    temporaryFd = fd;
    temporaryActive = 1;
  }
  return fd;
}

void ForgetTemporary() { temporaryActive = 0; }

bool CopyIntoBuffer(char* buffer, std::size_t size, const NativeString& path) {
  if (path.size() >= size) return false;
  memcpy(buffer, path.c_str(), path.size() + 1);
  return true;
}

void RemoveTemporary() {
  ErrnoKeeper keep;
  EndingSignalsHeld held;
  RemoveClosedTemporary();
  temporaryActive = 0;
}

// ---------------------------------------------------------------------------
// The new name on disk before the old one goes. File systems that cannot
// flush a folder (EINVAL) keep their names in order by themselves.
bool FlushFolderOf(const std::string& path) {
  const int fd = open(FolderPartOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  ErrnoKeeper keep;
  close(fd);
  return flushed;
}

bool copyRangeRefused = false;  // between these file systems: by hand from then on

bool CopyRange(int from, int to, off_t start, off_t end) {
#ifdef __linux__
  while (!copyRangeRefused && start < end) {
    loff_t in = start, out = start;
    const ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<size_t>(end - start), 0);
    if (copied > 0) {
      start += copied;
      continue;
    }
    if (copied == 0) break;  // some file systems stop short: the rest by hand
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    copyRangeRefused = true;
  }
#endif
  static char buffer[1 << 16];
  while (start < end) {
    const size_t want = static_cast<size_t>(end - start) < sizeof buffer
                            ? static_cast<size_t>(end - start) : sizeof buffer;
    const ssize_t got = pread(from, buffer, want, start);
    if (got == 0) {
      errno = EBUSY;  // the file shrank: the copy would end in zeros
      return false;
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A block of zeros is left as a hole, for sources whose holes cannot be
    // asked (through FUSE): the final length fills it in either way.
    const bool zeros = buffer[0] == 0 && memcmp(buffer, buffer + 1, static_cast<size_t>(got - 1)) == 0;
    for (ssize_t done = zeros ? got : 0; done < got;) {
      const ssize_t put = pwrite(to, buffer + done, static_cast<size_t>(got - done), start + done);
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
    start += got;
  }
  return true;
}

// Copies the data regions only, so that a sparse file stays sparse.
bool CopyContent(int from, int to, off_t size) {
  OpenToEndingSignals open;
  for (off_t position = 0; position < size;) {
    off_t data = lseek(from, position, SEEK_DATA);
    off_t hole = size;
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole up to the end
      if (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP) return false;
      data = position;  // holes not told: copy everything
    } else {
      hole = lseek(from, data, SEEK_HOLE);
      if (hole < 0 || hole > size) hole = size;
    }
    if (data >= size) break;
    if (!CopyRange(from, to, data, hole)) return false;
    position = hole;
  }
  // The length, where a hole ends the file (fusefat refuses any truncation).
  struct stat copied;
  return (fstat(to, &copied) == 0 && copied.st_size == size) || ftruncate(to, size) == 0;
}

// Through FUSE (times cached, or as the server keeps them) and on FAT and
// exFAT (a clock of seconds), a writer filling a file in place, as torrent
// clients do, may leave size and times as they were.
bool TimesMayHideWrites(int fd) {
#ifdef __linux__
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return true;
  return system.f_type == 0x65735546 /* FUSE */ || system.f_type == 0x2011BAB0 /* exFAT */ ||
         system.f_type == 0x4d44 /* FAT */;
#else
  (void)fd;
  return true;
#endif
}

// A second read of the source, against the copy, byte for byte.
bool SameContent(int source, int copy, off_t size) {
  static char mine[1 << 16], theirs[1 << 16];
  for (off_t at = 0; at < size;) {
    const ssize_t got = pread(source, mine, sizeof mine, at);
    if (got <= 0) return false;
    for (ssize_t done = 0; done < got;) {
      const ssize_t read = pread(copy, theirs + done, static_cast<size_t>(got - done), at + done);
      if (read <= 0) return false;
      done += read;
    }
    if (memcmp(mine, theirs, static_cast<size_t>(got)) != 0) return false;
    at += got;
  }
  return true;
}

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

// A copy of the regular file that `from` reads, under a temporary name beside
// the destination, then moved into place without replacing anything. It fails,
// leaving nothing behind, when the source changed while it was being copied.
bool CopyIntoPlace(int from, const struct stat& start, const std::string& sourcePath,
                   const std::string& destination, struct stat& copy, MoveSteps* steps) {
  const int to = CreateTemporaryBeside(destination);
  if (to < 0) return false;
  bool ok = CopyContent(from, to, start.st_size) && KeepAttributes(to, start) && fsync(to) == 0 &&
            fstat(to, &copy) == 0;
  if (ok && steps) steps->AtStep(MoveStep::Copied, sourcePath);
  if (ok && TimesMayHideWrites(from) && !SameContent(from, to, start.st_size)) {
    ok = false;
    errno = EBUSY;  // written to in place, where size and times do not show it
  }
  struct stat end, named;
  if (ok && (fstat(from, &end) != 0 || !Unchanged(start, end) || lstat(sourcePath.c_str(), &named) != 0 ||
             !Unchanged(start, named))) {
    ok = false;
    errno = EBUSY;  // written to or replaced meanwhile: its newest content is not in the copy
  }
  if (close(to) != 0 && ok) ok = false;
  if (!ok || !RenameNoReplace(temporaryPath, destination.c_str())) {
    RemoveTemporary();
    return false;
  }
  ForgetTemporary();
  if (!FlushFolderOf(destination)) {
    ErrnoKeeper keep;
    RemoveIfStill(destination.c_str(), copy);
    return false;
  }
  return true;
}

bool CopyLinkIntoPlace(const char* source, const struct stat& info,
                       const std::string& destination, struct stat& copy) {
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
  if (symlink(target.c_str(), destination.c_str()) != 0) return false;  // never over a name
  return lstat(destination.c_str(), &copy) == 0;
}

// A read lease on an open file: refused (EAGAIN) while any process holds the
// file open for writing, as a download still running does; once held, a new
// open for writing waits until it is given up. Where no lease is given (a
// file of another owner, NFS) it is neither: the other checks still stand.
class ReadLease {
 public:
  explicit ReadLease(int fd) : fd_(fd) {
#ifdef __linux__
    IgnoreLeaseBreaks();
    held_ = fcntl(fd_, F_SETLEASE, F_RDLCK) == 0;
    openForWriting_ = !held_ && errno == EAGAIN;
#endif
  }
  ~ReadLease() { GiveUp(); }
  bool OpenForWritingElsewhere() const { return openForWriting_; }
  void GiveUp() {
#ifdef __linux__
    if (held_) fcntl(fd_, F_SETLEASE, F_UNLCK);
#endif
    held_ = false;
  }

 private:
  int fd_;
  bool held_ = false, openForWriting_ = false;
};

// A file held from writers while it is moved or removed: opened for reading
// and leased, so that no writer can open it meanwhile. One still being
// written is left alone, as Windows leaves a file open without delete
// sharing: its writer's later bytes would go into a removed file, and a
// cloud mount (rclone) that is still writing one out writes it under its
// old name afterwards, over whatever took that name.
class HeldFromWriters {
 public:
  explicit HeldFromWriters(const char* path)
      : file_{open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)},
        writtenOut_(ListedButUnopened(file_.fd, path)),
        lease_(file_.fd) {}
  bool BeingWritten() const { return writtenOut_ || lease_.OpenForWritingElsewhere(); }
  // A server that refuses to rename or remove a file open anywhere (SMB)
  // refuses it while held: then once more, after letting go (the checks made
  // stand; only there is the moment after them open again).
  template <typename Step>
  bool Do(Step step) {
    if (step()) return true;
    if (errno != EBUSY || file_.fd < 0) return false;
    lease_.GiveUp();
    close(file_.fd);
    file_.fd = -1;
    return step();
  }

 private:
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) close(fd);
    }
  } file_;  // closed after the lease is given up
  bool writtenOut_;
  ReadLease lease_;
};

// The copy half of a move across file systems: the source's state at the
// start is in `start`, the copy's identity in `copy`.
bool CopyAcross(const std::string& source, const std::string& destination, struct stat& start,
                struct stat& copy, MoveSteps* steps) {
  if (lstat(source.c_str(), &start) != 0) return false;
  if (S_ISLNK(start.st_mode)) return CopyLinkIntoPlace(source.c_str(), start, destination, copy);
  if (!S_ISREG(start.st_mode)) {
    errno = EXDEV;  // a FIFO or a device stays where it is
    return false;
  }
  const int from = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return false;
  struct stat opened;
  bool ok = fstat(from, &opened) == 0;
  if (ok && (!Unchanged(start, opened) || ReadLease(from).OpenForWritingElsewhere())) {
    ok = false;
    errno = EBUSY;  // still being written: not worth a copy
  }
  ok = ok && CopyIntoPlace(from, start, source, destination, copy, steps);
  ErrnoKeeper keep;
  close(from);
  return ok;
}

// The source goes only while it is the file that was copied, with no window:
// it is first renamed to a hidden name of its own, so that a newer file
// renamed over its name meanwhile is never the one removed, checked there,
// and removed. Otherwise it goes back under its name (or stays under the
// hidden name, should its own have been taken meanwhile).
bool RemoveCopiedSource(const NativeString& source, const struct stat& start,
                        const Watch& watch, MoveSteps* steps) {
  EndingSignalsHeld held;  // never ended with the source under the hidden name
  if (steps) steps->AtStep(MoveStep::Removing, source);
  HeldFromWriters writers(source.c_str());  // until the source is gone
  struct stat now;
  if (writers.BeingWritten() || lstat(source.c_str(), &now) != 0 || !Unchanged(start, now) ||
      watch.Seen() > 0) {
    errno = EBUSY;  // written to, still open for writing, or replaced meanwhile
    return false;
  }
  NativeString hidden;
  bool taken = false;
  for (int attempt = 0; attempt < 64 && !taken; ++attempt) {
    HiddenNameBeside(source, ".tvtidy-gone-", hidden);
    taken = writers.Do([&] { return RenameNoReplace(source.c_str(), hidden.c_str()); });
    if (!taken && errno != EEXIST) return false;
  }
  if (!taken) return false;
  // The rename sets the change time; the file, its size and content stay.
  // mergerfs numbers a file by its path: there, the new number says nothing.
  struct statfs system;
  const bool numbersByPath = statfs(hidden.c_str(), &system) == 0 && system.f_type == 0x65735546;
  const bool same = lstat(hidden.c_str(), &now) == 0 && (SameFile(now, start) || numbersByPath) &&
                    now.st_size == start.st_size && now.st_mtim.tv_sec == start.st_mtim.tv_sec &&
                    now.st_mtim.tv_nsec == start.st_mtim.tv_nsec && watch.Seen() == 0;
  if (same && writers.Do([&] { return RemoveFile(hidden); })) return true;
  ErrnoKeeper keep;
  if (!same) keep.saved = EBUSY;
  RenameNoReplace(hidden.c_str(), source.c_str());
  return false;
}

}  // namespace

bool MoveFileNoReplace(const NativeString& source, const NativeString& destination,
                       MoveSteps* steps) {
  if (RenameNoReplace(source.c_str(), destination.c_str(), steps)) return true;
  if (errno != EXDEV) return false;
  // Another file system (a show folder linked to another disk): the source
  // goes only once its copy is safely in place, and only while it is still
  // the file that was copied. Otherwise the copy goes, and nothing changed.
  // Every writer on this machine, whatever the file system's timestamps show
  // (coarse on exFAT, cached through FUSE): a write to the source while it is
  // copied means its newest bytes are not in the copy.
  const Watch watch(source.c_str(), Watch::Writes);
  struct stat start, copy;
  if (!CopyAcross(source, destination, start, copy, steps)) return false;
  if (!RemoveCopiedSource(source, start, watch, steps)) {
    ErrnoKeeper keep;
    RemoveIfStill(destination.c_str(), copy);
    return false;
  }
  return true;
}

// Once a device here has refused the flag, every move takes the full way,
// which knows the devices: no refused call per file.
bool RenameNoReplaceOnly(const NativeString& source, const NativeString& destination) {
  return learnedCount == 0 && RenameWithFlag(source.c_str(), destination.c_str());
}

bool CopyFileNoReplace(const NativeString& source, const NativeString& destination,
                       MoveSteps* steps) {
  struct stat start, copy;
  return CopyAcross(source, destination, start, copy, steps);
}

void DiscardCopy(const NativeString& path) { unlink(path.c_str()); }

EndingSignalsHeld::EndingSignalsHeld() {
  if (holdDepth++ > 0) return;
  InstallSignalCleanUp();
  sigset_t held;
  sigemptyset(&held);
  for (const int number : kEndingSignals) sigaddset(&held, number);
  sigprocmask(SIG_BLOCK, &held, &maskBeforeHold);
}

EndingSignalsHeld::~EndingSignalsHeld() {
  if (--holdDepth == 0) sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

bool SetAsideAs(const NativeString& path, const NativeString& aside, const NativeString& own) {
  EndingSignalsHeld held;
  if (!CopyIntoBuffer(asidePath, sizeof asidePath, aside) ||
      !CopyIntoBuffer(asideOwnPath, sizeof asideOwnPath, own)) {
    errno = ENAMETOOLONG;
    return false;
  }
  HeldFromWriters writers(path.c_str());  // through the rename
  if (writers.BeingWritten()) {
    errno = EBUSY;
    return false;
  }
  asideActive = 1;  // known before the rename: a signal after it puts it back
  // By the name looked up, which a file system that ignores case may cache.
  if (writers.Do([&] { return RenameNoReplace(path.c_str(), aside.c_str()); })) return true;
  asideActive = 0;
  return false;
}

bool PutBack(const NativeString& aside, const NativeString& own) {
  EndingSignalsHeld held;
  const bool back = RenameNoReplace(aside.c_str(), own.c_str());
  asideActive = 0;  // back, or kept beside a newer file that took its name
  return back;
}

bool RemoveAside(const NativeString& aside) {
  EndingSignalsHeld held;
  if (!RemoveFile(aside)) return false;
  asideActive = 0;
  return true;
}
