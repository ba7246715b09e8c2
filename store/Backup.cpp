#include "store/Backup.h"

#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

QByteArray GzipCompress(const QByteArray& bytes) {
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

void BackupKeeper::keep(const QString& database, QByteArray content, mode_t mode,
                        QDateTime when) {
    enqueue({database, std::move(content), mode, std::move(when), {}});
}

void BackupKeeper::keepOld(const QString& database, const QString& held, mode_t mode,
                           QDateTime when) {
    enqueue({database, {}, mode, std::move(when), held});
}

void BackupKeeper::enqueue(Job job) {
    {
        std::lock_guard lock(mutex_);
        // Saves in quick succession outrun the compression: beyond a few
        // waiting versions the newest is not kept (the next save tries again).
        if (queue_.size() >= MaxWaiting) {
            drop(job.held);
            return;
        }
        queue_.push_back(std::move(job));
    }
    changed_.notify_all();
}

namespace {

mode_t folderModeFor(mode_t mode) {
    // Those who may read and write the database, and nobody else.
    return 0700 | (mode & 0060) | ((mode & 0040) ? 0010 : 0);
}

bool makeFolder(const QString& folder, mode_t mode) {
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), folderModeFor(mode)) != 0 && errno != EEXIST)
        return false;
    struct ::stat st {};
    return ::lstat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

QString BackupKeeper::holdOld(const QString& database, mode_t mode) {
    const QString folder = folderOf(database);
    if (!makeFolder(folder, mode))
        return {};
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString held = folder + QStringLiteral("/.old-%1-%2")
                                          .arg(::getpid())
                                          .arg(counter.fetch_add(1));
        if (::link(QFile::encodeName(database).constData(), QFile::encodeName(held).constData()) == 0)
            return held;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

void BackupKeeper::drop(const QString& held) {
    if (!held.isEmpty())
        ::unlink(QFile::encodeName(held).constData());
}

void BackupKeeper::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
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
        Job job = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        const bool ok = write(job);
        lock.lock();
        busy_ = false;
        if (ok)
            ++written_;
        changed_.notify_all();
    }
}

namespace {

// "<name>.YYYYMMDD-HHMMSS.gz" or with "-N" before ".gz".
QRegularExpression backupName(const QString& base) {
    return QRegularExpression(QStringLiteral("^%1\\.\\d{8}-\\d{6}(-\\d+)?\\.gz$")
                                  .arg(QRegularExpression::escape(base)));
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

bool BackupKeeper::write(const Job& job) {
    const QFileInfo db(job.database);
    const QString folder = folderOf(db.absoluteFilePath());
    const QByteArray folderName = QFile::encodeName(folder);
    const mode_t fileMode = job.mode & 0660;
    QByteArray content = job.content;
    if (!job.held.isEmpty()) {
        QFile old(job.held);
        content = old.open(QIODevice::ReadOnly) ? old.readAll() : QByteArray();
        drop(job.held);
        if (content.isEmpty())
            return false;
    }
    if (!makeFolder(folder, job.mode))
        return false;
    const QByteArray packed = GzipCompress(content);
    if (packed.isEmpty())
        return false;

    // Written whole under a temporary name, then renamed: a backup's name
    // never holds a part of one.
    std::string temp = (folder + QStringLiteral("/.tmp-XXXXXX")).toStdString();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    ::flock(fd, LOCK_EX);
    bool ok = ::fchmod(fd, fileMode) == 0 && writeAll(fd, packed) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    QString name;
    if (ok) {
        const QString base = db.fileName() + QLatin1Char('.') +
                             job.when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
        // link() never replaces: the first free name wins.
        for (int n = 1; n < 1000; ++n) {
            name = folder + QLatin1Char('/') + base +
                   (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".gz");
            if (::link(temp.c_str(), QFile::encodeName(name).constData()) == 0)
                break;
            name.clear();
            if (errno != EEXIST)
                break;
        }
        ok = !name.isEmpty();
    }
    ::unlink(temp.c_str());
    if (!ok)
        return false;
    const int dir = ::open(folderName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }

    // The keeping rule.
    const QRegularExpression pattern = backupName(db.fileName());
    std::vector<Entry> backups;
    const QFileInfoList all = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& f : all) {
        if (pattern.match(f.fileName()).hasMatch())
            backups.push_back({f.fileName(), f.lastModified()});
        else if (f.fileName().startsWith(QLatin1String(".tmp-")) &&
                 f.lastModified().secsTo(QDateTime::currentDateTime()) > 60)
            RemoveIfAbandoned(f.absoluteFilePath()); // a new one may not be locked yet
        else if (f.fileName().startsWith(QLatin1String(".old-")) &&
                 f.metadataChangeTime().secsTo(QDateTime::currentDateTime()) > 3600)
            QFile::remove(f.absoluteFilePath()); // held by a copy that died before keeping it
    }
    for (const QString& old : toRemove(std::move(backups), QDateTime::currentDateTime()))
        QFile::remove(folder + QLatin1Char('/') + old);
    return true;
}

QStringList BackupKeeper::toRemove(std::vector<Entry> backups, const QDateTime& now) {
    std::sort(backups.begin(), backups.end(), [](const Entry& a, const Entry& b) {
        return a.modified != b.modified ? a.modified > b.modified : a.name > b.name;
    });
    std::vector<bool> kept(backups.size(), false);
    for (std::size_t i = 0; i < backups.size() && i < static_cast<std::size_t>(KeepRecent); ++i)
        kept[i] = true;
    // Newest first, so the first one seen of a day is that day's newest.
    const QDate today = now.date();
    std::map<qint64, bool> daySeen;
    for (std::size_t i = 0; i < backups.size(); ++i) {
        const qint64 age = backups[i].modified.date().daysTo(today);
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
