// tvtidy-link's effects: each episode gets a hard link in its show folder
// and stays where it is, so that a download client keeps seeding it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "library/library_rename.h"
#include "core/relocation.h"
#include "library/season_folders.h"
#include "core/sweep.h"
#include "platform/letter_case.h"

class LinkEffects : public SweepEffects {
 public:
  // Every line a link run would print, through the same decisions, and
  // nothing changed: folders are made and links taken only in thought.
  void DryRun() { dryRun_ = true; }
  // A library on another disk gets copies: each made whole under a hidden
  // name, the download untouched.
  void CopyAcrossDisks() { copy_ = true; }
  // --rename: each episode's name in the library is the form media servers
  // document ("Show - S01E05.mkv"), its subtitles' alike; the download keeps
  // its own. library: as the sweep is given it.
  void RenameEpisodes(const NativeString& library) { names_.RenameIn(library); }
  // The folders of `library` (with its delimiter) that a dry run has made
  // only in thought, each given to `each` by name: the disk's listing does
  // not have them.
  void FoldersMadeInThought(NativeStringView library, const std::function<void(NativeStringView)>& each);
  // Other folders (with their delimiters) that read as the show of the
  // folder a file is about to go to, that folder with its delimiter.
  void AlsoTheShow(const NativeString& showFolder, const std::vector<NativeString>& others) {
    othersOf_[showFolder] = others;
  }
  bool FolderExists(const NativeString& path) override;
  // Whether another folder of its show holds the file already (AlsoTheShow):
  // no season folder is made for it.
  bool HeldElsewhere(const NativeString& source, const NativeString& target) {
    return !othersOf_.empty() && LinkedElsewhere(source, target);
  }
  bool MakeFolder(const NativeString& path) override;
  bool UsableFolder(const NativeString& path) override {
    return MadeInThought(path) || SweepEffects::UsableFolder(path);
  }
  // A plain file into a show folder the checks have accepted: the new link
  // alone, which refuses whatever the checks would.
  bool QuickMove(const NativeString& source, const NativeString& target) override;
  // The season folders this run has found and made.
  SeasonFolders& SeasonsOfRun() { return seasons_; }
  // Sample clips, as releases mark them ("show.s01e01.sample.mkv"), stay out.
  bool Takes(const FolderEntry& entry) override;
  // Never deletes, renames, replaces or copies: a link, or a raised reason.
  void Move(const NativeString& source, const NativeString& target, bool folderExisted, bool listedPlain) override;

  void Skipped(NativeStringView name) override;
  void FolderCreated(NativeStringView folder) override;
  // The library itself, made by this run: its line alone.
  void LibraryCreated(NativeStringView folder);
  void FolderFailed(NativeStringView folder) override;
  void FolderRefused(NativeStringView folder, NativeStringView why) override {
    reason_.assign(why);
    FolderFailed(folder);
  }
  void Moved(NativeStringView source, NativeStringView target) override;
  void MoveFailed(NativeStringView source, const Exception* why) override;
  void ListingFailed(NativeStringView folder, int code) override;
  void Begin(NativeStringView base) override;
  // Sub-folders that may be torrents' own, or folders inside one (Season 1),
  // named by the listing of the folder they lie in: each is read once.
  // Sample, Samples, Subs and Extras folders are left out.
  void PassedFolder(NativeStringView name) override;
  // Only the named file and its subtitles (by the subtitles' own rule) are
  // looked at.
  void OnlyFile(NativeStringView name);
  // The library's name, where it lies in the download folder: never a torrent's.
  void LeaveOut(NativeStringView name) { leftOut_ = name; }
  bool Considers(NativeStringView name) override;
  // Subtitles follow their episode: each gets its own line once the folder
  // is gone through.
  void End() override;

  // A folder left out, with its line: by its name in the folder gone
  // through, or by its full path.
  void SkippedFolder(NativeStringView name, NativeStringView why);
  void SkippedFolderAt(NativeStringView path, NativeStringView why);
  // Whether a torrent's folder gathered (depth: as below) is gone through;
  // false once its line says why not.
  virtual bool GoesThrough(const NativeString& path, int depth) {
    (void)path, (void)depth;
    return true;
  }
  // The next folder gathered to go through, and how deep it lies below the
  // download folder (1: a torrent's own folder); false when none is left.
  bool NextTorrentFolder(NativeString& path, int& depth);
  // Whether this run has made the folder (with its delimiter), or linked an
  // episode of the folder's own show into it.
  // Asked of the folder itself, whichever link it is reached through.
  bool ShowFolderOfRun(const NativeString& folder) const { return showFoldersOfRun_.count(FolderKey(folder)) != 0; }

  std::int32_t Count() const { return count_; }
  bool AnyFailed() const { return failed_; }

 protected:
  // What is done to a download once the sweep has placed it: a link here,
  // a move in --move's effects. The quick way alone, or false with nothing
  // changed; and the whole of it, raising its failure.
  virtual bool QuickWayOnly(const NativeString& source, const NativeString& target);
  virtual void Place(const NativeString& source, const NativeString& target);

