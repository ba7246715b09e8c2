#include "store/Backup.h"

#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include <zlib.h>

QByteArray gzipCompress(const QByteArray& bytes) {
    z_stream z{};
    // 15 window bits, plus 16: a gzip header and trailer around the data.
    // The fastest level: a table is mostly free slots and repeats itself.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(bytes.size()))) + 32,
                   Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const auto size = static_cast<qsizetype>(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END)
        return {};
    out.truncate(size);
    return out;
}

QByteArray gzipReadFile(const QString& path) {
    // A table is 6 MB; nothing of ours is ever near this.
    constexpr qsizetype Limit = qsizetype(64) << 20;
    gzFile f = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!f)
        return {};
    QByteArray out;
    char buffer[1 << 16];
    int n = 0;
    while ((n = gzread(f, buffer, sizeof buffer)) > 0 && out.size() < Limit)
        out.append(buffer, n);
    const bool ok = n == 0;
    gzclose(f);
    return ok ? out : QByteArray();
}

BackupKeeper::BackupKeeper() : worker_([this] { run(); }) {}

BackupKeeper::~BackupKeeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

QString BackupKeeper::folderOf(const QString& database) {
    return database + QStringLiteral(".backup");
}

namespace {

constexpr const char* TimeFormat = "yyyyMMdd-HHmmss";

unsigned folderModeFor(unsigned mode) {
    // Those who may read and write the database, and nobody else.
    return 0700 | (mode & 0060) | ((mode & 0040) ? 0010 : 0);
}

bool makeFolder(const QString& folder, unsigned mode) {
    const QByteArray name = platform::encodeName(folder);
    if (platform::makeFolder(name.constData(), folderModeFor(mode)) != 0 && errno != EEXIST)
        return false;
    platform::FileStatus st;
    return platform::statusOf(name.constData(), &st, false) == 0 &&
           st.kind == platform::FileStatus::Directory;
}

// A backup, or a version held for one, in the folder.
struct Found {
    QString stem;
    QDateTime time;
    int serial = 1;
    bool held = false; // not compressed yet
    QString path;

    bool before(const Found& o) const { return time != o.time ? time < o.time : serial < o.serial; }
};

// "<name>.YYYYMMDD-HHMMSS[-N].gz", and ".held-" before the same stem for a
// version not compressed yet. Made once per database name; the copy handed
// out shares it and matches without the lock. (Not thread_local: on Windows
// a thread's objects may be destroyed after their storage is gone.)
QRegularExpression patternFor(const QString& base) {
    static std::mutex guard;
    static QString patternOf;
    static QRegularExpression pattern;
    const std::lock_guard lock(guard);
    if (patternOf != base) {
        patternOf = base;
        pattern = QRegularExpression(
            QStringLiteral("^(\\.held-)?(%1\\.(\\d{8}-\\d{6})(?:-(\\d+))?)(\\.gz)?$")
                .arg(QRegularExpression::escape(base)));
        pattern.optimize(); // compiled here, under the lock, not by a first match
    }
    return pattern;
}

std::vector<Found> scan(const QString& database) {
    const QRegularExpression pattern = patternFor(QFileInfo(database).fileName());
    const QString folder = BackupKeeper::folderOf(database);
    std::vector<Found> found;
    const QStringList names =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : names) {
        const auto m = pattern.match(name);
        if (!m.hasMatch())
            continue;
        const bool held = m.capturedLength(1) > 0;
        if (held == (m.capturedLength(5) > 0))
            continue; // a held version has no ".gz", a backup has it
        Found f;
        f.stem = m.captured(2);
        f.time = QDateTime::fromString(m.captured(3), QLatin1String(TimeFormat));
        f.serial = m.capturedLength(4) > 0 ? m.captured(4).toInt() : 1;
        f.held = held;
        f.path = folder + QLatin1Char('/') + name;
        if (f.time.isValid() && f.serial >= 1)
            found.push_back(std::move(f));
    }
    return found;
}

