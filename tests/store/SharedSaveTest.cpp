#include "platform/FileSystem.h"
#include "store/Backup.h"
#include "store/CardFields.h"
#include "store/DatabaseLock.h"
#include "store/SaveNote.h"
#include "store/SettingsDatabase.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SystemFiles.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

// A copy that saves card ARG1 and stops right before its file is synced,
// holding the lock, until the file ARG3 appears; it says so by making ARG2.
UOO_CHILD_ROLE(save_held, [](const QStringList& args) {
    struct Holding final : public FileSystemCalls {
        QString held, go;
        bool once = true;
        int fsync(int fd) override {
            if (std::exchange(once, false)) {
                WriteAll(held, "held");
                for (int i = 0; i < 4000 && !QFileInfo::exists(go); ++i)
                    QThread::msleep(5);
            }
            return FileSystemCalls::fsync(fd);
        }
    } holding;
    holding.held = args[2];
    holding.go = args[3];
    SettingsDatabase d;
    d.setFileName(args[0]);
    (void)d.Load();
    const int slot = args[1].toInt();
    d.Slot(slot) = NamedCard(args[1], 100u + std::uint32_t(slot));
    d.setFileSystemCalls(&holding);
    ScriptedMessenger m;
    return d.Save(m) ? 0 : 1;
});

// A copy that takes the lock between copies on ARG0, says so by making
// ARG1 and then holds it until it is killed.
UOO_CHILD_ROLE(hold_lock, [](const QStringList& args) {
    const int fd = platform::openFile(QFile::encodeName(args[0]).constData(),
                                      platform::ReadWrite | platform::Create);
    if (fd < 0 || platform::lockRecord(fd) != platform::RecordLock::Taken)
        return 1;
    WriteAll(args[1], "held");
    for (;;)
        QThread::sleep(1);
});

// A copy that saves its own cards ARG1 times, each in slot
// 100 * (ARG0 + 1) + n, and fails at the first save that does not go through
// untroubled.
UOO_CHILD_ROLE(save_many, [](const QStringList& args) {
    const int copy = args[0].toInt();
    SettingsDatabase d;
    d.setFileName(args[2]);
    (void)d.Load();
    ScriptedMessenger m;
    for (int s = 0; s < args[1].toInt(); ++s) {
        d.Slot(100 * (copy + 1) + s) = NamedCard(QString::number(s), static_cast<std::uint32_t>(s));
        if (!d.Save(m) || !m.boxes.empty())
            return 1;
    }
    return 0;
});

// Keeps a new version of a table beside ARG0 again and again until killed,
// saying by the file ARG1 when the first is whole.
UOO_CHILD_ROLE(keep_backups, [](const QStringList& args) {
    QByteArray table(SettingsDatabase::FileSize, 'k');
    BackupKeeper keeper;
    for (int i = 0;; ++i) {
        // Each a version of its own, so none is skipped as a repeat.
        std::memcpy(table.data(), &i, sizeof i);
        keeper.keep(args[0], table, 0600, QDateTime::currentDateTime().addSecs(i));
        keeper.wait();
        if (i == 0 && !WriteAll(args[1], "kept"))
            return 1;
    }
});

// Waits up to 20 s for a child's sign.
bool appears(const QString& sign) {
    QElapsedTimer t;
    t.start();
    while (!QFileInfo::exists(sign) && t.elapsed() < 20000)
        QThread::msleep(5);
    return QFileInfo::exists(sign);
}

class SharedFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
        // Afresh: no file, no backups from a case before.
        QFile::remove(path);
        QDir(BackupKeeper::folderOf(path)).removeRecursively();
        SettingsDatabase first;
        first.setFileName(path);
        first.Slot(0) = NamedCard(QStringLiteral("0"), 100);
        first.Slot(1) = NamedCard(QStringLiteral("1"), 101);
        ScriptedMessenger m;
        ASSERT_TRUE(first.Save(m));
    }
    std::unique_ptr<SettingsDatabase> copy() {
        auto db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        EXPECT_TRUE(db->Load());
        return db;
    }
    std::unique_ptr<SettingsDatabase> reread() { return copy(); }
    QTemporaryDir dir;
    QString path;
};

