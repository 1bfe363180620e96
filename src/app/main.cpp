#include <new>
#include <string>

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
