#pragma once

// The database file's tests share a folder of their own and these helpers.

#include "store/SettingsDatabase.h"
#include "tests/support/TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

inline constexpr int B = SettingsRecord::Size;

inline QByteArray block(char fill) {
    return QByteArray(B, fill);
}

inline QByteArray blocks(int count, char first = 1) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += block(static_cast<char>(first + i % 100));
    return out;
}

inline int usedCount(const SettingsDatabase& db) {
    int n = 0;
    for (const auto& r : db.allSlots())
        n += r.IsUsed() ? 1 : 0;
    return n;
}

inline bool slotIs(const SettingsDatabase& db, int i, const QByteArray& bytes) {
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

using Report = SettingsDatabase::LoadReport;
