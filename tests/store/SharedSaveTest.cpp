#include "store/Backup.h"
#include "store/SettingsDatabase.h"
#include "tests/support/TestSupport.h"
#include "store/CardFields.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace {

SettingsRecord card(const QString& name, std::uint32_t code) {
    SettingsRecord r;
    r.setCodeUoo(code);
    r.setText(Field::NCardEdit, name);
    r.setChangeDate(46000.5);
    return r;
}

// Runs `body` in a child process; true when it returned true.
bool inChild(const std::function<bool()>& body) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

QByteArray gunzip(const QString& path) {
    gzFile f = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!f)
        return {};
    QByteArray out;
    char buffer[1 << 16];
    int n = 0;
    while ((n = gzread(f, buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    const bool ok = n == 0;
    gzclose(f);
    return ok ? out : QByteArray();
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
        first.Slot(0) = card(QStringLiteral("0"), 100);
        first.Slot(1) = card(QStringLiteral("1"), 101);
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
         [](SettingsDatabase& d) { d.Slot(5) = card(QStringLiteral("5"), 105); },
         [](const SettingsDatabase& d) {
             return d.Slot(0).text(Field::Edit1) == QStringLiteral("из A") &&
                    d.Slot(5).CodeUoo() == 105 && d.Slot(1).CodeUoo() == 101;
         }},
        {"a delete and an edit",
         [](SettingsDatabase& d) { d.Slot(1).Clear(); },
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
                return inChild([&d] {
                    ScriptedMessenger m;
                    return d.Save(m) && m.boxes.empty();
                });
            };
            ASSERT_TRUE(saveIn(aFirst ? *a : *b)) << c.name;
            ASSERT_TRUE(saveIn(aFirst ? *b : *a)) << c.name;
            EXPECT_TRUE(c.check(*reread())) << c.name << (aFirst ? ", A first" : ", B first");
        }
    }
}

TEST_F(SharedFile, AConflictIsAskedOnceAndEachAnswerHonoured) {
    for (bool keepMine : {true, false}) {
        SetUp();
        auto a = copy();
        auto b = copy();
        a->Slot(0).setText(Field::Edit1, QStringLiteral("вариант A"));
        b->Slot(0).setText(Field::Edit1, QStringLiteral("вариант B"));
        b->Slot(3) = card(QStringLiteral("3"), 103);
        ScriptedMessenger m;
        ASSERT_TRUE(a->Save(m));
        // The question is asked without the lock: another copy could save.
        struct Asking final : public Messenger {
            QString lockFile;
            bool answer = true;
            bool lockFree = false;
            std::vector<QString> questions;
            void inform(const QString&, const QString&) override {}
            bool ask(const QString&, const QString& text) override {
                questions.push_back(text);
                const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDWR);
                struct ::flock l {};
                l.l_type = F_WRLCK;
                lockFree = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &l) == 0;
                ::close(fd);
                return answer;
            }
        } asking;
        asking.lockFile = SettingsDatabase::lockFileOf(path);
        asking.answer = keepMine;
        ASSERT_TRUE(b->Save(asking));
        ASSERT_EQ(asking.questions.size(), 1u);
        EXPECT_EQ(asking.questions[0],
                  QStringLiteral("Карточка «0» (строка 1) изменена или удалена в другой копии "
                                 "программы.\n\nСохранить ваш вариант?"));
        EXPECT_TRUE(asking.lockFree);
        const auto fresh = reread();
        const SettingsDatabase& now = *fresh;
        EXPECT_EQ(now.Slot(0).text(Field::Edit1), keepMine ? QStringLiteral("вариант B")
                                                           : QStringLiteral("вариант A"));
        EXPECT_EQ(b->Slot(0).text(Field::Edit1), now.Slot(0).text(Field::Edit1));
        EXPECT_EQ(now.Slot(3).CodeUoo(), 103u); // everything else saved
        EXPECT_EQ(b->changedSlots(), keepMine ? std::vector<int>{} : std::vector<int>{0});
    }
}

TEST_F(SharedFile, ACopyKilledHoldingTheLockBlocksNobody) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(QFile::encodeName(SettingsDatabase::lockFileOf(path)).constData(),
                              O_RDWR | O_CREAT, 0600);
        struct ::flock l {};
        l.l_type = F_WRLCK;
        ::fcntl(fd, F_OFD_SETLK, &l);
        (void)!::write(ready[1], "x", 1);
        ::pause();
    }
    char x;
    ASSERT_EQ(::read(ready[0], &x, 1), 1);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    auto a = copy();
    a->Slot(7) = card(QStringLiteral("7"), 107);
    ScriptedMessenger m;
    EXPECT_TRUE(a->Save(m));
    EXPECT_EQ(reread()->Slot(7).CodeUoo(), 107u);
}

