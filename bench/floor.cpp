// The floor for the benchmark: the kernel's share of the job and nothing else.
// One listing, the same name rule, each show folder made once, one no-replace
// rename per episode (with --link, one link(2)); no checks and no output.
// --safe: the fewest calls that never replace on any disk: the no-replace
// rename where the disk has it, else a link then an unlink, else an
// exclusive placeholder then a rename over it (learned on the first file).
// --unsafe: one plain rename per episode, which would replace.
// --replace: the fewest calls of a replace that keeps the old file until the
// new one has arrived: the old one renamed to a hidden name, the new one
// renamed in, the old one removed (no-replace renames).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <unordered_set>

#include "episode/classifier.h"

namespace {
enum class Way { Flag, Link, Placeholder };
Way way = Way::Flag;

bool SafeMove(int folder, const char* name, const char* target) {
  if (way == Way::Flag) {
    if (syscall(SYS_renameat2, folder, name, folder, target, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL) return false;
    way = Way::Link;
  }
  if (way == Way::Link) {
    if (linkat(folder, name, folder, target, 0) == 0) return unlinkat(folder, name, 0) == 0;
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) return false;
    way = Way::Placeholder;
  }
  const int fd = openat(folder, target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return renameat(folder, name, folder, target) == 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argc > 2 ? argv[1] : "";
  const bool link = mode == "--link", safe = mode == "--safe", unsafe = mode == "--unsafe",
             replace = mode == "--replace";
  const int folder = open(argv[argc > 2 ? 2 : 1], O_RDONLY | O_DIRECTORY);
  DIR* dir = fdopendir(folder);
  if (dir == nullptr) return 2;
  std::unordered_set<std::string> made;
  std::string show, target, aside;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_type == DT_DIR) continue;
    if (!ClassifyEpisodeFile<char>(entry->d_name, show)) continue;
    if (made.insert(show).second) mkdirat(folder, show.c_str(), 0777);
    target.assign(show).append("/").append(entry->d_name);
    if (link)
      linkat(folder, entry->d_name, folder, target.c_str(), 0);
    else if (safe)
      SafeMove(folder, entry->d_name, target.c_str());
    else if (unsafe)
      renameat(folder, entry->d_name, folder, target.c_str());
    else if (replace) {
      aside.assign(show).append("/.tvtidy-old-000000");
      if (SafeMove(folder, target.c_str(), aside.c_str()) && SafeMove(folder, entry->d_name, target.c_str()))
        unlinkat(folder, aside.c_str(), 0);
    }
    else
      syscall(SYS_renameat2, folder, entry->d_name, folder, target.c_str(), RENAME_NOREPLACE);
  }
  closedir(dir);
  return 0;
}
