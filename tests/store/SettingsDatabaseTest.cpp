#include "store/SettingsDatabase.h"

#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int B = SettingsRecord::Size;

QByteArray block(char fill) { return QByteArray(B, fill); }

QByteArray blocks(int count, char first = 1) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += block(static_cast<char>(first + i % 100));
    return out;
}

int usedCount(const SettingsDatabase& db) {
    int n = 0;
    for (const auto& r : db.allSlots())
        n += r.IsUsed() ? 1 : 0;
    return n;
}

bool slotIs(const SettingsDatabase& db, int i, const QByteArray& bytes) {
    return QByteArray(reinterpret_cast<const char*>(db.Slot(i).data()), B) == bytes;
}

class DatabaseFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
        db.setFileName(path);
    }
    QTemporaryDir dir;
    QString path;
    SettingsDatabase db;
    ScriptedMessenger messenger;
};

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
            const QByteArray expected = i < c.slotsFilled ? c.content.mid(qsizetype(i) * B, B)
                                                          : QByteArray(B, 0);
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
    EXPECT_FALSE(db.LoadFrom(device, 4 * B));
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
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DatabaseFile, ExistingFileKeepsItsMode) {
    ASSERT_TRUE(WriteAll(path, blocks(1)));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ASSERT_TRUE(db.Save(messenger));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
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
    ASSERT_TRUE(db.WriteTo(buffer));
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
        EXPECT_FALSE(db.WriteTo(device)) << capacity;
    }
    FailingWriter roomy(SettingsDatabase::FileSize);
    EXPECT_TRUE(db.WriteTo(roomy));
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
        {FaultyCalls::CreateTemp, 1, "create"},        {FaultyCalls::ChangeMode, 1, "mode"},
        {FaultyCalls::Fsync, 1, "file sync"},          {FaultyCalls::Close, 1, "close"},
        {FaultyCalls::Rename, 1, "rename"},            {FaultyCalls::SyncDirectory, 1, "directory sync"},
    };
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
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).filter(QRegularExpression("^(?!.*\\.lock$)")),
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

