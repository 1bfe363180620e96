#include "platform/process.h"

#include <new>
#include <string>

#include "platform/console.h"
#include "platform/ending.h"

std::int32_t ExitStatus = 0;

void EndProcessWith(std::int32_t status) {
  ExitStatus = status;
  EndProcess();
}

void EndProcess() {
  EndHereIfSignalled();
  // A failure here is not reported: the bytes are lost and the status stays.
  WritePendingOutput();
  IoErrorCode = 0;
  ExitProcessWith(ExitStatus);
}

void RunProgram(void (*body)()) {
  RecordEndingSignals();
  try {
    body();
  } catch (const Exception& error) {
    // Listings and strings were released on the way here.
    ReportUnhandledFailure(error);
  } catch (const std::bad_alloc&) {
    ReportUnhandledFailure(EOutOfMemory(NATIVE("Out of memory")));
  } catch (const std::exception& error) {
    const std::string text = error.what();
    ReportUnhandledFailure(Exception(NativeString(text.begin(), text.end())));
  } catch (...) {
    ReportUnhandledFailure(Exception(NATIVE("External exception")));
  }
  EndProcess();
}

namespace {
// Longer than any line the programs print (a few paths of 32,767 units at
// most), and small enough to hold.
constexpr std::size_t kLongestLogLine = 1 << 20;
}  // namespace

LogInput::LogInput(const NativeString& path) : handle_(Open(path)), standardInput_(path == NATIVE("-")) {}
LogInput::~LogInput() {
  if (Opened() && !standardInput_) Close(handle_);
}

bool LogInput::NextLine(std::string& line) {
  for (;;) {
    const std::size_t end = buffer_.find('\n', at_);
    if (end != buffer_.npos || (ended_ && at_ < buffer_.size())) {
      const std::size_t stop = end == buffer_.npos ? buffer_.size() : end;
      line.assign(buffer_, at_, stop - at_);
      at_ = stop + 1;
      return true;
    }
    if (ended_ || !Opened()) return false;
    if (buffer_.size() - at_ > kLongestLogLine) {
      tooLong_ = true;
      return false;
    }
    buffer_.erase(0, at_);
    at_ = 0;
    char block[65536];
    const long got = ReadSome(handle_, block, sizeof block);
    if (got < 0) return false;
    if (got == 0) ended_ = true;
    buffer_.append(block, static_cast<std::size_t>(got));
  }
}
