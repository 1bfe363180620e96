#pragma once

#include <cstdint>

#include "platform/text.h"

// Files moved in this run; the driver sets it to 0 and prints it.
extern std::int32_t MovedFileCount;

// Moves every episode file lying in the folder into its show's sub-folder,
// one console line per file looked at and per folder created.
void SweepDirectory(const NativeString& folderPath);
