#include "store/DatabaseLock.h"

#include "platform/FileSystem.h"
#include "store/SettingsDatabase.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr int LockPollMs = 50;

QByteArray randomToken() {
    quint64 words[2];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

const QByteArray& thisMachineId() {
    static const QByteArray id = QSysInfo::machineUniqueId();
    return id;
}

qint64 steadyMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// Up to LeaseSize bytes of the file under `name`; empty with errno set when
// it cannot be opened.
QByteArray readSmall(const QByteArray& name) {
    errno = 0;
    const int fd = platform::openFile(name.constData(), platform::ReadOnly | platform::NonBlocking |
                                                            platform::NoFollow);
    if (fd < 0)
        return {};
    QByteArray bytes(Lease::LeaseSize, '\0');
    const long long n = platform::readAt(fd, bytes.data(), std::size_t(bytes.size()), 0);
    const int error = n < 0 ? errno : 0;
    platform::closeFile(fd);
    bytes.resize(n > 0 ? int(n) : 0);
    errno = error; // 0: there, as read (maybe empty)
    return bytes;
}

} // namespace

std::optional<LeaseHolder> LeaseHolder::parse(const QByteArray& bytes) {
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.isEmpty() || lines.front() != "UOO-LEASE 1")
        return std::nullopt;
    LeaseHolder h;
    bool complete = false;
    for (const QByteArray& line : lines) {
        const int colon = int(line.indexOf(": "));
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon), value = line.mid(colon + 2).trimmed();
        if (key == "machine")
            h.machine = QString::fromUtf8(QByteArray::fromPercentEncoding(value));
        else if (key == "machine-id")
            h.machineId = value;
        else if (key == "process")
            h.process = value.toLongLong();
        else if (key == "token")
            h.token = value;
        else if (key == "since")
            h.since = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODate);
        else if (key == "kind")
            h.session = value == "session";
        else if (key == "beat")
            h.beat = value.toULongLong();
        else if (key == "end")
            complete = true;
    }
    if (!complete || h.token.isEmpty())
        return std::nullopt;
    return h;
}

QByteArray LeaseHolder::text() const {
    QByteArray t = "UOO-LEASE 1\n";
    t += "token: " + token + '\n';
    t += QByteArray("kind: ") + (session ? "session" : "save") + '\n';
    t += "process: " + QByteArray::number(process) + '\n';
    t += "beat: " + QByteArray::number(beat) + '\n';
    t += "since: " + since.toString(Qt::ISODate).toLatin1() + '\n';
    t += "machine-id: " + machineId.left(64) + '\n';
    t += "end: 1\n";
    // The name for people last, cut to the room left and never inside a
    // character: what the program needs is always whole.
    const qsizetype room = Lease::LeaseSize - 1 - t.size() - qsizetype(sizeof "machine: \n");
    QByteArray name;
    for (qsizetype i = 0; i < machine.size();) {
        const qsizetype n = machine.at(i).isHighSurrogate() && i + 1 < machine.size() ? 2 : 1;
        const QByteArray part = machine.mid(i, n).toUtf8().toPercentEncoding(" -._");
        if (name.size() + part.size() > room)
            break;
        name += part;
        i += n;
    }
    t += "machine: " + name + '\n';
    // A fixed length: a mount that caches a file's size would cut a longer
    // text, or pad a shorter one.
    t += QByteArray(Lease::LeaseSize - 1 - t.size(), ' ') + '\n';
    return t;
}

QString LeaseHolder::describe() const {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    return QStringLiteral("«%1» с %2")
        .arg(machine, ru.toString(since, QStringLiteral("dd.MM.yyyy HH:mm")));
}

std::optional<LeaseHolder> Lease::peek(const QString& target) {
    return LeaseHolder::parse(readSmall(platform::encodeName(fileOf(target))));
}

namespace {

// A machine cloned from another's image keeps its identity: the names must
// agree too before a process number of this machine means anything.
bool goneHere(const std::optional<LeaseHolder>& holder) {
    return holder && !holder->machineId.isEmpty() && holder->machineId == thisMachineId() &&
           QSysInfo::machineHostName().startsWith(holder->machine) &&
           !platform::processRunning(holder->process);
}

} // namespace

