#include "platform/process.h"

#include <new>
#include <string>

#include "platform/console.h"
#include "platform/ending.h"

std::int32_t ExitStatus = 0;

void EndProcessWith(std::int32_t status) {
  ExitStatus = status;
  EndProcess();
}

void EndProcess() {
  EndHereIfSignalled();
  // A failure here is not reported: the bytes are lost and the status stays.
  WritePendingOutput();
  IoErrorCode = 0;
  ExitProcessWith(ExitStatus);
}

void RunProgram(void (*body)()) {
  RecordEndingSignals();
  try {
    body();
  } catch (const Exception& error) {
    // Listings and strings were released on the way here.
    ReportUnhandledFailure(error);
  } catch (const std::bad_alloc&) {
    ReportUnhandledFailure(EOutOfMemory(NATIVE("Out of memory")));
  } catch (const std::exception& error) {
    const std::string text = error.what();
    ReportUnhandledFailure(Exception(NativeString(text.begin(), text.end())));
  } catch (...) {
    ReportUnhandledFailure(Exception(NATIVE("External exception")));
  }
  EndProcess();
}
