// tvtidy-link --move: the library's way of reading names and placing files,
// with a move's promises: never onto a taken name, a copy onto another disk
// made whole under a hidden name before the download goes.
#pragma once

#include "library/hard_link.h"

class LibraryMoveEffects : public LinkEffects {
 public:
  LibraryMoveEffects() { move_ = true; }
  // A torrent still being downloaded keeps every file: its client would
  // download again what was moved out of it.
  bool GoesThrough(const NativeString& path, int depth) override;

 protected:
  bool QuickWayOnly(const NativeString& source, const NativeString& target) override;
  // The same questions as a link's, the download leaving its folder.
  void Place(const NativeString& source, const NativeString& target) override;

 private:
  void WouldMove(const NativeString& source, const NativeString& target);
  // Where the library holds a file of the target's name: the download
  // itself (already there), or another one (raised).
  void TakenByTheFile(const NativeString& source, const NativeString& target);
  QuickWay quick_;  // the folders the renames hold open, for the run
};
