#include "core/relocation.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <cwctype>
#else
#include <signal.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

class Relocation : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(tmp.Path() / "Show");
    WriteFile(tmp.Path() / "a.mkv", "new");
    WriteFile(tmp.Path() / "Show" / "old.mkv", "old");
  }
  // Runs the move and returns the kind and text it raised ("" when none).
  std::pair<std::string, NativeString> Attempt(const NativeString& from, const NativeString& to,
                                               MoveSteps* steps = nullptr) {
    try {
      RelocateFile(from, to, steps);
    } catch (const Exception& error) {
      return {error.KindName(), error.Message()};
    }
    return {"", NativeString()};
  }
  TempFolder tmp;
};

using Raised = std::pair<std::string, NativeString>;
const Raised kExists{"EInOutError", NATIVE("The specified file already exists")};
const Raised kNoFile{"EFileNotFoundException", NATIVE("The specified file was not found")};
const Raised kNoFolder{"EDirectoryNotFoundException", NATIVE("The specified path was not found")};
const Raised kTooLong{"EPathTooLongException", NATIVE("The specified path is too long")};
const Raised kBadCharacters{"EArgumentException", NATIVE("Invalid characters in path")};

TEST_F(Relocation, RefusalsLeaveEveryFileWhereItWas) {
  const struct {
    const char *from, *to;
    Raised raised;
  } cases[] = {
      {"a.mkv", "Show/old.mkv", kExists},
      {"a.mkv", "a.mkv", kExists},
      {"vanished.mkv", "Show/vanished.mkv", kNoFile},
      {"Show", "Show/Show", kNoFile},  // a folder is no file to move
      {"vanished.mkv", "Show/old.mkv", kNoFile},  // the source's failure wins
      {"a.mkv", "Missing/a.mkv", kNoFolder},
      {"a.mkv", "Missing/old.mkv", kNoFolder},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Attempt(tmp / c.from, tmp / c.to), c.raised) << c.from << " -> " << c.to;
    EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), "new");
    EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "old.mkv"), "old");
  }
}

TEST_F(Relocation, MovesByRenameAndResolvesRelativePaths) {
  EXPECT_EQ(Attempt(tmp / "a.mkv", tmp / "Show/a.mkv"), Raised());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "a.mkv"), "new");
  EXPECT_FALSE(fs::exists(tmp.Path() / "a.mkv"));

  const fs::path before = fs::current_path();
  fs::current_path(tmp.Path());
  WriteFile(tmp.Path() / "b.mkv", "b");
  const auto raised = Attempt(NATIVE("b.mkv"), NativeString(NATIVE("Show")) + kDelimiter + NATIVE("b.mkv"));
  fs::current_path(before);
  EXPECT_EQ(raised, Raised());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "b.mkv"), "b");
}

TEST_F(Relocation, NeverOverwritesADestinationThatAppearsAfterTheChecks) {
  StepAt<> rival(MoveStep::Checked, [this](auto&) { WriteFile(tmp.Path() / "Show" / "a.mkv", "rival"); });
  const auto raised = Attempt(tmp / "a.mkv", tmp / "Show/a.mkv", &rival);
  EXPECT_EQ(raised.first, "EInOutError");
  EXPECT_FALSE(raised.second.empty());  // the system's own text
  EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "a.mkv"), "rival");
  EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), "new");
}

