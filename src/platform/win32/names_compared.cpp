// What two names are to each other where the name alone cannot say it: a
// copy and its original, a name and the look-alike the ANSI page writes.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/file_system.h"

namespace {
// A file's size and last write time as its folder's listing gives them.
bool SizeAndTime(const NativeString& path, WIN32_FIND_DATAW& found) {
  const HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}
}  // namespace

bool CopyOfFile(const NativeString& copy, const NativeString& original) {
  WIN32_FIND_DATAW made, from;
  if (!SizeAndTime(copy, made) || !SizeAndTime(original, from)) return false;
  const auto time = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  const long long apart = time(made.ftLastWriteTime) - time(from.ftLastWriteTime);  // in 100 ns
  return made.nFileSizeHigh == from.nFileSizeHigh && made.nFileSizeLow == from.nFileSizeLow &&
         apart < 20'000'000 && apart > -20'000'000;
}

namespace {
// A name as output to a file writes it: the ANSI code page, its best fit
// for a letter it lacks.
std::string InAnsiPage(const wchar_t* name, int length) {
  const int size = WideCharToMultiByte(CP_ACP, 0, name, length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, name, length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}
}  // namespace

bool LookAlikeBeside(const NativeString& path) {
  NativeStringView named = path;
  while (named.size() > 1 && named.back() == L'\\') named.remove_suffix(1);
  const size_t nameAt = named.find_last_of(L'\\');
  if (nameAt == named.npos) return false;
  const NativeStringView name = named.substr(nameAt + 1);
  const std::string written = InAnsiPage(name.data(), static_cast<int>(name.size()));
  const NativeString pattern = NativeString(named.substr(0, nameAt + 1)) + L"*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool alike = false;
  do {
    const int length = static_cast<int>(wcslen(found.cFileName));
    alike = CompareStringOrdinal(found.cFileName, length, name.data(), static_cast<int>(name.size()), TRUE) !=
                CSTR_EQUAL &&
            InAnsiPage(found.cFileName, length) == written;
  } while (!alike && FindNextFileW(search, &found));
  FindClose(search);
  return alike;
}
