#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/text.h"

class Placement;

// Files moved in this run; the driver sets it to 0 and prints it.
extern std::int32_t MovedFileCount;

// One more in a count of the run: past 2,147,483,647 it wraps to the lowest
// value, as a 32-bit counter does, without undefined behaviour.
inline void CountOne(std::int32_t& count) {
  count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1u);
}

// Whether a folder that is there may take a show's episodes, with why not:
// someone's link in a shared folder is no show folder of ours, nor is
// another folder found by its short name (Windows).
bool MayServeAsShowFolder(const NativeString& folder, NativeString& why);

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
  // there, this user may add entries to it, and it may serve.
  virtual bool UsableFolder(const NativeString& path) {
    NativeString why;
    return FolderExists(path) && MayChangeEntriesIn(path) && MayServeAsShowFolder(path, why);
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
  // Whether an episode, as the listing showed it, is one to act on; false
  // gives a skipped line.
  virtual bool Takes(const FolderEntry& entry) {
    (void)entry;
    return true;
  }
  // The base folder (with its delimiter) the sweep is about to go through,
  // and each sub-folder it passes over ("." and ".." are none): tvtidy has
  // nothing to do with them.
  virtual void Begin(NativeStringView base) { (void)base; }
  virtual void PassedFolder(NativeStringView name) { (void)name; }
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

// Goes once through the folder's entries and moves every episode file lying
// there into its show's sub-folder, through the given effects: the show
// folders found or made in showFoldersIn, where the placement says; by the
// exact rule in the folder itself where none is given.
void SweepDirectory(const NativeString& folderPath, const NativeString& showFoldersIn, SweepEffects& effects,
                    Placement& placement);
void SweepDirectory(const NativeString& folderPath, SweepEffects& effects);
