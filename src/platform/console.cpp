#include "platform/console.h"

#include <cstring>
#include <string>

#include "platform/ending.h"
#include "platform/errors.h"

int IoErrorCode = 0;  // one thread: plain state, no thread-local storage

namespace {

constexpr std::size_t kBlockSize = 128;
constexpr std::size_t kWholeLinesSize = 4096;  // PIPE_BUF: a write to a pipe lands whole

struct StandardOutputStream {
  bool open = false;
  bool encodingDecided = false;
  bool flushAfterLine = false;
  bool wholeLines = false;  // blocks of whole lines only
  std::size_t block = kBlockSize;
  std::size_t pending = 0;
  char buffer[kWholeLinesSize];
};

StandardOutputStream stream;
std::string lineBytes;  // reused: no allocation per line once it has grown

console_testing::Writer testWriter = nullptr;
console_testing::Opener testOpener = nullptr;

void OpenStream() {
  stream.open = true;
  stream.pending = 0;
  const OutputKind kind = testOpener ? testOpener() : console_platform::Open();
  stream.encodingDecided = testOpener || console_platform::EncodingDecided();
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

std::size_t BlockSize() { return stream.block; }

void Append(const char* bytes, std::size_t count) {
  if (!stream.open) {
    OpenStream();
    if (!stream.open) return;
  }
  const std::size_t size = BlockSize();
  while (count >= size - stream.pending) {
    const std::size_t room = size - stream.pending;
    std::memcpy(stream.buffer + stream.pending, bytes, room);
    stream.pending = size;
    bytes += room;
    count -= room;
    if (!WriteOutPending()) return;  // the rest of the text is dropped
  }
  std::memcpy(stream.buffer + stream.pending, bytes, count);
  stream.pending += count;
}

}  // namespace

bool OutputIsCharacterDevice() {
  if (!stream.open) OpenStream();
  return stream.open && stream.flushAfterLine;
}

void MakeTerminalSafe(std::string& bytes) {
  const auto byte = [&bytes](std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
  };
  const auto follows = [&byte](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned lead = byte(i);
    std::size_t length = 0;
    unsigned code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF && follows(i + 1)) {
      length = 2;
      code = ((lead & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    } else if (lead >= 0xE0 && lead <= 0xEF && follows(i + 1) && follows(i + 2)) {
      length = 3;
      code = ((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
      if (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)) length = 0;  // overlong, surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4 && follows(i + 1) && follows(i + 2) && follows(i + 3)) {
      length = 4;
      code = ((lead & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
             (byte(i + 3) & 0x3F);
      if (code < 0x10000 || code > 0x10FFFF) length = 0;
    }
    if (length == 0) {
      bytes[i++] = '?';  // a byte outside valid UTF-8, one "?" each
      continue;
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      // A control character, whatever its length, is one "?".
      bytes.replace(i, length, 1, '?');
      ++i;
      continue;
    }
    i += length;
  }
}

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
[[gnu::noinline]] void WriteOutLastLines() {
  const void* caller = __builtin_return_address(0);
  WritePendingOutput();
  CheckIoResult(caller);
}

void EndHereIfSignalled() {
  if (!EndingDue()) return;
  WritePendingOutput();
  EndAsSignalled();
}

// Kept out of line so that the caller's address is the raise point of a failure.
[[gnu::noinline]] void WriteLine(NativeStringView text) {
  const void* caller = __builtin_return_address(0);
  if (!stream.encodingDecided) OpenStream();
  console_platform::Encode(text, lineBytes);
  // A line that does not fit waits for the next block, not split across two;
  // one longer than a block goes out alone, in one write.
  const std::size_t whole = lineBytes.size() + console_platform::kLineEnd.size();
  if (stream.wholeLines && stream.pending + whole > BlockSize()) WriteOutPending();
  if (stream.wholeLines && whole > BlockSize() && stream.open && IoErrorCode == 0) {
    lineBytes.append(console_platform::kLineEnd);
    const int code = testWriter ? testWriter(lineBytes.data(), lineBytes.size())
                                : console_platform::Write(lineBytes.data(), lineBytes.size());
    if (code != 0) IoErrorCode = code;
  } else {
    Append(lineBytes.data(), lineBytes.size());
    Append(console_platform::kLineEnd.data(), console_platform::kLineEnd.size());
  }
  if (stream.open && stream.flushAfterLine) WriteOutPending();
  EndHereIfSignalled();
  CheckIoResult(caller);
}

void WriteWholeLines(std::size_t block) {
  stream.wholeLines = true;
  stream.block = block < kWholeLinesSize ? block : kWholeLinesSize;
}

namespace console_testing {
void Reset(Writer writer, Opener opener) {
  stream = StandardOutputStream{};
  IoErrorCode = 0;
  testWriter = writer;
  testOpener = opener;
}
}  // namespace console_testing
