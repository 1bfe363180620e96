// The Windows floor for the call count (bench/wine_calls.py): one listing,
// each show folder made once, one MoveFileW per episode (which copies onto
// another volume by itself); where the name is taken, DeleteFileW and
// MoveFileW again. No checks, no output: the fewest calls that do the job,
// unsafely. The show is the name up to its first dot.
#include <windows.h>

#include <set>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring folder = std::wstring(argv[1]) + L"\\";
  std::set<std::wstring> made;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 1;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::wstring name = found.cFileName, show = folder + name.substr(0, name.find(L'.'));
    if (made.insert(show).second) CreateDirectoryW(show.c_str(), nullptr);
    const std::wstring source = folder + name, target = show + L"\\" + name;
    if (!MoveFileW(source.c_str(), target.c_str()) && GetLastError() == ERROR_ALREADY_EXISTS) {
      DeleteFileW(target.c_str());
      MoveFileW(source.c_str(), target.c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}
