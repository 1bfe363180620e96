#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "platform/letter_case.h"
#include "platform/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/posix/file_facts.h"
#include "platform/posix/held_folders.h"
#endif

namespace {

class FileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(tmp.Path() / "folder");
    WriteFile(tmp.Path() / "file.mkv", "episode");
    WriteFile(tmp.Path() / ".hidden.mkv", "hidden");
    WriteFile(tmp.Path() / "readonly.mkv", "ro");
    fs::permissions(tmp.Path() / "readonly.mkv", fs::perms::owner_read);
  }
  void TearDown() override {
    fs::permissions(tmp.Path() / "readonly.mkv", fs::perms::owner_all);
  }
  TempFolder tmp;
};

TEST_F(FileSystem, ExistenceOfFoldersAndFiles) {
  const struct {
    const char* name;
    bool folder, file;
  } cases[] = {
      {"folder", true, false},
      {"file.mkv", false, true},
      {".hidden.mkv", false, true},
      {"readonly.mkv", false, true},
      {"missing", false, false},
      {"missing/child", false, false},
      {"file.mkv/child", false, false},  // a file is no folder to look in
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderExists(tmp / c.name), c.folder) << c.name;
    EXPECT_EQ(FileEntryExists(tmp / c.name), c.file) << c.name;
  }
  EXPECT_FALSE(FolderExists(NativeString()));
  EXPECT_FALSE(FileEntryExists(NativeString()));
}

TEST_F(FileSystem, MakeFolderCreatesOneNewLevelOnly) {
  EXPECT_TRUE(MakeFolder(tmp / "new"));
  EXPECT_TRUE(fs::is_directory(tmp.Path() / "new"));
  EXPECT_FALSE(MakeFolder(tmp / "folder"));
  EXPECT_FALSE(MakeFolder(tmp / "file.mkv"));
  EXPECT_EQ(ReadFile(tmp.Path() / "file.mkv"), "episode");
  EXPECT_FALSE(MakeFolder(tmp / "missing/child"));
  EXPECT_FALSE(fs::exists(tmp.Path() / "missing"));
}

TEST_F(FileSystem, RemoveFileRemovesFilesButNeverARealFolder) {
  EXPECT_TRUE(RemoveFile(tmp / "file.mkv"));
  EXPECT_FALSE(fs::exists(tmp.Path() / "file.mkv"));
  EXPECT_FALSE(RemoveFile(tmp / "missing.mkv"));
#ifdef _WIN32
  EXPECT_EQ(LastErrorCode(), 2);
#else
  EXPECT_EQ(LastErrorCode(), ENOENT);
#endif
  // Deletion refuses read-only files (on POSIX: no write permission at all).
  EXPECT_FALSE(IsRemovableEntry(tmp / "readonly.mkv"));
  EXPECT_FALSE(RemoveFile(tmp / "readonly.mkv"));
  EXPECT_TRUE(fs::exists(tmp.Path() / "readonly.mkv"));
  EXPECT_TRUE(IsRemovableEntry(tmp / ".hidden.mkv"));
  WriteFile(tmp.Path() / "folder" / "inside.mkv", "x");
  EXPECT_FALSE(RemoveFile(tmp / "folder"));
  EXPECT_EQ(ReadFile(tmp.Path() / "folder" / "inside.mkv"), "x");
}

TEST(IsNameClash, OnlyATakenNameIsAClash) {
#ifdef _WIN32
  const struct { int code; bool clash; } cases[] = {
      {ERROR_ALREADY_EXISTS, true}, {ERROR_FILE_EXISTS, true}, {ERROR_FILENAME_EXCED_RANGE, false},
      {ERROR_PATH_NOT_FOUND, false}, {ERROR_ACCESS_DENIED, false}};
#else
  const struct { int code; bool clash; } cases[] = {
      {EEXIST, true}, {ENAMETOOLONG, false}, {ENOENT, false}, {EACCES, false}, {EINVAL, false}};
#endif
  for (const auto& c : cases) EXPECT_EQ(IsNameClash(c.code), c.clash) << c.code;
}

TEST(WithTrailingDelimiter, AppendsOneDelimiterOnly) {
#ifdef _WIN32
  const struct {
    const wchar_t *path, *result;
  } cases[] = {{L"D:\\TV", L"D:\\TV\\"}, {L"D:\\TV\\", L"D:\\TV\\"}, {L"D:\\", L"D:\\"},
               {L"D:", L"D:\\"},         {L"TV", L"TV\\"},          {L"", L"\\"},
               {L"D:/TV/", L"D:/TV/\\"}};
#else
  const struct {
    const char *path, *result;
  } cases[] = {{"/tv", "/tv/"}, {"/tv/", "/tv/"}, {"/", "/"},
               {"tv", "tv/"},   {"", "/"},        {"tv\\", "tv\\/"}};
#endif
  for (const auto& c : cases) EXPECT_EQ(WithTrailingDelimiter(c.path), c.result);
}

