#pragma once

#include <unordered_map>

#include "platform/file_system.h"
#include "platform/text.h"

// Moves one file to a new full name after validating both paths; never
// replaces an existing file. Every refusal or failure is raised as one of the
// error kinds of platform/errors.h.
// steps: where a test steps in; none for tvtidy itself.
// disk: what the checks ask (a view that knows some answers already).
class DiskView;
void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath,
                  MoveSteps* steps = nullptr);
void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath,
                  MoveSteps* steps, const DiskView& disk);

// Moves a plain file by the platform's no-replace rename alone, once the
// paths' text passes the checks; false, with nothing changed, whenever that
// is not enough. RelocateFile then decides. The POSIX build only.
// nameTaken: whether the rename was made and refused only because the
// destination's name is taken.
bool TryQuickRelocate(const NativeString& sourcePath, const NativeString& destinationPath, QuickWay& quick,
                      bool& nameTaken, MoveSteps* steps = nullptr);

// The length of the path made full (the current folder before a relative
// one, as the system would take it); 0 where the current folder is unknown.
std::size_t FullPathLength(const NativeString& path);

// Whether the paths' text passes the checks, so that a single call that
// refuses on its own (a no-replace rename, a new link) may stand in for the
// rest of them. Never on Windows, whose build makes its calls as named.
bool QuickPathsPass(const NativeString& sourcePath, const NativeString& destinationPath);

// The path resolved against the current folder; raises ENotSupportedException.
NativeString ExpandToFullPath(const NativeString& path);

// The checks made on each path before anything on disk changes.
void CheckRelocationPath(const NativeString& path, bool mustExist);

// Whether a path's text is past the length every move of it fails on.
bool PathTooLong(const NativeString& path);

// What the checks of a move ask of the disk. A run asks the disk itself; a
// preview answers with the disk as the run will have changed it by then.
class DiskView {
 public:
  virtual ~DiskView() = default;
  virtual bool FolderExists(const NativeString& path) const { return ::FolderExists(path); }
  virtual bool FileEntryExists(const NativeString& path) const { return ::FileEntryExists(path); }
  virtual bool EntryExists(const NativeString& path) const { return ::EntryExists(path); }
  virtual bool SameEntry(const NativeString& a, const NativeString& b) const { return ::SameEntry(a, b); }
  virtual bool IsRemovableEntry(const NativeString& path) const { return ::IsRemovableEntry(path); }
  virtual bool OnOneFileSystem(const NativeString& entry, const NativeString& folder) const {
    return ::OnOneFileSystem(entry, folder);
  }
  // The move's destination as the one look that found it removable showed
  // it, where that look was kept.
  virtual const EntryLook* DestinationLook() const { return nullptr; }
};
const DiskView& TheDisk();

// The disk as the sweep has seen it for one move: the source's folder listed,
// and the show folder found or made. With nameTaken, a no-replace rename of
// source to destination was refused a moment ago because the name was taken;
// else the name is looked up once, when first asked, and that look answers
// the move's every check of it. With sourceThere, the source is known to be a
// file (the rename, or a listing that showed a plain file). The rest is asked
// of the disk, once for the whole move.
class SweptMoveView : public DiskView {
 public:
  // Whether two folders are one, and whether a file of the first lies on the
  // second's file system, by their paths with delimiter, NUL between: asked
  // once per pair of folders in a run.
  struct FolderFacts {
    std::unordered_map<NativeString, bool> sameFolder, oneFileSystem;
  };
  SweptMoveView(const NativeString& sourcePath, const NativeString& destinationPath, FolderFacts& folderFacts,
                bool nameTaken = true, bool sourceThere = true);
  bool FolderExists(const NativeString& path) const override;
  bool FileEntryExists(const NativeString& path) const override;
  bool EntryExists(const NativeString& path) const override;
  bool OnOneFileSystem(const NativeString& entry, const NativeString& folder) const override;
  bool SameEntry(const NativeString& a, const NativeString& b) const override;
  bool IsRemovableEntry(const NativeString& path) const override;
  const EntryLook* DestinationLook() const override;

 private:
  FolderFacts& folderFacts_;
  NativeString source_, destination_, sourceFolder_, destinationFolder_;
  // The destination's name: 1 taken, 0 free, -1 not looked up yet.
  mutable int destinationTaken_;
  mutable int sourceRemovable_ = -1;  // looked at once, as the name
  mutable bool destinationLooked_ = false;  // the old file of a replace, looked at once
  mutable EntryLook destinationLook_;
  bool sourceThere_;
};

// The steps of a move that change nothing: both paths resolved and checked.
// Raises as RelocateFile would. A link or a copy (removesSource false) leaves
// the source, so a read-only one is no reason to refuse it.
void CheckMove(const NativeString& sourcePath, const NativeString& destinationPath,
               const DiskView& disk, bool removesSource = true);

// Raises when the destination is the source's own entry, reached through a
// show folder that leads back to the source's folder: the file must neither
// go, nor be moved or linked onto itself.
void RefuseTheFileItself(const NativeString& sourcePath, const NativeString& destinationPath,
                         const DiskView& disk);

// The start of the hidden name an old file waits under while it is replaced.
inline constexpr NativeStringView kAsidePrefix = NATIVE(".tvtidy-old-");

// Whether a move into an existing show folder replaces a file of the same
// name there (set aside, removed once the new one has arrived). Raises, with
// nothing touched, when the move cannot succeed: a check fails, the target is
// the source itself, or a folder or a read-only file holds the name.
bool PlanReplace(const NativeString& sourcePath, const NativeString& destinationPath,
                 const DiskView& disk);
