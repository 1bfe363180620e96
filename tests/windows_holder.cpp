// A Windows program that opens files as indexers, scanners and players do,
// for the end-to-end scenarios under Wine. Usage:
//   windows_holder.exe FOLDER STOPFILE WHICH SHARE
// WHICH: "present" holds the files there at its start; "new" opens each file
// that appears later as soon as it can, and keeps it open. SHARE: "delete"
// shares reading, writing and deletion; "nodelete" reading and writing.
// Prints "holding" once ready; when the stop file appears, the names it held.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const std::wstring folder = argv[1], which = argv[3], share = argv[4];
  const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE | (share == L"delete" ? FILE_SHARE_DELETE : 0);
  std::set<std::wstring> held, passed;
  std::vector<HANDLE> handles;
  const auto hold = [&](const std::wstring& name) {
    const HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, shared, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    handles.push_back(file);
    held.insert(name);
  };
  for (const std::wstring& name : FilesIn(folder)) {
    if (which == L"present") hold(name);
    passed.insert(name);
  }
  std::printf("holding\n");
  std::fflush(stdout);
  // A last look once told to stop: whatever is there by then.
  for (bool stopping = false; !stopping; Sleep(1)) {
    stopping = GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES;
    if (which == L"new")
      for (const std::wstring& name : FilesIn(folder))
        if (passed.count(name) == 0 && held.count(name) == 0) hold(name);
  }
  for (const HANDLE file : handles) CloseHandle(file);
  for (const std::wstring& name : held) std::printf("%ls\n", name.c_str());
  return 0;
}
