#include "platform/posix/ending_signals.h"

#include <signal.h>

#include "platform/file_system.h"

namespace {
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds nest: the mask from before the outermost one comes back.
int holdDepth = 0;
sigset_t maskBeforeHold;
}  // namespace

EndingSignalsHeld::EndingSignalsHeld() {
  if (holdDepth++ > 0) return;
  sigset_t held;
  sigemptyset(&held);
  for (const int number : kEndingSignals) sigaddset(&held, number);
  sigprocmask(SIG_BLOCK, &held, &maskBeforeHold);
}

EndingSignalsHeld::~EndingSignalsHeld() {
  if (--holdDepth == 0) sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

bool EndingSignalPending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (const int number : kEndingSignals) {
    if (sigismember(&pending, number) != 1) continue;
    // A blocked signal stays pending even where it is ignored (nohup).
    struct sigaction action {};
    if (sigaction(number, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) return true;
  }
  return false;
}
