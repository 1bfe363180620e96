#include "app/driver.h"

#include <string>

#include "organiser/sweep.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

void RunDriver() {
  MovedFileCount = 0;
  ExitStatus = 1;  // scripts rely on 1 after every run, a completed one included
  const NativeString folder = FirstArgument();
  if (folder.empty()) {
    WriteLine(NATIVE("Path not specified"));
    return;
  }
  if (!FolderExists(folder)) {
    WriteLine(NATIVE("Path not found: ") + folder);
    return;
  }
  SweepDirectory(folder);
  const std::string count = std::to_string(MovedFileCount);
  WriteLine(NATIVE("Moved ") + NativeString(count.begin(), count.end()) + NATIVE(" files"));
}
