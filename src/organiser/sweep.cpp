#include "organiser/sweep.h"

#include <map>
#include <unordered_map>

#include "episode/classifier.h"
#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/letter_case.h"
#include "platform/process.h"

std::int32_t MovedFileCount = 0;

namespace {

// An old file that could go neither back nor away stays under its hidden
// name: the user is told where.
void KeptAside(const NativeString& aside) { WriteNotice(NativeString(NATIVE("Old file kept as: ")).append(aside)); }

// Moves the file into an existing show folder. A file of the same name there
// is set aside first, and goes only once the new one has arrived; when the
// move fails it is back under its own name, spelt as before. Nothing is
// touched when the move is bound to fail.
void ReplaceInShowFolder(const NativeString& source, const NativeString& target,
                         MoveSteps& steps) {
  if (!PlanReplace(source, target, TheDisk())) {
    RelocateFile(source, target, &steps);
    return;
  }
  NativeString own, aside;
  StoredName(target, own);
  EndingSignalsHeld held;
  // Random names: stale ones of older runs are never touched, only passed by.
  bool setAside = false;
  for (int attempt = 0; attempt < 64 && !setAside; ++attempt) {
    // 18 units: on Windows the checks made sure that it fits.
    HiddenNameBeside(own, kAsidePrefix, aside);
    setAside = SetAsideAs(target, aside, own);
    if (!setAside && !IsNameClash(LastErrorCode())) break;
  }
  if (!setAside) throw EInOutError(SystemErrorText(LastErrorCode()));
  steps.AtStep(MoveStep::AsideSet, aside);
  try {
    RelocateFile(source, target, &steps);
  } catch (...) {
    if (!PutBack(aside, own)) KeptAside(aside);
    throw;
  }
  steps.AtStep(MoveStep::Arrived, target);
  if (!RemoveAside(aside)) {
    // The old file may not be deleted (so the move may not replace it): put
    // both back where they were, leaving nothing stray behind. Should the
    // new file not go back either, it stays moved, and the old file is
    // named for the user to find.
    const int reason = LastErrorCode();
    if (!MoveFileNoReplace(target, source)) {
      KeptAside(aside);
      return;
    }
    if (!PutBack(aside, own)) KeptAside(aside);
    throw EInOutError(SystemErrorText(reason));
  }
}

// The base folder's sub-folders by their names with letter case ignored as
// NTFS and exFAT ignore it, so that "the expanse" finds "The Expanse" where
// names keep their case, as Windows finds it. Read once, on the first show
// folder missing under its exact name; it grows with the shows, never with
// the files.
class FoldedFolders {
 public:
  bool Find(const NativeString& base, NativeStringView showName, NativeString& real) {
    if (!loaded_) Load(base);
    const auto found = byName_.find(showName);
    if (found == byName_.end()) return false;
    real = found->second;
    return true;
  }
  void Add(NativeStringView name) {
    if (loaded_) Keep(name);  // a later load finds it on disk
  }

 private:
  void Load(const NativeString& base) {
    loaded_ = true;
    for (FolderListing listing(base); listing.HasEntry(); listing.Advance()) {
      const FolderEntry& entry = listing.Entry();
      if (entry.isFolder && entry.name != NATIVE(".") && entry.name != NATIVE(".."))
        Keep(entry.name);
    }
  }
  // Of several folders that match, the one first in byte order: repeatable runs.
  void Keep(NativeStringView name) {
    const auto [place, added] = byName_.emplace(name, name);
    if (!added && name < place->second) place->second = name;
  }
  bool loaded_ = false;
  std::map<NativeString, NativeString, IgnoringCaseLess> byName_;
};

}  // namespace

