#pragma once

#include "team/Libpq.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ConnectionString;

// A connection used from one thread that waits for every answer: the
// administrator's setup, which has no window to keep alive.
class BlockingSession {
public:
    using AskPassword = std::function<bool(const QString& prompt, QString* password)>;
    // Null with the server's reason in `error`.
    static std::unique_ptr<BlockingSession> open(const Libpq& pq, const ConnectionString& where,
                                                 const AskPassword& askPassword, QString* error);

    // A statement of the program's own, without parameters; false with the
    // server's reason.
    bool run(const QByteArray& sql, QString* error);
    // A statement with text parameters; the result, or null with the reason.
    PgResult query(const QByteArray& sql, const std::vector<QByteArray>& params, QString* error);
    // A name made safe to stand in a statement.
    QByteArray identifier(const QByteArray& name);
    PGconn* connection() const { return conn_.get(); }
    const Libpq& pq() const { return pq_; }

private:
    BlockingSession(const Libpq& pq, PgConn conn) : pq_(pq), conn_(std::move(conn)) {}
    const Libpq& pq_;
    PgConn conn_;
};

// The server's words for a failed result: its message, without libpq's
// "ERROR:" prefix where it has a primary message.
QString serverReason(const Libpq& pq, const PGresult* result, PGconn* conn);
