// The save under the worst a machine can do to it: killed at any moment,
// a disk that fills up.
#include "store/Backup.h"
#include "store/SettingsDatabase.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class SilentMessenger final : public Messenger {
public:
    int told = 0;
    void inform(const QString& caption, const QString& text) override {
        told +=
            caption == QStringLiteral("Ошибка") && text == QStringLiteral("Ошибка записи на диск");
    }
    bool ask(const QString&, const QString&) override { return false; }
};

QByteArray image(const SettingsDatabase& db) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    (void)db.writeTo(buffer);
    return buffer.data();
}

QStringList leftovers(const QTemporaryDir& dir) {
    QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    names.removeAll(QStringLiteral("ProgInfo_10.MGA"));
    names.removeAll(QStringLiteral("ProgInfo_10.MGA.lock")); // kept for good
    names.removeAll(QStringLiteral("ProgInfo_10.MGA.saves"));
    return names;
}

TEST(CrashSafety, KilledSavesLeaveTheOldOrTheNewFileAndNothingElse) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
    SettingsDatabase a, b;
    FillSample(a, 9000, 1);
    FillSample(b, 9000, 2);
    a.setFileName(path);
    b.setFileName(path);
    const QByteArray imageA = image(a), imageB = image(b);
    ASSERT_NE(imageA, imageB);
    SilentMessenger m;
    ASSERT_TRUE(a.Save(m));
    // Kills land anywhere within what a child does (start, then a save of
    // each table), however slow that is on this machine (a sanitizer build,
    // a busy core): timed here once, leaving the file as table A.
    QElapsedTimer clock;
    clock.start();
    {
        SettingsDatabase d;
        d.setFileName(path);
        (void)d.Load();
        FillSample(d, 9000, 2);
        ASSERT_TRUE(d.Save(m));
        FillSample(d, 9000, 1);
        ASSERT_TRUE(d.Save(m));
        d.backups().wait();
    }
    const auto window =
        static_cast<quint32>(std::max<qint64>(2 * clock.nsecsElapsed() / 1000, 40000));

    QRandomGenerator random(7);
    int sawA = 0, sawB = 0, sawOther = 0, maxLeftovers = 0;
    const int trials = 200;
    for (int trial = 0; trial < trials; ++trial) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // One copy of the program saves the two tables in turn until killed.
            SilentMessenger quiet;
            SettingsDatabase d;
            d.setFileName(path);
            (void)d.Load();
            for (int i = 0;; ++i) {
                FillSample(d, 9000, i % 2 ? 1 : 2);
                (void)d.Save(quiet);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(window)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        const QByteArray now = ReadAll(path);
        if (now == imageA)
            ++sawA;
        else if (now == imageB)
            ++sawB;
        else
            ++sawOther;
        maxLeftovers = std::max(maxLeftovers, static_cast<int>(leftovers(dir).size()));
    }
    std::cout << "[ crash    ] " << trials << " kills: table A " << sawA << ", table B " << sawB
              << ", anything else " << sawOther << ", at most " << maxLeftovers
              << " leftover files at a time\n";
    EXPECT_EQ(sawOther, 0);
    EXPECT_GT(sawA, 0);
    EXPECT_GT(sawB, 0);
    // One killed save's temporary file, its second name and its lease.
    EXPECT_LE(maxLeftovers, 3);
    // The next start sweeps what a killed save left.
    SettingsDatabase next;
    next.setFileName(path);
    EXPECT_TRUE(next.Load());
    EXPECT_TRUE(leftovers(dir).isEmpty()) << leftovers(dir).join(' ').toStdString();
    EXPECT_EQ(QFileInfo(path).size(), SettingsDatabase::FileSize);
}

TEST(CrashSafety, SaveInProgressIsNotSweptAway) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
    // A save of another copy of the program, halfway through its writes.
    const QString temp = path + QStringLiteral(".tmp-ABC123");
    QFile held(temp);
    ASSERT_TRUE(held.open(QIODevice::WriteOnly));
    ASSERT_EQ(::flock(held.handle(), LOCK_EX), 0);
    const QString stale = path + QStringLiteral(".tmp-DEF456");
    ASSERT_TRUE(WriteAll(stale, "half a table"));
    ASSERT_TRUE(WriteAll(stale + QStringLiteral(".old"), "second name"));
    removeStaleTemporaries(path);
    EXPECT_TRUE(QFileInfo::exists(temp));
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_FALSE(QFileInfo::exists(stale + QStringLiteral(".old")));
}

TEST(CrashSafety, FullDiskKeepsTheOldFileAndTheNextSaveSucceeds) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
    SettingsDatabase db;
    db.setFileName(path);
    FillSample(db, 100, 1);
    SilentMessenger m;
    ASSERT_TRUE(db.Save(m));
    const QByteArray before = ReadAll(path);
    FillSample(db, 9000, 2);
    const QByteArray wanted = image(db);

    // The child may write at most 1 MiB per file: the disk is full midway.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t hard = limit.rlim_max;
        limit.rlim_cur = 1 << 20;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        SilentMessenger quiet;
        const bool first = db.Save(quiet);
        const bool intact = ReadAll(path) == before;
        // Space again: the cards still in memory are saved.
        limit.rlim_cur = hard;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool second = db.Save(quiet);
        ::_exit(!first && intact && second && quiet.told == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadAll(path), wanted);
    EXPECT_TRUE(leftovers(dir).isEmpty());
}

} // namespace
