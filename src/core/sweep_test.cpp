#include "core/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "library/hard_link.h"
#include "library/library_move.h"
#include "library/library_placement.h"
#include "tidy/tidy_effects.h"
#include "core/journal.h"
#include "tidy/preview.h"
#include "core/relocation.h"
#include "undo/undo.h"
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

#ifdef _WIN32
// A show named as another show folder's 8.3 short name gets no folder of
// that other show: its episode stays, and nothing enters the other folder.
TEST_F(Sweep, AnotherShowFoldersShortNameIsNoShowFolder) {
  fs::create_directory(tmp.Path() / "Other Show Entirely");
  wchar_t alias[MAX_PATH];
  const NativeString other = tmp / "Other Show Entirely";
  const DWORD length = GetShortPathNameW(other.c_str(), alias, MAX_PATH);
  const NativeString full(alias, length), shortName = full.substr(full.find_last_of(L'\\') + 1);
  if (length == 0 || shortName == L"Other Show Entirely") GTEST_SKIP() << "no short names here";
  const NativeString episode = shortName + L".S01E05.mkv";
  WriteFile(tmp.Path() / episode, "episode");
  fs::remove(tmp.Path() / "Show.Name.S01E01.mkv");
  EXPECT_EQ(Run(), "Create Folder FAILED: " + fs::path(tmp / shortName).string() +
                       std::string(console_platform::kLineEnd));
  EXPECT_TRUE(fs::is_empty(tmp.Path() / "Other Show Entirely"));
  EXPECT_EQ(ReadFile(tmp.Path() / episode), "episode");
}
#endif

