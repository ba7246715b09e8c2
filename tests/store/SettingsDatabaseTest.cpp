#include "store/SettingsDatabase.h"
#include "platform/FileSystem.h"
#include "tests/store/DatabaseFile.h"
#include "tests/support/SystemFiles.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

TEST_F(DatabaseFile, MissingFileLoadsNothing) {
    EXPECT_FALSE(db.Load());
    EXPECT_EQ(usedCount(db), 0);
    // Looking leaves nothing behind: the lock file comes with the first save.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList());
}

TEST_F(DatabaseFile, LoadHandlesEveryFileLength) {
    const struct {
        const char* name;
        QByteArray content;
        bool result;
        int slotsFilled;   // slots 0..n-1 hold blocks 0..n-1
        bool templateRead; // the template is the block after them
    } cases[] = {
        {"empty", {}, false, 0, false},
        {"shorter than a block", QByteArray(694, 1), false, 0, false},
        {"not a multiple", QByteArray(700, 1), false, 0, false},
        {"one block less one byte", blocks(2).left(2 * B - 1), false, 0, false},
        {"template only", blocks(1), true, 0, true},
        {"one record and template", blocks(2), true, 1, true},
        {"half a table", blocks(4501), true, 4500, true},
        {"exactly 9001 blocks", blocks(9001), true, 9000, true},
        {"longer than 9001 blocks", blocks(9003), true, 9000, true},
    };
    for (const auto& c : cases) {
        SettingsDatabase fresh;
        fresh.setFileName(path);
        ASSERT_TRUE(WriteAll(path, c.content)) << c.name;
        EXPECT_EQ(fresh.Load(), c.result) << c.name;
        for (int i = 0; i < SettingsDatabase::SlotCount; ++i) {
            const QByteArray expected =
                i < c.slotsFilled ? c.content.mid(qsizetype(i) * B, B) : QByteArray(B, 0);
            ASSERT_TRUE(slotIs(fresh, i, expected)) << c.name << " slot " << i;
        }
        const QByteArray tmpl(reinterpret_cast<const char*>(fresh.Template().data()), B);
        EXPECT_EQ(tmpl, c.templateRead ? c.content.mid(qsizetype(c.slotsFilled) * B, B)
                                       : QByteArray(B, 0))
            << c.name;
    }
}

TEST_F(DatabaseFile, ShortReadKeepsTheSlotsReadSoFar) {
    // The length says three records and a template, the device gives 2.5 blocks.
    const QByteArray all = blocks(4);
    ShortReader device(all.left(2 * B + 100));
    EXPECT_FALSE(db.loadFrom(device, 4 * B));
    EXPECT_TRUE(slotIs(db, 0, all.mid(0, B)));
    EXPECT_TRUE(slotIs(db, 1, all.mid(B, B)));
    QByteArray partial = all.mid(2 * B, 100) + QByteArray(B - 100, 0);
    EXPECT_TRUE(slotIs(db, 2, partial));
    EXPECT_EQ(db.Template(), SettingsRecord());
}

TEST_F(DatabaseFile, DirectoryInPlaceOfTheFileLoadsNothing) {
    ASSERT_TRUE(QDir().mkpath(path));
    EXPECT_FALSE(db.Load());
    EXPECT_EQ(usedCount(db), 0);
}

TEST_F(DatabaseFile, FirstSaveCreatesAFullFileReadableByOwnerOnly) {
    ASSERT_TRUE(db.Save(messenger));
    EXPECT_TRUE(messenger.boxes.empty());
    EXPECT_EQ(QFileInfo(path).size(), SettingsDatabase::FileSize);
    EXPECT_TRUE(OnlyTheOwnerMayOpen(path));
}

TEST_F(DatabaseFile, SaveAndLoadRoundTripByteForByte) {
    FillSample(db, 9000);
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray first = ReadAll(path);
    ASSERT_EQ(first.size(), SettingsDatabase::FileSize);

    SettingsDatabase again;
    again.setFileName(path);
    ASSERT_TRUE(again.Load());
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i)
        ASSERT_EQ(again.Slot(i), db.Slot(i)) << i;
    EXPECT_EQ(again.Template(), db.Template());
    ASSERT_TRUE(again.Save(messenger));
    EXPECT_EQ(ReadAll(path), first);
}

TEST_F(DatabaseFile, SaveShortensAnOverlongFile) {
    ASSERT_TRUE(WriteAll(path, blocks(9010)));
    ASSERT_TRUE(db.Load());
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray saved = ReadAll(path);
    EXPECT_EQ(saved.size(), SettingsDatabase::FileSize);
    EXPECT_EQ(saved, blocks(9001));
}

