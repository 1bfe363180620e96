#include "app/driver.h"

#include <string>

#include "organiser/hard_link.h"
#include "organiser/preview.h"
#include "organiser/sweep.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {

// The folder argument, or false once its line is printed.
bool TakeFolder(NativeString& folder) {
  folder = FirstArgument();
  if (folder.empty()) {
    WriteLine(NATIVE("Path not specified"));
    return false;
  }
  if (!FolderExists(folder)) {
    WriteLine(NATIVE("Path not found: ") + folder);
    return false;
  }
  return true;
}

// The companions follow the usual conventions: --help and --version on
// standard output with status 0, and a usage error on standard error with
// status 2 (no argument, no such folder, a file where a folder is wanted),
// and write whole lines to a log.
// The folder, or false once all is said.
bool TakeCompanionFolder(NativeStringView program, NativeStringView about, NativeString& folder,
                         NativeStringView more = {}, bool takesFile = false) {
  WriteWholeLines();
  folder = FirstArgument();
  const NativeString usage = NativeString(NATIVE("Usage: ")).append(program).append(NATIVE(" <folder>")).append(more);
  if (folder == NATIVE("--help")) {
    WriteLine(usage);
    WriteLine(about);
    WriteLine(NATIVE("Exit status: 0 when no line says FAILED, 1 when one does, 2 for a usage error."));
    ExitStatus = 0;
    return false;
  }
  if (folder == NATIVE("--version")) {
    const std::string version = TVTIDY_VERSION;
    WriteLine(NativeString(program).append(1, NATIVE(' ')).append(version.begin(), version.end()));
    ExitStatus = 0;
    return false;
  }
  ExitStatus = 2;
  if (folder.empty())
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
  SweepDirectory(folder);
  WriteSummary(NATIVE("Moved "), MovedFileCount);
}

void RunPreview() {
  NativeString folder;
  if (!TakeCompanionFolder(NATIVE("tvtidy-preview"),
                           NATIVE("Shows what tvtidy would do to the folder, line for line, and changes nothing."),
                           folder))
    return;
  PreviewEffects effects;
  SweepDirectory(folder, effects);
  WriteSummary(NATIVE("Would move "), effects.Count());
  effects.Warnings().Write();
  ExitStatus = effects.AnyFailed() ? 1 : 0;  // a script may check a folder first
}

void RunLink() {
  NativeString folder;
  if (!TakeCompanionFolder(NATIVE("tvtidy-link"),
                           NATIVE("Gives each episode in the folder, and in the torrents' own folders one level "
                                  "down, a hard link in its show folder (in the library, when one is given) and "
                                  "leaves it in place, so that a download client keeps seeding it."),
                           folder, NATIVE(" [<library>]"), true))
    return;
  // One file (a single-file torrent): that episode and its subtitles alone.
  LinkEffects effects;
  const bool oneFile = FileEntryExists(folder);
  if (oneFile) {
    const size_t at = folder.find_last_of(kDelimiter);
    effects.OnlyFile(NativeStringView(folder).substr(at == folder.npos ? 0 : at + 1));
    folder = FolderPartOf(folder);
  }
  NativeString library = SecondArgument();
  if (library.empty()) {
    library = folder;
  } else if (FileEntryExists(library) || !FolderExists(library)) {
    WriteNotice(NativeString(FileEntryExists(library) ? NATIVE("Not a folder: ") : NATIVE("Path not found: "))
                    .append(library));
    WriteNotice(NATIVE("Usage: tvtidy-link <folder> [<library>]"));
    return;
  }
  // A library inside the download folder is not a torrent's folder.
  NativeString full;
  if (!oneFile && library != folder &&
      CanonicalPath(library.substr(0, library.find_last_not_of(kDelimiter) + 1), full) &&
      SameFolder(FolderPartOf(full), folder))
    effects.LeaveOut(NativeStringView(full).substr(full.find_last_of(kDelimiter) + 1));
  FolderLock lock(library);  // hooks that fire together take turns where show folders are made
  SweepDirectory(folder, library, effects);
  if (!oneFile) LinkTorrentFolders(folder, library, effects);
  WriteSummary(NATIVE("Linked "), effects.Count());
  ExitStatus = effects.AnyFailed() ? 1 : 0;
}
