#include "organiser/hard_link.h"

#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"

bool LinkEffects::FolderExists(const NativeString& path) { return ::FolderExists(path); }

bool LinkEffects::MakeFolder(const NativeString& path) {
  if (::MakeFolder(path)) return true;
  reason_ = EntryExists(path) ? NativeString(NATIVE("a file of that name is in the way"))
                              : SystemErrorText(LastErrorCode());
  return false;
}

bool LinkEffects::QuickMove(const NativeString& source, const NativeString& target) {
  already_ = false;
  return QuickPathsPass(source, target) && MakeHardLink(source, target);
}

void LinkEffects::Move(const NativeString& source, const NativeString& target, bool) {
  already_ = false;
  CheckMove(source, target, TheDisk());
  if (MakeHardLink(source, target)) return;
  const int code = LastErrorCode();
  // Run again, or by a second hook: the show folder holds this very file.
  if (IsNameClash(code) && SameFile(source, target)) {
    already_ = true;
    return;
  }
  if (IsNameClash(code))
    throw EInOutError(NativeString(NATIVE("a different file of that name is in the show folder")));
  throw EInOutError(SystemErrorText(code));
}

void LinkEffects::Skipped(NativeStringView name) { WriteEventLine(line_, NATIVE("Skipped File: "), name); }
void LinkEffects::FolderCreated(NativeStringView folder) { WriteEventLine(line_, NATIVE("Created Folder: "), folder); }
void LinkEffects::FolderFailed(NativeStringView folder) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Create Folder FAILED: "), folder, reason_);
}
void LinkEffects::Moved(NativeStringView source, NativeStringView target) {
  if (already_) return WriteEventLine(line_, NATIVE("Already Linked: "), source);
  CountOne(count_);
  line_.assign(NATIVE("Linked File: ")).append(source).append(NATIVE(" -> ")).append(target);
  WriteLine(line_);
}
void LinkEffects::MoveFailed(NativeStringView source, const Exception* why) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Link File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
}