bool Lease::leftHere(const QString& target) {
    return goneHere(peek(target));
}

bool Lease::write(const LeaseHolder& holder) {
    const QByteArray text = holder.text();
    return platform::writeAt(fd_, text.constData(), std::size_t(text.size()), 0) == text.size();
}

Lease::Result Lease::tryTake(bool session, Watch& watch) {
    const QByteArray name = platform::encodeName(path_);
    mine_ = {};
    mine_.machine = QSysInfo::machineHostName();
    mine_.machineId = thisMachineId();
    mine_.process = platform::processId();
    mine_.token = randomToken();
    mine_.since = QDateTime::currentDateTime();
    mine_.session = session;
    renewFailed_ = false;
    // Written whole under a name of its own, then given the lease's name in
    // one step that fails where the name is taken: a lease is never seen
    // empty, whenever its maker dies. Where the file system has no second
    // names, the name is created exclusively and written after.
    const QByteArray made = platform::encodeName(path_ + QStringLiteral(".new-")) + mine_.token;
    const int flags =
        platform::ReadWrite | platform::Create | platform::Exclusive | platform::NoFollow;
    fd_ = platform::openFile(made.constData(), flags, mode_);
    if (fd_ < 0)
        return Result::Failed; // no folder, no permission, ...
    (void)platform::setMode(fd_, mode_);
    // A network mount may hold writes back: each one goes out at once.
    flush_ = platform::volumeOf(made.constData()) != platform::Volume::Local;
    if (!write(mine_) || (flush_ && platform::syncFile(fd_) != 0)) {
        platform::closeFile(fd_);
        fd_ = -1;
        platform::removeFile(made.constData());
        return Result::Failed;
    }
    int placed = platform::placeUnlessTaken(made.constData(), name.constData());
    int error = errno;
    platform::removeFile(made.constData()); // where it was a second name
    if (placed != 0 && error != EEXIST) {
        platform::closeFile(fd_);
        fd_ = platform::openFile(name.constData(), flags, mode_);
        error = errno;
        placed = fd_ >= 0 ? 0 : -1;
        if (fd_ >= 0 && !write(mine_)) {
            platform::closeFile(fd_);
            fd_ = -1;
            platform::removeFile(name.constData());
            return Result::Failed;
        }
    }
    if (placed == 0) {
        // The server said so: a look by the name through a mount's cache
        // may not know yet.
        watch = {};
        stopping_ = false;
        renewer_ = std::thread([this] { renew(); });
        return Result::Taken;
    }
    if (fd_ >= 0)
        platform::closeFile(fd_);
    fd_ = -1;
    errno = error;
    if (errno != EEXIST)
        return Result::Failed; // no folder, no permission, ...
    const QByteArray content = readSmall(name);
    if (content.isEmpty() && errno != 0) {
        // Released meanwhile, or not to be read now (a Windows file being
        // deleted, a virus scanner): only a lease read is judged silent.
        watch = {};
        return Result::Busy;
    }
    const qint64 now = steadyMs();
    if (content != watch.content || watch.sinceMs < 0)
        watch = {content, now};
    const auto holder = LeaseHolder::parse(content);
    if (holder && holder->token == mine_.token)
        return Result::Busy; // this attempt's own, placed after all: taken anew
    // A holder of this machine whose process is gone is gone; elsewhere
    // only the lease's silence tells.
    const bool dead = goneHere(holder);
    if (dead || now - watch.sinceMs >= StaleMs) {
        if (takeOver(content)) {
            watch = {};
            return Result::Busy; // out of the way: the next attempt creates
        }
        watch = {};
    }
    if (holder && holder->session) {
        other_ = *holder;
        return Result::HeldForSession;
    }
    return Result::Busy;
}

