// Moves and replaces on Windows, with the promises of the POSIX build: a
// name is taken by MoveFileExW with no flag, which neither replaces nor
// copies; onto another volume a copy goes through a hidden name
// (move_across.h); and a file goes only through a handle that shares
// nothing, so that no other program holds it open, whatever it shares.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/move_across.h"
#include "platform/progress.h"

namespace {

// What tells a file again: its volume and index, which NTFS keeps through
// renames, its size and its last write.
struct Known {
  DWORD volume = 0, indexHigh = 0, indexLow = 0, sizeHigh = 0, sizeLow = 0;
  FILETIME written{};
};

bool KnowByHandle(HANDLE file, Known& known, BY_HANDLE_FILE_INFORMATION* all = nullptr) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return false;
  known = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
           information.nFileSizeHigh,        information.nFileSizeLow,   information.ftLastWriteTime};
  if (all) *all = information;
  return true;
}

bool IsStill(const Known& known, const Known& now) {
  return known.volume == now.volume && known.indexHigh == now.indexHigh && known.indexLow == now.indexLow &&
         known.sizeHigh == now.sizeHigh && known.sizeLow == now.sizeLow &&
         known.written.dwLowDateTime == now.written.dwLowDateTime &&
         known.written.dwHighDateTime == now.written.dwHighDateTime;
}

// Closes a handle without losing the error code of what failed before.
void CloseKeepingError(HANDLE handle) {
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

// Removes the file the handle holds (opened with delete access), through the
// handle: whatever is at its name by now is not touched.
bool RemoveHeld(HANDLE file) {
  FILE_DISPOSITION_INFO remove{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove) != 0;
}

// A file held by this program alone: opened for deletion, sharing nothing.
// Windows refuses that while any other program has the file open, whatever
// it shares (a writer that allows deletion included), and lets nobody open
// it meanwhile; the removal goes through the handle itself.
class HeldAlone {
 public:
  explicit HeldAlone(const NativeString& path)
      : handle_(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  ~HeldAlone() {
    if (Held()) CloseKeepingError(handle_);
  }
  HeldAlone(const HeldAlone&) = delete;
  HeldAlone& operator=(const HeldAlone&) = delete;

  bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Removed while still the file known (when one is given); a read-only
  // file is refused, as DeleteFileW refuses it.
  bool RemoveIfStill(const Known* known = nullptr) {
    Known now;
    if (!Held()) return false;
    if (known && (!KnowByHandle(handle_, now) || !IsStill(*known, now))) {
      SetLastError(ERROR_SHARING_VIOLATION);  // written to, or another file by now
      return false;
    }
    return RemoveHeld(handle_);
  }

 private:
  HANDLE handle_;
};

// A file as it is now, without opening its data: false when it cannot be had.
bool KnowByName(const NativeString& path, Known& known, DWORD* attributes = nullptr) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;  // folders and links to them open too
  BY_HANDLE_FILE_INFORMATION all;
  const bool had = KnowByHandle(file, known, &all);
  if (had && attributes) *attributes = all.dwFileAttributes;
  CloseKeepingError(file);
  return had;
}

// Renames the file the handle holds (opened with delete access); never over
// an existing name.
bool RenameHeld(HANDLE file, const NativeString& to) {
  const size_t bytes = to.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(std::uint64_t) + 1);  // aligned
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  to.copy(rename->FileName, to.size());
  return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)));
}

// The Windows wing of a move by copy. The copy is made, named and, should
// the move fail, removed through one handle that shares nothing and is kept
// until the move is decided: no indexer or scanner can open it meanwhile,
// so none can keep it from its name or from going.
class CopyMove {
 public:
  CopyMove(const NativeString& source, const NativeString& destination)
      : source_(source), destination_(destination) {}
  ~CopyMove() {
    if (copy_ == INVALID_HANDLE_VALUE) return;
    const DWORD error = GetLastError();
    if (!named_ && !RemoveHeld(copy_)) CopyKept(temporary_, source_);
    else if (!named_) SettledInFlight(temporary_);
    CloseHandle(copy_);
    SetLastError(error);
  }
  CopyMove(const CopyMove&) = delete;
  CopyMove& operator=(const CopyMove&) = delete;

