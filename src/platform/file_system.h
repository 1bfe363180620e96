// File-system queries and changes as plain answers: none of them prints or raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <memory>

#include "platform/ending.h"  // EndingSignalsHeld, for every move
#include "platform/text.h"

// Whether the platform looks names up without regard to letter case.
#ifdef _WIN32
inline constexpr bool kNamesIgnoreCase = true;
#else
inline constexpr bool kNamesIgnoreCase = false;
#endif

// True for an existing folder, links followed. A path whose attributes cannot
// be read counts as a folder unless the failure says it is absent or malformed.
bool FolderExists(const NativeString& path);

// True for an existing entry that is not a folder, links followed.
bool FileEntryExists(const NativeString& path);

// Creates exactly one folder level; false if it exists or its parent is missing.
bool MakeFolder(const NativeString& path);

// Whether a folder of that path may be made as far as its length goes:
// Windows refuses a full path of 248 units or more (false, with its error
// code); POSIX reaches a long path through its folders: true.
bool FolderPathFits(const NativeString& path);

// The error code of RemoveFile's refusal of a read-only file, and of a hard
// link's refusal of another disk.
extern const int kReadOnlyRefusal;
extern const int kOtherDiskRefusal;

// MakeFolder, and where root makes it, the owner and group of the folder it
// is made in, so that later runs as that user can use it. All of it through
// the folder held open: a folder on the way swapped for a link meanwhile
// never makes root change another folder's owner.
bool MakeFolderOwnedAsItsParent(const NativeString& path);

// Removes a file or a link (to a file or a folder); never a real folder, and
// never a read-only file. On failure LastErrorCode() tells why the deletion failed.
bool RemoveFile(const NativeString& path);

// True when RemoveFile would remove the entry: a file or a link, not a real
// folder, nor a read-only file (on POSIX: one without any write permission bit).
bool IsRemovableEntry(const NativeString& path);
#ifdef _WIN32
bool RemovableByAttributes(unsigned long attributes);  // that rule, by the entry's attributes
#endif

// True when a failed move's error code says the destination name is taken.
bool IsNameClash(int code);

// Whether another program may be writing the file (a download still
// running): POSIX, a read lease refused, or, where none is given, a write
// within the last minute; Windows, a file open without read sharing.
bool MayBeBeingWritten(const NativeString& path);

// True for an entry of any kind under that exact path, links not followed: a
// dangling link or a FIFO is there too.
bool EntryExists(const NativeString& path);

// Whether an entry (not followed) is there, certainly absent, or hidden by a
// refusal (a folder this user may not search: LastErrorCode() says which).
// EntryExists is "not certainly absent".
enum class Lookup { There, Absent, Refused };
Lookup LookUpEntry(const NativeString& path);

// True when both paths name one entry of one folder: the same file reached
// through a folder that leads back to the other path's folder. Two hard links
// in different folders are two entries.
bool SameEntry(const NativeString& a, const NativeString& b);

// True when both paths, links followed, are one folder.
bool SameFolder(const NativeString& a, const NativeString& b);

// True when both paths are one file (device and inode, or volume and file
// index): two hard links of it, say. Links as the last name are not followed.
bool SameFile(const NativeString& a, const NativeString& b);

// Whether the file (a link as the last name not followed) has names besides
// this one: hard links, made by a client or by an earlier run.
bool HasOtherNames(const NativeString& path);

// Whether both paths are two names of one file: one file (SameFile) with
// more than one name, under two entries, not one entry reached through a
// link to its folder, "." or "..". Removing one of them leaves the file.
bool TwoNamesOfOneFile(const NativeString& a, const NativeString& b);

// Removes `path`, one name of a file that `other` still names
// (TwoNamesOfOneFile), whatever the file's own read-only attribute says: a
// name goes by its folder's leave. On Windows, where that attribute is the
// file's and refuses the deletion, it is taken off for the deletion and set
// again on the name that stays. False with LastErrorCode().
bool RemoveSecondName(const NativeString& path, const NativeString& other);

