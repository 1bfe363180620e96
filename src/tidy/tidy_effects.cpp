#include "tidy/tidy_effects.h"

#include "core/journal.h"
#include "core/leftovers.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/process.h"

namespace {

// An old file that could go neither back nor away stays under its hidden
// name: the user is told where.
void KeptAside(const NativeString& aside) { WriteNotice(NativeString(NATIVE("Old file kept as: ")).append(aside)); }

// Moves the file into an existing show folder. A file of the same name there
// is set aside first, and goes only once the new one has arrived; when the
// move fails it is back under its own name, spelt as before. Nothing is
// touched when the move is bound to fail.
// sourceJustSeen: a rename refused a moment ago for the taken name alone,
// which the system says only of a source that is there.
void ReplaceInShowFolder(const NativeString& source, const NativeString& target, QuickWay& quick,
                         MoveSteps& steps, FolderIndex& showFolder, const DiskView& disk, bool sourceJustSeen) {
  if (!PlanReplace(source, target, disk)) {
    RelocateFile(source, target, &steps, disk);
    return;
  }
  // The old file's own spelling as the index has it, where the file system
  // ignores case; the set-aside learns it afresh from the folder.
  const size_t nameAt = target.find_last_of(kDelimiter) + 1;
  NativeString own = target.substr(0, nameAt), aside;
  own.append(showFolder.StoredSpelling(NativeStringView(target).substr(nameAt)));
  // Spelt alike: the old file keeping its name leaves the new one's spelling.
  // A file of one name is never the source's.
  const EntryLook* const old = disk.DestinationLook();
  if (own == target && (!old || old->links > 1)) switch (ReplaceByOwnLink(source, target, &steps)) {
      case OwnLinkReplace::Done:
        return;
      case OwnLinkReplace::Failed:
        throw EInOutError(SystemErrorText(LastErrorCode()));
      case OwnLinkReplace::NotOneFile:
        break;
    }
  // An episode gone since the listing: the old file is not touched at all.
  if (!sourceJustSeen && LookUpEntry(source) == Lookup::Absent)
    throw EFileNotFoundException(NATIVE("The specified file was not found"));
  EndingSignalsHeld held;
  // Random names: stale ones of older runs are never touched, only passed by.
  bool setAside = false;
  for (int attempt = 0; attempt < 64 && !setAside; ++attempt) {
    // 18 units: on Windows the checks made sure that it fits.
    AsideNameFor(own, aside);
    // Told to the journal first: a run stopped from here on leaves the next
    // one the old file's hidden name and identity.
    BeginInFlight(InFlightKind::Aside, aside, own, source, old && old->stamped ? &old->stamp : nullptr);
    setAside = SetAsideAs(target, aside, own);
    if (!setAside) SettledInFlight(aside);
    if (!setAside && !IsNameClash(LastErrorCode())) break;
  }
  if (!setAside) throw EInOutError(SystemErrorText(LastErrorCode()));
  steps.AtStep(MoveStep::AsideSet, aside);
  InFlightRecorder* const journal = InFlight();
  const auto putBack = [&] {
    if (!PutBack(aside, own)) return KeptAside(aside);
    SettledInFlight(aside);
  };
  try {
    // The plan's checks stand for the move's: the quick way first, which
    // refuses on its own whatever they would find; else the full way decides.
    steps.AtStep(MoveStep::Checked, target);
    bool nameTaken = false;
    if (!TryQuickRelocate(source, target, quick, nameTaken, &steps)) {
      OpenAsideToOthers();
      RelocateFile(source, target, &steps, disk);
    }
  } catch (...) {
    putBack();
    throw;
  }
  steps.AtStep(MoveStep::Arrived, target);
  if (journal) journal->Arrived(aside);
  if (!RemoveAside(aside)) {
    // The old file may not be deleted (so the move may not replace it): put
    // both back where they were, leaving nothing stray behind. Should the
    // new file not go back either, it stays moved, and the old file is
    // named for the user to find.
    const int reason = LastErrorCode();
    UnwindUnderWay unwinding;
    if (journal) journal->Unwinding(aside);
    if (!MoveFileNoReplace(target, source)) {
      KeptAside(aside);
      return;
    }
    putBack();
    throw EInOutError(SystemErrorText(reason));
  }
  SettledInFlight(aside);
  // The new name comes with the move.
  if (own != target) showFolder.Remove(NativeStringView(own).substr(nameAt));
}

}  // namespace

