#include "library/library_placement.h"

#include <string>

#include "episode/show_name.h"
#include "library/hard_link.h"
#include "library/season_folders.h"
#include "core/sweep.h"

void LibraryPlacement::Begin(const NativeString& library, FolderIndex& folders, SweepEffects& effects) {
  Placement::Begin(library, folders, effects);
  // A dry run's folders are in no listing: known as the run would find them.
  link_.FoldersMadeInThought(library, [&](NativeStringView name) { readAlike_.AddUnlisted(name); });
}

bool LibraryPlacement::Reads(NativeStringView name) {
  readings_ = EpisodeReadingsOf(name);
  if (readings_.empty()) return false;
  // Its show's and season's, as its name reads first.
  const EpisodeReading& first = readings_.front();
  const std::string season = std::to_string(static_cast<int>(first.kind)) + "." + std::to_string(first.season);
  key_.assign(first.show).append(1, NATIVE('/')).append(season.begin(), season.end());
  chosen_ = 0;
  return true;
}

bool LibraryPlacement::ShowFolder(NativeString& folder, NativeString& name) {
  // The folder a person takes for the show, whatever made it and whatever
  // came first (an exact-rule folder is read like any other); of several
  // readings, the one whose show the library holds.
  const auto usable = [&](NativeStringView candidate) {
    variant_.assign(Library()).append(candidate);
    return Effects().UsableFolder(variant_);
  };
  for (chosen_ = 0; chosen_ < readings_.size(); ++chosen_) {
    if (!readAlike_.Find(readings_[chosen_].show, Folders(), usable, cleanName_, others_)) continue;
    folder.assign(Library()).append(cleanName_);
    name = cleanName_;
    for (NativeString& other : others_) other.insert(0, Library()).push_back(kDelimiter);
    if (!others_.empty()) link_.AlsoTheShow(folder + kDelimiter, others_);
    return true;
  }
  // Else a new one, named cleanly; the name as it reads where nothing clean is left.
  chosen_ = 0;
  name = CleanShowFolderName(ReadShowName(readings_[0].show));
  if (name.empty()) name = readings_[0].show;
  folder.assign(Library()).append(name);
  return Effects().FolderExists(folder);
}

bool LibraryPlacement::Inside(const NativeString& source, NativeStringView name, NativeString& folder, bool& existed,
                              bool& heldElsewhere) {
  SeasonFolders& seasons = link_.SeasonsOfRun();
  bool there = true;
  NativeString place = seasons.For(Library(), folder, readings_[chosen_], there);
  // Asked as every folder is: one reached two ways (links) may have it by now.
  there = there || Effects().FolderExists(place) ||
          (heldElsewhere = link_.HeldElsewhere(source, NativeString(place).append(1, kDelimiter).append(name)));
  if (!there && !Effects().MakeFolder(place)) {
    Effects().FolderFailed(place);
    return false;
  }
  if (place != folder && !heldElsewhere) seasons.Made(place);
  if (!there) Effects().FolderCreated(place);
  existed = existed && there;
  folder.swap(place);
  return true;
}

void SweepIntoLibrary(const NativeString& folderPath, const NativeString& library, LinkEffects& effects) {
  LibraryPlacement placement(effects);
  SweepDirectory(folderPath, library, effects, placement);
}
