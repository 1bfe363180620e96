// Start-up, the command line, the unhandled-failure report and process end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/text.h"

// The process's exit code; the driver sets it to 1.
extern std::int32_t ExitStatus;

// Prepares the process before the driver runs (argc/argv are used on POSIX only).
void StartUp(int argc, char** argv);

// The first argument after the program name; empty when there is none.
NativeString FirstArgument();
// The second; empty when there is none (tvtidy-link's library).
NativeString SecondArgument();
// The n-th (1 for the first, as the companions read options); empty when none.
NativeString ArgumentAt(int n);

// Runs the program's body and ends the process: a failure that nothing
// handled, of whatever kind, ends in the report and exit status 1.
[[noreturn]] void RunProgram(void (*body)());

// Writes out pending output (silently), then ends the process with ExitStatus.
[[noreturn]] void EndProcess();
[[noreturn]] void EndProcessWith(std::int32_t status);

// The platform's own end of the process (process_posix.cpp, process_win32.cpp).
[[noreturn]] void ExitProcessWith(std::int32_t status);

// A saved log, or standard input for "-", read a line at a time, never
// whole: a file that is no log (a video given by mistake) costs one block.
class LogInput {
 public:
  explicit LogInput(const NativeString& path);
  ~LogInput();
  LogInput(const LogInput&) = delete;
  LogInput& operator=(const LogInput&) = delete;
  // False with LastErrorCode() when it cannot be read.
  bool Opened() const { return handle_ != kNone; }
  // The next line's bytes without its line end; false at the end, on a read
  // that fails, or for a line longer than any of the programs' (TooLong).
  bool NextLine(std::string& line);
  bool TooLong() const { return tooLong_; }

 private:
  static constexpr std::intptr_t kNone = -1;
  // The platform's halves: open, a read of some bytes (0 at the end, -1 on failure), close.
  static std::intptr_t Open(const NativeString& path);
  static long ReadSome(std::intptr_t handle, char* into, std::size_t most);
  static void Close(std::intptr_t handle);
  std::intptr_t handle_ = kNone;
  bool standardInput_;  // never closed here
  std::string buffer_;
  std::size_t at_ = 0;
  bool ended_ = false, tooLong_ = false;
};

// A saved log's text: on Windows in the ANSI code page that output to a file
// is written in (UTF-8 after a byte-order mark), on POSIX the bytes.
NativeString TextOfLog(std::string_view bytes);

// Whether the log's names were written in the ANSI code page (Windows, no
// UTF-8 mark), where a letter the page lacks became a look-alike.
bool LogInAnsiPage(std::string_view bytes);

// A line on standard error for what the user must find by hand (a file left
// under a hidden name); standard output's lines stay as they are.
void WriteNotice(NativeStringView text);

// Whether standard error is a terminal (asked once): only there is a line
// redrawn in place.
bool StandardErrorIsTerminal();
// The terminal's width in columns, asked each time (a window resized); 80
// where it does not say.
std::size_t TerminalColumns();
// A clock that only goes forward, in milliseconds from an arbitrary start.
std::uint64_t MonotonicMilliseconds();
// The text on standard error as it is, with no line end.
void WriteToTerminal(NativeStringView text);

// Reports an error that nothing handled on standard error and ends with status 1.
[[noreturn]] void ReportUnhandledFailure(const Exception& error);

// The two lines of the report, each ended by lineEnd, at most 1,024 units.
template <typename Char>
std::basic_string<Char> FailureReportText(std::string_view kindName,
                                          std::basic_string_view<Char> moduleName,
                                          std::uintptr_t offset,
                                          std::basic_string_view<Char> message,
                                          std::string_view lineEnd) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::basic_string<Char> text = FromAscii<Char>("Exception ");
  text += FromAscii<Char>(kindName);
  text += FromAscii<Char>(" in module ");
  text += moduleName;
  text += FromAscii<Char>(" at ");
  for (int shift = 28; shift >= 0; shift -= 4) text.push_back(Char(kHex[(offset >> shift) & 0xF]));
  text += FromAscii<Char>(".");
  text += FromAscii<Char>(lineEnd);
  text += message;
  if (!message.empty() && message.back() != Char('.')) text.push_back(Char('.'));
  text += FromAscii<Char>(lineEnd);
  if (text.size() > 1024) text.resize(1024);
  return text;
}

#ifdef _WIN32
// The ANSI code page, read once at start-up.
unsigned AnsiCodePage();
#else
// True when the descriptor was closed when the process started; it is held
// on the null device since then, so that no file the program opens takes it.
bool StandardStreamWasClosed(int fd);
#endif
