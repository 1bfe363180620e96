// A copy onto another file system that loses nothing: into a short hidden
// temporary name beside the destination, flushed, then moved into place
// without replacing anything. The source is left alone here.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/file_system.h"
#include "platform/posix/file_facts.h"

// Copies the file or link at `source` to `destination`, in the folder
// `into` holds open (the destination's, when it was opened): its state at
// the start in `start`, the copy's identity in `copy`. It fails, leaving
// nothing behind, when the source is being written, changed while it was
// copied, or an ending signal came (EINTR).
bool CopyAcross(const std::string& source, const std::string& destination, const OwnedFolder& into,
                struct stat& start, struct stat& copy, MoveSteps* steps);
