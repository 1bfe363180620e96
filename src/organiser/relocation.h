#pragma once

#include "platform/file_system.h"
#include "platform/text.h"

// Moves one file to a new full name after validating both paths; never
// replaces an existing file. Every refusal or failure is raised as one of the
// error kinds of platform/errors.h.
// steps: where a test steps in; none for tvtidy itself.
void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath,
                  MoveSteps* steps = nullptr);

// Moves a plain file by the platform's no-replace rename alone, once the
// paths' text passes the checks; false, with nothing changed, whenever that
// is not enough. RelocateFile then decides. The POSIX build only.
bool TryQuickRelocate(const NativeString& sourcePath, const NativeString& destinationPath);

// Whether the paths' text passes the checks, so that a single call that
// refuses on its own (a no-replace rename, a new link) may stand in for the
// rest of them. Never on Windows, whose build makes its calls as named.
bool QuickPathsPass(const NativeString& sourcePath, const NativeString& destinationPath);

// The path resolved against the current folder; raises ENotSupportedException.
NativeString ExpandToFullPath(const NativeString& path);

// The checks made on each path before anything on disk changes.
void CheckRelocationPath(const NativeString& path, bool mustExist);

// What the checks of a move ask of the disk. A run asks the disk itself; a
// preview answers with the disk as the run will have changed it by then.
class DiskView {
 public:
  virtual ~DiskView() = default;
  virtual bool FolderExists(const NativeString& path) const { return ::FolderExists(path); }
  virtual bool FileEntryExists(const NativeString& path) const { return ::FileEntryExists(path); }
  virtual bool EntryExists(const NativeString& path) const { return ::EntryExists(path); }
  virtual bool SameEntry(const NativeString& a, const NativeString& b) const { return ::SameEntry(a, b); }
  virtual bool IsRemovableEntry(const NativeString& path) const { return ::IsRemovableEntry(path); }
};
const DiskView& TheDisk();

// The steps of a move that change nothing: both paths resolved and checked.
// Raises as RelocateFile would.
void CheckMove(const NativeString& sourcePath, const NativeString& destinationPath,
               const DiskView& disk);

// The start of the hidden name an old file waits under while it is replaced.
inline constexpr NativeStringView kAsidePrefix = NATIVE(".tvtidy-old-");

// Whether a move into an existing show folder replaces a file of the same
// name there (set aside, removed once the new one has arrived). Raises, with
// nothing touched, when the move cannot succeed: a check fails, the target is
// the source itself, or a folder or a read-only file holds the name.
bool PlanReplace(const NativeString& sourcePath, const NativeString& destinationPath,
                 const DiskView& disk);
