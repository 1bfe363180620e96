// Invariants of the Windows path rules on arbitrary UTF-16 paths.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/path_rules.h"

using namespace path_rules;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::u16string path;
  for (size_t i = 0; i + 1 < size; i += 2) path.push_back(char16_t(data[i] | data[i + 1] << 8));
  const std::u16string_view view = path;

  // A root is a prefix of the path, but for the "\" that stands in for a "/".
  const std::u16string root = PathRootOf(view);
  if (root.size() > path.size()) abort();
  for (size_t i = 0; i < root.size(); ++i)
    if (root[i] != path[i] && !(i + 1 == root.size() && root[i] == u'\\' && path[i] == u'/')) abort();

  // A parent folder is a proper prefix of the trimmed path.
  const std::u16string_view trimmed = TrimBlanks(view);
  const std::u16string_view parent = ParentFolderOf(view);
  if (parent.size() >= trimmed.size() && !parent.empty()) abort();
  if (trimmed.substr(0, parent.size()) != parent) abort();

  const PathTextFault fault = CheckWindowsPathText(view);
  const bool tooLong = path.size() >= kWindowsMaxPath && PathPrefixKind(view) == PrefixKind::NoPrefix;
  if ((fault == PathTextFault::TooLong) != tooLong) abort();
  if (fault == PathTextFault::None) {
    for (size_t p = PositionAfterPrefix(view); p <= path.size(); ++p)
      if (IsInvalidPathCharacter(path[p - 1])) abort();
    if (trimmed.empty()) abort();
  }
  return 0;
}
