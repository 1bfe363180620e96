// tvtidy-link's library read as a person reads it: each show folder by its
// show's reading (show_name.h), so that "Doctor.Who.2005.S04E06" finds an
// existing "Doctor Who (2005)". Read once, on the first show missing under
// its own name; it grows with the folders the run makes.
#pragma once

#include <functional>
#include <map>
#include <utility>

#include "episode/show_name.h"
#include "organiser/folder_index.h"
#include "platform/letter_case.h"

class ReadAlikeFolders {
 public:
  // The library folder that is the same show as `reading`, the best match
  // among those `usable` accepts. Two that match equally well: no guess,
  // and a warning names both.
  enum Found { None, One, Two };
  Found Find(const ShowReading& reading, FolderIndex& folders, const std::function<bool(NativeStringView)>& usable,
            NativeString& found);
  void Add(NativeStringView folderName);

 private:
  struct KeyLess {
    bool operator()(const NativeString& a, const NativeString& b) const { return CompareCaseKeys(a, b) < 0; }
  };
  std::multimap<NativeString, std::pair<ShowReading, NativeString>, KeyLess> byKey_;
  bool loaded_ = false;
};