  // The source is read sharing only reading: a program that holds it open
  // for writing refuses this open, and none can open it for writing until
  // the copy is whole.
  bool CopyIntoPlace(MoveSteps* steps) {
    const HANDLE from = CreateFileW(source_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (from == INVALID_HANDLE_VALUE) return false;
    const bool copied = CopyFrom(from, steps);
    CloseKeepingError(from);
    if (!copied) return false;
    if (LongWorkStops()) {
      SetLastError(ERROR_OPERATION_ABORTED);  // the copy never takes the name: the move unwinds
      return false;
    }
    named_ = RenameHeld(copy_, destination_);
    if (named_) SettledInFlight(temporary_);
    return named_;
  }

  bool RemoveSource(MoveSteps* steps) {
    if (steps) steps->AtStep(MoveStep::Removing, source_);
    HeldAlone source(source_);
    if (!source.Held()) return false;  // held open by another program: a sharing violation
    if (steps) steps->AtStep(MoveStep::Held, source_);
    return source.RemoveIfStill(&start_);
  }

  // Nobody could open it since it was made: it is the copy, whole.
  bool RemoveCopy() {
    if (!RemoveHeld(copy_)) return false;
    CloseHandle(copy_);
    copy_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  bool CopyFrom(HANDLE from, MoveSteps* steps) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!KnowByHandle(from, start_, &information)) return false;
    for (int attempt = 0; attempt < 64 && copy_ == INVALID_HANDLE_VALUE; ++attempt) {
      HiddenNameBeside(destination_, L".tvtidy-", temporary_);
      // Longer than a short episode's name: past the limit Windows keeps to
      // (Wine does not), the copy could not be made.
      if (temporary_.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
      BeginInFlight(InFlightKind::Copy, temporary_, source_);  // the journal hears of it first
      copy_ = CreateFileW(temporary_.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
      if (copy_ == INVALID_HANDLE_VALUE) SettledInFlight(temporary_);
      if (copy_ == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (copy_ == INVALID_HANDLE_VALUE) return false;
    CopyProgress progress(source_, (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
                                       information.nFileSizeLow);
    bool ok = CopyData(from, copy_, progress);
    if (ok && steps) steps->AtStep(MoveStep::Copied, source_);
    // The times, and the attributes a file carries along, in one call.
    const DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const auto time = [](const FILETIME& at) {
      LARGE_INTEGER value;
      value.LowPart = at.dwLowDateTime;
      value.HighPart = static_cast<LONG>(at.dwHighDateTime);
      return value;
    };
    FILE_BASIC_INFO basic{};
    basic.CreationTime = time(information.ftCreationTime);
    basic.LastAccessTime = time(information.ftLastAccessTime);
    basic.LastWriteTime = time(information.ftLastWriteTime);
    basic.FileAttributes = information.dwFileAttributes & kept;  // none: left as made
    ok = ok && SetFileInformationByHandle(copy_, FileBasicInfo, &basic, sizeof basic) && FlushFileBuffers(copy_);
    // Nobody could write it meanwhile; a change would mean another file.
    Known now;
    if (ok && (!KnowByHandle(from, now) || !IsStill(start_, now))) {
      SetLastError(ERROR_SHARING_VIOLATION);
      ok = false;
    }
    return ok;
  }

  // In blocks, asking between them whether Ctrl-C or the console's closing
  // waits: then the copy stops and is removed (a copy back finishes).
  static bool CopyData(HANDLE from, HANDLE to, CopyProgress& progress) {
    static char block[1 << 20];
    for (std::uint64_t copied = 0;; progress.Reached(copied)) {
      if (LongWorkStops()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
      }
      DWORD got = 0;
      if (!ReadFile(from, block, sizeof block, &got, nullptr)) return false;
      if (got == 0) return true;
      for (DWORD done = 0; done < got;) {
        DWORD written = 0;
        if (!WriteFile(to, block + done, got - done, &written, nullptr)) return false;
        done += written;
      }
      copied += got;
    }
  }

  const NativeString& source_;
  const NativeString& destination_;
  NativeString temporary_;
  HANDLE copy_ = INVALID_HANDLE_VALUE;
  bool named_ = false;  // the copy holds the destination's name
  Known start_;
};

// The old file of the replace under way, as it was set aside.
struct {
  NativeString path;
  Known known;
} setAside;

}  // namespace

// Held from before the wing is made until it is gone: an ending event takes
// effect only once whatever the wing made is removed.
bool MoveByCopy(const NativeString& source, const NativeString& destination, MoveSteps* steps) {
  EndingSignalsHeld held;
  CopyMove move(source, destination);
  return MoveThroughCopy(move, source, destination, steps);
}

bool CopyNoReplace(const NativeString& source, const NativeString& destination) {
  EndingSignalsHeld held;
  CopyMove copy(source, destination);
  return copy.CopyIntoPlace(nullptr);
}

// No flag: never over an existing file, and never Windows' own copy onto
// another volume, which writes straight into the destination's name.
bool MoveFileNoReplace(const NativeString& source, const NativeString& destination, MoveSteps* steps) {
  EndingSignalsHeld held;
  if (MoveFileExW(source.c_str(), destination.c_str(), 0)) return true;
  return GetLastError() == ERROR_NOT_SAME_DEVICE && MoveByCopy(source, destination, steps);
}

// The Windows build makes its calls exactly as named: no shortcut.
struct QuickWay::Folders {};
QuickWay::QuickWay() = default;
QuickWay::QuickWay(std::size_t) {}
QuickWay::~QuickWay() = default;
bool QuickWay::RenameNoReplaceOnly(const NativeString&, const NativeString&, MoveSteps*) { return false; }

// A program holding the old file open with delete sharing may see it renamed
// aside; its removal then waits for that program (RemoveAside).
bool SetAsideAs(const NativeString& path, const NativeString& aside, NativeString& own) {
  EndingSignalsHeld held;
  StoredNameNow(path, own);
  if (!MoveFileExW(path.c_str(), aside.c_str(), 0)) return false;
  // A folder, or a link to one, is never removed as an old file: where a
  // rename moves what a link leads to (Wine), that would be a folder.
  DWORD attributes = 0;
  setAside.path = KnowByName(aside, setAside.known, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
                      ? aside : NativeString();
  return true;
}

bool PutBack(const NativeString& aside, const NativeString& own) {
  EndingSignalsHeld held;
  return MoveFileExW(aside.c_str(), own.c_str(), 0) != 0;
}

// Only while no other program has it open, and while it is the file set
// aside, untouched: otherwise the replace unwinds.
void OpenAsideToOthers() {}  // nothing held that shuts them out

bool RemoveAside(const NativeString& aside) {
  EndingSignalsHeld held;
  if (setAside.path != aside) {
    SetLastError(ERROR_SHARING_VIOLATION);  // never removed unknown: the replace unwinds
    return false;
  }
  return HeldAlone(aside).RemoveIfStill(&setAside.known);
}

bool CopiableAcross(const NativeString&) { return true; }  // no FIFOs or devices among files

OwnLinkReplace ReplaceByOwnLink(const NativeString&, const NativeString&, MoveSteps*) {
  return OwnLinkReplace::NotOneFile;
}