  // name: the subtitle's name there, where it is not its own (--rename).
  void LinkBeside(const NativeString& subtitle, const NativeString& showFolder, const NativeString& name);
  // The line of a link made, and its count.
  void SayLinked(NativeStringView source, NativeStringView target);
  void RememberEpisode(NativeStringView stem, NativeStringView target);

  // The folder gone through, its subtitles (and those of its Subs folder),
  // and the show folder of each episode linked there, by the episode's path
  // without its extension.
  NativeString base_, only_, onlyName_, leftOut_;
  // The folders made for the episode at hand (its show's, its season's),
  // until something is linked into them.
  std::vector<NativeString> made_;
  void TakeBackMadeFolders(NativeStringView onTheWayTo = {});
  static bool Holds(NativeStringView folder, NativeStringView path);
  SeasonFolders seasons_;
  // The download folder itself: lines name what they skip below it.
  NativeString top_;
  NativeString BelowSource(NativeStringView name) const {
    return base_.substr(top_.size()).append(name);
  }
  std::vector<NativeString> subtitles_;
  struct Episode {
    std::uint64_t key;     // TextKey of the path without extension
    std::uint32_t folder;  // into showFolders_
    std::uint32_t renamed = 0;  // into renamedStems_ (--rename)
  };
  std::vector<NativeString> renamedStems_;
  std::vector<Episode> episodes_;  // in the order linked
  std::vector<NativeString> showFolders_;
  std::unordered_map<NativeString, std::uint32_t> folderNumbers_;
  NativeString folder_;
  std::vector<std::pair<NativeString, int>> torrentFolders_;
  size_t nextFolder_ = 0;
  int depth_ = 0;  // of the folder being gone through
  std::unordered_set<NativeString> showFoldersOfRun_;  // by FolderKey
  // A folder by what it is on the disk (links resolved, its own name too),
  // with its delimiter; one made in thought as named.
  static NativeString FolderKey(const NativeString& folder);
  // A path with its folders' links resolved, as the names in thought are kept.
  static NativeString ResolvedPath(const NativeString& path);
  // Folders this run made (with their delimiter): only its own links are in them.
  std::unordered_set<NativeString> madeByRun_;

  // The folders a dry run has made in thought, by full path, and the disk
  // as the checks of a move see it then.
  bool dryRun_ = false;
  std::set<NativeString> madeInThought_;
  // Other folders that read as the show of a show folder: a download that
  // has a name in one of them is linked already.
  std::map<NativeString, std::vector<NativeString>> othersOf_;
  bool LinkedElsewhere(const NativeString& linked, const NativeString& target);
  // The names a dry run has linked, by full path, with the file each holds
  // (compared as the platform compares names).
  std::map<NativeString, NativeString, std::conditional_t<kNamesIgnoreCase, IgnoringCaseLess, std::less<>>>
      linkedInThought_;
  bool MadeInThought(const NativeString& path) const;
  bool EmptyInThought(const NativeString& folder) const;
  class InThought : public DiskView {
   public:
    explicit InThought(const LinkEffects& effects) : effects_(effects) {}
    bool FolderExists(const NativeString& path) const override {
      return effects_.MadeInThought(path) || ::FolderExists(path);
    }

   private:
    const LinkEffects& effects_;
  };
  // Whether the link would be made: what the system would refuse, raised.
  void WouldLink(const NativeString& source, const NativeString& linked, const NativeString& target);
  // The show folder holds a file of the link's name: this very file (already
  // linked), perhaps it, or another (raised); the run and the dry run alike.
  void NameTaken(const NativeString& source, const NativeString& linked, const NativeString& target);
  [[noreturn]] static void RefuseAsOthersFile();
  static NativeString OtherDiskReason();
  // Where a symbolic-link episode leads: that file is the one linked.
  NativeString leadsTo_, shown_;
  NativeString reason_, line_;
  enum class Already { No, Linked, MaybeLinked, Copied } already_ = Already::No;
  bool copy_ = false;    // --copy: onto another disk, a copy in place of a link
  bool move_ = false;    // --move's effects: the download goes into the library
  LibraryNames names_;  // --rename
  // A dry run's file in thought at a path of the library, else null.
  const NativeString* InThoughtAt(const NativeString& path) const;
  void RefuseOtherRelease(const NativeString& file, const NativeString& target) const {
    names_.RefuseOtherRelease(file, target, [&](const NativeString& path) { return InThoughtAt(path); });
  }
  bool linkSkipped_ = false;  // --move: the episode at hand is a symbolic link
  static constexpr NativeStringView kOnlyFilesMoved = NATIVE("a symbolic link: only files themselves are moved");
  bool copied_ = false;  // the episode at hand was copied (or would be)
  bool failed_ = false;
  std::int32_t count_ = 0;
};

// The episodes of the torrents' own folders one level below `source` (a
// season pack), linked into show folders in `library`, once `source` itself
// has been swept. A folder named Sample or Samples, a link to a folder, and a
// show folder (one whose name is the show of an episode in it) are not a
// torrent's.
void LinkTorrentFolders(const NativeString& source, const NativeString& library, LinkEffects& effects);