// A plain file's size and last write time, the entry itself: what a rename
// keeps, for knowing again a file under a name of the run's own making.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t written = 0;  // in the platform's own units
  bool operator==(const FileStamp&) const = default;
};
bool StampOf(const NativeString& path, FileStamp& stamp);

// One look at an entry itself, which a replace decides on and records: whether
// RemoveFile would remove it, how many names its file has (1 where the
// platform does not say), and its stamp where it is a plain file.
struct EntryLook {
  bool removable = false;
  bool stamped = false;
  unsigned links = 1;
  FileStamp stamp;
};
bool LookAtEntry(const NativeString& path, EntryLook& look);  // false: not there, or not to be looked at

// Whether `copy` holds the bytes of `original` and is another file: two
// plain files, neither one file nor one entry reached two ways (a folder
// link), of one size and the same content, read through. The proof that a
// removal of one of them loses nothing.
bool SameBytes(const NativeString& copy, const NativeString& original);

// The size of the entry itself (lstat, FindFirstFileW); false where it cannot be looked at.
bool EntrySize(const NativeString& path, std::uint64_t& size);

// Removes a folder that is empty (rmdir, RemoveDirectoryW); false otherwise.
bool RemoveEmptyFolder(const NativeString& path);

// Whether a refused link of `existing` (error code `code`) was refused
// because the file is another user's (Linux's fs.protected_hardlinks: only
// the owner, or one who may read and write it, may link it). Windows: false.
bool LinkRefusedAsOthersFile(const NativeString& existing, int code);
// Whether a link of `existing` would be refused so, before any is tried.
bool LinkWouldBeRefusedAsOthersFile(const NativeString& existing);

// Whether two names of the same size and modification time may be one file
// that the file system cannot show as one: a FUSE file system that numbers
// each name on its own and counts one link (sshfs). Never where SameFile can
// tell. Windows: false.
bool MayBeOneFile(const NativeString& a, const NativeString& b);

// Whether `copy` is a copy of `original` as a copy onto another disk keeps
// it: two plain files of one size and one modification time, to the two
// seconds the coarsest disk (FAT) keeps.
bool CopyOfFile(const NativeString& copy, const NativeString& original);

// A copy of the file at `source` as `destination`, through a hidden name
// beside it, flushed, and named without replacing anything; the source is
// left as it is. A failure leaves nothing behind. False with LastErrorCode().
bool CopyNoReplace(const NativeString& source, const NativeString& destination);

// A new name for an existing file, never over an existing entry (link(2),
// CreateHardLinkW). False with LastErrorCode().
bool MakeHardLink(const NativeString& existing, const NativeString& newName);

// Holds a folder for one process at a time, for as long as it lives; a
// second waits. POSIX: flock on the folder's own descriptor; Windows: a named
// mutex made from its full path. Nothing is written into the folder.
#ifdef _WIN32
// The mutex's name: one for every spelling of the folder, short whatever its length.
NativeString FolderLockName(const NativeString& folder);
#endif
class FolderLock {
 public:
  explicit FolderLock(const NativeString& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  void* handle_ = nullptr;
  int fd_ = -1;
};

// The path with every link and "." or ".." in its folders resolved, its own
// last name kept as it is (a link stays itself); false when it cannot be had.
bool CanonicalPath(const NativeString& path, NativeString& canonical);

// Where the link at path leads, as a path; false for anything but a link
// (and on Windows, whose previews do not follow links to files).
bool LinkTargetOf(const NativeString& path, NativeString& target);

// The path with its last name as its folder stores it at this moment: the
// path itself where names keep their case, else the spelling listed (asked
// of the folder itself: another program may have renamed it since any
// earlier look). False, with `stored` the path, when it cannot be told.
bool StoredNameNow(const NativeString& path, NativeString& stored);

// Whether the path's last name reaches an entry only as that entry's 8.3
// short name (Windows, where short names are kept: system drives, FAT32,
// exFAT): the entry is another file or folder, never the one of that name.
// Always false on POSIX.
bool OnlyAShortNameOf(const NativeString& path);

// Whether the folder's file system looks names up without regard to letter
// case (exFAT, FAT, SMB; always on Windows): its own name in another case
// finds it. A folder not there yet is asked of its parent.
bool NamesIgnoreCaseIn(const NativeString& folder);

// Whether another entry of the path's folder is written as its last name is
// in the ANSI code page, where Windows writes a letter the page lacks as a
// look-alike (Ωmega as Omega): a log in that page cannot tell them apart.
// Each folder is listed once, its names kept converted, and kept up to date
// with what the holder says it moved: an undo of thousands of files stays
// linear. POSIX: never.
class LookAlikes {
 public:
  bool Beside(const NativeString& path);
  void Moved(const NativeString& from, const NativeString& to);

