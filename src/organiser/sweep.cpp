#include "organiser/sweep.h"

#include <unordered_map>

#include "episode/classifier.h"
#include "episode/episode_name.h"
#include "organiser/folder_index.h"
#include "organiser/journal.h"
#include "organiser/leftovers.h"
#include "organiser/read_alike.h"
#include "organiser/relocation.h"
#include "organiser/season_folders.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/letter_case.h"
#include "platform/process.h"

std::int32_t MovedFileCount = 0;

namespace {

// The season an episode's name gives, as a key: its kind and its number.
NativeString SeasonKey(const EpisodeReading& episode) {
  const std::string key = std::to_string(static_cast<int>(episode.kind)) + "." + std::to_string(episode.season);
  return NativeString(key.begin(), key.end());
}

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

void SweepDirectory(const NativeString& folderPath) {
  TidyEffects effects;
  SweepDirectory(folderPath, effects);
}

void SweepDirectory(const NativeString& folderPath, SweepEffects& effects) {
  SweepDirectory(folderPath, folderPath, effects);
}

void SweepDirectory(const NativeString& folderPath, const NativeString& showFoldersIn, SweepEffects& effects) {
  const NativeString base = WithTrailingDelimiter(folderPath);
  const NativeString library = WithTrailingDelimiter(showFoldersIn);
  // Reused for every entry: no allocation per file once they have grown.
  NativeString showName, source, showFolder, target, variant, cleanName, placeKey;
  std::vector<EpisodeReading> readings;  // tvtidy-link's, the leftmost marker first
  const bool asAPerson = effects.ReadsNamesAsAPerson();
  std::vector<NativeString> others;  // tvtidy-link: other folders of the show
  // The base folder's sub-folders by letter case ignored as NTFS and exFAT
  // ignore it, so that "the expanse" finds "The Expanse" where names keep
  // their case, as Windows finds it. Read on the first show folder missing
  // under its exact name; it grows with the shows, never with the files.
  FolderIndex folders(library, FolderIndex::FoldersOnly);
  // Show folders that the full checks have found or made in this run, by
  // show name: only into those does a plain file take the quick rename, so
  // that it decides as the checks would. One entry per show.
  std::unordered_map<NativeString, NativeString> checkedFolders;
  NativeString refusal;
  ReadAlikeFolders readAlike;  // tvtidy-link's: read on the first show looked for
  effects.FoldersMadeInThought(library, [&](NativeStringView name) { readAlike.AddUnlisted(name); });

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
    if (asAPerson) readings = EpisodeReadingsOf(entry.name);
    if ((asAPerson ? readings.empty() : !ClassifyEpisodeFile(entry.name, showName)) || !effects.Takes(entry.name)) {
      effects.Skipped(entry.name);
      continue;
    }
    // Where an episode goes is decided once for its show (and, for
    // tvtidy-link, its season) as its name reads first.
    placeKey.assign(asAPerson ? readings.front().show : showName);
    if (asAPerson) placeKey.append(1, NATIVE('/')).append(SeasonKey(readings.front()));

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

    // tvtidy-link decides a show's (and its season's) folder once a run: a
    // file of it goes where the first went, as the quick way takes it, and
    // the dry run alike, whatever folders the run has made since.
    const auto decided = asAPerson ? checkedFolders.find(placeKey) : checkedFolders.end();
    bool showFolderExisted = decided != checkedFolders.end(), heldElsewhere = false;
    size_t chosen = 0;
    if (showFolderExisted) showFolder = decided->second;
    if (!showFolderExisted) {
      showFolder.assign(library).append(showName);
      NativeStringView made = showName;
      showFolderExisted = false;
      const auto usable = [&](NativeStringView name) {
        variant.assign(library).append(name);
        return effects.UsableFolder(variant);
      };
      // tvtidy-link: the folder a person takes for the show, whatever made it
      // and whatever came first (an exact-rule folder is read like any other);
      // else a new one named cleanly.
      // Of several readings, the one whose show the library holds.
      bool held = false;
      for (; asAPerson && chosen < readings.size(); ++chosen)
        if ((held = readAlike.Find(readings[chosen].show, folders, usable, cleanName, others))) break;
      if (asAPerson) showName = readings[chosen = held ? chosen : 0].show;
      if (held) {
        showFolder.assign(library).append(cleanName);
        showFolderExisted = true;
        for (NativeString& other : others) other.insert(0, library).push_back(kDelimiter);
        if (!others.empty()) effects.AlsoTheShow(showFolder + kDelimiter, others);
      } else if (asAPerson && !(cleanName = CleanShowFolderName(ReadShowName(showName))).empty()) {
        showFolder.assign(library).append(cleanName);
        made = cleanName;
        showFolderExisted = effects.FolderExists(showFolder);
      } else {
        showFolderExisted = effects.FolderExists(showFolder);
        // Any entry under the exact name that is not a folder blocks the folder:
        // a file, a FIFO, a dangling link, a link to a folder that cannot be
        // opened. (Asked only where a spelling is looked for next: Windows
        // finds every spelling itself.)
        const bool blocked = !showFolderExisted && !kNamesIgnoreCase && EntryExists(showFolder);
        // Of several folders that match, the first in byte order that this user
        // can enter and write: repeatable runs, and no third spelling.
        if (!showFolderExisted && !kNamesIgnoreCase && !blocked &&
            folders.FirstVariant(showName, true, [&](NativeStringView name) { return name != showName && usable(name); })) {
          showFolder.swap(variant);
          showFolderExisted = true;
        }
      }
      // Someone's link in a shared folder is no show folder of ours.
      if (showFolderExisted && !MayFollowLink(showFolder, true, refusal)) {
        effects.FolderRefused(showFolder, refusal);
        continue;
      }
      // Nor is another folder found by its short name (Windows).
      if (showFolderExisted && OnlyAShortNameOf(showFolder)) {
        effects.FolderRefused(showFolder, NATIVE("another folder's short name is this name"));
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
        readAlike.Add(made);
        effects.FolderCreated(showFolder);
      }
      // tvtidy-link: into its season's folder, where the show keeps them.
      if (SeasonFolders* seasons = asAPerson ? effects.Seasons() : nullptr) {
        bool there = true;
        NativeString place = seasons->For(library, showFolder, readings[chosen], there);
        // Asked as every folder is: one reached two ways (links) may have it by now.
        there = there || effects.FolderExists(place) ||
                (heldElsewhere = effects.HeldElsewhere(source, NativeString(place).append(1, kDelimiter).append(entry.name)));
        if (!there && !effects.MakeFolder(place)) {
          effects.FolderFailed(place);
          continue;
        }
        if (place != showFolder && !heldElsewhere) seasons->Made(place);
        if (!there) effects.FolderCreated(place);
        showFolderExisted = showFolderExisted && there;
        showFolder.swap(place);
      }
    }
    target.assign(showFolder).append(1, kDelimiter).append(entry.name);
    // A season folder not made, its file held elsewhere, is decided for none.
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