QString stemOf(const QString& database, const QDateTime& time, int serial) {
    return QFileInfo(database).fileName() + QLatin1Char('.') +
           time.toString(QLatin1String(TimeFormat)) +
           (serial == 1 ? QString() : QStringLiteral("-%1").arg(serial));
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const long long n = platform::writeSome(fd, p, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

QByteArray readHeld(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

std::optional<BackupKeeper::Held> BackupKeeper::hold(const QString& database, const QString& file,
                                                     const std::function<QByteArray()>& content,
                                                     unsigned mode, const QDateTime& when) {
    const QString folder = folderOf(database);
    if (!makeFolder(folder, mode))
        return std::nullopt;
    const QDateTime second =
        QDateTime::fromString(when.toString(QLatin1String(TimeFormat)), QLatin1String(TimeFormat));
    // After everything in the folder of this very second; what is dated
    // later than now does not count.
    int serial = 1;
    for (const Found& f : scan(database))
        if (f.time == second)
            serial = std::max(serial, f.serial + 1);
    const QByteArray linked = platform::encodeName(file);
    for (int attempt = 0; attempt < 1000; ++attempt, ++serial) {
        Held held;
        held.stem = stemOf(database, second, serial);
        held.path = folder + QStringLiteral("/.held-") + held.stem;
        const QByteArray name = platform::encodeName(held.path);
        if (QFileInfo::exists(folder + QLatin1Char('/') + held.stem + QStringLiteral(".gz")))
            continue;
        if (!file.isEmpty()) {
            if (platform::hardLink(linked.constData(), name.constData()) == 0)
                return held;
            if (errno == EEXIST)
                continue;
        }
        // No hard links here: an empty file keeps the name taken, and the
        // bytes wait in memory.
        const int fd = platform::openFile(
            name.constData(), platform::WriteOnly | platform::Create | platform::Exclusive,
            mode & 0660);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return std::nullopt;
        }
        platform::closeFile(fd);
        held.bytes = content();
        return held;
    }
    return std::nullopt;
}

void BackupKeeper::noteWritten(const QString& database, const QByteArray& identity,
                               const QString& stem) {
    const QByteArray name = platform::encodeName(folderOf(database) + QStringLiteral("/.written"));
    // Whoever may write the database may write the note.
    platform::FileStatus st;
    const unsigned mode = platform::statusOf(platform::encodeName(database).constData(), &st) == 0
                              ? (st.mode & 0660)
                              : 0600;
    const int fd = platform::openFile(
        name.constData(),
        platform::WriteOnly | platform::Create | platform::Truncate | platform::NoFollow, mode);
    if (fd < 0)
        return;
    const QByteArray note = identity.isEmpty() || stem.isEmpty()
                                ? QByteArray()
                                : identity + '\n' + QFile::encodeName(stem);
    if (!writeAll(fd, note))
        (void)!platform::truncateFile(fd); // half a note would say nothing true
    platform::closeFile(fd);
}

namespace {

QList<QByteArray> noteOf(const QString& database) {
    return readHeld(BackupKeeper::folderOf(database) + QStringLiteral("/.written")).split('\n');
}

} // namespace

QByteArray BackupKeeper::writtenLast(const QString& database) {
    const QList<QByteArray> note = noteOf(database);
    if (note.size() != 2)
        return {};
    const QString folder = folderOf(database) + QLatin1Char('/');
    const QString stem = QFile::decodeName(note[1]);
    // Kept, or being kept by a copy that may yet die: only a backup counts,
    // or a second name of the file that a later copy will compress.
    if (QFileInfo::exists(folder + stem + QStringLiteral(".gz")))
        return note[0];
    return {};
}

QString BackupKeeper::writtenLastStem(const QString& database) {
    const QList<QByteArray> note = noteOf(database);
    return note.size() == 2 ? QFile::decodeName(note[1]) : QString();
}

std::optional<BackupKeeper::Held> BackupKeeper::holdToDrop(const QString& database, unsigned mode) {
    const QString folder = folderOf(database);
    if (!makeFolder(folder, mode))
        return std::nullopt;
    static std::atomic<unsigned> counter{0};
    Held held;
    held.path = folder +
                QStringLiteral("/.drop-%1-%2").arg(platform::processId()).arg(counter.fetch_add(1));
    if (platform::hardLink(platform::encodeName(database).constData(),
                           platform::encodeName(held.path).constData()) != 0)
        return std::nullopt;
    return held;
}

void BackupKeeper::drop(const Held& held) {
    if (!held.path.isEmpty())
        platform::removeFile(platform::encodeName(held.path).constData());
}

void BackupKeeper::keep(const QString& database, std::vector<Held> versions, unsigned mode) {
    if (versions.empty())
        return;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({database, std::move(versions), mode});
    }
    changed_.notify_all();
}

void BackupKeeper::keep(const QString& database, const QByteArray& content, unsigned mode,
                        const QDateTime& when) {
    if (auto held = hold(
            database, QString(), [&content] { return content; }, mode, when))
        keep(database, std::vector<Held>{*held}, mode);
}

void BackupKeeper::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

bool BackupKeeper::idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !busy_;
}

