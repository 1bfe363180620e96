#include "episode/library_name.h"

#include <string>

namespace {
// At least `width` digits, zeros in front.
void AppendNumber(NativeString& text, int number, size_t width) {
  const std::string digits = std::to_string(number);
  if (digits.size() < width) text.append(width - digits.size(), NATIVE('0'));
  text.append(digits.begin(), digits.end());
}
}  // namespace

NativeString LibraryEpisodeStem(NativeStringView showFolder, const EpisodeReading& reading) {
  NativeString stem(showFolder);
  stem.append(NATIVE(" - "));
  if (reading.kind == EpisodeReading::Kind::Daily) {
    AppendNumber(stem, reading.season, 4);
    stem.push_back(NATIVE('-'));
    AppendNumber(stem, reading.episode / 100, 2);
    stem.push_back(NATIVE('-'));
    AppendNumber(stem, reading.episode % 100, 2);
    return stem;
  }
  stem.push_back(NATIVE('S'));
  AppendNumber(stem, reading.kind == EpisodeReading::Kind::Absolute ? 1 : reading.season, 2);
  stem.push_back(NATIVE('E'));
  AppendNumber(stem, reading.episode, 2);
  if (reading.lastEpisode > reading.episode) {
    stem.append(NATIVE("-E"));
    AppendNumber(stem, reading.lastEpisode, 2);
  }
  return stem;
}