 private:
  // A folder's names by their ANSI form, by the folder's path.
  std::unordered_map<NativeString, std::unordered_multimap<std::string, NativeString>> folders_;
};

// Whether the entry (not followed) and the folder (followed; its parent where
// it is not made yet) are on one file system, so that a move is a rename.
// Windows: one volume, by the volumes' serial numbers.
bool OnOneFileSystem(const NativeString& entry, const NativeString& folder);

// Whether this user may add and remove entries in the folder: write and
// search permission, on a file system mounted for writing. False with
// LastErrorCode() (POSIX); Windows leaves that to the call itself: true.
bool MayChangeEntriesIn(const NativeString& folder);

// Whether the entry, where it is a symbolic link, may be followed: as the
// kernel's rule for shared folders has it, a link in a folder that others can
// write only where it is this user's or the folder owner's; and one of
// another user only to what that user could read (a file) or change (a
// folder, to make entries in). True for anything but a link, and on Windows.
// Else false, with the reason in `why`.
bool MayFollowLink(const NativeString& path, bool toChange, NativeString& why);

// Points in a move where a test steps in, through the sweep's effects: a
// rival process, a writer, a signal. tvtidy's own effects do nothing there.
// Reserved: a placeholder of the program's own holds the destination's name
// (exFAT); Renaming: it was last checked, and the rename onto it is next;
// Removing: the copied source is about to be taken out of reach; Held: it is
// held from writers (POSIX: leased), and its rename out of reach is next.
enum class MoveStep { Checked, AsideSet, Copied, Arrived, Reserved, Renaming, Removing, Held };
class MoveSteps {
 public:
  virtual ~MoveSteps() = default;
  virtual void AtStep(MoveStep step, const NativeString& path) {
    (void)step;
    (void)path;
  }
};

// Renames within one file system, never over an existing entry; across file
// systems a move by copy (MoveByCopy). A failure leaves things as they were.
bool MoveFileNoReplace(const NativeString& source, const NativeString& destination,
                       MoveSteps* steps = nullptr);

// A move onto another disk (move_across.h): a flushed copy under a hidden
// name takes the destination's name without replacing anything, then the
// source goes while it is still the file copied and nobody writes it;
// otherwise the copy goes again (a read-only source: the relocation's checks
// refuse it before the copy where they see two disks).
bool MoveByCopy(const NativeString& source, const NativeString& destination, MoveSteps* steps = nullptr);

// Whether that copy can take the entry (not followed): a file, or on POSIX
// a symbolic link, made anew; a FIFO, a device or a socket stays where it
// is. False with LastErrorCode(). An entry that is not there passes: the
// move itself says so.
bool CopiableAcross(const NativeString& path);

// A run's quick way: only the way each device is known to take a name
// without replacing (the no-replace rename, a link then an unlink, a
// placeholder), between folders held open for as long as this object lives,
// with no fallback; false at once where there is none (Windows, another
// disk, a way not learned yet). It answers by itself what the checks of a
// move would find out. A move holds the folders it uses until it is done.
class QuickWay {
 public:
  QuickWay();
  explicit QuickWay(std::size_t mostHeld);  // how many folders stay open unused
  ~QuickWay();
  QuickWay(const QuickWay&) = delete;
  QuickWay& operator=(const QuickWay&) = delete;
  bool RenameNoReplaceOnly(const NativeString& source, const NativeString& destination,
                           MoveSteps* steps = nullptr);

