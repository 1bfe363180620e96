#include "platform/console.h"

#include <cstring>
#include <string>

#include "platform/errors.h"

thread_local int IoErrorCode = 0;

namespace {

constexpr std::size_t kBufferSize = 128;

struct StandardOutputStream {
  bool open = false;
  bool encodingDecided = false;
  bool flushAfterLine = false;
  std::size_t pending = 0;
  char buffer[kBufferSize];
};

StandardOutputStream stream;
std::string lineBytes;  // reused: no allocation per line once it has grown

console_testing::Writer testWriter = nullptr;
console_testing::Opener testOpener = nullptr;

void OpenStream() {
  stream.open = true;
  stream.pending = 0;
  const OutputKind kind =
      testOpener ? testOpener() : console_platform::Open(!stream.encodingDecided);
  stream.encodingDecided = true;
  if (kind == OutputKind::Unusable) {
    stream.open = false;
    IoErrorCode = 105;
    return;
  }
  stream.flushAfterLine = kind == OutputKind::CharacterDevice;
}

// Returns false when the write failed; its bytes are dropped either way.
bool WriteOutPending() {
  if (stream.pending == 0) return true;
  const std::size_t count = stream.pending;
  stream.pending = 0;
  const int code =
      testWriter ? testWriter(stream.buffer, count) : console_platform::Write(stream.buffer, count);
  if (code == 0) return true;
  IoErrorCode = code;
  return false;
}

void Append(const char* bytes, std::size_t count) {
  if (!stream.open) {
    OpenStream();
    if (!stream.open) return;
  }
  while (count >= kBufferSize - stream.pending) {
    const std::size_t room = kBufferSize - stream.pending;
    std::memcpy(stream.buffer + stream.pending, bytes, room);
    stream.pending = kBufferSize;
    bytes += room;
    count -= room;
    if (!WriteOutPending()) return;  // the rest of the text is dropped
  }
  std::memcpy(stream.buffer + stream.pending, bytes, count);
  stream.pending += count;
}

}  // namespace

void CheckIoResult(const void* raisePoint) {
  if (IoErrorCode == 0) return;
  const int code = IoErrorCode;
  IoErrorCode = 0;
  EInOutError error(code);
  error.raiseAddress = raisePoint;
  throw error;
}

void WritePendingOutput() {
  if (stream.open) WriteOutPending();
}

// Kept out of line so that the caller's address is the raise point of a failure.
[[gnu::noinline]] void WriteLine(NativeStringView text) {
  const void* caller = __builtin_return_address(0);
  if (!stream.encodingDecided) OpenStream();
  console_platform::Encode(text, lineBytes);
  Append(lineBytes.data(), lineBytes.size());
  Append(console_platform::kLineEnd.data(), console_platform::kLineEnd.size());
  if (stream.open && stream.flushAfterLine) WriteOutPending();
  CheckIoResult(caller);
}

namespace console_testing {
void Reset(Writer writer, Opener opener) {
  stream = StandardOutputStream{};
  IoErrorCode = 0;
  testWriter = writer;
  testOpener = opener;
}
}  // namespace console_testing
