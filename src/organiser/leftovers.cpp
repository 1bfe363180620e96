#include "organiser/leftovers.h"

#include "organiser/path_rules.h"
#include "organiser/relocation.h"
#include "platform/file_system.h"

namespace {
// A name's own limit on both builds (NAME_MAX, and NTFS's 255 units).
constexpr size_t kMostNameUnits = 255;
constexpr size_t kRandomLetters = 6;
}  // namespace

void AsideNameFor(const NativeString& own, NativeString& aside) {
  HiddenNameBeside(own, kAsidePrefix, aside);
  const NativeStringView name = NativeStringView(own).substr(own.find_last_of(kDelimiter) + 1);
  const size_t nameUnits = kAsidePrefix.size() + kRandomLetters + 1 + name.size();
  bool fits = !name.empty() && nameUnits <= kMostNameUnits;
#ifdef _WIN32
  fits = fits && aside.size() + 1 + name.size() < path_rules::kWindowsMaxPath;
#else
  // Near the limit a file system that walks whole paths itself (mergerfs
  // through its branches) may refuse the longer name: the short one serves.
  const std::size_t full = FullPathLength(aside);
  fits = fits && full > 0 && full + 1 + name.size() + kMostNameUnits < path_rules::kPosixMaxPath;
#endif
  if (fits) aside.append(1, NATIVE('-')).append(name);
}

NativeStringView OwnNameInAside(NativeStringView name) {
  const size_t at = kAsidePrefix.size() + kRandomLetters;
  if (name.substr(0, kAsidePrefix.size()) != kAsidePrefix || name.size() <= at + 1 || name[at] != NATIVE('-'))
    return {};
  const NativeStringView own = name.substr(at + 1);
  return IsSelfOrParent(own) ? NativeStringView() : own;
}

std::vector<Leftover> LeftoversIn(const NativeString& showFolder) {
  std::vector<Leftover> found;
  for (FolderListing listing(showFolder, kAsidePrefix); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (entry.isFolder || entry.name.substr(0, kAsidePrefix.size()) != kAsidePrefix) continue;
    Leftover leftover;
    leftover.aside.assign(showFolder).append(entry.name);
    const NativeStringView own = OwnNameInAside(entry.name);
    if (!own.empty()) leftover.own.assign(showFolder).append(own);
    found.push_back(std::move(leftover));
  }
  // Looked at once the listing is done: a put-back never meets its own listing.
  for (Leftover& leftover : found) {
    leftover.goesBack = !leftover.own.empty() && LookUpEntry(leftover.own) == Lookup::Absent;
    EntrySize(leftover.aside, leftover.size);
  }
  return found;
}

NativeString KeptLeftoverNotice(const Leftover& leftover) {
  NativeString line(NATIVE("Old file kept as: "));
  line.append(leftover.aside).append(NATIVE(" ("));
  const std::string size = std::to_string(leftover.size);
  line.append(size.begin(), size.end());
  line.append(NATIVE(" bytes, set aside by a run that was stopped; "));
  line.append(leftover.own.empty() ? NATIVE("its name is not known") : NATIVE("a file of its name is there"));
  return line.append(NATIVE(")"));
}
