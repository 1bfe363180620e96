// Other programs at a file: whether one holds it open for writing, and what
// any program on this machine writes to it or names in a folder meanwhile.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>

// How long to wait, and how often, for another program (or a FUSE file
// system behind its close) to let go of a file: 100 times 20 ms.
constexpr int kLetGoAttempts = 100;
void WaitToLetGo();

// A lease's holder is told of an opener by SIGIO, whose default would end the
// run: the opener waits until the lease is given up, which is what we want.
void IgnoreLeaseBreaks();

// A cloud mount (rclone) that is still writing a file out lists it but opens
// it to no one yet: `fd` is what an open of `name` in `folder` for reading gave.
bool ListedButUnopened(int fd, int folder, const char* name);

// Where no lease tells whether anyone writes (a file of another owner, a file
// system without leases), a file written within this many seconds is taken
// to be still written: a download client writes more often than that.
constexpr long kQuietSeconds = 60;
bool WrittenLately(const struct stat& info);

// Whether another program may be writing the open file: a read lease refused
// because one holds it open for writing, or, where no lease is given, a
// write within kQuietSeconds. With `leased`, a lease taken stays in place,
// and *leased says whether one was.
bool MayBeWritten(int fd, bool* leased = nullptr);

// What any program on this machine does to a file, or in a folder, through
// FUSE mounts too, as inotify sees it: writes to a file, or names arriving
// in a folder (created, or moved there). One that cannot be set up (the
// user's inotify instances used up) says so: it sees nothing.
class Watch {
 public:
  enum Kind { Writes, Arrivals };
  Watch(const char* path, Kind kind);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  // False, with errno, when no watch could be set up.
  bool Working() const;
  // Events since the last look; in a folder, those on `name` alone. The end
  // of the watch (IN_IGNORED, as when a FUSE file system forgets the inode
  // on a rename) is none of them.
  int Seen(const char* name = nullptr) const;

 private:
  int fd_ = -1;
  int failure_ = 0;
  uint32_t mask_ = 0;
};

// A file held from writers while it is moved or removed: opened for reading
// and leased, so that no writer can open it meanwhile. One still being
// written is left alone, as Windows leaves a file open without delete
// sharing: its writer's later bytes would go into a removed file, and a
// cloud mount (rclone) that is still writing one out writes it under its
// old name afterwards, over whatever took that name.
//
// Linux leases a file only to its owner (or with CAP_LEASE): for a file of
// a download client running as its own user, and on file systems without
// leases, nothing tells whether it is open for writing. There a file
// written within the last kQuietSeconds counts as still being written.
class HeldFromWriters {
 public:
  explicit HeldFromWriters(const char* path);
  ~HeldFromWriters();
  HeldFromWriters(const HeldFromWriters&) = delete;
  HeldFromWriters& operator=(const HeldFromWriters&) = delete;
  bool BeingWritten() const { return beingWritten_; }
  // Whether it was opened, and its descriptor.
  bool Open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Gives the lease up while the file stays open (an opener meanwhile need
  // not wait on us), and takes it again where given up: BeingWritten() then
  // answers anew.
  void Pause();
  void Resume();
  // Whether a program that found the file by its name before it was taken
  // out of reach now waits on the lease to open it for writing: removed,
  // the file would take that program's bytes with it. Asked last, just
  // before the removal; without a lease nothing can tell (false).
  bool OpenerWaiting() const;
  // A server that refuses to rename or remove a file open anywhere (SMB)
  // refuses it while held: then once more, after letting go (the checks made
  // stand; only there is the moment after them open again).
  template <typename Step>
  bool Do(Step step) {
    if (step()) return true;
    if (errno != EBUSY || fd_ < 0) return false;
    LetGo();
    return step();
  }

 private:
  void LetGo();
  int fd_ = -1;
  bool beingWritten_ = false, leased_ = false;
};
