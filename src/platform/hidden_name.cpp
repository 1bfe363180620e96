#include <random>

#include "platform/file_system.h"

void HiddenNameBeside(const NativeString& beside, NativeStringView prefix, NativeString& name) {
  static std::mt19937 random{std::random_device{}()};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  name.assign(beside, 0, beside.find_last_of(kDelimiter) + 1).append(prefix);
  for (int i = 0; i < 6; ++i) name.push_back(NativeChar(kLetters[random() % 36]));
}
