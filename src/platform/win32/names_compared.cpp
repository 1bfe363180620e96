// What two names are to each other where the name alone cannot say it: a
// copy and its original, a name and the look-alike the ANSI page writes.
#include <windows.h>

#include <cstring>
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

bool OnlyAShortNameOf(const NativeString& path) {
  NativeStringView named = path;
  while (named.size() > 1 && named.back() == L'\\') named.remove_suffix(1);
  const NativeStringView name = named.substr(named.find_last_of(L'\\') + 1);
  // Only a name of the 8.3 form can be a short name: no call for the rest.
  const size_t dot = name.find(L'.');
  const bool eightDotThree = name.size() <= 12 && name.find(L' ') == name.npos &&
                             (dot == name.npos ? name.size() <= 8
                                               : dot <= 8 && name.size() - dot - 1 <= 3 &&
                                                     name.find(L'.', dot + 1) == name.npos);
  if (!eightDotThree) return false;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(NativeString(named).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  // Its long name, whatever its letter case, or not this entry's name at all.
  return CompareStringOrdinal(found.cFileName, -1, name.data(), static_cast<int>(name.size()), TRUE) != CSTR_EQUAL;
}

namespace {
// The path split at its last delimiter (trailing ones left out).
void SplitName(const NativeString& path, NativeString& folder, NativeString& name) {
  NativeStringView named = path;
  while (named.size() > 1 && named.back() == L'\\') named.remove_suffix(1);
  const size_t nameAt = named.find_last_of(L'\\');
  folder.assign(nameAt == named.npos ? NativeStringView() : named.substr(0, nameAt + 1));
  name.assign(named.substr(nameAt == named.npos ? 0 : nameAt + 1));
}
bool SameIgnoringCase(const NativeString& a, const NativeString& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}
}  // namespace

bool LookAlikes::Beside(const NativeString& path) {
  NativeString folder, name;
  SplitName(path, folder, name);
  if (folder.empty() || name.empty()) return false;
  auto [at, added] = folders_.try_emplace(folder);
  if (added) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const int length = static_cast<int>(wcslen(found.cFileName));
        const NativeStringView listed(found.cFileName, static_cast<size_t>(length));
        if (listed != L"." && listed != L"..")
          at->second.emplace(InAnsiPage(found.cFileName, length), NativeString(found.cFileName));
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  const auto [first, last] = at->second.equal_range(InAnsiPage(name.c_str(), static_cast<int>(name.size())));
  for (auto other = first; other != last; ++other)
    if (!SameIgnoringCase(other->second, name)) return true;
  return false;
}

void LookAlikes::Moved(const NativeString& from, const NativeString& to) {
  NativeString folder, name;
  SplitName(from, folder, name);
  if (auto listed = folders_.find(folder); listed != folders_.end()) {
    const auto [first, last] = listed->second.equal_range(InAnsiPage(name.c_str(), static_cast<int>(name.size())));
    for (auto entry = first; entry != last; ++entry)
      if (entry->second == name) {
        listed->second.erase(entry);
        break;
      }
  }
  SplitName(to, folder, name);
  if (auto listed = folders_.find(folder); listed != folders_.end())
    listed->second.emplace(InAnsiPage(name.c_str(), static_cast<int>(name.size())), name);
}

bool StampOf(const NativeString& path, FileStamp& stamp) {
  WIN32_FIND_DATAW found;
  if (!SizeAndTime(path, found)) return false;
  stamp.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  stamp.written = static_cast<std::int64_t>((static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                            found.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool LookAtEntry(const NativeString& path, EntryLook& look) {
  look = EntryLook();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  look.removable = RemovableByAttributes(data.dwFileAttributes);
  look.stamped = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  look.stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  look.stamp.written = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
  return true;
}

namespace {
HANDLE OpenToCompare(const NativeString& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

bool SameContent(HANDLE a, HANDLE b) {
  static char mine[1 << 16], theirs[1 << 16];
  for (;;) {
    DWORD got = 0, read = 0;
    if (!ReadFile(a, mine, sizeof mine, &got, nullptr)) return false;
    for (DWORD done = 0; done < got; done += read)
      if (!ReadFile(b, theirs + done, got - done, &read, nullptr) || read == 0) return false;
    if (got == 0) return ReadFile(b, theirs, 1, &read, nullptr) && read == 0;
    if (std::memcmp(mine, theirs, got) != 0) return false;
  }
}
}  // namespace

bool SameBytes(const NativeString& copy, const NativeString& original) {
  if (SameEntry(copy, original)) return false;
  const HANDLE a = OpenToCompare(copy), b = OpenToCompare(original);
  BY_HANDLE_FILE_INFORMATION one, two;
  const auto plain = [](const BY_HANDLE_FILE_INFORMATION& i) {
    return (i.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  };
  const bool same = a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE && GetFileInformationByHandle(a, &one) &&
                    GetFileInformationByHandle(b, &two) && plain(one) && plain(two) &&
                    !(one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
                      one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow) &&
                    one.nFileSizeHigh == two.nFileSizeHigh && one.nFileSizeLow == two.nFileSizeLow &&
                    SameContent(a, b);
  if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
  if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
  return same;
}
