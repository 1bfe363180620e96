// tvtidy-link's placement: a library as people keep it. Each show's folder
// is the one a person takes for it, whatever its spelling, or a new one
// named cleanly; each episode goes into its season's folder where the show
// keeps them. Decided once a run per show and season.
#pragma once

#include <vector>

#include "episode/episode_name.h"
#include "core/placement.h"
#include "library/read_alike.h"

class LinkEffects;

class LibraryPlacement : public Placement {
 public:
  explicit LibraryPlacement(LinkEffects& effects) : link_(effects) {}
  void Begin(const NativeString& library, FolderIndex& folders, SweepEffects& effects) override;
  bool Reads(NativeStringView name) override;
  const NativeString& Key() const override { return key_; }
  bool KeepsDecisions() const override { return true; }
  bool ShowFolder(NativeString& folder, NativeString& name) override;
  void Made(NativeStringView name) override { readAlike_.Add(name); }
  bool Inside(const NativeString& source, NativeStringView name, NativeString& folder, bool& existed,
              bool& heldElsewhere) override;

 private:
  LinkEffects& link_;
  std::vector<EpisodeReading> readings_;  // the leftmost marker first
  size_t chosen_ = 0;                     // the one whose show the library holds
  NativeString key_, cleanName_, variant_;
  std::vector<NativeString> others_;  // other folders of the show
  ReadAlikeFolders readAlike_;        // read on the first show looked for
};

// tvtidy-link's sweep of one folder into the library.
void SweepIntoLibrary(const NativeString& folderPath, const NativeString& library, LinkEffects& effects);
