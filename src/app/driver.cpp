#include "app/driver.h"

#include <string>

#include "organiser/hard_link.h"
#include "organiser/preview.h"
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

void RunLink() {
  ExitStatus = 2;  // no folder to link
  NativeString folder;
  if (!TakeFolder(folder)) return;
  FolderLock lock(folder);  // hooks that fire together take turns
  LinkEffects effects;
  SweepDirectory(folder, effects);
  WriteSummary(NATIVE("Linked "), effects.Count());
  ExitStatus = effects.AnyFailed() ? 1 : 0;
}
