// The name an episode takes in the library with --rename: the form media
// servers document, whatever form the release's name had.
#pragma once

#include "episode/episode_name.h"
#include "platform/text.h"

// "<show> - S01E05", "<show> - S01E01-E02" (several in one file),
// "<show> - 2024-01-15" (a daily show), "<show> - S01E366" (numbered from
// the first episode: season 1, as the library keeps such shows), without
// an extension.
NativeString LibraryEpisodeStem(NativeStringView showFolder, const EpisodeReading& reading);
