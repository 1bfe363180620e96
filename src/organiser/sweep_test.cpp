#include "organiser/sweep.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/test_support.h"

namespace {

std::string output;

int Capture(const char* bytes, std::size_t count) {
  output.append(bytes, count);
  return 0;
}

OutputKind AsFile() { return OutputKind::Other; }

class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    output.clear();
    console_testing::Reset(Capture, AsFile);
    fs::create_directory(tmp.Path() / "Show Name");
    WriteFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv", "old");
    WriteFile(tmp.Path() / "Show.Name.S01E01.mkv", "new");
  }
  void TearDown() override { console_testing::Reset(nullptr, nullptr); }
  std::string Run(SweepEffects* effects = nullptr) {
    MovedFileCount = 0;
    TidyEffects tidy;
    SweepDirectory(tmp.Native(), effects ? *effects : tidy);
    WritePendingOutput();
    return output;
  }
  std::string Source() const {
    return fs::path(tmp / "Show.Name.S01E01.mkv").string() +
           std::string(console_platform::kLineEnd);
  }
  TempFolder tmp;
};

TEST_F(Sweep, ReplacesTheOldFileOnlyOnceTheNewOneHasArrived) {
  EXPECT_EQ(Run(), "Moved File: " + Source());
  EXPECT_EQ(MovedFileCount, 1);
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path() / "Show Name"), {}), 1);
}

TEST_F(Sweep, AReadOnlyOldFileIsNeitherReplacedNorDeleted) {
  const fs::path old = tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv";
  fs::permissions(old, fs::perms::owner_read | fs::perms::group_read);
  if ((fs::status(old).permissions() & fs::perms::owner_write) != fs::perms::none)
    GTEST_SKIP() << "a file system without modes (exFAT, NTFS as mounted) has no read-only files";
  EXPECT_EQ(Run(), "Move File FAILED: " + Source());
  fs::permissions(old, fs::perms::owner_all);
  EXPECT_EQ(ReadFile(old), "old");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show.Name.S01E01.mkv"), "new");
}

using StepEffects = StepAt<TidyEffects>;

