#include "team/TeamLink.h"

#include "team/ConnectionString.h"
#include "team/Libpq.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

// Lives in the network thread; every member is touched there alone.
class TeamLink::Worker final : public QObject {
public:
    Worker(std::shared_ptr<Voice> voice, std::shared_ptr<const Libpq> pq)
        : voice_(std::move(voice)), pq_(std::move(pq)) {}
    ~Worker() override { close(); }

    void startConnect(ConnectionString::Params params) {
        close();
        params_ = std::move(params);
        conn_ =
            pq_->PQconnectStartParams(params_.keyPointers.data(), params_.valuePointers.data(), 1);
        if (!conn_ || pq_->PQstatus(conn_) == CONNECTION_BAD) {
            failConnect();
            return;
        }
        connecting_ = true;
        // libpq leaves the connection's time limit to a caller that polls.
        deadline_ = new QTimer(this);
        deadline_->setSingleShot(true);
        connect(deadline_, &QTimer::timeout, this, [this] {
            if (!connecting_)
                return;
            const QString reason = QStringLiteral("сервер не ответил за 10 с");
            close();
            tell([=](TeamLink& l) { emit l.connectFailed(reason, false, TeamSessionInfo{}); });
        });
        deadline_->start(10000);
        poll(PGRES_POLLING_WRITING);
    }

    void enqueue(int id, std::vector<TeamQuery> batch) {
        batches_.push_back({id, std::move(batch), {}});
        if (ready_ && !busy_)
            next();
    }

    void close() {
        watch(-1, false, false);
        if (deadline_) {
            deadline_->deleteLater();
            deadline_ = nullptr;
        }
        if (conn_)
            pq_->PQfinish(conn_);
        conn_ = nullptr;
        connecting_ = ready_ = busy_ = preparing_ = false;
        prepared_.clear();
        // Batches not answered are the window's to send again: it hears
        // of the lost connection.
        batches_.clear();
    }

    // Says something to the window's side, unless it has gone. What is
    // said waits in a queue of the two threads' own, under their lock, so
    // nothing of it passes through the toolkit's queue.
    template <typename F> void tell(F say) {
        const std::lock_guard<std::mutex> lock(TeamLink::guard());
        if (!voice_->link)
            return;
        voice_->out.emplace_back(std::move(say));
        QCoreApplication::postEvent(voice_->link, new QEvent(QEvent::User));
    }

protected:
    // The window's thread left work in the queue.
    void customEvent(QEvent*) override {
        std::deque<std::function<void(Worker&)>> work;
        {
            const std::lock_guard<std::mutex> lock(TeamLink::guard());
            work.swap(voice_->in);
        }
        for (auto& job : work)
            job(*this);
    }

private:
    struct Batch {
        int id;
        std::vector<TeamQuery> queries;
        std::vector<TeamReply> replies;
    };

    void watch(int socket, bool read, bool write) {
        if (socket != socket_) {
            delete reader_;
            delete writer_;
            reader_ = writer_ = nullptr;
            socket_ = socket;
            if (socket < 0)
                return;
            reader_ = new QSocketNotifier(socket, QSocketNotifier::Read, this);
            writer_ = new QSocketNotifier(socket, QSocketNotifier::Write, this);
            connect(reader_, &QSocketNotifier::activated, this, [this] { readable(); });
            connect(writer_, &QSocketNotifier::activated, this, [this] { writable(); });
        }
        if (reader_)
            reader_->setEnabled(read);
        if (writer_)
            writer_->setEnabled(write);
    }

    void poll(PostgresPollingStatusType status) {
        for (;;) {
            switch (status) {
            case PGRES_POLLING_READING:
                watch(pq_->PQsocket(conn_), true, false);
                return;
            case PGRES_POLLING_WRITING:
                watch(pq_->PQsocket(conn_), false, true);
                return;
            case PGRES_POLLING_OK:
                connected();
                return;
            case PGRES_POLLING_FAILED:
            default:
                failConnect();
                return;
            case PGRES_POLLING_ACTIVE:
                status = pq_->PQconnectPoll(conn_);
                break;
            }
        }
    }

    void failConnect() {
        const QString reason = conn_ ? QString::fromUtf8(pq_->PQerrorMessage(conn_)).trimmed()
                                     : QStringLiteral("нет памяти для подключения");
        const bool needsPassword = conn_ && pq_->PQconnectionNeedsPassword(conn_);
        const TeamSessionInfo attempt = conn_ ? infoOf(conn_) : TeamSessionInfo{};
        connecting_ = false;
        close();
        tell([=](TeamLink& l) { emit l.connectFailed(reason, needsPassword, attempt); });
    }

