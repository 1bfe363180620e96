#include <errno.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/process.h"

namespace console_platform {

const std::string_view kLineEnd = "\n";

namespace {
bool decided = false;
bool onTerminal = false;
}  // namespace

OutputKind Open() {
  struct stat info;
  if (!decided) {
    onTerminal = isatty(STDOUT_FILENO) == 1;
    decided = true;
  }
  if (StandardStreamWasClosed(STDOUT_FILENO) || fstat(STDOUT_FILENO, &info) != 0)
    return OutputKind::Unusable;
  return S_ISCHR(info.st_mode) ? OutputKind::CharacterDevice : OutputKind::Other;
}

bool EncodingDecided() { return decided; }

void Encode(NativeStringView text, std::string& bytes) {
  bytes.assign(text);
  // A file name must not be able to drive the terminal, nor forge a line in
  // a log; files and pipes get the other bytes unchanged.
  if (onTerminal)
    MakeTerminalSafe(bytes);
  else
    MakeLineSafe(bytes);
}

// Windows numbering, so that the same situation reads the same on both builds;
// never a code whose table text means something else.
int WindowsCodeFor(int error) {
  switch (error) {
    case EBADF: return 6;           // ERROR_INVALID_HANDLE
    case EACCES:
    case EPERM: return 5;           // ERROR_ACCESS_DENIED
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return 112;                   // ERROR_DISK_FULL
    case EFBIG: return 223;         // ERROR_FILE_TOO_LARGE
    case EPIPE:
    case ECONNRESET: return 232;    // ERROR_NO_DATA: the pipe is being closed
    case EINVAL: return 87;         // ERROR_INVALID_PARAMETER
    default: return 1117;           // ERROR_IO_DEVICE
  }
}

int Write(const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, count);
    if (written >= 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A non-blocking output that is full: wait until it takes bytes again.
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      poll(&ready, 1, -1);
      continue;
    }
    return WindowsCodeFor(errno);
  }
  return 0;
}

}  // namespace console_platform
