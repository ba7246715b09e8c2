#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Keeps every version of the database that a save writes, and the version
// it replaced where that is none of them (a file put there by hand),
// gzip-compressed (so that gunzip gives back the exact bytes), in the folder
// "<database>.backup" beside it, as "<name>.YYYYMMDD-HHMMSS.gz" in local
// time, "-2", "-3" after the time for later ones of the same second.
//
// The name is taken while the save holds the database's lock, so the names
// of all copies' backups are in the order of their saves; the version is
// held under that name at once (a second name of the file, or its bytes
// where the file system has no hard links) and compressed on a thread of
// its own after the save has returned. A backup is written under a
// temporary name, synced and then renamed, so that a crash at any moment
// leaves a whole backup or none; a version a copy held and could not keep
// before it died is kept by the next copy that keeps one.
class BackupKeeper {
public:
    static constexpr int KeepRecent = 20;
    static constexpr int KeepDays = 30;

    BackupKeeper();
    ~BackupKeeper(); // finishes what is queued
    BackupKeeper(const BackupKeeper&) = delete;
    BackupKeeper& operator=(const BackupKeeper&) = delete;

    // One version, held in the backup folder until it is compressed.
    struct Held {
        QString stem;          // the backup's name without ".gz"; empty: only to be removed
        QString path;          // the held file in the backup folder
        QByteArray bytes;      // the content, where no second name could be made
        bool replaced = false; // a version replaced, kept only where no backup has it
    };
    // Under the database's lock: takes the next name for a version of the
    // file at `database` (its final path) and holds `content`'s file there,
    // a second name of `file` (the database as it is now) where possible,
    // else a copy of `content`. Empty when the folder cannot be made.
    static std::optional<Held> hold(const QString& database, const QString& file,
                                    const std::function<QByteArray()>& content, unsigned mode,
                                    const QDateTime& when = QDateTime::currentDateTime());
    // What the program wrote last into the database, as the file's identity
    // (device, inode, size, time); under the lock. A file that still has it
    // is a version a backup holds already.
    // The identity counts only while the backup named `stem` is there or
    // still held: a copy that died before compressing it leaves none.
    static void noteWritten(const QString& database, const QByteArray& identity,
                            const QString& stem);
    static QByteArray writtenLast(const QString& database);
    static QString writtenLastStem(const QString& database);
    // A second name for the file at `database`, to be removed by the keeper
    // rather than kept: the blocks of a file replaced are freed there.
    static std::optional<Held> holdToDrop(const QString& database, unsigned mode);
    // Lets go of a version that was not written after all.
    static void drop(const Held& held);
    // Compresses the versions, in order; a version replaced only where it
    // differs from the newest backup before it.
    void keep(const QString& database, std::vector<Held> versions, unsigned mode);
    // `content` as the version of `when`, for tools and tests.
    void keep(const QString& database, const QByteArray& content, unsigned mode,
              const QDateTime& when = QDateTime::currentDateTime());
    // Waits until every queued backup is written or given up.
    void wait();
    // Nothing queued or being kept: no version lent to the keeper is read
    // any more.
    bool idle() const;
    // Backups written, for the record.
    int written() const;

    static QString folderOf(const QString& database);

    struct Entry {
        QString name;
        QDateTime time; // the time in its name
        int serial = 1; // 2 for "-2", ...
    };
    // The backups of `database` in its folder, newest first; those dated
    // after `now` (a clock that once ran ahead) are left out.
    static std::vector<Entry> list(const QString& database,
                                   const QDateTime& now = QDateTime::currentDateTime());
    // The table a backup holds; empty when it cannot be read whole.
    static QByteArray read(const QString& database, const Entry& entry);
    // The backups to remove: all but the KeepRecent most recent and the
    // newest of each of the last KeepDays days, by the time in their names.
    // Backups dated after `now` are never removed and never counted.
    static QStringList toRemove(std::vector<Entry> backups, const QDateTime& now);

private:
    struct Job {
        QString database;
        std::vector<Held> versions;
        unsigned mode;
    };
    void run();
    bool write(const QString& database, const Held& held, unsigned mode);
    bool sameAsNewestBefore(const QString& database, const Held& held, const QByteArray& content);
    void tidy(const QString& database, unsigned mode);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    int written_ = 0;
    std::thread worker_;
};

// The gzip form of `bytes`; empty when compression fails.
QByteArray gzipCompress(const QByteArray& bytes);
// The bytes of a gzip file; empty when it cannot be read whole.
QByteArray gzipReadFile(const QString& path);
