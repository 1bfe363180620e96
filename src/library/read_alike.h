// tvtidy-link's library read as a person reads it: each show folder by every
// reading of its name (show_name.h), so that "Doctor.Who.2005.S04E06" finds
// an existing "Doctor Who (2005)" and "the_office_us" finds "The Office
// (US)". A folder that an earlier run made under the exact rule's name is
// read like any other. Read once, on the first show looked for; it grows
// with the folders the run makes.
#pragma once

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "episode/show_name.h"
#include "core/folder_index.h"
#include "platform/letter_case.h"

class ReadAlikeFolders {
 public:
  // The library folder that is the same show as the release whose show the
  // exact rule names `show`: the best match among those `usable` accepts.
  // Where two match equally well, the first in byte order, every time, and
  // a warning names both.
  // others: every other folder that reads as the same show, usable or not.
  bool Find(NativeStringView show, FolderIndex& folders, const std::function<bool(NativeStringView)>& usable,
            NativeString& found, std::vector<NativeString>& others);
  void Add(NativeStringView folderName);
  // A folder the disk's listing will not have (made in thought): read with it.
  void AddUnlisted(NativeStringView folderName) { unlisted_.emplace_back(folderName); }

 private:
  std::vector<NativeString> unlisted_;
  struct KeyLess {
    bool operator()(const NativeString& a, const NativeString& b) const { return CompareCaseKeys(a, b) < 0; }
  };
  std::multimap<NativeString, size_t, KeyLess> byKey_;  // every reading's key, to its folder
  std::vector<std::pair<NativeString, std::vector<ShowReading>>> folders_;
  bool loaded_ = false;
};
