// A Windows program that keeps a file open as download clients and media
// servers do (sharing reading, writing and deletion) and appends a numbered
// block to it every so often, until a stop file appears; for the end-to-end
// scenarios under Wine. Usage: windows_writer.exe FILE STOPFILE MILLISECONDS;
// prints "open" once the file is open, then the number of blocks written.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("open\n");
  std::fflush(stdout);
  int written = 0;
  for (;; ++written) {
    char block[16];
    const int length = std::snprintf(block, sizeof block, "writer%04d\n", written);
    DWORD done = 0;
    if (!WriteFile(file, block, static_cast<DWORD>(length), &done, nullptr) || done != static_cast<DWORD>(length))
      break;
    if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) {
      ++written;
      break;
    }
    Sleep(static_cast<DWORD>(_wtoi(argv[3])));
  }
  CloseHandle(file);
  std::printf("%d\n", written);
  return 0;
}