    TeamSessionInfo infoOf(PGconn* c) const {
        TeamSessionInfo info;
        info.host = QString::fromUtf8(pq_->PQhost(c));
        info.port = QString::fromUtf8(pq_->PQport(c));
        info.database = QString::fromUtf8(pq_->PQdb(c));
        info.user = QString::fromUtf8(pq_->PQuser(c));
        info.encrypted = pq_->PQsslInUse(c) != 0;
        if (PQconninfoOption* used = pq_->PQconninfo(c)) {
            for (PQconninfoOption* o = used; o->keyword; ++o)
                if (QByteArray(o->keyword) == "sslmode" && o->val)
                    info.sslmode = QString::fromUtf8(o->val);
            pq_->PQconninfoFree(used);
        }
        return info;
    }

    void connected() {
        connecting_ = false;
        if (deadline_) {
            deadline_->deleteLater();
            deadline_ = nullptr;
        }
        pq_->PQsetnonblocking(conn_, 1);
        pq_->PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        ready_ = true;
        const TeamSessionInfo info = infoOf(conn_);
        watch(pq_->PQsocket(conn_), true, false);
        tell([=](TeamLink& l) { emit l.connected(info); });
        if (!busy_)
            next();
    }

    void readable() {
        if (connecting_) {
            poll(pq_->PQconnectPoll(conn_));
            return;
        }
        if (!pq_->PQconsumeInput(conn_)) {
            broken();
            return;
        }
        if (busy_)
            collect();
        takeNotifications();
    }

    void writable() {
        if (connecting_) {
            poll(pq_->PQconnectPoll(conn_));
            return;
        }
        flush();
    }

    void flush() {
        const int left = pq_->PQflush(conn_);
        if (left < 0) {
            broken();
            return;
        }
        watch(socket_, true, left == 1);
    }

    void takeNotifications() {
        bool any = false;
        while (PGnotify* n = pq_->PQnotifies(conn_)) {
            any = true; // its payload is not trusted, nor needed
            pq_->PQfreemem(n);
        }
        if (any)
            tell([=](TeamLink& l) { emit l.notified(); });
    }

    void broken() {
        const QString reason = QString::fromUtf8(pq_->PQerrorMessage(conn_)).trimmed();
        close();
        tell([=](TeamLink& l) {
            emit l.lost(reason.isEmpty() ? QStringLiteral("соединение разорвано") : reason);
        });
    }

    // Sends the next statement of the batch at the front.
    void next() {
        while (!batches_.empty()) {
            Batch& b = batches_.front();
            if (b.replies.size() == b.queries.size() ||
                (!b.replies.empty() && !b.replies.back().ok)) {
                Batch finished = std::move(b);
                batches_.pop_front();
                tell([=](TeamLink& l) { emit l.done(finished.id, finished.replies); });
                continue;
            }
            const TeamQuery& q = b.queries[b.replies.size()];
            std::vector<const char*> values;
            std::vector<int> lengths, formats;
            for (std::size_t i = 0; i < q.params.size(); ++i) {
                values.push_back(q.params[i].isNull() ? nullptr : q.params[i].constData());
                lengths.push_back(static_cast<int>(q.params[i].size()));
                formats.push_back(i < q.binary.size() && q.binary[i] ? 1 : 0);
            }
            const int n = static_cast<int>(values.size());
            preparing_ = !q.name.isEmpty() && prepared_.count(q.name) == 0;
            const int sent =
                preparing_
                    ? pq_->PQsendPrepare(conn_, q.name.constData(), q.sql.constData(), n, nullptr)
                : q.name.isEmpty()
                    ? pq_->PQsendQueryParams(conn_, q.sql.constData(), n, nullptr, values.data(),
                                             lengths.data(), formats.data(), q.binaryResult ? 1 : 0)
                    : pq_->PQsendQueryPrepared(conn_, q.name.constData(), n, values.data(),
                                               lengths.data(), formats.data(),
                                               q.binaryResult ? 1 : 0);
            if (!sent) {
                broken();
                return;
            }
            busy_ = true;
            current_ = TeamReply{};
            flush();
            return;
        }
        busy_ = false;
    }

