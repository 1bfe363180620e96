#include "app/driver.h"
#include "platform/errors.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  StartUp(argc, argv);
  try {
    RunDriver();
  } catch (const Exception& error) {
    // Listings and strings were released on the way here.
    ReportUnhandledFailure(error);
  }
  EndProcess();
}
