// What a user wants to know before a run, beyond its lines: episodes still
// being written, files left behind beside a moved episode, season packs in
// sub-folders that the run does not enter, and show folder names that look
// unintended. Said on standard error after the preview's lines, which stay
// exactly the run's.
#pragma once

#include <map>
#include <cstdint>
#include <set>
#include <unordered_set>
#include <string>
#include <vector>

#include "platform/text.h"

class PreviewWarnings {
 public:
  // An episode the run would move.
  void Moving(NativeStringView source);
  // A file the run would leave alone, by its bare name.
  void Skipped(NativeStringView base, NativeStringView name);
  // A show folder the run would make, under the base folder.
  void Making(NativeStringView folder, NativeStringView showName);
  // A sub-folder of the base folder, which the run passes over.
  void SubFolder(NativeStringView base, NativeStringView name);
  // Writes every warning, one line each; nothing when there is none.
  void Write() const;

 private:
  std::vector<NativeString> written_, subFolders_, sidecars_, names_;
  // Each moving episode's path without its extension, as TextKey: a few
  // bytes per file.
  std::unordered_set<std::uint64_t> movedStems_;
  std::map<NativeString, NativeString> shows_;   // show names by their comparison key
};
