#include "app/driver.h"

#include "app/companion_arguments.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "library/hard_link.h"
#include "library/library_move.h"
#include "library/library_placement.h"
#include "core/journal.h"
#include "core/seeding.h"
#include "core/leftovers.h"
#include "tidy/preview.h"
#include "tidy/preview_warnings.h"
#include "core/sweep.h"
#include "tidy/tidy_effects.h"
#include "undo/undo.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {
// Windows users ask a console program for its usage with /?.
bool AsksForHelp(NativeStringView argument) {
#ifdef _WIN32
  if (argument == NATIVE("/?")) return true;
#endif
  return argument == NATIVE("--help");
}
}  // namespace

// --help and --version on standard output with status 0; false for any
// other argument.
bool AnswersHelpOrVersion(NativeStringView argument, NativeStringView program, NativeStringView usage,
                          NativeStringView about, NativeStringView statuses) {
  if (AsksForHelp(argument)) {
    WriteLine(usage);
    WriteLine(about);
    WriteLine(statuses);
    ExitStatus = 0;
    return true;
  }
  if (argument == NATIVE("--version")) {
    const std::string version = TVTIDY_VERSION;
    WriteLine(NativeString(program).append(1, NATIVE(' ')).append(version.begin(), version.end()));
    ExitStatus = 0;
    return true;
  }
  return false;
}

const NativeStringView kCompanionStatuses =
    NATIVE("Exit status: 0 when no line says FAILED, 1 when one does, 2 for a usage error.");

CompanionArguments ReadCompanionArguments(bool takesDryRun, size_t mostPaths, bool takesCopy) {
  CompanionArguments arguments;
  bool options = true;
  for (int at = 1;; ++at) {
    const NativeString argument = ArgumentAt(at);
    if (argument.empty()) break;
    if (options && argument == NATIVE("--")) {
      options = false;
    } else if (options && (AsksForHelp(argument) || argument == NATIVE("--version"))) {
      if (arguments.helpOrVersion.empty()) arguments.helpOrVersion = argument;
    } else if (options && takesDryRun && argument == NATIVE("--dry-run")) {
      arguments.dryRun = true;
    } else if (options && takesCopy && argument == NATIVE("--copy")) {
      arguments.copy = true;
    } else if (options && takesCopy && argument == NATIVE("--move")) {
      arguments.move = true;
    } else if (options && takesCopy && argument == NATIVE("--rename")) {
      arguments.rename = true;
    } else if ((options && argument.size() > 1 && argument[0] == NATIVE('-')) || arguments.paths.size() == mostPaths) {
      if (arguments.wrong.empty()) arguments.wrong = argument;
    } else {
      arguments.paths.push_back(argument);
    }
  }
  // A move crosses disks on its own; a copy leaves the download.
  if (arguments.copy && arguments.move) arguments.clash = NATIVE("--move and --copy cannot go together");
  return arguments;
}

void SayWrongArgument(const NativeString& wrong) {
  WriteNotice(NativeString(wrong[0] == NATIVE('-') ? NATIVE("Unknown option: ") : NATIVE("Unexpected argument: "))
                  .append(wrong));
}

