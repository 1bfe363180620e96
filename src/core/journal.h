// A run's own journal in the folder it changes: whole lines of text,
// written before each step that takes more than one call (with what it
// makes and the identity of what it holds) and once it is settled; plain
// moves in batches. One run at a time holds it. The next run finishes what
// it shows under way, by what was recorded, and touches nothing else.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/in_flight.h"
#include "platform/journal_file.h"
#include "platform/text.h"

// The journal's name, and the start of its older copy's: the program's own
// files, which no sweep looks at.
inline constexpr NativeStringView kJournalName = NATIVE(".tvtidy.journal");
bool IsJournalName(NativeStringView name);

// Past this size at a run's start, the journal goes to ".tvtidy.journal.1"
// (one older copy kept) and starts anew with what is still under way.
inline constexpr std::uint64_t kJournalStartsAnewPast = 16u << 20;

// Something an earlier run made under a name of its own and never settled.
struct Unfinished {
  InFlightKind kind = InFlightKind::Aside;
  NativeString path, of, copy;  // as the journal's folder names them (an aside's copy: the new file)
  FileStamp stamp;              // an old file's, when it was set aside
  bool stamped = false;
  bool arrived = false;  // its replace has the new file in place
};

// One record's fields, and the line back (exposed for the tests).
std::string JournalLine(std::string_view verb, const std::vector<NativeString>& fields);
bool ReadJournalLine(std::string_view line, std::string& verb, std::vector<NativeString>& fields);

class RunJournal : public InFlightRecorder {
 public:
  // The journal of `folder` (with its delimiter), read; with forWriting,
  // made where missing and held for the run (a second run waits).
  RunJournal(const NativeString& folder, NativeStringView program, bool forWriting);
  ~RunJournal() override;
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  const NativeString& Folder() const { return folder_; }
  // What earlier runs left under way, oldest first.
  const std::vector<Unfinished>& Left() const { return left_; }
  // What the last run of tvtidy or tvtidy-link that changed anything
  // recorded it did, in its
  // order, as its lines say it ("Created Folder:", "Moved File:", "Linked
  // File:", "Copied File:"), its paths as this journal's folder names them.
  const std::vector<NativeString>& LastRunsLines() const { return lastRun_; }
  bool AnyRunRecorded() const { return anyRun_; }
  // Said of one of them once it is done with (finished, or no longer there).
  void Done(const Unfinished& item);
  // Starts anew where it has grown past its size, keeping what is still open.
  void KeepBounded();

  void Begin(InFlightKind kind, const NativeString& path, const NativeString& of, const NativeString& copy,
             const FileStamp* ofStamp) override;
  void Arrived(const NativeString& path) override;
  void Unwinding(const NativeString& path) override;
  void Settled(const NativeString& path) override;
  void Moved(NativeStringView source, NativeStringView target) override;
  void FolderMade(NativeStringView folder) override;
  void Linked(NativeStringView file, NativeStringView link, bool copy) override;
  // Writes out the batch.
  void Flush();

 private:
  NativeString Relative(const NativeString& path) const;
  void AppendPath(NativeStringView path);
  void Batched(std::string_view verb, NativeStringView first, NativeStringView second = {});
  NativeString Resolved(const NativeString& field) const;
  void Read();
  void Record(std::string_view verb, const std::vector<NativeString>& fields, bool now);
  void RecordItem(const Unfinished& item, bool now);

  NativeString folder_;
  JournalFile file_;
  bool writing_;
  std::vector<Unfinished> left_;
  std::vector<bool> done_;  // of left_, by place
  std::string batch_;
  std::vector<NativeString> lastRun_;
  bool anyRun_ = false;
};
