#pragma once

#include <functional>

#include "platform/text.h"

// Moves one file to a new full name after validating both paths; never
// replaces an existing file. Every refusal or failure is raised as one of the
// error kinds of platform/errors.h.
void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath);

// Moves a plain file by the platform's no-replace rename alone, once the
// paths' text passes the checks; false, with nothing changed, whenever that
// is not enough. RelocateFile then decides. The POSIX build only.
bool TryQuickRelocate(const NativeString& sourcePath, const NativeString& destinationPath);

// The path resolved against the current folder; raises ENotSupportedException.
NativeString ExpandToFullPath(const NativeString& path);

// The checks made on each path before anything on disk changes.
void CheckRelocationPath(const NativeString& path, bool mustExist);

// Whether a folder is there: the disk's answer, or a preview's, which counts
// the folders the run would have made.
using FolderTest = bool (*)(const NativeString& path);

// The steps of a move that change nothing: both paths resolved and checked,
// the parent folders through folderExists. Raises as RelocateFile would.
void CheckMove(const NativeString& sourcePath, const NativeString& destinationPath,
               FolderTest folderExists);

namespace relocation_testing {
// Runs between the checks and the move, to play a rival process.
extern std::function<void()> afterChecks;
}  // namespace relocation_testing