// The summary's counter wraps as a 32-bit counter does (never undefined).
TEST_F(Sweep, TheCountWrapsPastItsLargestValue) {
  MovedFileCount = INT32_MAX;
  CountOne(MovedFileCount);
  EXPECT_EQ(MovedFileCount, INT32_MIN);
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
  enum Source { Plain, Dangling, ReadOnly, LinkOfOld };
  const struct {
    const char* what;
    std::string name, oldName;  // the old file's own spelling
    Show show;
    Source source;
    bool stale, fail, moved;
    bool oldOpen = false;  // held open for writing, as by a download still running
    bool newer = false;    // a newer file renamed over the source as it goes
    bool oldWritten = false;  // written to under its hidden name before it goes
  } rows[] = {
      {"replaced", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, false, true},
      {"a failed move", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, true, false},
      {"long name", longName, longName, Folder, Plain, false, false, true},
      {"long name, failed", longName, longName, Folder, Plain, false, true, false},
      {"stale set-aside names", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, true, false, true},
      {"stale names, failed", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, true, true, false},
      {"folder leads back here", "S.S01E01.mkv", "", BackHere, Plain, false, false, false},
      {"leads back, long name", longName, "", BackHere, Plain, false, false, false},
      {"old file open for writing", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, false, false, true},
      // Rows in another letter case run where names ignore it (Windows, exFAT).
      {"old file in another case", "S.S01E01.mkv", "s.s01e01.mkv", Folder, Plain, false, false, true},
      // tvtidy-link's own link, as the new file's name goes.
      {"the old file is a link of it", "S.S01E01.mkv", "S.S01E01.mkv", Folder, LinkOfOld, false, false, true},
      {"a link of it in another case", "S.S01E01.mkv", "s.s01e01.mkv", Folder, LinkOfOld, false, false, true},
      {"another case, failed", "S.S01E01." + std::string(150, 'X') + ".mkv",
       "s.s01e01." + std::string(150, 'x') + ".mkv", Folder, Plain, false, true, false},
#ifndef _WIN32
      {"dangling source, long name", longName, longName, Folder, Dangling, false, false, false},
      {"another disk", longName, longName, OtherDisk, Plain, false, false, true},
      {"another disk, failed", longName, longName, OtherDisk, Plain, false, true, false},
      {"read-only source to another disk", longName, longName, OtherDisk, ReadOnly, false, false, false},
      // (A short name: ntfs-3g, renaming over a long name of two links, keeps
      // the old file under a stray 13-letter name.)
      {"a link of it, a newer file arrives", "S.S01E01.mkv", "S.S01E01.mkv", Folder, LinkOfOld, false, false, true,
       false, true},
      {"the old file written to while aside", "S.S01E01.mkv", "S.S01E01.mkv", Folder, Plain, false, false, false,
       false, false, true},
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
    if (!row.oldName.empty()) WriteFile(show / row.oldName, row.source == LinkOfOld && !row.newer ? "new" : "old");
    if (row.source == LinkOfOld) fs::create_hard_link(show / row.oldName, base / row.name, noLinks);
    if (noLinks) continue;
    if (row.source != Dangling && row.source != LinkOfOld) WriteFile(base / row.name, "new");
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
    bool arrived = false;  // where a file system cannot show one file under two names, never
    const MoveStep step = row.newer ? MoveStep::Removing : row.oldWritten ? MoveStep::AsideSet : MoveStep::Checked;
    StepEffects effects(step, [&](const NativeString& path) {
      if (row.oldWritten) std::ofstream(fs::path(path), std::ios::app) << "more";
      if (row.newer) {
        arrived = true;
        WriteFile(base / "incoming", "new");
        fs::rename(base / "incoming", base / row.name);
      }
      if (row.fail) throw EInOutError(NativeString(NATIVE("refused")));
    });
    output.clear();
    MovedFileCount = 0;
    std::ofstream writer;
    if (row.oldOpen) writer.open(show / row.oldName, std::ios::app);
    SweepDirectory(base.native(), effects);
    writer.close();
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
      EXPECT_EQ(ReadFile(show / row.name), row.newer && !arrived ? "old" : "new") << row.what;
      EXPECT_FALSE(fs::exists(fs::symlink_status(base / row.name))) << row.what;
      if (row.show == Folder) {
        EXPECT_EQ(Names(base), std::multiset<std::string>{"S"}) << row.what;  // nothing hidden
      }
    } else {
      if (!row.oldName.empty()) {
        EXPECT_EQ(ReadFile(show / row.oldName), row.oldWritten ? "oldmore" : "old") << row.what;
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
#ifndef _WIN32
  // Rows skipped on the way (no links, no modes) leave it too.
  fs::remove_all(fs::path("/dev/shm") / ("tvtidy-rows-" + std::to_string(getpid())), *std::make_unique<std::error_code>());
#endif
}

#ifndef _WIN32
#ifndef _WIN32
// An old file that may not be removed once the new one has arrived, whose
// new file cannot go back either (another file took its name): the new file
// stays moved and says so, and the old one is named on standard error.
TEST_F(Sweep, AnOldFileThatCanGoNeitherBackNorAwayIsNamed) {
  const fs::path base = tmp.Path() / "stuck", show = base / "S";
  fs::create_directories(show);
  WriteFile(show / "S.S01E01.mkv", "old");
  fs::permissions(show / "S.S01E01.mkv", fs::perms::owner_read);
  if ((fs::status(show / "S.S01E01.mkv").permissions() & fs::perms::owner_write) != fs::perms::none)
    GTEST_SKIP() << "a file system without modes (exFAT, NTFS as mounted) has no read-only files";
  fs::permissions(show / "S.S01E01.mkv", fs::perms::owner_all);
  WriteFile(base / "S.S01E01.mkv", "new");
  struct Stuck : TidyEffects {
    fs::path aside, source;
    void AtStep(MoveStep step, const NativeString& path) override {
      if (step == MoveStep::AsideSet) aside = path;
      if (step != MoveStep::Arrived) return;
      fs::permissions(aside, fs::perms::owner_read);  // no write bit: never removed
      WriteFile(source, "a newer download");
    }
  } stuck;
  stuck.source = base / "S.S01E01.mkv";
  const fs::path& aside = stuck.aside;
  const fs::path log = tmp.Path() / "stderr";
  const int saved = dup(2), to = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(to, 2);
  output.clear();
  SweepDirectory(base.native(), stuck);
  WritePendingOutput();
  dup2(saved, 2);
  close(to);
  close(saved);
  EXPECT_EQ(output, "Moved File: " + (base / "S.S01E01.mkv").string() + "\n");
  EXPECT_EQ(ReadFile(show / "S.S01E01.mkv"), "new");
  EXPECT_EQ(ReadFile(aside), "old");
  EXPECT_EQ(ReadFile(base / "S.S01E01.mkv"), "a newer download");
  EXPECT_EQ(ReadFile(log), "Old file kept as: " + aside.string() + "\n");
  fs::permissions(aside, fs::perms::owner_all);
}
#endif

// Replaces at the length limit, reached through a relative folder: a target
// over it is refused before the old file is touched; one just under it is
// replaced, though the old file's hidden name beside it makes a longer path.
TEST_F(Sweep, ReplacesAtThePathLengthLimit) {
  const struct {
    std::string show, name;
    size_t targetLength;
    std::string line, held;
  } rows[] = {{"S", "S.S01E01.mkv", 4096, "Move File FAILED: ", "old"},
              {"Show", "Show.S01E01.mkv", 4093, "Moved File: ", "new"}};
  const fs::path before = fs::current_path();
  for (const auto& row : rows) {
    const fs::path top = tmp.Path() / row.show;
    fs::create_directory(top);
    fs::current_path(top);
    const std::string part(200, 'd');
    size_t length = top.string().size();
    const size_t fixed = 6 + row.show.size() + row.name.size();  // "/", "/TV/", "/", the names
    while (row.targetLength - (length + fixed) > 250) {
      fs::create_directory(part);
      fs::current_path(part);
      length += 1 + part.size();
    }
    const std::string rest(row.targetLength - length - fixed, 'e');
    fs::create_directories(rest + "/TV/" + row.show);
    fs::current_path(rest);
    const std::string target = "TV/" + row.show + "/" + row.name;
    ASSERT_EQ(fs::current_path().string().size() + 1 + target.size(), row.targetLength);
    WriteFile(target, "old");
    WriteFile("TV/" + row.name, "new");
    // Named in full, as the kernel takes at most PATH_MAX bytes at a time.
    const std::string folder = fs::current_path().string() + "/TV";
    output.clear();
    SweepDirectory(folder, *std::make_unique<TidyEffects>());
    WritePendingOutput();
    EXPECT_EQ(output, row.line + folder + "/" + row.name + "\n") << row.targetLength;
    EXPECT_EQ(ReadFile(target), row.held) << row.targetLength;
    EXPECT_EQ(Names("TV/" + row.show), std::multiset<std::string>{row.name}) << row.targetLength;
    fs::current_path(before);
  }
}

// The show folder's index is read once per run; another program renames,
// removes or creates names in it later. A failed replace puts the old file
// back under the name it had when it was set aside, never under one the
// index recalls; a name the index recalls but that is free now takes a
// plain move.
TEST_F(Sweep, AFailedReplacePutsTheOldFileBackUnderTheNameItHadThen) {
  const struct {
    const char* what;
    const char *indexed, *now;  // the second episode's old file: when the index is read, later ("": gone)
    bool renamed;               // renamed by the other program, else a file of its own created
    bool freed = false;         // the new file's name is free by then: moved, nothing fails
  } rows[] = {
      {"a name created beside a variant", "s.s01e02.mkv", "S.S01E02.mkv", false},
      {"renamed into the new file's case", "s.s01e02.mkv", "S.S01E02.mkv", true},
      {"renamed out of it", "S.S01E02.mkv", "s.s01e02.mkv", true},
      {"removed since", "S.S01E02.mkv", "", true, true},
      {"renamed away since", "S.S01E02.mkv", "S.S01E02.old.mkv", true, true},
  };
  WriteFile(tmp.Path() / "probe", "");
  const bool namesIgnoreCase = fs::exists(tmp.Path() / "PROBE");
  for (const auto& row : rows) {
    // On ext4 one name cannot become the other's variant.
    if (row.renamed != namesIgnoreCase && !row.freed) continue;
    const fs::path base = tmp.Path() / "stale", show = base / "S";
    fs::remove_all(base);
    fs::create_directories(show);
    WriteFile(show / "S.S01E01.mkv", "old 1");
    WriteFile(show / row.indexed, "old 2");
    WriteFile(base / "S.S01E01.mkv", "new 1");
    bool fail = false;
    StepEffects effects(MoveStep::Checked, [&](const NativeString&) {
      if (fail) throw EInOutError(NativeString(NATIVE("refused")));
    });
    SweepDirectory(base.native(), effects);  // the first replace reads the index
    const bool gone = *row.now == '\0';
    if (gone)
      fs::remove(show / row.indexed);
    else if (row.renamed)
      fs::rename(show / row.indexed, show / row.now);
    else
      WriteFile(show / row.now, "created");
    WriteFile(base / "S.S01E02.mkv", "new 2");
    fail = !row.freed;
    SweepDirectory(base.native(), effects);
    std::multiset<std::string> wanted = {"S.S01E01.mkv"};
    if (!gone) wanted.insert(row.now);
    if (!row.renamed) wanted.insert(row.indexed);
    if (row.freed) wanted.insert("S.S01E02.mkv");
    EXPECT_EQ(Names(show), wanted) << row.what;
    if (!gone) {
      EXPECT_EQ(ReadFile(show / row.now), row.renamed ? "old 2" : "created") << row.what;
    }
    if (row.freed) {
      EXPECT_EQ(ReadFile(show / "S.S01E02.mkv"), "new 2") << row.what;
    }
  }
}

// A signal at each step of a replace, in a child process: afterwards exactly
// one of the old and the new file holds the name, and nothing stray is left.
// A second, different signal (the terminal closing after Ctrl-C) meanwhile
// changes nothing.
TEST_F(Sweep, ASignalAtAnyStepOfAReplaceLeavesOldOrNew) {
  const struct {
    MoveStep step;
    int second;  // 0: one signal only
  } rows[] = {{MoveStep::Checked, 0},       {MoveStep::AsideSet, 0}, {MoveStep::Copied, 0},
              {MoveStep::Arrived, 0},       {MoveStep::AsideSet, SIGHUP}, {MoveStep::Copied, SIGHUP},
              {MoveStep::Arrived, SIGTERM}, {MoveStep::Removing, SIGHUP}};
  for (const auto& row : rows) {
    for (const bool otherDisk : {false, true}) {
      const MoveStep step = row.step;
      if (otherDisk ? !fs::is_directory("/dev/shm")
                    : step == MoveStep::Copied || step == MoveStep::Removing)
        continue;
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
        const int second = row.second;
        StepEffects effects(step, [second](auto&) {
          raise(SIGINT);
          if (second) raise(second);
        });
        SweepDirectory(base.native(), effects);
        _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
      const std::string at = std::to_string(static_cast<int>(step)) + "+" + std::to_string(row.second) +
                             (otherDisk ? " across" : "");
      EXPECT_TRUE(WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == row.second)) << at;
      const std::string held = ReadFile(show / "S.S01E01.mkv");
      EXPECT_TRUE(held == "old" || held == "new") << at;
      EXPECT_EQ(Names(show), std::multiset<std::string>{"S.S01E01.mkv"}) << at;
      // The new file is either in the show folder or still where it was.
      EXPECT_EQ(held == "new", !fs::exists(base / "S.S01E01.mkv")) << at;
      for (const auto& name : Names(base)) EXPECT_NE(name.rfind(".tvtidy", 0), 0u) << at << " " << name;
      fs::remove_all(other);
    }
  }
  fs::remove_all(fs::path("/dev/shm") / ("tvtidy-signal-" + std::to_string(getpid())), *std::make_unique<std::error_code>());
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
// ownEntries: a symbolic link as its own text, not as what it leads to;
// counts: and a file with the count of its names.
std::multiset<std::string> Tree(const fs::path& root, bool ownEntries = false, bool counts = false) {
  std::multiset<std::string> found;
  for (const auto& entry :
       fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied)) {
    const std::string where = entry.path().lexically_relative(root).generic_string();
    std::error_code unreadable;  // a link into a folder shut to this user
    if (ownEntries && entry.is_symlink(unreadable))
      found.insert(where + "->" + fs::read_symlink(entry.path(), unreadable).string());
    else if (counts && entry.is_regular_file(unreadable))
      found.insert(where + "=" + ReadFile(entry.path()) + " #" + std::to_string(fs::hard_link_count(entry.path(), unreadable)));
    else
      found.insert(where + (entry.is_regular_file(unreadable) ? "=" + ReadFile(entry.path()) : "/"));
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
      // Replaces into one show folder: the first learns that the name is
      // taken from the rename, the others from the folder's listing.
      if (i % 40 == 3 && i < 600) WriteFile(base / "Show 3" / (show + ".S01E" + std::to_string(i) + ".mkv"), "old");
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

// ---------------------------------------------------------------------------
// Random folders, decided three ways: the preview, the run, and the run with
// the quick rename off (and, as root, all again as an ordinary user). Their
// lines must correspond one for one, their trees match, and no episode's
// bytes may be lost. TVTIDY_LAYOUTS sets how many (fuzz/differential runs
// thousands; TVTIDY_FIRST_LAYOUT starts at one that failed).
namespace differential {

// A show folder linked to another file system (a tmpfs): moves there are copies.
const std::string kOtherDisk = "<another disk>";
#ifndef _WIN32
// One folder for the whole test run, its children (an ordinary user) included.
const fs::path kOtherDisks = fs::path("/dev/shm") / ("tvtidy-differential-" + std::to_string(getpid()));
#endif
fs::path OtherDiskOf(const fs::path& base) {
#ifdef _WIN32
  (void)base;
  return {};
#else
  return kOtherDisks / std::to_string(std::hash<std::string>()(fs::absolute(base).string()));
#endif
}

struct Entry {
  std::string path;  // below the base folder
  enum Kind { File, Folder, ReadOnly, Fifo, Link, FolderLink, Locked, HardLink } kind;
  std::string content;  // a file's bytes, a link's target
};

std::vector<Entry> Layout(std::mt19937& random) {
  auto pick = [&](auto& options) { return options[random() % std::size(options)]; };
  // Case variants, beside names that are not UTF-8 (Latin-1 "café", a lone
  // 0xFF) and letters whose upper case is ASCII (long s, dotless i).
  std::vector<std::string> shows = {"The.Expanse", "the.expanse", "\xC3\x9C" "ber", "\xC3\xBC" "ber",
                                    "Show",        "A.B",         "Dark",            "dark",
                                    "DARK",        "\xC5\xBF" "how", "\xC4\xB1x",      "IX"};
  if (kDelimiter == '/') shows.insert(shows.end(), {"caf\xE9", "a\xFF"});
  const std::string exts[] = {".mkv", ".MP4", ".avi", ".txt"};
  std::vector<Entry> entries;
  std::set<std::string> taken;
  auto add = [&](Entry entry) {
    std::string folded;
    for (char c : entry.path) folded.push_back(AsciiLower(c));
    if (kNamesIgnoreCase && !taken.insert(folded).second) return;  // one name there
    entries.push_back(entry);
  };
  const int files = 3 + static_cast<int>(random() % 10);
  for (int i = 0; i < files; ++i) {
    const std::string show = pick(shows);
    // Now and then a marker only tvtidy-link reads (tvtidy skips the file).
    const char* const markers[] = {".1x0", " - Season 1 Episode ", ".2024.01.1", ".s1e"};
    std::string name = show + (random() % 4 == 0 ? pick(markers) : ".S01E0") + std::to_string(random() % 4);
    if (random() % 8 == 0 && kDelimiter == '/') name += "." + std::string(200, 'x');
    name += pick(exts);
    const auto roll = random() % 16;
    std::string folder = show;
    for (char& c : folder) c = c == '.' ? ' ' : c;
    if (roll == 0) add({folder, Entry::Folder, ""});
    if (roll == 1) add({folder + "/" + name, Entry::File, "old " + name});
    if (roll == 2) add({folder + "/" + name, Entry::ReadOnly, "old " + name});
    if (roll == 3) add({folder + "/" + name + "/x", Entry::File, "in a folder"});
    if (roll == 4) add({folder, Entry::File, "in the way"});
    // A show folder as a media server's library keeps it: season folders.
    if (random() % 6 == 0) add({folder + (random() % 2 ? "/Season 01" : "/S02"), Entry::Folder, ""});
#ifndef _WIN32
    if (roll == 5) add({folder, Entry::Fifo, ""});
    if (roll == 6) add({folder, Entry::Link, "nowhere"});
    if (roll == 7) add({folder, Entry::FolderLink, "elsewhere"});
    if (roll == 8) add({folder, Entry::FolderLink, "."});
    // Folders an ordinary user may not change, enter or read: a case
    // variant first in byte order that it cannot use is passed over.
    const char* modes[] = {"000", "444", "555", "666"};
    if (roll == 11) add({folder, Entry::Locked, pick(modes)});
    if (roll == 12) add({folder, Entry::FolderLink, "hidden"});
    if (roll == 13) add({folder, Entry::FolderLink, kOtherDisk});
    // A first variant that cannot be used: a link into a folder shut to all
    // but root, beside the other spellings.
    if (roll == 14) add({folder, Entry::FolderLink, "shut/inner"});
    if (roll == 9 && !entries.empty())
      add({name, Entry::Link, entries[random() % entries.size()].path});
    else
#endif
      add({name, roll == 10 ? Entry::ReadOnly : Entry::File, "episode " + std::to_string(i)});
#ifndef _WIN32
    // A FIFO of an episode's name, its show folder perhaps on another disk.
    if (random() % 8 == 0) add({show + ".S01E09.mkv", Entry::Fifo, ""});
    // Subtitles in a Subs folder, of an episode here or of none.
    if (random() % 4 == 0) add({"Subs/" + name.substr(0, name.size() - 4) + ".en.srt", Entry::File, "subtitle"});
    // tvtidy-link's own link of the episode, already in its show folder.
    if (roll == 15) add({folder + "/" + name, Entry::HardLink, name});
#endif
  }
  if (random() % 3 == 0) add({"notes.txt", Entry::File, "n"});
  // At a real folder's scale now and then: more show folders than a run
  // holds open, some with an old file of the episode's name (POSIX: the
  // Windows build holds no folder open).
  if (random() % 25 == 0 && kDelimiter == '/')
    for (int show = 0; show < 300; ++show) {
      const std::string name = "Bulk" + std::to_string(show), episode = name + ".S01E01.mkv";
      if (show % 3 == 0) add({name + "/" + episode, Entry::File, "old " + episode});
      if (show % 3 == 1) add({name, Entry::Folder, ""});
      add({episode, Entry::File, "episode bulk " + std::to_string(show)});
    }
  return entries;
}

#ifndef _WIN32
// A low limit on open files for a while: the run holds a quarter of it open.
struct OpenFileLimit {
  explicit OpenFileLimit(bool low) {
    if (low && getrlimit(RLIMIT_NOFILE, &saved) == 0) {
      struct rlimit lowered = saved;
      lowered.rlim_cur = 64;
      set = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
  }
  ~OpenFileLimit() {
    if (set) setrlimit(RLIMIT_NOFILE, &saved);
  }
  struct rlimit saved {};
  bool set = false;
};
#endif

// On POSIX the bytes as they are, UTF-8 or not.
fs::path Utf8(const std::string& text) {
  if (kDelimiter == '/') return fs::path(text);
  return fs::path(std::u8string(text.begin(), text.end()));
}

void Build(const fs::path& base, const std::vector<Entry>& entries) {
  fs::create_directories(base / "elsewhere");
  fs::create_directories(base / "hidden");
  fs::create_directories(base / "shut" / "inner");
  std::error_code ignored;  // an entry whose place another took stays out
  for (const Entry& entry : entries) {
    const fs::path path = base / Utf8(entry.path);
    fs::create_directories(path.parent_path(), ignored);
    switch (entry.kind) {
      case Entry::Folder: fs::create_directories(path, ignored); break;
      case Entry::File:
      case Entry::ReadOnly:
        if (fs::exists(fs::symlink_status(path))) break;
        WriteFile(path, entry.content);
        if (entry.kind == Entry::ReadOnly) fs::permissions(path, fs::perms::owner_read | fs::perms::group_read, ignored);
        break;
#ifndef _WIN32
      case Entry::Fifo: mkfifo(path.c_str(), 0600); break;
      case Entry::HardLink: fs::create_hard_link(base / entry.content, path, ignored); break;
      case Entry::Link: fs::create_symlink(entry.content, path, ignored); break;
      case Entry::FolderLink:
        if (entry.content == kOtherDisk) {
          fs::create_directories(OtherDiskOf(base), ignored);
          chmod(OtherDiskOf(base).c_str(), 0777);
          chmod(OtherDiskOf(base).parent_path().c_str(), 0777);
          fs::create_directory_symlink(OtherDiskOf(base), path, ignored);
        } else {
          fs::create_directory_symlink(entry.content, path, ignored);
        }
        break;
      case Entry::Locked:
        fs::create_directories(path, ignored);  // its mode once all is in place
        break;
#else
      default: break;
#endif
    }
  }
#ifndef _WIN32
  for (const Entry& entry : entries)
    if (entry.kind == Entry::Locked && fs::is_directory(fs::symlink_status(base / Utf8(entry.path))))
      chmod((base / Utf8(entry.path)).c_str(), static_cast<mode_t>(std::stoi(entry.content, nullptr, 8)));
  chmod((base / "hidden").c_str(), 0333);
  chmod((base / "shut").c_str(), 0);
#endif
}

struct Outcome {
  std::vector<std::string> lines;
  std::int32_t count = 0;
};

Outcome Sweep(const fs::path& base, SweepEffects& effects) {
  output.clear();
  MovedFileCount = 0;
  if (auto* link = dynamic_cast<LinkEffects*>(&effects))
    SweepIntoLibrary(base.native(), base.native(), *link);
  else
    SweepDirectory(base.native(), effects);
  WritePendingOutput();
  Outcome outcome;
  const std::string end(console_platform::kLineEnd);
  for (size_t start = 0, stop; (stop = output.find(end, start)) != output.npos; start = stop + end.size())
    outcome.lines.push_back(output.substr(start, stop - start));
  outcome.count = MovedFileCount;
  if (auto* preview = dynamic_cast<PreviewEffects*>(&effects)) outcome.count = preview->Count();
  return outcome;
}

// What a run prints for a line of the preview.
std::string AsInARun(std::string line, const std::string& base) {
  const auto starts = [&](const char* prefix) { return line.rfind(prefix, 0) == 0; };
  if (starts("Would Create Folder: ")) return "Created Folder: " + line.substr(21);
  for (const char* prefix : {"Would Move File: ", "Would Replace File: "})
    if (starts(prefix)) {
      const size_t arrow = line.find(" -> " + base, strlen(prefix) + base.size());
      return "Moved File: " + line.substr(strlen(prefix), arrow - strlen(prefix));
    }
  if (line.find("FAILED: ") != line.npos && line.back() == ')') line.erase(line.rfind(" ("));
  return line;
}

std::multiset<std::string> Relative(const std::vector<std::string>& lines, const std::string& base) {
  std::multiset<std::string> found;
  for (std::string line : lines) {
    const size_t at = line.find(base);
    if (at != line.npos) line.replace(at, base.size(), "<base>");
    found.insert(line);
  }
  return found;
}

bool FirstNameOf(const fs::path& path, std::set<std::pair<std::uintmax_t, std::uintmax_t>>& seen) {
#ifdef _WIN32
  (void)path;
  (void)seen;
  return true;  // no links in the layouts there
#else
  struct stat info {};
  return stat(path.c_str(), &info) != 0 || seen.emplace(info.st_dev, info.st_ino).second;
#endif
}

// The episodes' bytes, wherever they are (on the other disk too): nothing
// may be lost.
std::multiset<std::string> Contents(const fs::path& root) {
  std::multiset<std::string> found;
  const auto options = fs::directory_options::skip_permission_denied;
  std::error_code none;
  if (kDelimiter == '/' && fs::is_directory(OtherDiskOf(root), none) && OtherDiskOf(root) != root)
    found = Contents(OtherDiskOf(root));
  std::set<std::pair<std::uintmax_t, std::uintmax_t>> seen;  // a file of two names counts once
  for (auto it = fs::recursive_directory_iterator(root, options); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink()) {
      it.disable_recursion_pending();
    } else if (it->is_regular_file() && FirstNameOf(it->path(), seen)) {
      const std::u8string name = it->path().filename().u8string();
      found.insert(std::string(name.begin(), name.end()) + "=" + ReadFile(it->path()));
    }
  }
  return found;
}

std::string LinkTwice(const fs::path& link, const std::vector<Entry>& layout);
std::string MoveTwice(const fs::path& move, const std::vector<Entry>& layout);

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  const std::string end(console_platform::kLineEnd);
  for (size_t start = 0, stop; (stop = text.find(end, start)) != text.npos; start = stop + end.size())
    lines.push_back(text.substr(start, stop - start));
  return lines;
}

// tvtidy-undo on a run's own lines, its dry run first: their lines, and
// whether every line was read.
std::pair<std::vector<std::string>, std::vector<std::string>> UndoBoth(const std::vector<std::string>& lines) {
  std::vector<std::string> said[2];
  for (int real = 0; real < 2; ++real) {
    output.clear();
    Undo undo(real == 0);
    for (const auto& line : lines) {
      NativeString read;  // the bytes in the code page (Latin-1, as far as the layouts go)
      for (const char c : line) read.push_back(static_cast<NativeChar>(static_cast<unsigned char>(c)));
      if (!undo.Read(read)) return {{"refused: " + line}, {}};
    }
    undo.Apply();
    WritePendingOutput();
    said[real] = LinesOf(output);
  }
  return {said[0], said[1]};
}

// What the undo says for a line of its dry run.
std::string AsUndone(std::string line) {
  for (const auto& [would, did] : {std::pair{"Would Restore File: ", "Restored File: "},
                                   std::pair{"Would Remove Link: ", "Removed Link: "},
                                   std::pair{"Would Remove Folder: ", "Removed Folder: "}})
    if (line.rfind(would, 0) == 0) return did + line.substr(strlen(would));
  if (line.rfind("Would restore ", 0) == 0) {
    line = "Restored " + line.substr(14);
    line.replace(line.find(", remove "), 9, ", removed ");
  }
  return line;
}

// The run taken back from its own lines: the tree from before, but for the
// old files it replaced; the dry run said the same, and a second undo
// changes nothing.
std::string TakenBack(const fs::path& base, const std::vector<std::string>& lines, std::multiset<std::string> before,
                      bool counts = false, bool replaces = true) {
  std::set<std::string> replaced;
  for (const auto& line : lines)
    if (replaces && line.rfind("Moved File: ", 0) == 0) {
      std::string name;  // as the tree spells it: Windows' log is in Latin-1
      for (const char c : line.substr(line.find_last_of(kDelimiter) + 1)) {
        const auto unit = static_cast<unsigned char>(c);
        if (kDelimiter == '\\' && unit >= 0x80)
          name.append({static_cast<char>(0xC0 | (unit >> 6)), static_cast<char>(0x80 | (unit & 0x3F))});
        else
          name.push_back(c);
      }
      replaced.insert(name);
    }
  // What a show folder held under a moved file's name (an old file replaced,
  // or the episode's own second name) cannot come back; where names ignore
  // case, under any spelling of it.
  const auto wasReplaced = [&](const std::string& name) {
    if (!kNamesIgnoreCase) return replaced.count(name) > 0;
    return std::any_of(replaced.begin(), replaced.end(), [&](const std::string& moved) {
      return CompareIgnoringCase(fs::u8path(moved).native(), fs::u8path(name).native()) == 0;
    });
  };
  std::erase_if(before, [&](const std::string& entry) {
    const size_t slash = entry.rfind('/', entry.find('=')), equals = entry.find('=');
    return slash != entry.npos && equals != entry.npos && wasReplaced(entry.substr(slash + 1, equals - slash - 1));
  });
  // Windows writes a log in its ANSI code page: a name beyond it is written
  // as "?" or as a look-alike ("ix" for "ıx"), whose line may name another
  // entry. Such layouts are left to the look-alike rows there.
  const auto beyondCodePage = [](const std::string& entry) {
    return kDelimiter == '\\' && std::any_of(entry.begin(), entry.end(), [](char c) {
             return static_cast<unsigned char>(c) >= 0xC4;  // UTF-8 past U+00FF
           });
  };
  if (std::any_of(before.begin(), before.end(), beyondCodePage)) return "";
  auto [dry, undone] = UndoBoth(lines);
  std::vector<std::string> foreseen;
  for (const auto& line : dry) foreseen.push_back(AsUndone(line));
  if (foreseen != undone)
    return "the undo's dry run and the undo differ:\n" + ::testing::PrintToString(dry) + "\n" +
           ::testing::PrintToString(undone);
  auto after = Tree(base, true, counts);
  if (after != before) {
    std::vector<std::string> missing, extra;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(missing));
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(extra));
    return "the undo did not bring the tree back:\n" + ::testing::PrintToString(undone) + "\nmissing " +
           ::testing::PrintToString(missing) + "\nnew " + ::testing::PrintToString(extra);
  }
  const auto again = UndoBoth(lines).second;
  for (const auto& line : again)
    if (line.rfind("Restored File: ", 0) == 0 || line.rfind("Removed ", 0) == 0)
      return "a second undo did something: " + line;
  return Tree(base, true, counts) == before ? "" : "a second undo changed the tree";
}

// Preview, run and full sequence on three copies of one layout; a message per
// divergence.
// Every other layout names its folder relative to the current folder, as
// "tvtidy-preview Downloads" does.
std::string Decide(const fs::path& root, const std::vector<Entry>& layout, bool relative) {
  const fs::path full = root / "full";
  const fs::path run = relative ? fs::path("run") : root / "run";
  struct Back {
    fs::path to;
    ~Back() { fs::current_path(to); }
  } back{fs::current_path()};
  fs::create_directories(root);
  if (relative) fs::current_path(root);
  Build(run, layout);
  Build(full, layout);
  const std::string base = run.string() + std::string(1, kDelimiter);
  const auto before = Contents(run);
  const auto treeBefore = Tree(run, true);
  std::vector<NativeString> usableBefore;
  const NativeString listed = WithTrailingDelimiter(run.native());
  for (FolderListing listing(listed); listing.HasEntry(); listing.Advance())
    if (listing.Entry().isFolder && FolderExists(listed + NativeString(listing.Entry().name)) &&
        MayChangeEntriesIn(listed + NativeString(listing.Entry().name)))
      usableBefore.emplace_back(listing.Entry().name);
#ifndef _WIN32
  const OpenFileLimit limit(layout.size() > 200);
#endif
  PreviewEffects preview;
  TidyEffects tidy;
  FullSequenceOnly slow;
  const Outcome previewed = Sweep(run, preview);
  if (Contents(run) != before) return "the preview changed the folder";
  const Outcome done = Sweep(run, tidy);
  std::vector<std::string> expected;
  for (const auto& line : previewed.lines) expected.push_back(AsInARun(line, base));
  if (expected != done.lines || previewed.count != done.count)
    return "preview and run differ:\n" + ::testing::PrintToString(previewed.lines) + "\n" +
           ::testing::PrintToString(done.lines);
  const Outcome slowly = Sweep(full, slow);
  if (Relative(done.lines, base) != Relative(slowly.lines, full.string() + std::string(1, kDelimiter)) ||
      done.count != slowly.count)
    return "quick and full sequence differ:\n" + ::testing::PrintToString(done.lines) + "\n" +
           ::testing::PrintToString(slowly.lines);
  if (Tree(run) != Tree(full))
    return "quick and full sequence leave different trees:\n" + ::testing::PrintToString(Tree(run)) + "\n" +
           ::testing::PrintToString(Tree(full));
  // A show folder is made only where no usable folder of the show existed,
  // whatever its letter case: never a second one beside it. (Windows: the
  // file system itself finds it.)
  for (const auto& line : kNamesIgnoreCase ? std::vector<std::string>{} : done.lines) {
    if (line.rfind("Created Folder: ", 0) != 0) continue;
    const NativeString made(line.begin() + 16 + static_cast<std::ptrdiff_t>(base.size()), line.end());
    for (const auto& usable : usableBefore)
      if (usable != made && CompareIgnoringCase(usable, made) == 0)
        return "a second folder beside " + run.string() + ": " + line;
  }
  // Old same-named files go by design; every episode stays, whole.
  const auto after = Contents(run);
  for (const auto& file : before)
    if (file.find("=episode ") != file.npos && after.count(file) < before.count(file))
      return "an episode was lost: " + file;
  if (std::string failure = TakenBack(run, done.lines, treeBefore); !failure.empty())
    return failure;
  if (std::string failure = MoveTwice(root / "move", layout); !failure.empty()) return "--move: " + failure;
  return LinkTwice(root / "link", layout);
}

// tvtidy-link --move on the same layout: its dry run says the run's lines,
// no episode's bytes are lost or replaced, a second run moves nothing, and
// the undo brings the tree back whole.
std::string MoveTwice(const fs::path& move, const std::vector<Entry>& layout) {
  Build(move, layout);
  const auto before = Contents(move);
  const auto treeBefore = Tree(move, true);
  // Each run's effects, and the folders they hold open, gone with the run.
  const auto moveRun = [&](bool dryRun) {
    LibraryMoveEffects effects;
    if (dryRun) effects.DryRun();
    Outcome outcome = Sweep(move, effects);
    outcome.count = effects.Count();
    return outcome;
  };
  Outcome foreseen = moveRun(true);
  for (std::string& line : foreseen.lines)
    for (const auto& [would, did] : {std::pair{"Would Move File: ", "Moved File: "},
                                     std::pair{"Would Create Folder: ", "Created Folder: "},
                                     std::pair{"Would Remove Folder: ", "Removed Folder: "}})
      if (line.rfind(would, 0) == 0) line = did + line.substr(strlen(would));
  if (Tree(move, true) != treeBefore) return "the dry run changed the folder";
  const Outcome done = moveRun(false);
  if (done.lines != foreseen.lines || done.count != foreseen.count) {
    const auto at = std::mismatch(foreseen.lines.begin(), foreseen.lines.end(), done.lines.begin(), done.lines.end());
    return "dry run and run differ:\n" + (at.first != foreseen.lines.end() ? *at.first : "(none)") + "\n" +
           (at.second != done.lines.end() ? *at.second : "(none)");
  }
  const auto after = Contents(move);
  for (const auto& file : before)
    if (after.count(file) < before.count(file)) return "a file was lost or replaced: " + file;
  // Only a file the first run failed (or failed a folder for) may move now,
  // into a folder made since.
  std::vector<std::string> bothRuns = done.lines;
  for (const auto& line : moveRun(false).lines)
    if (bothRuns.push_back(line); line.rfind("Moved File: ", 0) == 0 &&
        std::none_of(done.lines.begin(), done.lines.end(), [&](const std::string& first) {
          return first.rfind("Move File FAILED: " + line.substr(12, line.find(" -> ") - 12), 0) == 0 ||
                 first.rfind("Create Folder FAILED: ", 0) == 0;
        }))
      return "a second run moved: " + line;
  return TakenBack(move, bothRuns, treeBefore, false, false);
}

// tvtidy-link on the same layout, its show folders seeded with look-alikes
// (a different file of the episode's name, size and time): a link is the
// file itself, "Already Linked" only ever says so of the file itself, a
// second run links nothing new, and nothing is lost.
std::string LinkTwice(const fs::path& link, const std::vector<Entry>& layout) {
#ifdef _WIN32
  // Its links are tried end to end; here the file's identity would take
  // calls of its own.
  (void)link;
  (void)layout;
  return "";
#else
  Build(link, layout);
  for (const Entry& entry : layout) {
    const size_t slash = entry.path.find('/');
    if (entry.kind != Entry::File || slash == entry.path.npos) continue;
    const fs::path episode = link / Utf8(entry.path.substr(slash + 1)), seeded = link / Utf8(entry.path);
    std::error_code none;
    if (!fs::is_regular_file(fs::symlink_status(episode, none)) || !fs::is_regular_file(fs::symlink_status(seeded, none)))
      continue;
    WriteFile(seeded, std::string(fs::file_size(episode), '#'));
    // Both seeding elsewhere too (a second link each): the same size,
    // modification time and link count.
    const std::string seeding = std::to_string(std::hash<std::string>()(entry.path));
    fs::create_hard_link(episode, link / ("seeding-" + seeding), none);
    fs::create_hard_link(seeded, link / ("seeded-" + seeding), none);
    const auto time = fs::last_write_time(episode);
    fs::last_write_time(seeded, time);
    fs::last_write_time(episode, time);
  }
  const std::string base = link.string() + std::string(1, kDelimiter);
  // By bytes alone: a file linked through a symbolic link gets the link's name.
  const auto bytes = [&] {
    std::multiset<std::string> found;
    for (const auto& file : Contents(link)) found.insert(file.substr(file.find('=')));
    return found;
  };
  const auto before = bytes();
  // A link to a file: the file it leads to is linked.
  const auto oneFile = [&](const std::string& path, const std::string& other) {
    struct stat a {}, b {};
    return stat(path.c_str(), &a) == 0 && lstat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
  };
  std::vector<std::string> linked;
  LinkEffects inThought;  // a dry run first: exactly the lines of the run
  inThought.DryRun();
  const auto treeBefore = Tree(link), ownBefore = Tree(link, true, true);
  std::vector<std::string> bothRuns;
  Outcome foreseen = Sweep(link, inThought);
  // Its lines are the run's, with "Would" where the run says what it did.
  for (std::string& line : foreseen.lines)
    for (const auto& [would, did] : {std::pair{"Would Link File: ", "Linked File: "},
                                     std::pair{"Would Create Folder: ", "Created Folder: "},
                                     std::pair{"Would Remove Folder: ", "Removed Folder: "}})
      if (line.rfind(would, 0) == 0) line = did + line.substr(strlen(would));
  if (Tree(link) != treeBefore) return "the dry run changed the folder";
  for (int pass = 0; pass < 2; ++pass) {
    LinkEffects effects;
    const Outcome outcome = Sweep(link, effects);
    bothRuns.insert(bothRuns.end(), outcome.lines.begin(), outcome.lines.end());
    if (pass == 0 && (outcome.lines != foreseen.lines || outcome.count != foreseen.count)) {
      size_t at = 0;
      while (at < outcome.lines.size() && at < foreseen.lines.size() && outcome.lines[at] == foreseen.lines[at]) ++at;
      return "the dry run and the link run differ at line " + std::to_string(at + 1) + ":\n" +
             (at < foreseen.lines.size() ? foreseen.lines[at] : "(none)") + "\n" +
             (at < outcome.lines.size() ? outcome.lines[at] : "(none)");
    }
    for (const auto& line : outcome.lines) {
      const size_t arrow = line.find(" -> ");
      if (line.rfind("Linked File: ", 0) == 0) {
        // A file the first run linked, or found linked, is never linked
        // again; one it failed (a show folder it could not make or write)
        // may be, into a folder made since.
        const std::string source = line.substr(13, arrow - 13);
        if (pass == 1 && std::any_of(bothRuns.begin(), bothRuns.end() - static_cast<std::ptrdiff_t>(outcome.lines.size()),
                                     [&](const std::string& first) {
                                       return first.rfind("Linked File: " + source + " -> ", 0) == 0 ||
                                              first == "Already Linked: " + source;
                                     }))
          return "a second link run links again: " + line;
        const std::string target = line.substr(arrow + 4, line.find(" (the file the link leads to: ") - arrow - 4);
        if (!oneFile(line.substr(13, arrow - 13), target)) return "a link is another file: " + line;
        if (pass == 0) linked.push_back(line.substr(13, arrow - 13));
      }
      if (line.rfind("Already Linked: ", 0) == 0) {
        const std::string episode = line.substr(16), name = episode.substr(episode.rfind(kDelimiter) + 1);
        bool found = false;  // the episode's own file, under any name, in some spelling of its show folder
        for (const auto& folder : fs::directory_iterator(link)) {
          found = found || oneFile(episode, (folder.path() / Utf8(name)).string());  // one this user cannot list
          std::error_code notAFolder;  // or one of its season folders
          for (const auto& entry : fs::directory_iterator(folder.path(), notAFolder)) {
            found = found || oneFile(episode, entry.path().string());
            std::error_code notASeason;
            for (const auto& inSeason : fs::directory_iterator(entry.path(), notASeason))
              found = found || oneFile(episode, inSeason.path().string());
          }
        }
        if (!found) return "already linked, but not to this file: " + line;
        if (pass == 1) std::erase(linked, episode);
      }
    }
    if (pass == 1 && !linked.empty()) return "linked once, not found again: " + linked.front();
    // Every file looked at gets a line, a subtitle in Subs included.
    for (const Entry& entry : layout)
      if (pass == 0 && entry.path.rfind("Subs/", 0) == 0 &&
          std::none_of(outcome.lines.begin(), outcome.lines.end(), [&](const std::string& line) {
            return line.find(entry.path.substr(5)) != line.npos;
          }))
        return "no line for " + entry.path;
  }
  const auto after = bytes();
  for (const auto& file : before)
    if (after.count(file) < before.count(file)) return "a link run changed or lost a file: " + file;
  // Both runs taken back: every link gone, every count of names as it was.
  if (const std::string failure = TakenBack(link, bothRuns, ownBefore, true); !failure.empty()) return "link runs: " + failure;
  return "";
#endif
}

}  // namespace differential

