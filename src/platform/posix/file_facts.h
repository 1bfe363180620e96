// What the move code asks of one file or its file system: whether two looks
// found the same unchanged file, a look that bypasses caches, the kind of
// mount. A path is reached through its folder, so that a hidden name beside
// a long episode name works wherever that name itself fits.
#pragma once

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

// Keeps errno across clean-up calls, so the caller reports the first failure.
struct ErrnoKeeper {
  int saved = errno;
  ~ErrnoKeeper() { errno = saved; }
};

// A path as a folder descriptor and its last name. A path that fits is used
// as it is (no call, no allocation); a longer one is reached through its
// folder, which always fits: a short hidden name beside a short episode name
// may make the whole path longer than PATH_MAX.
class PathAt {
 public:
  explicit PathAt(const char* path);
  explicit PathAt(const std::string& path) : PathAt(path.c_str()) {}
  // A name in a folder the caller holds open.
  PathAt(int dir, const char* name) : dir_(dir), name_(name) {}
  ~PathAt();
  PathAt(const PathAt&) = delete;
  PathAt& operator=(const PathAt&) = delete;
  int dir() const { return dir_; }
  const char* name() const { return name_; }

 private:
  int dir_;
  int owned_ = -1;
  const char* name_;
};

bool SameFile(const struct stat& a, const struct stat& b);

// One answer per device for the run, asked of the device once: a run meets
// few devices, so a fixed room, no allocation (past 16, asked each time).
template <typename Answer>
class PerDevice {
 public:
  template <typename Ask>
  Answer Of(dev_t device, Ask ask) {
    for (size_t i = 0; i < count_; ++i)
      if (known_[i].device == device) return known_[i].answer;
    const Answer answer = ask();
    if (count_ < sizeof known_ / sizeof known_[0]) known_[count_++] = {device, answer};
    return answer;
  }

 private:
  struct Known {
    dev_t device;
    Answer answer;
  } known_[16];
  size_t count_ = 0;
};

// The read-only attribute as file servers map it: no write permission at all.
inline bool IsReadOnly(const struct stat& info) {
  return !S_ISLNK(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// The same file with the same content as far as the system tells: a writer,
// a truncation or a replacement between the two looks changes one of these.
bool Unchanged(const struct stat& a, const struct stat& b);

// lstat, also for a path longer than PATH_MAX.
int LstatAt(const char* path, struct stat& info);

// lstat as the file system has it now, not as cached: through FUSE the
// kernel keeps a file's size and times for a while (smbnetfs), and a write
// on the server's side meanwhile would not show. Where every change passes
// this kernel (CachedLooksMayBeStale false), its cached look is that.
int FreshLstat(const char* path, struct stat& info);
int FreshLstat(const PathAt& at, struct stat& info);

// Whether the kernel's cached look at a file on that device may miss a
// change: through FUSE, unless the file system lives on a block device of
// this machine (exFAT, NTFS), all of whose changes pass the kernel. A pool
// (mergerfs) or a share may be changed behind it. Asked once per device.
bool CachedLooksMayBeStale(dev_t device);
// The same, by the mount table's type for the device ("fuseblk", "fuse.sshfs").
bool LooksMayBeStaleOn(std::string_view type);

// A folder held open by its one owner, so that names in it are made,
// renamed and removed there whatever the folder is called meanwhile. Opened
// to read where it may (a folder is flushed through such a descriptor),
// else only to be searched.
class OwnedFolder {
 public:
  explicit OwnedFolder(const std::string& folder);
  ~OwnedFolder();
  OwnedFolder(const OwnedFolder&) = delete;
  OwnedFolder& operator=(const OwnedFolder&) = delete;
  int fd() const { return fd_; }
  // Its names on disk, as FlushFolderOf.
  bool Flush() const;

 private:
  int fd_ = -1;
  bool readable_ = false;
};

// Whether two looks under `path` found one file as far as its number tells:
// the same number, or any where numbers do not hold (NumbersByPath).
bool NumbersAgree(const char* path, const struct stat& a, const struct stat& b);
bool NumbersAgree(const PathAt& at, const struct stat& a, const struct stat& b);

// Whether `now`, looked at under `path`, is still the file the run made,
// copied or set aside, known as `known` under that same name: FUSE file
// systems may number a file by its path (mergerfs by default, sshfs, rclone)
// or give each name a number of its own. Kind, size and modification time
// always; the number where it holds (NumbersAgree).
bool IsStill(const char* path, const struct stat& known, const struct stat& now);
bool IsStill(const PathAt& at, const struct stat& known, const struct stat& now);

// The same, asked of whatever is under `path` now, looked at fresh; `now`
// receives the look.
bool StillTheFile(const char* path, const struct stat& known, struct stat* now = nullptr);
bool StillTheFile(const PathAt& at, const struct stat& known, struct stat* now = nullptr);

// Removes the entry only while it is still the given file (StillTheFile);
// false when it is, and stays.
bool RemoveIfStill(const char* path, const struct stat& mine);
bool RemoveIfStill(const PathAt& at, const struct stat& mine);

// Through FUSE (times cached, or as the server keeps them) and on FAT and
// exFAT (a clock of seconds), a writer filling a file in place, as torrent
// clients do, may leave size and times as they were.
bool TimesMayHideWrites(int fd);

// FUSE file systems may number a file by the path they were asked for
// (mergerfs without use_ino, or with inodecalc=path-hash; sshfs; rclone):
// there, a rename or a new link gives the same file a new number, and
// another file under the same name may get the old one. The kernel's own
// file systems keep a file's number for as long as it lives.
bool NumbersByPath(const char* path);
bool NumbersByPath(const PathAt& at);

// Whether the system's protected links keep this user from linking the file:
// another user's, which this user may not both read and write, or one that
// sets its user or group (fs.protected_hardlinks; root is never kept).
bool ProtectedFromLinks(const char* path);

// Whether a refusal (EPERM) of a rename or, with `link`, of a new link of
// `path` is the file's own, not its file system's: a file or folder made
// append-only or immutable, another user's file in a folder with the sticky
// bit (a shared download folder), or another user's file that the system's
// protected links keep from this user. Such a refusal says nothing of the
// ways the device takes.
bool RefusedForThisFile(const char* path, int error, bool link);

// The type of the mount that holds the device ("ext4", "fuse.mergerfs"), as
// the mount table names it; empty when it is not found.
std::string MountTypeOf(dev_t device);

// rclone mounts, found by the mount's type: a rename onto a file rclone has
// just created and still writes out fails after taking the source away.
inline bool IsCloudMount(dev_t device) { return MountTypeOf(device) == "fuse.rclone"; }

// The new name on disk before the old one goes. File systems that cannot
// flush a folder (EINVAL) keep their names in order by themselves.
bool FlushFolderOf(const std::string& path);
