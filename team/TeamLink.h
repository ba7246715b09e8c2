#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class ConnectionString;
class QSocketNotifier;
class QThread;
class QTimer;
struct Libpq;
typedef struct pg_conn PGconn;

// One statement of a batch. Parameters travel as given: text, or binary
// where `binary` says so (records as bytea); results come back in binary
// when `binaryResult`.
struct TeamQuery {
    QByteArray sql;
    std::vector<QByteArray> params;
    std::vector<bool> binary;
    bool binaryResult = false;
    // Where not empty: prepared once per connection under this name, then
    // run by it, the server planning it no more.
    QByteArray name = {};
};

struct TeamReply {
    bool ok = false;
    QString error;                             // the server's words
    QByteArray state;                          // SQLSTATE
    std::vector<std::vector<QByteArray>> rows; // a NULL as empty
};

// What the connection turned out to be.
struct TeamSessionInfo {
    QString host, port, database, user;
    bool encrypted = false;
    QString sslmode; // as libpq used it
};

// The network thread: the one thread that calls libpq for a copy. It waits
// on the connection's socket (never on a timer), hands every result to the
// window's thread by a queued signal, and keeps nothing the window's
// thread reads. Batches run one after another, each statement after the
// one before it; a failed statement ends its batch.
class TeamLink final : public QObject {
    Q_OBJECT
public:
    TeamLink(std::shared_ptr<const Libpq> pq, QObject* parent = nullptr);
    ~TeamLink() override;

    // Called from the window's thread.
    void connectTo(const ConnectionString& where, const QString& password);
    void run(int id, std::vector<TeamQuery> batch);
    void disconnectNow();
    // Ends the thread, waiting at most `ms` for it (a name being resolved
    // cannot be interrupted: the thread is then left to end by itself).
    void stop(int ms);

protected:
    // The network thread said something.
    void customEvent(QEvent* event) override;

signals:
    void connected(TeamSessionInfo info);
    // `needsPassword`: the server asked for one that was not given.
    // `attempt`: where it tried (for the password file).
    void connectFailed(QString reason, bool needsPassword, TeamSessionInfo attempt);
    void lost(QString reason);
    void done(int id, std::vector<TeamReply> replies);
    void notified();

private:
    class Worker;
    // How the worker reaches this object, shared so that a worker left to
    // end by itself outlives it safely.
    struct Voice {
        TeamLink* link;
        std::deque<std::function<void(Worker&)>> in;    // for the network thread
        std::deque<std::function<void(TeamLink&)>> out; // for the window's thread
    };
    void post(std::function<void(Worker&)> job);
    // One lock for the hand-over of every link of the process: it lives as
    // long as the process, so no thread ever holds a lock whose memory has
    // gone to another link.
    static std::mutex& guard();
    std::shared_ptr<Voice> voice_;
    QThread* thread_;
    Worker* worker_;
};

Q_DECLARE_METATYPE(TeamSessionInfo)
Q_DECLARE_METATYPE(std::vector<TeamReply>)
