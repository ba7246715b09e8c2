#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. It is read before the window system is
// touched, so that --help, --version and a mistake are answered where there is
// no display at all.
struct CommandLine {
    enum class Action { Run, Help, Version, Fail, ServerSetup };
    Action action = Action::Run;
    // Help or version text for standard output; for Fail, the error line and
    // the usage hint for standard error. Each ends with a newline.
    QString text;
    bool simulatedDevice = false;
    // Where the database, the exchange log and the backups live: empty for
    // the working directory.
    QString dataDir;
    bool userData = false;
    // ServerSetup: the database to set up; Run: the team database this data
    // folder is to work with from now on (empty: as it was).
    QString server;
};

// The exit code of a command line the program refused.
inline constexpr int CommandLineErrorExit = 2;

// Reads the program's arguments (the first is the program itself). Qt's own
// options (-platform, -style, -display, ...) are accepted and left for the
// application object. A --data-dir must name an existing folder; it is made
// absolute, so the folder stays the same whatever happens later.
CommandLine parseCommandLine(const QStringList& arguments);

// The per-user data folder, made readable by its owner only when it has to
// be created. Returns the folder, or empty with the reason in `problem`.
QString prepareUserDataFolder(QString* problem);
