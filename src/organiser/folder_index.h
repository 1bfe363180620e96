// The names of one folder, read once with one listing, then kept up to date
// with what the run itself adds and takes away: questions about the folder
// never list it again.
#pragma once

#include <set>

#include "platform/letter_case.h"
#include "platform/text.h"

class FolderIndex {
 public:
  // Reads the folder (with its delimiter) on the first question; an
  // unreadable folder gives an empty index. One that holds only its
  // sub-folders grows with them, never with the files beside them.
  enum Holds { Everything, FoldersOnly };
  FolderIndex(NativeString folderWithDelimiter, Holds holds)
      : folder_(std::move(folderWithDelimiter)), foldersOnly_(holds == FoldersOnly) {}

  // Calls `take` with each name that equals `name` with letter case ignored,
  // folders only or files only, first in byte order, until it returns true;
  // true when one was taken.
  template <typename Take>
  bool FirstVariant(NativeStringView name, bool folders, Take take) {
    Load();
    const auto [first, last] = names_.equal_range(Probe(name));
    for (auto at = first; at != last; ++at)
      if (at->isFolder == folders && take(NativeStringView(at->name))) return true;
    return false;
  }
  // Calls `visit` with every folder's name.
  template <typename Visit>
  void ForEachFolder(Visit visit) {
    Load();
    for (const Entry& entry : names_)
      if (entry.isFolder) visit(NativeStringView(entry.name));
  }
  // The name as the folder stores it, where its file system ignores case:
  // the exact name if listed, else the first variant; the name itself when
  // none is listed.
  NativeStringView StoredSpelling(NativeStringView name);
  // Whether the folder held that exact name when it was read, with what the
  // run has added and removed since.
  bool HoldsExactly(NativeStringView name);

  void Add(NativeStringView name, bool isFolder);
  void Remove(NativeStringView name);

 private:
  void Load();

  struct Entry {
    NativeString key;  // CaseKeyOf(name)
    NativeString name;
    bool isFolder;
  };
  struct Folded {
    NativeStringView key;
  };
  // The key of a name asked about, made once per question.
  Folded Probe(NativeStringView name) {
    CaseKeyOf(name, probe_);
    return Folded{probe_};
  }
  // Letter case ignored, then bytes: a true order, in which the variants of
  // a name lie together.
  struct Order {
    using is_transparent = void;
    bool operator()(const Entry& a, const Entry& b) const {
      const int folded = CompareCaseKeys(a.key, b.key);
      return folded != 0 ? folded < 0 : a.name < b.name;
    }
    bool operator()(const Entry& a, Folded b) const { return CompareCaseKeys(a.key, b.key) < 0; }
    bool operator()(Folded a, const Entry& b) const { return CompareCaseKeys(a.key, b.key) < 0; }
  };

  NativeString folder_;
  bool foldersOnly_;
  bool loaded_ = false;
  std::set<Entry, Order> names_;
  NativeString probe_;
};
