#pragma once

#include <QString>

// libpq's password file, where "Запомнить пароль" writes: PGPASSFILE, else
// ~/.pgpass (on Windows %APPDATA%\postgresql\pgpass.conf).
namespace PasswordFile {

QString path();
// The line libpq matches for that host, port, database and user (":" and
// "\" escaped), put first so that no other line matches before it. A new
// file is readable by its owner only. False with the reason.
bool remember(const QString& host, const QString& port, const QString& database,
              const QString& user, const QString& password, QString* problem);

} // namespace PasswordFile
