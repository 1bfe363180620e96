// Folders held open for the run: a move between two of them names only its
// last components, so that no path is walked again from the root (on a FUSE
// disk or a share, every component looked up again is a round trip).
#pragma once

#include <sys/types.h>

#include <string_view>

struct HeldFolder {
  int fd = -1;
  dev_t device = 0;
};

// The folder (a path ending in its delimiter), opened on its first use;
// false when it cannot be opened. The descriptor stays valid until LetGoOf
// or the next HeldFolderOf.
bool HeldFolderOf(std::string_view folder, HeldFolder& held);

// Closes the folder's descriptor, so that the next use looks it up by its
// path again: after any refusal, the folder may have been renamed or removed.
void LetGoOf(std::string_view folder);
