#include "core/sweep.h"

#include <unordered_map>

#include "episode/classifier.h"
#include "core/folder_index.h"
#include "core/journal.h"
#include "core/placement.h"
#include "core/relocation.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

std::int32_t MovedFileCount = 0;

bool FolderCouldBeMade(const NativeString& path, bool parentMade, NativeString& reason) {
  reason.clear();
  if (parentMade) return true;
  if (EntryExists(path)) {
    reason = kNameInTheWay;
    return false;
  }
  if (FolderPathFits(path) && MayChangeEntriesIn(FolderPartOf(path))) return true;
  reason = SystemErrorText(LastErrorCode());
  return false;
}

void WriteEventLine(NativeString& line, NativeStringView prefix, NativeStringView what,
                    NativeStringView reason) {
  line.assign(prefix).append(what);
  if (!reason.empty()) line.append(NATIVE(" (")).append(reason).append(NATIVE(")"));
  WriteLine(line);
}

bool MayServeAsShowFolder(const NativeString& folder, NativeString& why) {
  if (!MayFollowLink(folder, true, why)) return false;
  if (!OnlyAShortNameOf(folder)) return true;
  why = NATIVE("another folder's short name is this name");
  return false;
}

bool ExactRule::Reads(NativeStringView name) { return ClassifyEpisodeFile(name, show_); }

bool ExactRule::ShowFolder(NativeString& folder, NativeString& name) {
  folder.assign(Library()).append(show_);
  name = show_;
  if (Effects().FolderExists(folder)) return true;
  // Any entry under the exact name that is not a folder blocks the folder: a
  // file, a FIFO, a dangling link, a link to a folder that cannot be opened.
  // (Asked only where a spelling is looked for next: Windows finds every
  // spelling itself.)
  if (kNamesIgnoreCase || EntryExists(folder)) return false;
  // Of several folders that match, the first in byte order that this user
  // can enter and write: repeatable runs, and no third spelling.
  if (!Folders().FirstVariant(show_, true, [&](NativeStringView other) {
        variant_.assign(Library()).append(other);
        return other != show_ && Effects().UsableFolder(variant_);
      }))
    return false;
  folder.swap(variant_);
  return true;
}

void SweepDirectory(const NativeString& folderPath, SweepEffects& effects) {
  ExactRule exactRule;
  SweepDirectory(folderPath, folderPath, effects, exactRule);
}

void SweepDirectory(const NativeString& folderPath, const NativeString& showFoldersIn, SweepEffects& effects,
                    Placement& placement) {
  const NativeString base = WithTrailingDelimiter(folderPath);
  const NativeString library = WithTrailingDelimiter(showFoldersIn);
  // Reused for every entry: no allocation per file once they have grown.
  NativeString source, showFolder, target, made, refusal;
  // The library's sub-folders by letter case ignored as NTFS and exFAT
  // ignore it, so that "the expanse" finds "The Expanse" where names keep
  // their case, as Windows finds it. Read on the first show folder missing
  // under its exact name; it grows with the shows, never with the files.
  FolderIndex folders(library, FolderIndex::FoldersOnly);
  // The folders that the full checks have found or made in this run, by
  // the placement's key: only into those does a plain file take the quick
  // rename, so that it decides as the checks would. One entry per show.
  std::unordered_map<NativeString, NativeString> checkedFolders;
  placement.Begin(library, folders, effects);

  effects.Begin(base);
  FolderListing listing(base);
  if (listing.Failure() != 0) effects.ListingFailed(folderPath, listing.Failure());
  for (; listing.HasEntry(); listing.Advance()) {
    EndHereIfSignalled();  // also among entries that get no line
    const FolderEntry& entry = listing.Entry();
    if (entry.isFolder) {
      if (!IsSelfOrParent(entry.name)) effects.PassedFolder(entry.name);
      continue;
    }
    // The run's own journal is no file of the user's: no line, in every program.
    if (IsJournalName(entry.name) || !effects.Considers(entry.name)) continue;
    source.assign(base).append(entry.name);
    if (!placement.Reads(entry.name) || !effects.Takes(entry)) {
      effects.Skipped(entry.name);
      continue;
    }
    const NativeString& placeKey = placement.Key();

    // A plain file whose no-replace rename succeeds needs none of the other
    // checks: the rename itself refuses a missing source, a taken name and
    // another disk. Any refusal leaves the full sequence to decide the lines.
    const auto checked = entry.isRegular ? checkedFolders.find(placeKey) : checkedFolders.end();
    bool quickTried = false;  // into the folder that the sequence below finds again
    if (checked != checkedFolders.end()) {
      target.assign(checked->second).append(1, kDelimiter).append(entry.name);
      if (effects.QuickMove(source, target)) {
        effects.Moved(source, target);
        continue;
      }
      quickTried = true;
    }

    // A place kept once decided: a file goes where the first of its key
    // went, as the quick way takes it, and the dry run alike, whatever
    // folders the run has made since.
    const auto decided = placement.KeepsDecisions() ? checkedFolders.find(placeKey) : checkedFolders.end();
    bool showFolderExisted = decided != checkedFolders.end(), heldElsewhere = false;
    if (showFolderExisted) {
      showFolder = decided->second;
    } else {
      showFolderExisted = placement.ShowFolder(showFolder, made);
      if (showFolderExisted && !MayServeAsShowFolder(showFolder, refusal)) {
        effects.FolderRefused(showFolder, refusal);
        continue;
      }
      // A move bound to fail on its path's length gets no folder made for it.
      if (!showFolderExisted && PathTooLong(showFolder + kDelimiter + NativeString(entry.name))) {
        const EPathTooLongException tooLong(NATIVE("The specified path is too long"));
        effects.MoveFailed(source, &tooLong);
        continue;
      }
      if (!showFolderExisted) {
        if (!effects.MakeFolder(showFolder)) {
          effects.FolderFailed(showFolder);
          continue;
        }
        if (!kNamesIgnoreCase) folders.Add(made, true);
        placement.Made(made);
        effects.FolderCreated(showFolder);
      }
      if (!placement.Inside(source, entry.name, showFolder, showFolderExisted, heldElsewhere)) continue;
    }
    target.assign(showFolder).append(1, kDelimiter).append(entry.name);
    // A place not made, its file held elsewhere, is decided for none.
    const auto accepted = heldElsewhere ? checkedFolders.end() : checkedFolders.try_emplace(placeKey, showFolder).first;
    quickTried = quickTried && accepted != checkedFolders.end() && accepted->second == showFolder;
    // The guard covers the move alone: a moved file is never reported as
    // failed, and a line that cannot be written ends the run.
    try {
      if (!entry.isRegular || quickTried || !effects.QuickMove(source, target))
        effects.Move(source, target, showFolderExisted, entry.isRegular);
    } catch (const Exception& error) {
      effects.MoveFailed(source, &error);
      continue;
    } catch (...) {
      effects.MoveFailed(source, nullptr);
      continue;
    }
    effects.Moved(source, target);
  }
  effects.End();
}
