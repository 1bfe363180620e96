#include "platform/progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/letter_case.h"
#include "platform/process.h"

namespace {

constexpr std::uint64_t kFirstAfter = 1000, kRedrawEvery = 250;  // milliseconds

// "1.5 GB", "85 MB", "700 kB": three figures at most.
std::string Amount(double bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  size_t unit = 0;
  while (bytes >= 1000 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, bytes < 10 && unit > 0 ? "%.1f %s" : "%.0f %s", bytes, kUnits[unit]);
  return text;
}

std::string TimeLeft(double seconds) {
  const auto whole = static_cast<unsigned long long>(seconds + 0.5);
  char text[48];
  if (whole < 60)
    std::snprintf(text, sizeof text, "%llu s left", whole);
  else if (whole < 3600)
    std::snprintf(text, sizeof text, "%llu min %02llu s left", whole / 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%llu h %02llu min left", whole / 3600, whole / 60 % 60);
  return text;
}

}  // namespace

NativeString ProgressText(NativeStringView name, std::uint64_t copied, std::uint64_t size, double seconds,
                          std::size_t columns) {
  // The terminal's own controls in a name are shown as "?".
  NativeString shown(name);
#ifdef _WIN32
  for (NativeChar& c : shown)
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) c = NATIVE('?');
#else
  MakeTerminalSafe(shown);
#endif
  const double rate = seconds > 0 ? static_cast<double>(copied) / seconds : 0;
  const unsigned percent = size > 0 ? static_cast<unsigned>(copied * 100 / size) : 100;
  std::string rest = ": " + std::to_string(percent) + "% of " + Amount(static_cast<double>(size));
  if (rate > 0) {
    rest += ", " + Amount(rate) + "/s, " + TimeLeft(static_cast<double>(size - copied) / rate);
  }
  // A long name is cut at its start (the episode marker is near the end), to
  // 40 columns at most and to what the figures leave of the width.
  constexpr std::size_t kWidest = 40, kPrefix = 8;  // "Copying "
  const std::size_t width = columns > 1 ? columns - 1 : 0;
  const std::size_t room = std::min(kWidest, width > kPrefix + rest.size() + 4 ? width - kPrefix - rest.size() : 4);
  if (ColumnsOf(shown) > room) {
    do {
      size_t next = 1;  // a whole character each time
#ifdef _WIN32
      if (shown.size() > 1 && shown[1] >= 0xDC00 && shown[1] < 0xE000) next = 2;
#else
      while (next < shown.size() && (static_cast<unsigned char>(shown[next]) & 0xC0) == 0x80) ++next;
#endif
      shown.erase(0, next);
    } while (!shown.empty() && ColumnsOf(shown) + 3 > room);
    shown.insert(0, NATIVE("..."));
  }
  NativeString text = NATIVE("Copying ");
  text.append(shown);
  const std::size_t used = ColumnsOf(text);
  if (used + rest.size() > width) rest.resize(width > used ? width - used : 0);  // the figures are ASCII
  text.append(rest.begin(), rest.end());
  return text;
}

CopyProgress::CopyProgress(NativeStringView path, std::uint64_t size)
    : name_(path.substr(path.find_last_of(kDelimiter) + 1)), size_(size), start_(MonotonicMilliseconds()),
      next_(start_ + kFirstAfter) {}

CopyProgress::~CopyProgress() {
  if (drawn_ == 0) return;
  NativeString blank(1, NATIVE('\r'));
  blank.append(drawn_, NATIVE(' ')).append(1, NATIVE('\r'));
  WriteToTerminal(blank);
}

void CopyProgress::Reached(std::uint64_t copied) {
  const std::uint64_t now = MonotonicMilliseconds();
  if (now < next_) return;
  next_ = now + kRedrawEvery;
  if (!StandardErrorIsTerminal()) {
    next_ = UINT64_MAX;  // logs and pipes get nothing of this
    return;
  }
  const std::size_t columns = TerminalColumns();
  const NativeString text = ProgressText(name_, copied, size_, static_cast<double>(now - start_) / 1000, columns);
  // Redrawn over the last: what it drew before and is longer is blanked,
  // within the width (a narrowed window has wrapped it anyway).
  const std::size_t shown = ColumnsOf(text);
  NativeString line(1, NATIVE('\r'));
  line.append(text);
  drawn_ = std::min(drawn_, columns > 1 ? columns - 1 : 0);
  if (shown < drawn_) line.append(drawn_ - shown, NATIVE(' '));
  WriteToTerminal(line);
  drawn_ = std::max(drawn_, shown);
}
