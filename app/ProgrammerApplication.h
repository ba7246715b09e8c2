#pragma once

#include <QApplication>

class Messenger;

// The application object. An exception that escapes an event handler is shown
// in an error box and the program goes on, as it does for any other failure.
class ProgrammerApplication final : public QApplication {
    Q_OBJECT
public:
    // The program's id on the desktop: its desktop entry, icon and metainfo.
    static constexpr const char* DesktopId = "ru.uoo.Programmer";

    ProgrammerApplication(int& argc, char** argv);
    void setMessenger(Messenger* messenger) { messenger_ = messenger; }
    bool notify(QObject* receiver, QEvent* event) override;

    // Shows an exception's message in the standard error box; an exception
    // of a foreign kind shows an empty message.
    void showException(const char* message);

private:
    Messenger* messenger_ = nullptr;
};
