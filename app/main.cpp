// Process entry of the programming utility.
//   uoo-programmer [--simulated-device]
// With --simulated-device the jobs talk to a device emulated inside the
// program instead of a cable, so that programming and reading can be tried
// without hardware.
#include "app/ProgramMain.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
