#include <signal.h>
#include <unistd.h>

#include "platform/ending.h"

namespace {
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t recorded = 0;  // the first signal; a second changes nothing
int holdDepth = 0;
bool recording = false;

void Record(int number) {
  if (recorded == 0) recorded = number;
}
}  // namespace

void RecordEndingSignals() {
  if (recording) return;
  recording = true;
  for (const int number : kEndingSignals) {
    struct sigaction action {};
    if (sigaction(number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = Record;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // no call fails for it: the run ends at a line
    sigaction(number, &action, nullptr);
  }
}

EndingSignalsHeld::EndingSignalsHeld() {
  RecordEndingSignals();
  ++holdDepth;
}

EndingSignalsHeld::~EndingSignalsHeld() { --holdDepth; }

bool EndingSignalPending() { return recorded != 0; }

bool EndingDue() { return recorded != 0 && holdDepth == 0; }

void EndAsSignalled() {
  const int number = recorded;
  signal(number, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, number);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(number);
  _exit(128 + number);  // only where the default action did not end it
}
