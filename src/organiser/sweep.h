#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "organiser/folder_index.h"
#include "organiser/relocation.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/text.h"

class SeasonFolders;

// Files moved in this run; the driver sets it to 0 and prints it.
extern std::int32_t MovedFileCount;

// One more in a count of the run: past 2,147,483,647 it wraps to the lowest
// value, as a 32-bit counter does, without undefined behaviour.
inline void CountOne(std::int32_t& count) {
  count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1u);
}

// What a sweep does to the disk, and what it says of it. The sweep decides;
// tvtidy's effects act and print its lines, a preview's only record what
// would happen and say so. Holds nothing per file.
class SweepEffects {
 public:
  virtual ~SweepEffects() = default;

  // Whether the show folder is there, counting those this run has made.
  virtual bool FolderExists(const NativeString& path) = 0;
  virtual bool MakeFolder(const NativeString& path) = 0;
  // Whether a show folder under another spelling can take the episodes:
  // there, and this user may add entries to it.
  virtual bool UsableFolder(const NativeString& path) {
    NativeString why;
    return FolderExists(path) && MayChangeEntriesIn(path) && MayFollowLink(path, true, why);
  }
  // A plain file moved by the platform's quick way alone, or false with
  // nothing changed.
  virtual bool QuickMove(const NativeString& source, const NativeString& target) = 0;
  // Moves the file into its show folder, replacing a same-named file there
  // when the folder existed. Raises when it cannot.
  // listedPlain: the listing showed a plain file (never a link) at source.
  virtual void Move(const NativeString& source, const NativeString& target, bool folderExisted,
                    bool listedPlain) = 0;

  virtual void Skipped(NativeStringView name) = 0;
  virtual void FolderCreated(NativeStringView folder) = 0;
  virtual void FolderFailed(NativeStringView folder) = 0;
  // A show folder that is a link not to be followed (MayFollowLink): its
  // episodes stay, and the line says why where the program gives reasons.
  virtual void FolderRefused(NativeStringView folder, NativeStringView why) {
    (void)why;
    FolderFailed(folder);
  }
  virtual void Moved(NativeStringView source, NativeStringView target) = 0;
  // why: the failure, when it was one of the program's own error kinds.
  virtual void MoveFailed(NativeStringView source, const Exception* why) = 0;
  // Whether an entry is looked at at all; false passes over it without a line.
  virtual bool Considers(NativeStringView name) {
    (void)name;
    return true;
  }
  // Whether a show folder missing under the exact rule's name is looked for
  // as a person reads names, and a new one named cleanly (tvtidy-link's
  // library); tvtidy and its preview keep the exact rule.
  virtual bool ReadsNamesAsAPerson() const { return false; }
  // tvtidy-link's season folders, kept for the run; none for the others.
  virtual SeasonFolders* Seasons() { return nullptr; }
  // Whether an episode is one to act on; false gives a skipped line.
  virtual bool Takes(NativeStringView name) {
    (void)name;
    return true;
  }
  // The base folder (with its delimiter) the sweep is about to go through,
  // and each sub-folder it passes over ("." and ".." are none): tvtidy has
  // nothing to do with them.
  virtual void Begin(NativeStringView base) { (void)base; }
  virtual void PassedFolder(NativeStringView name) { (void)name; }
  // The folders of `library` (with its delimiter) that the run has made
  // only in thought (a dry run), each given to `each` by name: the disk's
  // listing does not have them.
  virtual void FoldersMadeInThought(NativeStringView library, const std::function<void(NativeStringView)>& each) {
    (void)library;
    (void)each;
  }
  // Other folders (with their delimiters) that read as the show of the
  // folder a file is about to go to, that folder with its delimiter.
  virtual void AlsoTheShow(const NativeString& showFolder, const std::vector<NativeString>& others) {
    (void)showFolder;
    (void)others;
  }
  // Whether another folder of its show holds the file already (AlsoTheShow):
  // no season folder is made for it.
  virtual bool HeldElsewhere(const NativeString& source, const NativeString& target) {
    (void)source;
    (void)target;
    return false;
  }
  // The folder has been gone through.
  virtual void End() {}
  // The folder could not be listed: tvtidy says nothing, and moves nothing.
  virtual void ListingFailed(NativeStringView folder, int code) {
    (void)folder;
    (void)code;
  }
};

// Why a show folder cannot be made: a name taken, as a run says it.
inline constexpr NativeStringView kNameInTheWay = NATIVE("a file of that name is in the way");

// Whether the folder could be made now, as a preview foresees it; false
// with the reason the run would give. parentMade: its parent is one the
// previewed run will have made, of which the disk knows nothing yet.
bool FolderCouldBeMade(const NativeString& path, bool parentMade, NativeString& reason);

// Writes prefix + what, and " (reason)" when there is one, through line (reused).
void WriteEventLine(NativeString& line, NativeStringView prefix, NativeStringView what,
                    NativeStringView reason = {});

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

// Goes once through the folder's entries and moves every episode file lying
// there into its show's sub-folder, through the given effects; with
// showFoldersIn, the show folders are found or made there instead.
void SweepDirectory(const NativeString& folderPath, SweepEffects& effects);
void SweepDirectory(const NativeString& folderPath, const NativeString& showFoldersIn, SweepEffects& effects);

// The sweep of tvtidy itself: moves, and one console line per file looked at
// and per folder created.
void SweepDirectory(const NativeString& folderPath);
