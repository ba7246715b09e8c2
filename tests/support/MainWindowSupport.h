#pragma once

#include "app/TForm1.h"
#include "store/SettingsDatabase.h"
#include "tests/support/TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

// The main window over a database file of its own, in a folder of its own.
class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
    }
    // The window over `db` as it stands; it loads the file, if there is one.
    TForm1& open() {
        form = std::make_unique<TForm1>(*db, messenger);
        return *form;
    }
    // Saves `db` to the file, then opens the window over a fresh database
    // that loads it, shown.
    TForm1& openSaved() {
        ScriptedMessenger quiet;
        EXPECT_TRUE(db->Save(quiet));
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        open().show();
        return *form;
    }

    QTemporaryDir dir;
    QString path;
    std::unique_ptr<SettingsDatabase> db;
    ScriptedMessenger messenger;
    std::unique_ptr<TForm1> form;
};