bool Lease::takeOver(const QByteArray& judged) {
    const QByteArray name = platform::encodeName(path_);
    const QByteArray aside =
        platform::encodeName(path_ + QStringLiteral(".stale-")) + randomToken();
    if (platform::replaceFile(name.constData(), aside.constData()) != 0)
        return false; // gone already, or another waiter was first
    // Renamed aside by this copy alone; but maybe a lease someone took
    // over and renewed in between: that one goes back.
    const QByteArray moved = readSmall(aside);
    if (moved == judged) {
        platform::removeFile(aside.constData());
        return true;
    }
    (void)platform::placeUnlessTaken(aside.constData(), name.constData());
    platform::removeFile(aside.constData());
    return false;
}

void Lease::renew() {
    LeaseHolder beat = mine_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_.wait_for(lock, std::chrono::milliseconds(RenewMs),
                           [this] { return stopping_.load(); })) {
        ++beat.beat;
        // A renewal that did not reach the server is no renewal: the hold
        // ends here, and the save that holds it starts over.
        if (!write(beat) || (flush_ && platform::syncFile(fd_) != 0)) {
            renewFailed_ = true;
            return;
        }
    }
}

bool Lease::stillMine() const {
    if (fd_ < 0 || renewFailed_)
        return false;
    const auto holder = LeaseHolder::parse(readSmall(platform::encodeName(path_)));
    return holder && holder->token == mine_.token;
}

void Lease::release() {
    if (renewer_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        stop_.notify_all();
        renewer_.join();
    }
    if (fd_ < 0)
        return;
    // Removed unless the name holds another's lease by now (one that took
    // this over after a silence): a look through a mount's cache that
    // cannot tell leaves nothing behind to stall the others.
    const auto holder = LeaseHolder::parse(readSmall(platform::encodeName(path_)));
    platform::closeFile(fd_); // Windows removes no file that is open
    fd_ = -1;
    if (!holder || holder->token == mine_.token)
        platform::removeFile(platform::encodeName(path_).constData());
}

void Lease::removeScraps(const QString& target, std::int64_t quietSince) {
    const QFileInfo lease(fileOf(target));
    const QString prefix = lease.fileName() + QLatin1Char('.');
    for (const QFileInfo& f : lease.absoluteDir().entryInfoList({prefix + QLatin1Char('*')},
                                                                QDir::Files | QDir::Hidden)) {
        const QString rest = f.fileName().mid(prefix.size());
        if (!rest.startsWith(QLatin1String("new-")) && !rest.startsWith(QLatin1String("stale-")))
            continue;
        platform::FileStatus st;
        const QByteArray name = platform::encodeName(f.absoluteFilePath());
        if (platform::statusOf(name.constData(), &st, false) == 0 && st.regular() && st.mine &&
            st.modifiedSeconds <= quietSince)
            platform::removeFile(name.constData());
    }
}

qint64 Lease::fileTimeSeconds() const {
    platform::FileStatus st;
    if (fd_ < 0 || platform::statusOf(fd_, &st) != 0)
        return 0;
    return st.modifiedSeconds;
}

