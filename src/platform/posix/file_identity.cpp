// Whether two names are one file, one entry, or two names of one file (and
// the removal of one of two names), apart from the looks and changes of
// file_system.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/letter_case.h"
#include "platform/posix/file_data.h"
#include "platform/posix/file_facts.h"

namespace {
bool SameSizeAndTime(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// One file under two names. mergerfs numbers each name of a file on its own
// and passes the links on: there alone (found by the mount's type), two
// names with more than one link, the same size and the same modification
// and change times to the nanosecond are taken for one file.
bool OneFile(const struct stat& a, const struct stat& b) {
  if (a.st_dev != b.st_dev) return false;
  if (a.st_ino == b.st_ino) return true;
  return a.st_nlink > 1 && b.st_nlink > 1 && SameSizeAndTime(a, b) && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && MountTypeOf(a.st_dev) == "fuse.mergerfs";
}
}  // namespace

bool SameFile(const NativeString& a, const NativeString& b) {
  struct stat first, second;
  return lstat(a.c_str(), &first) == 0 && lstat(b.c_str(), &second) == 0 && OneFile(first, second);
}

bool HasOtherNames(const NativeString& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && info.st_nlink > 1;
}

// Two names in one folder are one entry where they differ only in letter
// case: asked as though the folder ignored it, which can only keep a name.
bool TwoNamesOfOneFile(const NativeString& a, const NativeString& b) {
  struct stat first, second;
  if (lstat(a.c_str(), &first) != 0 || lstat(b.c_str(), &second) != 0 || !OneFile(first, second) ||
      first.st_nlink < 2 || second.st_nlink < 2)
    return false;
  if (!SameFolder(FolderPartOf(a), FolderPartOf(b))) return true;
  const NativeStringView nameA = NativeStringView(a).substr(a.rfind('/') + 1);
  const NativeStringView nameB = NativeStringView(b).substr(b.rfind('/') + 1);
  return !nameA.empty() && !IsSelfOrParent(nameA) && CompareIgnoringCase(nameA, nameB) != 0;
}

bool RemoveSecondName(const NativeString& path, const NativeString&) {
  const PathAt at(path);
  return unlinkat(at.dir(), at.name(), 0) == 0;
}

bool LinkRefusedAsOthersFile(const NativeString& existing, int code) {
  return code == EPERM && LinkWouldBeRefusedAsOthersFile(existing);
}

bool LinkWouldBeRefusedAsOthersFile(const NativeString& existing) {
  static const bool protectedLinks = [] {
    char setting = '0';
    const int fd = open("/proc/sys/fs/protected_hardlinks", O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && read(fd, &setting, 1) != 1) setting = '0';
    if (fd >= 0) close(fd);
    return setting == '1';
  }();
  return protectedLinks && ProtectedFromLinks(existing.c_str());
}

bool CopyOfFile(const NativeString& copy, const NativeString& original) {
  struct stat made, from;
  if (lstat(copy.c_str(), &made) != 0 || lstat(original.c_str(), &from) != 0) return false;
  const auto apart = made.st_mtim.tv_sec - from.st_mtim.tv_sec;
  return S_ISREG(made.st_mode) && S_ISREG(from.st_mode) && made.st_size == from.st_size && apart < 2 && apart > -2;
}

bool MayBeOneFile(const NativeString& a, const NativeString& b) {
  struct stat first, second;
  return lstat(a.c_str(), &first) == 0 && lstat(b.c_str(), &second) == 0 && !OneFile(first, second) &&
         first.st_dev == second.st_dev && S_ISREG(first.st_mode) && S_ISREG(second.st_mode) &&
         SameSizeAndTime(first, second) && NumbersByPath(a.c_str()) &&
         MountTypeOf(first.st_dev) != "fuse.mergerfs";
}

bool SameFolder(const NativeString& a, const NativeString& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// One file; one entry only when both folders are one folder too.
bool SameEntry(const NativeString& a, const NativeString& b) {
  return SameFile(a, b) && SameFolder(FolderPartOf(a), FolderPartOf(b));
}

bool LookAtEntry(const NativeString& path, EntryLook& look) {
  struct stat info;
  look = EntryLook();
  if (lstat(path.c_str(), &info) != 0) return false;
  look.removable = !S_ISDIR(info.st_mode) && !IsReadOnly(info);
  look.links = static_cast<unsigned>(info.st_nlink);
  look.stamped = S_ISREG(info.st_mode);
  look.stamp.size = static_cast<std::uint64_t>(info.st_size);
  look.stamp.written = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return true;
}

bool StampOf(const NativeString& path, FileStamp& stamp) {
  EntryLook look;
  if (!LookAtEntry(path, look) || !look.stamped) return false;
  stamp = look.stamp;
  return true;
}

// A file system that numbers each path on its own (sshfs) shows one entry
// reached through a folder link as two files: the paths resolved say it.
bool SameBytes(const NativeString& copy, const NativeString& original) {
  NativeString first, second;
  if (!CanonicalPath(copy, first) || !CanonicalPath(original, second) || first == second || SameEntry(copy, original))
    return false;
  const int a = open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const int b = open(original.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat one, two;
  const bool same = a >= 0 && b >= 0 && fstat(a, &one) == 0 && fstat(b, &two) == 0 && S_ISREG(one.st_mode) &&
                    S_ISREG(two.st_mode) && !(one.st_dev == two.st_dev && one.st_ino == two.st_ino) &&
                    one.st_size == two.st_size && SameContent(a, b, one.st_size);
  if (a >= 0) close(a);
  if (b >= 0) close(b);
  return same;
}
