#include "TeamCopy.h"

namespace {

TEST_F(TeamSyncTest, ASaveInOneCopyAppearsInTheOtherAndBothEditsOfDifferentCardsStay) {
    Copy a(connectionOf(team, "installer1"));
    Copy b(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] {
        return a.team->state() == TeamSync::State::Online &&
               b.team->state() == TeamSync::State::Online;
    }));
    a.save(0, NamedCard("Первая", 101));
    ASSERT_TRUE(
        waitFor([&] { return std::as_const(b.db).Slot(0) == std::as_const(a.db).Slot(0); }));
    // At once, different cards.
    a.save(1, NamedCard("A", 201));
    b.save(2, NamedCard("B", 202));
    ASSERT_TRUE(waitFor([&] {
        return std::as_const(a.db).Slot(2).CodeUoo() == 202 &&
               std::as_const(b.db).Slot(1).CodeUoo() == 201 && a.team->unsent() == 0 &&
               b.team->unsent() == 0;
    }));
    // The working copies hold them too.
    SettingsDatabase reread;
    reread.setFileName(b.db.fileName());
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(std::as_const(reread).Slot(1).CodeUoo(), 201u);
    EXPECT_TRUE(a.attention.empty() && b.attention.empty());
}

TEST_F(TeamSyncTest, TheSameCardChangedInBothIsAQuestionAndTheAnswerWins) {
    Copy a(connectionOf(team, "installer1"));
    Copy b(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] {
        return a.team->state() == TeamSync::State::Online &&
               b.team->state() == TeamSync::State::Online;
    }));
    a.save(0, NamedCard("Общая", 300));
    ASSERT_TRUE(waitFor([&] { return std::as_const(b.db).Slot(0).CodeUoo() == 300; }));
    // b is offline while both change it.
    b.team->close();
    SettingsRecord mine = NamedCard("Общая", 300);
    mine.setText(Field::Edit1, "from b");
    SettingsRecord theirs = NamedCard("Общая", 300);
    theirs.setText(Field::Edit1, "from a");
    a.save(0, theirs);
    ASSERT_TRUE(waitFor([&] { return a.team->unsent() == 0; }));
    b.db.Slot(0) = mine;
    ASSERT_TRUE(b.db.Save(b.boxes));
    b.keepMine = true;
    b.open({});
    ASSERT_TRUE(waitFor([&] {
        return std::as_const(a.db).Slot(0).text(Field::Edit1) == "from b" && b.team->unsent() == 0;
    })) << std::as_const(a.db).Slot(0).text(Field::Edit1).toStdString()
        << ", asked " << b.asked << ", unsent " << b.team->unsent() << ", "
        << b.team->statusText().toStdString() << " " << b.team->lastProblem().toStdString();
    EXPECT_EQ(b.asked, 1);
}

TEST_F(TeamSyncTest, ASendBasedOnAVersionAlreadyReplacedIsRefusedAndAsked) {
    Copy b(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return b.team->state() == TeamSync::State::Online; }));
    b.save(0, NamedCard("Общая", 300));
    ASSERT_TRUE(waitFor([&] { return b.team->unsent() == 0; }));
    QTest::qWait(300); // its own notice taken
    // Another installer's change commits; b sends before it hears of it.
    SettingsRecord theirs = NamedCard("Общая", 300);
    theirs.setText(Field::Edit1, "from a");
    QString error;
    auto a = TeamServer::get().open(connectionOf(team, "installer1"), "pw1");
    ASSERT_TRUE(a->query(
        "UPDATE uoo.card SET record = $1 WHERE slot = 0",
        {"\\x" +
         QByteArray(reinterpret_cast<const char*>(theirs.data()), SettingsRecord::Size).toHex()},
        &error))
        << error.toStdString();
    SettingsRecord mine = NamedCard("Общая", 300);
    mine.setText(Field::Edit1, "from b");
    b.save(0, mine);
    ASSERT_TRUE(waitFor([&] { return b.asked == 1 && b.team->unsent() == 0; }))
        << "asked " << b.asked;
    EXPECT_EQ(std::as_const(b.db).Slot(0).text(Field::Edit1), "from b"); // the answer
}

TEST_F(TeamSyncTest, ChangesMadeOfflineAreSentOnceAtTheNextConnection) {
    Copy a(connectionOf(team, "installer1"));
    ASSERT_TRUE(waitFor([&] { return a.team->state() == TeamSync::State::Online; }));
    a.save(7, NamedCard("Старая", 7));
    ASSERT_TRUE(waitFor([&] { return a.team->unsent() == 0; }));
    a.team->close();
    // Many saves, a deletion and a stamp while away.
    for (int i = 10; i < 60; ++i)
        a.db.Slot(i) = NamedCard(QStringLiteral("Карточка %1").arg(i), 1000 + i);
    ASSERT_TRUE(a.db.Save(a.boxes));
    a.db.Slot(7).Clear();
    a.db.StampProgrammed(10, 0x1234, 46001.0);
    a.team->noteStamp(a.db.lastStamp());
    ASSERT_TRUE(a.db.Save(a.boxes));
    a.team->noteWorkingCopy(); // as the window does after every save
    EXPECT_EQ(a.team->unsent(), 51);
    // The program started again on the folder.
    a.team.reset();
    a.open({});
    ASSERT_TRUE(waitFor(
        [&] { return a.team->state() == TeamSync::State::Online && a.team->unsent() == 0; }));
    EXPECT_EQ(a.asked, 0);
    Copy b(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return std::as_const(b.db).Slot(59).CodeUoo() == 1059; }));
    EXPECT_FALSE(std::as_const(b.db).Slot(7).IsUsed());
    EXPECT_EQ(std::as_const(b.db).Slot(10).ProgID1(), 0x1234);
    // Sent once: one version per row.
    QString error;
    auto owner = TeamServer::get().open(connectionOf(team, "admin"), "adminpw");
    auto rows = owner->query("SELECT count(*) FROM uoo.card_history", {}, &error);
    EXPECT_STREQ(TeamServer::get().pq().PQgetvalue(rows.get(), 0, 0), "52");
}