bool TidyEffects::FolderExists(const NativeString& path) { return ::FolderExists(path); }
bool TidyEffects::MakeFolder(const NativeString& path) { return ::MakeFolder(path); }
bool TidyEffects::QuickMove(const NativeString& source, const NativeString& target) {
  return TryQuickRelocate(source, target);
}
void TidyEffects::Move(const NativeString& source, const NativeString& target, bool folderExisted) {
  if (folderExisted)
    ReplaceInShowFolder(source, target, *this);
  else
    RelocateFile(source, target, this);
}
void TidyEffects::Skipped(NativeStringView name) { WriteEventLine(line_, NATIVE("Skipped File: "), name); }
void TidyEffects::FolderCreated(NativeStringView folder) { WriteEventLine(line_, NATIVE("Created Folder: "), folder); }
void TidyEffects::FolderFailed(NativeStringView folder) {
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder);
}
void TidyEffects::Moved(NativeStringView source, NativeStringView) {
  ++MovedFileCount;
  WriteEventLine(line_, NATIVE("Moved File: "), source);
}
// Every failure of the move alike; its kind and text are not shown.
void TidyEffects::MoveFailed(NativeStringView source, const Exception*) {
  WriteEventLine(line_, NATIVE("Move File FAILED: "), source);
}
void WriteEventLine(NativeString& line, NativeStringView prefix, NativeStringView what,
                    NativeStringView reason) {
  line.assign(prefix).append(what);
  if (!reason.empty()) line.append(NATIVE(" (")).append(reason).append(NATIVE(")"));
  WriteLine(line);
}

void SweepDirectory(const NativeString& folderPath) {
  TidyEffects effects;
  SweepDirectory(folderPath, effects);
}

void SweepDirectory(const NativeString& folderPath, SweepEffects& effects) {
  const NativeString base = WithTrailingDelimiter(folderPath);
  // Reused for every entry: no allocation per file once they have grown.
  NativeString showName, source, showFolder, target, realName;
  FoldedFolders foldedFolders;
  // Show folders that the full checks have found or made in this run, by
  // show name: only into those does a plain file take the quick rename, so
  // that it decides as the checks would. One entry per show.
  std::unordered_map<NativeString, NativeString> checkedFolders;

  for (FolderListing listing(base); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (entry.isFolder) continue;
    source.assign(base).append(entry.name);
    if (!ClassifyEpisodeFile(entry.name, showName)) {
      effects.Skipped(entry.name);
      continue;
    }

    // A plain file whose no-replace rename succeeds needs none of the other
    // checks: the rename itself refuses a missing source, a taken name and
    // another disk. Any refusal leaves the full sequence to decide the lines.
    const auto checked = entry.isRegular ? checkedFolders.find(showName) : checkedFolders.end();
    if (checked != checkedFolders.end()) {
      target.assign(checked->second).append(1, kDelimiter).append(entry.name);
      if (effects.QuickMove(source, target)) {
        effects.Moved(source, target);
        continue;
      }
    }

    showFolder.assign(base).append(showName);
    target.assign(showFolder).append(1, kDelimiter).append(entry.name);
    bool showFolderExisted = effects.FolderExists(showFolder);
    // Any entry under the exact name that is not a folder blocks the folder:
    // a file, a FIFO, a dangling link, a link to a folder that cannot be opened.
    if (!showFolderExisted && !kNamesIgnoreCase && !EntryExists(showFolder) &&
        foldedFolders.Find(base, showName, realName) && realName != showName) {
      showFolder.assign(base).append(realName);
      showFolderExisted = effects.FolderExists(showFolder);
      if (showFolderExisted)
        target.assign(showFolder).append(1, kDelimiter).append(entry.name);
      else
        showFolder.assign(base).append(showName);  // gone since it was listed
    }
    if (!showFolderExisted) {
      if (!effects.MakeFolder(showFolder)) {
        effects.FolderFailed(showFolder);
        continue;
      }
      if (!kNamesIgnoreCase) foldedFolders.Add(showName);
      effects.FolderCreated(showFolder);
    }
    checkedFolders.try_emplace(showName, showFolder);
    // The guard covers the move alone: a moved file is never reported as
    // failed, and a line that cannot be written ends the run.
    try {
      if (!entry.isRegular || !effects.QuickMove(source, target))
        effects.Move(source, target, showFolderExisted);
    } catch (const Exception& error) {
      effects.MoveFailed(source, &error);
      continue;
    } catch (...) {
      effects.MoveFailed(source, nullptr);
      continue;
    }
    effects.Moved(source, target);
  }
}