// Where the name is reserved with a placeholder (exFAT), a program that
// opens it without O_EXCL and writes into it keeps its file: before the last
// check, or between it and the rename (the bytes are read back and the
// episode goes back). Where the name is only checked free (rclone), one that
// takes it before the rename keeps it, and the episode goes back.
TEST_F(Relocation, AFileWrittenIntoAReservedNameIsKept) {
#ifndef _WIN32
  // The writer here is this very thread, so the placeholder's lease is only
  // ever broken by the kernel's timeout: a second, not 45.
  const fs::path breakTime = "/proc/sys/fs/lease-break-time";
  const std::string savedBreakTime = fs::exists(breakTime) ? ReadFile(breakTime) : "";
  struct Restore {
    const fs::path& path;
    const std::string& saved;
    ~Restore() {
      if (!saved.empty()) std::ofstream(path) << saved;
    }
  } restore{breakTime, savedBreakTime};
  if (!savedBreakTime.empty()) std::ofstream(breakTime) << "1";
#endif
  // When the rival opens the name and when it writes: a rival that opened
  // the placeholder before it was leased may write only after the last check.
  const struct {
    MoveStep opens, writes;
  } rivals[] = {
      {MoveStep::Reserved, MoveStep::Reserved},
      {MoveStep::Renaming, MoveStep::Renaming},
      {MoveStep::Reserved, MoveStep::Renaming},
  };
  for (const auto& r : rivals) {
    SCOPED_TRACE(static_cast<int>(r.opens) * 10 + static_cast<int>(r.writes));
    WriteFile(tmp.Path() / "a.mkv", "new");
    fs::remove(tmp.Path() / "Show" / "a.mkv");
    // As a shell redirect or a download: created or truncated, never
    // exclusive, and closed later (a cloud mount writes it out only then).
    struct Rival : MoveSteps {
      MoveStep opens, writes;
      bool reserved = false, wrote = false;
      std::ofstream writer;
      void AtStep(MoveStep step, const NativeString& path) override {
        if (step == opens) {
          reserved = true;
          writer.open(fs::path(path), std::ios::binary);
        }
        if (step == writes && reserved && !wrote) Write();
      }
      void Write() {
        // Ending in blocks of zeros, which a copy leaves as holes.
        writer << "rival" << std::string(70006, '\0') << std::flush;
        wrote = true;
      }
    } rival;
    rival.opens = r.opens;
    rival.writes = r.writes;
    const auto raised = Attempt(tmp / "a.mkv", tmp / "Show/a.mkv", &rival);
    if (rival.reserved && !rival.wrote) rival.Write();  // the move gave up first
    rival.writer.close();
    if (!rival.reserved && r.opens == MoveStep::Renaming) GTEST_SKIP() << "this file system refuses nothing";
    if (!rival.reserved) continue;  // no placeholder: the name is checked, then taken
    EXPECT_EQ(raised.first, "EInOutError");
    EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "a.mkv"), "rival" + std::string(70006, '\0'));
    EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path() / "Show"), {}), 2);  // and old.mkv
  }
}

TEST_F(Relocation, PathLengthLimit) {
#ifdef _WIN32
  const size_t limit = 260;
#else
  const size_t limit = 4096;
#endif
  const NativeString folder = tmp / "Show";
  NativeString longest = folder + kDelimiter;
  longest.append(limit - 1 - longest.size(), NATIVE('x'));
  EXPECT_EQ(Attempt(tmp / "a.mkv", longest + NATIVE("x")), kTooLong);
  // One unit shorter passes the length check and fails on disk instead.
  EXPECT_NE(Attempt(tmp / "a.mkv", longest).first, "EPathTooLongException");
}

#ifdef _WIN32
TEST_F(Relocation, WindowsPathFormat) {
  EXPECT_EQ(Attempt(tmp / "a.mkv", tmp / "Show\\a:b.mkv"),
            Raised("ENotSupportedException", L"The path format is not supported"));
  EXPECT_EQ(Attempt(tmp / "a.mkv", tmp / "Show\\\"a\".mkv"), kBadCharacters);
  EXPECT_EQ(Attempt(tmp / "a.mkv", tmp / "Show\\a|b.mkv"), kBadCharacters);
  EXPECT_EQ(Attempt(tmp / "a*.mkv", tmp / "Show\\a.mkv"), kNoFile);
}

