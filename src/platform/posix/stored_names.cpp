#include "platform/posix/stored_names.h"

#include <dirent.h>
#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>
#include <unordered_set>

#include "platform/file_system.h"
#include "platform/letter_case.h"
#include "platform/posix/file_facts.h"

namespace {

// Whether each device ignores letter case, asked once per device in a run.
PerDevice<bool> caseIgnored;

bool IgnoresCase(dev_t device, const NativeString& folder) {
  return caseIgnored.Of(device, [&] { return NamesIgnoreCaseIn(folder); });
}

bool ListInto(const std::string& folder, std::unordered_set<std::string>& names) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir))
    if (!IsSelfOrParent(entry->d_name)) names.insert(entry->d_name);
  closedir(dir);
  return true;
}

// One inotify instance for the run, a watch per folder asked about. A
// folder's names are its listing with every later event replayed in order:
// for each name, its last event says whether it is there, as on the disk.
struct LiveFolder {
  std::unordered_set<std::string> names;
  bool listed = false;  // false again when events were lost
};
int notify = -2;  // not tried yet; -1: none to be had
std::unordered_map<int, LiveFolder> byWatch;
std::unordered_map<std::string, int> watchOf;

void ApplyEvents() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t got = read(notify, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // EAGAIN: nothing more queued
    for (const char* at = buffer; at < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        for (auto& [watch, folder] : byWatch) folder.listed = false;
        continue;
      }
      const auto found = byWatch.find(event->wd);
      if (found == byWatch.end()) continue;
      if (event->mask & IN_IGNORED) {  // the folder itself went
        std::erase_if(watchOf, [&](const auto& entry) { return entry.second == event->wd; });
        byWatch.erase(found);
        continue;
      }
      // The watch follows the folder, not its path: once it is renamed away,
      // the path may name another folder, and the names kept are not its.
      if (event->mask & IN_MOVE_SELF) {
        std::erase_if(watchOf, [&](const auto& entry) { return entry.second == event->wd; });
        inotify_rm_watch(notify, event->wd);
        byWatch.erase(found);
        continue;
      }
      if (event->len == 0) continue;
      if (event->mask & (IN_CREATE | IN_MOVED_TO))
        found->second.names.insert(event->name);
      else if (event->mask & (IN_DELETE | IN_MOVED_FROM))
        found->second.names.erase(event->name);
    }
  }
}

// The folder's names as they are now, or none where they cannot be kept.
const std::unordered_set<std::string>* LiveNames(const std::string& folder) {
  if (notify == -2) notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify < 0) return nullptr;
  ApplyEvents();
  auto watched = watchOf.find(folder);
  if (watched == watchOf.end()) {
    // The watch before the listing: nothing done between them is missed.
    const int watch = inotify_add_watch(notify, folder.c_str(),
                                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch < 0) return nullptr;
    watched = watchOf.emplace(folder, watch).first;
  }
  LiveFolder& live = byWatch[watched->second];
  if (!live.listed) {
    live.names.clear();
    if (!ListInto(folder, live.names)) return nullptr;
    live.listed = true;
    ApplyEvents();
  }
  return &live.names;
}

}  // namespace

bool StoredNameNow(const NativeString& path, NativeString& stored) {
  struct stat info;
  if (LstatAt(path.c_str(), info) != 0) {
    stored = path;
    return false;
  }
  return StoredNameNowOn(info.st_dev, path, stored);
}

bool StoredNameNowOn(dev_t device, const NativeString& path, NativeString& stored) {
  stored = path;
  const size_t nameAt = path.rfind('/') + 1;
  const NativeString folder = nameAt > 0 ? path.substr(0, nameAt) : NativeString("./");
  if (!IgnoresCase(device, folder)) return true;
  const NativeStringView name = NativeStringView(path).substr(nameAt);
  std::unordered_set<std::string> listed;
  const auto* names = CachedLooksMayBeStale(device) ? nullptr : LiveNames(folder);
  if (names == nullptr) {
    if (!ListInto(folder, listed)) return false;
    names = &listed;
  }
  // One name at most equals it with case ignored; the exact one wins.
  if (names->count(NativeString(name)) > 0) return true;
  for (const std::string& other : *names)
    if (CompareIgnoringCase(other, name) == 0) {
      stored.replace(nameAt, NativeString::npos, other);
      return true;
    }
  return false;
}
