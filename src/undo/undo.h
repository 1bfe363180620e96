// tvtidy-undo: a run taken back from its own lines. A moved file goes back
// onto its free name, a link goes while it and its download are two names of
// one file, a copy while its download is there alike, a folder the run made
// goes once empty; nothing is ever replaced,
// and what cannot come back gets a line that says why.
//
// The dry run is the undo in thought: every question is asked through what
// the undo has changed so far (names freed, names taken, links and folders
// gone), so that its lines are the undo's, with "Would" where the undo says
// what it did.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "core/folder_index.h"
#include "platform/file_system.h"
#include "platform/letter_case.h"
#include "platform/text.h"

class Undo {
 public:
  // dryRun: every line a real undo would print, nothing changed.
  explicit Undo(bool dryRun) : dryRun_(dryRun) {}

  // One line of a log, its line end taken off; false for a line that no run
  // of tvtidy or tvtidy-link prints. A line as the system log keeps it (a
  // date, the host, "tvtidy-link[4242]: ") is read without its prefix; other
  // programs' lines there are passed over.
  bool Read(NativeStringView line);

  // Whether any folder the log names is there from the current folder:
  // none is, when the log's relative paths were written elsewhere. first:
  // the first folder it names.
  bool AnyFolderThere(NativeString& first) const;

  // Takes back everything read, latest line first (a folder goes once what
  // the run put in it is gone), then the summary line.
  void Apply();

  bool AnyFailed() const { return failed_; }
  // The folder the first moved file goes back to (with its delimiter), where
  // the undo keeps its journal; empty for a log that moved nothing.
  NativeString FirstRestoreFolder() const;
  // Whether any line read was one of the programs' own, a summary included.
  bool AnyLineOfOurs() const { return ours_; }

  // The log was written in the ANSI code page: a name that another entry
  // beside it is written alike as (Ωmega as Omega) is not taken back.
  void NamesMayBeLookAlikes() { lookAlikes_ = true; }

 private:
  struct Line {
    enum Kind { Moved, Linked, Copied, Created } kind;
    NativeString path;          // the moved file's old path, the link, the folder made
    NativeString source, file;  // a link's download, and the file it leads to (a symbolic link's)
    NativeString to;            // where a move put the file, where its line says so (--move)
  };
  void Restore(const Line& move);
  void RemoveLink(const Line& link);
  // A copy goes only while its download is there, of its size and time:
  // otherwise it may be the only one left.
  void RemoveCopy(const Line& copy);
  void RemoveFolder(const NativeString& folder);
  // Where the run put the file: its show folder in the spelling that holds
  // it, found by the sweep's own rules; false when none holds it.
  bool FindMoved(const NativeString& path, NativeString& moved);

  // The disk as this undo has left it (or would have): what it took out, and
  // what it put back with where that file was before. Names are compared as
  // their folder compares them (Windows, exFAT: letter case ignored).
  bool Gone(const NativeString& path) const;
  NativeString AsTheDiskKnowsIt(const NativeString& path) const;
  // Each folder resolved once: a disk where every look is a round trip
  // answers once per folder, not per line.
  mutable std::map<NativeString, NativeString> resolved_;
  bool IgnoresCase(const NativeString& folder) const;
  bool There(const NativeString& path) const;
  bool FolderThere(const NativeString& path) const;
  const NativeString& Before(const NativeString& path) const;
  // Whether the folder holds nothing but what this undo took out of it.
  bool EmptiedBy(const NativeString& folder) const;

  void Say(NativeStringView done, NativeStringView would, NativeStringView what);
  void Fail(NativeStringView prefix, NativeStringView what, NativeStringView reason);

  bool dryRun_;
  bool lookAlikes_ = false;
  LookAlikes alike_;  // the folders' names as the log's code page writes them
  bool Ambiguous(const NativeString& path);
  bool failed_ = false;
  std::vector<Line> lines_;
  std::multiset<NativeString, IgnoringCaseLess> gone_;
  std::multimap<NativeString, NativeString, IgnoringCaseLess> arrived_;
  mutable std::map<NativeString, bool> ignoresCase_;  // by folder
  std::map<NativeString, std::unique_ptr<FolderIndex>> bases_;
  std::int64_t restored_ = 0, removedLinks_ = 0, removedCopies_ = 0, removedFolders_ = 0;
  bool ours_ = false;
  bool anyCopy_ = false;  // a log of tvtidy-link --copy: its summary counts copies too
  NativeString line_;
};
