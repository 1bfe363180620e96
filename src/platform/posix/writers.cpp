#include "platform/posix/writers.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "platform/file_system.h"
#include "platform/posix/file_facts.h"

void WaitToLetGo() {
  const struct timespec wait = {0, 20 * 1000 * 1000};
  nanosleep(&wait, nullptr);
}

void IgnoreLeaseBreaks() {
#ifdef __linux__
  static const bool ignored = signal(SIGIO, SIG_IGN) != SIG_ERR;
  (void)ignored;
#endif
}

bool ListedButUnopened(int fd, int folder, const char* name) {
  struct stat listed;
  return fd < 0 && errno == ENOENT && fstatat(folder, name, &listed, AT_SYMLINK_NOFOLLOW) == 0;
}

bool WrittenLately(const struct stat& info) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  // A time ahead of the clock (another machine's) is recent too.
  return now.tv_sec - info.st_mtim.tv_sec < kQuietSeconds;
}

bool MayBeWritten(int fd, bool* leased) {
  if (leased) *leased = false;
#ifdef __linux__
  IgnoreLeaseBreaks();
  if (fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    if (leased)
      *leased = true;
    else
      fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;  // nobody holds it open for writing, and nobody can while leased
  }
  if (fd >= 0 && errno == EAGAIN) return true;
#endif
  // No lease to be had: not proven quiet unless it has been for a while.
  struct stat info;
  return fd < 0 || fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && WrittenLately(info));
}

Watch::Watch(const char* path, Kind kind) {
#ifdef __linux__
  mask_ = kind == Writes ? IN_MODIFY | IN_CLOSE_WRITE : IN_CREATE | IN_MOVED_TO;
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ >= 0 && inotify_add_watch(fd_, path, mask_ | (kind == Writes ? IN_DONT_FOLLOW : IN_ONLYDIR)) < 0) {
    ErrnoKeeper keep;
    close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) failure_ = errno;
#else
  (void)path;
  (void)kind;
  failure_ = ENOSYS;
#endif
}

Watch::~Watch() {
  if (fd_ >= 0) close(fd_);
}

bool Watch::Working() const {
  if (fd_ < 0) errno = failure_;
  return fd_ >= 0;
}

int Watch::Seen(const char* name) const {
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

HeldFromWriters::HeldFromWriters(const char* path) {
  const PathAt at(path);
  fd_ = openat(at.dir(), at.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (ListedButUnopened(fd_, at.dir(), at.name())) {
    beingWritten_ = true;
    return;
  }
  if (fd_ < 0) {
    // Not readable by this user (or a link): nothing to lease, only its times.
    struct stat info;
    beingWritten_ = LstatAt(path, info) == 0 && S_ISREG(info.st_mode) && WrittenLately(info);
    return;
  }
  beingWritten_ = MayBeWritten(fd_, &leased_);  // the lease kept until LetGo
}

// A lease being broken reports the type it is being broken to.
bool HeldFromWriters::OpenerWaiting() const {
#ifdef __linux__
  return leased_ && fcntl(fd_, F_GETLEASE) != F_RDLCK;  // leased only while held open
#else
  return false;
#endif
}

HeldFromWriters::~HeldFromWriters() {
  ErrnoKeeper keep;
  LetGo();
}

void HeldFromWriters::Pause() {
#ifdef __linux__
  if (leased_) fcntl(fd_, F_SETLEASE, F_UNLCK);
#endif
  leased_ = false;
}

void HeldFromWriters::Resume() {
  if (fd_ >= 0 && !leased_) beingWritten_ = MayBeWritten(fd_, &leased_);
}

// Closing the only descriptor gives the lease up with it.
void HeldFromWriters::LetGo() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  leased_ = false;
}

bool MayBeBeingWritten(const NativeString& path) {
  const PathAt at(path);
  const int fd = openat(at.dir(), at.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;  // not readable here: the run will say
  const bool written = MayBeWritten(fd);
  close(fd);
  return written;
}