#ifndef _WIN32  // names with ">", which Windows refuses
// tvtidy-undo reads exactly what the runs print: a " -> " inside a name, a
// symbolic link's own file, the summaries; anything else is refused.
TEST(UndoLog, EveryLineOfARunIsReadAndNothingElse) {
  console_testing::Reset(Capture, AsFile);
  TempFolder tmp;
  const std::string b = tmp.Path().string() + std::string(1, kDelimiter), s(1, kDelimiter);
  fs::create_directories(tmp.Path() / "Odd -> Name");
  WriteFile(tmp.Path() / "Odd -> Name.S01E01.mkv", "e");
  std::error_code noLinks;
  fs::create_hard_link(tmp.Path() / "Odd -> Name.S01E01.mkv", tmp.Path() / "Odd -> Name" / "Odd -> Name.S01E01.mkv",
                       noLinks);
  const struct {
    std::string line;
    bool read;
    std::string said;  // by a dry run
  } rows[] = {
      {"Linked File: " + b + "Odd -> Name.S01E01.mkv -> " + b + "Odd -> Name" + s + "Odd -> Name.S01E01.mkv", true,
       "Would Remove Link: " + b + "Odd -> Name" + s + "Odd -> Name.S01E01.mkv"},
      // As the system log keeps the hooks' lines; other programs' passed over.
      {"Dec 08 21:50:01 mediabox tvtidy-link[4242]: Linked File: " + b + "Odd -> Name.S01E01.mkv -> " + b +
           "Odd -> Name" + s + "Odd -> Name.S01E01.mkv", true,
       "Would Remove Link: " + b + "Odd -> Name" + s + "Odd -> Name.S01E01.mkv"},
      {"2026-12-08T21:50:01+0000 mediabox tvtidy: Moved File: " + b + "Gone.S01E01.mkv", true,
       "Restore File FAILED: " + b + "Gone.S01E01.mkv (it is no longer in its show folder)"},
      {"Dec  8 21:50:01 mediabox tvtidy-link[7]: Warning: two folders read as one show", true, ""},
      {"Dec  8 21:50:01 mediabox tvtidy-preview[8]: Would Move File: " + b + "x.S01E01.mkv", true, ""},
      {"Dec  8 21:50:01 mediabox kernel: Moved File: " + b + "Gone.S01E01.mkv", true, ""},
      {"-- Boot 4f2a91 --", true, ""},
      {"Dec 08 mediabox tvtidy-link[4242]: Moved File: x", false, ""},
      {"Linked File: " + b + "Lnk.S01E01.mkv -> " + b + "Odd -> Name" + s + "Lnk.S01E01.mkv (the file the link leads to: " +
           b + "Odd -> Name.S01E01.mkv)", true, "Already Removed: " + b + "Odd -> Name" + s + "Lnk.S01E01.mkv"},
      {"Moved File: " + b + "Gone.S01E01.mkv", true,
       "Restore File FAILED: " + b + "Gone.S01E01.mkv (it is no longer in its show folder)"},
      // --move names where the file went; --rename gives it the show folder's name.
      {"Moved File: " + b + "Gone.S01E01.mkv -> " + b + "Lib" + s + "Gone.S01E01.mkv", true,
       "Restore File FAILED: " + b + "Gone.S01E01.mkv (it is no longer in its show folder)"},
      {"Moved File: " + b + "Gone.S01E01.mkv -> " + b + "Gone" + s + "S01" + s + "Gone - S01E01.mkv", true,
       "Restore File FAILED: " + b + "Gone.S01E01.mkv (it is no longer in its show folder)"},
      // A forged pair moves nothing, whatever is there.
      {"Moved File: " + b + "authorized_keys -> " + b + "Odd -> Name" + s + "authorized_keys", true,
       "Restore File FAILED: " + b + "authorized_keys (no move of tvtidy-link's: the names are not an episode's and its "
       "own or the library's)"},
      {"Moved File: " + b + "Gone.S01E01.mkv -> " + b + "Gone" + s + "Gone - S01E02.mkv", true,
       "Restore File FAILED: " + b + "Gone.S01E01.mkv (no move of tvtidy-link's: the names are not an episode's and its "
       "own or the library's)"},
      {"Linked File: " + b + "Odd -> Name.S01E01.mkv -> " + b + "Odd -> Name" + s + "Odd -> Name - S01E01.mkv", true,
       "Already Removed: " + b + "Odd -> Name" + s + "Odd -> Name - S01E01.mkv"},
      {"Linked File: " + b + "x.S01E01.mkv -> " + b + "Show" + s + "Other - S01E01.mkv", false, ""},
      {"Created Folder: " + b + "Odd -> Name", true, "Kept Folder: " + b + "Odd -> Name (it holds files the run did not put there)"},
      {"Moved 3 files", true, ""},
      {"Linked -2147483648 files", true, ""},
      {"Skipped File: notes.txt", true, ""},
      {"", true, ""},
      {"Would Move File: " + b + "x.S01E01.mkv -> " + b + "x" + s + "x.S01E01.mkv", false, ""},
      {"Moved three files", false, ""},
      {"Linked File: no arrow", false, ""},
      // Standard error's own lines, in a log kept with 2>&1.
      {"The library was made: " + b + "lib", true, ""},
      {"Waiting for another run that keeps its journal in " + b + ".tvtidy.journal", true, ""},
      {"File put back: " + b + "x.S01E01.mkv (on its way onto another disk by a run that was stopped)", true, ""},
      {"Copy kept as: " + b + ".tvtidy-abcdef (a copy of " + b + "x.S01E01.mkv, which stays)", true, ""},
      // Thousands of arrows, none between two paths: one pass, refused.
      {"Linked File: " + [] {
         std::string many;
         for (int i = 0; i < 50000; ++i) many += "a/b -> ";
         return many;
       }() + "c/d",
       false, ""},
  };
  for (const auto& row : rows) {
    if (noLinks && row.line.rfind("Linked File: ", 0) == 0) continue;
    Undo undo(true);
    output.clear();
    const NativeString line(row.line.begin(), row.line.end());
    EXPECT_EQ(undo.Read(line), row.read) << row.line;
    undo.Apply();
    WritePendingOutput();
    const std::string end(console_platform::kLineEnd);
    // The summary comes last: what stands before it is the row's.
    const size_t summary = output.size() > end.size() ? output.rfind(end, output.size() - end.size() - 1) : output.npos;
    output.erase(summary == output.npos ? 0 : summary + end.size());
    EXPECT_EQ(output, row.said.empty() ? "" : row.said + end) << row.line;
  }
  EXPECT_TRUE(fs::exists(tmp.Path() / "Odd -> Name" / "Odd -> Name.S01E01.mkv"));  // a dry run
  console_testing::Reset(nullptr, nullptr);
}
#endif

