#include "../support/ChildProcess.h"
#include "TeamCopy.h"

namespace {

// A copy in a process of its own: `rounds` saves of its own card in `slot`,
// each also changing the card both copies share in row 100, as fast as the
// server answers; a conflict keeps this copy's version.
UOO_CHILD_ROLE(team_rounds, [](const QStringList& args) {
    qputenv("PGPASSFILE", QFile::encodeName(args[2]));
    const int slot = args[3].toInt();
    const int rounds = args[4].toInt();
    Copy copy(args[0]);
    if (!waitFor([&] { return copy.team->state() == TeamSync::State::Online; }, 10000))
        return 2;
    for (int r = 1; r <= rounds; ++r) {
        SettingsRecord own = NamedCard(QStringLiteral("Р%1-%2").arg(slot).arg(r), 1000 * slot + r);
        SettingsRecord shared = NamedCard(QStringLiteral("Общая"), 77);
        shared.setText(Field::Edit1, QStringLiteral("копия %1, круг %2").arg(slot).arg(r));
        copy.db.Slot(100) = shared;
        copy.save(slot, own);
        if (!waitFor([&] { return copy.team->unsent() == 0 && !copy.team->hasIncoming(); }, 20000))
            return 3;
    }
    return 0;
});

TEST_F(TeamSyncTest, TwoProcessesSavingAtOnceLoseNoEditAndAgreeOnTheSharedCard) {
    const int rounds = 15;
    QTemporaryDir a, b;
    const QString passfile = pass.filePath("pgpass");
    Child first("team_rounds", {connectionOf(team, "installer1"), a.path(), passfile, "1",
                                QString::number(rounds)});
    Child second("team_rounds", {connectionOf(team, "installer2"), b.path(), passfile, "2",
                                 QString::number(rounds)});
    ASSERT_EQ(first.wait(60000), 0);
    ASSERT_EQ(second.wait(60000), 0);
    auto owner = TeamServer::get().open(connectionOf(team, "admin"), "adminpw");
    QString error;
    const Libpq& pq = TeamServer::get().pq();
    for (int slot : {1, 2}) {
        auto rows = owner->query("SELECT count(*) FROM uoo.card_history WHERE slot = $1",
                                 {QByteArray::number(slot)}, &error);
        EXPECT_EQ(QByteArray(pq.PQgetvalue(rows.get(), 0, 0)).toInt(), rounds) << slot;
    }
    // Both copies end with what the server holds.
    Copy c(connectionOf(team, "installer1"));
    ASSERT_TRUE(waitFor([&] { return std::as_const(c.db).Slot(2).CodeUoo() == 2000u + rounds; }));
    EXPECT_EQ(std::as_const(c.db).Slot(1).CodeUoo(), 1000u + rounds);
    EXPECT_TRUE(std::as_const(c.db).Slot(100).text(Field::Edit1).endsWith(QString::number(rounds)));
}

} // namespace