std::map<NativeString, bool> ListAll(const NativeString& folder) {
  std::map<NativeString, bool> seen;
  for (FolderListing listing(WithTrailingDelimiter(folder)); listing.HasEntry(); listing.Advance())
    EXPECT_TRUE(seen.emplace(NativeString(listing.Entry().name), listing.Entry().isFolder).second);
  return seen;
}

TEST_F(FileSystem, ListingDeliversEveryEntryWithItsFolderBit) {
  const auto seen = ListAll(tmp.Native());
  EXPECT_TRUE(seen.at(NATIVE("folder")));
  EXPECT_FALSE(seen.at(NATIVE("file.mkv")));
  EXPECT_FALSE(seen.at(NATIVE(".hidden.mkv")));
  EXPECT_TRUE(seen.at(NATIVE(".")));
  EXPECT_TRUE(ListAll(tmp / "missing").empty());
  EXPECT_TRUE(ListAll(tmp / "file.mkv").empty());
}

TEST_F(FileSystem, ListingSurvivesFilesLeavingAndFoldersAppearing) {
  std::set<NativeString> originals;
  for (int i = 0; i < 500; ++i) {
    const std::string name = "Show" + std::to_string(i % 7) + ".S01E" + std::to_string(i) + ".mkv";
    WriteFile(tmp.Path() / name, name);
    originals.insert(fs::path(name).native());
  }
  std::set<NativeString> delivered;
  const NativeString base = WithTrailingDelimiter(tmp.Native());
  for (FolderListing listing(base); listing.HasEntry(); listing.Advance()) {
    const FolderEntry& entry = listing.Entry();
    if (entry.isFolder) continue;
    const NativeString name(entry.name);
    if (!originals.count(name)) continue;
    EXPECT_TRUE(delivered.insert(name).second) << "delivered twice";
    const NativeString show = base + name.substr(0, 5);
    MakeFolder(show);
    EXPECT_TRUE(MoveFileNoReplace(base + name, show + kDelimiter + name));
  }
  EXPECT_EQ(delivered, originals);
}

#ifdef _WIN32
TEST(FolderLockName, OneShortNameForEverySpellingOfAFolder) {
  const NativeString deep = L"C:\\" + NativeString(300, L'x') + L"\\" + NativeString(300, L'\u00e9');
  const NativeString base = FolderLockName(deep);
  EXPECT_LE(base.size(), 64u);
  for (const NativeString& spelling : {deep + L"\\", L"c:/" + deep.substr(3), L"C:\\" + NativeString(300, L'X') +
                                       L"\\" + NativeString(300, L'\u00c9')})
    EXPECT_EQ(FolderLockName(spelling), base);
  EXPECT_NE(FolderLockName(deep + L"y"), base);
}

// CreateDirectoryW's own limit, whatever Wine allows.
TEST(MakeFolder, RefusesFullPathsOf248UnitsOrMore) {
  TempFolder tmp;
  const NativeString root = tmp.Native() + L"\\";
  for (const size_t length : {200u, 247u, 248u, 259u}) {
    NativeString path = root + NativeString(length - root.size(), L'a');
    if (length <= 247) {
      EXPECT_TRUE(FolderPathFits(path)) << length;
      EXPECT_TRUE(MakeFolder(path)) << length;
    } else {
      EXPECT_FALSE(FolderPathFits(path)) << length;
      EXPECT_FALSE(MakeFolder(path)) << length;
      EXPECT_EQ(LastErrorCode(), ERROR_FILENAME_EXCED_RANGE) << length;
    }
  }
}
#endif

#ifndef _WIN32
// Links and FIFOs, as a POSIX folder of downloads may hold them.
// A folder removed and made again under its name is linked into as it now
// is, once it has been listed again.
TEST_F(FileSystem, LinksGoIntoTheFolderThatTheListingSees) {
  const NativeString in = tmp / (fs::path("folder") / "");
  WriteFile(tmp.Path() / "folder" / "a.mkv", "old");
  EXPECT_TRUE(MakeHardLink(in + NATIVE("a.mkv"), in + NATIVE("b.mkv")));
  fs::remove_all(tmp.Path() / "folder");
  fs::create_directory(tmp.Path() / "folder");
  WriteFile(tmp.Path() / "folder" / "a.mkv", "new");
  FolderListing listing(in);
  EXPECT_TRUE(MakeHardLink(in + NATIVE("a.mkv"), in + NATIVE("b.mkv")));
  EXPECT_EQ(ReadFile(tmp.Path() / "folder" / "b.mkv"), "new");
}

