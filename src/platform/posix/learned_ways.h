// How each file system lets a file take a name without replacing anything,
// as learned in this run: a large folder on exFAT pays the refused calls
// once, not per file.
#pragma once

#include <sys/types.h>

// FUSE file systems (exFAT, NTFS through ntfs-3g, mergerfs) refuse the
// rename flag; exFAT refuses links too; an SMB server refuses to rename over
// an open placeholder; rclone loses a file renamed over one it just created.
enum class Way { RenameFlag, Link, Placeholder, ClosedPlaceholder, CheckedRename };

// The way that the device is known to need; the rename flag until refused.
Way WayFor(dev_t device);
void Learn(dev_t device, Way way);

// Whether any device has refused the rename flag in this run.
bool AnyWayLearned();
