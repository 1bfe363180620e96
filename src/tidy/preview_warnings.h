// What a user wants to know before a run, beyond its lines: episodes still
// being written, a folder a torrent client may still seed from, sample
// clips, files left behind beside a moved episode, season packs in
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
  std::vector<NativeString> written_, samples_, subFolders_, sidecars_, names_;
  // Why the base folder looks like one a client seeds from, and the folder;
  // empty while nothing says so.
  NativeString seeding_, base_;
  // Each moving episode's path without its extension, as TextKey: a few
  // bytes per file.
  std::unordered_set<std::uint64_t> movedStems_;
  std::map<NativeString, NativeString> shows_;   // show names by their comparison key
};