// A journal's record is one line whatever the names hold, and reads back
// as the names were, byte for byte.
TEST(Journal, RecordsKeepEveryNameWholeOnOneLine) {
  const std::vector<NativeString> rows[] = {
      {NATIVE("Show/.tvtidy-old-abcdef-Show.S01E01.mkv"), NATIVE("Show/Show.S01E01.mkv"), NATIVE("5")},
      {NATIVE("New\nLine\tTab\\Back\\n%0A%.S01E01.mkv"), NATIVE("\r\x01\x7f")},
      {NATIVE("Caf\u00e9/\u00c9t\u00e9.mkv"), NativeString()},
#ifdef _WIN32
      {NativeString(1, 0xD83D) + NativeString(1, 0xDE00) + L"x", NativeString(1, 0xDC00) + L"lone"},
#else
      {"Bad\xff\xfe.S01E01.mkv", "\xc3"},
#endif
  };
  std::string verb;
  std::vector<NativeString> back;
  for (const auto& fields : rows) {
    const std::string line = JournalLine("aside", fields);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    ASSERT_TRUE(ReadJournalLine(std::string_view(line).substr(0, line.size() - 1), verb, back));
    EXPECT_EQ(verb, "aside");
    EXPECT_EQ(back, fields);
  }
  EXPECT_FALSE(ReadJournalLine("aside\tbroken%", verb, back));
  EXPECT_FALSE(ReadJournalLine("aside\t%u0D", verb, back));
}

