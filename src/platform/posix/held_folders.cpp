#include "platform/posix/held_folders.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "platform/posix/file_facts.h"

namespace {

#ifdef O_PATH
constexpr int kFolderOnly = O_PATH | O_DIRECTORY | O_CLOEXEC;  // no OPEN request, no read right needed
#else
constexpr int kFolderOnly = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// A quarter of the descriptors this process may open, at most 256: a run
// with more show folders than that lets them all go and starts again.
std::size_t MostHeld() {
  static const std::size_t most = [] {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::size_t{256};
    return std::min<std::size_t>(256, static_cast<std::size_t>(limit.rlim_cur / 4));
  }();
  return most;
}

struct Hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
std::unordered_map<std::string, HeldFolder, Hash, std::equal_to<>> held;

void LetAllGo() {
  for (const auto& [path, folder] : held) close(folder.fd);
  held.clear();
}

}  // namespace

bool HeldFolderOf(std::string_view folder, HeldFolder& result) {
  const auto found = held.find(folder);
  if (found != held.end()) {
    result = found->second;
    return true;
  }
  if (held.size() >= MostHeld()) LetAllGo();
  const std::string path(folder);
  HeldFolder opened;
  opened.fd = open(path.c_str(), kFolderOnly);
  if (opened.fd < 0) return false;
  struct stat info;
  if (fstat(opened.fd, &info) != 0) {
    ErrnoKeeper keep;
    close(opened.fd);
    return false;
  }
  opened.device = info.st_dev;
  result = held.emplace(path, opened).first->second;
  return true;
}

void LetGoOf(std::string_view folder) {
  const auto found = held.find(folder);
  if (found == held.end()) return;
  ErrnoKeeper keep;
  close(found->second.fd);
  held.erase(found);
}
