// Copies of the program on one folder that they reach as two laptops reach a
// network share: through sshfs mounts of their own, whose record locks hold
// on their own mount only and whose times and sizes come from a cache.
#include "store/Backup.h"
#include "store/CardFields.h"
#include "store/DatabaseLock.h"
#include "store/SettingsDatabase.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SystemFiles.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

namespace {

const QString kName = QStringLiteral("ProgInfo_10.MGA");

bool appearsWithin(const QString& sign, int ms) {
    QElapsedTimer t;
    t.start();
    while (!QFileInfo::exists(sign) && t.elapsed() < ms)
        QThread::msleep(1);
    return QFileInfo::exists(sign);
}

// A copy of the program on one mount: round after round it waits for
// ARG3/go-N, changes its own card of the round and saves at once, then looks
// at the file as an idle window does. Fails at the first save that does
// not go through without a box.
UOO_CHILD_ROLE(share_rounds, [](const QStringList& args) {
    const int copy = args[1].toInt(), rounds = args[2].toInt();
    SettingsDatabase d;
    d.setFileName(args[0]);
    (void)d.Load();
    ScriptedMessenger m;
    for (int r = 0; r < rounds; ++r) {
        if (!appearsWithin(args[3] + QStringLiteral("/go-%1").arg(r), 60000))
            return 2;
        // The same card, its object's name edited.
        const int slot = 2 * r + copy;
        d.Slot(slot).setText(Field::Edit1, QStringLiteral("edit %1").arg(slot));
        const auto saved = d.saveMerged(m);
        if (saved.result != SettingsDatabase::Saved || !m.boxes.empty()) {
            for (const auto& q : saved.merge.conflicts)
                std::cerr << "conflict in row " << q.slot << "\n";
            for (int g : saved.merge.gone)
                std::cerr << "gone " << g << "\n";
            std::cerr << "copy " << copy << ", round " << r << ": result " << saved.result
                      << (m.boxes.empty() ? QString() : m.boxes.front().text).toStdString() << "\n";
            return 1;
        }
        WriteAll(args[3] + QStringLiteral("/done-%1-%2").arg(r).arg(copy), "done");
        if (d.fileMayHaveChanged())
            (void)d.takeFileChanges();
    }
    return 0;
});

class SharedMount : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new QTemporaryDir(QStringLiteral("/tmp/uoo-share-XXXXXX"));
        QProcess start;
        start.start(script(), {QStringLiteral("start"), root_->path()});
        start.waitForFinished(60000);
        const QString said = QString::fromLocal8Bit(start.readAll()).trimmed();
        if (start.exitCode() == 77)
            skip_ = said;
        else if (start.exitStatus() != QProcess::NormalExit || start.exitCode() != 0)
            broken_ = said + QString::fromLocal8Bit(start.readAllStandardError());
    }
    static void TearDownTestSuite() {
        QProcess::execute(script(), {QStringLiteral("stop"), root_->path()});
        delete root_;
        root_ = nullptr;
    }
    static QString script() {
        return QFileInfo(QStringLiteral(__FILE__)).absolutePath() +
               QStringLiteral("/../support/share-over-ssh.sh");
    }

    void SetUp() override {
        if (!skip_.isEmpty())
            GTEST_SKIP() << "no shared mounts here: " << skip_.toStdString();
        ASSERT_TRUE(broken_.isEmpty()) << broken_.toStdString();
        // A folder of its own on the share for each case: the mounts cache
        // what they listed before.
        folder_ =
            QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(QDir(root_->path() + QStringLiteral("/share")).mkpath(folder_));
        SettingsDatabase first;
        first.setFileName(on("a"));
        for (int i = 0; i < 40; ++i)
            first.Slot(i) = NamedCard(QStringLiteral("card %1").arg(i), 100u + std::uint32_t(i));
        ScriptedMessenger m;
        ASSERT_TRUE(first.Save(m));
        first.backups().wait();
    }
    // The database as a copy on mount `m` names it.
    QString on(const char* m) const {
        return root_->path() + QLatin1Char('/') + QLatin1String(m) + QLatin1Char('/') + folder_ +
               QLatin1Char('/') + kName;
    }
    // The database on the server's own disk.
    QString served() const { return on("share"); }
    std::unique_ptr<SettingsDatabase> copyOn(const char* m) const {
        auto db = std::make_unique<SettingsDatabase>();
        db->setFileName(on(m));
        EXPECT_TRUE(db->Load());
        return db;
    }
    // A card's name (or object) as the file on the server holds it, read
    // without a copy of the program (whose start would sweep what is left
    // there).
    QString nameIn(int slot, TextField field = Field::NCardEdit) const {
        const QByteArray bytes = ReadAll(served());
        SettingsRecord r;
        if (bytes.size() >= (slot + 1) * SettingsRecord::Size)
            std::memcpy(r.data(), bytes.constData() + slot * SettingsRecord::Size,
                        SettingsRecord::Size);
        return r.text(field);
    }
    QStringList leftovers() const {
        QStringList names = QDir(QFileInfo(served()).absolutePath()).entryList(QDir::Files);
        for (const QString& kept :
             {kName, kName + QStringLiteral(".lock"), kName + QStringLiteral(".saves")})
            names.removeAll(kept);
        return names;
    }
    // A second machine as the program sees one: a name and an identity of
    // its own, the same mounts.
    QStringList otherMachine() const {
        const QString id = root_->path() + QStringLiteral("/other-machine-id");
        WriteAll(id, "0123456789abcdef0123456789abcdef\n");
        QString binds;
        for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"})
            if (QFileInfo::exists(QLatin1String(file)))
                binds += QStringLiteral("mount --bind %1 %2 && ").arg(id, QLatin1String(file));
        return {QStringLiteral("unshare"), QStringLiteral("-mu"), QStringLiteral("sh"),
                QStringLiteral("-c"),
                binds + QStringLiteral("hostname laptop-2 && exec \"$0\" \"$@\"")};
    }

    static QTemporaryDir* root_;
    static QString skip_, broken_;
    QString folder_;
};