int BackupKeeper::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void BackupKeeper::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, and nothing left to keep
        int done = 0;
        {
            // The job, and every byte lent with it, is let go of before
            // the keeper says it is idle.
            Job job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            for (const Held& held : job.versions)
                done += write(job.database, held, job.mode) ? 1 : 0;
            tidy(job.database, job.mode);
        }
        lock.lock();
        busy_ = false;
        written_ += done;
        changed_.notify_all();
    }
}

bool BackupKeeper::sameAsNewestBefore(const QString& database, const Held& held,
                                      const QByteArray& content) {
    Found self;
    std::vector<Found> all;
    const Found* newest = nullptr;
    // Another copy's version just before this one may still be on its way
    // into a backup: it is waited for a while, then taken as lost.
    for (int look = 0; look < 60; ++look) {
        all = scan(database);
        for (const Found& f : all)
            if (f.stem == held.stem)
                self = f;
        if (!self.time.isValid())
            return false;
        const QDateTime now = QDateTime::currentDateTime();
        newest = nullptr;
        for (const Found& f : all) {
            if (f.stem == held.stem || f.time > now || !f.before(self))
                continue;
            if (!newest || newest->before(f))
                newest = &f;
        }
        if (!newest || !newest->held || QFileInfo(newest->path).size() > 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!newest)
        return false;
    if (newest->held)
        return readHeld(newest->path) == content; // another copy's, still being kept
    return gzipReadFile(newest->path) == content;
}

bool BackupKeeper::write(const QString& database, const Held& held, unsigned mode) {
    if (held.stem.isEmpty()) {
        drop(held);
        return false;
    }
    const QString folder = folderOf(QFileInfo(database).absoluteFilePath());
    const QByteArray content = held.bytes.isEmpty() ? readHeld(held.path) : held.bytes;
    struct Dropped {
        const Held& h;
        ~Dropped() { drop(h); }
    } dropped{held};
    if (content.isEmpty())
        return false;
    if (held.replaced && sameAsNewestBefore(database, held, content))
        return false;
    if (!makeFolder(folder, mode))
        return false;
    const QByteArray packed = gzipCompress(content);
    if (packed.isEmpty())
        return false;

    // Written whole under a temporary name, then linked to its own: a
    // backup's name never holds a part of one.
    // Named by the process and a counter and made with open(), which
    // every checker of threads knows, unlike mkstemp.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp =
            platform::encodeName(
                folder +
                QStringLiteral("/.tmp-%1-%2").arg(platform::processId()).arg(counter.fetch_add(1)))
                .toStdString();
        fd = platform::openFile(temp.c_str(),
                                platform::WriteOnly | platform::Create | platform::Exclusive |
                                    platform::NoFollow,
                                0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    (void)platform::lockWhole(fd, true);
    bool ok = platform::setMode(fd, mode & 0660) == 0 && writeAll(fd, packed) &&
              platform::syncFile(fd) == 0;
    if (platform::closeFile(fd) != 0)
        ok = false;
    const QString name = folder + QLatin1Char('/') + held.stem + QStringLiteral(".gz");
    // The name was taken for this version: where it exists already, a copy
    // that took over a held version has written it.
    if (ok &&
        platform::placeUnlessTaken(temp.c_str(), platform::encodeName(name).constData()) != 0 &&
        errno != EEXIST)
        ok = false;
    platform::removeFile(temp.c_str());
    if (!ok)
        return false;
    (void)platform::syncDirectory(platform::encodeName(folder).constData());
    return true;
}

void BackupKeeper::tidy(const QString& database, unsigned mode) {
    const QString folder = folderOf(QFileInfo(database).absoluteFilePath());
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<Entry> backups;
    for (const Found& f : scan(database)) {
        if (!f.held) {
            backups.push_back({QFileInfo(f.path).fileName(), f.time, f.serial});
            continue;
        }
        // A version held by a copy that died before keeping it: kept now,
        // unless its bytes died with it.
        const QFileInfo info(f.path);
        if (info.metadataChangeTime().secsTo(now) <= 60)
            continue;
        if (info.size() > 0)
            write(database, Held{f.stem, f.path, {}, true}, mode);
        else if (info.metadataChangeTime().secsTo(now) > 3600)
            platform::removeFile(platform::encodeName(f.path).constData());
    }
    for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        if (f.fileName().startsWith(QLatin1String(".tmp-")) && f.lastModified().secsTo(now) > 60)
            removeIfAbandoned(f.absoluteFilePath()); // a new one may not be locked yet
        else if (f.fileName().startsWith(QLatin1String(".drop-")) &&
                 f.metadataChangeTime().secsTo(now) > 60)
            QFile::remove(f.absoluteFilePath()); // left by a copy that died
    }
    for (const QString& old : toRemove(std::move(backups), now))
        QFile::remove(folder + QLatin1Char('/') + old);
}

std::vector<BackupKeeper::Entry> BackupKeeper::list(const QString& database, const QDateTime& now) {
    std::vector<Entry> entries;
    for (const Found& f : scan(database))
        if (!f.held && f.time <= now)
            entries.push_back({QFileInfo(f.path).fileName(), f.time, f.serial});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.time != b.time ? a.time > b.time : a.serial > b.serial;
    });
    return entries;
}