#ifdef _WIN32
// An episode named as another file's 8.3 short name replaces nothing: the
// name reaches that file, which is no old version of the episode.
TEST_F(Relocation, AnotherFilesShortNameIsNoOldFile) {
  WriteFile(tmp.Path() / "Show" / "AS01E01 Pilot.mkv", "the other file");
  wchar_t alias[MAX_PATH];
  const NativeString other = tmp / "Show\\AS01E01 Pilot.mkv";
  const DWORD length = GetShortPathNameW(other.c_str(), alias, MAX_PATH);
  const NativeString shortName = NativeString(alias, length).substr(NativeString(alias, length).find_last_of(L'\\') + 1);
  if (length == 0 || shortName == L"AS01E01 Pilot.mkv") GTEST_SKIP() << "no short names here";
  const NativeString episode = tmp / shortName;
  WriteFile(episode, "episode");
  EXPECT_TRUE(OnlyAShortNameOf(tmp / (L"Show\\" + shortName)));
  for (const NativeString name : {L"AS01E01 Pilot.mkv", L"as01e01 pilot.MKV", L"old.mkv", L"none.mkv"})
    EXPECT_FALSE(OnlyAShortNameOf(tmp / (L"Show\\" + name)));
  EXPECT_THROW(PlanReplace(episode, tmp / (L"Show\\" + shortName), TheDisk()), EInOutError);
  EXPECT_EQ(ReadFile(other), "the other file");
}
#endif

// ./test maps drive Y: to a folder of the build tree in Wine's prefix.
TEST_F(Relocation, AnotherDriveIsReachedByCopyAndRemoval) {
  if (GetDriveTypeW(L"Y:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no drive Y:";
  const NativeString destination = L"Y:\\tvtidy-" + std::to_wstring(GetCurrentProcessId()) + L".mkv";
  EXPECT_EQ(Attempt(tmp / "a.mkv", destination), Raised());
  EXPECT_EQ(ReadFile(destination), "new");
  EXPECT_FALSE(fs::exists(tmp.Path() / "a.mkv"));
  DeleteFileW(destination.c_str());
  // Just under the limit, with a name shorter than the hidden copy's: the
  // copy's own path would pass it, so the move fails with nothing made.
  const NativeString folder = L"Y:\\tvtidy-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  const NativeString name = L"a.mkv", deep = folder + NativeString(259 - folder.size() - 1 - name.size(), L'd') + L"\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) && CreateDirectoryW(deep.c_str(), nullptr));
  EXPECT_EQ((deep + name).size(), 259u);
  WriteFile(tmp.Path() / "a.mkv", "new");
  EXPECT_NE(Attempt(tmp / "a.mkv", deep + name), Raised());
  EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), "new");
  EXPECT_TRUE(fs::is_empty(fs::path(deep)));
  RemoveDirectoryW(deep.c_str());
  RemoveDirectoryW(folder.c_str());
}

