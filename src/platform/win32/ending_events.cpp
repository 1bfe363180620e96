// Ctrl-C, Ctrl-Break and the console's closing, held back while a move or a
// replace runs: the console's control handler only records the event, the
// copy asks between blocks and unwinds, and the event takes effect once the
// outermost hold ends, with every line written out whole.
#include <windows.h>

#include "platform/console.h"
#include "platform/file_system.h"

namespace {
// Shared with the handler's own thread: whole words, read and written whole.
volatile LONG holdDepth = 0;
volatile LONG pendingEvent = -1;
bool handlerSet = false;

// With nothing under way the event ends the program as it always does. The
// console's closing ends the process once the handler returns: it waits,
// within the seconds the system allows, until the move is done or undone.
BOOL WINAPI RecordEvent(DWORD event) {
  if (holdDepth == 0) return FALSE;
  InterlockedExchange(&pendingEvent, static_cast<LONG>(event));
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    for (int waited = 0; holdDepth > 0 && waited < 400; ++waited) Sleep(10);
  return TRUE;
}
}  // namespace

EndingSignalsHeld::EndingSignalsHeld() {
  if (InterlockedIncrement(&holdDepth) == 1 && !handlerSet) handlerSet = SetConsoleCtrlHandler(RecordEvent, TRUE) != 0;
}

EndingSignalsHeld::~EndingSignalsHeld() {
  if (InterlockedDecrement(&holdDepth) > 0 || pendingEvent < 0) return;
  WritePendingOutput();
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

bool EndingSignalPending() { return pendingEvent >= 0; }