TEST_F(SharedFile, EditsOfDifferentCardsInTwoProcessesAreAllKept) {
    // (what copy A does, what copy B does), saved in both orders.
    const struct {
        const char* name;
        std::function<void(SettingsDatabase&)> a, b;
        std::function<bool(const SettingsDatabase&)> check;
    } cases[] = {
        {"edits",
         [](SettingsDatabase& d) { d.Slot(0).setText(Field::Edit1, QStringLiteral("из A")); },
         [](SettingsDatabase& d) { d.Slot(5) = NamedCard(QStringLiteral("5"), 105); },
         [](const SettingsDatabase& d) {
             return d.Slot(0).text(Field::Edit1) == QStringLiteral("из A") &&
                    d.Slot(5).CodeUoo() == 105 && d.Slot(1).CodeUoo() == 101;
         }},
        {"a delete and an edit", [](SettingsDatabase& d) { d.Slot(1).Clear(); },
         [](SettingsDatabase& d) { d.Slot(0).setText(Field::Edit1, QStringLiteral("из B")); },
         [](const SettingsDatabase& d) {
             return !d.Slot(1).IsUsed() && d.Slot(0).text(Field::Edit1) == QStringLiteral("из B");
         }},
        {"a stamp and an edit of the same card",
         [](SettingsDatabase& d) { d.StampProgrammed(0, 0xBEEF, 46100.0); },
         [](SettingsDatabase& d) { d.Slot(0).setText(Field::Edit1, QStringLiteral("правка")); },
         [](const SettingsDatabase& d) {
             return d.Slot(0).ProgID1() == 0xBEEF && d.Slot(0).ProgDate() == 46100.0 &&
                    d.Slot(0).text(Field::Edit1) == QStringLiteral("правка");
         }},
        {"a table read in whole and an edit",
         [](SettingsDatabase& d) {
             QByteArray table;
             QBuffer out(&table);
             out.open(QIODevice::WriteOnly);
             ASSERT_TRUE(d.writeTo(out));
             const SettingsRecord seventh = NamedCard(QStringLiteral("7"), 107);
             table.replace(
                 7 * SettingsRecord::Size, SettingsRecord::Size,
                 QByteArray(reinterpret_cast<const char*>(seventh.data()), SettingsRecord::Size));
             QBuffer in(&table);
             in.open(QIODevice::ReadOnly);
             ASSERT_TRUE(d.loadFrom(in, table.size()));
         },
         [](SettingsDatabase& d) { d.Slot(5) = NamedCard(QStringLiteral("5"), 105); },
         [](const SettingsDatabase& d) {
             return d.Slot(7).CodeUoo() == 107 && d.Slot(5).CodeUoo() == 105;
         }},
    };
    for (const auto& c : cases) {
        for (bool aFirst : {true, false}) {
            SetUp();
            // Both copies start from the same file, then save in turn.
            auto a = copy();
            auto b = copy();
            c.a(*a);
            c.b(*b);
            auto saveIn = [](SettingsDatabase& d) {
                ScriptedMessenger m;
                return d.Save(m) && m.boxes.empty();
            };
            ASSERT_TRUE(saveIn(aFirst ? *a : *b)) << c.name;
            ASSERT_TRUE(saveIn(aFirst ? *b : *a)) << c.name;
            EXPECT_TRUE(c.check(*reread())) << c.name << (aFirst ? ", A first" : ", B first");
        }
    }
}

TEST_F(SharedFile, AConflictIsHandedBackUnwrittenAndEachAnswerHonoured) {
    for (bool keepMine : {true, false}) {
        SetUp();
        auto a = copy();
        auto b = copy();
        a->Slot(0).setText(Field::Edit1, QStringLiteral("вариант A"));
        b->Slot(0).setText(Field::Edit1, QStringLiteral("вариант B"));
        b->Slot(3) = NamedCard(QStringLiteral("3"), 103);
        ScriptedMessenger m;
        ASSERT_TRUE(a->Save(m));
        const QByteArray before = ReadAll(path);
        // The store asks nothing itself: it hands the question back, holding
        // no lock, and writes nothing.
        const auto asking = b->saveMerged(m);
        ASSERT_EQ(asking.result, SettingsDatabase::Asking);
        ASSERT_EQ(asking.merge.conflicts.size(), 1u);
        EXPECT_EQ(asking.merge.conflicts[0].slot, 0);
        EXPECT_EQ(asking.merge.conflicts[0].name, QStringLiteral("0"));
        EXPECT_EQ(ReadAll(path), before);
        EXPECT_TRUE(m.boxes.empty());
        MergeAnswers answers;
        answers.conflicts[0] = {asking.merge.conflicts[0].fileVersion, keepMine};
        ASSERT_EQ(b->saveMerged(m, answers).result, SettingsDatabase::Saved);
        const auto fresh = reread();
        const SettingsDatabase& now = *fresh;
        EXPECT_EQ(now.Slot(0).text(Field::Edit1),
                  keepMine ? QStringLiteral("вариант B") : QStringLiteral("вариант A"));
        EXPECT_EQ(b->Slot(0).text(Field::Edit1), now.Slot(0).text(Field::Edit1));
        EXPECT_EQ(now.Slot(3).CodeUoo(), 103u); // everything else saved
        EXPECT_EQ(b->changedSlots(), keepMine ? std::vector<int>{} : std::vector<int>{0});
    }
}

