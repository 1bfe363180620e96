#include "platform/journal_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ending.h"
#include "platform/posix/file_facts.h"
#include "platform/process.h"

namespace {
int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// Opened without following a link: a journal that someone made a link to
// another file is no journal of ours.
int OpenJournal(const NativeString& path, bool forWriting) {
  const int flags = forWriting ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY;
  return open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
}

// Its turn, in short waits, so that an ending signal still ends a run that
// waits; said once on standard error.
bool TakeTurn(int fd, const NativeString& path) {
  bool said = false;
  const struct timespec wait = {0, 50 * 1000 * 1000};
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || EndingSignalPending()) return false;
    if (!said) WriteNotice(NativeString("Waiting for another run that keeps its journal in ") + path);
    said = true;
    nanosleep(&wait, nullptr);
  }
  return true;
}

// A plain file of this user's, or root's: a journal that another user made
// (a shared download folder) is no record of this user's runs. One that
// others could write (its mode says so, and the file system keeps modes: it
// is one that keeps modes) may hold their lines, which a run would act on:
// not read, and begun anew, closed to them, by a run. A file system that
// keeps no modes (exFAT) shows every file open: there the mode tells nothing.
enum class Trust { Ours, NotOurs, OpenToOthers };
Trust TrustIn(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_uid != geteuid() && info.st_uid != 0))
    return Trust::NotOurs;
  if ((info.st_mode & 022) == 0) return Trust::Ours;
  const std::string type = MountTypeOf(info.st_dev);
  for (const char* modeless : {"vfat", "msdos", "exfat", "fuseblk", "ntfs", "ntfs3"})
    if (type == modeless) return Trust::Ours;
  return Trust::OpenToOthers;
}
}  // namespace

JournalFile::JournalFile(const NativeString& path, bool forWriting) : path_(path), forWriting_(forWriting) {
  int fd = OpenJournal(path, forWriting);
  const Trust trust = fd >= 0 ? TrustIn(fd) : Trust::NotOurs;
  if (fd >= 0 && (trust == Trust::NotOurs || (trust == Trust::OpenToOthers && !forWriting) ||
                  (forWriting && !TakeTurn(fd, path)))) {
    close(fd);
    fd = -1;
  }
  if (trust == Trust::OpenToOthers) {
    WriteNotice(NativeString("Other users could write the journal ") + path + ": what it holds is not trusted" +
                (fd >= 0 ? ", and it is begun anew" : ""));
    if (fd >= 0 && (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0)) {
      close(fd);
      fd = -1;
    }
  }
  // Held: the file this run writes must still be the one under the name
  // (another run may have started it anew while this one waited).
  struct stat held, named;
  if (fd >= 0 && forWriting && (fstat(fd, &held) != 0 || lstat(path.c_str(), &named) != 0 ||
                                held.st_ino != named.st_ino || held.st_dev != named.st_dev)) {
    close(fd);
    JournalFile again(path, forWriting);
    handle_ = again.handle_;
    again.handle_ = kNone;
    return;
  }
  handle_ = fd;
}

JournalFile::~JournalFile() {
  if (IsOpen()) close(Fd(handle_));  // and its lock with it
}

bool JournalFile::ReadAll(std::string& bytes) const {
  bytes.clear();
  if (!IsOpen()) return false;
  char block[65536];
  for (off_t at = 0;;) {
    const ssize_t got = pread(Fd(handle_), block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(block, static_cast<size_t>(got));
    at += got;
  }
}

std::uint64_t JournalFile::Size() const {
  struct stat info;
  return IsOpen() && fstat(Fd(handle_), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool JournalFile::Append(std::string_view bytes) {
  if (!IsOpen() || !forWriting_) return false;
  while (!bytes.empty()) {
    const ssize_t wrote = write(Fd(handle_), bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(wrote));
  }
  return true;
}

// The new file is taken before the old one is let go: no other run finds
// the name free in between.
bool JournalFile::StartAnew(const NativeString& older) {
  if (!IsOpen() || !forWriting_ || rename(path_.c_str(), older.c_str()) != 0) return false;
  const int fd = OpenJournal(path_, true);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (fd >= 0) close(fd);
    rename(older.c_str(), path_.c_str());  // the old one, still held, serves on
    return false;
  }
  close(Fd(handle_));
  handle_ = fd;
  return true;
}
