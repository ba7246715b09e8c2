// The team database's figures, each against a baseline measured in the same
// run on the same server:
//  - the first take of 9000 cards, against COPY of the same rows;
//  - one save sent, against a bare parameterised UPDATE round trip;
//  - a save seen by the other copies (from the save to their memory), p50
//    and p99, with 2 and with 50 copies connected, each in its own process;
//  - what an idle copy sends in a minute.
//   team_bench ENVFILE TEAM_COPY [IDLE-SECONDS]
// ENVFILE: what tests/support/pg-server.sh start wrote.
#include "store/CardFields.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"
#include "team/BlockingSession.h"
#include "team/ConnectionString.h"
#include "team/Libpq.h"
#include "team/Schema.h"
#include "team/TeamSync.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Quiet final : Messenger {
    void inform(const QString&, const QString&) override {}
    bool ask(const QString&, const QString&) override { return true; }
    void error(const QString&, const QString&) override {}
};

QMap<QString, QString> env;
std::shared_ptr<const Libpq> pq;

QString tls(const QString& database, const QString& user, quint16 port = 0) {
    return QStringLiteral("host=localhost port=%1 dbname=%2 user=%3 sslmode=verify-full "
                          "sslrootcert=%4")
        .arg(port ? QString::number(port) : env["PGTEST_PORT"], database, user, env["PGTEST_CA"]);
}

std::unique_ptr<BlockingSession> open(const QString& connection, const QString& password) {
    QString problem;
    const auto where = ConnectionString::parse(*pq, connection, &problem);
    auto s = BlockingSession::open(
        *pq, *where,
        [password](const QString&, QString* p) {
            *p = password;
            return true;
        },
        &problem);
    if (!s)
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    return s;
}

bool waitFor(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    // A tick, so that a wait for nothing in particular ends on time.
    QTimer tick;
    tick.start(5);
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
}

SettingsRecord card(int slot, std::uint32_t code) {
    SettingsRecord r;
    r.setCodeUoo(code);
    r.setText(Field::NCardEdit, QStringLiteral("%1").arg(100000 + slot));
    r.setText(Field::Edit1,
              QStringLiteral("Объект %1, ул. Ленина, д. %2").arg(slot).arg(slot % 90));
    r.setText(Field::APN1Edit, QStringLiteral("internet.provider.ru"));
    r.setChangeDate(46000.5 + slot / 10000.0);
    return r;
}

// A copy in this process, taking as the window does when idle.
struct Copy {
    QTemporaryDir dir;
    SettingsDatabase db;
    Quiet quiet;
    TeamSync team{db};
    explicit Copy(const QString& connection) {
        db.setFileName(QDir(dir.path()).filePath("ProgInfo_10.MGA"));
        QObject::connect(&team, &TeamSync::changesWaiting, &team, [this] {
            TeamSync::Take t = team.take({});
            if (t.offerToSend)
                team.answerFirstContact(true);
            // The working copy is written a second after the take, as the
            // window writes it: the take's figure is to the copy's memory.
            if (t.changed)
                QTimer::singleShot(1000, &team, [this] {
                    if (db.saveTaken(quiet).result == SettingsDatabase::Saved)
                        team.noteWorkingCopy();
                });
            team.sendPending();
        });
        QString problem;
        if (!team.open(connection, &problem))
            std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    }
};

