#include "library/read_alike.h"

#include <set>

#include "platform/process.h"

bool ReadAlikeFolders::Find(NativeStringView show, FolderIndex& folders,
                            const std::function<bool(NativeStringView)>& usable, NativeString& found,
                            std::vector<NativeString>& others) {
  others.clear();
  const std::vector<ShowReading> readings = ShowReadingsOf(show);
  if (readings.empty()) return false;
  if (!loaded_) {
    loaded_ = true;
    folders.ForEachFolder([&](NativeStringView name) { Add(name); });
    for (const NativeString& name : unlisted_) Add(name);
  }
  int best = 0;
  const NativeString *first = nullptr, *tie = nullptr;
  std::set<size_t> asked;
  for (const ShowReading& reading : readings) {
    const auto [from, to] = byKey_.equal_range(reading.key);
    for (auto at = from; at != to; ++at) {
      if (!asked.insert(at->second).second) continue;
      const auto& [name, itsReadings] = folders_[at->second];
      const int score = ShowMatch(readings, itsReadings);
      if (score == 0) continue;
      others.push_back(name);  // one this user cannot write may hold the download linked already
      if (!usable(name)) continue;
      if (score < best) continue;
      if (score > best) {
        best = score;
        first = &name;
        tie = nullptr;
      } else if (name < *first) {
        tie = first;
        first = &name;
      } else if (tie == nullptr || name < *tie) {
        tie = &name;
      }
    }
  }
  if (first == nullptr) return false;
  found = *first;
  std::erase(others, found);
  if (tie != nullptr)
    WriteNotice(NativeString(NATIVE("Warning: \"")).append(readings.front().title).append(NATIVE("\" reads as \""))
                    .append(*first).append(NATIVE("\" and as \"")).append(*tie)
                    .append(NATIVE("\" alike: put into the first")));
  return true;
}

namespace {
// A download's own folder ("Show.S01.720p", "Show.S01E02.1080p"), never a
// show's: a season marker starts a word of its name.
bool NamedAsADownload(NativeStringView name) {
  const auto letterOrDigit = [](NativeChar c) {
    return IsAsciiDigit(c) || (c >= NATIVE('a') && c <= NATIVE('z')) || (c >= NATIVE('A') && c <= NATIVE('Z'));
  };
  for (size_t at = 0; at + 2 < name.size(); ++at)
    if ((name[at] == NATIVE('S') || name[at] == NATIVE('s')) && IsAsciiDigit(name[at + 1]) &&
        IsAsciiDigit(name[at + 2]) && (at == 0 || !letterOrDigit(name[at - 1])))
      return true;
  return false;
}
}  // namespace

void ReadAlikeFolders::Add(NativeStringView folderName) {
  if (!loaded_ || NamedAsADownload(folderName)) return;  // the library's reading finds the others
  std::vector<ShowReading> readings = ShowReadingsOf(folderName);
  if (readings.empty()) return;
  for (const ShowReading& reading : readings) byKey_.emplace(reading.key, folders_.size());
  folders_.emplace_back(NativeString(folderName), std::move(readings));
}
