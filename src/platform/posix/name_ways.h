// A file takes a new name in its file system without replacing anything,
// whichever way that file system allows: the kernel's no-replace rename, a
// new link and the old name removed, a placeholder, or (rclone) a rename onto
// a name checked free. Paths may be longer than PATH_MAX where the last name
// fits in its folder.
#pragma once

#include "platform/file_system.h"

bool RenameNoReplace(const char* source, const char* destination, MoveSteps* steps = nullptr);

// The kernel's no-replace rename alone; false with EINVAL where there is none.
bool RenameWithFlag(const char* source, const char* destination);
