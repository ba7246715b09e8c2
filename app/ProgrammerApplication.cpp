#include "app/ProgrammerApplication.h"

#include "store/Messenger.h"

#include <QMessageBox>
#include <exception>

ProgrammerApplication::ProgrammerApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("uoo-programmer"));
    setApplicationVersion(QStringLiteral("1.08"));
}

bool ProgrammerApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        showException(e.what());
    } catch (...) {
        showException("");
    }
    return false;
}

void ProgrammerApplication::showException(const char* message) {
    const QString text = QString::fromLocal8Bit(message);
    if (messenger_)
        messenger_->error(applicationName(), text);
}
