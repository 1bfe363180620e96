#include "organiser/sweep.h"

#include <map>

#include "episode/classifier.h"
#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file_system.h"

std::int32_t MovedFileCount = 0;

namespace {

// Renames the old file of the same name out of the way, under a free name
// beside it, so that it can come back if the new one does not arrive.
bool SetAside(const NativeString& target, NativeString& aside) {
  if (!IsRemovableEntry(target)) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    aside = target;
    aside += NATIVE(".tvtidy-old");
    if (attempt > 0) {
      const std::string number = std::to_string(attempt);
      aside.append(number.begin(), number.end());
    }
    if (MoveFileNoReplace(target, aside)) return true;
    if (!IsNameClash(LastErrorCode())) {
      // No room for the longer name (a name near the length limit, MAX_PATH):
      // replace as the plain program does, deleting the old file first.
      RemoveFile(target);
      return false;
    }
  }
  return false;
}

// Moves the file into an existing show folder, replacing a file of the same
// name there only once the move has succeeded.
void ReplaceInShowFolder(const NativeString& source, const NativeString& target) {
  NativeString aside;
  const bool setAside = SetAside(target, aside);
  if (setAside) PutBackOnInterrupt(aside, target);
  try {
    RelocateFile(source, target);
  } catch (...) {
    if (setAside) {
      PutBackOnInterrupt({}, {});
      MoveFileNoReplace(aside, target);
    }
    throw;
  }
  if (setAside) PutBackOnInterrupt({}, {});
  if (setAside && !RemoveFile(aside)) {
    // The old file may not be deleted (so the move may not replace it): put
    // both back where they were, leaving nothing stray behind.
    const int reason = LastErrorCode();
    if (MoveFileNoReplace(target, source)) MoveFileNoReplace(aside, target);
    throw EInOutError(SystemErrorText(reason));
  }
}

// The base folder's sub-folders by their names with ASCII letters folded, so
// that "the expanse" finds "The Expanse" where names keep their case, as
// Windows finds it. Read once, on the first show folder missing under its
// exact name; it grows with the shows, never with the files.
class FoldedFolders {
 public:
  bool Find(const NativeString& base, NativeStringView showName, NativeString& real) {
    if (!loaded_) Load(base);
    Fold(showName);
    const auto found = byFolded_.find(folded_);
    if (found == byFolded_.end()) return false;
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
    Fold(name);
    const auto [place, added] = byFolded_.emplace(folded_, name);
    if (!added && name < place->second) place->second = name;
  }
  void Fold(NativeStringView name) {
    folded_.assign(name);
    for (NativeChar& c : folded_) c = AsciiLower(c);
  }
  bool loaded_ = false;
  NativeString folded_;
  std::map<NativeString, NativeString> byFolded_;
};

}  // namespace

bool TidyEffects::FolderExists(const NativeString& path) { return ::FolderExists(path); }
bool TidyEffects::MakeFolder(const NativeString& path) { return ::MakeFolder(path); }
bool TidyEffects::QuickMove(const NativeString& source, const NativeString& target) {
  return TryQuickRelocate(source, target);
}
void TidyEffects::Move(const NativeString& source, const NativeString& target, bool folderExisted) {
  if (folderExisted)
    ReplaceInShowFolder(source, target);
  else
    RelocateFile(source, target);
}
void TidyEffects::Skipped(NativeStringView name) { Say(NATIVE("Skipped File: "), name); }
void TidyEffects::FolderCreated(NativeStringView folder) { Say(NATIVE("Created Folder: "), folder); }
void TidyEffects::FolderFailed(NativeStringView folder) {
  Say(NATIVE("Create Folder FAILED: "), folder);
}
void TidyEffects::Moved(NativeStringView source, NativeStringView) {
  ++MovedFileCount;
  Say(NATIVE("Moved File: "), source);
}
// Every failure of the move alike; its kind and text are not shown.
void TidyEffects::MoveFailed(NativeStringView source, const Exception*) {
  Say(NATIVE("Move File FAILED: "), source);
}
void TidyEffects::Say(NativeStringView prefix, NativeStringView what) {
  line_.assign(prefix).append(what);
  WriteLine(line_);
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

  for (FolderListing listing(base); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (entry.isFolder) continue;
    source.assign(base).append(entry.name);
    if (!ClassifyEpisodeFile(entry.name, showName)) {
      effects.Skipped(entry.name);
      continue;
    }
    showFolder.assign(base).append(showName);
    target.assign(showFolder).append(1, kDelimiter).append(entry.name);

    // A plain file whose no-replace rename succeeds needs none of the checks:
    // the rename itself refuses a missing source or show folder, a show
    // folder that is a file, a taken name and another disk. Any refusal
    // leaves the full sequence below to decide the lines.
    if (entry.isRegular && effects.QuickMove(source, target)) {
      effects.Moved(source, target);
      continue;
    }

    bool showFolderExisted = effects.FolderExists(showFolder);
    // A file in the way under the exact name still blocks the folder.
    if (!showFolderExisted && !kNamesIgnoreCase && !FileEntryExists(showFolder) &&
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
    // The guard covers the move alone: a moved file is never reported as
    // failed, and a line that cannot be written ends the run.
    try {
      if (showFolderExisted || !entry.isRegular || !effects.QuickMove(source, target))
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
