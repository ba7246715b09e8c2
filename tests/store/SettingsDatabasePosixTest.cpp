// The database file among what Linux has and Windows does not: modes,
// other users, symbolic links in chains, FIFOs and other owners' leftovers.
#include "store/SettingsDatabase.h"
#include "tests/store/DatabaseFile.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST_F(DatabaseFile, ExistingFileKeepsItsMode) {
    ASSERT_TRUE(WriteAll(path, blocks(1)));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ASSERT_TRUE(db.Save(messenger));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
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
        const bool told =
            m.boxes.size() == 1 && m.boxes[0].text == QStringLiteral("Ошибка записи на диск");
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
        {"ProgInfo_10.MGA.tmp-fifo01", [](const QByteArray& n) { ::mkfifo(n.constData(), 0600); },
         false},
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
