#include "core/relocation.h"

#include "core/path_rules.h"
#include "platform/errors.h"
#include "platform/file_system.h"

namespace {

#ifdef _WIN32
PathTextFault CheckPathText(NativeStringView path) { return path_rules::CheckWindowsPathText(path); }
NativeStringView ParentFolder(NativeStringView path) { return path_rules::ParentFolderOf(path); }
NativeString RootOf(NativeStringView path) { return path_rules::PathRootOf(path); }
#else
PathTextFault CheckPathText(NativeStringView path) { return path_rules::CheckPosixPathText(path); }
NativeStringView ParentFolder(NativeStringView path) { return path_rules::PosixParentFolderOf(path); }
// Every full POSIX path hangs from "/": a move is always a rename.
NativeString RootOf(NativeStringView) { return NATIVE("/"); }
#endif

[[noreturn]] void RaiseSystemError() { throw EInOutError(SystemErrorText(LastErrorCode())); }

void ExpandInto(const NativeString& path, NativeString& full) {
  int code = 0;
  FullPathName(path, full, code);
  if (code != 0 && code != 2) throw ENotSupportedException(SystemErrorText(code));
}

void CheckPath(const NativeString& path, bool mustExist, NativeString& full, NativeString& parent,
               const DiskView& disk = TheDisk()) {
  switch (CheckPathText(path)) {
    case PathTextFault::TooLong:
      throw EPathTooLongException(NATIVE("The specified path is too long"));
    case PathTextFault::BadFormat:
      throw ENotSupportedException(NATIVE("The path format is not supported"));
    case PathTextFault::InvalidCharacters:
      throw EArgumentException(NATIVE("Invalid characters in path"));
    case PathTextFault::None:
      break;
  }
  ExpandInto(path, full);
  parent.assign(ParentFolder(full));
  if (!disk.FolderExists(parent))
    throw EDirectoryNotFoundException(NATIVE("The specified path was not found"));
  if (mustExist && !disk.FileEntryExists(path))
    throw EFileNotFoundException(NATIVE("The specified file was not found"));
}

// Reused by every move, so that a sweep allocates nothing per file.
struct Scratch {
  NativeString source, destination, full, parent;
};
Scratch scratch;

}  // namespace

NativeString ExpandToFullPath(const NativeString& path) {
  NativeString full;
  ExpandInto(path, full);
  return full;
}

bool PathTooLong(const NativeString& path) { return CheckPathText(path) == PathTextFault::TooLong; }

void CheckRelocationPath(const NativeString& path, bool mustExist) {
  NativeString full, parent;
  CheckPath(path, mustExist, full, parent);
}

std::size_t FullPathLength(const NativeString& path) {
  // The current folder read once a run.
  static std::size_t currentFolderLength = 0;
  if (!path.empty() && path[0] == kDelimiter) return path.size();
  if (currentFolderLength == 0) {
    int code = 0;
    NativeString full;
    FullPathName(NATIVE("."), full, code);
    if (code != 0) return 0;
    currentFolderLength = full.size() - 1;
  }
  return path.size() + currentFolderLength;
}

bool QuickPathsPass(const NativeString& sourcePath, const NativeString& destinationPath) {
#ifdef _WIN32
  (void)sourcePath;
  (void)destinationPath;
  return false;
#else
  // The text checks are the only ones the rename cannot answer.
  for (const NativeString* path : {&sourcePath, &destinationPath}) {
    const std::size_t length = FullPathLength(*path);
    if (path_rules::CheckPosixPathText(NativeStringView(*path)) != PathTextFault::None || length == 0 ||
        length >= path_rules::kPosixMaxPath)
      return false;
  }
  return true;
#endif
}

bool TryQuickRelocate(const NativeString& sourcePath, const NativeString& destinationPath, QuickWay& quick,
                      bool& nameTaken, MoveSteps* steps) {
  nameTaken = false;
  if (!QuickPathsPass(sourcePath, destinationPath)) return false;
  if (quick.RenameNoReplaceOnly(sourcePath, destinationPath, steps)) return true;
  nameTaken = IsNameClash(LastErrorCode());
  return false;
}