TEST_F(DatabaseFile, DeletedCardIsWrittenAsZeroBytes) {
    FillSample(db, 3);
    ASSERT_TRUE(db.Save(messenger));
    db.Slot(37).Clear();
    ASSERT_TRUE(db.Save(messenger));
    EXPECT_EQ(ReadAll(path).mid(37 * B, B), QByteArray(B, 0));
}

TEST(DatabaseWriter, WritesSlotsInOrderThenTheTemplate) {
    SettingsDatabase db;
    FillSample(db, 50);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(db.writeTo(buffer));
    const QByteArray& out = buffer.data();
    ASSERT_EQ(out.size(), SettingsDatabase::FileSize);
    for (int i : {0, 37, 8999})
        EXPECT_TRUE(out.mid(qsizetype(i) * B, B) ==
                    QByteArray(reinterpret_cast<const char*>(db.Slot(i).data()), B));
    EXPECT_EQ(out.right(B), QByteArray(reinterpret_cast<const char*>(db.Template().data()), B));
}

TEST(DatabaseWriter, DeviceThatFillsUpIsAFailure) {
    SettingsDatabase db;
    for (qint64 capacity : {qint64(0), qint64(1), qint64(B), SettingsDatabase::FileSize - B,
                            SettingsDatabase::FileSize - 1}) {
        FailingWriter device(capacity);
        EXPECT_FALSE(db.writeTo(device)) << capacity;
    }
    FailingWriter roomy(SettingsDatabase::FileSize);
    EXPECT_TRUE(db.writeTo(roomy));
}

// Every step of the save made to fail in turn: the old file stays as it was,
// the message is shown once, the table in memory is unchanged and no
// temporary file is left behind.
TEST_F(DatabaseFile, FailureAtAnyStepKeepsTheOldFile) {
    FillSample(db, 20, 1);
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray oldFile = ReadAll(path);

    // How many writes a save makes, so that each one can be made to fail.
    int writes = 0;
    {
        SettingsDatabase probe;
        probe.setFileName(dir.filePath(QStringLiteral("probe.MGA")));
        FaultyCalls counting;
        probe.setFileSystemCalls(&counting);
        ScriptedMessenger quiet;
        ASSERT_TRUE(probe.Save(quiet));
        writes = counting.writeCalls;
        QFile::remove(probe.fileName());
    }
    ASSERT_GE(writes, 2);
    struct Step {
        FaultyCalls::Step step;
        int call;
        std::string name;
    };
    std::vector<Step> steps = {
        {FaultyCalls::CreateTemp, 1, "create"}, {FaultyCalls::ChangeMode, 1, "mode"},
        {FaultyCalls::Fsync, 1, "file sync"},   {FaultyCalls::Close, 1, "close"},
        {FaultyCalls::Rename, 1, "rename"},
    };
    // A folder's sync comes after the rename, and the old file is put back
    // through its second name. Windows writes the rename through and has no
    // folder sync to fail, nor second names.
    if (platform::hardLink(QFile::encodeName(path).constData(),
                           QFile::encodeName(path + QStringLiteral(".name2")).constData()) == 0) {
        QFile::remove(path + QStringLiteral(".name2"));
        steps.push_back({FaultyCalls::SyncDirectory, 1, "directory sync"});
    }
    for (int w = 1; w <= writes; ++w)
        steps.push_back({FaultyCalls::Write, w, "write " + std::to_string(w)});
    for (const auto& s : steps) {
        SettingsDatabase changed;
        changed.setFileName(path);
        ASSERT_TRUE(changed.Load());
        FillSample(changed, 30, 2);
        const SettingsRecord before = changed.Slot(37);
        FaultyCalls calls;
        calls.failStep = s.step;
        calls.failOnCall = s.call;
        changed.setFileSystemCalls(&calls);
        ScriptedMessenger m;
        EXPECT_FALSE(changed.Save(m)) << s.name;
        ASSERT_EQ(m.boxes.size(), 1u) << s.name;
        EXPECT_EQ(m.boxes[0].caption, QStringLiteral("Ошибка"));
        EXPECT_EQ(m.boxes[0].text, QStringLiteral("Ошибка записи на диск"));
        EXPECT_FALSE(m.boxes[0].question);
        EXPECT_TRUE(ReadAll(path) == oldFile) << s.name;
        EXPECT_EQ(changed.Slot(37), before) << s.name;
        EXPECT_EQ(QDir(dir.path())
                      .entryList(QDir::Files)
                      .filter(QRegularExpression("^(?!.*\\.(lock|saves)$)")),
                  QStringList{"ProgInfo_10.MGA"})
            << s.name;
    }
    // A later save with the fault gone succeeds.
    SettingsDatabase changed;
    changed.setFileName(path);
    ASSERT_TRUE(changed.Load());
    FillSample(changed, 30, 2);
    ScriptedMessenger m;
    EXPECT_TRUE(changed.Save(m));
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_NE(ReadAll(path), oldFile);
}

