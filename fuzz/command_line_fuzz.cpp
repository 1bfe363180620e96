// Invariants of the command-line splitting: quotes never reach the argument,
// and an unquoted argument holds no blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::u16string line;
  for (size_t i = 0; i + 1 < size; i += 2) line.push_back(char16_t(data[i] | data[i + 1] << 8));
  const std::u16string first = FirstArgumentOf<char16_t>(line);
  if (first.size() > line.size()) abort();
  if (first.find(u'"') != first.npos || first.find(u'\0') != first.npos) abort();
  if (line.find(u'"') == line.npos)
    for (char16_t c : first)
      if (c <= 32) abort();
  // The argument's units appear in the line in the same order.
  size_t at = 0;
  for (char16_t c : first) {
    at = line.find(c, at);
    if (at == line.npos) abort();
    ++at;
  }
  return 0;
}
