#pragma once

#include <functional>

class Messenger;
class TForm1;
class TForm2;

// What a test puts in place of the person at the screen.
struct ProgramHooks {
    // Every box goes here instead of onto the screen.
    Messenger* messenger = nullptr;
    // Runs once the main window is shown, in place of the event loop.
    std::function<void(TForm1&, TForm2&)> started;
};

// The whole program, as main() runs it: the command line, the application
// object, the locale and the toolkit's Russian texts, the main window over the
// database in the data folder, the hidden read-back window, the event loop. An
// exception that escapes start-up is shown in the error box. Returns the exit
// code: 0, or 2 for a command line it refused (with the reason on standard
// error), or 1 when the per-user data folder cannot be made.
int runProgram(int& argc, char** argv, const ProgramHooks& hooks = {});
