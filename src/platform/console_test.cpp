#include "platform/console.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/letter_case.h"
#include "platform/process.h"
#include "platform/progress.h"
#include "platform/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::string> writes;
int failNextWrites = 0;
int failingCode = 232;
OutputKind kind = OutputKind::Other;
int unusableOpenings = 0;

int RecordWrite(const char* bytes, std::size_t count) {
  if (failNextWrites > 0) {
    --failNextWrites;
    return failingCode;
  }
  writes.emplace_back(bytes, count);
  return 0;
}

OutputKind Open() {
  if (unusableOpenings > 0) {
    --unusableOpenings;
    return OutputKind::Unusable;
  }
  return kind;
}

class Console : public ::testing::Test {
 protected:
  void Start(OutputKind as) {
    writes.clear();
    failNextWrites = 0;
    unusableOpenings = 0;
    kind = as;
    console_testing::Reset(RecordWrite, Open);
  }
  void TearDown() override { console_testing::Reset(nullptr, nullptr); }
  static NativeString Line(size_t units) { return NativeString(units, NATIVE('x')); }
  const size_t eol = console_platform::kLineEnd.size();
};

TEST_F(Console, FileOrPipeIsWrittenIn128ByteBlocksAndTheRestAtTheEnd) {
  Start(OutputKind::Other);
  // 300 bytes in all, line ends included.
  WriteLine(Line(100 - eol));
  WriteLine(Line(150 - eol));
  EXPECT_EQ(writes.size(), 1u);
  WriteLine(Line(50 - eol));
  WritePendingOutput();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].size(), 128u);
  EXPECT_EQ(writes[1].size(), 128u);
  EXPECT_EQ(writes[2].size(), 44u);
  std::string all = writes[0] + writes[1] + writes[2];
  EXPECT_EQ(all.substr(100 - eol, eol), console_platform::kLineEnd);
  EXPECT_EQ(all.substr(300 - eol), console_platform::kLineEnd);
}

TEST_F(Console, CompanionsWriteWholeLinesInBlocksOfUpTo4096Bytes) {
  Start(OutputKind::Other);
  WriteWholeLines();
  for (int i = 0; i < 5; ++i) WriteLine(Line(1000 - eol));
  WriteLine(Line(5000 - eol));  // a line longer than a block goes out alone, whole
  WriteLine(Line(10 - eol));
  WritePendingOutput();
  std::vector<size_t> sizes;
  for (const std::string& bytes : writes) sizes.push_back(bytes.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{4000, 1000, 5000, 10}));
}

TEST_F(Console, CharacterDeviceGetsEveryLineAtOnce) {
  Start(OutputKind::CharacterDevice);
  WriteLine(NATIVE("Moved 0 files"));
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "Moved 0 files" + std::string(console_platform::kLineEnd));
  WriteLine(Line(300));  // long lines leave in 128-byte pieces, then the rest
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].size(), 128u);
  EXPECT_EQ(writes[2].size(), 128u);
  EXPECT_EQ(writes[3].size(), 300 - 256 + eol);
}

TEST_F(Console, FailedWriteRaisesDropsItsBytesAndTheNextLineGoesOut) {
  Start(OutputKind::CharacterDevice);
  failNextWrites = 1;
  failingCode = 232;
  try {
    WriteLine(NATIVE("lost"));
    FAIL() << "no error raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), NATIVE("I/O error 232"));
    EXPECT_EQ(error.Code(), 232);
    EXPECT_NE(error.raiseAddress, nullptr);
  }
  EXPECT_EQ(IoErrorCode, 0);
  WriteLine(NATIVE("kept"));
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "kept" + std::string(console_platform::kLineEnd));
}

TEST_F(Console, BlockWriteFailureIsReportedByTheLineThatFilledTheBlock) {
  Start(OutputKind::Other);
  WriteLine(Line(100));
  failNextWrites = 1;
  failingCode = 112;
  EXPECT_THROW(WriteLine(Line(100)), EInOutError);  // the rest of that text is dropped
  WriteLine(NATIVE("after"));
  WritePendingOutput();
  // The failed block is never retried; only the failed line's end survives it.
  const std::string eolText(console_platform::kLineEnd);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], eolText + "after" + eolText);
}

TEST_F(Console, UnusableOutputIs105AndIsTriedAgainAtTheNextLine) {
  Start(OutputKind::Other);
  unusableOpenings = 3;  // the encoding decision, then both appends of the line
  try {
    WriteLine(NATIVE("first"));
    FAIL() << "no error raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), NATIVE("I/O error 105"));
  }
  WriteLine(NATIVE("second"));
  WritePendingOutput();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "second" + std::string(console_platform::kLineEnd));
}

TEST(TerminalSafe, ControlsAndInvalidUtf8BecomeQuestionMarks) {
  const struct {
    const char *in, *out;
  } cases[] = {
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC.mkv", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC.mkv"},
      {"a\x1B[31mb\x7F", "a?[31mb?"},
      {"csi\xC2\x9B" "2J nel\xC2\x85 \xC2\xA0", "csi?2J nel? \xC2\xA0"},  // C1 as UTF-8: one "?"
      {"raw\x9B" "2J", "raw?2J"},
      {"bad\xFF\xFE end\xC3", "bad?? end?"},
      {"overlong\xC0\xAF surrogate\xED\xA0\x80", "overlong?? surrogate???"},
      {"big\xF4\x90\x80\x80", "big????"},
  };
  for (const auto& c : cases) {
    std::string bytes = c.in;
    MakeTerminalSafe(bytes);
    EXPECT_EQ(bytes, c.out) << c.in;
  }
}

