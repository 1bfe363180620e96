#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/console.h"
#include "platform/process.h"

namespace {
std::vector<NativeString> arguments;  // argv without its empty entries
bool closedAtStart[3] = {false, false, false};
}  // namespace

void StartUp(int argc, char** argv) {
  // A reader that goes away must be an error code, not a killed process; so
  // must a file-size limit met while copying.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      closedAtStart[fd] = true;
      // Occupy the number: otherwise the next file opened (a listing, a copy)
      // would become "standard output" and receive the console lines.
      const int held = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (held >= 0 && held != fd) {
        dup2(held, fd);
        close(held);
      }
    }
  }
  for (int i = 0; i < argc; ++i)
    if (argv[i] != nullptr && argv[i][0] != '\0') arguments.emplace_back(argv[i]);
}

bool StandardStreamWasClosed(int fd) { return fd >= 0 && fd <= 2 && closedAtStart[fd]; }

NativeString FirstArgument() { return arguments.size() >= 2 ? arguments[1] : NativeString(); }
NativeString SecondArgument() { return ArgumentAt(2); }
NativeString ArgumentAt(int n) {
  return n >= 1 && arguments.size() > static_cast<size_t>(n) ? arguments[static_cast<size_t>(n)] : NativeString();
}

void ExitProcessWith(std::int32_t status) { std::exit(status); }

bool LogInAnsiPage(std::string_view) { return false; }  // a log holds the names' bytes

namespace {
void WriteAllToStandardError(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}
}  // namespace

bool StandardErrorIsTerminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}
void WriteToTerminal(NativeStringView text) { WriteAllToStandardError(text); }
std::size_t TerminalColumns() {
  winsize size{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}
std::uint64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

// A notice names files too: safe as standard output's lines are.
void WriteNotice(NativeStringView text) {
  std::string line(text);
  if (StandardErrorIsTerminal())
    MakeTerminalSafe(line);
  else
    MakeLineSafe(line);
  line.append(console_platform::kLineEnd);
  WriteAllToStandardError(line);
}

void ReportUnhandledFailure(const Exception& error) {
  std::string module;
  std::uintptr_t offset = 0;
  Dl_info info{};
  if (error.raiseAddress != nullptr && dladdr(error.raiseAddress, &info) != 0) {
    if (info.dli_fname != nullptr) module = info.dli_fname;
    offset = reinterpret_cast<std::uintptr_t>(error.raiseAddress) -
             reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
  if (module.empty() && !arguments.empty()) module = arguments[0];
  module = module.substr(module.find_last_of('/') + 1);

  // Every earlier console line comes before the report. A failure to write
  // them now is not raised again: the report says what went wrong first.
  WritePendingOutput();
  IoErrorCode = 0;

  std::string safe(error.Message());
  MakeLineSafe(safe);
  WriteAllToStandardError(FailureReportText<char>(error.KindName(), module, offset, safe, console_platform::kLineEnd));
  WriteAllToStandardError(console_platform::kLineEnd);
  EndProcessWith(1);
}

std::intptr_t LogInput::Open(const NativeString& path) {
  const int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  return fd < 0 ? kNone : fd;
}

long LogInput::ReadSome(std::intptr_t handle, char* into, std::size_t most) {
  for (;;) {
    const ssize_t got = read(static_cast<int>(handle), into, most);
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

void LogInput::Close(std::intptr_t handle) { close(static_cast<int>(handle)); }

NativeString TextOfLog(std::string_view bytes) { return NativeString(bytes); }