// Counts what a copy sends to the server.
class CountingRelay final : public QObject {
public:
    explicit CountingRelay(quint16 to) : to_(to) {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* c = server_.nextPendingConnection()) {
                auto* up = new QTcpSocket(c);
                up->connectToHost(QHostAddress::LocalHost, to_);
                connect(c, &QTcpSocket::readyRead, up, [this, c, up] {
                    const QByteArray d = c->readAll();
                    sent += d.size();
                    up->write(d);
                });
                connect(up, &QTcpSocket::readyRead, c, [c, up] { c->write(up->readAll()); });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    qint64 sent = 0;

private:
    QTcpServer server_;
    quint16 to_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: team_bench ENVFILE TEAM_COPY [IDLE-SECONDS]\n");
        return 2;
    }
    const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 60;
    QFile f(QString::fromLocal8Bit(argv[1]));
    if (!f.open(QIODevice::ReadOnly))
        return 1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.contains('='))
            env[QString::fromUtf8(line.left(line.indexOf('=')))] =
                QString::fromUtf8(line.mid(line.indexOf('=') + 1));
    QString why;
    pq = Libpq::load(&why);
    QString error;
    auto su = open(QStringLiteral("host=%1 port=%2 user=postgres dbname=postgres")
                       .arg(env["PGTEST_SOCKET"], env["PGTEST_PORT"]),
                   {});
    (void)su->run("CREATE ROLE admin LOGIN CREATEROLE PASSWORD 'adminpw'", &error);
    (void)su->run("DROP DATABASE IF EXISTS bench WITH (FORCE)", &error);
    if (!su->run("CREATE DATABASE bench OWNER admin", &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    {
        QString problem;
        const auto where = ConnectionString::parse(*pq, tls("bench", "admin"), &problem);
        const auto done = TeamSchema::setUp(*pq, *where, [](const QString&, QString* p) {
            *p = QStringLiteral("adminpw");
            return true;
        });
        if (done.exitCode != 0) {
            std::fprintf(stderr, "%s", done.text.toLocal8Bit().constData());
            return 1;
        }
    }
    (void)su->run("CREATE ROLE installer1 LOGIN PASSWORD 'pw1' IN ROLE uoo_installer", &error);
    QTemporaryDir pass;
    QFile pgpass(pass.filePath("pgpass"));
    pgpass.open(QIODevice::WriteOnly);
    pgpass.write("*:*:*:installer1:pw1\n*:*:*:admin:adminpw\n");
    pgpass.close();
    pgpass.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    qputenv("PGPASSFILE", QFile::encodeName(pgpass.fileName()));

    // 9000 cards, sent by one copy.
    Copy writer(tls("bench", "installer1"));
    waitFor([&] { return writer.team.state() == TeamSync::State::Online; });
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i)
        writer.db.Slot(i) = card(i, 1000 + i);
    (void)writer.db.Save(writer.quiet);
    writer.team.sendPending();
    waitFor([&] { return writer.team.unsent() == 0; });

    // The first take of 9000 cards, connection included, against a
    // connection and COPY of the same rows.
    std::vector<double> takes, copies;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer t;
        t.start();
        auto s = open(tls("bench", "installer1"), {});
        PgResult r(pq->PQexec(s->connection(), "COPY (SELECT slot, version, record FROM uoo.card) "
                                               "TO STDOUT (FORMAT binary)"),
                   PgResultFree{pq.get()});
        qint64 bytes = 0;
        char* buffer = nullptr;
        int n = 0;
        while ((n = pq->PQgetCopyData(s->connection(), &buffer, 0)) > 0) {
            bytes += n;
            pq->PQfreemem(buffer);
        }
        copies.push_back(double(t.nsecsElapsed()) / 1e6);
        s.reset();

        t.restart();
        Copy reader(tls("bench", "installer1"));
        waitFor([&] { return std::as_const(reader.db).Slot(8999).IsUsed(); });
        takes.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::printf("first take of 9000 cards: %.1f ms, COPY of the same rows %.1f ms, ratio %.2fx\n",
                median(takes), median(copies), median(takes) / median(copies));

    // One save sent, against a bare UPDATE round trip.
    std::vector<double> saves, updates;
    auto bare = open(tls("bench", "installer1"), {});
    for (int round = 0; round < 30; ++round) {
        QElapsedTimer t;
        writer.db.Slot(5) = card(5, 50000 + round);
        (void)writer.db.Save(writer.quiet);
        // The save's backup is kept by a thread of its own: out of the way
        // of what is measured here, the send.
        waitFor([] { return false; }, 60);
        if (writer.team.unsent() == 0)
            continue; // sent meanwhile, after a take of the other session's change
        bool answered = false;
        const auto seen = QObject::connect(&writer.team, &TeamSync::statusChanged, &writer.team,
                                           [&] { answered = true; });
        t.start();
        writer.team.sendPending();
        answered = false; // the send's own change of the status
        if (!waitFor([&] { return answered && writer.team.unsent() == 0; })) {
            std::fprintf(stderr, "a save was not sent: %s\n",
                         writer.team.lastProblem().toLocal8Bit().constData());
            return 1;
        }
        saves.push_back(double(t.nsecsElapsed()) / 1e6);
        QObject::disconnect(seen);
        const SettingsRecord r = card(6, 60000 + round);
        t.restart();
        (void)bare->query(
            "UPDATE uoo.card SET record = $1 WHERE slot = 6",
            {"\\x" + QByteArray(reinterpret_cast<const char*>(r.data()), 695).toHex()}, &error);
        updates.push_back(double(t.nsecsElapsed()) / 1e6);
        // The writer takes that row before its next save, or would send the
        // save with the take, before the clock runs.
        waitFor([&] {
            return std::as_const(writer.db).Slot(6).CodeUoo() == 60000u + unsigned(round) &&
                   !writer.team.hasIncoming();
        });
        waitFor([] { return false; }, 100); // and the notices that follow
    }
    if (saves.size() < 10) {
        std::fprintf(stderr, "too few saves measured alone\n");
        return 1;
    }
    std::printf(
        "one save sent: %.2f ms (%zu saves), a bare UPDATE round trip %.2f ms, ratio %.2fx\n",
        median(saves), saves.size(), median(updates), median(saves) / median(updates));
    bare.reset();
    waitFor([&] { return !writer.team.hasIncoming(); }, 2000);

    // A save seen by the others, each a process of its own.
    for (const int connected : {2, 50}) {
        std::vector<std::unique_ptr<QProcess>> others;
        std::vector<std::unique_ptr<QTemporaryDir>> dirs;
        std::vector<double> seen;
        std::vector<std::uint32_t> last(std::size_t(connected), 0);
        std::vector<long long> at(std::size_t(connected), 0);
        for (int i = 0; i < connected - 1; ++i) {
            dirs.push_back(std::make_unique<QTemporaryDir>());
            auto p = std::make_unique<QProcess>();
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            QProcess* raw = p.get();
            const std::size_t k = std::size_t(i);
            QObject::connect(raw, &QProcess::readyReadStandardOutput, raw, [raw, k, &last, &at] {
                while (raw->canReadLine()) {
                    const QList<QByteArray> w = raw->readLine().trimmed().split(' ');
                    if (w.size() == 3 && w[0] == "7") {
                        last[k] = w[1].toUInt();
                        at[k] = w[2].toLongLong();
                    }
                }
            });
            p->start(QString::fromLocal8Bit(argv[2]),
                     {dirs.back()->path(), tls("bench", "installer1")});
            others.push_back(std::move(p));
        }
        // Every copy has taken the 9000 cards before the clock runs.
        writer.db.Slot(7) = card(7, 1);
        (void)writer.db.Save(writer.quiet);
        writer.team.sendPending();
        if (!waitFor(
                [&] {
                    return std::all_of(last.begin(), last.end() - 1,
                                       [](std::uint32_t c) { return c == 1; });
                },
                300000)) {
            std::fprintf(stderr, "the connected did not all take the cards\n");
            return 1;
        }
        for (int round = 0; round < 40; ++round) {
            const std::uint32_t code = 700000 + std::uint32_t(round);
            writer.db.Slot(7) = card(7, code);
            (void)writer.db.Save(writer.quiet);
            const long long t0 = std::chrono::steady_clock::now().time_since_epoch().count();
            writer.team.sendPending();
            waitFor(
                [&] {
                    return std::all_of(last.begin(), last.end() - 1,
                                       [code](std::uint32_t c) { return c == code; });
                },
                20000);
            for (int i = 0; i < connected - 1; ++i)
                if (last[std::size_t(i)] == code)
                    seen.push_back(double(at[std::size_t(i)] - t0) / 1e6);
            waitFor([&] { return !writer.team.hasIncoming(); }, 1000);
        }
        std::printf(
            "a save seen by the other connected, %d connected: p50 %.1f ms, p99 %.1f ms (%zu "
            "sightings)\n",
            connected, percentile(seen, 0.5), percentile(seen, 0.99), seen.size());
        for (auto& p : others) {
            p->terminate();
            p->waitForFinished(3000);
        }
    }

    // What an idle copy sends in a minute: nothing but TCP's keepalives,
    // which carry no bytes.
    CountingRelay relay(env["PGTEST_PORT"].toUShort());
    Copy idle(tls("bench", "installer1", relay.port()));
    waitFor([&] {
        return idle.team.state() == TeamSync::State::Online &&
               std::as_const(idle.db).Slot(8999).IsUsed() && !idle.team.hasIncoming();
    });
    waitFor([] { return false; }, 1000);
    const qint64 before = relay.sent;
    waitFor([] { return false; }, idleSeconds * 1000);
    std::printf("an idle copy in %d s: %lld bytes sent to the server\n", idleSeconds,
                static_cast<long long>(relay.sent - before));
    return 0;
}
