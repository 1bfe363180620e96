#include "platform/process.h"

#include "platform/console.h"

std::int32_t ExitStatus = 0;

void EndProcessWith(std::int32_t status) {
  ExitStatus = status;
  EndProcess();
}

void EndProcess() {
  // A failure here is not reported: the bytes are lost and the status stays.
  WritePendingOutput();
  IoErrorCode = 0;
  ExitProcessWith(ExitStatus);
}
