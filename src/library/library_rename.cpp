#include "library/library_rename.h"

#include <algorithm>
#include <vector>

#include "episode/classifier.h"
#include "episode/episode_name.h"
#include "episode/library_name.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/letter_case.h"

void LibraryNames::RenameIn(const NativeString& library) {
  on_ = true;
  library_ = WithTrailingDelimiter(library);
}

const NativeString& LibraryNames::InLibrary(const NativeString& source, const NativeString& target) {
  if (!on_) return target;
  renamed_ = target;
  // Only an episode in a show folder of the library: a subtitle comes
  // with its episode's new name already.
  const NativeStringView name = NativeStringView(source).substr(source.find_last_of(kDelimiter) + 1);
  const size_t showEnd = target.find(kDelimiter, library_.size());
  if (target.compare(0, library_.size(), library_) != 0 || showEnd == target.npos) return renamed_;
  const std::vector<EpisodeReading> readings = EpisodeReadingsOf(name);
  if (readings.empty()) return renamed_;
  const NativeStringView show = NativeStringView(target).substr(library_.size(), showEnd - library_.size());
  renamed_.erase(renamed_.find_last_of(kDelimiter) + 1);
  renamed_.append(LibraryEpisodeStem(show, readings.front())).append(ExtensionOf(name));
  return renamed_;
}

void LibraryNames::RefuseTaken(const NativeString& target) const {
  if (!on_) throw EInOutError(NativeString(NATIVE("a different file of that name is in the show folder")));
  const NativeStringView name = NativeStringView(target).substr(target.find_last_of(kDelimiter) + 1);
  const NativeStringView stem = name.substr(0, name.size() - ExtensionOf(name).size());
  const NativeStringView marker = stem.substr(std::min(stem.size(), stem.rfind(NATIVE(" - ")) + 3));
  throw EInOutError(NativeString(NATIVE("the library already holds ")).append(marker)
                        .append(NATIVE(" of this show: ")).append(name));
}

void LibraryNames::RefuseOtherRelease(const NativeString& file, const NativeString& target,
                                      const std::function<const NativeString*(const NativeString&)>& inThought) const {
  if (!on_) return;
  const NativeStringView extension = ExtensionOf(NativeStringView(target));
  const NativeString stem = target.substr(0, target.size() - extension.size());
  for (const NativeStringView other : {NATIVE(".mkv"), NATIVE(".mp4"), NATIVE(".avi"), NATIVE(".MKV"), NATIVE(".MP4"),
                                       NATIVE(".AVI")}) {
    if (other == extension || (kNamesIgnoreCase && CompareIgnoringCase(other, extension) == 0)) continue;
    const NativeString found = stem + NativeString(other);
    if (FileEntryExists(found) && !SameFile(file, found)) RefuseTaken(found);
    if (const NativeString* thought = inThought(found); thought && !SameFile(file, *thought)) RefuseTaken(found);
  }
}
