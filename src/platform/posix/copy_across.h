// A copy onto another file system that loses nothing: into a short hidden
// temporary name beside the destination, flushed, then moved into place
// without replacing anything. The source is left alone here.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/file_system.h"

// Copies the file or link at `source` to `destination`: its state at the
// start in `start`, the copy's identity in `copy`. It fails, leaving nothing
// behind, when the source is being written, changed while it was copied, or
// an ending signal came (EINTR).
bool CopyAcross(const std::string& source, const std::string& destination, struct stat& start,
                struct stat& copy, MoveSteps* steps);
