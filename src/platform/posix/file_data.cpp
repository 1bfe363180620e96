#include "platform/posix/file_data.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ending.h"
#include "platform/progress.h"

namespace {

// A long copy asks between blocks of this size whether it should stop.
constexpr off_t kBlock = 8 << 20;

// Pairs of devices between which the kernel refused copy_file_range, for the
// run: those are copied by hand, the others keep the kernel's copy.
struct DevicePair {
  dev_t from, to;
};
DevicePair refused[16];
size_t refusedCount = 0;

bool Refused(const DevicePair& pair) {
  for (size_t i = 0; i < refusedCount; ++i)
    if (refused[i].from == pair.from && refused[i].to == pair.to) return true;
  return false;
}

bool Stop(bool interruptible) {
  if (!interruptible || !LongWorkStops()) return false;
  errno = EINTR;
  return true;
}

bool CopyRange(int from, int to, off_t start, off_t end, const DevicePair& devices, bool interruptible,
               CopyProgress* progress) {
#ifdef __linux__
  while (start < end && !Refused(devices)) {
    if (Stop(interruptible)) return false;
    loff_t in = start, out = start;
    const off_t want = end - start < kBlock ? end - start : kBlock;
    const ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<size_t>(want), 0);
    if (copied > 0) {
      start += copied;
      if (progress) progress->Reached(static_cast<std::uint64_t>(start));
      continue;
    }
    if (copied == 0) break;  // some file systems stop short: the rest by hand
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    if (refusedCount < sizeof refused / sizeof refused[0]) refused[refusedCount++] = devices;
    else break;
  }
#else
  (void)devices;
#endif
  static char buffer[1 << 16];
  while (start < end) {
    if (Stop(interruptible)) return false;
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
    // asked (through FUSE): the length set at the end fills it in.
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
    if (progress) progress->Reached(static_cast<std::uint64_t>(start));
  }
  return true;
}

}  // namespace

bool CopyContent(int from, int to, off_t size, bool interruptible, CopyProgress* progress) {
  struct stat fromInfo {}, toInfo {};
  fstat(from, &fromInfo);
  fstat(to, &toInfo);
  const DevicePair devices{fromInfo.st_dev, toInfo.st_dev};
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
    if (!CopyRange(from, to, data, hole, devices, interruptible, progress)) return false;
    position = hole;
  }
  // The length, where a hole ends the file: fusefat refuses any truncation,
  // so there the last byte, a zero, is written instead.
  struct stat copied;
  if (fstat(to, &copied) == 0 && copied.st_size == size) return true;
  if (ftruncate(to, size) == 0) return true;
  const char zero = 0;
  return size > 0 && copied.st_size < size && pwrite(to, &zero, 1, size - 1) == 1;
}

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