TEST_F(SharedFile, ManyCopiesSavingAtOnceLoseNothing) {
    constexpr int Copies = 4, Saves = 60;
    std::vector<pid_t> children;
    for (int c = 0; c < Copies; ++c) {
        const pid_t child = ::fork();
        if (child == 0) {
            SettingsDatabase d;
            d.setFileName(path);
            d.Load();
            ScriptedMessenger m;
            for (int s = 0; s < Saves; ++s) {
                // Each copy its own cards: slot 100 * (c + 1) + s.
                d.Slot(100 * (c + 1) + s) = card(QString::number(s), static_cast<std::uint32_t>(s));
                if (!d.Save(m) || !m.boxes.empty())
                    ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    int failed = 0;
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
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
        a->Slot(4) = card(QStringLiteral("4"), 104);
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

TEST_F(SharedFile, AFileCutShortIsNotMergedAGoneOneIsWrittenAnew) {
    auto a = copy();
    a->Slot(9) = card(QStringLiteral("9"), 109);
    // Cut to two cards and a template: merged, the rest would count as deleted.
    ASSERT_TRUE(WriteAll(path, ReadAll(path).left(3 * SettingsRecord::Size)));
    ScriptedMessenger m;
    EXPECT_FALSE(a->Save(m));
    EXPECT_EQ(a->Slot(0).CodeUoo(), 100u);
    // Gone altogether: the table in memory is written whole.
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(a->Save(m));
    const auto now = reread();
    EXPECT_EQ(now->Slot(0).CodeUoo(), 100u);
    EXPECT_EQ(now->Slot(9).CodeUoo(), 109u);
}

TEST_F(SharedFile, NothingIsTakenFromTheFileWhileASaveAsks) {
    auto a = copy();
    auto b = copy();
    b->Slot(0).setText(Field::Edit1, QStringLiteral("B"));
    b->Slot(1).setText(Field::Edit1, QStringLiteral("B"));
    a->Slot(1).setText(Field::Edit1, QStringLiteral("A"));
    ScriptedMessenger m;
    ASSERT_TRUE(b->Save(m));
    // While the question is open the window's look at the file comes round.
    struct LookingMessenger final : public Messenger {
        SettingsDatabase* db = nullptr;
        bool took = true;
        void inform(const QString&, const QString&) override {}
        bool ask(const QString&, const QString&) override {
            took = db->TakeFileChanges();
            return true;
        }
    } looking;
    looking.db = a.get();
    ASSERT_TRUE(a->Save(looking));
    EXPECT_FALSE(looking.took);
    const auto now = reread();
    EXPECT_EQ(now->Slot(0).text(Field::Edit1), QStringLiteral("B")); // B's other card stays
    EXPECT_EQ(now->Slot(1).text(Field::Edit1), QStringLiteral("A"));
}

TEST_F(SharedFile, EachSaveKeepsTheFileItReplaced) {
    auto a = copy();
    ScriptedMessenger m;
    for (int i = 0; i < 3; ++i) {
        const QByteArray before = ReadAll(path);
        a->Slot(20 + i) = card(QString::number(i), 120u + static_cast<std::uint32_t>(i));
        ASSERT_TRUE(a->Save(m));
        a->backups().wait();
        QDir folder(BackupKeeper::folderOf(path));
        const QStringList names = folder.entryList({QStringLiteral("ProgInfo_10.MGA.*.gz")},
                                                   QDir::Files, QDir::Time);
        ASSERT_EQ(names.size(), i + 1);
        EXPECT_EQ(gunzip(folder.filePath(names.front())), before) << i;
    }
    // A save that changes nothing (the one on closing) keeps no copy of it.
    ASSERT_TRUE(a->Save(m));
    a->backups().wait();
    EXPECT_EQ(QDir(BackupKeeper::folderOf(path)).entryList({QStringLiteral("*.gz")}).size(), 3);
    QFileInfo folder(BackupKeeper::folderOf(path));
    EXPECT_EQ(folder.permissions() & (QFile::ReadOther | QFile::WriteOther), 0);
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
        int kept[2];
        ASSERT_EQ(::pipe(kept), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(kept[0]);
            BackupKeeper keeper;
            for (int i = 0;; ++i) {
                keeper.keep(path, table, 0600, QDateTime::currentDateTime().addSecs(i));
                keeper.wait();
                // However slow the machine, the kill comes after a backup
                // was whole, somewhere in the making of the next ones.
                if (i == 0 && ::write(kept[1], "k", 1) != 1)
                    ::_exit(1);
            }
        }
        ::close(kept[1]);
        char byte = 0;
        ASSERT_EQ(::read(kept[0], &byte, 1), 1);
        ::close(kept[0]);
        ::usleep(static_cast<useconds_t>(1000 + trial * 3000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    QDir folder(BackupKeeper::folderOf(path));
    const QStringList kept = folder.entryList({QStringLiteral("*.gz")}, QDir::Files);
    ASSERT_FALSE(kept.isEmpty());
    for (const QString& name : kept)
        EXPECT_EQ(gunzip(folder.filePath(name)), table) << name.toStdString();
}

} // namespace
