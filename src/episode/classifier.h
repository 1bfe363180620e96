#pragma once

#include <string>
#include <string_view>

#include "episode/season_marker.h"
#include "platform/text.h"

// The extension: from the last "." to the end, when that dot follows the
// last "\" and the last ":"; empty otherwise.
template <typename Char>
std::basic_string_view<Char> ExtensionOf(std::basic_string_view<Char> name) {
  const size_t dot = name.rfind(Char('.'));
  if (dot == name.npos) return {};
  // Only a "\" or ":" after the dot can be the later one: look there alone.
  for (size_t i = dot + 1; i < name.size(); ++i)
    if (name[i] == Char('\\') || name[i] == Char(':')) return {};
  return name.substr(dot);
}

// True for .avi, .mp4 and .mkv in any ASCII letter case.
template <typename Char>
bool IsVideoExtension(std::basic_string_view<Char> extension) {
  // The key ";*" + EXT + ";" must occur in this list. An extension never
  // holds a second ".", so only the three entries themselves can match.
  static constexpr std::string_view kVideoExtensionList = ";*.AVI;*.MP4;*.MKV;";
  Char key[8];
  if (extension.size() + 3 > sizeof key / sizeof key[0]) return false;
  size_t n = 0;
  key[n++] = Char(';');
  key[n++] = Char('*');
  for (Char c : extension) key[n++] = AsciiUpper(c);
  key[n++] = Char(';');
  for (size_t at = 0; at + n <= kVideoExtensionList.size(); ++at) {
    size_t k = 0;
    while (k < n && key[k] == Char(kVideoExtensionList[at + k])) ++k;
    if (k == n) return true;
  }
  return false;
}

// Decides from the bare file name whether it is an episode to move, and if
// so names its show folder. The folder name is empty exactly when rejected.
template <typename Char>
bool ClassifyEpisodeFile(std::basic_string_view<Char> fileName,
                         std::basic_string<Char>& showFolderName) {
  showFolderName.clear();
  const std::basic_string_view<Char> name = TrimBlanks(fileName);
  if (!IsVideoExtension(ExtensionOf(name))) return false;
  const std::int32_t marker = FindSeasonMarker(name);
  if (marker < 2) return false;
  showFolderName.assign(name.substr(0, static_cast<size_t>(marker - 1)));
  for (Char& c : showFolderName)
    if (c == Char('.')) c = Char(' ');
  const auto trimmed = TrimBlanks(std::basic_string_view<Char>(showFolderName));
  if (trimmed.size() != showFolderName.size()) {
    const size_t lead = static_cast<size_t>(trimmed.data() - showFolderName.data());
    showFolderName.erase(lead + trimmed.size());
    showFolderName.erase(0, lead);
  }
  return !showFolderName.empty();
}
