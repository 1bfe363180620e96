// tvtidy-undo: a run taken back from its own lines. A moved file goes back
// onto its free name, a link goes while it is still a name of its download's
// file, a folder the run made goes once empty; nothing is ever replaced, and
// what cannot come back gets a line that says why.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "organiser/folder_index.h"
#include "platform/text.h"

class Undo {
 public:
  // dryRun: every line a real undo would print, nothing changed.
  explicit Undo(bool dryRun) : dryRun_(dryRun) {}

  // One line of a log, its line end taken off; false for a line that no run
  // of tvtidy or tvtidy-link prints.
  bool Read(NativeStringView line);

  // Takes back everything read, latest first: files, then links, then
  // folders (a folder goes once what the run put in it is gone).
  void Apply();

  bool AnyFailed() const { return failed_; }

 private:
  struct Link {
    NativeString source, link, file;  // file: the one linked (a symbolic link's own file)
  };
  void Restore(const NativeString& path);
  void RemoveLink(const Link& link);
  void RemoveFolder(const NativeString& folder);
  // Where the run put the file: its show folder in the spelling that holds
  // it, found by the sweep's own rules; false when none holds it.
  bool FindMoved(const NativeString& path, NativeString& moved);
  // Whether the folder holds nothing but what this undo took out of it.
  bool EmptiedBy(const NativeString& folder) const;
  void Say(NativeStringView prefix, NativeStringView what, NativeStringView reason = {});
  void Fail(NativeStringView prefix, NativeStringView what, NativeStringView reason);

  bool dryRun_;
  bool failed_ = false;
  std::vector<NativeString> moved_, folders_;
  std::vector<Link> links_;
  std::set<NativeString> takenOut_;  // paths emptied by this undo (or that a dry run would empty)
  std::map<NativeString, std::unique_ptr<FolderIndex>> bases_;
  NativeString line_;
};
