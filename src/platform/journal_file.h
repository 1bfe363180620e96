// The file of a run's journal in a folder: made where missing (hidden on
// Windows), held by one process at a time for as long as the object lives
// (a second waits its turn and says so on standard error), read from its
// start, and appended in whole records, one write each, so that a killed
// run never leaves half a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"

class JournalFile {
 public:
  // forWriting false: read only, nothing made or held (a preview, a dry run).
  JournalFile(const NativeString& path, bool forWriting);
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  bool IsOpen() const { return handle_ != kNone; }
  // Its bytes from the start; false where it cannot be read.
  bool ReadAll(std::string& bytes) const;
  std::uint64_t Size() const;
  // One write of whole records at its end.
  bool Append(std::string_view bytes);
  // Renames the file to `older` (ours, replaced) and starts an empty one,
  // still held.
  bool StartAnew(const NativeString& older);

 private:
  static constexpr std::intptr_t kNone = -1;
  NativeString path_;
  bool forWriting_;
  std::intptr_t handle_ = kNone;
};