namespace {
// Constant-initialised: no guarded static (on Windows that would bring in the
// thread runtime).
constinit const DiskView theDisk;
}  // namespace

const DiskView& TheDisk() { return theDisk; }

SweptMoveView::SweptMoveView(const NativeString& sourcePath, const NativeString& destinationPath,
                             FolderFacts& folderFacts, bool nameTaken, bool sourceThere)
    : folderFacts_(folderFacts), destinationTaken_(nameTaken ? 1 : -1), sourceThere_(sourceThere) {
  ExpandInto(sourcePath, source_);
  ExpandInto(destinationPath, destination_);
  sourceFolder_.assign(ParentFolder(source_));
  destinationFolder_.assign(ParentFolder(destination_));
}
bool SweptMoveView::EntryExists(const NativeString& path) const {
  if (path != destination_) return ::EntryExists(path);
  if (destinationTaken_ < 0) destinationTaken_ = ::EntryExists(path) ? 1 : 0;
  return destinationTaken_ == 1;
}
// Folders first: two folders known to differ need no look at the files.
bool SweptMoveView::SameEntry(const NativeString& a, const NativeString& b) const {
  NativeString folders = FolderPartOf(a);
  const size_t split = folders.size();
  folders.append(1, NATIVE('\0')).append(FolderPartOf(b));
  auto found = folderFacts_.sameFolder.find(folders);
  if (found == folderFacts_.sameFolder.end())
    found = folderFacts_.sameFolder.emplace(folders, ::SameFolder(folders.substr(0, split), folders.substr(split + 1)))
                .first;
  return found->second && ::SameFile(a, b);
}
// Asked of the source's folder, once a run for each show folder: a file
// lying in a folder is on that folder's file system (the one exception, a
// file mounted over, cannot be renamed anyway).
bool SweptMoveView::OnOneFileSystem(const NativeString& entry, const NativeString& folder) const {
  if (entry != source_) return ::OnOneFileSystem(entry, folder);
  NativeString folders = FolderPartOf(entry);
  folders.append(1, NATIVE('\0')).append(folder);
  auto found = folderFacts_.oneFileSystem.find(folders);
  if (found == folderFacts_.oneFileSystem.end())
    found = folderFacts_.oneFileSystem.emplace(folders, ::OnOneFileSystem(entry, folder)).first;
  return found->second;
}
bool SweptMoveView::IsRemovableEntry(const NativeString& path) const {
  if (path == destination_) {
    destinationLooked_ = LookAtEntry(path, destinationLook_);
    return destinationLooked_ && destinationLook_.removable;
  }
  if (path != source_) return ::IsRemovableEntry(path);
  if (sourceRemovable_ < 0) sourceRemovable_ = ::IsRemovableEntry(path) ? 1 : 0;
  return sourceRemovable_ == 1;
}
const EntryLook* SweptMoveView::DestinationLook() const { return destinationLooked_ ? &destinationLook_ : nullptr; }
bool SweptMoveView::FolderExists(const NativeString& path) const {
  return path == sourceFolder_ || path == destinationFolder_ || ::FolderExists(path);
}
// A name found free a moment ago holds no file; one found taken is asked
// again (a replace checks whether it has gone meanwhile).
bool SweptMoveView::FileEntryExists(const NativeString& path) const {
  if (path == source_ && sourceThere_) return true;
  return (path != destination_ || destinationTaken_ != 0) && ::FileEntryExists(path);
}

