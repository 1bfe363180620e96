#include "organiser/folder_index.h"

#include "platform/file_system.h"

void FolderIndex::Load() {
  if (loaded_) return;
  loaded_ = true;
  for (FolderListing listing(folder_); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (!IsSelfOrParent(entry.name)) Add(entry.name, entry.isFolder);
  }
}

NativeStringView FolderIndex::StoredSpelling(NativeStringView name) {
  Load();
  const auto [first, last] = names_.equal_range(Probe(name));
  for (auto at = first; at != last; ++at)
    if (at->name == name) return name;
  return first != last ? NativeStringView(first->name) : name;
}

bool FolderIndex::HoldsExactly(NativeStringView name) {
  Load();
  const auto [first, last] = names_.equal_range(Probe(name));
  for (auto at = first; at != last; ++at)
    if (at->name == name) return true;
  return false;
}

void FolderIndex::Add(NativeStringView name, bool isFolder) {
  if (!loaded_ || (foldersOnly_ && !isFolder)) return;  // the listing will find it
  Entry entry{{}, NativeString(name), isFolder};
  CaseKeyOf(name, entry.key);
  names_.insert(std::move(entry));
}

void FolderIndex::Remove(NativeStringView name) {
  const auto [first, last] = names_.equal_range(Probe(name));
  for (auto at = first; at != last; ++at)
    if (at->name == name) {
      names_.erase(at);
      return;
    }
}