TEST_F(DatabaseFile, ReadOnlyDirectoryShowsTheMessageAndKeepsTheFile) {
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray oldFile = ReadAll(path);
    const QByteArray dirName = QFile::encodeName(dir.path());
    ASSERT_EQ(::chmod(dirName.constData(), 0555), 0);
    FillSample(db, 5);
    // Root writes anywhere, so the save runs in a child that has given up
    // its privileges.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        ScriptedMessenger m;
        const bool saved = db.Save(m);
        const bool told = m.boxes.size() == 1 && m.boxes[0].text == QStringLiteral("Ошибка записи на диск");
        ::_exit(!saved && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(dirName.constData(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadAll(path), oldFile);
    // With the permission back, the same table saves.
    EXPECT_TRUE(db.Save(messenger));
    EXPECT_NE(ReadAll(path), oldFile);
}

TEST_F(DatabaseFile, SaveThroughASymbolicLinkReplacesItsTarget) {
    const QString real = dir.filePath(QStringLiteral("real.MGA"));
    ASSERT_TRUE(WriteAll(real, blocks(1)));
    ASSERT_TRUE(QFile::link(real, path));
    ASSERT_TRUE(db.Save(messenger));
    EXPECT_TRUE(QFileInfo(path).isSymLink());
    EXPECT_EQ(QFileInfo(real).size(), SettingsDatabase::FileSize);
}

// Runs `body` in a child that has given up root; true when it returned true.
bool asNobody(const std::function<bool()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

using Report = SettingsDatabase::LoadReport;

TEST_F(DatabaseFile, FilesThatAreNotARegularTableAreNeverSavedOver) {
    const QString other = dir.filePath(QStringLiteral("other"));
    const struct {
        const char* name;
        std::function<void()> make;
        Report::Kind kind;
    } cases[] = {
        {"FIFO", [&] { ::mkfifo(QFile::encodeName(path).constData(), 0600); }, Report::NotRegular},
        {"directory", [&] { QDir().mkpath(path); }, Report::NotRegular},
        {"link to a FIFO",
         [&] {
             ::mkfifo(QFile::encodeName(other).constData(), 0600);
             QFile::link(other, path);
         },
         Report::NotRegular},
        {"link loop",
         [&] {
             QFile::link(path, other);
             QFile::link(other, path);
         },
         Report::NotRegular},
    };
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
    for (const char* suffix : {"", "-2"}) {
        fresh.setFileName(path);
        EXPECT_FALSE(fresh.Load());
        const Report& r = fresh.loadReport();
        ASSERT_EQ(r.kind, Report::WrongLength) << suffix;
        EXPECT_EQ(r.length, stray.size());
        EXPECT_TRUE(QFileInfo(r.keptAs).fileName().startsWith(QStringLiteral("ProgInfo_10.MGA.unread-")));
        EXPECT_TRUE(r.keptAs.endsWith(QLatin1String(suffix)) || !*suffix) << suffix;
        EXPECT_EQ(ReadAll(r.keptAs), stray);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(r.keptAs).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(fresh.mayReplaceFile());
    }
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

TEST_F(DatabaseFile, AFileTheUserCannotReadOrWriteIsLeftAsItIs) {
    FillSample(db, 5);
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray original = ReadAll(path);
    const QByteArray name = QFile::encodeName(path);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    const struct {
        const char* name;
        mode_t mode;
        bool asUser;
        bool loads;
    } cases[] = {
        {"another user's private file", 0600, true, false},
        {"another user's readable file", 0644, true, true},
        {"read-only file, even for root", 0444, false, true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(::chmod(name.constData(), c.mode), 0);
        auto attempt = [&] {
            SettingsDatabase fresh;
            fresh.setFileName(path);
            const bool loaded = fresh.Load();
            ScriptedMessenger m;
            FillSample(fresh, 7, 9);
            const bool saved = fresh.Save(m);
            return loaded == c.loads && !saved && m.boxes.size() == 1 &&
                   (c.loads || (fresh.loadReport().kind == Report::Unreadable &&
                                !fresh.loadReport().reason.isEmpty()));
        };
        EXPECT_TRUE(c.asUser ? asNobody(attempt) : attempt()) << c.name;
        EXPECT_EQ(ReadAll(path), original) << c.name;
        struct stat st {};
        ASSERT_EQ(::stat(name.constData(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u) << c.name;
    }
}

TEST_F(DatabaseFile, SaveFollowsAChainOfLinksAndCreatesAMissingTarget) {
    const QString a = dir.filePath(QStringLiteral("a"));
    const QString real = dir.filePath(QStringLiteral("real.MGA"));
    ASSERT_TRUE(QFile::link(QStringLiteral("a"), path)); // relative, as people make them
    ASSERT_TRUE(QFile::link(real, a));
    FillSample(db, 2);
    ASSERT_TRUE(db.Save(messenger)); // real.MGA does not exist yet
    EXPECT_TRUE(QFileInfo(path).isSymLink());
    EXPECT_TRUE(QFileInfo(a).isSymLink());
    EXPECT_EQ(QFileInfo(real).size(), SettingsDatabase::FileSize);
    ASSERT_TRUE(db.Save(messenger));
    EXPECT_TRUE(QFileInfo(a).isSymLink());
    SettingsDatabase again;
    again.setFileName(path);
    EXPECT_TRUE(again.Load());
}

TEST_F(DatabaseFile, OnlyTheProgramsOwnLeftoversAreSwept) {
    ASSERT_TRUE(db.Save(messenger));
    const struct {
        const char* name;
        std::function<void(const QByteArray&)> make;
        bool swept;
    } cases[] = {
        {"ProgInfo_10.MGA.tmp-a1B2c3", [](const QByteArray& n) { WriteAll(n, "x"); }, true},
        {"ProgInfo_10.MGA.tmp-notes.txt", [](const QByteArray& n) { WriteAll(n, "x"); }, false},
        {"ProgInfo_10.MGA.tmp-fifo01",
         [](const QByteArray& n) { ::mkfifo(n.constData(), 0600); }, false},
        {"ProgInfo_10.MGA.tmp-other1",
         [](const QByteArray& n) {
             WriteAll(n, "x");
             (void)!::chown(n.constData(), 65534, 65534);
         },
         false},
    };
    for (const auto& c : cases)
        c.make(QFile::encodeName(dir.filePath(QString::fromLatin1(c.name))));
    ASSERT_TRUE(db.Save(messenger));
    for (const auto& c : cases)
        EXPECT_EQ(QFileInfo::exists(dir.filePath(QString::fromLatin1(c.name))), !c.swept) << c.name;
}

} // namespace
