// SIGINT, SIGTERM and SIGHUP (POSIX), Ctrl-C, Ctrl-Break and the console's
// closing (Windows): the handlers only record them. The run ends at its next
// line boundary outside a move or a replace, with every line written out
// whole (EndHereIfSignalled, with the console), and with the signal's usual
// meaning. A signal the process ignored from its start stays ignored (nohup).
#pragma once

// Installs the recorders; once, at the start. The first hold installs them too.
void RecordEndingSignals();

// Marks a move or a replace as under way, so that one arriving meanwhile finds
// either the old file or the new one under the name: the ending waits for the
// outermost hold to end, and long work asks EndingSignalPending and unwinds.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
};

// True once an ending signal or console event has been recorded.
bool EndingSignalPending();

// Marks an unwind under way: a file going back where it was, whose copy
// back finishes whatever is recorded meanwhile (stopped, it would leave the
// file neither back nor moved).
class UnwindUnderWay {
 public:
  UnwindUnderWay();
  ~UnwindUnderWay();
  UnwindUnderWay(const UnwindUnderWay&) = delete;
  UnwindUnderWay& operator=(const UnwindUnderWay&) = delete;
};

// Whether long work (a copy) stops now: one recorded, and no unwind under way.
bool LongWorkStops();

// True when one has been recorded and no hold is under way: the run may end.
bool EndingDue();

// Ends the process as the recorded signal ends it (POSIX: raised again with
// its default action; Windows: the exit status of Ctrl-C). Write the lines first.
[[noreturn]] void EndAsSignalled();