TEST(CopyProgressText, ShareRateAndTimeLeft) {
  const struct {
    NativeStringView name;
    std::uint64_t copied, size;
    double seconds;
    NativeStringView text;
  } cases[] = {
      {NATIVE("Show.S01E01.mkv"), 750'000'000, 1'500'000'000, 10,
       NATIVE("Copying Show.S01E01.mkv: 50% of 1.5 GB, 75 MB/s, 10 s left")},
      {NATIVE("Show.S01E01.mkv"), 1'000'000, 900'000'000, 1, NATIVE("Copying Show.S01E01.mkv: 0% of 900 MB, 1.0 MB/s, 14 min 59 s left")},
      {NATIVE("Show.S01E01.mkv"), 0, 5'000'000'000, 0, NATIVE("Copying Show.S01E01.mkv: 0% of 5.0 GB")},
      {NATIVE("A.Very.Long.Show.Name.With.Many.Words.S01E01.1080p.mkv"), 10, 10, 1,
       NATIVE("Copying ...Name.With.Many.Words.S01E01.1080p.mkv: 100% of 10 B, 10 B/s, 0 s left")},
      {NATIVE("bad\x1B[2J.mkv"), 1, 2, 1, NATIVE("Copying bad?[2J.mkv: 50% of 2 B, 1 B/s, 1 s left")},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgressText(c.name, c.copied, c.size, c.seconds), c.text);
}

// However narrow the terminal and however wide the name's letters, the line
// stays within one row, and a name that is cut keeps its end.
TEST(CopyProgressText, FitsTheTerminalInColumns) {
  const NativeString wide = fs::path(u8"\u65E5\u672C\u306E\u756A\u7D44\u306E\u9577\u3044\u540D\u524D.S01E01.mkv").native();
  const NativeString accented = fs::path(u8"Cafe\u0301.Sho\u0301w.With.A.Long.Name.S01E01.mkv").native();
  for (const NativeString& name : {NativeString(NATIVE("A.Very.Long.Show.Name.With.Many.Words.S01E01.1080p.mkv")),
                                   wide, accented})
    for (const std::size_t columns : {20, 40, 80, 200}) {
      const NativeString text = ProgressText(name, 1'000'000, 900'000'000, 1, columns);
      EXPECT_LT(ColumnsOf(text), columns) << fs::path(text) << " in " << columns;
      if (columns >= 80) {
        EXPECT_NE(text.find(NATIVE(".mkv: ")), text.npos) << fs::path(text);
      }
    }
  EXPECT_EQ(ColumnsOf(wide), 10u * 2 + 11);
}

TEST(EInOutErrorText, FollowsTheTable) {
  const struct {
    int code;
    const NativeChar* text;
  } cases[] = {
      {2, NATIVE("File not found")},       {3, NATIVE("Invalid filename")},
      {4, NATIVE("Too many open files")},  {5, NATIVE("File access denied")},
      {100, NATIVE("Read beyond end of file")}, {101, NATIVE("Disk full")},
      {106, NATIVE("Invalid numeric input")},   {105, NATIVE("I/O error 105")},
      {112, NATIVE("I/O error 112")},      {6, NATIVE("I/O error 6")},
  };
  for (const auto& c : cases) EXPECT_EQ(EInOutError(c.code).Message(), c.text) << c.code;
}

TEST(FailureReport, LayoutAndFullStopRule) {
  EXPECT_EQ(FailureReportText<char>("EInOutError", "tvtidy.exe", 0x1A2B, "I/O error 6", "\r\n"),
            "Exception EInOutError in module tvtidy.exe at 00001A2B.\r\nI/O error 6.\r\n");
  EXPECT_EQ(FailureReportText<char>("EInOutError", "tvtidy", 0xABCDEF12, "Done.", "\n"),
            "Exception EInOutError in module tvtidy at ABCDEF12.\nDone.\n");
  EXPECT_EQ(FailureReportText<char>("Exception", "m", 0, "", "\n"),
            "Exception Exception in module m at 00000000.\n\n");
  EXPECT_EQ(FailureReportText<char>("E", "m", 0, std::string(2000, 'x'), "\n").size(), 1024u);
}

#ifndef _WIN32
// A failure of any kind that nothing handled ends in the report and status 1,
// not in std::terminate: run in a child, whose standard error is a pipe.
TEST(FailureReport, EveryKindOfFailureIsReported) {
  const struct {
    void (*body)();
    const char *report, *message;
  } cases[] = {
      {[] { throw std::bad_alloc(); }, "Exception EOutOfMemory in module ", "\nOut of memory.\n\n"},
      {[] { throw std::runtime_error("odd"); }, "Exception Exception in module ", "\nodd.\n\n"},
  };
  for (const auto& c : cases) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    if (child == 0) {
      dup2(pipeEnds[1], STDERR_FILENO);
      RunProgram(c.body);
    }
    close(pipeEnds[1]);
    std::string err;
    char buffer[512];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) err.append(buffer, got);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.report;
    EXPECT_EQ(err.rfind(c.report, 0), 0u) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}
#endif

}  // namespace
