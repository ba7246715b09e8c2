#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

// Keeps each version of the database that a save replaces, gzip-compressed
// (so that gunzip gives back the exact bytes), in the folder
// "<database>.backup" beside it, as "<name>.YYYYMMDD-HHMMSS.gz" in local
// time ("-2", "-3" where the name is taken). Compressing takes longer than a
// save, so it is done on a thread of its own after the save has returned; a
// backup is written under a temporary name, synced and then renamed, so that
// a crash at any moment leaves a whole backup or none. A backup that cannot
// be made is not a failure of the save: the next save makes another.
class BackupKeeper {
public:
    static constexpr int KeepRecent = 20;
    static constexpr int KeepDays = 30;
    static constexpr std::size_t MaxWaiting = 8;

    BackupKeeper();
    ~BackupKeeper(); // finishes what is queued
    BackupKeeper(const BackupKeeper&) = delete;
    BackupKeeper& operator=(const BackupKeeper&) = delete;

    // `content` is the file at `database` (its final path) as it was before
    // being replaced; `mode` its permission bits.
    void keep(const QString& database, QByteArray content, mode_t mode,
              QDateTime when = QDateTime::currentDateTime());
    // The same, for a file about to be replaced: a second name is made for it
    // in the backup folder now (no bytes are copied), and read from there
    // later. Returns that name, to be given to keepOld() once the file has
    // been replaced or to drop() when it was not; empty when none was made.
    static QString holdOld(const QString& database, mode_t mode);
    void keepOld(const QString& database, const QString& held, mode_t mode,
                 QDateTime when = QDateTime::currentDateTime());
    static void drop(const QString& held);
    // Waits until every queued backup is written or given up.
    void wait();
    // Backups written, for the record.
    int written() const;

    static QString folderOf(const QString& database);

    struct Entry {
        QString name;
        QDateTime modified;
    };
    // The backups to remove: all but the KeepRecent most recent and the
    // newest of each of the last KeepDays days, by modification time.
    static QStringList toRemove(std::vector<Entry> backups, const QDateTime& now);

private:
    struct Job {
        QString database;
        QByteArray content;
        mode_t mode;
        QDateTime when;
        QString held; // read from this second name, then removed
    };
    void enqueue(Job job);
    void run();
    bool write(const Job& job);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    int written_ = 0;
    std::thread worker_;
};

// The gzip form of `bytes`; empty when compression fails.
QByteArray GzipCompress(const QByteArray& bytes);