TEST_F(SharedFile, ACopyKilledHoldingTheLockBlocksNobody) {
    const QString held = dir.filePath(QStringLiteral("held"));
    Child holder("hold_lock", {SettingsDatabase::lockFileOf(path), held});
    ASSERT_TRUE(appears(held));
    holder.kill();
    auto a = copy();
    a->Slot(7) = NamedCard(QStringLiteral("7"), 107);
    ScriptedMessenger m;
    EXPECT_TRUE(a->Save(m));
    EXPECT_EQ(reread()->Slot(7).CodeUoo(), 107u);
}

TEST_F(SharedFile, ManyCopiesSavingAtOnceLoseNothing) {
    constexpr int Copies = 4, Saves = 60;
    std::vector<std::unique_ptr<Child>> children;
    for (int c = 0; c < Copies; ++c)
        children.push_back(std::make_unique<Child>(
            "save_many", QStringList{QString::number(c), QString::number(Saves), path}));
    int failed = 0;
    for (const auto& child : children)
        failed += child->wait(120000) == 0 ? 0 : 1;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(QFileInfo(path).size(), SettingsDatabase::FileSize);
    const auto fresh = reread();
    const SettingsDatabase& now = *fresh;
    int kept = 0;
    for (int c = 0; c < Copies; ++c)
        for (int s = 0; s < Saves; ++s)
            kept += now.Slot(100 * (c + 1) + s).IsUsed() ? 1 : 0;
    EXPECT_EQ(kept, Copies * Saves);
    EXPECT_EQ(now.Slot(0).CodeUoo(), 100u);
}

TEST_F(SharedFile, ADamagedFileIsNotMergedAndMemoryKeepsEverything) {
    for (const QByteArray& damage : {QByteArray("short"), QByteArray(700, 'x')}) {
        SetUp();
        auto a = copy();
        a->Slot(4) = NamedCard(QStringLiteral("4"), 104);
        ASSERT_TRUE(WriteAll(path, damage));
        ScriptedMessenger m;
        EXPECT_FALSE(a->Save(m));
        ASSERT_EQ(m.boxes.size(), 1u);
        EXPECT_EQ(m.boxes[0].text, QStringLiteral("Ошибка записи на диск"));
        EXPECT_EQ(ReadAll(path), damage);
        EXPECT_EQ(a->Slot(4).CodeUoo(), 104u);
        EXPECT_EQ(a->Slot(0).CodeUoo(), 100u);
    }
}

TEST_F(SharedFile, AFileCutShortIsATableAGoneOneIsWrittenAnew) {
    auto a = copy();
    a->Slot(9) = NamedCard(QStringLiteral("9"), 109);
    // Cut to two cards and a template: the loader reads that, and so does
    // every save and take.
    ASSERT_TRUE(WriteAll(path, ReadAll(path).left(3 * SettingsRecord::Size)));
    ScriptedMessenger m;
    EXPECT_TRUE(a->Save(m));
    EXPECT_EQ(reread()->Slot(9).CodeUoo(), 109u);
    // Gone altogether: the table in memory is written whole.
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(a->Save(m));
    const auto now = reread();
    EXPECT_EQ(now->Slot(0).CodeUoo(), 100u);
    EXPECT_EQ(now->Slot(9).CodeUoo(), 109u);
}

