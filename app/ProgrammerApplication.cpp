#include "app/ProgrammerApplication.h"

#include "Version.h"
#include "store/Messenger.h"

#include <QIcon>
#include <QMessageBox>
#include <QStringDecoder>
#include <exception>

ProgrammerApplication::ProgrammerApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("uoo-programmer"));
    setApplicationVersion(QStringLiteral(UOO_PROGRAM_VERSION));
    // The desktop entry's name, so that a Wayland desktop shows its icon.
    setDesktopFileName(QLatin1String(DesktopId));
    // Where no SVG reader is at hand (the Windows build) the icon comes out
    // empty, and the windows take the icon built into the program's file.
    // (Asking the image readers first would load every one of them.)
    const QIcon icon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(DesktopId)));
    if (!icon.isNull())
        setWindowIcon(icon);
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
    // The program's own messages are UTF-8; a library's may be in the
    // system's code page (an ANSI one on Windows).
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(message));
    if (utf8.hasError())
        text = QString::fromLocal8Bit(message);
    if (messenger_)
        messenger_->error(applicationName(), text);
}
