#include "organiser/hard_link.h"

#include "organiser/relocation.h"
#include "platform/console.h"
#include "platform/errors.h"

bool LinkEffects::FolderExists(const NativeString& path) { return ::FolderExists(path); }

bool LinkEffects::MakeFolder(const NativeString& path) {
  if (::MakeFolder(path)) return true;
  const int code = LastErrorCode();  // before the look below
  reason_ = EntryExists(path) ? NativeString(NATIVE("a file of that name is in the way")) : SystemErrorText(code);
  return false;
}

bool LinkEffects::QuickMove(const NativeString& source, const NativeString& target) {
  already_ = Already::No;
  return QuickPathsPass(source, target) && MakeHardLink(source, target);
}

void LinkEffects::Move(const NativeString& source, const NativeString& target, bool) {
  already_ = Already::No;
  CheckMove(source, target, TheDisk());
  if (MakeHardLink(source, target)) return;
  const int code = LastErrorCode();
  // Run again, or by a second hook: the show folder holds this very file.
  if (IsNameClash(code) && SameFile(source, target)) {
    already_ = Already::Linked;
    return;
  }
  // sshfs shows each name of a file as a file of its own: said as it is.
  if (IsNameClash(code) && MayBeOneFile(source, target)) {
    already_ = Already::MaybeLinked;
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
  if (already_ == Already::Linked) return WriteEventLine(line_, NATIVE("Already Linked: "), source);
  if (already_ == Already::MaybeLinked)
    return WriteEventLine(line_, NATIVE("Maybe Linked: "), source,
                          NATIVE("the show folder holds a file of that name, size and time; "
                                 "this file system cannot show whether it is this one"));
  CountOne(count_);
  line_.assign(NATIVE("Linked File: ")).append(source).append(NATIVE(" -> ")).append(target);
  WriteLine(line_);
}
// A hook must not take an unread folder for one with nothing to link.
void LinkEffects::ListingFailed(NativeStringView folder, int code) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("List Folder FAILED: "), folder, SystemErrorText(code));
}
void LinkEffects::MoveFailed(NativeStringView source, const Exception* why) {
  failed_ = true;
  WriteEventLine(line_, NATIVE("Link File FAILED: "), source, why ? NativeStringView(why->Message()) : NativeStringView());
}
