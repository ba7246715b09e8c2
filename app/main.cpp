// Process entry of the programming utility; `uoo-programmer --help` tells
// its options.
#include "app/ProgramMain.h"

int main(int argc, char** argv) {
    return runProgram(argc, argv);
}
