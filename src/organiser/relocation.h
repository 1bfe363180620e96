#pragma once

#include <functional>

#include "platform/text.h"

// Moves one file to a new full name after validating both paths; never
// replaces an existing file. Every refusal or failure is raised as one of the
// error kinds of platform/errors.h.
void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath);

// The path resolved against the current folder; raises ENotSupportedException.
NativeString ExpandToFullPath(const NativeString& path);

// The checks made on each path before anything on disk changes.
void CheckRelocationPath(const NativeString& path, bool mustExist);

namespace relocation_testing {
// Runs between the checks and the move, to play a rival process.
extern std::function<void()> afterChecks;
}  // namespace relocation_testing
