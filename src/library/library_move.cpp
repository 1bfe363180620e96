#include "library/library_move.h"

#include "core/relocation.h"
#include "core/seeding.h"
#include "platform/errors.h"
#include "platform/file_system.h"

void LibraryMoveEffects::TakenByTheFile(const NativeString& source, const NativeString& target) {
  RefuseTheFileItself(source, target, TheDisk());
  // The library holds the download by a link of an earlier run: nothing to
  // move, and the download keeps its name.
  if (SameFile(source, target)) {
    already_ = Already::Linked;
    return;
  }
  names_.RefuseTaken(target);
}

void LibraryMoveEffects::Place(const NativeString& source, const NativeString& target) {
  // A link's file may lie anywhere, and be another folder's: never moved
  // through the link, and the link itself would lead nowhere from there.
  NativeString hop;
  if (LinkTargetOf(source, hop)) throw EInOutError(NativeString(kOnlyFilesMoved));
  if (LinkedElsewhere(source, target)) {
    already_ = Already::Linked;
    return;
  }
  RefuseOtherRelease(source, target);
  CheckMove(source, target, InThought(*this), true);
  if (dryRun_) return WouldMove(source, target);
  const Lookup there = LookUpEntry(target);
  if (there == Lookup::Refused) throw EInOutError(SystemErrorText(LastErrorCode()));
  if (there == Lookup::There) return TakenByTheFile(source, target);
  // Never replaces: a name taken since is the move's own refusal.
  RelocateFile(source, target, nullptr, TheDisk());
}

void LibraryMoveEffects::WouldMove(const NativeString& source, const NativeString& target) {
  const NativeString folder = FolderPartOf(target);
  // A name this dry run has moved a file onto already.
  if (const NativeString* thought = InThoughtAt(target)) {
    if (!SameFile(source, *thought)) names_.RefuseTaken(target);
    already_ = Already::Linked;
    return;
  }
  const Lookup there = MadeInThought(folder) ? Lookup::Absent : LookUpEntry(target);
  if (there == Lookup::Refused) throw EInOutError(SystemErrorText(LastErrorCode()));
  if (there == Lookup::There) return TakenByTheFile(source, target);
  // Both folders' entries change.
  for (const NativeString& changed : {FolderPartOf(source), folder})
    if (!MadeInThought(changed) && !MayChangeEntriesIn(changed)) throw EInOutError(SystemErrorText(LastErrorCode()));
  linkedInThought_.emplace(ResolvedPath(target), source);
}

bool LibraryMoveEffects::QuickWayOnly(const NativeString& source, const NativeString& target) {
  bool nameTaken = false;
  return TryQuickRelocate(source, target, quick_, nameTaken);
}

bool LibraryMoveEffects::GoesThrough(const NativeString& path, int depth) {
  if (depth != 1 || !HoldsDownloadInProgress(path)) return true;
  SkippedFolderAt(path, NATIVE("a download in progress: nothing is moved out of it"));
  return false;
}
