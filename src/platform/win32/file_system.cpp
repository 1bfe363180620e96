#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/file_system.h"
#include "platform/letter_case.h"

namespace {

HANDLE OpenThroughLink(const NativeString& path, DWORD flags) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags,
                     nullptr);
}

}  // namespace

bool FolderExists(const NativeString& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_NOT_READY:
      case ERROR_BAD_NETPATH:
      case ERROR_BAD_NET_NAME:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
        return false;
      default:
        return true;  // unreadable, not absent
    }
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const HANDLE target = OpenThroughLink(path, FILE_FLAG_BACKUP_SEMANTICS);
  if (target == INVALID_HANDLE_VALUE) return false;
  CloseHandle(target);
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileEntryExists(const NativeString& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME)
      return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  const HANDLE target = OpenThroughLink(path, 0);
  if (target != INVALID_HANDLE_VALUE) {
    CloseHandle(target);
    return true;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;  // there, but held by another process
}

// CreateDirectoryW keeps room for an 8.3 name inside the new folder: it
// refuses a full path of 248 units or more (Wine does not; the rule is
// kept here so that every build and the preview answer as Windows does).
bool FolderPathFits(const NativeString& path) {
  NativeString full;
  int code = 0;
  FullPathName(path, full, code);
  if (full.size() < MAX_PATH - 12) return true;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

bool MakeFolder(const NativeString& path) {
  return FolderPathFits(path) && CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool RemoveFile(const NativeString& path) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const DWORD linkToFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & linkToFolder) == linkToFolder)
    return RemoveDirectoryW(path.c_str()) != 0;  // the link only, never its target
  SetLastError(error);  // report why the deletion failed, not the attribute query
  return false;
}

bool RemovableByAttributes(unsigned long attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool IsRemovableEntry(const NativeString& path) { return RemovableByAttributes(GetFileAttributesW(path.c_str())); }

bool IsNameClash(int code) { return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; }

bool EntryExists(const NativeString& path) { return LookUpEntry(path) != Lookup::Absent; }

Lookup LookUpEntry(const NativeString& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Lookup::There;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
                 error == ERROR_BAD_PATHNAME
             ? Lookup::Absent
             : Lookup::Refused;
}

namespace {
struct Identity {
  DWORD volume = 0, high = 0, low = 0;
  DWORD links = 0;  // not part of what the file is
  bool operator==(const Identity& other) const {
    return volume == other.volume && high == other.high && low == other.low;
  }
};

// The volume and file index of what the path names; a link itself when
// ownEntry, else what it leads to.
bool IdentityOf(const NativeString& path, bool ownEntry, Identity& identity) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownEntry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
              information.nFileIndexLow, information.nNumberOfLinks};
  return known;
}
}  // namespace

bool RemoveSecondName(const NativeString& path, const NativeString& other) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    SetLastError(error);
    return false;
  }
  const bool removed = DeleteFileW(path.c_str()) != 0;
  const DWORD reason = GetLastError();
  // The attribute is the file's: back on whichever name it keeps.
  SetFileAttributesW(removed ? other.c_str() : path.c_str(), attributes);
  SetLastError(reason);
  return removed;
}

bool EntrySize(const NativeString& path, std::uint64_t& size) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  return true;
}

bool RemoveEmptyFolder(const NativeString& path) { return RemoveDirectoryW(path.c_str()) != 0; }

bool LinkRefusedAsOthersFile(const NativeString&, int) { return false; }
bool LinkWouldBeRefusedAsOthersFile(const NativeString&) { return false; }

// A writer that shares neither writing nor deletion refuses this open.
bool MayBeBeingWritten(const NativeString& path) {
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(handle);
  return false;
}

bool MayBeOneFile(const NativeString&, const NativeString&) { return false; }  // NTFS numbers files

bool SameFile(const NativeString& a, const NativeString& b) {
  Identity first, second;
  return IdentityOf(a, true, first) && IdentityOf(b, true, second) && first == second;
}

bool HasOtherNames(const NativeString& path) {
  Identity identity;
  return IdentityOf(path, true, identity) && identity.links > 1;
}

bool MakeHardLink(const NativeString& existing, const NativeString& newName) {
  return CreateHardLinkW(newName.c_str(), existing.c_str(), nullptr) != 0;
}

// A mutex name has room for about 250 units, and a path for 32,767: the name
// holds a hash of the full path, its letters upper-cased as the file system
// compares them (the invariant mapping, whatever the user's locale), so
// that every spelling of one folder takes one lock.
NativeString FolderLockName(const NativeString& folder) {
  NativeString full;
  int code = 0;
  FullPathName(folder, full, code);
  while (!full.empty() && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  for (wchar_t& c : full)
    if (c == L'/') c = L'\\';
  NativeString upper(full.size(), L'\0');
  if (!full.empty() && LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full.data(), static_cast<int>(full.size()),
                                     upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0) == 0)
    upper = full;
  std::uint64_t hash = TextKey(upper);
  wchar_t digits[17];
  for (int at = 15; at >= 0; --at, hash >>= 4) digits[at] = L"0123456789abcdef"[hash & 0xF];
  digits[16] = L'\0';
  return NativeString(L"Local\\tvtidy-link-") + digits;
}

FolderLock::FolderLock(const NativeString& folder) {
  const NativeString name = FolderLockName(folder);
  handle_ = CreateMutexW(nullptr, FALSE, name.c_str());
  // In short waits, so that Ctrl-C still ends a hook that waits its turn;
  // an abandoned mutex is ours too.
  while (handle_ != nullptr && WaitForSingleObject(handle_, 50) == WAIT_TIMEOUT && !EndingSignalPending()) {
  }
}