// Drive letters that differ in case are different roots: a copy, then the
// removal of the source, which a read-only source refuses.
TEST_F(Relocation, DifferentRootsCopyThenRemoveTheSource) {
  NativeString source = tmp / "a.mkv";
  source[0] = static_cast<wchar_t>(towlower(source[0]));
  EXPECT_EQ(Attempt(source, tmp / "Show\\a.mkv"), Raised());
  EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "a.mkv"), "new");
  EXPECT_FALSE(fs::exists(tmp.Path() / "a.mkv"));

  WriteFile(tmp.Path() / "b.mkv", "b");
  SetFileAttributesW((tmp / "b.mkv").c_str(), FILE_ATTRIBUTE_READONLY);
  source = tmp / "b.mkv";
  source[0] = static_cast<wchar_t>(towlower(source[0]));
  const auto raised = Attempt(source, tmp / "Show\\b.mkv");
  SetFileAttributesW((tmp / "b.mkv").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(raised.first, "EInOutError");
  EXPECT_EQ(raised.second, SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadFile(tmp.Path() / "b.mkv"), "b");  // the copy is taken back
  EXPECT_FALSE(fs::exists(tmp.Path() / "Show" / "b.mkv"));

  // A player holds the source, and an indexer tries the fresh copy the
  // moment it has its name: the copy is the move's alone, and goes.
  WriteFile(tmp.Path() / "c.mkv", "c");
  source = tmp / "c.mkv";
  source[0] = static_cast<wchar_t>(towlower(source[0]));
  HANDLE player = INVALID_HANDLE_VALUE, indexer = INVALID_HANDLE_VALUE;
  StepAt<> holders(MoveStep::Removing, [&](const NativeString& path) {
    const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
    player = CreateFileW(path.c_str(), GENERIC_READ, shared, nullptr, OPEN_EXISTING, 0, nullptr);
    indexer = CreateFileW((tmp / "Show\\c.mkv").c_str(), GENERIC_READ, shared, nullptr, OPEN_EXISTING, 0, nullptr);
  });
  EXPECT_EQ(Attempt(source, tmp / "Show\\c.mkv", &holders).second, SystemErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(indexer, INVALID_HANDLE_VALUE);
  for (const HANDLE held : {player, indexer})
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  EXPECT_EQ(ReadFile(tmp.Path() / "c.mkv"), "c");
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(tmp.Path() / "Show")) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, std::set<std::string>({"a.mkv", "old.mkv"}));  // nothing of the move's own
}
#else
// The shared-memory folder is a tmpfs: another file system than the tests'.
class CrossFileSystem : public Relocation {
 protected:
  void SetUp() override {
    Relocation::SetUp();
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
    other = fs::path("/dev/shm") / ("tvtidy-test-" + std::to_string(getpid()));
    fs::create_directory(other);
  }
  void TearDown() override {
    fs::remove_all(other);
    Relocation::TearDown();
  }
  fs::path other;
};

TEST_F(CrossFileSystem, CopiesByteForByteWithHolesModeAndTimes) {
  std::string content;
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7));
  const struct {
    const char* name;
    mode_t mode;
    off_t hole;  // bytes of hole between two halves of the content
  } cases[] = {{"plain.mkv", 0640, 0}, {"setuid.mkv", 04755, 0}, {"sparse.mkv", 0644, 16 << 20}};
  for (const auto& c : cases) {
    const fs::path from = tmp.Path() / c.name;
    WriteFile(from, content.substr(0, 4096));
    if (c.hole) fs::resize_file(from, 4096 + c.hole);
    std::ofstream(from, std::ios::binary | std::ios::app) << content.substr(4096);
    chown(from.c_str(), getuid(), getgid());
    chmod(from.c_str(), c.mode);
    fs::last_write_time(from, fs::last_write_time(from) - std::chrono::hours(48));
    struct stat before, after;
    ASSERT_EQ(stat(from.c_str(), &before), 0);
    if ((before.st_mode & 07777) != c.mode) continue;  // a file system without modes (exFAT)

    EXPECT_EQ(Attempt(from.native(), (other / c.name).native()), Raised()) << c.name;
    EXPECT_FALSE(fs::exists(from)) << c.name;
    ASSERT_EQ(stat((other / c.name).c_str(), &after), 0);
    const std::string copied = ReadFile(other / c.name);
    EXPECT_EQ(copied.size(), content.size() + c.hole) << c.name;
    EXPECT_EQ(copied.substr(0, 4096) + copied.substr(4096 + c.hole), content) << c.name;
    EXPECT_EQ(after.st_mode, before.st_mode) << c.name;  // setuid kept: owner set first
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << c.name;
    EXPECT_LE(after.st_blocks, before.st_blocks + 256) << c.name << ": holes kept";
  }
  for (const auto& entry : fs::directory_iterator(other))  // no temporary file left
    EXPECT_EQ(entry.path().filename().string().find(".tvtidy-"), std::string::npos);
}

