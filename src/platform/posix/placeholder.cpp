#include "platform/posix/placeholder.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/in_flight.h"
#include "platform/posix/file_data.h"
#include "platform/posix/file_facts.h"
#include "platform/posix/learned_ways.h"
#include "platform/posix/writers.h"

namespace {

// Saves the bytes a writer put into a placeholder after its last check, read
// back through the placeholder's own descriptor: under `name` while it is
// free, else under a hidden name beside it.
void KeepWrittenBytes(int fd, const struct stat& written, const char* name) {
  std::string keep = name;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const PathAt at(keep);
    const int to = openat(at.dir(), at.name(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          written.st_mode & 0777);
    if (to >= 0) {
      // What could be read is kept: the writer's file is never removed.
      CopyContent(fd, to, written.st_size, false);
      fsync(to);
      close(to);
      return;
    }
    if (errno != EEXIST) return;
    HiddenNameBeside(name, ".tvtidy-written-", keep);
  }
}

enum class Holder { Us, Another, Unknown };

class Placeholder {
 public:
  explicit Placeholder(const PathAt& at) : at_(at) {
    fd_ = openat(at_.dir(), at_.name(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    for (int attempt = 0; fd_ >= 0 && !known_ && attempt < 3; ++attempt) known_ = fstat(fd_, &mine_) == 0;
  }
  ~Placeholder() { Close(); }
  Placeholder(const Placeholder&) = delete;
  Placeholder& operator=(const Placeholder&) = delete;

  bool Made() const { return fd_ >= 0; }
  bool Open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  dev_t device() const { return mine_.st_dev; }
  const PathAt& at() const { return at_; }

  bool Close() {
    const bool closed = fd_ < 0 || close(fd_) == 0;
    fd_ = -1;
    leased_ = false;
    return closed;
  }

  // Whether nobody has opened the placeholder since it was leased: then
  // nobody can have written into it either.
  bool LeaseWhole() const {
#ifdef __linux__
    return leased_ && fd_ >= 0 && fcntl(fd_, F_GETLEASE) == F_WRLCK;
#else
    return false;
#endif
  }

  // Still ours and empty, by its name as the file system has it now and by
  // its descriptor; Unknown when a look itself failed.
  Holder Check() {
    struct stat now, through;
    if (!known_) return Holder::Unknown;
    if (FreshLstat(at_, now) != 0) return errno == ENOENT ? Holder::Another : Holder::Unknown;
    if (!SameFile(now, mine_) || !S_ISREG(now.st_mode) || now.st_size != 0) return Holder::Another;
    if (fd_ < 0 || LeaseWhole()) return Holder::Us;
    if (fstat(fd_, &through) != 0) return Holder::Unknown;
    if (through.st_size != 0 || through.st_mtim.tv_sec != mine_.st_mtim.tv_sec ||
        through.st_mtim.tv_nsec != mine_.st_mtim.tv_nsec)
      return Holder::Another;
#ifdef __linux__
    if (leased_ && fcntl(fd_, F_GETLEASE) != F_WRLCK) return Holder::Another;
#endif
    return Holder::Us;
  }

  // A write lease, while ours alone holds it open: anyone who opens the name
  // from then on (and might write after the rename, into a file gone) waits,
  // and shows as a lease no longer whole. Closing the placeholder ends it.
  // Refused while another program has already opened it (between the create
  // and the lease): that one may write at any moment, even after the last
  // check, into a file that fusefat frees at the rename. The name is ours
  // again only once it lets go with nothing written; false when held on.
  bool Lease() {
#ifdef __linux__
    IgnoreLeaseBreaks();
    for (int attempt = 0; fd_ >= 0 && known_; ++attempt) {
      leased_ = fcntl(fd_, F_SETLEASE, F_WRLCK) == 0;
      if (leased_ || errno != EAGAIN) return true;  // or no leases here: the other checks stand
      if (attempt == kLetGoAttempts || Check() != Holder::Us) return false;
      WaitToLetGo();
    }
#endif
    return true;
  }

  // Gives the name up after a failure of our own: the placeholder goes while
  // it is still ours, looked at again while a look fails.
  bool GiveUp(int error) {
    Close();
    if (!known_) {
      // Its identity never known: an empty file of ours under the name is it.
      struct stat now;
      if (FreshLstat(at_, now) == 0 && S_ISREG(now.st_mode) && now.st_size == 0 && now.st_uid == geteuid())
        unlinkat(at_.dir(), at_.name(), 0);
      errno = error;
      return false;
    }
    Holder holder = Check();
    for (int attempt = 0; holder == Holder::Unknown && attempt < kLetGoAttempts; ++attempt) {
      WaitToLetGo();
      holder = Check();
    }
    if (holder == Holder::Us) unlinkat(at_.dir(), at_.name(), 0);
    errno = error;
    return false;
  }

  // Leaves the name to the program that opened or wrote into it.
  bool LeaveToAnother() {
    Close();
    errno = EEXIST;
    return false;
  }

 private:
  const PathAt& at_;
  int fd_ = -1;
  bool known_ = false, leased_ = false;
  struct stat mine_ {};
};

}  // namespace

bool RenameOverPlaceholder(const char* source, const char* destination, MoveSteps* steps,
                           bool keepOpen, bool mayGoBack) {
  const PathAt from(source), to(destination);
  return RenameOverPlaceholder(source, destination, from, to, steps, keepOpen, mayGoBack);
}

bool RenameOverPlaceholder(const char* source, const char* destination, const PathAt& from, const PathAt& to,
                           MoveSteps* steps, bool keepOpen, bool mayGoBack) {
  EndingSignalsHeld held;  // a signal never ends the run with the placeholder or its bytes out
  // The journal hears of it first: a run killed from here on leaves the next
  // one an empty file it knows to remove while the source is still there.
  const std::string reserved(destination);
  BeginInFlight(InFlightKind::Placeholder, reserved, source);
  struct Settle {
    const std::string& path;
    ~Settle() { SettledInFlight(path); }
  } settle{reserved};
  Placeholder placeholder(to);
  if (!placeholder.Made()) return false;  // EEXIST: the name is taken
  if (!keepOpen && !placeholder.Close()) return placeholder.GiveUp(errno);
  if (steps) steps->AtStep(MoveStep::Reserved, destination);
  if (!placeholder.Lease()) return placeholder.LeaveToAnother();
  switch (placeholder.Check()) {
    case Holder::Us: break;
    case Holder::Another: return placeholder.LeaveToAnother();
    case Holder::Unknown: return placeholder.GiveUp(errno);
  }
  if (steps) steps->AtStep(MoveStep::Renaming, destination);
  const auto renameOver = [&] {
    return renameat(from.dir(), from.name(), placeholder.at().dir(), placeholder.at().name()) == 0;
  };
  bool renamed = renameOver();
  if (!renamed && errno == EBUSY && placeholder.Open()) {
    Learn(placeholder.device(), Way::ClosedPlaceholder);
    const bool closed = placeholder.Close();
    const Holder holder = placeholder.Check();
    if (holder == Holder::Another) return placeholder.LeaveToAnother();
    if (!closed || holder != Holder::Us) return placeholder.GiveUp(closed ? errno : EIO);
    renamed = renameOver();
  }
  if (!renamed) return placeholder.GiveUp(errno);
  // Through FUSE a rename of one entry onto itself answers success and does
  // nothing: only a source name now free shows that the file has arrived,
  // before anything (an old file's removal) is done on the strength of it.
  struct stat left;
  if (fstatat(from.dir(), from.name(), &left, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
    return placeholder.GiveUp(EBUSY);
  struct stat through;
  if (!placeholder.Open() || placeholder.LeaseWhole() || fstat(placeholder.fd(), &through) != 0 ||
      through.st_size == 0)
    return true;
  const bool back = mayGoBack && RenameOverPlaceholder(destination, source, to, from, nullptr, true, false);
  KeepWrittenBytes(placeholder.fd(), through, destination);
  if (!back) return true;  // the episode stays moved; the bytes wait under a hidden name
  errno = EEXIST;
  return false;
}
