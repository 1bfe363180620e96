#include "app/driver.h"

#include <set>
#include <string>

#include "organiser/relocation.h"
#include "organiser/sweep.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {

// The folder argument, or false once its line is printed.
bool TakeFolder(NativeString& folder) {
  folder = FirstArgument();
  if (folder.empty()) {
    WriteLine(NATIVE("Path not specified"));
    return false;
  }
  if (!FolderExists(folder)) {
    WriteLine(NATIVE("Path not found: ") + folder);
    return false;
  }
  return true;
}

void WriteSummary(NativeStringView prefix, std::int32_t count) {
  const std::string number = std::to_string(count);
  WriteLine(NativeString(prefix) + NativeString(number.begin(), number.end()) + NATIVE(" files"));
}

// A preview's effects: the disk is only looked at. Folders the run would
// make count as there for later files; what a move would meet at its
// destination is told beforehand where the checks can tell it.
class PreviewEffects : public SweepEffects {
 public:
  PreviewEffects() { current = this; }
  ~PreviewEffects() override { current = nullptr; }

  bool FolderExists(const NativeString& path) override {
    return made_.count(Key(path)) > 0 || ::FolderExists(path);
  }
  bool MakeFolder(const NativeString& path) override {
    reason_.clear();
    if (::FolderExists(path) || ::FileEntryExists(path) || IsRemovableEntry(path)) {
      reason_ = NATIVE("a file of that name is in the way");
      return false;
    }
    made_.insert(Key(path));
    return true;
  }
  bool QuickMove(const NativeString&, const NativeString&) override { return false; }
  void Move(const NativeString& source, const NativeString& target, bool folderExisted) override {
    replacing_ = false;
    CheckMove(source, target, WouldExist);
    if (!folderExisted) return;  // a folder the run makes is empty
    // As the real move meets it: a file or a link is set aside and replaced;
    // a folder or a read-only file stays and the move fails.
    if (IsRemovableEntry(target)) {
      replacing_ = true;
    } else if (::FolderExists(target)) {
      throw EInOutError(NativeString(NATIVE("a folder of that name is in the way")));
    } else if (::FileEntryExists(target)) {
      throw EInOutError(NativeString(NATIVE("a read-only file of that name is in the way")));
    }
  }

  void Skipped(NativeStringView name) override { Say(NATIVE("Skipped File: "), name); }
  void FolderCreated(NativeStringView folder) override { Say(NATIVE("Would Create Folder: "), folder); }
  void FolderFailed(NativeStringView folder) override {
    Say(NATIVE("Create Folder FAILED: "), folder, reason_);
  }
  void Moved(NativeStringView source, NativeStringView target) override {
    ++count_;
    line_.assign(replacing_ ? NATIVE("Would Replace File: ") : NATIVE("Would Move File: "));
    line_.append(source).append(NATIVE(" -> ")).append(target);
    WriteLine(line_);
  }
  void MoveFailed(NativeStringView source, const Exception* why) override {
    Say(NATIVE("Move File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
  }
  std::int32_t Count() const { return count_; }

 private:
  static bool WouldExist(const NativeString& path) { return current->FolderExists(path); }
  // Windows finds a folder whatever its letter case.
  static NativeString Key(const NativeString& path) {
    NativeString key = path;
    if (kNamesIgnoreCase)
      for (NativeChar& c : key) c = AsciiLower(c);
    return key;
  }
  void Say(NativeStringView prefix, NativeStringView what, NativeStringView reason = {}) {
    line_.assign(prefix).append(what);
    if (!reason.empty()) line_.append(NATIVE(" (")).append(reason).append(NATIVE(")"));
    WriteLine(line_);
  }

  static PreviewEffects* current;
  std::set<NativeString> made_;  // per show folder, never per file
  NativeString reason_, line_;
  bool replacing_ = false;
  std::int32_t count_ = 0;
};

PreviewEffects* PreviewEffects::current = nullptr;

}  // namespace

void RunDriver() {
  MovedFileCount = 0;
  ExitStatus = 1;  // scripts rely on 1 after every run, a completed one included
  NativeString folder;
  if (!TakeFolder(folder)) return;
  SweepDirectory(folder);
  WriteSummary(NATIVE("Moved "), MovedFileCount);
}

void RunPreview() {
  ExitStatus = 2;  // no folder to preview
  NativeString folder;
  if (!TakeFolder(folder)) return;
  PreviewEffects effects;
  SweepDirectory(folder, effects);
  WriteSummary(NATIVE("Would move "), effects.Count());
  ExitStatus = 0;
}
