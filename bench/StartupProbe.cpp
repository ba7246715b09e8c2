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

#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0) {
        QApplication app(argc, argv);
        QWidget window;
        window.setFixedSize(TForm1::ClientWidth, TForm1::ClientHeight);
        window.show();
        QTimer::singleShot(0, &app, &QApplication::quit);
        return app.exec();
    }
    ProgramHooks hooks;
    hooks.started = [](TForm1&, TForm2&) {
        QTimer::singleShot(0, qApp, &QApplication::quit);
        QApplication::exec();
    };
    return runProgram(argc, argv, hooks);
}