void CheckMove(const NativeString& sourcePath, const NativeString& destinationPath,
               const DiskView& disk, bool removesSource) {
#ifdef _WIN32
  // A name that ends in a space or a dot (Linux and shares make them): every
  // call would trim it and act on another entry, a folder of the trimmed name say.
  const NativeStringView name = NativeStringView(sourcePath).substr(sourcePath.find_last_of(L'\\') + 1);
  if (!name.empty() && (name.back() == L' ' || name.back() == L'.'))
    throw EInOutError(NativeString(L"a name that ends in a space or a dot, which Windows trims"));
#endif
  ExpandInto(sourcePath, scratch.source);
  ExpandInto(destinationPath, scratch.destination);
  CheckPath(scratch.source, true, scratch.full, scratch.parent, disk);
  CheckPath(scratch.destination, false, scratch.full, scratch.parent, disk);
  // A read-only file may be copied to another disk but never removed from
  // its own: the move is bound to fail, so it fails before the copy. The
  // disks first: the attributes are asked only of a move between two.
  // A FIFO or a device cannot be copied there: the copy's own answer.
  if (!removesSource || disk.OnOneFileSystem(scratch.source, FolderPartOf(scratch.destination))) return;
  if (!CopiableAcross(scratch.source)) RaiseSystemError();
  if (!disk.IsRemovableEntry(scratch.source)) throw EInOutError(SystemErrorText(kReadOnlyRefusal));
}

void RefuseTheFileItself(const NativeString& sourcePath, const NativeString& destinationPath,
                         const DiskView& disk) {
  if (disk.SameEntry(sourcePath, destinationPath))
    throw EInOutError(NativeString(NATIVE("the show folder leads back to this file")));
}

bool PlanReplace(const NativeString& sourcePath, const NativeString& destinationPath,
                 const DiskView& disk) {
  CheckMove(sourcePath, destinationPath, disk);
  const NativeString& destination = scratch.destination;
  if (!disk.EntryExists(destination)) return false;
  // Another file's short name: that file is no old version of this one.
  if (OnlyAShortNameOf(destination))
    throw EInOutError(NativeString(NATIVE("another file's short name is this name")));
  // A show folder that leads back to the tidied folder: the "old file" is
  // the episode itself.
  RefuseTheFileItself(scratch.source, destination, disk);
  if (disk.IsRemovableEntry(destination)) {
#ifdef _WIN32
    // A link to a folder may be removed, yet is no file to set aside: the
    // replace would fail after moving it and the episode about. Said before
    // anything moves, by the preview alike.
    if (::FolderExists(destination)) throw EInOutError(NativeString(NATIVE("a folder of that name is in the way")));
    // The old file waits beside itself under a hidden name, which must fit
    // within the same 260 units (POSIX reaches it through its folder).
    const NativeString aside = FolderPartOf(destination).append(kAsidePrefix).append(NATIVE("XXXXXX"));
    if (CheckPathText(aside) == PathTextFault::TooLong)
      throw EPathTooLongException(NATIVE("The specified path is too long"));
#endif
    return true;
  }
  if (disk.FolderExists(destination))
    throw EInOutError(NativeString(NATIVE("a folder of that name is in the way")));
  // Gone since the name was found taken: a plain move.
  if (!disk.FileEntryExists(destination)) return false;
  throw EInOutError(NativeString(NATIVE("a read-only file of that name is in the way")));
}

void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath,
                  MoveSteps* steps) {
  RelocateFile(sourcePath, destinationPath, steps, TheDisk());
}

void RelocateFile(const NativeString& sourcePath, const NativeString& destinationPath,
                  MoveSteps* steps, const DiskView& disk) {
  const NativeString& source = scratch.source;
  const NativeString& destination = scratch.destination;
  CheckMove(sourcePath, destinationPath, disk);
  if (disk.FileEntryExists(destination))
    throw EInOutError(NativeString(NATIVE("The specified file already exists")));
  if (steps) steps->AtStep(MoveStep::Checked, destination);

  // Different roots (drives) are different disks: a move by copy, which
  // takes its copy back when the source cannot go.
  const bool moved = RootOf(source) == RootOf(destination) ? MoveFileNoReplace(source, destination, steps)
                                                           : MoveByCopy(source, destination, steps);
  if (!moved) RaiseSystemError();
}