TEST_F(SharedFile, ACopyThatTookAShortFileSavesAgain) {
    // Started on no file; its first save failed (a full disk).
    ASSERT_TRUE(QFile::remove(path));
    SettingsDatabase a;
    a.setFileName(path);
    (void)a.Load();
    a.Slot(2) = NamedCard(QStringLiteral("2"), 102);
    // Another copy writes a file shorter than a whole table.
    SettingsRecord other = NamedCard(QStringLiteral("0"), 100);
    QByteArray shortFile(2 * SettingsRecord::Size, '\0');
    std::memcpy(shortFile.data(), other.data(), SettingsRecord::Size);
    ASSERT_TRUE(WriteAll(path, shortFile));
    ASSERT_TRUE(a.takeFileChanges().taken);
    ScriptedMessenger m;
    EXPECT_TRUE(a.Save(m));
    EXPECT_TRUE(m.boxes.empty());
    const auto now = reread();
    EXPECT_EQ(now->Slot(0).CodeUoo(), 100u);
    EXPECT_EQ(now->Slot(2).CodeUoo(), 102u);
}

TEST_F(SharedFile, AFileThatLostCardsIsNotTakenWithoutAnAnswer) {
    auto a = copy();
    for (int i = 2; i < 40; ++i)
        a->Slot(i) = NamedCard(QString::number(i), 100u + std::uint32_t(i));
    ScriptedMessenger m;
    ASSERT_TRUE(a->Save(m));
    // The file emptied; a new copy starts on it and saves one card.
    ASSERT_TRUE(WriteAll(path, {}));
    SettingsDatabase c;
    c.setFileName(path);
    (void)c.Load();
    c.Slot(0) = NamedCard(QStringLiteral("C"), 900);
    ASSERT_TRUE(c.Save(m));
    const auto taken = a->takeFileChanges();
    EXPECT_FALSE(taken.taken);
    EXPECT_EQ(taken.gone.size(), 40u); // row 0 holds C's card now
    EXPECT_EQ(taken.firstGoneName, QStringLiteral("0"));
    EXPECT_TRUE(a->Slot(39).IsUsed());
    // "No": this copy's cards are written back at once, beside C's.
    MergeAnswers keep;
    keep.goneAsked = taken.gone;
    ASSERT_EQ(a->saveMerged(m, keep).result, SettingsDatabase::Saved);
    const auto now = reread();
    EXPECT_EQ(now->Slot(0).CodeUoo(), 900u);
    EXPECT_EQ(now->Slot(39).CodeUoo(), 139u);
    EXPECT_EQ(now->Slot(40).CodeUoo(), 100u); // this copy's card 0, moved
    // "Yes" another time: the file as it is.
    auto b = copy();
    for (int i : {5, 6})
        now->Slot(i).Clear();
    ASSERT_TRUE(now->Save(m));
    const auto second = b->takeFileChanges();
    ASSERT_EQ(second.gone, (std::vector<int>{5, 6}));
    MergeAnswers take;
    take.goneAsked = second.gone;
    take.acceptGone = true;
    EXPECT_TRUE(b->takeFileChanges(take).taken);
    EXPECT_FALSE(b->Slot(5).IsUsed());
}

TEST_F(SharedFile, KeptCardsWhoseWriteFailsAreNotAskedAboutAgainUntilTheFileChanges) {
    auto a = copy();
    for (int i = 2; i < 6; ++i)
        a->Slot(i) = NamedCard(QString::number(i), 100u + std::uint32_t(i));
    ScriptedMessenger m;
    ASSERT_TRUE(a->Save(m));
    auto b = copy();
    for (int i = 2; i < 6; ++i)
        b->Slot(i).Clear();
    ASSERT_TRUE(b->Save(m));
    const auto taken = a->takeFileChanges();
    ASSERT_EQ(taken.gone.size(), 4u);
    MergeAnswers keep;
    keep.goneAsked = taken.gone;
    struct FailingRename final : public FileSystemCalls {
        int rename(const char*, const char*) override { return -1; }
    } failing;
    a->setFileSystemCalls(&failing);
    EXPECT_EQ(a->saveMerged(m, keep).result, SettingsDatabase::Failed);
    a->setFileSystemCalls(nullptr);
    EXPECT_TRUE(a->Slot(5).IsUsed());
    EXPECT_TRUE(a->takeFileChanges().gone.empty());
    // The next save puts them back.
    EXPECT_TRUE(a->Save(m));
    EXPECT_EQ(reread()->Slot(5).CodeUoo(), 105u);
}

