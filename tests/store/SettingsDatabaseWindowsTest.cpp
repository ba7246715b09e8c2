// The database file among what Windows has and Linux does not: the
// read-only attribute, device names and access lists.
#include "store/SettingsDatabase.h"
#include "tests/store/DatabaseFile.h"
#include "tests/support/SystemFiles.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <windows.h>

namespace {

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

TEST_F(DatabaseFile, TheReadOnlyAttributeKeepsTheFileAsItIs) {
    FillSample(db, 5);
    ASSERT_TRUE(db.Save(messenger));
    const QByteArray original = ReadAll(path);
    ASSERT_TRUE(SetFileAttributesW(native(path).c_str(), FILE_ATTRIBUTE_READONLY));
    SettingsDatabase fresh;
    fresh.setFileName(path);
    EXPECT_TRUE(fresh.Load());
    FillSample(fresh, 7, 9);
    ScriptedMessenger m;
    EXPECT_FALSE(fresh.Save(m));
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(m.boxes[0].text, QStringLiteral("Ошибка записи на диск"));
    EXPECT_EQ(ReadAll(path), original);
    SetFileAttributesW(native(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A device's name is one in every folder; the device is never opened as a
// table, nor written.
TEST_F(DatabaseFile, ADeviceNameIsNotATable) {
    for (const char* device : {"NUL", "COM1", "CON"}) {
        SettingsDatabase fresh;
        fresh.setFileName(dir.filePath(QString::fromLatin1(device)));
        EXPECT_FALSE(fresh.Load()) << device;
        EXPECT_EQ(fresh.loadReport().kind, Report::NotRegular) << device;
        FillSample(fresh, 3);
        ScriptedMessenger m;
        EXPECT_FALSE(fresh.Save(m)) << device;
        EXPECT_EQ(m.boxes.size(), 1u) << device;
    }
}

// A file that its owner shared keeps its access list across a save, as a
// new one is private.
TEST_F(DatabaseFile, AnExistingFileKeepsItsAccessList) {
    ASSERT_TRUE(WriteAll(path, blocks(1)));
    ASSERT_TRUE(LetEveryoneIn(path));
    ASSERT_TRUE(db.Save(messenger));
    EXPECT_EQ(QFileInfo(path).size(), SettingsDatabase::FileSize);
    EXPECT_FALSE(OnlyTheOwnerMayOpen(path));
}

} // namespace
