#include "platform/ending.h"

namespace {
// The main thread's alone: the handlers never read it.
int unwinds = 0;
}  // namespace

UnwindUnderWay::UnwindUnderWay() { ++unwinds; }
UnwindUnderWay::~UnwindUnderWay() { --unwinds; }

bool LongWorkStops() { return unwinds == 0 && EndingSignalPending(); }
