#include "core/folder_index.h"

#include "platform/file_system.h"

void FolderIndex::Load() {
  if (loaded_) return;
  loaded_ = true;
  for (FolderListing listing(folder_); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (!IsSelfOrParent(entry.name)) Add(entry.name, entry.isFolder);
  }
}

FolderIndex::Variants* FolderIndex::Find(NativeStringView name) {
  Load();
  if (name != probed_ || probed_.empty()) {
    CaseKeyOf(name, probe_);
    probed_.assign(name);
  }
  const auto found = names_.find(probe_);
  return found != names_.end() ? &found->second : nullptr;
}

NativeStringView FolderIndex::StoredSpelling(NativeStringView name) {
  const Variants* variants = Find(name);
  if (!variants) return name;
  for (const Variant& variant : *variants)
    if (variant.name == name) return name;
  return NativeStringView(variants->front().name);
}

bool FolderIndex::HoldsExactly(NativeStringView name) {
  if (const Variants* variants = Find(name))
    for (const Variant& variant : *variants)
      if (variant.name == name) return true;
  return false;
}

void FolderIndex::Add(NativeStringView name, bool isFolder) {
  if (!loaded_ || (foldersOnly_ && !isFolder)) return;  // the listing will find it
  NativeString key;
  CaseKeyOf(name, key);
  Variants& variants = names_[std::move(key)];
  const auto at = std::lower_bound(variants.begin(), variants.end(), name,
                                   [](const Variant& a, NativeStringView b) { return a.name < b; });
  if (at != variants.end() && at->name == name) return;
  variants.insert(at, Variant{NativeString(name), isFolder});
}

void FolderIndex::Remove(NativeStringView name) {
  Variants* variants = loaded_ ? Find(name) : nullptr;
  if (!variants) return;
  for (auto at = variants->begin(); at != variants->end(); ++at)
    if (at->name == name) {
      variants->erase(at);
      break;
    }
  if (variants->empty()) names_.erase(probe_);
}
