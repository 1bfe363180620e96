#include "app/driver.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  StartUp(argc, argv);
  RunProgram(RunUndo);
}
