// The floor for the benchmark: the kernel's share of the job and nothing else.
// One listing, the same name rule, each show folder made once, one no-replace
// rename per episode (with --link, one link(2)); no checks and no output.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <unordered_set>

#include "episode/classifier.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const bool link = argc > 2 && std::string(argv[1]) == "--link";
  const int folder = open(argv[link ? 2 : 1], O_RDONLY | O_DIRECTORY);
  DIR* dir = fdopendir(folder);
  if (dir == nullptr) return 2;
  std::unordered_set<std::string> made;
  std::string show, target;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_type == DT_DIR) continue;
    if (!ClassifyEpisodeFile<char>(entry->d_name, show)) continue;
    if (made.insert(show).second) mkdirat(folder, show.c_str(), 0777);
    target.assign(show).append("/").append(entry->d_name);
    if (link)
      linkat(folder, entry->d_name, folder, target.c_str(), 0);
    else
      syscall(SYS_renameat2, folder, entry->d_name, folder, target.c_str(), RENAME_NOREPLACE);
  }
  closedir(dir);
  return 0;
}
