#include "platform/journal_file.h"

#include <windows.h>

#include "platform/ending.h"
#include "platform/process.h"

namespace {
HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A run's handle lets others read, never write: a second run is refused
// (sharing violation) until the first is done, and a preview still reads.
// Never through a reparse point: a link to another file is no journal.
HANDLE OpenJournal(const NativeString& path, bool forWriting) {
  return forWriting ? CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                    : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Its turn, in short waits, so that Ctrl-C still ends a run that waits.
HANDLE TakeTurn(const NativeString& path) {
  bool said = false;
  for (;;) {
    const HANDLE file = OpenJournal(path, true);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || EndingSignalPending())
      return file;
    if (!said) WriteNotice(NativeString(L"Waiting for another run that keeps its journal in ") + path);
    said = true;
    Sleep(50);
  }
}

bool PlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}
}  // namespace

JournalFile::JournalFile(const NativeString& path, bool forWriting) : path_(path), forWriting_(forWriting) {
  HANDLE file = forWriting ? TakeTurn(path) : OpenJournal(path, false);
  if (file != INVALID_HANDLE_VALUE && !PlainFile(file)) {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  if (file != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<std::intptr_t>(file);
}

JournalFile::~JournalFile() {
  if (IsOpen()) CloseHandle(Handle(handle_));
}

bool JournalFile::ReadAll(std::string& bytes) const {
  bytes.clear();
  if (!IsOpen()) return false;
  char block[65536];
  OVERLAPPED at{};
  for (std::uint64_t offset = 0;;) {
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(Handle(handle_), block, sizeof block, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF;
    if (got == 0) return true;
    bytes.append(block, got);
    offset += got;
  }
}

std::uint64_t JournalFile::Size() const {
  BY_HANDLE_FILE_INFORMATION information;
  if (!IsOpen() || !GetFileInformationByHandle(Handle(handle_), &information)) return 0;
  return (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
}

bool JournalFile::Append(std::string_view bytes) {
  if (!IsOpen() || !forWriting_) return false;
  while (!bytes.empty()) {
    DWORD wrote = 0;
    const DWORD count = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(Handle(handle_), bytes.data(), count, &wrote, nullptr) || wrote == 0) return false;
    bytes.remove_prefix(wrote);
  }
  return true;
}

// Let go for the rename (an open file without delete sharing cannot be
// renamed), then taken again: should another run come in between, this one
// waits its turn as at its start.
bool JournalFile::StartAnew(const NativeString& older) {
  if (!IsOpen() || !forWriting_) return false;
  CloseHandle(Handle(handle_));
  handle_ = kNone;
  const bool renamed = MoveFileExW(path_.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  const HANDLE file = TakeTurn(path_);
  if (file != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<std::intptr_t>(file);
  return renamed && IsOpen();
}