TEST(Differential, PreviewRunAndFullChecksAgreeOnRandomFolders) {
  console_testing::Reset(Capture, AsFile);
  const char* wanted = getenv("TVTIDY_LAYOUTS");
  const int layouts = wanted ? atoi(wanted) : 150;
  TempFolder tmp;
  for (int i = getenv("TVTIDY_FIRST_LAYOUT") ? atoi(getenv("TVTIDY_FIRST_LAYOUT")) : 0; i < layouts; ++i) {
    std::mt19937 random(static_cast<std::mt19937::result_type>(20261207 + i));
    const auto layout = differential::Layout(random);
    const fs::path root = tmp.Path() / std::to_string(i);
    std::string failure = differential::Decide(root, layout, i % 2 == 1);
#ifndef _WIN32
    if (failure.empty() && geteuid() == 0) {
      // The same again as an ordinary user, in a child that may not return.
      const fs::path user = root / "user";
      fs::create_directories(user);
      chown(user.c_str(), 65534, 65534);
      int channel[2];
      ASSERT_EQ(pipe(channel), 0);
      const pid_t child = fork();
      if (child == 0) {
        close(channel[0]);
        std::string said = "could not become a user";
        try {
          if (setgid(65534) == 0 && setuid(65534) == 0) said = differential::Decide(user, layout, i % 2 == 0);
        } catch (const std::exception& error) {
          said = error.what();
        }
        (void)!write(channel[1], said.data(), said.size());
        _exit(0);
      }
      close(channel[1]);
      char buffer[4096];
      for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) failure.append(buffer, got);
      close(channel[0]);
      waitpid(child, nullptr, 0);
      if (!failure.empty()) failure = "as an ordinary user: " + failure;
    }
#endif
    std::string described;
    for (const auto& entry : layout)
      described += "\n  " + entry.path + " kind " + std::to_string(entry.kind) + " " + entry.content;
    EXPECT_EQ(failure, "") << "layout " << i << described;
    if (!failure.empty()) break;
    std::error_code ignored;
    fs::permissions(root, fs::perms::all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
  }
#ifndef _WIN32
  fs::remove_all(differential::kOtherDisks, *std::make_unique<std::error_code>());
#endif
  console_testing::Reset(nullptr, nullptr);
}
