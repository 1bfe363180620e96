#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/posix/file_facts.h"

namespace {

// The errno values that say "absent or malformed" rather than "unreadable".
bool MeansAbsent(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP ||
         error == EINVAL;
}

// Opens through a link without ever blocking (a link to a FIFO or a device)
// and tells the target's type. False when the target cannot be opened.
bool TargetType(const char* path, mode_t& type) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool known = fstat(fd, &info) == 0;
  close(fd);
  type = info.st_mode & S_IFMT;
  return known;
}

// Whether an entry of a folder that cannot be stat'ed by path is a file,
// by looking it up in its folder's listing.
bool ListedAsFile(const NativeString& path) {
  const std::string folder = FolderPartOf(path);
  const std::string name = path.substr(path.rfind('/') + 1);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    if (name == entry->d_name) {
      found = entry->d_type != DT_DIR;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

bool FolderExists(const NativeString& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return !MeansAbsent(errno);
  if (!S_ISLNK(info.st_mode)) return S_ISDIR(info.st_mode);
  // A POSIX link has no directory bit of its own: the target's type stands in.
  mode_t type = 0;
  return TargetType(path.c_str(), type) && type == S_IFDIR;
}

bool FileEntryExists(const NativeString& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (MeansAbsent(errno)) return false;
    return ListedAsFile(path);
  }
  if (!S_ISLNK(info.st_mode)) return !S_ISDIR(info.st_mode);
  mode_t type = 0;
  if (!TargetType(path.c_str(), type)) return errno == EBUSY;  // held by another process
  return type != S_IFDIR;
}

bool FolderPathFits(const NativeString&) { return true; }

bool MakeFolder(const NativeString& path) { return mkdir(path.c_str(), 0777) == 0; }

// unlink removes a link of either kind and refuses a real folder; a read-only
// file is refused as Windows refuses to delete one.
bool RemoveFile(const NativeString& path) {
  const PathAt at(path);  // a hidden name beside a long one may pass PATH_MAX
  struct stat info;
  if (fstatat(at.dir(), at.name(), &info, AT_SYMLINK_NOFOLLOW) == 0 && IsReadOnly(info)) {
    errno = EACCES;
    return false;
  }
  return unlinkat(at.dir(), at.name(), 0) == 0;
}

bool IsRemovableEntry(const NativeString& path) {
  EntryLook look;
  return LookAtEntry(path, look) && look.removable;
}

bool IsNameClash(int code) { return code == EEXIST; }

bool EntryExists(const NativeString& path) { return LookUpEntry(path) != Lookup::Absent; }

Lookup LookUpEntry(const NativeString& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) return Lookup::There;
  return MeansAbsent(errno) ? Lookup::Absent : Lookup::Refused;
}

bool EntrySize(const NativeString& path, std::uint64_t& size) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool RemoveEmptyFolder(const NativeString& path) { return rmdir(path.c_str()) == 0; }

namespace {

// The folder of the last link's existing name, held open: names under it are
// walked from there, so that a long path is not walked twice per file. Let
// go of when a listing starts, so that it is never a folder since removed
// and made again under its name.
struct HeldFolder {
  NativeString path;  // with its delimiter
  int fd = -1;
} held;

void LetGoOfHeldFolder() {
  if (held.fd >= 0) close(held.fd);
  held.fd = -1;
  held.path.clear();
}

// The path as given to an *at call: relative to the held folder when under it.
const char* UnderHeldFolder(const NativeString& path, int& at) {
  at = AT_FDCWD;
  if (held.fd < 0 || path.size() <= held.path.size() || path.compare(0, held.path.size(), held.path) != 0)
    return path.c_str();
  at = held.fd;
  return path.c_str() + held.path.size();
}

}  // namespace

bool MakeHardLink(const NativeString& existing, const NativeString& newName) {
  const size_t cut = existing.rfind('/') + 1;
  if (cut > 0 && (held.path.size() != cut || existing.compare(0, cut, held.path) != 0)) {
    LetGoOfHeldFolder();
    held.path.assign(existing, 0, cut);
    held.fd = open(held.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  int from = AT_FDCWD, to = AT_FDCWD;
  const char* existingName = UnderHeldFolder(existing, from);
  const char* newNameThere = UnderHeldFolder(newName, to);
  return linkat(from, existingName, to, newNameThere, 0) == 0;
}

FolderLock::FolderLock(const NativeString& folder) {
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // In short waits, so that an ending signal still ends a hook that waits its turn.
  const struct timespec wait = {0, 50 * 1000 * 1000};
  while (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR) &&
         !EndingSignalPending())
    nanosleep(&wait, nullptr);
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);  // and the lock with it
}

bool CanonicalPath(const NativeString& path, NativeString& canonical) {
  // A folder named with its delimiter is the same folder.
  NativeStringView named = path;
  while (named.size() > 1 && named.back() == '/') named.remove_suffix(1);
  const std::string folder = FolderPartOf(named);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return false;
  canonical.assign(resolved);
  if (canonical.back() != '/') canonical.push_back('/');
  if (named != "/") canonical.append(named.substr(named.rfind('/') + 1));
  return true;
}

bool LinkTargetOf(const NativeString& path, NativeString& target) {
  char text[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), text, sizeof text);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return false;
  target.assign(text, static_cast<size_t>(length));
  if (target[0] != '/') target.insert(0, FolderPartOf(path));
  return true;
}

const int kReadOnlyRefusal = EACCES;
const int kOtherDiskRefusal = EXDEV;

