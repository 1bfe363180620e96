// Whether a torrent client may still be at work in a folder: a name its
// download folders have, or a file it is still downloading.
#pragma once

#include "platform/text.h"

// A download in progress, by the names clients give one (Transmission,
// qBittorrent, uTorrent, aria2, browsers).
bool IsPartialDownload(NativeStringView name);

// A folder whose own name, or one above it, is a download client's.
bool NamedAsDownloads(NativeStringView base);

// Why a torrent client may still seed from the folder (its name, or one
// above it, is a download folder's; it holds a download in progress), or
// empty when nothing says so.
NativeString SeedingSign(const NativeString& folder);

// Whether a download in progress lies in the folder or below it (links not
// followed): a torrent still being downloaded.
bool HoldsDownloadInProgress(const NativeString& folder);
