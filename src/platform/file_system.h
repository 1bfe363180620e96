// File-system queries and changes as plain answers: none of them prints or raises.
#pragma once

#include "platform/text.h"

// Whether the platform looks names up without regard to letter case.
#ifdef _WIN32
inline constexpr bool kNamesIgnoreCase = true;
#else
inline constexpr bool kNamesIgnoreCase = false;
#endif

// True for an existing folder, links followed. A path whose attributes cannot
// be read counts as a folder unless the failure says it is absent or malformed.
bool FolderExists(const NativeString& path);

// True for an existing entry that is not a folder, links followed.
bool FileEntryExists(const NativeString& path);

// Creates exactly one folder level; false if it exists or its parent is missing.
bool MakeFolder(const NativeString& path);

// Removes a file or a link (to a file or a folder); never a real folder, and
// never a read-only file. On failure LastErrorCode() tells why the deletion failed.
bool RemoveFile(const NativeString& path);

// True when RemoveFile would remove the entry: a file or a link, not a real
// folder, nor a read-only file (on POSIX: one without any write permission bit).
bool IsRemovableEntry(const NativeString& path);

// True when a failed move's error code says the destination name is taken.
bool IsNameClash(int code);

// Renames within one file system, never over an existing entry; across file
// systems (POSIX) a flushed copy moved into place, then the removal of the
// source while it is still the file copied. A failure leaves things as they were.
bool MoveFileNoReplace(const NativeString& source, const NativeString& destination);

// Only the platform's own no-replace rename, with no fallback, or false at
// once where there is none (Windows, a file system that refuses it). It
// answers by itself what the checks of a move would find out.
bool RenameNoReplaceOnly(const NativeString& source, const NativeString& destination);

// Copies a file, failing when the destination exists.
bool CopyFileNoReplace(const NativeString& source, const NativeString& destination);

// Removes a copy this program has just made (read-only or not).
void DiscardCopy(const NativeString& path);

// While a move runs, an old file set aside for it goes back to its own name
// should SIGINT, SIGTERM or SIGHUP end the process (POSIX); an empty aside
// ends that.
void PutBackOnInterrupt(const NativeString& aside, const NativeString& ownName);

#ifndef _WIN32
namespace file_move_testing {
// Runs once a copy across file systems has its content, to play a writer.
extern void (*duringCopy)(const char* source);
}  // namespace file_move_testing
#endif

// The path resolved against the current folder, into full. errorCode is 0 on
// success, 2 for a path that merely does not exist, anything else for a refusal.
void FullPathName(const NativeString& path, NativeString& full, int& errorCode);

// The platform's last error code (GetLastError, errno).
int LastErrorCode();

// The system's text for an error code, without a trailing full stop or blank.
NativeString SystemErrorText(int code);

// The path with one delimiter appended unless it already ends in one.
// Nothing else changes: no trimming, and "/" is not a delimiter on Windows.
inline NativeString WithTrailingDelimiter(NativeStringView path) {
  NativeString result(path);
  if (result.empty() || result.back() != kDelimiter) result.push_back(kDelimiter);
  return result;
}

struct FolderEntry {
  NativeStringView name;  // valid until the listing moves on
  bool isFolder = false;  // "." and "..", sub-folders and links to folders
  bool isRegular = false; // known without a further call to be a plain file (never a link)
};

// One pass over the entries of a folder, in the platform's order. An opening
// that fails gives an empty listing. It keeps delivering the remaining entries
// while files leave the folder and folders appear in it.
class FolderListing {
 public:
  explicit FolderListing(const NativeString& folderWithDelimiter);
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  bool HasEntry() const { return hasEntry_; }
  const FolderEntry& Entry() const { return entry_; }
  void Advance();

 private:
  void* handle_ = nullptr;
  bool hasEntry_ = false;
  FolderEntry entry_;
  void* data_ = nullptr;  // the platform's entry record, where it needs one
};