QTemporaryDir* SharedMount::root_ = nullptr;
QString SharedMount::skip_;
QString SharedMount::broken_;

TEST_F(SharedMount, TwoCopiesOnTwoMountsSavingTogetherLoseNoEdit) {
    constexpr int Rounds = 20;
    QTemporaryDir barrier;
    Child a("share_rounds",
            {on("a"), QStringLiteral("0"), QString::number(Rounds), barrier.path()});
    Child b("share_rounds",
            {on("b"), QStringLiteral("1"), QString::number(Rounds), barrier.path()});
    for (int r = 0; r < Rounds; ++r) {
        ASSERT_TRUE(WriteAll(barrier.filePath(QStringLiteral("go-%1").arg(r)), "go"));
        for (int c = 0; c < 2; ++c)
            ASSERT_TRUE(
                appearsWithin(barrier.filePath(QStringLiteral("done-%1-%2").arg(r).arg(c)), 20000))
                << "round " << r << ", copy " << c;
        // Both edits in the file right after the round.
        for (int slot = 2 * r; slot < 2 * r + 2; ++slot)
            EXPECT_EQ(nameIn(slot, Field::Edit1), QStringLiteral("edit %1").arg(slot))
                << "round " << r;
    }
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    int kept = 0;
    for (int slot = 0; slot < 2 * Rounds; ++slot)
        kept += nameIn(slot, Field::Edit1) == QStringLiteral("edit %1").arg(slot) ? 1 : 0;
    std::cout << "[ share    ] " << Rounds << " rounds, " << 2 * Rounds << " edits: " << kept
              << " kept, " << 2 * Rounds - kept << " lost\n";
    EXPECT_EQ(kept, 2 * Rounds);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(QLatin1Char(' ')).toStdString();
}

TEST_F(SharedMount, ALeaseOfAMachineThatDiedIsTakenOverOnceItIsSilent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second machine's namespace needs root";
    QTemporaryDir signs;
    const QString held = signs.filePath(QStringLiteral("held")),
                  go = signs.filePath(QStringLiteral("go"));
    // The other laptop saves card 7 and dies inside its save, its lease and
    // its temporary file left on the share.
    Child other("save_held", {on("a"), QStringLiteral("7"), held, go}, otherMachine());
    ASSERT_TRUE(appearsWithin(held, 20000));
    const auto holder = Lease::peek(served());
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->machine, QStringLiteral("laptop-2"));
    other.kill();
    auto mine = copyOn("b");
    mine->Slot(8) = NamedCard(QStringLiteral("mine"), 108);
    bool waited = false;
    mine->onWaiting = [&](bool on) { waited = waited || on; };
    QElapsedTimer clock;
    clock.start();
    ScriptedMessenger m;
    EXPECT_TRUE(mine->Save(m));
    const qint64 took = clock.elapsed();
    std::cout << "[ lease    ] a dead machine's lease taken over after " << took << " ms\n";
    EXPECT_TRUE(waited);
    // Not before its holder has been silent for the stated time.
    EXPECT_GE(took, Lease::StaleMs - 1000);
    EXPECT_EQ(nameIn(8), QStringLiteral("mine"));
    EXPECT_EQ(nameIn(7), QStringLiteral("card 7")); // its save never finished
    mine->backups().wait();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(QLatin1Char(' ')).toStdString();
}

TEST_F(SharedMount, AHolderThatHungAndWakesUpBuriesNothing) {
    QTemporaryDir signs;
    const QString held = signs.filePath(QStringLiteral("held")),
                  go = signs.filePath(QStringLiteral("go"));
    // A laptop that went to sleep inside its save of card 7.
    Child sleeper("save_held", {on("a"), QStringLiteral("7"), held, go});
    ASSERT_TRUE(appearsWithin(held, 20000));
    ASSERT_EQ(::kill(pid_t(sleeper.pid()), SIGSTOP), 0);
    auto mine = copyOn("b");
    mine->Slot(8) = NamedCard(QStringLiteral("mine"), 108);
    ScriptedMessenger m;
    EXPECT_TRUE(mine->Save(m));
    EXPECT_EQ(nameIn(8), QStringLiteral("mine"));
    // It wakes up and goes on with its save, which must not put the file
    // it read before in place of this one.
    ASSERT_TRUE(WriteAll(go, "go"));
    ASSERT_EQ(::kill(pid_t(sleeper.pid()), SIGCONT), 0);
    EXPECT_EQ(sleeper.wait(), 0);
    EXPECT_EQ(nameIn(7), QStringLiteral("7"));
    EXPECT_EQ(nameIn(8), QStringLiteral("mine"));
}

