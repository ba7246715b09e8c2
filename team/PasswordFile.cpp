#include "team/PasswordFile.h"

#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QOperatingSystemVersion>

namespace PasswordFile {

namespace {

QByteArray escaped(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == ':' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

QString path() {
    const QString named = qEnvironmentVariable("PGPASSFILE");
    if (!named.isEmpty())
        return named;
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        return QDir(qEnvironmentVariable("APPDATA"))
            .filePath(QStringLiteral("postgresql/pgpass.conf"));
    return QDir::home().filePath(QStringLiteral(".pgpass"));
}

bool remember(const QString& host, const QString& port, const QString& database,
              const QString& user, const QString& password, QString* problem) {
    const QString file = path();
    QByteArray old;
    QFile existing(file);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            *problem = QStringLiteral("%1: %2").arg(file, existing.errorString());
            return false;
        }
        old = existing.readAll();
    }
    QDir().mkpath(QFileInfo(file).absolutePath());
    const QByteArray key = escaped(host) + ':' +
                           escaped(port.isEmpty() ? QStringLiteral("5432") : port) + ':' +
                           escaped(database) + ':' + escaped(user) + ':';
    QByteArray lines = key + escaped(password) + '\n';
    // The same place's earlier line goes: it held a password that failed.
    for (const QByteArray& line : old.split('\n'))
        if (!line.isEmpty() && !line.startsWith(key))
            lines += line + '\n';
    if (ReplaceFileAtomically(file,
                              [&lines](QIODevice& d) { return d.write(lines) == lines.size(); }))
        return true;
    *problem = QStringLiteral("не удалось записать %1").arg(file);
    return false;
}

} // namespace PasswordFile
