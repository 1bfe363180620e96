// What a run may follow in folders that other users can write: root's hook
// must never reach, through someone's link, a file or folder that user could
// not reach alone.
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/file_system.h"

namespace {

std::vector<gid_t> GroupsOf(uid_t uid) {
  std::vector<gid_t> groups;
  passwd entry{}, *found = nullptr;
  std::vector<char> text(16384);
  if (getpwuid_r(uid, &entry, text.data(), text.size(), &found) != 0 || found == nullptr) return groups;
  int count = 64;
  groups.resize(static_cast<size_t>(count));
  if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count);
  }
  groups.resize(static_cast<size_t>(std::max(count, 0)));
  return groups;
}

// What the mode bits give that user: the owner's bits, else the group's for
// one of their groups, else the others'.
bool Grants(const struct stat& info, uid_t uid, const std::vector<gid_t>& groups, mode_t wanted) {
  if (uid == 0) return true;
  if (info.st_uid == uid) return (info.st_mode & (wanted << 6)) == (wanted << 6);
  if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end())
    return (info.st_mode & (wanted << 3)) == (wanted << 3);
  return (info.st_mode & wanted) == wanted;
}

}  // namespace

bool MayFollowLink(const NativeString& path, bool toChange, NativeString& why) {
  why.clear();
  struct stat link, folder, on;
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid == geteuid()) return true;
  const NativeString parent = FolderPartOf(path);
  if (stat(parent.empty() ? "." : parent.c_str(), &folder) != 0) return true;  // the step itself will say
  if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && link.st_uid != folder.st_uid) {
    why = "a link another user made in a folder others can write";
    return false;
  }
  // Reached as that user would reach it: each folder on the way searched,
  // and the end read (a file) or changed (a folder).
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return true;
  const std::vector<gid_t> groups = GroupsOf(link.st_uid);
  const NativeString end = resolved;
  for (size_t at = 0; at != end.npos; at = end.find('/', at + 1)) {
    const NativeString step = at == 0 ? NativeString("/") : end.substr(0, at);
    if (stat(step.c_str(), &on) != 0 || !Grants(on, link.st_uid, groups, S_IXOTH)) {
      why = "a link to what its owner could not reach";
      return false;
    }
  }
  const mode_t wanted = toChange ? S_IWOTH | S_IXOTH : S_IROTH;
  if (stat(resolved, &on) != 0 || !Grants(on, link.st_uid, groups, wanted)) {
    why = toChange ? "a link to a folder its owner could not change" : "a link to a file its owner could not read";
    return false;
  }
  return true;
}
