#include "platform/posix/held_folders.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/file_facts.h"

namespace {
#ifdef O_PATH
constexpr int kFolderOnly = O_PATH | O_DIRECTORY | O_CLOEXEC;  // no OPEN request, no read right needed
#else
constexpr int kFolderOnly = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
}  // namespace

HeldFolders::Open::~Open() {
  if (fd >= 0) {
    ErrnoKeeper keep;
    close(fd);
  }
}

int HeldFolders::Held::fd() const { return open_->fd; }
dev_t HeldFolders::Held::device() const { return open_->device; }
bool HeldFolders::Held::SameFolderAs(const Held& other) const {
  return open_ == other.open_ || (open_->device == other.open_->device && open_->number == other.open_->number);
}

std::size_t HeldFolders::DefaultMost() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 256;
  return std::min<std::size_t>(256, static_cast<std::size_t>(limit.rlim_cur / 4));
}

HeldFolders::HeldFolders(std::size_t most) : most_(most) {}

HeldFolders::Held HeldFolders::Of(std::string_view folder) {
  const auto found = byPath_.find(folder);
  if (found != byPath_.end()) {
    order_.splice(order_.begin(), order_, found->second);
    return Held(found->second->second);
  }
  MakeRoom();
  auto opened = std::make_shared<Open>();
  const std::string path(folder);
  opened->fd = open(path.c_str(), kFolderOnly);
  if (opened->fd < 0) return Held();
  struct stat info;
  if (fstat(opened->fd, &info) != 0) return Held();  // closed by its owner, errno kept
  opened->device = info.st_dev;
  opened->number = info.st_ino;
  order_.emplace_front(path, std::move(opened));
  byPath_.emplace(path, order_.begin());
  return Held(order_.front().second);
}

void HeldFolders::LetGoOf(std::string_view folder) {
  const auto found = byPath_.find(folder);
  if (found == byPath_.end()) return;
  order_.erase(found->second);
  byPath_.erase(found);
}

// Only a folder no move holds goes: its one owner is this cache.
void HeldFolders::MakeRoom() {
  for (auto it = order_.end(); byPath_.size() >= std::max<std::size_t>(most_, 1) && it != order_.begin();) {
    --it;
    if (it->second.use_count() > 1) continue;
    byPath_.erase(it->first);
    it = order_.erase(it);
  }
}