TEST_F(SharedFile, EveryVersionWrittenIsKeptInTheOrderOfTheSaves) {
    auto a = copy();
    auto b = copy();
    ScriptedMessenger m;
    // SetUp's save wrote the first version; two copies save in turn, most
    // within one second.
    std::vector<QByteArray> written{ReadAll(path)};
    for (int i = 0; i < 4; ++i) {
        SettingsDatabase& d = i % 2 ? *b : *a;
        d.Slot(20 + i) = NamedCard(QString::number(i), 120u + std::uint32_t(i));
        ASSERT_TRUE(d.Save(m));
        written.push_back(ReadAll(path));
    }
    // A file put there by hand is kept too, before the next version.
    QByteArray byHand = written.back();
    byHand[qsizetype(SettingsRecord::Size) * 50 + 600] = 'x';
    ASSERT_TRUE(WriteAll(path, byHand));
    a->Slot(30) = NamedCard(QStringLiteral("30"), 130);
    ASSERT_TRUE(a->Save(m));
    written.push_back(byHand);
    written.push_back(ReadAll(path));
    // A save that changes nothing adds nothing.
    ASSERT_TRUE(a->Save(m));
    a->backups().wait();
    b->backups().wait();
    const auto backups = BackupKeeper::list(path);
    ASSERT_EQ(backups.size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(BackupKeeper::read(path, backups[written.size() - 1 - i]), written[i]) << i;
    EXPECT_EQ(BackupKeeper::read(path, backups.front()), ReadAll(path));
    EXPECT_TRUE(OnlyTheOwnerMayOpen(BackupKeeper::folderOf(path)));
    EXPECT_TRUE(OnlyTheOwnerMayOpen(BackupKeeper::folderOf(path) + QLatin1Char('/') +
                                    backups.front().name));
}

TEST_F(SharedFile, BackupsDatedAheadNeverTakeTodaysPlace) {
    const QString folder = BackupKeeper::folderOf(path);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(
            WriteAll(folder + QStringLiteral("/ProgInfo_10.MGA.2031%1-120000.gz").arg(1001 + i),
                     gzipCompress(QByteArray(SettingsDatabase::FileSize, '\0'))));
    auto a = copy();
    ScriptedMessenger m;
    for (int i = 0; i < 6; ++i) {
        a->Slot(10 + i) = NamedCard(QString::number(i), 110u + std::uint32_t(i));
        ASSERT_TRUE(a->Save(m));
    }
    a->backups().wait();
    EXPECT_EQ(BackupKeeper::list(path).size(), 7u); // SetUp's and six
    EXPECT_EQ(QDir(folder).entryList({QStringLiteral("*.gz")}).size(), 27);
    EXPECT_EQ(BackupKeeper::read(path, BackupKeeper::list(path).front()), ReadAll(path));
}

TEST_F(SharedFile, AFolderThatIsGoneFailsTheSaveAtOnce) {
    SettingsDatabase d;
    d.setFileName(dir.filePath(QStringLiteral("gone/ProgInfo_10.MGA")));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(d.Load());
    d.Slot(0) = NamedCard(QStringLiteral("0"), 100);
    ScriptedMessenger m;
    EXPECT_FALSE(d.Save(m));
    EXPECT_LT(t.elapsed(), 5000);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(m.boxes[0].text, QStringLiteral("Ошибка записи на диск"));
}

TEST_F(SharedFile, ADeletedLockFileCannotLetTwoSavesRunAtOnce) {
    const QString held = dir.filePath(QStringLiteral("held")),
                  go = dir.filePath(QStringLiteral("go"));
    auto a = copy();
    // B saves card 7 and stops inside its save, holding the lock.
    Child b("save_held", {path, QStringLiteral("7"), held, go});
    ASSERT_TRUE(appears(held));
    // Windows keeps the name of a file a copy holds; elsewhere it goes, and
    // A, finding a new lock file, must still not save beside B.
    const bool removed = QFile::remove(SettingsDatabase::lockFileOf(path));
    if (!removed) {
        ASSERT_TRUE(WriteAll(go, "go"));
    }
    a->Slot(8) = NamedCard(QStringLiteral("8"), 108);
    // A waits for B's lease all the same, and lets B go on once it does.
    bool waited = false;
    a->onWaiting = [&](bool on) {
        if (on && !waited)
            waited = WriteAll(go, "go");
    };
    ScriptedMessenger m;
    ASSERT_TRUE(a->Save(m));
    EXPECT_TRUE(waited || !removed);
    EXPECT_EQ(b.wait(), 0);
    const auto now = reread();
    EXPECT_EQ(now->Slot(7).CodeUoo(), 107u);
    EXPECT_EQ(now->Slot(8).CodeUoo(), 108u);
}

TEST_F(SharedFile, ABackupIsRestoredOnceWhateverTheOtherCopiesDo) {
    ScriptedMessenger m;
    const QByteArray backup = ReadAll(path);
    ASSERT_TRUE(WriteAll(path, {}));
    SettingsDatabase a, c;
    for (SettingsDatabase* d : {&a, &c}) {
        d->setFileName(path);
        (void)d->Load();
    }
    ASSERT_EQ(a.restore(backup, m), SettingsDatabase::RestoreResult::Restored);
    EXPECT_EQ(ReadAll(path), backup);
    EXPECT_EQ(a.Slot(1).CodeUoo(), 101u);
    // C, asked the same at the same time, finds it done and loads it.
    EXPECT_EQ(c.restore(QByteArray(SettingsDatabase::FileSize, '\0'), m),
              SettingsDatabase::RestoreResult::AlreadyRestored);
    EXPECT_EQ(c.Slot(1).CodeUoo(), 101u);
    EXPECT_EQ(ReadAll(path), backup);
    EXPECT_TRUE(m.boxes.empty());
}

TEST(BackupKeeper, KeepsTwentyRecentAndTheNewestOfEachOfThirtyDays) {
    const QDateTime now(QDate(2026, 12, 8), QTime(12, 0));
    std::vector<BackupKeeper::Entry> backups;
    // Five a day for forty days, every two hours from 8:00.
    for (int day = 0; day < 40; ++day)
        for (int n = 0; n < 5; ++n) {
            const QDateTime at = now.addDays(-day).addSecs(-4 * 3600 + n * 7200 - 4 * 7200);
            backups.push_back({at.toString(QStringLiteral("yyyyMMdd-HHmmss")), at});
        }
    // Twenty dated years ahead: kept, and counted for nothing.
    std::vector<BackupKeeper::Entry> ahead = backups;
    for (int n = 0; n < 20; ++n)
        ahead.push_back({QStringLiteral("ahead-%1").arg(n), now.addYears(5).addSecs(n)});
    EXPECT_EQ(BackupKeeper::toRemove(ahead, now), BackupKeeper::toRemove(backups, now));
    const QStringList removed = BackupKeeper::toRemove(backups, now);
    EXPECT_EQ(backups.size() - static_cast<std::size_t>(removed.size()),
              20u + 30u - 4u); // the 20 newest cover four of the thirty days
    EXPECT_FALSE(removed.contains(backups[0].name));
    EXPECT_TRUE(removed.contains(backups[199].name)); // forty days old
    for (int day = 0; day < 30; ++day) {
        const QString newestOfDay = backups[static_cast<std::size_t>(day * 5 + 4)].name;
        EXPECT_FALSE(removed.contains(newestOfDay)) << day;
    }
}

TEST(BackupKeeper, AKillWhileKeepingLeavesWholeBackupsOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
    QByteArray table(SettingsDatabase::FileSize, 'k');
    for (int trial = 0; trial < 20; ++trial) {
        const QString kept = dir.filePath(QStringLiteral("kept-%1").arg(trial));
        Child child("keep_backups", {path, kept});
        // However slow the machine, the kill comes after a backup was whole,
        // somewhere in the making of the next ones.
        ASSERT_TRUE(appears(kept));
        QThread::usleep(static_cast<unsigned long>(1000 + trial * 3000));
        child.kill();
    }
    QDir folder(BackupKeeper::folderOf(path));
    const QStringList kept = folder.entryList({QStringLiteral("*.gz")}, QDir::Files);
    ASSERT_FALSE(kept.isEmpty());
    for (const QString& name : kept)
        EXPECT_EQ(gzipReadFile(folder.filePath(name)).mid(sizeof(int)), table.mid(sizeof(int)))
            << name.toStdString();
}

} // namespace

