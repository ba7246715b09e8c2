#pragma once

#include "../support/TestSupport.h"
#include "TeamServer.h"

#include "store/SettingsDatabase.h"
#include "team/TeamSync.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

// One copy of the program without its window: a data folder, its working
// copy and its team database, taking and sending as the window would when
// idle.
struct Copy {
    QTemporaryDir dir;
    SettingsDatabase db;
    ScriptedMessenger boxes;
    std::unique_ptr<TeamSync> team;
    std::vector<QString> attention;

    explicit Copy(const QString& connection) {
        db.setFileName(QDir(dir.path()).filePath("ProgInfo_10.MGA"));
        (void)db.Load();
        open(connection);
    }
    void open(const QString& connection) {
        team = std::make_unique<TeamSync>(db);
        QString problem;
        EXPECT_TRUE(team->open(connection, &problem)) << problem.toStdString();
        QObject::connect(team.get(), &TeamSync::changesWaiting, team.get(), [this] { idle(); });
        QObject::connect(team.get(), &TeamSync::attention, team.get(),
                         [this](const QString& t) { attention.push_back(t); });
    }
    // What the window does when idle: take, answer, save, send.
    void idle() {
        MergeAnswers answers;
        for (int round = 0; round < 10; ++round) {
            TeamSync::Take t = team->take(answers);
            if (t.offerToSend) {
                team->answerFirstContact(true);
                return;
            }
            if (t.merge.needsAnswers()) {
                for (const auto& q : t.merge.conflicts) {
                    answers.conflicts[q.slot] = {q.fileVersion, keepMine};
                    ++asked;
                }
                continue;
            }
            if (t.foreignChanges) {
                ++asked;
                team->answerForeignChanges(sendForeign);
                return;
            }
            if (t.changed && db.saveTaken(boxes).result == SettingsDatabase::Saved)
                team->noteWorkingCopy();
            break;
        }
        team->sendPending();
    }
    void save(int slot, const SettingsRecord& r) {
        db.Slot(slot) = r;
        ASSERT_TRUE(db.Save(boxes));
        team->noteWorkingCopy();
        team->sendPending();
    }
    bool keepMine = true;
    int asked = 0;
    bool sendForeign = true;
};

inline QString connectionOf(const QString& team, const QString& user) {
    return TeamServer::get().tls(team, user);
}

// Waits, the event loop running, until `done` or some seconds passed: long
// enough for a loaded machine under the sanitizers.
inline bool waitFor(const std::function<bool()>& done, int ms = 15000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(10);
    return done();
}

class TeamSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TeamServer::get().ready())
            GTEST_SKIP() << "no test server";
        team = TeamServer::get().freshTeam();
        qputenv("PGPASSFILE", QFile::encodeName(pass.filePath("pgpass")));
        QFile f(pass.filePath("pgpass"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("*:*:*:installer1:pw1\n*:*:*:installer2:pw2\n*:*:*:viewer1:pwv\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    QTemporaryDir pass;
    QString team;
};