bool TidyEffects::FolderExists(const NativeString& path) {
  // The folder of a quick rename that was just refused as the name was taken:
  // the rename found it, links followed.
  const size_t at = refused_.find(NATIVE('\0')) + 1;
  if (at > 0 && refused_.size() > at + path.size() && refused_.compare(at, path.size(), path) == 0 &&
      refused_[at + path.size()] == kDelimiter && refused_.find(kDelimiter, at + path.size() + 1) == refused_.npos)
    return true;
  return ::FolderExists(path);
}
bool TidyEffects::MakeFolder(const NativeString& path) { return ::MakeFolder(path); }
bool TidyEffects::QuickMove(const NativeString& source, const NativeString& target) {
  // A folder a replace has read says, without a call, that the name is taken:
  // no rename that is bound to fail. Only where a quick rename would be tried.
  bool nameTaken = false;
  FolderIndex* read = IndexReadFor(target);
  if (read && QuickPathsPass(source, target) &&
      read->HoldsExactly(NativeStringView(target).substr(target.find_last_of(kDelimiter) + 1))) {
    refused_.assign(source).append(1, NATIVE('\0')).append(target);
    return false;
  }
  if (TryQuickRelocate(source, target, quick_, nameTaken, this)) return true;
  if (nameTaken) refused_.assign(source).append(1, NATIVE('\0')).append(target);
  return false;
}
FolderIndex* TidyEffects::IndexReadFor(NativeStringView target) {
  if (showFolders_.empty()) return nullptr;
  folder_.assign(target.substr(0, target.find_last_of(kDelimiter) + 1));
  const auto found = showFolders_.find(folder_);
  return found != showFolders_.end() ? &found->second : nullptr;
}
FolderIndex& TidyEffects::IndexOf(const NativeString& target) {
  folder_.assign(target, 0, target.find_last_of(kDelimiter) + 1);
  auto found = showFolders_.find(folder_);
  if (found == showFolders_.end())
    found = showFolders_.try_emplace(folder_, folder_, FolderIndex::Everything).first;
  return found->second;
}
void TidyEffects::Move(const NativeString& source, const NativeString& target, bool folderExisted,
                       bool listedPlain) {
  // The quick rename just refused for this very move shows what most checks ask.
  const bool nameTaken = refused_.size() == source.size() + 1 + target.size() &&
                         refused_.compare(0, source.size(), source) == 0 &&
                         refused_.compare(source.size() + 1, target.size(), target) == 0;
  refused_.clear();
  const SweptMoveView disk(source, target, folderFacts_, nameTaken, nameTaken || listedPlain);
  if (folderExisted)
    ReplaceInShowFolder(source, target, quick_, *this, IndexOf(target), disk, nameTaken);
  else
    RelocateFile(source, target, this, disk);
}
void TidyEffects::Skipped(NativeStringView name) { WriteEventLine(line_, NATIVE("Skipped File: "), name); }
void TidyEffects::FolderCreated(NativeStringView folder) {
  if (InFlightRecorder* journal = InFlight()) journal->FolderMade(folder);
  WriteEventLine(line_, NATIVE("Created Folder: "), folder);
}
void TidyEffects::FolderFailed(NativeStringView folder) {
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder);
}
void TidyEffects::Moved(NativeStringView source, NativeStringView target) {
  // Only where a replace has read the folder: one lookup, no listing.
  if (FolderIndex* read = IndexReadFor(target)) read->Add(target.substr(target.find_last_of(kDelimiter) + 1), false);
  CountOne(MovedFileCount);
  if (InFlightRecorder* journal = InFlight()) journal->Moved(source, target);
  WriteEventLine(line_, NATIVE("Moved File: "), source);
}
// Every failure of the move alike; its kind and text are not shown.
void TidyEffects::MoveFailed(NativeStringView source, const Exception*) {
  WriteEventLine(line_, NATIVE("Move File FAILED: "), source);
}

void SweepDirectory(const NativeString& folderPath) {
  TidyEffects effects;
  SweepDirectory(folderPath, effects);
}
