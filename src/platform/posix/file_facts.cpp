#include "platform/posix/file_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/file_system.h"
#include "platform/letter_case.h"

namespace {
constexpr long kFuse = 0x65735546, kExfat = 0x2011BAB0, kFat = 0x4d44;
}  // namespace

PathAt::PathAt(const char* path) : dir_(AT_FDCWD), name_(path) {
  const size_t length = strlen(path);
  if (length < PATH_MAX) return;
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return;  // one name too long: the call says so
  const std::string folder(path, static_cast<size_t>(slash + 1 - path));
  owned_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (owned_ < 0) return;  // the call on the whole path then says why
  dir_ = owned_;
  name_ = slash + 1;
}

PathAt::~PathAt() {
  if (owned_ >= 0) {
    ErrnoKeeper keep;
    close(owned_);
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool Unchanged(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int LstatAt(const char* path, struct stat& info) {
  const PathAt at(path);
  return fstatat(at.dir(), at.name(), &info, AT_SYMLINK_NOFOLLOW);
}

int FreshLstat(const char* path, struct stat& info) {
  const PathAt at(path);
  return FreshLstat(at, info);
}

int FreshLstat(const PathAt& at, struct stat& info) {
  // The kernel's own look first: where every change passes it, that is the truth.
  if (fstatat(at.dir(), at.name(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !CachedLooksMayBeStale(info.st_dev))
    return 0;
#if defined(__linux__) && defined(STATX_BASIC_STATS)
  struct statx now;
  if (statx(at.dir(), at.name(), AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &now) != 0)
    return errno == ENOSYS ? fstatat(at.dir(), at.name(), &info, AT_SYMLINK_NOFOLLOW) : -1;  // no statx
  info = {};
  info.st_dev = makedev(now.stx_dev_major, now.stx_dev_minor);
  info.st_ino = now.stx_ino;
  info.st_mode = now.stx_mode;
  info.st_nlink = now.stx_nlink;
  info.st_uid = now.stx_uid;
  info.st_size = static_cast<off_t>(now.stx_size);
  info.st_mtim = {now.stx_mtime.tv_sec, now.stx_mtime.tv_nsec};
  info.st_ctim = {now.stx_ctime.tv_sec, now.stx_ctime.tv_nsec};
  return 0;
#else
  return fstatat(at.dir(), at.name(), &info, AT_SYMLINK_NOFOLLOW);
#endif
}

bool LooksMayBeStaleOn(std::string_view type) {
  // Not found in the table: assume the worst.
  return type.empty() || type.starts_with("fuse.") || type == "fuse" || type == "nfs" || type == "nfs4" ||
         type == "cifs" || type == "smb3" || type == "9p";
}

bool CachedLooksMayBeStale(dev_t device) {
  static PerDevice<bool> stale;
  return stale.Of(device, [&] { return LooksMayBeStaleOn(MountTypeOf(device)); });
}

// The mount is asked only when the numbers differ: none more where they hold.
bool NumbersAgree(const char* path, const struct stat& a, const struct stat& b) {
  const PathAt at(path);
  return NumbersAgree(at, a, b);
}

bool NumbersAgree(const PathAt& at, const struct stat& a, const struct stat& b) {
  return SameFile(a, b) || NumbersByPath(at);
}

bool IsStill(const char* path, const struct stat& known, const struct stat& now) {
  const PathAt at(path);
  return IsStill(at, known, now);
}

bool IsStill(const PathAt& at, const struct stat& known, const struct stat& now) {
  return (known.st_mode & S_IFMT) == (now.st_mode & S_IFMT) && known.st_size == now.st_size &&
         known.st_mtim.tv_sec == now.st_mtim.tv_sec && known.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
         NumbersAgree(at, known, now);
}

bool StillTheFile(const char* path, const struct stat& known, struct stat* now) {
  const PathAt at(path);
  return StillTheFile(at, known, now);
}

bool StillTheFile(const PathAt& at, const struct stat& known, struct stat* now) {
  struct stat look;
  if (now == nullptr) now = &look;
  return FreshLstat(at, *now) == 0 && IsStill(at, known, *now);
}

bool RemoveIfStill(const char* path, const struct stat& mine) {
  const PathAt at(path);
  return RemoveIfStill(at, mine);
}

bool RemoveIfStill(const PathAt& at, const struct stat& mine) {
  return !StillTheFile(at, mine) || unlinkat(at.dir(), at.name(), 0) == 0;
}

OwnedFolder::OwnedFolder(const std::string& folder) {
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  readable_ = fd_ >= 0;
#ifdef O_PATH
  if (fd_ < 0 && errno == EACCES) fd_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
}

OwnedFolder::~OwnedFolder() {
  if (fd_ >= 0) {
    ErrnoKeeper keep;
    close(fd_);
  }
}

bool OwnedFolder::Flush() const {
  if (!readable_) return true;  // a folder this user may not read is flushed by the file system alone
  return fsync(fd_) == 0 || errno == EINVAL || errno == EROFS;
}

namespace {
// Append-only or immutable: no rename, no removal, no new link, even for root.
bool FlagsForbidChanges(const char* path, const struct stat& info) {
#ifdef __linux__
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return false;
  const PathAt at(path);
  const int fd = openat(at.dir(), at.name(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  const bool forbid = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
  close(fd);
  return forbid;
#else
  (void)path;
  (void)info;
  return false;
#endif
}
}  // namespace

bool ProtectedFromLinks(const char* path) {
  struct stat file;
  const uid_t me = geteuid();
  if (me == 0 || LstatAt(path, file) != 0 || file.st_uid == me) return false;
  const PathAt at(path);
  return !S_ISREG(file.st_mode) || (file.st_mode & (S_ISUID | S_ISGID)) != 0 ||
         faccessat(at.dir(), at.name(), R_OK | W_OK, AT_EACCESS) != 0;
}

bool RefusedForThisFile(const char* path, int error, bool link) {
  if (error != EPERM) return false;
  ErrnoKeeper keep;
  const std::string folderPath = FolderPartOf(path);
  struct stat file, folder;
  if (LstatAt(path, file) != 0 || stat(folderPath.c_str(), &folder) != 0) return false;
  if (FlagsForbidChanges(path, file) || FlagsForbidChanges(folderPath.c_str(), folder)) return true;
  const uid_t me = geteuid();
  if (me == 0 || file.st_uid == me) return false;
  return ((folder.st_mode & S_ISVTX) && folder.st_uid != me) || (link && ProtectedFromLinks(path));
}

bool TimesMayHideWrites(int fd) {
#ifdef __linux__
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return true;
  return system.f_type == kFuse || system.f_type == kExfat || system.f_type == kFat;
#else
  (void)fd;
  return true;
#endif
}

bool NumbersByPath(const char* path) {
  const PathAt at(path);
  return NumbersByPath(at);
}

bool NumbersByPath(const PathAt& at) {
#ifdef __linux__
  const int fd = openat(at.dir(), at.name(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct statfs system;
  const bool fuse = fstatfs(fd, &system) == 0 && system.f_type == kFuse;
  close(fd);
  return fuse;
#else
  (void)at;
  return false;
#endif
}

std::string MountTypeOf(dev_t device) {
  const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string table;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) table.append(buffer, static_cast<size_t>(got));
  close(fd);
  // Each line: id parent major:minor root mount-point options ... - type source ...
  const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " ";
  for (size_t start = 0, end; start < table.size(); start = end + 1) {
    end = table.find('\n', start);
    if (end == table.npos) end = table.size();
    const std::string_view line(table.data() + start, end - start);
    const size_t field = line.find(' ', line.find(' ') + 1) + 1;
    if (line.compare(field, number.size(), number) != 0) continue;
    const size_t type = line.find(" - ");
    if (type == line.npos) return {};
    const std::string_view rest = line.substr(type + 3);
    return std::string(rest.substr(0, rest.find(' ')));
  }
  return {};
}

bool FlushFolderOf(const std::string& path) {
  const int fd = open(FolderPartOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  ErrnoKeeper keep;
  close(fd);
  return flushed;
}
