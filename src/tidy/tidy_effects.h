// tvtidy's effects: each episode moved into its show folder, an old file of
// its name replaced only once the new one has arrived, one line per file.
#pragma once

#include <unordered_map>

#include "core/folder_index.h"
#include "core/relocation.h"
#include "core/sweep.h"

// tvtidy's own effects: the moves themselves and the console lines.
class TidyEffects : public SweepEffects, public MoveSteps {
 public:
  bool FolderExists(const NativeString& path) override;
  bool MakeFolder(const NativeString& path) override;
  bool QuickMove(const NativeString& source, const NativeString& target) override;
  void Move(const NativeString& source, const NativeString& target, bool folderExisted, bool listedPlain) override;
  void Skipped(NativeStringView name) override;
  void FolderCreated(NativeStringView folder) override;
  void FolderFailed(NativeStringView folder) override;
  void Moved(NativeStringView source, NativeStringView target) override;
  void MoveFailed(NativeStringView source, const Exception* why) override;

 private:
  // The index of the target's folder, read on its first replace.
  FolderIndex& IndexOf(const NativeString& target);
  // The index of the target's folder where a replace has read it already.
  FolderIndex* IndexReadFor(NativeStringView target);

  // The source and target, NUL between, of the last quick rename refused
  // only because the name was taken.
  NativeString refused_;
  SweptMoveView::FolderFacts folderFacts_;
  NativeString line_, folder_;  // reused: no allocation per line once they have grown
  // Show folders that a replace has read, by path with delimiter.
  std::unordered_map<NativeString, FolderIndex> showFolders_;
  // The folders this run's quick moves hold open, for as long as the run.
  QuickWay quick_;
};

// The sweep of tvtidy itself: moves, and one console line per file looked at
// and per folder created.
void SweepDirectory(const NativeString& folderPath);
