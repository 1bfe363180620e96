#include "organiser/read_alike.h"

#include "platform/process.h"

ReadAlikeFolders::Found ReadAlikeFolders::Find(const ShowReading& reading, FolderIndex& folders,
                            const std::function<bool(NativeStringView)>& usable, NativeString& found) {
  if (reading.title.empty()) return None;
  if (!loaded_) {
    loaded_ = true;
    folders.ForEachFolder([&](NativeStringView name) { Add(name); });
  }
  int best = 0;
  const NativeString* tie = nullptr;
  const auto [first, last] = byKey_.equal_range(reading.key);
  for (auto at = first; at != last; ++at) {
    const int score = ShowMatch(reading, at->second.first);
    if (score == 0 || score < best || !usable(at->second.second)) continue;
    tie = score == best ? &at->second.second : nullptr;
    if (score > best) found = at->second.second;
    best = score;
  }
  if (tie != nullptr) {
    WriteNotice(NativeString(NATIVE("Warning: \"")).append(reading.title).append(NATIVE("\" is as much \""))
                    .append(found).append(NATIVE("\" as \"")).append(*tie)
                    .append(NATIVE("\": linked into a folder of its own name instead")));
    return Two;
  }
  return best > 0 ? One : None;
}

void ReadAlikeFolders::Add(NativeStringView folderName) {
  if (!loaded_) return;  // the library's reading will find it
  ShowReading reading = ReadShowName(folderName);
  if (reading.title.empty()) return;
  NativeString key = reading.key;
  byKey_.emplace(std::move(key), std::make_pair(std::move(reading), NativeString(folderName)));
}
