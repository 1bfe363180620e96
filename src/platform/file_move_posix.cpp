// Moves that never replace an existing entry.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
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

bool RenameNoReplace(const char* source, const char* destination) {
#if defined(__linux__) && defined(SYS_renameat2)
  if (syscall(SYS_renameat2, AT_FDCWD, source, AT_FDCWD, destination, RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
#endif
  // A file system without the no-replace flag: a new link fails on an
  // existing name, and only then is the old name removed.
  if (link(source, destination) != 0) return false;
  if (unlink(source) != 0) {
    ErrnoKeeper keep;
    unlink(destination);
    return false;
  }
  return true;
}

void FlushFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == path.npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool CopyContent(int from, int to) {
#ifdef __linux__
  for (;;) {
    const ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    break;  // not offered between these file systems: copy by hand
  }
#endif
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(to, buffer + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

// Copies a regular file to a name that must not exist yet, with its mode
// and times, and flushes it to disk. A failed copy leaves nothing behind.
bool CopyRegularFile(const std::string& source, const std::string& destination) {
  const int from = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return false;
  struct stat info {};
  if (fstat(from, &info) != 0) {
    ErrnoKeeper keep;
    close(from);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    close(from);
    errno = EXDEV;  // a FIFO or a device stays where it is
    return false;
  }
  const int to = open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) {
    ErrnoKeeper keep;
    close(from);
    return false;
  }
  const timespec times[2] = {info.st_atim, info.st_mtim};
  bool ok = CopyContent(from, to) && fchmod(to, info.st_mode & 07777) == 0 &&
            futimens(to, times) == 0 && fsync(to) == 0;
  if (ok && fchown(to, info.st_uid, info.st_gid) != 0) {
    // Only root may give a file away; the copy is still the user's data.
  }
  ErrnoKeeper keep;
  if (close(to) != 0 && ok) {
    ok = false;
    keep.saved = errno;
  }
  close(from);
  if (!ok) {
    unlink(destination.c_str());
    return false;
  }
  FlushFolderOf(destination);
  keep.saved = 0;
  return true;
}

bool CopyEntry(const std::string& source, const std::string& destination) {
  struct stat info;
  if (lstat(source.c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(source.c_str(), target.data(), target.size());
    if (length < 0) return false;
    target.resize(static_cast<size_t>(length));
    return symlink(target.c_str(), destination.c_str()) == 0;
  }
  return CopyRegularFile(source, destination);
}

}  // namespace

bool MoveFileNoReplace(const NativeString& source, const NativeString& destination) {
  if (RenameNoReplace(source.c_str(), destination.c_str())) return true;
  if (errno != EXDEV) return false;
  // Another file system (a show folder linked to another disk): the source
  // goes only once its copy is safely on disk.
  if (!CopyEntry(source, destination)) return false;
  if (unlink(source.c_str()) != 0) return false;  // the file is then at both places
  return true;
}

bool CopyFileNoReplace(const NativeString& source, const NativeString& destination) {
  return CopyEntry(source, destination);
}
