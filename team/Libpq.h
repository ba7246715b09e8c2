#pragma once

#include <libpq-fe.h>

#include <QString>

#include <memory>

namespace platform {
class SharedLibrary;
}

// PostgreSQL's client library, loaded when a data folder works with a team
// database and not before: a copy without one starts without it and its
// twenty libraries. Only this folder sees its header.
#define UOO_LIBPQ_CALLS(X)                                                                         \
    X(PQlibVersion)                                                                                \
    X(PQconnectStartParams)                                                                        \
    X(PQconnectPoll)                                                                               \
    X(PQconnectdbParams)                                                                           \
    X(PQstatus)                                                                                    \
    X(PQsocket)                                                                                    \
    X(PQfinish)                                                                                    \
    X(PQerrorMessage)                                                                              \
    X(PQsetnonblocking)                                                                            \
    X(PQsendQueryParams)                                                                           \
    X(PQsendPrepare)                                                                               \
    X(PQsendQueryPrepared)                                                                         \
    X(PQexecParams)                                                                                \
    X(PQexec)                                                                                      \
    X(PQgetCopyData)                                                                               \
    X(PQflush)                                                                                     \
    X(PQconsumeInput)                                                                              \
    X(PQisBusy)                                                                                    \
    X(PQgetResult)                                                                                 \
    X(PQresultStatus)                                                                              \
    X(PQresultErrorField)                                                                          \
    X(PQresultErrorMessage)                                                                        \
    X(PQntuples)                                                                                   \
    X(PQnfields)                                                                                   \
    X(PQgetvalue)                                                                                  \
    X(PQgetlength)                                                                                 \
    X(PQgetisnull)                                                                                 \
    X(PQcmdTuples)                                                                                 \
    X(PQclear)                                                                                     \
    X(PQnotifies)                                                                                  \
    X(PQfreemem)                                                                                   \
    X(PQescapeIdentifier)                                                                          \
    X(PQconninfoParse)                                                                             \
    X(PQconninfo)                                                                                  \
    X(PQconninfoFree)                                                                              \
    X(PQconndefaults)                                                                              \
    X(PQconnectionNeedsPassword)                                                                   \
    X(PQconnectionUsedPassword)                                                                    \
    X(PQsslInUse)                                                                                  \
    X(PQhost)                                                                                      \
    X(PQport)                                                                                      \
    X(PQdb)                                                                                        \
    X(PQuser)                                                                                      \
    X(PQtransactionStatus)                                                                         \
    X(PQsetNoticeProcessor)

struct Libpq {
#define UOO_LIBPQ_MEMBER(name) decltype(&::name) name = nullptr;
    UOO_LIBPQ_CALLS(UOO_LIBPQ_MEMBER)
#undef UOO_LIBPQ_MEMBER
    std::shared_ptr<platform::SharedLibrary> library;

    // Loads the library once per process; null with the reason where it
    // cannot be loaded or lacks a call.
    static std::shared_ptr<const Libpq> load(QString* whyNot);
};

// A connection and a result that free themselves.
struct PgConnFree {
    const Libpq* pq;
    void operator()(PGconn* c) const { pq->PQfinish(c); }
};
using PgConn = std::unique_ptr<PGconn, PgConnFree>;
struct PgResultFree {
    const Libpq* pq;
    void operator()(PGresult* r) const { pq->PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultFree>;
