// tvtidy-preview's effects: the sweep runs as it would, the disk is only
// looked at, and each line says what the run would do.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <unordered_set>

#include "core/journal.h"
#include "tidy/preview_warnings.h"
#include "core/relocation.h"
#include "core/sweep.h"
#include "platform/letter_case.h"

class PreviewEffects : public SweepEffects {
 public:
  bool FolderExists(const NativeString& path) override;
  bool MakeFolder(const NativeString& path) override;
  bool UsableFolder(const NativeString& path) override;
  bool QuickMove(const NativeString&, const NativeString&) override { return false; }
  void Move(const NativeString& source, const NativeString& target, bool folderExisted, bool) override;

  void Skipped(NativeStringView name) override;
  void FolderCreated(NativeStringView folder) override;
  void FolderFailed(NativeStringView folder) override;
  void FolderRefused(NativeStringView folder, NativeStringView why) override {
    reason_.assign(why);
    FolderFailed(folder);
  }
  void Moved(NativeStringView source, NativeStringView target) override;
  void MoveFailed(NativeStringView source, const Exception* why) override;
  // What the run would finish first, of what its journal shows a stopped run left.
  void Foresee(const RunJournal& journal);
  void Begin(NativeStringView base) override { base_ = base; }
  // Not what the run will have taken away before it lists the folder.
  bool Considers(NativeStringView name) override {
    return unlisted_.empty() || unlisted_.count(NativeString(name)) == 0;
  }
  void PassedFolder(NativeStringView name) override { warnings_.SubFolder(base_, name); }
  std::int32_t Count() const { return count_; }
  const PreviewWarnings& Warnings() const { return warnings_; }
  bool AnyFailed() const { return failed_; }

 private:
  // The disk as the run will have changed it: the folders it made, the
  // files it moved away (gone for links that led to them) and the names they
  // took, by full path. It grows with the shows and the moved files, never
  // beyond.
  class Disk : public DiskView {
   public:
    bool FolderExists(const NativeString& path) const override;
    bool FileEntryExists(const NativeString& path) const override;
    bool EntryExists(const NativeString& path) const override;
    bool SameEntry(const NativeString& a, const NativeString& b) const override;
    bool IsRemovableEntry(const NativeString& path) const override;
    // One file under both names, as the disk will be (an arrival is another file).
    bool SameFile(const NativeString& a, const NativeString& b) const;
    bool Made(const NativeString& path) const;
    // Whether the path lies in a folder that the run will have made.
    bool InMadeFolder(const NativeString& path) const;
    void Make(const NativeString& path);
    void Gone(const NativeString& path);
    // The file at source takes the name target. Kept only where a later name
    // of the run can meet it (a folder that ignores case), or with keptThere
    // (an old file put back, which the show's own episode meets).
    void Arrive(const NativeString& source, const NativeString& target, bool keptThere = false);

   private:
    using Names = std::conditional_t<kNamesIgnoreCase, IgnoringCaseLess, std::less<>>;
    // Names compared as their folder compares them.
    struct AsTheFolder {
      bool ignoreCase = kNamesIgnoreCase;
      bool operator()(const NativeString& a, const NativeString& b) const {
        return ignoreCase ? CompareIgnoringCase(a, b) < 0 : a < b;
      }
    };
    // Names that arrived in one folder: whether each may be replaced in turn.
    using Arrived = std::map<NativeString, bool, AsTheFolder>;
    // A show folder as the sweep names it: where it resolves, and whether
    // its names ignore case. Only there can a later name meet an arrival
    // (names in one folder differ), so only there are arrivals kept.
    struct Folder {
      NativeString resolved;
      bool ignoresCase = false;
    };
    // The facts of the path's folder (asked once per folder); name_ gets the last name.
    const Folder* FolderOf(const NativeString& path) const;
    Arrived* ArrivalsIn(const Folder& folder) const;
    const bool* Arrival(const NativeString& path) const;
    std::set<NativeString, Names> made_;
    std::set<NativeString> gone_;
    mutable std::map<NativeString, Arrived> arrived_;
    mutable std::map<NativeString, Folder> folders_;
    mutable NativeString full_, name_, folderName_, lastFolder_;
    mutable bool lastMade_ = false;
  };


  Disk disk_;
  PreviewWarnings warnings_;
  NativeString base_, reason_, line_, folder_;
  bool replacing_ = false, sameFile_ = false, failed_ = false;
  std::int32_t count_ = 0;
  std::unordered_set<NativeString> unlisted_;  // names the run's finishing takes from the folder
};
