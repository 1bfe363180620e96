// The way to take a name on file systems that can neither rename without
// replacing nor link (exFAT, FAT, SMB through FUSE): the name reserved with an
// empty file of our own, renamed over once it is checked to be still ours.
#pragma once

#include "platform/file_system.h"

// Reserves `destination` with an empty file of our own, then renames
// `source` over it once it is checked, on its path and on its descriptor, to
// be still ours and empty. The only rename(2) that may replace, and it
// replaces nothing but the placeholder. Another program that opens the name
// without O_EXCL meanwhile (a shell redirect, a downloader) writes into the
// placeholder: a file with anything in it is never renamed over nor removed.
// Bytes written between the last check and the rename are still there
// through the descriptor kept open: the episode goes back, and the writer's
// bytes take the name as though the writer had come first. An SMB server
// refuses to rename over an open file: there (keepOpen false) the
// placeholder is closed before the rename, and one that is open elsewhere
// stays unreplaced. Whatever fails, our own placeholder never stays.
bool RenameOverPlaceholder(const char* source, const char* destination, MoveSteps* steps,
                           bool keepOpen, bool mayGoBack = true);
// The same with both names reached through folders the caller holds open.
class PathAt;
bool RenameOverPlaceholder(const char* source, const char* destination, const PathAt& from, const PathAt& to,
                           MoveSteps* steps, bool keepOpen, bool mayGoBack = true);
