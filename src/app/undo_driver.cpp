// tvtidy-undo's command line: a saved log, or a folder's journal.
#include <optional>
#include <string>

#include "app/companion_arguments.h"
#include "app/driver.h"
#include "core/journal.h"
#include "core/leftovers.h"
#include "undo/undo.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {

// A short piece of a line that is no log's, safe on a terminal: a binary
// file's first "line" can be a megabyte of control bytes.
NativeString Excerpt(NativeStringView line) {
  constexpr size_t kMost = 80;
  NativeString excerpt(line.substr(0, kMost));
  for (NativeChar& c : excerpt)
    if (UnitValue(c) < 0x20 || UnitValue(c) == 0x7F) c = NATIVE('?');
  if (line.size() > kMost) excerpt.append(NATIVE("..."));
  return excerpt;
}

// The last run of tvtidy on the folder, or of tvtidy-link into it as its
// library, as its journal recorded it: what a stopped run left under way is
// finished first, as the next run would.
void UndoFromJournal(const NativeString& folder, bool dryRun, NativeStringView usage) {
  RunJournal journal(WithTrailingDelimiter(folder), NATIVE("tvtidy-undo"), !dryRun);
  if (!journal.AnyRunRecorded()) {
    WriteNotice(NativeString(NATIVE("No run of tvtidy or tvtidy-link is recorded in ")).append(folder)
                    .append(NATIVE(": nothing to take back")));
    WriteNotice(usage);
    return;
  }
  RecordingInFlight recording(journal);
  if (!dryRun) FinishWhatWasLeft(journal);
  Undo undo(dryRun);
  for (const NativeString& line : journal.LastRunsLines()) undo.Read(line);
  undo.Apply();
  journal.Flush();
  ExitStatus = undo.AnyFailed() ? 1 : 0;
}

}  // namespace

void RunUndo() {
  WriteWholeLines();
  const CompanionArguments arguments = ReadCompanionArguments(true, 1);
  const bool dryRun = arguments.dryRun;
  const NativeString log = arguments.paths.empty() ? NativeString() : arguments.paths.front();
  const NativeStringView usage = NATIVE("Usage: tvtidy-undo [--dry-run] [--] <log or folder>");
  if (AnswersHelpOrVersion(arguments.helpOrVersion, NATIVE("tvtidy-undo"), usage,
                           NATIVE("Takes back a run of tvtidy or tvtidy-link from its saved lines (- for standard "
                                  "input), or the last run of tvtidy on a folder from the journal it keeps there, "
                                  "a stopped run included: moved files go back onto their free names, links go, "
                                  "and folders the run made go once empty. Nothing is replaced; a file that a run "
                                  "replaced cannot come back. --dry-run prints the lines and changes nothing."),
                           kCompanionStatuses))
    return;
  ExitStatus = 2;
  if (!arguments.wrong.empty()) {
    SayWrongArgument(arguments.wrong);
  } else if (log.empty()) {
    WriteNotice(NATIVE("Path not specified"));
  } else if (log != NATIVE("-") && FolderExists(log)) {
    UndoFromJournal(log, dryRun, usage);
    return;
  } else if (LogInput input(log); !input.Opened()) {
    WriteNotice(NativeString(NATIVE("Path not found: ")).append(log));
  } else {
    // The whole log is read first: one that is no run's output changes
    // nothing. It is read a line at a time, and stops at its first line
    // that no run of ours prints (a video given by mistake costs one block).
    Undo undo(dryRun);
    std::string bytes;
    NativeString text;
    size_t number = 0;
    bool refused = false;
    while (!refused && input.NextLine(bytes)) {
      EndHereIfSignalled();
      if (number == 0 && LogInAnsiPage(bytes)) undo.NamesMayBeLookAlikes();
      ++number;
      if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
      text = TextOfLog(bytes);
      refused = bytes.find('\0') != bytes.npos || !undo.Read(text);
    }
    if (refused || input.TooLong()) {
      if (input.TooLong()) ++number;
      const std::string at = std::to_string(number);
      WriteNotice(NativeString(NATIVE("Not a log of tvtidy or tvtidy-link, line "))
                      .append(at.begin(), at.end())
                      .append(NATIVE(": "))
                      .append(input.TooLong() ? NativeString(NATIVE("longer than any line of theirs")) : Excerpt(text)));
      WriteNotice(usage);
      return;
    }
    if (!undo.AnyLineOfOurs()) {
      WriteNotice(NativeString(NATIVE("No line of tvtidy or tvtidy-link in ")).append(log)
                      .append(NATIVE(": nothing to take back")));
      WriteNotice(usage);
      return;
    }
    // Relative paths are the run's current folder's: from another, nothing
    // the log names is found, and nothing is said to be gone.
    NativeString named, here;
    if (!undo.AnyFolderThere(named)) {
      int code = 0;
      FullPathName(NATIVE("."), here, code);
      if (here.size() > 2 && here.back() == NATIVE('.')) here.resize(here.size() - 2);  // "/home/me/." 
      WriteNotice(NativeString(NATIVE("None of the folders this log names is here, ")).append(named)
                      .append(NATIVE(" among them: its paths are read from the current folder (")).append(here)
                      .append(NATIVE("). Run tvtidy-undo from the folder the run was started in.")));
      return;
    }
    // The folder the files go back to keeps the undo's journal: a copy or a
    // placeholder a killed undo leaves there, the next run finishes.
    const NativeString restoreFolder = undo.FirstRestoreFolder();
    std::optional<RunJournal> journal;
    std::optional<RecordingInFlight> recording;
    if (!dryRun && !restoreFolder.empty()) {
      journal.emplace(restoreFolder, NATIVE("tvtidy-undo"), true);
      recording.emplace(*journal);
      FinishWhatWasLeft(*journal);
    }
    undo.Apply();
    ExitStatus = undo.AnyFailed() ? 1 : 0;
    return;
  }
  WriteNotice(usage);
}
