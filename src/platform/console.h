// Console lines on standard output: one buffer, written out after every line
// on a character device and in blocks to anything else (128 bytes, or whole
// lines of up to 4096 bytes where the program asks for them).
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "platform/text.h"

// Code of the last failed stream operation, 0 when none; CheckIoResult takes it.
extern int IoErrorCode;

// Writes the text and a line end; raises EInOutError when this line, or
// anything still pending before it, could not be written.
void WriteLine(NativeStringView text);

// Raises EInOutError for a pending IoErrorCode and resets it to 0.
void CheckIoResult(const void* raisePoint = nullptr);

// From now on, output to a file or pipe leaves in blocks of whole lines of up
// to `block` bytes (4096 at most), a longer line alone: programs appending
// to one log interleave only between lines, and a run killed mid-write
// never leaves half a line. Set before the first line.
void WriteWholeLines(std::size_t block = 4096);

// Writes out the pending bytes; a failure only sets IoErrorCode.
void WritePendingOutput();

// Writes out the pending bytes and raises EInOutError, as a line would, when
// they or anything before them could not be written.
void WriteOutLastLines();

// A line boundary: an ending signal recorded outside any move ends the run
// here, every line before it written out whole. Every line asks it, and so
// does long work that prints nothing.
void EndHereIfSignalled();

// How standard output looked when it was opened.
enum class OutputKind { Unusable, CharacterDevice, Other };

// Whether the lines go to a character device (a terminal, the null device),
// where a person sees them; false for a file or a pipe, and for none.
bool OutputIsCharacterDevice();

// The platform half of the stream (console_win32.cpp, console_posix.cpp).
namespace console_platform {
// Opens standard output; decides the text encoding while it is undecided.
OutputKind Open();
// Whether the encoding is decided; while it is not (a console that answers
// code page 0), every line opens the stream again.
bool EncodingDecided();
// Converts a line's text to the bytes of the decided encoding.
void Encode(NativeStringView text, std::string& bytes);
// Writes all the bytes; 0 or the error code, in the Windows numbering.
int Write(const char* bytes, std::size_t count);
extern const std::string_view kLineEnd;
}  // namespace console_platform

// The bytes as a terminal may show them: every C0 and C1 control, DEL and
// every byte that is not part of valid UTF-8 becomes "?".
void MakeTerminalSafe(std::string& bytes);
// The bytes as any line may hold them, to a file or a pipe too: every C0
// control (a line break, a carriage return, an escape) and DEL becomes "?",
// so that no name can end a line or begin one of ours. The rest is kept.
// One rule for bytes and for UTF-16 text.
template <typename Text>
void MakeLineSafe(Text& text) {
  for (auto& unit : text)
    if (static_cast<std::make_unsigned_t<typename Text::value_type>>(unit) < 0x20 || unit == 0x7F) unit = '?';
}

// Seams for the unit tests: observe the writes and start the stream afresh.
namespace console_testing {
using Writer = int (*)(const char* bytes, std::size_t count);
using Opener = OutputKind (*)();
void Reset(Writer writer, Opener opener);
}  // namespace console_testing
