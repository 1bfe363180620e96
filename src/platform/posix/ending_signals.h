// SIGINT, SIGTERM and SIGHUP are held back while a move or a replace runs
// (EndingSignalsHeld, declared with the file system): no handler touches a
// file. Long work asks whether one came and unwinds through its ordinary
// failure path; once the outermost hold ends, the signal takes effect with
// its usual meaning.
#pragma once

// True when an ending signal that would end the process waits for the hold
// to end (one the process ignores does not count).
bool EndingSignalPending();