 private:
  struct Folders;
  std::unique_ptr<Folders> folders_;
};

// A replace: the old file at `path` renamed to `aside` (a free name in its
// own folder) without replacing anything, and either put back under its own
// name or removed once the new file has arrived. `own` is set to that name
// as the folder stored it just before (StoredNameNow), whatever an earlier
// look said. A file still being written is neither set aside nor removed
// (EBUSY). False with LastErrorCode().
bool SetAsideAs(const NativeString& path, const NativeString& aside, NativeString& own);
bool PutBack(const NativeString& aside, const NativeString& own);
bool RemoveAside(const NativeString& aside);
// Before a step that may take long (a copy onto another disk): nobody who
// opens the old file set aside meanwhile waits on the run; its removal looks
// for them.
void OpenAsideToOthers();

// A replace whose old file is already the new one, a link of it (made by
// tvtidy-link): the source's name goes, and the show folder stays as it is.
// That name goes only while it is still a link of the target's file.
// NotOneFile: nothing changed, the replace takes its usual way (always so on
// Windows, whose build makes its calls as named). Failed: LastErrorCode().
enum class OwnLinkReplace { NotOneFile, Done, Failed };
OwnLinkReplace ReplaceByOwnLink(const NativeString& source, const NativeString& target,
                                MoveSteps* steps = nullptr);

// The path resolved against the current folder, into full. errorCode is 0 on
// success, 2 for a path that merely does not exist, anything else for a refusal.
void FullPathName(const NativeString& path, NativeString& full, int& errorCode);

// The platform's last error code (GetLastError, errno), and setting it.
int LastErrorCode();
void SetLastErrorCode(int code);

// The system's text for an error code, without a trailing full stop or blank.
NativeString SystemErrorText(int code);

// The path with one delimiter appended unless it already ends in one.
// Nothing else changes: no trimming, and "/" is not a delimiter on Windows.
inline NativeString WithTrailingDelimiter(NativeStringView path) {
  NativeString result(path);
  if (result.empty() || result.back() != kDelimiter) result.push_back(kDelimiter);
  return result;
}

// The folder that holds the path's last name, with its delimiter ("./" for a
// bare name): a path to open, list or stat, to which a name can be appended.
inline NativeString FolderPartOf(NativeStringView path) {
  const size_t delimiter = path.find_last_of(kDelimiter);
  if (delimiter == path.npos) return NativeString{NATIVE('.'), kDelimiter};
  return NativeString(path.substr(0, delimiter + 1));
}

// A short hidden name, new with each call, in the folder of `beside`: the
// prefix and six random letters or digits (a rename or an exclusive create
// then tells whether it is free).
void HiddenNameBeside(const NativeString& beside, NativeStringView prefix, NativeString& name);

// "." and "..": listed as folders, never entries of their own.
inline bool IsSelfOrParent(NativeStringView name) { return name == NATIVE(".") || name == NATIVE(".."); }

struct FolderEntry {
  NativeStringView name;  // valid until the listing moves on
  bool isFolder = false;  // "." and "..", sub-folders and links to folders
  bool isRegular = false; // known without a further call to be a plain file (never a link)
};

// One pass over the entries of a folder, in the platform's order. An opening
// that fails gives an empty listing, and Failure() its error code. It keeps delivering the remaining entries
// while files leave the folder and folders appear in it.
// startingWith: a hint that only names starting so are wanted. Windows asks
// the file system to match them (a share filters on the server); POSIX lists
// everything. The caller still checks each name.
class FolderListing {
 public:
  explicit FolderListing(const NativeString& folderWithDelimiter, NativeStringView startingWith = {});
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  bool HasEntry() const { return hasEntry_; }
  int Failure() const { return failure_; }
  const FolderEntry& Entry() const { return entry_; }
  void Advance();

 private:
  void* handle_ = nullptr;
  bool hasEntry_ = false;
  int failure_ = 0;
  FolderEntry entry_;
  void* data_ = nullptr;  // the platform's entry record, where it needs one
};
