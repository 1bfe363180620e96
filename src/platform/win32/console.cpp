#include <windows.h>

#include "platform/console.h"
#include "platform/process.h"

namespace console_platform {

const std::string_view kLineEnd = "\r\n";

namespace {
HANDLE output = nullptr;
UINT codePage = 0;
}  // namespace

OutputKind Open() {
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (codePage == 0)
    codePage = GetFileType(output) == FILE_TYPE_CHAR ? GetConsoleOutputCP() : AnsiCodePage();
  switch (GetFileType(output)) {
    case FILE_TYPE_UNKNOWN:
      CloseHandle(output);
      return OutputKind::Unusable;
    case FILE_TYPE_CHAR:
      return OutputKind::CharacterDevice;
    default:
      return OutputKind::Other;
  }
}

// A console that answers code page 0 leaves it undecided: the next line opens
// the stream again and asks once more.
bool EncodingDecided() { return codePage != 0; }

void Encode(NativeStringView text, std::string& bytes) {
  bytes.clear();
  if (text.empty()) return;
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  bytes.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(codePage, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  MakeLineSafe(bytes);  // no name can end a line or drive the console
}

int Write(const char* bytes, std::size_t count) {
  DWORD written = 0;
  if (WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr)) return 0;
  return static_cast<int>(GetLastError());
}

}  // namespace console_platform