TEST_F(SharedMount, ASaveWhoseMountDiesLeavesAWholeFileAndTheNextSaveSweeps) {
    QTemporaryDir signs;
    const QString held = signs.filePath(QStringLiteral("held")),
                  go = signs.filePath(QStringLiteral("go"));
    Child dying("save_held", {on("c"), QStringLiteral("7"), held, go});
    ASSERT_TRUE(appearsWithin(held, 20000));
    const QString mount = QFileInfo(QFileInfo(on("c")).absolutePath()).absolutePath();
    QProcess::execute(script(), {QStringLiteral("kill"), mount});
    dying.kill();
    EXPECT_EQ(QFileInfo(served()).size(), SettingsDatabase::FileSize);
    EXPECT_EQ(nameIn(7), QStringLiteral("card 7"));
    EXPECT_FALSE(leftovers().isEmpty()); // its temporary file and its lease
    auto mine = copyOn("b");
    mine->Slot(8) = NamedCard(QStringLiteral("mine"), 108);
    ScriptedMessenger m;
    EXPECT_TRUE(mine->Save(m));
    mine->backups().wait();
    EXPECT_EQ(nameIn(8), QStringLiteral("mine"));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(QLatin1Char(' ')).toStdString();
}

// What this process has read through the system, in bytes.
qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("rchar: "))
            return line.mid(7).toLongLong();
    return -1;
}

TEST_F(SharedMount, AnIdleCopyLooksAtAFewHundredBytesAndStillSeesEverySave) {
    auto idle = copyOn("a");
    constexpr int LooksAMinute = 30; // one every two seconds
    const qint64 before = bytesRead();
    int changes = 0;
    for (int i = 0; i < LooksAMinute; ++i)
        changes += idle->fileMayHaveChanged() ? 1 : 0;
    const qint64 read = bytesRead() - before;
    std::cout << "[ looks    ] an idle copy on the share reads " << read << " bytes a minute\n";
    EXPECT_EQ(changes, 0);
    EXPECT_LT(read, LooksAMinute * 4096);
    // Another laptop's save, in the same second as the load: seen at once.
    auto other = copyOn("b");
    other->Slot(9) = NamedCard(QStringLiteral("theirs"), 109);
    ScriptedMessenger m;
    ASSERT_TRUE(other->Save(m));
    EXPECT_TRUE(idle->fileMayHaveChanged());
    EXPECT_TRUE(idle->takeFileChanges().taken);
    EXPECT_EQ(std::as_const(*idle).Slot(9).text(Field::NCardEdit), QStringLiteral("theirs"));
    // Quiet again: at most once more, where the mount's cache of the name
    // catches up with the file read.
    changes = 0;
    for (int i = 0; i < LooksAMinute; ++i)
        if (idle->fileMayHaveChanged()) {
            ++changes;
            (void)idle->takeFileChanges();
        }
    EXPECT_LE(changes, 1);
}

TEST_F(SharedMount, OnADriveWithoutAnExclusiveCreateOneCopyWorksAndTheOthersReadOnly) {
    auto first = std::make_unique<SettingsDatabase>();
    first->setFileName(on("cloud"));
    ASSERT_TRUE(first->Load());
    EXPECT_FALSE(first->heldBy().has_value());
    // A second copy, there or through a mount that could share: told who
    // has it, and saving nothing.
    for (const char* m : {"cloud", "b"}) {
        auto second = copyOn(m);
        ASSERT_TRUE(second->heldBy().has_value()) << m;
        EXPECT_EQ(second->heldBy()->machine, QSysInfo::machineHostName());
        second->Slot(9) = NamedCard(QStringLiteral("second"), 109);
        ScriptedMessenger box;
        EXPECT_EQ(second->saveMerged(box).result, SettingsDatabase::ReadOnly) << m;
        EXPECT_EQ(nameIn(9), QStringLiteral("card 9"));
    }
    first->Slot(8) = NamedCard(QStringLiteral("first"), 108);
    ScriptedMessenger m;
    EXPECT_TRUE(first->Save(m));
    EXPECT_EQ(nameIn(8), QStringLiteral("first"));
    // Once the first has closed, the next copy takes the folder.
    first.reset();
    auto next = copyOn("cloud");
    EXPECT_FALSE(next->heldBy().has_value());
    next->Slot(9) = NamedCard(QStringLiteral("next"), 109);
    EXPECT_TRUE(next->Save(m));
    EXPECT_EQ(nameIn(9), QStringLiteral("next"));
}

} // namespace
