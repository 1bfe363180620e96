// What a run stopped in the middle of a step (kill -9, a power loss) left
// under names of its own making, as its journal recorded it, and what the
// next run does with each: decided once, on the disk as it is now, for the
// run and its preview alike. Nothing the journal does not name is touched.
#pragma once

#include "core/journal.h"
#include "platform/text.h"

// The hidden name an old file waits under while it is replaced, beside
// `own`: the aside prefix, six random letters and, where the name still
// fits (255 units, and on Windows the whole path within 260), "-" and the
// file's own name.
void AsideNameFor(const NativeString& own, NativeString& aside);

enum class LeftoverFate {
  PutBack,  // back under its own name, which is free
  Remove,   // its content lives on elsewhere, or it held none
  Keep,     // it stays, and the user is told where
  Forget,   // no longer there as it was recorded: nothing to do
};
LeftoverFate FateOf(const Unfinished& item);

// The line on standard error for it, as the run says it (dryRun: as the
// preview foresees it); empty where nothing is worth saying.
NativeString LeftoverNotice(const Unfinished& item, LeftoverFate fate, bool dryRun);

// tvtidy's start: each thing left is finished or unwound, said on standard
// error, and settled in the journal unless it stays.
void FinishWhatWasLeft(RunJournal& journal);