TEST_F(DatabaseFile, FailedFirstSaveLeavesNoFile) {
    FaultyCalls calls;
    calls.failStep = FaultyCalls::SyncDirectory;
    db.setFileSystemCalls(&calls);
    EXPECT_FALSE(db.Save(messenger));
    EXPECT_FALSE(QFileInfo::exists(path));
    // Only the lock file, which is never removed.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"ProgInfo_10.MGA.lock"});
}

TEST_F(DatabaseFile, FilesThatAreNotARegularTableAreNeverSavedOver) {
    const QString other = dir.filePath(QStringLiteral("other"));
    struct Case {
        const char* name;
        std::function<void()> make;
        Report::Kind kind;
    };
    std::vector<Case> cases = {
        {"FIFO", [&] { MakeFifo(path); }, Report::NotRegular},
        {"directory", [&] { QDir().mkpath(path); }, Report::NotRegular},
    };
    const std::vector<Case> links = {
        {"link to a FIFO",
         [&] {
             MakeFifo(other);
             MakeSymbolicLink(other, path);
         },
         Report::NotRegular},
        {"link loop",
         [&] {
             MakeSymbolicLink(path, other);
             MakeSymbolicLink(other, path);
         },
         Report::NotRegular},
    };
    if (SymbolicLinksCanBeMade())
        cases.insert(cases.end(), links.begin(), links.end());
    for (const auto& c : cases) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        c.make();
        SettingsDatabase fresh;
        fresh.setFileName(path);
        EXPECT_FALSE(fresh.Load()) << c.name; // and does not hang on a FIFO
        EXPECT_EQ(fresh.loadReport().kind, c.kind) << c.name;
        FillSample(fresh, 3);
        ScriptedMessenger m;
        EXPECT_FALSE(fresh.Save(m)) << c.name;
        ASSERT_EQ(m.boxes.size(), 1u) << c.name;
        EXPECT_EQ(m.boxes[0].text, QStringLiteral("Ошибка записи на диск")) << c.name;
        const QFileInfo after(path);
        EXPECT_FALSE(after.isFile() && after.size() == SettingsDatabase::FileSize) << c.name;
    }
}

TEST_F(DatabaseFile, AFileOfAnotherLengthIsKeptAsideBeforeItIsReplaced) {
    const QByteArray stray = blocks(3) + "x";
    ASSERT_TRUE(WriteAll(path, stray));
    SettingsDatabase fresh;
    // Loaded twice: the second copy gets a name of its own, "-2" after the
    // first's when both fall in the same second.
    QStringList kept;
    for (int load = 0; load < 2; ++load) {
        fresh.setFileName(path);
        EXPECT_FALSE(fresh.Load());
        const Report& r = fresh.loadReport();
        ASSERT_EQ(r.kind, Report::WrongLength) << load;
        EXPECT_EQ(r.length, stray.size());
        EXPECT_TRUE(
            QFileInfo(r.keptAs).fileName().startsWith(QStringLiteral("ProgInfo_10.MGA.unread-")));
        kept << r.keptAs;
        EXPECT_EQ(ReadAll(r.keptAs), stray);
        EXPECT_TRUE(OnlyTheOwnerMayOpen(r.keptAs));
        EXPECT_TRUE(fresh.mayReplaceFile());
    }
    EXPECT_NE(kept[0], kept[1]);
    EXPECT_TRUE(!kept[1].startsWith(kept[0]) || kept[1] == kept[0] + QStringLiteral("-2"))
        << kept[1].toStdString();
    // Saving goes on as usual, over the file kept aside; an empty file needs
    // no copy.
    EXPECT_TRUE(fresh.Save(messenger));
    EXPECT_EQ(QFileInfo(path).size(), SettingsDatabase::FileSize);
    ASSERT_TRUE(WriteAll(path, {}));
    const int files = static_cast<int>(QDir(dir.path()).entryList(QDir::Files).size());
    SettingsDatabase empty;
    empty.setFileName(path);
    EXPECT_FALSE(empty.Load());
    EXPECT_EQ(empty.loadReport().kind, Report::Empty);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), files);
}

} // namespace
