// Ctrl-C, Ctrl-Break and the console's closing: the control handler, on its
// own thread, only records the event; the main thread ends the run at its
// next line boundary outside a move or a replace.
#include <windows.h>

#include "platform/ending.h"

namespace {
// Shared with the handler's thread: whole words, read and written whole.
volatile LONG holdDepth = 0;
volatile LONG pendingEvent = -1;
bool handlerSet = false;

// The console's closing ends the process once the handler returns: it waits,
// within the seconds the system allows, for the main thread to end it first.
BOOL WINAPI RecordEvent(DWORD event) {
  InterlockedCompareExchange(&pendingEvent, static_cast<LONG>(event), -1);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    for (int waited = 0; waited < 400; ++waited) Sleep(10);
  return TRUE;
}
}  // namespace

void RecordEndingSignals() {
  if (!handlerSet) handlerSet = SetConsoleCtrlHandler(RecordEvent, TRUE) != 0;
}

EndingSignalsHeld::EndingSignalsHeld() {
  RecordEndingSignals();
  InterlockedIncrement(&holdDepth);
}

EndingSignalsHeld::~EndingSignalsHeld() { InterlockedDecrement(&holdDepth); }

bool EndingSignalPending() { return pendingEvent >= 0; }

bool EndingDue() { return pendingEvent >= 0 && holdDepth == 0; }

void EndAsSignalled() { ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); }