TEST_F(FileSystem, LinksAreFollowedAndNothingBlocks) {
  const fs::path p = tmp.Path();
  fs::create_directory_symlink(p / "folder", p / "to-folder");
  fs::create_symlink(p / "file.mkv", p / "to-file");
  fs::create_symlink(p / "gone", p / "dangling");
  ASSERT_EQ(mkfifo((p / "fifo").c_str(), 0600), 0);
  fs::create_symlink(p / "fifo", p / "to-fifo");
  const struct {
    const char* name;
    bool folder, file, listedAsFolder;
  } cases[] = {
      {"to-folder", true, false, true}, {"to-file", false, true, false},
      {"dangling", false, false, false}, {"fifo", false, true, false},
      {"to-fifo", false, true, false},
  };
  const auto seen = ListAll(tmp.Native());
  for (const auto& c : cases) {
    EXPECT_EQ(FolderExists(tmp / c.name), c.folder) << c.name;
    EXPECT_EQ(FileEntryExists(tmp / c.name), c.file) << c.name;
    EXPECT_EQ(seen.at(c.name), c.listedAsFolder) << c.name;
    EXPECT_TRUE(IsRemovableEntry(tmp / c.name)) << c.name;
  }
  EXPECT_FALSE(IsRemovableEntry(tmp / "folder"));

  WriteFile(p / "folder" / "inside.mkv", "kept");
  EXPECT_TRUE(RemoveFile(tmp / "to-folder"));  // the link only
  EXPECT_FALSE(fs::exists(fs::symlink_status(p / "to-folder")));
  EXPECT_EQ(ReadFile(p / "folder" / "inside.mkv"), "kept");
  EXPECT_TRUE(RemoveFile(tmp / "dangling"));
}

TEST_F(FileSystem, UnreadableAttributesCountAsThereForFoldersOnly) {
  // Root is refused nothing: the locked folder only tells when run as a user.
  fs::create_directory(tmp.Path() / "locked");
  WriteFile(tmp.Path() / "locked" / "x.mkv", "x");
  fs::permissions(tmp.Path() / "locked", fs::perms::none);
  if (geteuid() != 0) {
    EXPECT_TRUE(FolderExists(tmp / "locked/x.mkv"));
    EXPECT_FALSE(FileEntryExists(tmp / "locked/x.mkv"));  // the folder look-up fails too
  }
  fs::permissions(tmp.Path() / "locked", fs::perms::owner_all);
}

// Two different seeded files (each linked elsewhere) of one size, touched in
// one clock tick: never one file where the disk numbers its files.
TEST_F(FileSystem, LookAlikeSeededFilesAreTwoFiles) {
  const fs::path p = tmp.Path();
  WriteFile(p / "a.mkv", "same size");
  WriteFile(p / "b.mkv", "SAME SIZE");
  fs::create_hard_link(p / "a.mkv", p / "folder" / "a.mkv");
  fs::create_hard_link(p / "b.mkv", p / "folder" / "b.mkv");
  const struct timespec times[2] = {{1700000000, 5}, {1700000000, 5}};
  struct stat a, b;
  for (int tries = 0; tries < 100; ++tries) {  // until both change times fall in one tick
    utimensat(AT_FDCWD, (p / "a.mkv").c_str(), times, 0);
    utimensat(AT_FDCWD, (p / "b.mkv").c_str(), times, 0);
    stat((p / "a.mkv").c_str(), &a);
    stat((p / "b.mkv").c_str(), &b);
    if (a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec) break;
  }
  EXPECT_FALSE(SameFile(tmp / "a.mkv", tmp / "b.mkv"));
  EXPECT_FALSE(SameEntry(tmp / "a.mkv", tmp / "b.mkv"));
  EXPECT_FALSE(MayBeOneFile(tmp / "a.mkv", tmp / "b.mkv"));
  EXPECT_TRUE(SameFile(tmp / "a.mkv", tmp / "folder/a.mkv"));
}
#endif

}  // namespace

// The keys of a folder's index order names exactly as the comparison does,
// names that are not UTF-8 among them.
TEST(LetterCase, KeysOrderNamesAsTheComparison) {
  const std::vector<std::u8string> names = {u8"", u8"a", u8"ab", u8"Show", u8"show", u8"SHOW", u8"ſhow",
                                            u8"ıx", u8"IX", u8"Zed", u8"zed", u8"café", u8"CAFÉ",
                                            u8"straße", u8"STRASSE", u8"Ωmega", u8"ωMEGA", u8"show_1", u8"SHOW[1]", u8"show`"};
  std::vector<NativeString> native;
  for (const auto& name : names) native.push_back(fs::path(name).native());
#ifndef _WIN32
  for (const char* bytes : {"a\xff", "caf\xe9", "\xff", "Zed\x80"}) native.emplace_back(bytes);
#endif
  NativeString left, right;
  for (const auto& a : native)
    for (const auto& b : native) {
      CaseKeyOf(a, left);
      CaseKeyOf(b, right);
      EXPECT_EQ(CompareCaseKeys(left, right), CompareIgnoringCase(a, b)) << fs::path(a) << " " << fs::path(b);
    }
}