QByteArray BackupKeeper::read(const QString& database, const Entry& entry) {
    return gzipReadFile(folderOf(database) + QLatin1Char('/') + entry.name);
}

QStringList BackupKeeper::toRemove(std::vector<Entry> backups, const QDateTime& now) {
    // What is dated after now stays, and counts for nothing.
    backups.erase(std::remove_if(backups.begin(), backups.end(),
                                 [&now](const Entry& e) { return e.time > now; }),
                  backups.end());
    std::sort(backups.begin(), backups.end(), [](const Entry& a, const Entry& b) {
        return a.time != b.time ? a.time > b.time : a.serial > b.serial;
    });
    std::vector<bool> kept(backups.size(), false);
    for (std::size_t i = 0; i < backups.size() && i < static_cast<std::size_t>(KeepRecent); ++i)
        kept[i] = true;
    // Newest first, so the first one seen of a day is that day's newest.
    const QDate today = now.date();
    std::map<qint64, bool> daySeen;
    for (std::size_t i = 0; i < backups.size(); ++i) {
        const qint64 age = backups[i].time.date().daysTo(today);
        if (age < 0 || age >= KeepDays || daySeen[age])
            continue;
        daySeen[age] = true;
        kept[i] = true;
    }
    QStringList removed;
    for (std::size_t i = 0; i < backups.size(); ++i)
        if (!kept[i])
            removed << backups[i].name;
    return removed;
}