// Another writer that ignores the lock (a mount whose locks do not hold, a
// tool of its own) puts a file in place right after this copy's save; the
// line of saves in the note tells whether it built on that save or was made
// beside it from the file before.
TEST_F(SharedFile, ASaveBuriedByAnotherWriterIsWrittenAgainOrAskedAbout) {
    enum class Note { Beside, BuiltOn, None };
    struct Case {
        const char* name;
        bool putBack; // the card back at the version this copy's save replaced
        Note note;
        bool buried;           // the take keeps this copy's card as its change
        const char* afterTake; // the card in memory then
        SettingsDatabase::SaveResult save;
    } cases[] = {
        {"put back beside", true, Note::Beside, true, "mine", SettingsDatabase::Saved},
        {"put back, no note", true, Note::None, true, "mine", SettingsDatabase::Saved},
        {"changed beside", false, Note::Beside, true, "mine", SettingsDatabase::Asking},
        {"changed, built on", false, Note::BuiltOn, false, "theirs", SettingsDatabase::Saved},
        {"changed, no note", false, Note::None, false, "theirs", SettingsDatabase::Saved},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const QByteArray before = ReadAll(path);
        const auto noteBefore = SaveNote::parse(SaveNote::read(path));
        ASSERT_TRUE(noteBefore.has_value());
        auto a = copy();
        a->Slot(1) = NamedCard(QStringLiteral("mine"), 101);
        ScriptedMessenger m;
        ASSERT_TRUE(a->Save(m));
        const auto noteMine = SaveNote::parse(SaveNote::read(path));
        ASSERT_TRUE(noteMine.has_value());
        // The other writer's file, by a rename as any writer's.
        QByteArray theirs = before;
        if (!c.putBack) {
            const SettingsRecord x = NamedCard(QStringLiteral("theirs"), 101);
            std::memcpy(theirs.data() + SettingsRecord::Size, x.data(), SettingsRecord::Size);
        }
        const QString made = path + QStringLiteral(".other");
        ASSERT_TRUE(WriteAll(made, theirs));
        ASSERT_EQ(platform::replaceFile(QFile::encodeName(made).constData(),
                                        QFile::encodeName(path).constData()),
                  0);
        SaveNote note = c.note == Note::BuiltOn ? *noteMine : *noteBefore;
        note.saves.insert(note.saves.begin(),
                          {SaveNote::newId(),
                           c.note == Note::BuiltOn ? noteMine->latest() : noteBefore->latest()});
        if (c.note == Note::None)
            QFile::remove(SaveNote::fileOf(path));
        else
            ASSERT_TRUE(SaveNote::write(path, note.text(), 0600));
        ASSERT_TRUE(a->fileMayHaveChanged());
        const auto taken = a->takeFileChanges();
        EXPECT_EQ(taken.buried == std::vector<int>{1}, c.buried);
        EXPECT_EQ(std::as_const(*a).Slot(1).text(Field::NCardEdit),
                  QString::fromLatin1(c.afterTake));
        EXPECT_EQ(a->saveMerged(m).result, c.save);
        if (c.save == SettingsDatabase::Saved) {
            EXPECT_EQ(reread()->Slot(1).text(Field::NCardEdit), QString::fromLatin1(c.afterTake));
        }
    }
}

