#include "tests/support/ChildProcess.h"

#include "platform/Process.h"

#include <QCoreApplication>

#include <cstring>
#include <map>
#include <string>

namespace {

std::map<std::string, ChildRole>& roles() {
    static std::map<std::string, ChildRole> all;
    return all;
}

QString& self() {
    static QString path;
    return path;
}

} // namespace

bool RegisterChildRole(const char* name, ChildRole role) {
    roles()[name] = std::move(role);
    return true;
}

int RunChildRole(int argc, char** argv) {
    self() = QString::fromLocal8Bit(argv[0]);
    if (argc < 3 || std::strcmp(argv[1], "--child") != 0)
        return -1;
    const auto role = roles().find(argv[2]);
    if (role == roles().end())
        return 99;
    // The names as the system holds them: a folder in Cyrillic on any locale.
    return role->second(platform::commandLineArguments(argc, argv).mid(3));
}

Child::Child(const char* role, const QStringList& args, const QStringList& through) {
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    const QString program =
        QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : self();
    const QStringList line =
        QStringList{program, QStringLiteral("--child"), QString::fromLatin1(role)} + args;
    if (through.isEmpty())
        process_.start(program, line.mid(1));
    else
        process_.start(through.front(), through.mid(1) + line);
    process_.waitForStarted();
}

Child::~Child() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished();
    }
}

void Child::kill() {
    process_.kill();
    process_.waitForFinished();
}

int Child::wait(int ms) {
    if (!process_.waitForFinished(ms) || process_.exitStatus() != QProcess::NormalExit)
        return -1;
    return process_.exitCode();
}