std::multiset<std::string> Names(const fs::path& folder) {
  std::multiset<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Replacing a same-named file: the old file goes only once the new one has
// arrived, is back under its own spelling after any failure, and nothing
// else is touched or left behind.
TEST_F(Sweep, ReplacesNeverLoseTheOldFile) {
  const std::string longName = "S.S01E01." + std::string(237, 'x') + ".mkv";  // 250 units
  enum Show { Folder, BackHere, OtherDisk };
  enum Source { Plain, Dangling, ReadOnly };
  const struct {
    const char* what;
    std::string name, oldName;  // the old file's own spelling
    Show show;
    Source source;
    bool stale, fail, moved;
  } rows[] = {
      {"replaced", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, false, true},
      {"a failed move", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, true, false},
      {"long name", longName, longName, Folder, Plain, false, false, true},
      {"long name, failed", longName, longName, Folder, Plain, false, true, false},
      {"stale set-aside names", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, true, false, true},
      {"stale names, failed", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, true, true, false},
      {"folder leads back here", "S.S01E01.mkv", "", BackHere, Plain, false, false, false},
      {"leads back, long name", longName, "", BackHere, Plain, false, false, false},
      // Rows in another letter case run where names ignore it (Windows, exFAT).
      {"old file in another case", "S.S01E01.mkv", "s.s01e01.mkv", Folder, Plain, false, false, true},
      {"another case, failed", "S.S01E01." + std::string(150, 'X') + ".mkv",
       "s.s01e01." + std::string(150, 'x') + ".mkv", Folder, Plain, false, true, false},
#ifndef _WIN32
      {"dangling source, long name", longName, longName, Folder, Dangling, false, false, false},
      {"another disk", longName, longName, OtherDisk, Plain, false, false, true},
      {"another disk, failed", longName, longName, OtherDisk, Plain, false, true, false},
      {"read-only source to another disk", longName, longName, OtherDisk, ReadOnly, false, false, false},
#endif
  };
  WriteFile(tmp.Path() / "probe", "");
  const bool namesIgnoreCase = fs::exists(tmp.Path() / "PROBE");
  for (const auto& row : rows) {
    if (row.name != row.oldName && !row.oldName.empty() && !namesIgnoreCase) continue;
    const fs::path base = tmp.Path() / "rows";
    fs::remove_all(base);
    fs::create_directories(base);
    fs::path show = base / "S", other;
    std::error_code noLinks;  // exFAT holds none
    if (row.show == BackHere) {
      fs::create_directory_symlink(".", show, noLinks);
    } else if (row.show == OtherDisk) {
#ifndef _WIN32
      if (!fs::is_directory("/dev/shm")) continue;
      other = fs::path("/dev/shm") / ("tvtidy-rows-" + std::to_string(getpid()));
      fs::remove_all(other);
      fs::create_directory(other);
      fs::create_directory_symlink(other, show, noLinks);
#endif
    } else {
      fs::create_directory(show);
    }
    if (row.source == Dangling) fs::create_symlink("nowhere", base / row.name, noLinks);
    if (noLinks) continue;
    if (!row.oldName.empty()) WriteFile(show / row.oldName, "old");
    if (row.source != Dangling) WriteFile(base / row.name, "new");
    if (row.source == ReadOnly) {
      fs::permissions(base / row.name, fs::perms::owner_read);
      if ((fs::status(base / row.name).permissions() & fs::perms::owner_write) != fs::perms::none)
        continue;  // a file system without modes has no read-only files
    }
    std::multiset<std::string> kept;
    if (row.stale) {
      for (int i = 0; i < 100; ++i) {
        const std::string stale = row.oldName + ".tvtidy-old" + (i ? std::to_string(i) : "");
        WriteFile(show / stale, "stale");
        kept.insert(stale);
      }
      WriteFile(show / ".tvtidy-old-aaaaaa", "stale");
      kept.insert(".tvtidy-old-aaaaaa");
    }
    StepEffects effects(MoveStep::Checked, [&](auto&) {
      if (row.fail) throw EInOutError(NativeString(NATIVE("refused")));
    });
    output.clear();
    MovedFileCount = 0;
    SweepDirectory(base.native(), effects);
    WritePendingOutput();
    const std::string source = (base / row.name).string();
    // On Windows a 250-unit name makes a target over 260 units: refused
    // before anything is touched.
    const bool moved = row.moved && (kDelimiter == '/' || row.name.size() < 200);
    EXPECT_EQ(output, (moved ? "Moved File: " : "Move File FAILED: ") + source +
                          std::string(console_platform::kLineEnd)) << row.what;
    std::multiset<std::string> wanted = kept;
    if (row.show != BackHere) {
      wanted.insert(moved ? row.name : row.oldName);
      EXPECT_EQ(Names(show), wanted) << row.what;
    }
    if (moved) {
      EXPECT_EQ(ReadFile(show / row.name), "new") << row.what;
      EXPECT_FALSE(fs::exists(fs::symlink_status(base / row.name))) << row.what;
    } else {
      if (!row.oldName.empty()) {
        EXPECT_EQ(ReadFile(show / row.oldName), "old") << row.what;
      }
      if (row.source == Dangling) {
        EXPECT_TRUE(fs::is_symlink(base / row.name)) << row.what;
      } else {
        EXPECT_EQ(ReadFile(base / row.name), "new") << row.what;
      }
    }
    fs::permissions(base / row.name, fs::perms::owner_all, fs::perm_options::add,
                    *std::make_unique<std::error_code>());
    if (!other.empty()) fs::remove_all(other);
  }
}

#ifndef _WIN32
// A target path over the length limit, reached through a relative folder:
// the checks refuse it before the old file is touched.
TEST_F(Sweep, ATargetTooLongLeavesTheOldFileAlone) {
  const fs::path before = fs::current_path();
  fs::current_path(tmp.Path());
  const std::string name = "S.S01E01.mkv", part(200, 'd');
  // Deep enough that the source's full path fits and the target's does not.
  size_t length = tmp.Path().string().size();
  while (length + 1 + part.size() + 4 + name.size() < 4094) {
    fs::create_directory(part);
    fs::current_path(part);
    length += 1 + part.size();
  }
  const std::string rest(4094 - (length + 1 + 3 + name.size()) - 1, 'e');
  fs::create_directories(rest + "/TV/S");
  fs::current_path(rest);
  WriteFile("TV/S/" + name, "old");
  WriteFile("TV/" + name, "new");
  output.clear();
  SweepDirectory("TV", *std::make_unique<TidyEffects>());
  WritePendingOutput();
  EXPECT_EQ(output, "Move File FAILED: TV/" + name + "\n");
  EXPECT_EQ(ReadFile("TV/S/" + name), "old");
  EXPECT_EQ(Names("TV/S"), std::multiset<std::string>{name});
  fs::current_path(before);
}

// A signal at each step of a replace, in a child process: afterwards exactly
// one of the old and the new file holds the name, and nothing stray is left.
TEST_F(Sweep, ASignalAtAnyStepOfAReplaceLeavesOldOrNew) {
  for (const MoveStep step : {MoveStep::Checked, MoveStep::AsideSet, MoveStep::Copied, MoveStep::Arrived}) {
    for (const bool otherDisk : {false, true}) {
      if (otherDisk ? !fs::is_directory("/dev/shm") : step == MoveStep::Copied) continue;
      const fs::path base = tmp.Path() / "signal";
      fs::remove_all(base);
      fs::create_directories(base);
      const fs::path other = fs::path("/dev/shm") / ("tvtidy-signal-" + std::to_string(getpid()));
      fs::remove_all(other);
      fs::path show = base / "S";
      if (otherDisk) {
        fs::create_directory(other);
        std::error_code noLinks;  // exFAT holds none
        fs::create_directory_symlink(other, show, noLinks);
        if (noLinks) continue;
      } else {
        fs::create_directory(show);
      }
      WriteFile(show / "S.S01E01.mkv", "old");
      WriteFile(base / "S.S01E01.mkv", "new");
      const pid_t child = fork();
      if (child == 0) {
        StepEffects effects(step, [](auto&) { raise(SIGINT); });
        SweepDirectory(base.native(), effects);
        _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
      const std::string at = std::to_string(static_cast<int>(step)) + (otherDisk ? " across" : "");
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << at;
      const std::string held = ReadFile(show / "S.S01E01.mkv");
      EXPECT_TRUE(held == "old" || held == "new") << at;
      EXPECT_EQ(Names(show), std::multiset<std::string>{"S.S01E01.mkv"}) << at;
      // The new file is either in the show folder or still where it was.
      EXPECT_EQ(held == "new", !fs::exists(base / "S.S01E01.mkv")) << at;
      fs::remove_all(other);
    }
  }
}
#endif

TEST_F(Sweep, ARealFolderAtTheTargetIsLeftAlone) {
  fs::remove(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv");
  fs::create_directory(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv");
  WriteFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv" / "inside", "kept");
  EXPECT_EQ(Run(), "Move File FAILED: " + Source());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show Name" / "Show.Name.S01E01.mkv" / "inside"), "kept");
  EXPECT_EQ(ReadFile(tmp.Path() / "Show.Name.S01E01.mkv"), "new");
}

// The quick rename of plain files must give exactly the lines and the files
// that the full sequence of checks gives, on a folder that meets every rule.
std::multiset<std::string> Tree(const fs::path& root) {
  std::multiset<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string where = fs::relative(entry.path(), root).generic_string();
    found.insert(where + (entry.is_regular_file() ? "=" + ReadFile(entry.path()) : "/"));
  }
  return found;
}

// tvtidy's effects with the quick way switched off.
struct FullSequenceOnly : TidyEffects {
  bool QuickMove(const NativeString&, const NativeString&) override { return false; }
};

TEST_F(Sweep, QuickRenamesGiveTheSameLinesAndFilesAsTheFullSequence) {
  std::multiset<std::string> lines[2], trees[2];
  for (int full = 0; full < 2; ++full) {
    const fs::path base = tmp.Path() / (full ? "full" : "quick");
    fs::create_directories(base);
    for (int i = 0; i < 1200; ++i) {
      const std::string show = "Show." + std::to_string(i % 40);
      WriteFile(base / (show + ".S01E" + std::to_string(i) + ".mkv"), std::to_string(i));
      if (i % 40 < 10) fs::create_directories(base / (show.substr(0, 4) + " " + show.substr(5)));
      if (i % 97 == 0) WriteFile(base / ("notes" + std::to_string(i) + ".txt"), "n");
    }
    WriteFile(base / "Show 1" / "Show.1.S01E1.mkv", "old");  // replaced
    WriteFile(base / "Blocked", "a file in the way");
    WriteFile(base / "Blocked.S01E01.mkv", "b");
    fs::create_directories(base / "Show 2" / "Show.2.S01E2.mkv");  // a real folder at the target
    WriteFile(base / "Show.2.S01E2.mkv.d" / "x", "x");
    fs::create_directories(base / "case show");
    WriteFile(base / "Case.Show.S01E01.mkv", "c");
#ifndef _WIN32
    std::error_code noLinks;  // exFAT holds none
    fs::create_symlink("Blocked", base / "Link.S01E01.mkv", noLinks);
    mkfifo((base / "Fifo.S01E01.mkv").c_str(), 0600);
#endif
    output.clear();
    MovedFileCount = 0;
    TidyEffects quick;
    FullSequenceOnly slow;
    SweepDirectory(base.native(), full ? static_cast<SweepEffects&>(slow) : quick);
    WritePendingOutput();
    const std::string prefix = base.string();
    for (size_t start = 0, end; (end = output.find('\n', start)) != output.npos; start = end + 1) {
      std::string text = output.substr(start, end - start);
      const size_t at = text.find(prefix);
      if (at != text.npos) text.replace(at, prefix.size(), "<base>");
      lines[full].insert(text);
    }
    lines[full].insert("count " + std::to_string(MovedFileCount));
    trees[full] = Tree(base);
  }
  EXPECT_EQ(lines[0], lines[1]);
  EXPECT_EQ(trees[0], trees[1]);
  // Only the blocked episode and the one held by a folder fail; the count
  // is the number of "Moved File:" lines.
  int moved = 0, failed = 0;
  for (const auto& text : lines[0]) {
    moved += text.rfind("Moved File: ", 0) == 0;
    failed += text.find("FAILED") != text.npos;
  }
  EXPECT_EQ(failed, 2);
  EXPECT_GE(moved, 1200);  // and the links and FIFOs, where the file system holds them
  EXPECT_EQ(lines[0].count("count " + std::to_string(moved)), 1u);
}

}  // namespace
