// A file takes a new name in its file system without replacing anything,
// whichever way that file system allows: the kernel's no-replace rename, a
// new link and the old name removed, a placeholder, or (rclone) a rename onto
// a name checked free. Paths may be longer than PATH_MAX where the last name
// fits in its folder.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/file_system.h"
#include "platform/posix/held_folders.h"

bool RenameNoReplace(const char* source, const char* destination, MoveSteps* steps = nullptr);
// The same with both names reached as given (a folder the caller holds);
// the paths name them in what the steps are told and in what a refusal means.
class PathAt;
bool RenameNoReplaceAt(const PathAt& from, const PathAt& to, const char* source, const char* destination,
                       MoveSteps* steps = nullptr);

// The kernel's no-replace rename alone; false with EINVAL where there is none.
bool RenameWithFlag(const char* source, const char* destination);

// Moves a name to a fresh hidden one (random, just made up, in its folder) in
// one step: whatever holds the name at that instant is what moves, and a file
// renamed onto the old name a moment later stays under it. Where the
// kernel's no-replace rename is refused, a plain rename onto the fresh name
// checked free: a link then an unlink, or a placeholder, would take two
// steps, between which a newer file could take the old name and go instead.
// known: a look at the file under `source`, where the caller holds one.
bool RenameToFreshName(const char* source, const char* fresh, const struct stat* known = nullptr);

// The way this device is known to take, alone, between folders held open
// for the run: the kernel's no-replace rename, a new link and the old name
// removed, or a placeholder. False, with nothing changed, wherever that way
// alone does not answer (another disk, a way not learned yet, a cloud mount):
// the full way decides then.
bool RenameByLearnedWayOnly(const std::string& source, const std::string& destination, HeldFolders& folders,
                            MoveSteps* steps);
