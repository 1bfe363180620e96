// What a run has under way under a name of its own making (an old file set
// aside, a copy not named yet, a source on its way out, a placeholder): told
// to the run's journal before the name is made and once it is settled, so
// that a run stopped in between (kill -9, a power loss) leaves the next run
// facts to finish, never a name to guess from.
#pragma once

#include "platform/file_system.h"
#include "platform/text.h"

enum class InFlightKind {
  Aside,        // an old file waiting for its replace: path, its own name, and the new file's
  Copy,         // a copy not named yet: path, and the file it copies
  Gone,         // a copied source on its way out: path, its own name, and its copy
  Placeholder,  // an empty file holding a name: path, and the file that comes
};

class InFlightRecorder {
 public:
  virtual ~InFlightRecorder() = default;
  // About to make `path`; `of` and `copy` as the kind says. `ofStamp`: an
  // old file's stamp as the look that decided its replace found it.
  virtual void Begin(InFlightKind kind, const NativeString& path, const NativeString& of,
                     const NativeString& copy = {}, const FileStamp* ofStamp = nullptr) = 0;
  // An old file's replace has its new file in place: the old one goes.
  // Recorded in the batch.
  virtual void Arrived(const NativeString& path) = 0;
  // That replace unwinds after all: the old file is to come back.
  virtual void Unwinding(const NativeString& path) = 0;
  // The name is gone, or is the file's real name now.
  virtual void Settled(const NativeString& path) = 0;
  // A plain move, a folder made, a link or a copy made (of the file itself,
  // not of a symbolic link to it), recorded in batches.
  virtual void Moved(NativeStringView source, NativeStringView target) = 0;
  virtual void FolderMade(NativeStringView folder) = 0;
  virtual void Linked(NativeStringView file, NativeStringView link, bool copy) = 0;
};

// The recorder of the run, for as long as its RecordingInFlight lives; none
// otherwise (a preview, a dry run, a folder where no journal can be kept).
InFlightRecorder* InFlight();

class RecordingInFlight {
 public:
  explicit RecordingInFlight(InFlightRecorder& recorder);
  ~RecordingInFlight();
  RecordingInFlight(const RecordingInFlight&) = delete;
  RecordingInFlight& operator=(const RecordingInFlight&) = delete;

 private:
  InFlightRecorder* before_;
};

// Shorthands for the move code: nothing where no journal is kept, and the
// platform's last error code as the step left it.
inline void BeginInFlight(InFlightKind kind, const NativeString& path, const NativeString& of,
                          const NativeString& copy = {}, const FileStamp* ofStamp = nullptr) {
  if (InFlightRecorder* recorder = InFlight()) {
    const int code = LastErrorCode();
    recorder->Begin(kind, path, of, copy, ofStamp);
    SetLastErrorCode(code);
  }
}
inline void SettledInFlight(const NativeString& path) {
  if (InFlightRecorder* recorder = InFlight()) {
    const int code = LastErrorCode();
    recorder->Settled(path);
    SetLastErrorCode(code);
  }
}
