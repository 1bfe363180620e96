#ifdef _WIN32
#include <windows.h>
// RtlGenRandom, as SystemFunction036 of advapi32: the system's generator,
// with no state of ours to guard.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);
#else
#include <sys/random.h>
#endif

#include "platform/file_system.h"
#include "platform/move_across.h"

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

// Fetched 256 bytes at a time: a run of replaces asks the system once per
// forty names or so, not once per name. Constant-initialised, no guard.
constinit unsigned char pool[256] = {};
constinit size_t used = sizeof pool;

unsigned char NextRandomByte() {
  if (used == sizeof pool) {
    RandomBytes(pool, sizeof pool);
    used = 0;
  }
  return pool[used++];
}

}  // namespace

void HiddenNameBeside(const NativeString& beside, NativeStringView prefix, NativeString& name) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  name.assign(beside, 0, beside.find_last_of(kDelimiter) + 1).append(prefix);
  const size_t length = name.size() + 6;
  while (name.size() < length) {
    const unsigned char random = NextRandomByte();
    if (random < 252) name.push_back(NativeChar(kLetters[random % 36]));  // 252 = 7 * 36: every letter alike
  }
}

// A whole copy beside its source that could go neither on, nor away: the
// user is told where, as of an old file kept aside.
void CopyKept(const NativeString& copy, const NativeString& source) {
  WriteNotice(NativeString(NATIVE("Copy kept as: ")).append(copy).append(NATIVE(" (a copy of ")).append(source)
                  .append(NATIVE(", which stays)")));
}