DatabaseLock::DatabaseLock(const QString& target, unsigned mode,
                           const std::function<void(bool)>& waiting, Lease* session,
                           bool takeSession, Lease::Watch* kept, int patienceMs)
    : name_(platform::encodeName(SettingsDatabase::lockFileOf(target))), mode_(mode),
      session_(session) {
    bool told = false;
    const auto tell = [&](bool on) {
        if (told != on && waiting)
            waiting(on);
        told = on;
    };
    // The wait gives up only on a lock that is stuck: each save another
    // copy finishes meanwhile (the file is replaced, or the lease is
    // another hold's) starts it afresh, so a copy is never starved by others
    // saving one after another.
    const QByteArray file = platform::encodeName(target);
    platform::FileStatus last;
    QByteArray lastHolder;
    const auto progressed = [&] {
        platform::FileStatus now;
        const bool seen = platform::statusOf(file.constData(), &now) == 0;
        bool changed =
            seen && !(now.sameFile(last) && now.modifiedSeconds == last.modifiedSeconds &&
                      now.modifiedNanoseconds == last.modifiedNanoseconds);
        if (seen)
            last = now;
        const auto holder = Lease::peek(target);
        const QByteArray token = holder ? holder->token : QByteArray();
        changed = changed || token != lastHolder;
        lastHolder = token;
        return changed;
    };
    (void)progressed();
    Lease::Watch local;
    Lease::Watch& watch = kept ? *kept : local;
    const bool leaseHeld = session_ && session_->held();
    if (!leaseHeld)
        lease_ = std::make_unique<Lease>(Lease::fileOf(target), mode);
    for (int waited = 0, moved = 0;;) {
        Step step = attempt();
        if (step == Step::Moved && ++moved > 100) {
            tell(false);
            release();
            return; // a name that will not stay put: no lock to be had
        }
        if (step == Step::Locked && !leaseHeld) {
            Lease& lease = takeSession ? *session_ : *lease_;
            switch (lease.tryTake(takeSession, watch)) {
            case Lease::Result::Taken:
                break;
            case Lease::Result::Busy:
                step = Step::Busy;
                break;
            case Lease::Result::HeldForSession:
                heldForSession_ = true;
                holder_ = lease.other();
                step = Step::Failed;
                break;
            case Lease::Result::Failed:
                step = Step::Failed;
                break;
            }
        }
        if (step == Step::Locked) {
            tell(false);
            ok_ = true;
            return;
        }
        if (step == Step::Failed || waited >= patienceMs) {
            tell(false);
            release();
            return;
        }
        if (step == Step::Busy) {
            tell(true);
            release(); // the record lock too: others of this machine may try
            std::this_thread::sleep_for(std::chrono::milliseconds(LockPollMs));
            waited = progressed() ? 0 : waited + LockPollMs;
        }
        release(); // Busy or Moved: anew
    }
}

DatabaseLock::~DatabaseLock() {
    release();
    if (lease_)
        lease_->release();
}

bool DatabaseLock::stillHeld() const {
    if (!ok_)
        return false;
    const Lease* lease = lease_ && lease_->held() ? lease_.get() : session_;
    if (!lease || !lease->stillMine())
        return false;
    if (!recordLocks_)
        return true;
    platform::FileStatus held, named;
    return platform::statusOf(fd_, &held) == 0 &&
           platform::statusOf(name_.constData(), &named, false) == 0 && held.sameFile(named);
}

qint64 DatabaseLock::fileTimeSeconds() const {
    const Lease* lease = lease_ && lease_->held() ? lease_.get() : session_;
    return lease ? lease->fileTimeSeconds() : 0;
}

void DatabaseLock::release() {
    if (fd_ >= 0)
        platform::closeFile(fd_); // closing the description drops its lock
    fd_ = -1;
    ok_ = false;
}

DatabaseLock::Step DatabaseLock::attempt() {
    // Made with the database's permission bits, so that whoever may write
    // the database may lock it; never deleted by the program, and where the
    // system allows, by no one else while a copy holds it.
    const int flags =
        platform::ReadWrite | platform::NoFollow | platform::NonBlocking | platform::KeepName;
    fd_ = platform::openFile(name_.constData(), flags | platform::Create | platform::Exclusive,
                             mode_);
    if (fd_ >= 0) {
        (void)platform::setMode(fd_, mode_);
    } else {
        if (errno != EEXIST)
            return Step::Failed; // no folder, no permission, ...
        fd_ = platform::openFile(name_.constData(), flags);
        if (fd_ < 0)
            return errno == ENOENT ? Step::Moved : Step::Failed; // deleted in between
    }
    platform::FileStatus st;
    if (platform::statusOf(fd_, &st) != 0 || !st.regular())
        return Step::Failed;
    switch (platform::lockRecord(fd_)) {
    case platform::RecordLock::Taken:
        break;
    case platform::RecordLock::Unsupported:
        recordLocks_ = false; // no record locks here: the lease alone
        return Step::Locked;
    case platform::RecordLock::Busy:
        return Step::Busy;
    case platform::RecordLock::Failed:
        return Step::Failed;
    }
    // Locked: but maybe a file whose name was deleted while this copy
    // waited for it.
    platform::FileStatus held, named;
    const bool same = platform::statusOf(fd_, &held) == 0 &&
                      platform::statusOf(name_.constData(), &named, false) == 0 &&
                      held.sameFile(named);
    return same ? Step::Locked : Step::Moved;
}
