#pragma once

#include "team/BlockingSession.h"
#include "team/ConnectionString.h"
#include "team/Libpq.h"
#include "team/Schema.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

// The server the tests' fixture started (tests/support/pg-server.sh), and a
// database of each test's own on it, set up as an administrator would.
class TeamServer {
public:
    static TeamServer& get() {
        static TeamServer server;
        return server;
    }
    const Libpq& pq() const { return *pq_; }
    QString port() const { return env_.value(QStringLiteral("PGTEST_PORT")); }
    QString ca() const { return env_.value(QStringLiteral("PGTEST_CA")); }
    QString value(const char* name) const { return env_.value(QLatin1String(name)); }
    bool ready() const { return pq_ && !port().isEmpty(); }

    // As the superuser, over the server's socket.
    std::unique_ptr<BlockingSession> superuser(const QString& database = "postgres") {
        return open(QStringLiteral("host=%1 port=%2 user=postgres dbname=%3")
                        .arg(value("PGTEST_SOCKET"), port(), database),
                    {});
    }
    // Over TLS as a login role (the CA checked).
    QString tls(const QString& database, const QString& user) const {
        return QStringLiteral("host=localhost port=%1 dbname=%2 user=%3 sslmode=verify-full "
                              "sslrootcert=%4")
            .arg(port(), database, user, ca());
    }
    std::unique_ptr<BlockingSession> open(const QString& connection, const QString& password) {
        QString problem;
        const auto where = ConnectionString::parse(*pq_, connection, &problem);
        EXPECT_TRUE(where) << problem.toStdString();
        if (!where)
            return nullptr;
        auto session = BlockingSession::open(
            *pq_, *where,
            [password](const QString&, QString* answer) {
                *answer = password;
                return !password.isEmpty();
            },
            &problem);
        EXPECT_TRUE(session) << problem.toStdString();
        return session;
    }
    // A fresh database owned by "admin", set up by the program: its name.
    QString freshTeam() {
        const QString name =
            QStringLiteral("team_%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter_);
        auto su = superuser();
        QString error;
        EXPECT_TRUE(su->run(("CREATE DATABASE " + name + " OWNER admin").toUtf8(), &error))
            << error.toStdString();
        const auto where = ConnectionString::parse(*pq_, tls(name, "admin"), &error);
        const auto done = TeamSchema::setUp(*pq_, *where, password("adminpw"));
        EXPECT_EQ(done.exitCode, 0) << done.text.toStdString();
        return name;
    }
    static std::function<bool(const QString&, QString*)> password(const QString& p) {
        return [p](const QString&, QString* answer) {
            *answer = p;
            return true;
        };
    }

private:
    TeamServer() {
        QFile file(QStringLiteral(UOO_PG_ENV));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n')) {
                const auto eq = line.indexOf('=');
                if (eq > 0)
                    env_[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1));
            }
        QString why;
        pq_ = Libpq::load(&why);
        if (!ready())
            return;
        // The people of the company: cluster-wide, made once.
        auto su = superuser();
        QString error;
        (void)su->run(R"SQL(
DO $d$ BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'admin') THEN
    CREATE ROLE admin LOGIN CREATEROLE PASSWORD 'adminpw';
  END IF;
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'uoo_installer') THEN
    CREATE ROLE uoo_installer NOLOGIN; CREATE ROLE uoo_viewer NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'installer1') THEN
    CREATE ROLE installer1 LOGIN PASSWORD 'pw1' IN ROLE uoo_installer;
    CREATE ROLE installer2 LOGIN PASSWORD 'pw2' IN ROLE uoo_installer;
    CREATE ROLE viewer1 LOGIN PASSWORD 'pwv' IN ROLE uoo_viewer;
    CREATE ROLE stranger LOGIN PASSWORD 'pws';
  END IF;
END $d$)SQL",
                      &error);
    }
    QMap<QString, QString> env_;
    std::shared_ptr<const Libpq> pq_;
    std::atomic<int> counter_{0};
};

#define REQUIRE_TEAM_SERVER()                                                                      \
    if (!TeamServer::get().ready())                                                                \
    GTEST_SKIP() << "no test server: tests/support/pg-server.sh"
