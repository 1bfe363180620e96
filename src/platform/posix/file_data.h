// The bytes of one open file into another: holes kept, the length always
// set, compared byte for byte. Nothing here knows names.
#pragma once

#include <sys/types.h>

// Copies the data regions of the first `size` bytes, so that a sparse file
// stays sparse, and sets the copy's length. An interruptible copy stops
// between blocks when an ending signal waits (EINTR). A progress, where
// given, hears how far the copy has come after each block.
class CopyProgress;
bool CopyContent(int from, int to, off_t size, bool interruptible = true, CopyProgress* progress = nullptr);

// A second read of the source, against the copy, byte for byte.
bool SameContent(int source, int copy, off_t size);