// What a lease says of its holder comes back whole, whatever the machine's
// name: the name for people may be cut, what the program needs never is.
TEST(Lease, ItsTextNamesTheHolderWhateverTheMachinesName) {
    const QString cyrillic = QStringLiteral("БУХГАЛТЕРИЯ-ПК");
    for (const QString& name : {QStringLiteral("laptop-2"), cyrillic, cyrillic.repeated(8),
                                QString(63, QLatin1Char('x'))}) {
        SCOPED_TRACE(name.toStdString());
        LeaseHolder h;
        h.machine = name;
        h.machineId = "{4c4c4544-0042-3510-8052-b3c04f4a4d32}";
        h.process = 4194304;
        h.token = "00112233445566778899aabbccddeeff";
        h.since = QDateTime(QDate(2026, 12, 10), QTime(9, 5));
        h.session = true;
        h.beat = 1000000000;
        const QByteArray text = h.text();
        EXPECT_EQ(text.size(), Lease::LeaseSize);
        const auto back = LeaseHolder::parse(text);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->token, h.token);
        EXPECT_TRUE(back->session);
        EXPECT_EQ(back->process, h.process);
        EXPECT_EQ(back->machineId, h.machineId);
        EXPECT_EQ(back->since, h.since);
        EXPECT_TRUE(name.startsWith(back->machine));
        EXPECT_GE(back->machine.size(), std::min<qsizetype>(name.size(), 40));
    }
}
