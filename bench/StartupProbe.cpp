// Starts the programmer as the real entry does, against the database in the
// current directory, and quits from the event loop as soon as the window is
// shown. With --bare it shows an empty window of the same size instead: the
// baseline of the start-up benchmark.
#include "app/BoxMessenger.h"
#include "app/TForm1.h"
#include "store/DateTime.h"
#include "store/SettingsDatabase.h"

#include <QApplication>
#include <QTimer>

#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    const bool bare = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
    std::unique_ptr<SettingsDatabase> db;
    if (!bare)
        db = std::make_unique<SettingsDatabase>();
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    BoxMessenger messenger;
    if (bare) {
        window = std::make_unique<QWidget>();
        window->setFixedSize(974, 580);
    } else {
        QLocale::setDefault(operatorLocale());
        window = std::make_unique<TForm1>(*db, messenger);
    }
    window->show();
    QTimer::singleShot(0, &app, &QApplication::quit);
    return app.exec();
}
