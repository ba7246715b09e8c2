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

// The whole program, as main() runs it: the application object, the locale,
// the main window over the database in the working directory, the hidden
// read-back window, the event loop. An exception that escapes start-up is
// shown in the error box. Returns the exit code, 0.
int RunProgram(int& argc, char** argv, const ProgramHooks& hooks = {});
