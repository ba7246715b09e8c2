// Starts the programmer as the real entry does (the command line, the
// application object, the toolkit's Russian texts, the main window over the
// database in the current directory, the hidden read-back window) and quits
// from the event loop as soon as the window is shown. With --bare it shows an
// empty window of the same size instead: the baseline of the start-up
// benchmark.
#include "app/ProgramMain.h"
#include "app/TForm1.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Tells process_bench when the window was shown: the milliseconds since the
// start it put into UOO_PROBE_T0, as "shown <ms>".
void tellShown() {
    if (const char* t0 = std::getenv("UOO_PROBE_T0")) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        std::printf("shown %.3f\n", static_cast<double>(now - std::atoll(t0)) / 1e6);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0) {
        QApplication app(argc, argv);
        QWidget window;
        window.setFixedSize(TForm1::ClientWidth, TForm1::ClientHeight);
        window.show();
        QTimer::singleShot(0, &app, [&app] {
            tellShown();
            app.quit();
        });
        return app.exec();
    }
    ProgramHooks hooks;
    hooks.started = [](TForm1&, TForm2&) {
        QTimer::singleShot(0, qApp, [] {
            tellShown();
            QApplication::quit();
        });
        QApplication::exec();
    };
    return runProgram(argc, argv, hooks);
}
