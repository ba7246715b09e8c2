#pragma once

#include "store/Merge.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// What a copy remembers of the team database between runs, in
// "<database>.team" beside its working copy: the way to the server (never a
// password), which team database it is, the last version taken, each row as
// last agreed with the server (the merge's base) with its version, and the
// programmings whose stamps the server has not yet received.
struct TeamMemory {
    QString connection;
    QString teamId; // empty: this folder never agreed its cards with one
    std::int64_t lastVersion = 0;
    QByteArray base;                    // file form: 9000 slots and a (unused) template row
    std::vector<std::int64_t> versions; // per slot; 0: the server has no row
    std::vector<ProgrammingStamp> stamps;
    // Each row's check sum as this program last wrote the working copy
    // (empty: not known): a row that differs from it was changed by
    // something else while the program was closed.
    std::vector<std::uint32_t> written;

    TeamMemory();
    static QString fileOf(const QString& database) { return database + QStringLiteral(".team"); }
    // False with the reason for a file that is there but cannot be read as
    // one; a missing file is an empty memory.
    bool load(const QString& path, QString* problem);
    // Atomically; false with the system's reason.
    bool save(const QString& path, QString* problem) const;
    // Forgets the server's table (a different team database, or a first
    // contact again); the connection stays.
    void forgetTable();
};