namespace {

// A line that ends a run before it starts: where the lines go to a log, it
// is seen on the terminal too (standard error), and the log keeps it as ever.
void SayEnding(const NativeString& text) {
  WriteLine(text);
  if (!OutputIsCharacterDevice()) WriteNotice(text);
}

// The folder argument, or false once its line is printed. --help and
// --version answer only where no folder of that name is there to tidy.
bool TakeFolder(NativeString& folder) {
  folder = FirstArgument();
  if (!FolderExists(folder) &&
      AnswersHelpOrVersion(folder, NATIVE("tvtidy"), NATIVE("Usage: tvtidy <folder>"),
                           NATIVE("Moves each TV episode file lying in the folder (Show.Name.S01E02.mkv) into a "
                                  "sub-folder named after its show (Show Name), with one line per file. It moves "
                                  "files a torrent client may still be seeding: use tvtidy-link there."),
                           NATIVE("Exit status: 1 after every run, 0 for --help and --version.")))
    return false;
  if (folder.empty()) {
    SayEnding(NATIVE("Path not specified"));
    return false;
  }
  if (!FolderExists(folder)) {
    SayEnding(NATIVE("Path not found: ") + folder);
    if (FileEntryExists(folder)) WriteNotice(NATIVE("Hint: tvtidy tidies a folder, and this is a file: ") + folder);
    return false;
  }
  // Only the first argument counts, as ever; a second one was most likely
  // meant as a library.
  const NativeString second = SecondArgument();
  if (!second.empty())
    WriteNotice(NativeString(NATIVE("Hint: tvtidy tidies one folder and leaves ")).append(second)
                    .append(NATIVE(" alone; tvtidy-link ")).append(folder).append(NATIVE(" ")).append(second)
                    .append(NATIVE(" fills a library")));
  return true;
}

// The companions follow the usual conventions: --help and --version on
// standard output with status 0, and a usage error on standard error with
// status 2 (no argument, an option it does not take, no such folder, a file
// where a folder is wanted), and write whole lines to a log.
// The folder, or false once all is said.
bool TakeCompanionFolder(NativeStringView program, NativeStringView about, const CompanionArguments& arguments,
                         NativeString& folder, NativeStringView more, bool takesFile = false) {
  WriteWholeLines();
  folder = arguments.paths.empty() ? NativeString() : arguments.paths.front();
  const NativeString usage = NativeString(NATIVE("Usage: ")).append(program).append(more);
  if (AnswersHelpOrVersion(arguments.helpOrVersion, program, usage, about, kCompanionStatuses)) return false;
  ExitStatus = 2;
  if (!arguments.wrong.empty())
    SayWrongArgument(arguments.wrong);
  else if (!arguments.clash.empty())
    WriteNotice(arguments.clash);
  else if (folder.empty())
    WriteNotice(NATIVE("Path not specified"));
  else if (FileEntryExists(folder) && !takesFile)
    WriteNotice(NativeString(NATIVE("Not a folder: ")).append(folder));
  else if (FileEntryExists(folder))
    return true;
  else if (!FolderExists(folder))
    WriteNotice(NativeString(NATIVE("Path not found: ")).append(folder));
  else
    return true;
  WriteNotice(usage);
  return false;
}

void WriteSummary(NativeStringView prefix, std::int32_t count) {
  const std::string number = std::to_string(count);
  WriteLine(NativeString(prefix) + NativeString(number.begin(), number.end()) + NATIVE(" files"));
}

}  // namespace

void RunDriver() {
  MovedFileCount = 0;
  ExitStatus = 1;  // scripts rely on 1 after every run, a completed one included
  NativeString folder;
  if (!TakeFolder(folder)) return;
  // Whole lines to a log, in blocks: a run killed mid-write never leaves
  // half a line, and a moved file costs about one call.
  WriteWholeLines();
  // The folder's journal, held for the run: one run at a time, and what a
  // stopped one left under way is finished first.
  RunJournal journal(WithTrailingDelimiter(folder), NATIVE("tvtidy"), true);
  RecordingInFlight recording(journal);
  FinishWhatWasLeft(journal);
  SweepDirectory(folder);
  journal.Flush();
  WriteSummary(NATIVE("Moved "), MovedFileCount);
  // The last block written here, not silently at the end: a log that cannot
  // take it gets the report, however few the lines.
  WriteOutLastLines();
}

void RunPreview() {
  NativeString folder;
  if (!TakeCompanionFolder(NATIVE("tvtidy-preview"),
                           NATIVE("Shows what tvtidy would do to the folder, line for line, and changes nothing. "
                                  "It warns of episodes a download client may still be seeding."),
                           ReadCompanionArguments(false, 1), folder, NATIVE(" [--] <folder>")))
    return;
  PreviewEffects effects;
  effects.Foresee(RunJournal(WithTrailingDelimiter(folder), NATIVE("tvtidy-preview"), false));
  SweepDirectory(folder, effects);
  WriteSummary(NATIVE("Would move "), effects.Count());
  effects.Warnings().Write();
  ExitStatus = effects.AnyFailed() ? 1 : 0;  // a script may check a folder first
}