#ifndef _WIN32
// A look that must bypass the kernel's cache is forced only where something
// other than this kernel can change the file; a type not found counts so.
TEST(FreshLooks, ForcedWhereAnotherCanChangeTheFile) {
  const struct {
    const char* type;
    bool stale;
  } rows[] = {
      {"ext4", false},         {"tmpfs", false},       {"fuseblk", false},     {"fuse.mergerfs", true},
      {"fuse.sshfs", true},    {"fuse.smbnetfs", true}, {"fuse.rclone", true}, {"nfs4", true},
      {"cifs", true},          {"", true},
  };
  for (const auto& row : rows) EXPECT_EQ(LooksMayBeStaleOn(row.type), row.stale) << row.type;
}

// The quick way holds the show folder open: one removed and made again
// under its name is refused once, with nothing moved, then found anew.
TEST_F(FileSystem, TheQuickWayLetsGoOfAFolderMadeAgain) {
  fs::create_directory(tmp.Path() / "Show");
  for (const char* name : {"a.mkv", "b.mkv"}) WriteFile(tmp.Path() / name, name);
  const NativeString show = tmp / (fs::path("Show") / "");
  QuickWay quick;
  // Not learned yet where the kernel's flag is refused (exFAT).
  if (!quick.RenameNoReplaceOnly(tmp / "a.mkv", show + "a.mkv")) GTEST_SKIP() << "no quick way learned here";
  fs::remove_all(tmp.Path() / "Show");
  fs::create_directory(tmp.Path() / "Show");
  if (!quick.RenameNoReplaceOnly(tmp / "b.mkv", show + "b.mkv")) {
    EXPECT_EQ(ReadFile(tmp.Path() / "b.mkv"), "b.mkv");
    EXPECT_TRUE(quick.RenameNoReplaceOnly(tmp / "b.mkv", show + "b.mkv"));
  }
  EXPECT_EQ(ReadFile(tmp.Path() / "Show" / "b.mkv"), "b.mkv");  // in the folder there now, not the one gone
}

// A folder a move holds stays open, whatever else is let go of: past the
// limit only the folders nobody holds are closed, the oldest first, and no
// two folders ever share a descriptor.
TEST_F(FileSystem, AHeldFolderInUseSurvivesTheEvictionOfAllOthers) {
  const auto numberOf = [](int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? info.st_ino : 0;
  };
  for (std::size_t most : {std::size_t{1}, std::size_t{2}, std::size_t{8}}) {
    HeldFolders folders(most);
    std::vector<HeldFolders::Held> holding;
    std::vector<ino_t> numbers;
    for (int i = 0; i < 24; ++i) {
      const fs::path folder = tmp.Path() / ("F" + std::to_string(i));
      fs::create_directories(folder);
      if (i % 3 == 0) {  // every third held on, as a move holds its two
        holding.push_back(folders.Of((folder / "").native()));
        numbers.push_back(fs::status(folder).type() == fs::file_type::directory ? numberOf(holding.back().fd()) : 0);
      } else {
        EXPECT_TRUE(folders.Of((folder / "").native())) << most;
      }
      EXPECT_LE(folders.Kept(), std::max(most, holding.size() + 1)) << most;
    }
    for (std::size_t i = 0; i < holding.size(); ++i) {
      struct stat info {};
      ASSERT_EQ(stat((tmp.Path() / ("F" + std::to_string(i * 3))).c_str(), &info), 0);
      EXPECT_EQ(numberOf(holding[i].fd()), info.st_ino) << "most " << most << ", folder " << i * 3;
    }
    // Let go of by path while held: the holder keeps it, the next use opens anew.
    const NativeString first = (tmp.Path() / "F0" / "").native();
    folders.LetGoOf(first);
    EXPECT_EQ(numberOf(holding[0].fd()), numbers[0]);
    EXPECT_NE(folders.Of(first).fd(), holding[0].fd());
  }
}

// A rename of one entry onto itself (a show folder that leads back) is no
// move: refused before the call, the file where it was.
TEST_F(FileSystem, TheQuickWayNeverRenamesAnEntryOntoItself) {
  WriteFile(tmp.Path() / "a.mkv", "a");
  fs::create_directory_symlink(".", tmp.Path() / "Back");
  QuickWay quick(1);
  EXPECT_FALSE(quick.RenameNoReplaceOnly(tmp / "a.mkv", tmp / (fs::path("Back") / "a.mkv")));
  EXPECT_EQ(ReadFile(tmp.Path() / "a.mkv"), "a");
}
#endif
