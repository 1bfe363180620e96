#ifdef _WIN32
#include <windows.h>
// RtlGenRandom, as SystemFunction036 of advapi32: the system's generator,
// with no state of ours to guard.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);
#else
#include <sys/random.h>
#endif

#include "platform/file_system.h"

namespace {
// Random bytes from the system: no generator of our own, so no static whose
// start-up needs a guard (and, on Windows, the thread runtime behind it).
void RandomBytes(unsigned char* bytes, size_t count) {
#ifdef _WIN32
  SystemFunction036(bytes, static_cast<ULONG>(count));
#else
  for (size_t got = 0; got < count;) {
    const ssize_t more = getrandom(bytes + got, count - got, 0);
    if (more > 0) got += static_cast<size_t>(more);
  }
#endif
}
}  // namespace

void HiddenNameBeside(const NativeString& beside, NativeStringView prefix, NativeString& name) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  name.assign(beside, 0, beside.find_last_of(kDelimiter) + 1).append(prefix);
  const size_t length = name.size() + 6;
  while (name.size() < length) {
    unsigned char bytes[8];
    RandomBytes(bytes, sizeof bytes);
    for (const unsigned char random : bytes)
      if (random < 252 && name.size() < length)
        name.push_back(NativeChar(kLetters[random % 36]));  // 252 = 7 * 36: every letter alike
  }
}