void RunLink() {
  const CompanionArguments arguments = ReadCompanionArguments(true, 2, true);
  const bool dryRun = arguments.dryRun;
  const NativeStringView usage = NATIVE(" [--dry-run] [--copy | --move] [--rename] [--] <folder or file> [<library>]");
  NativeString folder;
  if (!TakeCompanionFolder(NATIVE("tvtidy-link"),
                           NATIVE("Gives each episode in the folder, and in the torrents' own folders below it, a "
                                  "hard link in its show folder (in the library, when one is given; made when "
                                  "missing) and leaves it in place, so that a download client keeps seeding it. "
                                  "--dry-run prints the lines a run would print and changes nothing. --copy "
                                  "copies each episode into a library on another disk, where no link can go. "
                                  "--move moves each episode and its subtitles into the library instead, for "
                                  "downloads nobody seeds. --rename names each in the library as media servers "
                                  "read it (Show - S01E05.mkv)."),
                           arguments, folder, usage, true))
    return;
  // --move: the same library, its files moved into it.
  const std::unique_ptr<LinkEffects> owned =
      arguments.move ? std::make_unique<LibraryMoveEffects>() : std::make_unique<LinkEffects>();
  LinkEffects& effects = *owned;
  if (dryRun) effects.DryRun();
  if (arguments.copy) effects.CopyAcrossDisks();
  const NativeStringView summary = arguments.move ? (dryRun ? NATIVE("Would move ") : NATIVE("Moved "))
                                                  : (dryRun ? NATIVE("Would link ") : NATIVE("Linked "));
  // One file (a single-file torrent): that episode and its subtitles alone.
  const bool oneFile = FileEntryExists(folder);
  if (oneFile) {
    const size_t nameAt = folder.find_last_of(kDelimiter);
    effects.OnlyFile(NativeStringView(folder).substr(nameAt == folder.npos ? 0 : nameAt + 1));
    folder = FolderPartOf(folder);
  }
  NativeString library = arguments.paths.size() > 1 ? arguments.paths[1] : NativeString();
  const NativeString parent = FolderPartOf(NativeStringView(library).substr(0, library.find_last_not_of(kDelimiter) + 1));
  if (library.empty()) {
    library = folder;
  } else if (FileEntryExists(library) || (!FolderExists(library) && !FolderExists(parent.empty() ? NativeString(NATIVE(".")) : parent))) {
    WriteNotice(NativeString(FileEntryExists(library) ? NATIVE("Not a folder: ") : NATIVE("Path not found: "))
                    .append(library));
    WriteNotice(NativeString(NATIVE("Usage: tvtidy-link")).append(usage));
    return;
  }
  if (arguments.rename) effects.RenameEpisodes(library);
  bool libraryMade = false;
  if (!effects.FolderExists(library)) {
    // A library not made yet, one level below one that is: the first hook makes it.
    if (!effects.MakeFolder(library)) {
      effects.FolderFailed(library);
      WriteSummary(summary, 0);
      ExitStatus = 1;
      return;
    }
    effects.LibraryCreated(library);
    libraryMade = true;
  }
  // A library inside the download folder is not a torrent's folder.
  NativeString full, inThought;
  if (!oneFile && library != folder &&
      CanonicalPath(library.substr(0, library.find_last_not_of(kDelimiter) + 1), full) &&
      SameFolder(FolderPartOf(full), folder)) {
    const NativeStringView name = NativeStringView(full).substr(full.find_last_of(kDelimiter) + 1);
    effects.LeaveOut(name);
    if (dryRun && libraryMade) inThought = name;
  }
  FolderLock lock(library);  // hooks that fire together take turns where show folders are made
  // The library's journal: copies and placeholders are recorded before they
  // are made, and what a stopped run left of them is finished first.
  std::optional<RunJournal> journal;
  std::optional<RecordingInFlight> recording;
  if (!dryRun) {
    journal.emplace(WithTrailingDelimiter(library), NATIVE("tvtidy-link"), true);
    recording.emplace(*journal);
    FinishWhatWasLeft(*journal);
  }
  // Moved, a seeding torrent's files are gone for its client: said before.
  if (const NativeString why = arguments.move ? SeedingSign(folder) : NativeString(); !why.empty())
    WriteNotice(NativeString(NATIVE("Warning: a torrent client may still seed from this folder (")).append(why)
                    .append(NATIVE("): --move takes its episodes away from the client; without it they are linked: "))
                    .append(folder));
  SweepIntoLibrary(folder, library, effects);
  // Made in thought, it is in no listing: passed once the listing is done,
  // among the download folder's lines, as the run's listing passes it.
  if (!inThought.empty()) effects.PassedFolder(inThought);
  if (!oneFile) LinkTorrentFolders(folder, library, effects);
  WriteSummary(summary, effects.Count());
  ExitStatus = effects.AnyFailed() ? 1 : 0;
}