// A source written to or replaced while it is copied, or one that may not be
// removed: the move fails, the source keeps its newest content, and no copy
// or temporary file is left at the destination.
void Append(const char* path) { std::ofstream(path, std::ios::app) << "more"; }
void Replace(const char* path) {
  WriteFile(std::string(path) + ".new", "replacement");
  fs::rename(std::string(path) + ".new", path);
}
void Truncate(const char* path) { fs::resize_file(path, 10); }
// A download still running between two writes: open for writing, nothing new yet.
int heldForWriting = -1;
void HoldOpenForWriting(const char* path) { heldForWriting = open(path, O_WRONLY | O_CLOEXEC); }
// A download client opening the file by its name while the move holds it:
// its open waits on the lease, then it writes, unless (FUSE) the name it
// looked up is gone by then: whatever it wrote must be in the file.
std::thread opener;
bool openerWrote = false;
// Whether the move's lease on the file is still whole: no opener waits on it.
bool LeaseWhole(const char* path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == fs::path(path) &&
        fcntl(std::stoi(entry.path().filename().string()), F_GETLEASE) == F_RDLCK)
      return true;
  }
  return false;
}
void OpenWhileHeld(const char* path) {
  opener = std::thread([name = std::string(path)] {
    std::ofstream file(name, std::ios::app);
    openerWrote = static_cast<bool>(file << "more" << std::flush);
  });
  // Until its open waits on the lease (where there is one), however slow.
  for (int waited = 0; waited < 500 && LeaseWhole(path); ++waited) usleep(10000);
}
// A torrent client filling a pre-allocated file in place: same size, and the
// old times put back, as a coarse or cached clock would show them.
void RewriteInPlace(const char* path) {
  struct stat before;
  stat(path, &before);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1000);
    file << "filled";
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, path, times, 0);
}

TEST_F(CrossFileSystem, ASourceThatChangesOrStaysTakesItsCopyBack) {
  const std::string content(200000, 'v');
  const struct {
    const char* name;
    void (*writer)(const char*);
    std::string after;
    MoveStep when = MoveStep::Copied;
  } cases[] = {{"growing", Append, content + "more"},
               {"replaced", Replace, "replacement"},
               {"truncated", Truncate, content.substr(0, 10)},
               {"filled in place", RewriteInPlace, content.substr(0, 1000) + "filled" + content.substr(1006)},
               {"read-only", nullptr, content},
               // The moment before the source is taken out of reach.
               {"replaced at its removal", Replace, "replacement", MoveStep::Removing},
               {"filled at its removal", RewriteInPlace,
                content.substr(0, 1000) + "filled" + content.substr(1006), MoveStep::Removing},
               {"open for writing", HoldOpenForWriting, content},
               {"open for writing at its removal", HoldOpenForWriting, content, MoveStep::Removing},
               {"opened for writing while held", OpenWhileHeld, content + "more", MoveStep::Held}};
  for (const auto& c : cases) {
    const fs::path from = tmp.Path() / (std::string(c.name) + ".mkv");
    WriteFile(from, content);
    struct stat mode;
    if (!c.writer && (chmod(from.c_str(), 0444) != 0 || stat(from.c_str(), &mode) != 0 ||
                      (mode.st_mode & 0222) != 0))
      continue;  // a file system without modes (exFAT) has no read-only files
    StepAt<> writer(c.when, [&](const NativeString& path) {
      if (c.writer) c.writer(path.c_str());
    });
    const auto raised = Attempt(from.native(), (other / "a.mkv").native(), &writer);
    if (opener.joinable()) opener.join();
    EXPECT_EQ(raised.first, "EInOutError") << c.name;
    EXPECT_EQ(ReadFile(from), c.writer == OpenWhileHeld && !openerWrote ? content : c.after) << c.name;
    EXPECT_EQ(std::distance(fs::directory_iterator(other), {}), 0) << c.name;
    if (heldForWriting >= 0) close(heldForWriting);
    heldForWriting = -1;
  }
}

