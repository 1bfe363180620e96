// Whatever a release is named, a show folder made from it is a name a
// person would give: no marker, season or episode word, release tag, or
// separator or opening bracket at its end, and never a reading that fails
// to read it back as the same show.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "episode/episode_name.h"
#include "episode/release_words.h"
#include "episode/show_name.h"

namespace {

void CheckFolderName(const std::string& folder) {
  if (folder.empty()) return;
  const char last = folder.back();
  if (IsBlankUnit(last) || std::string_view(".-_([{,:&+").find(last) != std::string_view::npos) abort();
  // No word of it ends a title.
  std::string title = folder;
  std::vector<std::string> words;
  for (size_t start = 0; start < title.size();) {
    const size_t end = std::min(title.find(' ', start), title.size());
    words.emplace_back(title.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i < words.size(); ++i)
    if (EndsTitle(words[i], i + 1 < words.size() ? words[i + 1] : std::string()))
      abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::string name(reinterpret_cast<const char*>(data), size);
  name.append(".mkv");
  for (const EpisodeReading& reading : EpisodeReadingsOf(name)) {
    const std::string folder = CleanShowFolderName(ReadShowName(reading.show));
    CheckFolderName(folder);
    // The folder it names is found again by the release it was made for.
    if (!folder.empty() && ShowMatch(ShowReadingsOf(reading.show), ShowReadingsOf(folder)) == 0) abort();
  }
  CheckFolderName(CleanShowFolderName(ReadShowName(std::string(reinterpret_cast<const char*>(data), size))));
  return 0;
}
