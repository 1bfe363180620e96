// A move onto another disk, one sequence for both builds: a copy under a
// short hidden name in the show folder, whole and flushed, takes the
// episode's name without replacing anything; the original goes only while
// it is still the file that was copied and nobody writes it. Whatever fails
// after the copy took the name, the copy goes again while it is still the
// one made: a failed move changes nothing. The caller holds ending signals
// (POSIX) and console events (Windows) from before the wing is made until it
// is gone, so that they take effect only once the move is done or undone.
//
// Each platform supplies a wing, an object for one move, with the steps'
// primitives:
//   bool CopyIntoPlace(MoveSteps*)  the copy, its checks, the name taken;
//                                   nothing left behind when false
//   bool RemoveSource(MoveSteps*)   the original removed while still the
//                                   file copied and held from writers
//   bool RemoveCopy()               the copy removed while still the one made;
//                                   false when it is still there
// and reports failures through the platform's last error code. A copy that
// stays beside its source is named on standard error, for the user to find.
#pragma once

#include "platform/file_system.h"
#include "platform/process.h"

void CopyKept(const NativeString& copy, const NativeString& source);

template <typename Wing>
bool MoveThroughCopy(Wing& wing, const NativeString& source, const NativeString& destination, MoveSteps* steps) {
  if (!wing.CopyIntoPlace(steps)) return false;
  if (wing.RemoveSource(steps)) return true;
  const int reason = LastErrorCode();
  if (!wing.RemoveCopy()) CopyKept(destination, source);
  SetLastErrorCode(reason);
  return false;
}