bool MakeFolderOwnedAsItsParent(const NativeString& path) {
  if (geteuid() != 0) return MakeFolder(path);
  const size_t slash = path.find_last_of('/');
  const NativeString name = path.substr(slash + 1), parent = slash == path.npos ? "." : path.substr(0, slash + 1);
  if (name.empty()) return MakeFolder(path);
  const int dir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  struct stat from, made;
  bool done = fstat(dir, &from) == 0 && mkdirat(dir, name.c_str(), 0777) == 0;
  if (done && (from.st_uid != 0 || from.st_gid != 0)) {
    ErrnoKeeper keep;  // the folder is made: its owner is a courtesy
    const int folder = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0 && fstat(folder, &made) == 0 && made.st_uid == 0) (void)!fchown(folder, from.st_uid, from.st_gid);
    if (folder >= 0) close(folder);
  }
  ErrnoKeeper keep;
  close(dir);
  return done;
}

bool OnOneFileSystem(const NativeString& entry, const NativeString& folder) {
  struct stat file, there;
  if (lstat(entry.c_str(), &file) != 0) return true;  // the move itself will say
  if (stat(folder.c_str(), &there) != 0 &&
      stat(FolderPartOf(NativeStringView(folder).substr(0, folder.find_last_not_of('/') + 1)).c_str(), &there) != 0)
    return true;
  return file.st_dev == there.st_dev;
}

// Logs keep the bytes.
bool LookAlikes::Beside(const NativeString&) { return false; }
void LookAlikes::Moved(const NativeString&, const NativeString&) {}

bool OnlyAShortNameOf(const NativeString&) { return false; }  // no short names

bool NamesIgnoreCaseIn(const NativeString& folder) {
  // Where the folder really is (through links), or its parent, not made yet.
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr &&
      realpath(FolderPartOf(NativeStringView(folder).substr(0, folder.find_last_not_of('/') + 1)).c_str(),
               resolved) == nullptr)
    return false;
  NativeString path = resolved;
  struct stat own, other;
  if (stat(path.c_str(), &own) != 0) return false;
  bool swapped = false;
  for (size_t at = path.rfind('/') + 1; at < path.size(); ++at) {
    const char c = path[at];
    if (AsciiLower(c) != c || AsciiUpper(c) != c) {
      path[at] = AsciiLower(c) != c ? AsciiLower(c) : AsciiUpper(c);
      swapped = true;
    }
  }
  if (!swapped || stat(path.c_str(), &other) != 0 || other.st_dev != own.st_dev || !S_ISDIR(other.st_mode))
    return false;
  // Found under a spelling that is not listed: found without case. (FUSE
  // gives each spelling a number of its own.)
  const std::string parent = FolderPartOf(path);
  const char* swappedName = path.c_str() + parent.size();
  DIR* dir = opendir(parent.c_str());
  if (dir == nullptr) return other.st_ino == own.st_ino;
  bool listed = false;
  while (const dirent* entry = readdir(dir)) listed = listed || strcmp(entry->d_name, swappedName) == 0;
  closedir(dir);
  return !listed;
}

bool MayChangeEntriesIn(const NativeString& folder) {
  return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

int LastErrorCode() { return errno; }
void SetLastErrorCode(int code) { errno = code; }

NativeString SystemErrorText(int code) {
  char buffer[256];
  const int saved = errno;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  std::string text = strerror_r(code, buffer, sizeof buffer);
#else
  std::string text = strerror_r(code, buffer, sizeof buffer) == 0 ? buffer : "";
#endif
  errno = saved;
  while (!text.empty() && (IsBlankUnit(text.back()) || text.back() == '.')) text.pop_back();
  return text;
}

void FullPathName(const NativeString& path, NativeString& full, int& errorCode) {
  errorCode = 0;
  if (!path.empty() && path[0] == '/') {
    full.assign(path);
    return;
  }
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) {
    errorCode = errno == ENOENT ? EACCES : errno;  // a vanished folder is a refusal here
    full.clear();
    return;
  }
  full.assign(buffer);
  if (full.back() != '/') full.push_back('/');
  full.append(path);
}

FolderListing::FolderListing(const NativeString& folderWithDelimiter, NativeStringView) {
  LetGoOfHeldFolder();
  DIR* dir = opendir(folderWithDelimiter.c_str());
  if (dir == nullptr) {
    failure_ = errno;
    return;
  }
  handle_ = dir;
  Advance();
}

FolderListing::~FolderListing() {
  if (handle_ != nullptr) closedir(static_cast<DIR*>(handle_));
}

void FolderListing::Advance() {
  DIR* dir = static_cast<DIR*>(handle_);
  hasEntry_ = false;
  if (dir == nullptr) return;
  errno = 0;
  const dirent* found = readdir(dir);
  if (found == nullptr) return;  // the end and a failure end the listing alike
  hasEntry_ = true;
  entry_.name = found->d_name;
  entry_.isRegular = found->d_type == DT_REG;
  switch (found->d_type) {
    case DT_DIR:
      entry_.isFolder = true;
      break;
    case DT_UNKNOWN:
    case DT_LNK: {
      // A link to a folder counts as a folder, as it would on Windows.
      struct stat info;
      const int folder = dirfd(dir);
      if (fstatat(folder, found->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        entry_.isFolder = false;
      } else if (S_ISLNK(info.st_mode)) {
        entry_.isFolder = fstatat(folder, found->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
      } else {
        entry_.isFolder = S_ISDIR(info.st_mode);
      }
      break;
    }
    default:
      entry_.isFolder = false;
  }
}
