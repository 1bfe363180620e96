// A sign of life on long copies onto another disk: where standard error is
// a terminal, one line redrawn in place, and cleared before any other line.
#pragma once

#include <cstdint>

#include "platform/text.h"

class CopyProgress {
 public:
  // The file's name (its last part is shown) and how many bytes the copy takes.
  CopyProgress(NativeStringView path, std::uint64_t size);
  ~CopyProgress();  // clears the line, if one was drawn
  CopyProgress(const CopyProgress&) = delete;
  CopyProgress& operator=(const CopyProgress&) = delete;

  // So many bytes are copied: the line is drawn once the copy has run for
  // about a second, and redrawn a few times a second. A clock read otherwise.
  void Reached(std::uint64_t copied);

 private:
  NativeStringView name_;
  std::uint64_t size_;
  std::uint64_t start_, next_;  // in milliseconds
  size_t drawn_ = 0;  // the columns the line takes on the terminal, 0 when none
};

// The line's text: "Copying <name>: 42% of 1.5 GB, 85 MB/s, 12 s left", in
// fewer columns than the terminal has (the last one left free, so that no
// terminal wraps it): a long name loses its start, then the figures their end.
NativeString ProgressText(NativeStringView name, std::uint64_t copied, std::uint64_t size, double seconds,
                          std::size_t columns = 200);
