#include "core/seeding.h"

#include <utility>
#include <vector>

#include "platform/file_system.h"

bool IsPartialDownload(NativeStringView name) {
  const NativeString lower = AsciiLowered(name);
  for (const NativeStringView end : {NATIVE(".part"), NATIVE(".!qb"), NATIVE(".!ut"), NATIVE(".aria2"),
                                     NATIVE(".crdownload"), NATIVE(".parts")})
    if (EndsWith(lower, end)) return true;
  return false;
}

bool NamedAsDownloads(NativeStringView base) {
  const NativeString lower = AsciiLowered(base);
  for (const NativeStringView name : {NATIVE("downloads"), NATIVE("download"), NATIVE("torrents"), NATIVE("torrent"),
                                      NATIVE("complete"), NATIVE("completed"), NATIVE("incomplete"),
                                      NATIVE("seeding"), NATIVE("qbittorrent"), NATIVE("transmission"),
                                      NATIVE("deluge"), NATIVE("rtorrent")})
    for (size_t at = lower.find(name); at != lower.npos; at = lower.find(name, at + 1)) {
      const size_t after = at + name.size();
      if ((at == 0 || lower[at - 1] == kDelimiter) && (after == lower.size() || lower[after] == kDelimiter))
        return true;
    }
  return false;
}

NativeString SeedingSign(const NativeString& folder) {
  NativeString resolved;
  if (!CanonicalPath(folder, resolved)) resolved = folder;
  if (NamedAsDownloads(WithTrailingDelimiter(resolved))) return NativeString(NATIVE("its name is a download folder's"));
  for (FolderListing listing(WithTrailingDelimiter(folder)); listing.HasEntry(); listing.Advance())
    if (IsPartialDownload(listing.Entry().name))
      return NativeString(NATIVE("it holds ")).append(listing.Entry().name).append(NATIVE(", a download in progress"));
  return {};
}

bool HoldsDownloadInProgress(const NativeString& folder) {
  std::vector<std::pair<NativeString, int>> folders{{WithTrailingDelimiter(folder), 0}};
  while (!folders.empty()) {
    const auto [at, depth] = folders.back();
    folders.pop_back();
    for (FolderListing listing(at); listing.HasEntry(); listing.Advance()) {
      const FolderEntry& entry = listing.Entry();
      if (!entry.isFolder && IsPartialDownload(entry.name)) return true;
      // A torrent's own folders, as deep as packs go; links are not entered.
      NativeString leadsTo;
      const NativeString path = at + NativeString(entry.name);
      if (entry.isFolder && !IsSelfOrParent(entry.name) && depth < 8 && !LinkTargetOf(path, leadsTo))
        folders.emplace_back(path + kDelimiter, depth + 1);
    }
  }
  return false;
}