// The copy is made, named and removed in the show folder as it was opened:
// one renamed during the copy receives a whole move, and keeps nothing of a
// failed one.
TEST_F(CrossFileSystem, AShowFolderRenamedDuringTheCopyKeepsNothingOfAFailedMove) {
  const std::string content(200000, 'r');
  for (const bool sourceChanges : {false, true}) {
    fs::create_directory(other / "Show");
    const fs::path from = tmp.Path() / "a.mkv";
    WriteFile(from, content);
    StepAt<> renamer(MoveStep::Copied, [&](const NativeString& path) {
      fs::rename(other / "Show", other / "Renamed");
      if (sourceChanges) Append(path.c_str());
    });
    const auto raised = Attempt(from.native(), (other / "Show" / "a.mkv").native(), &renamer);
    EXPECT_EQ(raised.first, sourceChanges ? "EInOutError" : "") << sourceChanges;
    if (sourceChanges) {
      EXPECT_EQ(ReadFile(from), content + "more");
      EXPECT_EQ(std::distance(fs::directory_iterator(other / "Renamed"), {}), 0);
    } else {
      EXPECT_FALSE(fs::exists(from));
      EXPECT_EQ(ReadFile(other / "Renamed" / "a.mkv"), content);
    }
    fs::remove_all(other / "Renamed");
  }
}

// A user at the limit of inotify instances: no watch can be had, and the
// times and contents decide alone. Ended in a child: the instances go with it.
TEST_F(CrossFileSystem, WithoutAWatchAMoveStillChecksTheSource) {
  const std::string content(200000, 'v');
  WriteFile(tmp.Path() / "a.mkv", content);
  WriteFile(tmp.Path() / "b.mkv", content);
  const pid_t child = fork();
  if (child == 0) {
    while (inotify_init1(IN_CLOEXEC) >= 0) {
    }
    const bool exhausted = errno == EMFILE;
    StepAt<> writer(MoveStep::Copied, [](const NativeString& path) { Append(path.c_str()); });
    const bool moved = Attempt(tmp / "a.mkv", (other / "a.mkv").native()) == Raised();
    const bool refused = Attempt(tmp / "b.mkv", (other / "b.mkv").native(), &writer).first == "EInOutError";
    _exit(exhausted && moved && refused ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(other / "a.mkv"), content);
  EXPECT_EQ(ReadFile(tmp.Path() / "b.mkv"), content + "more");
  EXPECT_FALSE(fs::exists(other / "b.mkv"));
}

TEST_F(CrossFileSystem, AFullDiskKeepsTheSourceAndLeavesNoPartialCopy) {
  const std::string content(200000, 'v');
  WriteFile(tmp.Path() / "a.mkv", content);
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 65536;
  setrlimit(RLIMIT_FSIZE, &small);
  const auto raised = Attempt(tmp / "a.mkv", (other / "a.mkv").native());
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(raised, Raised("EInOutError", "File too large"));
  EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), content);
  EXPECT_FALSE(fs::exists(other / "a.mkv"));
}

TEST_F(CrossFileSystem, ALinkIsMovedAsALinkAndAFifoStaysPut) {
  WriteFile(tmp.Path() / "target.mkv", "t");
  fs::create_symlink("target.mkv", tmp.Path() / "link.mkv");
  EXPECT_EQ(Attempt(tmp / "link.mkv", (other / "link.mkv").native()), Raised());
  EXPECT_EQ(fs::read_symlink(other / "link.mkv"), "target.mkv");
  ASSERT_EQ(mkfifo((tmp.Path() / "fifo.mkv").c_str(), 0600), 0);
  EXPECT_EQ(Attempt(tmp / "fifo.mkv", (other / "fifo.mkv").native()).first, "EInOutError");
  EXPECT_TRUE(fs::is_fifo(tmp.Path() / "fifo.mkv"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(other / "fifo.mkv")));
}
#endif

}  // namespace
