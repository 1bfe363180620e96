// Where the sweep puts an episode: a program's rule for reading a name and
// finding, or naming, the folder it goes into. The sweep asks, in the same
// order for every program; the effects act and say what they did.
#pragma once

#include "core/folder_index.h"
#include "platform/text.h"

class SweepEffects;

class Placement {
 public:
  virtual ~Placement() = default;
  // Once, before the first entry: the folder the show folders are in (with
  // its delimiter), an index of its sub-folders, and the effects, which
  // answer whether a folder is there and may serve.
  virtual void Begin(const NativeString& library, FolderIndex& folders, SweepEffects& effects) {
    library_ = &library;
    folders_ = &folders;
    effects_ = &effects;
  }
  // Reads an entry's name; false when it is no episode.
  virtual bool Reads(NativeStringView name) = 0;
  // The key the episode's place is decided under: its show's.
  virtual const NativeString& Key() const = 0;
  // Whether a place, once decided, stands for the rest of the sweep; else
  // it is decided afresh whenever the quick way into it fails.
  virtual bool KeepsDecisions() const { return false; }
  // The episode's show folder: one that is there (true), or the path of one
  // to make (false) with its name in the library.
  virtual bool ShowFolder(NativeString& folder, NativeString& name) = 0;
  // A show folder the sweep has made, by its name.
  virtual void Made(NativeStringView name) { (void)name; }
  // The folder inside the show folder that the episode goes into (replacing
  // `folder`), made where missing; false once its failure has been said.
  // existed: whether that folder was there before; heldElsewhere: another
  // folder of the show holds the file already, and no place is decided.
  virtual bool Inside(const NativeString& source, NativeStringView name, NativeString& folder, bool& existed,
                      bool& heldElsewhere) {
    (void)source, (void)name, (void)folder, (void)existed, (void)heldElsewhere;
    return true;
  }

 protected:
  const NativeString& Library() const { return *library_; }
  FolderIndex& Folders() const { return *folders_; }
  SweepEffects& Effects() const { return *effects_; }

 private:
  const NativeString* library_ = nullptr;
  FolderIndex* folders_ = nullptr;
  SweepEffects* effects_ = nullptr;
};

// tvtidy's and its preview's: the show name the exact rule reads, the folder
// of that name, an entry of that name that blocks it, and else the first
// usable folder of another letter case.
class ExactRule : public Placement {
 public:
  bool Reads(NativeStringView name) override;
  const NativeString& Key() const override { return show_; }
  bool ShowFolder(NativeString& folder, NativeString& name) override;

 private:
  NativeString show_, variant_;
};
