#pragma once

// The lock between copies of the program that share one database, on one
// machine or on a folder several machines mount.
//
// Two locks, both taken for the span of a save: a record lock on
// "<file>.lock", which the system drops when a process dies and which is
// real on a local disk, and a lease: the file "<file>.lease", created
// exclusively, naming its holder, rewritten every second while held and
// removed at the end. A network mount may grant record locks on its own
// machine only (a user-space file system always does), but an exclusive
// create is one step on the server; so the lease is what holds across
// machines. A holder that died leaves its lease behind unrenewed: a waiter
// that sees it unchanged for StaleMs (or, on the holder's own machine, its
// process gone) renames it aside to a name of its own, so that of two
// waiters only one takes it over.
//
// Where even an exclusive create cannot be trusted, a copy holds the lease
// for its whole run instead ("session"), and every other copy opens the
// database for reading only.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Who holds a lease, as its file says.
struct LeaseHolder {
    QString machine;      // the machine's name, for people
    QByteArray machineId; // the machine's identity, for the program
    long long process = 0;
    QByteArray token; // one hold's own random name
    QDateTime since;
    bool session = false; // held for a copy's whole run
    quint64 beat = 0;

    static std::optional<LeaseHolder> parse(const QByteArray& bytes);
    QByteArray text() const; // LeaseSize bytes
    // "«name» с 10.12.2026 14:05"
    QString describe() const;
};

class Lease {
public:
    static constexpr int StaleMs = 10000; // unrenewed this long: its holder is gone
    static constexpr int RenewMs = 1000;
    static constexpr int LeaseSize = 512;

    explicit Lease(QString path, unsigned mode) : path_(std::move(path)), mode_(mode) {}
    ~Lease() { release(); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    enum class Result { Taken, Busy, HeldForSession, Failed };
    // One attempt; `watch` carries what a waiter saw between attempts.
    struct Watch {
        QByteArray content;
        qint64 sinceMs = -1;
    };
    Result tryTake(bool session, Watch& watch);
    // Whether the lease file under its name is still this hold's, and every
    // renewal went through.
    bool stillMine() const;
    void release();
    bool held() const { return fd_ >= 0; }
    // The holder a HeldForSession result met.
    const LeaseHolder& other() const { return other_; }
    // The holder's clock where the file lives: the time of the lease's last
    // write, as the file system keeps it (0 when it cannot tell).
    qint64 fileTimeSeconds() const;

    static QString fileOf(const QString& target) { return target + QStringLiteral(".lease"); }
    // The holder of the lease on `target`, if there is one.
    static std::optional<LeaseHolder> peek(const QString& target);
    // Whether the lease on `target` was left by a process of this machine
    // that is gone.
    static bool leftHere(const QString& target);
    // Removes what holders that died while taking or taking over a lease
    // left, last written at `quietSince` or before.
    static void removeScraps(const QString& target, std::int64_t quietSince);

private:
    bool write(const LeaseHolder& holder);
    void renew();
    // Takes a lease judged stale out of the way; false when it turned out
    // to be another's live one (then put back).
    bool takeOver(const QByteArray& judged);

    QString path_;
    unsigned mode_;
    int fd_ = -1;
    LeaseHolder mine_;
    LeaseHolder other_;
    std::atomic<bool> renewFailed_{false};
    bool flush_ = false;
    std::mutex mutex_;
    std::condition_variable stop_;
    std::atomic<bool> stopping_{false};
    std::thread renewer_;
};

// The record lock and the lease together, for one save.
class DatabaseLock {
public:
    // `session`: this copy holds the lease for its run already (nothing more
    // to take), or asks for it (`takeSession`).
    // `watch`: what earlier attempts saw of another's lease, kept between
    // saves so that a lease left by a copy that died is known as such.
    DatabaseLock(const QString& target, unsigned mode, const std::function<void(bool)>& waiting,
                 Lease* session = nullptr, bool takeSession = false, Lease::Watch* watch = nullptr,
                 int patienceMs = WaitMs);
    // How long a lock is waited for while no other copy gets on.
    static constexpr int WaitMs = Lease::StaleMs + 5000;
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;
    bool ok() const { return ok_; }
    // A copy that works alone holds the database: nothing may be written.
    bool heldForSession() const { return heldForSession_; }
    const LeaseHolder& holder() const { return holder_; }
    // Whether both locks are still this copy's: the lock file's name still
    // leads to the file locked, and the lease is still this copy's.
    bool stillHeld() const;
    void release();
    // Both locks let go of, for a box the operator must answer.
    void releaseAll() {
        release();
        if (lease_)
            lease_->release();
    }
    // The file system's clock, as the lease's last write tells it.
    qint64 fileTimeSeconds() const;

private:
    enum class Step { Locked, Busy, Moved, Failed };
    Step attempt();

    QByteArray name_;
    unsigned mode_ = 0600;
    int fd_ = -1;
    bool ok_ = false;
    bool recordLocks_ = true;
    bool heldForSession_ = false;
    LeaseHolder holder_;
    Lease* session_ = nullptr;
    std::unique_ptr<Lease> lease_;
};