FolderLock::~FolderLock() {
  if (handle_ == nullptr) return;
  ReleaseMutex(handle_);
  CloseHandle(handle_);
}

bool SameFolder(const NativeString& a, const NativeString& b) {
  Identity first, second;
  return IdentityOf(a, false, first) && IdentityOf(b, false, second) && first == second;
}

// One file; one entry only when both folders are one folder too.
bool SameEntry(const NativeString& a, const NativeString& b) {
  return SameFile(a, b) && SameFolder(FolderPartOf(a), FolderPartOf(b));
}

// Names in one folder that differ only in case are one entry here.
bool TwoNamesOfOneFile(const NativeString& a, const NativeString& b) {
  Identity first, second;
  if (!IdentityOf(a, true, first) || !IdentityOf(b, true, second) || !(first == second) || first.links < 2)
    return false;
  if (!SameFolder(FolderPartOf(a), FolderPartOf(b))) return true;
  const NativeStringView nameA = NativeStringView(a).substr(a.find_last_of(kDelimiter) + 1);
  const NativeStringView nameB = NativeStringView(b).substr(b.find_last_of(kDelimiter) + 1);
  return !nameA.empty() && !IsSelfOrParent(nameA) && CompareIgnoringCase(nameA, nameB) != 0;
}

bool CanonicalPath(const NativeString& path, NativeString& canonical) {
  int code = 0;
  FullPathName(path, canonical, code);
  // A folder named with its delimiter is the same folder; a drive's root keeps it.
  while (canonical.size() > 3 && canonical.back() == L'\\') canonical.pop_back();
  return code == 0 || code == ERROR_FILE_NOT_FOUND;
}

bool LinkTargetOf(const NativeString&, NativeString&) { return false; }

bool MayChangeEntriesIn(const NativeString&) { return true; }

bool NamesIgnoreCaseIn(const NativeString&) { return true; }

bool StoredNameNow(const NativeString& path, NativeString& stored) {
  stored = path;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  stored.replace(path.find_last_of(L'\\') + 1, NativeString::npos, found.cFileName);
  return true;
}

// One volume: the entry's own and the folder's (followed; its parent's where
// it is not made yet). Unknown, it is left to the move itself.
bool OnOneFileSystem(const NativeString& entry, const NativeString& folder) {
  Identity file, place;
  if (!IdentityOf(entry, true, file)) return true;
  NativeString parent = folder;
  while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
  if (!IdentityOf(folder, false, place) && !IdentityOf(FolderPartOf(parent), false, place)) return true;
  return file.volume == place.volume;
}

const int kReadOnlyRefusal = ERROR_ACCESS_DENIED;
const int kOtherDiskRefusal = ERROR_NOT_SAME_DEVICE;

bool MakeFolderOwnedAsItsParent(const NativeString& path) { return MakeFolder(path); }

void FullPathName(const NativeString& path, NativeString& full, int& errorCode) {
  SetLastError(0);
  wchar_t buffer[MAX_PATH];
  wchar_t* filePart = nullptr;
  const DWORD needed = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, &filePart);
  if (needed <= MAX_PATH) {
    full.assign(buffer, needed);
  } else {
    full.resize(needed);
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), &filePart);
    full.resize(written < needed ? written : needed);
  }
  errorCode = static_cast<int>(GetLastError());
}

int LastErrorCode() { return static_cast<int>(GetLastError()); }
void SetLastErrorCode(int code) { SetLastError(static_cast<DWORD>(code)); }

NativeString SystemErrorText(int code) {
  wchar_t* message = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  const DWORD length = FormatMessageW(flags, nullptr, static_cast<DWORD>(code), 0,
                                      reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  NativeString text;
  if (message != nullptr) {
    text.assign(message, length);
    LocalFree(message);
  }
  while (!text.empty() && (IsBlankUnit(text.back()) || text.back() == L'.')) text.pop_back();
  return text;
}

namespace {
void TakeEntry(const WIN32_FIND_DATAW& found, FolderEntry& entry) {
  // A name that fills the whole array without a NUL is taken whole.
  entry.name = NativeStringView(found.cFileName, wcsnlen(found.cFileName, MAX_PATH));
  entry.isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isRegular = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}
}  // namespace

FolderListing::FolderListing(const NativeString& folderWithDelimiter, NativeStringView startingWith) {
  auto* found = new WIN32_FIND_DATAW;
  const NativeString pattern = startingWith.empty() ? folderWithDelimiter + L"*.*"
                                                    : NativeString(folderWithDelimiter).append(startingWith) + L"*";
  const HANDLE search = FindFirstFileW(pattern.c_str(), found);
  if (search == INVALID_HANDLE_VALUE) {
    // An empty drive's root, or no name starting so, matches nothing: empty, not unreadable.
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND) failure_ = static_cast<int>(code);
    delete found;
    return;
  }
  handle_ = search;
  data_ = found;
  hasEntry_ = true;
  TakeEntry(*found, entry_);
}

FolderListing::~FolderListing() {
  if (handle_ != nullptr) FindClose(handle_);
  delete static_cast<WIN32_FIND_DATAW*>(data_);
}

void FolderListing::Advance() {
  auto* found = static_cast<WIN32_FIND_DATAW*>(data_);
  hasEntry_ = handle_ != nullptr && FindNextFileW(handle_, found) != 0;
  if (hasEntry_) TakeEntry(*found, entry_);
}

// ACLs, not owners, decide there: nothing to add to the call's own refusal.
bool MayFollowLink(const NativeString&, bool, NativeString& why) {
  why.clear();
  return true;
}
