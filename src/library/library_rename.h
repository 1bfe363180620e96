// tvtidy-link --rename: the library's names follow the form media servers
// document, so that every one of them reads each episode's season and
// number alike; the download keeps the name it came with.
#pragma once

#include <functional>

#include "platform/text.h"

class LibraryNames {
 public:
  // From now on, episodes in show folders of `library` (as the sweep is
  // given it) take the library's form.
  void RenameIn(const NativeString& library);
  bool On() const { return on_; }
  // The episode's path in the library: its name as media servers read it
  // where it goes into a show folder, else the target as the sweep made it.
  const NativeString& InLibrary(const NativeString& source, const NativeString& target);
  // The last path InLibrary gave, while renaming.
  const NativeString& Renamed() const { return renamed_; }
  // Raises the refusal of a name that another file holds there.
  [[noreturn]] void RefuseTaken(const NativeString& target) const;
  // Raises where a file of the episode's name under another video extension
  // is there (or, for a dry run, in thought: inThought gives the file a
  // path holds then, or null) and is not the file itself: another release.
  void RefuseOtherRelease(const NativeString& file, const NativeString& target,
                          const std::function<const NativeString*(const NativeString&)>& inThought) const;

 private:
  bool on_ = false;
  NativeString library_, renamed_;
};
