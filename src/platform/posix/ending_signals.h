// SIGINT, SIGTERM and SIGHUP are held back while a move or a replace runs
// (EndingSignalsHeld, declared with the file system): no handler touches a
// file. Long work asks whether one came and unwinds through its ordinary
// failure path; once the outermost hold ends, the signal takes effect with
// its usual meaning.
#pragma once

#include "platform/file_system.h"  // EndingSignalsHeld, EndingSignalPending
