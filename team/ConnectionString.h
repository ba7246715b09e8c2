#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

struct Libpq;

// The way to the team database as the operator gave it: any libpq
// connection string or URI. The program adds its own safe defaults, each
// only where neither the string, nor the service it names, nor libpq's
// environment says anything of it.
class ConnectionString {
public:
    // Null with the reason for a string libpq cannot read, and for one that
    // holds a password (it would end up in files and process lists).
    static std::optional<ConnectionString> parse(const Libpq& pq, const QString& text,
                                                 QString* problem);

    const QString& text() const { return text_; }

    // What PQconnectStartParams takes (with expand_dbname), the defaults
    // first so that the string's own words win, then the password when one
    // was asked for. The pointers stay valid while this object lives.
    struct Params {
        std::vector<QByteArray> keys, values;
        std::vector<const char*> keyPointers, valuePointers;
    };
    Params params(const QString& password = {}) const;

private:
    QString text_;
    std::vector<std::pair<QByteArray, QByteArray>> defaults_;
};

// The lines of a pg_service.conf section, as key=value, for `service`; the
// user's file first, then the system's, as libpq reads them.
std::vector<std::pair<QByteArray, QByteArray>> serviceSettings(const QByteArray& service);
