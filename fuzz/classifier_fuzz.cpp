// Invariants of the season marker scan and the classifier, on bytes and on
// UTF-16 code units made of the same input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "episode/classifier.h"

namespace {

template <typename Char>
void Check(std::basic_string_view<Char> name) {
  const std::int32_t marker = FindSeasonMarker(name);
  if (marker != 0) {
    const size_t at = static_cast<size_t>(marker - 1);
    if (at + 2 >= name.size()) abort();  // both digits inside the name
    if (name[at] != Char('S') && name[at] != Char('s')) abort();
    if (!IsAsciiDigit(name[at + 1]) || !IsAsciiDigit(name[at + 2])) abort();
  }
  std::basic_string<Char> folder(3, Char('x'));
  const bool accepted = ClassifyEpisodeFile(name, folder);
  if (accepted != !folder.empty()) abort();
  if (folder.empty()) return;
  if (IsBlankUnit(folder.front()) || IsBlankUnit(folder.back())) abort();
  if (folder.find(Char('.')) != folder.npos) abort();
  if (folder.size() >= name.size()) abort();
  if (!IsVideoExtension(ExtensionOf(TrimBlanks(name)))) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Check<char>(bytes);
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(char16_t(data[i] | data[i + 1] << 8));
  Check<char16_t>(units);
  return 0;
}