    void collect() {
        while (!pq_->PQisBusy(conn_)) {
            PGresult* r = pq_->PQgetResult(conn_);
            if (!r) {
                Batch& b = batches_.front();
                if (std::exchange(preparing_, false) && current_.ok) {
                    // Prepared: now the statement itself.
                    prepared_.insert(b.queries[b.replies.size()].name);
                    busy_ = false;
                    next();
                    return;
                }
                b.replies.push_back(std::move(current_));
                busy_ = false;
                next();
                return;
            }
            const ExecStatusType status = pq_->PQresultStatus(r);
            if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
                current_.ok = true;
                const int n = pq_->PQntuples(r);
                const int columns = pq_->PQnfields(r);
                current_.rows.reserve(current_.rows.size() + std::size_t(n));
                for (int row = 0; row < n; ++row) {
                    std::vector<QByteArray> values;
                    values.reserve(std::size_t(columns));
                    for (int c = 0; c < columns; ++c)
                        values.emplace_back(pq_->PQgetvalue(r, row, c),
                                            pq_->PQgetlength(r, row, c));
                    current_.rows.push_back(std::move(values));
                }
            } else {
                current_.ok = false;
                const char* primary = pq_->PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
                current_.error =
                    QString::fromUtf8(primary ? primary : pq_->PQresultErrorMessage(r));
                const char* state = pq_->PQresultErrorField(r, PG_DIAG_SQLSTATE);
                current_.state = state ? state : "";
            }
            pq_->PQclear(r);
        }
        if (pq_->PQstatus(conn_) == CONNECTION_BAD)
            broken();
    }

    std::shared_ptr<Voice> voice_;
    std::shared_ptr<const Libpq> pq_;
    ConnectionString::Params params_;
    PGconn* conn_ = nullptr;
    int socket_ = -1;
    QSocketNotifier* reader_ = nullptr;
    QSocketNotifier* writer_ = nullptr;
    QTimer* deadline_ = nullptr;
    bool connecting_ = false, ready_ = false, busy_ = false, preparing_ = false;
    std::set<QByteArray> prepared_; // on this connection
    std::deque<Batch> batches_;
    TeamReply current_;
};

TeamLink::TeamLink(std::shared_ptr<const Libpq> pq, QObject* parent)
    : QObject(parent), voice_(std::make_shared<Voice>()), thread_(new QThread),
      worker_(new Worker(voice_, std::move(pq))) {
    voice_->link = this;
    qRegisterMetaType<TeamSessionInfo>();
    qRegisterMetaType<std::vector<TeamReply>>();
    thread_->setObjectName(QStringLiteral("team database"));
    worker_->moveToThread(thread_);
    connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_->start();
}

TeamLink::~TeamLink() {
    stop(2000);
}

std::mutex& TeamLink::guard() {
    static std::mutex lock;
    return lock;
}

void TeamLink::post(std::function<void(Worker&)> job) {
    const std::lock_guard<std::mutex> lock(TeamLink::guard());
    voice_->in.push_back(std::move(job));
    QCoreApplication::postEvent(worker_, new QEvent(QEvent::User));
}

void TeamLink::customEvent(QEvent*) {
    std::deque<std::function<void(TeamLink&)>> said;
    {
        const std::lock_guard<std::mutex> lock(TeamLink::guard());
        said.swap(voice_->out);
    }
    for (auto& say : said)
        say(*this);
}

void TeamLink::connectTo(const ConnectionString& where, const QString& password) {
    post([p = where.params(password)](Worker& w) mutable {
        // The pointers of the copy point into its own arrays.
        for (std::size_t i = 0; i < p.keys.size(); ++i) {
            p.keyPointers[i] = p.keys[i].constData();
            p.valuePointers[i] = p.values[i].constData();
        }
        w.startConnect(std::move(p));
    });
}

void TeamLink::run(int id, std::vector<TeamQuery> batch) {
    post([id, b = std::move(batch)](Worker& w) mutable { w.enqueue(id, std::move(b)); });
}

void TeamLink::disconnectNow() {
    post([](Worker& w) { w.close(); });
}

void TeamLink::stop(int ms) {
    if (!thread_)
        return;
    {
        // Nothing the worker says from now on is for anyone.
        const std::lock_guard<std::mutex> lock(TeamLink::guard());
        voice_->link = nullptr;
    }
    post([](Worker& w) { w.close(); });
    thread_->quit();
    if (thread_->wait(ms)) {
        delete thread_;
    } else {
        // Still resolving a name: it ends by itself when the system answers.
        connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
    }
    thread_ = nullptr;
}
