#include "team/BlockingSession.h"

#include "team/ConnectionString.h"

namespace {

PgConn connectWith(const Libpq& pq, const ConnectionString& where, const QString& password) {
    const ConnectionString::Params p = where.params(password);
    return PgConn(pq.PQconnectdbParams(p.keyPointers.data(), p.valuePointers.data(), 1),
                  PgConnFree{&pq});
}

} // namespace

QString serverReason(const Libpq& pq, const PGresult* result, PGconn* conn) {
    if (result) {
        const char* primary = pq.PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        if (primary && *primary)
            return QString::fromUtf8(primary);
        const char* whole = pq.PQresultErrorMessage(result);
        if (whole && *whole)
            return QString::fromUtf8(whole).trimmed();
    }
    return conn ? QString::fromUtf8(pq.PQerrorMessage(conn)).trimmed() : QString();
}

std::unique_ptr<BlockingSession> BlockingSession::open(const Libpq& pq,
                                                       const ConnectionString& where,
                                                       const AskPassword& askPassword,
                                                       QString* error) {
    PgConn conn = connectWith(pq, where, {});
    if (pq.PQstatus(conn.get()) != CONNECTION_OK && pq.PQconnectionNeedsPassword(conn.get()) &&
        askPassword) {
        QString password;
        const QString prompt = QStringLiteral("Пароль пользователя %1 на сервере %2: ")
                                   .arg(QString::fromUtf8(pq.PQuser(conn.get())),
                                        QString::fromUtf8(pq.PQhost(conn.get())));
        if (askPassword(prompt, &password))
            conn = connectWith(pq, where, password);
    }
    if (pq.PQstatus(conn.get()) != CONNECTION_OK) {
        *error = QString::fromUtf8(pq.PQerrorMessage(conn.get())).trimmed();
        return nullptr;
    }
    // Notices (an object that already exists) are the program's business.
    pq.PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    std::unique_ptr<BlockingSession> session(new BlockingSession(pq, std::move(conn)));
    if (!session->run("SET search_path = pg_catalog", error))
        return nullptr;
    return session;
}

bool BlockingSession::run(const QByteArray& sql, QString* error) {
    // The simple protocol: a script of the program's own may hold several
    // statements.
    PgResult result(pq_.PQexec(conn_.get(), sql.constData()), PgResultFree{&pq_});
    const ExecStatusType status = pq_.PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return true;
    *error = serverReason(pq_, result.get(), conn_.get());
    return false;
}

PgResult BlockingSession::query(const QByteArray& sql, const std::vector<QByteArray>& params,
                                QString* error) {
    std::vector<const char*> values;
    for (const QByteArray& p : params)
        values.push_back(p.isNull() ? nullptr : p.constData());
    PgResult result(pq_.PQexecParams(conn_.get(), sql.constData(), static_cast<int>(values.size()),
                                     nullptr, values.data(), nullptr, nullptr, 0),
                    PgResultFree{&pq_});
    const ExecStatusType status = pq_.PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return result;
    *error = serverReason(pq_, result.get(), conn_.get());
    return nullptr;
}

QByteArray BlockingSession::identifier(const QByteArray& name) {
    char* escaped =
        pq_.PQescapeIdentifier(conn_.get(), name.constData(), static_cast<size_t>(name.size()));
    const QByteArray result(escaped ? escaped : "");
    if (escaped)
        pq_.PQfreemem(escaped);
    return result;
}
