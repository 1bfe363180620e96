// The names of one folder, read once with one listing, then kept up to date
// with what the run itself adds and takes away: questions about the folder
// never list it again.
#pragma once

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

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
    if (const Variants* variants = Find(name))
      for (const Variant& variant : *variants)
        if (variant.isFolder == folders && take(NativeStringView(variant.name))) return true;
    return false;
  }
  // Calls `visit` with every folder's name, in the order of CompareCaseKeys,
  // then bytes.
  template <typename Visit>
  void ForEachFolder(Visit visit) {
    Load();
    std::vector<std::pair<NativeStringView, NativeStringView>> folders;  // key, name
    for (const auto& [key, variants] : names_)
      for (const Variant& variant : variants)
        if (variant.isFolder) folders.emplace_back(key, variant.name);
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
      const int folded = CompareCaseKeys(a.first, b.first);
      return folded != 0 ? folded < 0 : a.second < b.second;
    });
    for (const auto& folder : folders) visit(folder.second);
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

  struct Variant {
    NativeString name;
    bool isFolder;
  };
  // The names of one case key, in byte order: few, mostly one.
  using Variants = std::vector<Variant>;
  // The variants of a name asked about, its key made once for the questions
  // in a row about one name (a replace asks three).
  Variants* Find(NativeStringView name);

  NativeString folder_;
  bool foldersOnly_;
  bool loaded_ = false;
  // By case key: one look per question, where a tree of a large folder's
  // names costs a cache miss per level.
  std::unordered_map<NativeString, Variants> names_;
  NativeString probed_;
  NativeString probe_;
};