TEST_F(TeamSyncTest, AFileReplacedWhileClosedIsAskedAboutBeforeAnythingIsSent) {
    for (const bool send : {true, false}) {
        SCOPED_TRACE(send);
        team = TeamServer::get().freshTeam();
        Copy a(connectionOf(team, "installer1"));
        ASSERT_TRUE(waitFor([&] { return a.team->state() == TeamSync::State::Online; }));
        a.save(0, NamedCard("Своя", 1));
        ASSERT_TRUE(waitFor([&] { return a.team->unsent() == 0; }));
        a.team.reset();
        // Another program's file put in its place: three cards of its own.
        SettingsDatabase other;
        for (int i = 0; i < 3; ++i)
            other.Slot(i) = NamedCard(QStringLiteral("Чужая %1").arg(i), 900 + i);
        QFile file(a.db.fileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(other.writeTo(file));
        file.close();
        ASSERT_TRUE(a.db.Load());
        a.sendForeign = send;
        a.open({});
        ASSERT_TRUE(waitFor([&] { return a.asked == 1 && a.team->unsent() == 0; }));
        Copy b(connectionOf(team, "installer2"));
        ASSERT_TRUE(waitFor([&] { return std::as_const(b.db).Slot(0).IsUsed(); }));
        QTest::qWait(300);
        EXPECT_EQ(std::as_const(b.db).Slot(0).CodeUoo(), send ? 900u : 1u)
            << std::as_const(a.db).Slot(0).CodeUoo() << " " << a.team->statusText().toStdString();
        EXPECT_EQ(std::as_const(b.db).Slot(2).IsUsed(), send);
        EXPECT_EQ(std::as_const(a.db).Slot(2).IsUsed(), send);
    }
}

TEST_F(TeamSyncTest, ADamagedMemoryIsKeptAsideAndTheCardsAgreedAgain) {
    Copy a(connectionOf(team, "installer1"));
    ASSERT_TRUE(waitFor([&] { return a.team->state() == TeamSync::State::Online; }));
    a.save(3, NamedCard("Цела", 3));
    ASSERT_TRUE(waitFor([&] { return a.team->unsent() == 0; }));
    a.team.reset();
    const QString memory = TeamMemory::fileOf(QFileInfo(a.db.fileName()).absoluteFilePath());
    QFile f(memory);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(100);
    f.write("damage");
    f.close();
    TeamSync remembered(a.db);
    QString problem;
    EXPECT_FALSE(remembered.open({}, &problem));
    EXPECT_TRUE(problem.contains("ProgInfo_10.MGA.team.damaged")) << problem.toStdString();
    EXPECT_TRUE(QFile::exists(memory + ".damaged"));
    a.open(connectionOf(team, "installer1"));
    ASSERT_TRUE(waitFor([&] {
        return a.team->state() == TeamSync::State::Online && !a.team->hasIncoming() &&
               a.team->unsent() == 0;
    }));
    EXPECT_EQ(a.asked, 0); // the same card on both sides
    EXPECT_EQ(std::as_const(a.db).Slot(3).CodeUoo(), 3u);
}

TEST_F(TeamSyncTest, AViewerTakesButSendsNothingAndAWrongPasswordIsABox) {
    Copy a(connectionOf(team, "installer1"));
    ASSERT_TRUE(waitFor([&] { return a.team->state() == TeamSync::State::Online; }));
    a.save(3, NamedCard("Видна", 33));
    Copy v(connectionOf(team, "viewer1"));
    ASSERT_TRUE(waitFor([&] { return std::as_const(v.db).Slot(3).CodeUoo() == 33; }));
    EXPECT_FALSE(v.team->mayWrite());
    EXPECT_TRUE(v.team->statusText().contains("только чтение"));
    EXPECT_FALSE(v.team->statusText().contains("без"));
    // TLS without a check of the certificate is said.
    Copy unchecked(
        QStringLiteral("host=localhost port=%1 dbname=%2 user=installer1 sslmode=require")
            .arg(TeamServer::get().port(), team));
    ASSERT_TRUE(waitFor([&] { return unchecked.team->state() == TeamSync::State::Online; }));
    EXPECT_TRUE(unchecked.team->statusText().endsWith("без проверки сертификата"))
        << unchecked.team->statusText().toStdString();

    QFile f(pass.filePath("pgpass"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("*:*:*:installer2:wrong\n");
    f.close();
    Copy w(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return !w.attention.empty(); }));
    EXPECT_EQ(w.team->state(), TeamSync::State::Refused);
    EXPECT_TRUE(w.attention.front().contains("Сервер не принял пароль"))
        << w.attention.front().toStdString();
}

} // namespace
