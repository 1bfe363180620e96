// tvtidy-link's effects: each episode gets a hard link in its show folder
// and stays where it is, so that a download client keeps seeding it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "organiser/sweep.h"

class LinkEffects : public SweepEffects {
 public:
  bool FolderExists(const NativeString& path) override;
  bool MakeFolder(const NativeString& path) override;
  // A plain file into a show folder the checks have accepted: the new link
  // alone, which refuses whatever the checks would.
  bool QuickMove(const NativeString& source, const NativeString& target) override;
  // A library as people keep it: the show folder a person would take.
  bool ReadsNamesAsAPerson() const override { return true; }
  // Sample clips, as releases mark them ("show.s01e01.sample.mkv"), stay out.
  bool Takes(NativeStringView name) override;
  // Never deletes, renames, replaces or copies: a link, or a raised reason.
  void Move(const NativeString& source, const NativeString& target, bool folderExisted) override;

  void Skipped(NativeStringView name) override;
  void FolderCreated(NativeStringView folder) override;
  void FolderFailed(NativeStringView folder) override;
  void Moved(NativeStringView source, NativeStringView target) override;
  void MoveFailed(NativeStringView source, const Exception* why) override;
  void ListingFailed(NativeStringView folder, int code) override;
  void Begin(NativeStringView base) override;
  // The first folder's sub-folders that may be torrents' own, named by its
  // own listing: the folder is read once.
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

  // The names gathered by the first sweep; later sweeps gather none.
  std::vector<NativeString> TakeTorrentFolders();
  // Whether this run has made the folder (with its delimiter), or linked an
  // episode of the folder's own show into it.
  bool ShowFolderOfRun(const NativeString& folder) const { return showFoldersOfRun_.count(folder) != 0; }

  std::int32_t Count() const { return count_; }
  bool AnyFailed() const { return failed_; }

 private:
  void LinkBeside(const NativeString& subtitle, const NativeString& showFolder);
  // The line of a link made, and its count.
  void SayLinked(NativeStringView source, NativeStringView target);
  void RememberEpisode(NativeStringView stem, NativeStringView target);

  // The folder gone through, its subtitles (and those of its Subs folder),
  // and the show folder of each episode linked there, by the episode's path
  // without its extension.
  NativeString base_, only_, onlyName_, leftOut_, made_;
  std::vector<NativeString> subtitles_;
  struct Episode {
    std::uint64_t key;     // TextKey of the path without extension
    std::uint32_t folder;  // into showFolders_
  };
  std::vector<Episode> episodes_;  // in the order linked
  std::vector<NativeString> showFolders_;
  std::unordered_map<NativeString, std::uint32_t> folderNumbers_;
  NativeString folder_;
  std::vector<NativeString> torrentFolders_;
  bool gathering_ = true;
  std::unordered_set<NativeString> showFoldersOfRun_;

  // Where a symbolic-link episode leads: that file is the one linked.
  NativeString leadsTo_, shown_;
  NativeString reason_, line_;
  enum class Already { No, Linked, MaybeLinked } already_ = Already::No;
  bool failed_ = false;
  std::int32_t count_ = 0;
};

// The episodes of the torrents' own folders one level below `source` (a
// season pack), linked into show folders in `library`, once `source` itself
// has been swept. A folder named Sample or Samples, a link to a folder, and a
// show folder (one whose name is the show of an episode in it) are not a
// torrent's.
void LinkTorrentFolders(const NativeString& source, const NativeString& library, LinkEffects& effects);
