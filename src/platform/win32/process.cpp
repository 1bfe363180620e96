#include <windows.h>

#include <cstdlib>

#include "platform/command_line.h"
#include "platform/console.h"
#include "platform/process.h"

namespace {
UINT ansiCodePage = 0;
NativeString commandLine;
}  // namespace

void StartUp(int, char**) {
  ansiCodePage = GetACP();
  const wchar_t* line = GetCommandLineW();
  commandLine = line != nullptr ? line : L"";
}

unsigned AnsiCodePage() { return ansiCodePage; }

NativeString FirstArgument() { return FirstArgumentOf<wchar_t>(commandLine); }
NativeString SecondArgument() { return ArgumentOf<wchar_t>(commandLine, 2); }
NativeString ArgumentAt(int n) { return ArgumentOf<wchar_t>(commandLine, n); }

void ExitProcessWith(std::int32_t status) { ExitProcess(static_cast<UINT>(status)); }

namespace {
void WriteToStandardError(const char* bytes, DWORD count) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, count, &written, nullptr);
}

// Standard error takes text in the OEM code page, as the console shows it.
void WriteTextToStandardError(std::wstring_view text) {
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_OEMCP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_OEMCP, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  WriteToStandardError(bytes.data(), static_cast<DWORD>(bytes.size()));
}
}  // namespace

// The console (or the null device, where nobody sees it).
bool StandardErrorIsTerminal() {
  static const bool terminal = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
  return terminal;
}
void WriteToTerminal(NativeStringView text) { WriteTextToStandardError(text); }
std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<std::size_t>(columns) : 80;
}
std::uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

// A notice names files too: safe as standard output's lines are.
void WriteNotice(NativeStringView text) {
  NativeString line(text);
  MakeLineSafe(line);
  WriteTextToStandardError(line);
  WriteToStandardError("\r\n", 2);
}

// UnhandledExceptionFilter is not consulted: on a machine with error
// reporting enabled it can hold an unattended run on a dialog. The program's
// own errors always end in this report instead.
void ReportUnhandledFailure(const Exception& error) {
  std::wstring module;
  std::uintptr_t offset = 0;
  MEMORY_BASIC_INFORMATION region{};
  if (error.raiseAddress != nullptr &&
      VirtualQuery(error.raiseAddress, &region, sizeof region) != 0) {
    wchar_t name[MAX_PATH + 1] = {};
    const DWORD length =
        GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), name, MAX_PATH);
    module.assign(name, length);
    offset = reinterpret_cast<std::uintptr_t>(error.raiseAddress) -
             reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  }
  module = module.substr(module.find_last_of(L'\\') + 1);

  // Every earlier console line comes before the report. A failure to write
  // them now is not raised again: the report says what went wrong first.
  WritePendingOutput();
  IoErrorCode = 0;

  std::wstring message(error.Message());
  MakeLineSafe(message);
  const std::wstring report =
      FailureReportText<wchar_t>(error.KindName(), module, offset, message, console_platform::kLineEnd);
  WriteTextToStandardError(report);
  WriteToStandardError("\r\n", 2);
  EndProcessWith(1);
}

std::intptr_t LogInput::Open(const NativeString& path) {
  const HANDLE file = path == L"-" ? GetStdHandle(STD_INPUT_HANDLE)
                                   : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE || file == nullptr ? kNone : reinterpret_cast<std::intptr_t>(file);
}

long LogInput::ReadSome(std::intptr_t handle, char* into, std::size_t most) {
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(handle), into, static_cast<DWORD>(most), &got, nullptr))
    return static_cast<long>(got);
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;  // a pipe whose writer has closed ends the input
}

void LogInput::Close(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

bool LogInAnsiPage(std::string_view bytes) {
  return bytes.substr(0, 3) != "\xEF\xBB\xBF" && AnsiCodePage() != CP_UTF8;
}

NativeString TextOfLog(std::string_view bytes) {
  UINT page = AnsiCodePage();
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    page = CP_UTF8;
    bytes.remove_prefix(3);
  }
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int size = MultiByteToWideChar(page, 0, bytes.data(), length, nullptr, 0);
  NativeString text(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(page, 0, bytes.data(), length, text.data(), size);
  return text;
}
