#include "TeamServer.h"

#include "store/CardFields.h"
#include "store/Cp1251.h"
#include "store/DateTime.h"
#include "store/SettingsRecord.h"

#include <QDateTime>

#include <cmath>
#include <thread>

namespace {

QByteArray hexOf(const SettingsRecord& r) {
    return "\\x" +
           QByteArray(reinterpret_cast<const char*>(r.data()), SettingsRecord::Size).toHex();
}

struct Team {
    QString name = TeamServer::get().freshTeam();
    std::unique_ptr<BlockingSession> as(const QString& user, const QString& password) {
        return TeamServer::get().open(TeamServer::get().tls(name, user), password);
    }
};

TEST(TeamSchema, RefusesWhatNoTeamRoleMayDo) {
    REQUIRE_TEAM_SERVER();
    Team team;
    auto installer = team.as("installer1", "pw1");
    auto owner = team.as("admin", "adminpw");
    QString error;
    ASSERT_TRUE(installer->query("INSERT INTO uoo.card (slot, record) VALUES (5, $1)",
                                 {hexOf(SettingsRecord())}, &error))
        << error.toStdString();
    struct Case {
        const char* who;
        const char* sql;
    } cases[] = {
        {"viewer1", "UPDATE uoo.card SET record = record"},
        {"viewer1", "INSERT INTO uoo.card (slot, record) SELECT 6, record FROM uoo.card"},
        {"installer1", "UPDATE uoo.card SET changed_by = 'viewer1'"},
        {"installer1", "UPDATE uoo.card SET version = 100"},
        {"installer1", "UPDATE uoo.card SET slot = 7"},
        {"installer1", "DELETE FROM uoo.card"},
        {"installer1", "UPDATE uoo.card_history SET record = record"},
        {"installer1", "DELETE FROM uoo.card_history"},
        {"installer1", "SELECT pg_catalog.setval('uoo.card_version', 1)"},
        {"installer1", "INSERT INTO uoo.card (slot, record) VALUES (9000, '\\x00')"},
        {"admin", "DELETE FROM uoo.card"},
        {"admin", "TRUNCATE uoo.card"},
        {"admin", "UPDATE uoo.card SET slot = 8"},
        {"admin", "DELETE FROM uoo.card_history"},
        {"admin", "UPDATE uoo.card_history SET slot = 8"},
        {"admin", "INSERT INTO uoo.card_history SELECT 99, slot, record, changed_at, changed_by "
                  "FROM uoo.card"},
        {"admin", "UPDATE uoo.card SET record = '\\x00'"},
        {"stranger", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.who) + ": " + (c.sql ? c.sql : "connect"));
        if (!c.sql) {
            QString problem;
            const auto where = ConnectionString::parse(
                TeamServer::get().pq(), TeamServer::get().tls(team.name, c.who), &problem);
            EXPECT_FALSE(BlockingSession::open(TeamServer::get().pq(), *where,
                                               TeamServer::password("pws"), &problem));
            EXPECT_TRUE(problem.contains("CONNECT")) << problem.toStdString();
            continue;
        }
        auto session = QString(c.who) == "installer1" ? team.as("installer1", "pw1")
                       : QString(c.who) == "admin"    ? team.as("admin", "adminpw")
                                                      : team.as("viewer1", "pwv");
        EXPECT_FALSE(session->run(c.sql, &error));
    }
    // Whatever was tried, one version of row 5 by installer1.
    auto rows = owner->query("SELECT c.version, c.changed_by, (SELECT count(*) FROM "
                             "uoo.card_history) FROM uoo.card c",
                             {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(TeamServer::get().pq().PQntuples(rows.get()), 1);
    EXPECT_STREQ(TeamServer::get().pq().PQgetvalue(rows.get(), 0, 1), "installer1");
    EXPECT_STREQ(TeamServer::get().pq().PQgetvalue(rows.get(), 0, 2), "1");
}

TEST(TeamSchema, SetupAgainChangesNothingAndANewerSchemaIsRefused) {
    REQUIRE_TEAM_SERVER();
    Team team;
    const Libpq& pq = TeamServer::get().pq();
    QString error;
    const auto where =
        ConnectionString::parse(pq, TeamServer::get().tls(team.name, "admin"), &error);
    auto again = TeamSchema::setUp(pq, *where, TeamServer::password("adminpw"));
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.text.contains("Ничего не изменено")) << again.text.toStdString();

    auto su = TeamServer::get().superuser(team.name);
    ASSERT_TRUE(su->run("UPDATE uoo.schema_version SET version = 7", &error));
    auto newer = TeamSchema::setUp(pq, *where, TeamServer::password("adminpw"));
    EXPECT_EQ(newer.exitCode, 1);
    EXPECT_TRUE(newer.text.contains("версии 7") && newer.text.contains("версия 1"))
        << newer.text.toStdString();

    auto refused = TeamSchema::setUp(pq, *where, TeamServer::password("wrong"));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.text.contains("password authentication failed"))
        << refused.text.toStdString();
}

TEST(TeamSchema, TwoSetupsAtOnceBothSucceed) {
    REQUIRE_TEAM_SERVER();
    const Libpq& pq = TeamServer::get().pq();
    auto su = TeamServer::get().superuser();
    QString error;
    const QString names[] = {QStringLiteral("twin_a_%1").arg(QCoreApplication::applicationPid()),
                             QStringLiteral("twin_b_%1").arg(QCoreApplication::applicationPid())};
    for (const QString& n : names)
        ASSERT_TRUE(su->run(("CREATE DATABASE " + n + " OWNER admin").toUtf8(), &error));
    // Two administrators on one database, and a third on another.
    TeamSchema::SetupResult results[3];
    const QString targets[3] = {names[0], names[0], names[1]};
    std::vector<std::thread> runs;
    for (int i = 0; i < 3; ++i)
        runs.emplace_back([&, i] {
            QString problem;
            const auto where =
                ConnectionString::parse(pq, TeamServer::get().tls(targets[i], "admin"), &problem);
            results[i] = TeamSchema::setUp(pq, *where, TeamServer::password("adminpw"));
        });
    for (auto& t : runs)
        t.join();
    int made = 0;
    for (const auto& r : results) {
        EXPECT_EQ(r.exitCode, 0) << r.text.toStdString();
        made += r.text.contains("Создана схема uoo") ? 1 : 0;
    }
    EXPECT_EQ(made, 2);
}

TEST(TeamSchema, TheViewReadsTheCardsAsTheProgramDoes) {
    REQUIRE_TEAM_SERVER();
    Team team;
    const Libpq& pq = TeamServer::get().pq();
    SettingsRecord card;
    card.setCodeUoo(4000000000u);
    // Byte 0x98, which the server's own conversion refuses, and Cyrillic.
    card.setBytes(Field::Edit1, QByteArray("\x98\xcc\xee\xf1\xea\xe2\xe0 ", 9) + "5");
    card.setText(Field::NCardEdit, QStringLiteral("Кв-17"));
    card.setText(Field::Pin1Edit, QStringLiteral("1234"));
    card.setCord(3, 2);
    card.setModeFlags(ModeBit::BatteryControl);
    card.setbalCritical(300);
    const QDateTime when(QDate(2026, 12, 10), QTime(14, 5, 30));
    card.setChangeDate(TDateTime::fromDateTime(when));
    SettingsRecord free;       // not in use: not in the view
    SettingsRecord nan = card; // a damaged date: not in use
    nan.setChangeDate(std::nan(""));
    SettingsRecord far = card; // in use, its date beyond any calendar
    far.setChangeDate(1e300);
    auto installer = team.as("installer1", "pw1");
    QString error;
    int slot = 0;
    for (const SettingsRecord* r : {&card, &free, &nan, &far})
        ASSERT_TRUE(installer->query("INSERT INTO uoo.card (slot, record) VALUES ($1, $2)",
                                     {QByteArray::number(slot++), hexOf(*r)}, &error))
            << error.toStdString();
    auto viewer = team.as("viewer1", "pwv");
    auto rows = viewer->query("SELECT slot, codeuoo, edit1, ncardedit, cord3, batterycontrol, "
                              "indiczu, balcritical, changedate FROM uoo.cards ORDER BY slot",
                              {}, &error);
    ASSERT_TRUE(rows) << error.toStdString();
    ASSERT_EQ(pq.PQntuples(rows.get()), 2);
    const auto at = [&](int row, int column) {
        return pq.PQgetisnull(rows.get(), row, column)
                   ? QString("NULL")
                   : QString::fromUtf8(pq.PQgetvalue(rows.get(), row, column));
    };
    EXPECT_EQ(at(0, 0), "0");
    EXPECT_EQ(at(0, 1), "4000000000");
    EXPECT_EQ(at(0, 2), card.text(Field::Edit1));
    EXPECT_EQ(at(0, 3), "Кв-17");
    EXPECT_EQ(at(0, 4), "2");
    EXPECT_EQ(at(0, 5), "t");
    EXPECT_EQ(at(0, 6), "f");
    EXPECT_EQ(at(0, 7), "300");
    EXPECT_EQ(at(0, 8), "2026-12-10 14:05:30");
    EXPECT_EQ(at(1, 0), "3");
    EXPECT_EQ(at(1, 8), "NULL");
    // No secret is a column of it.
    const QStringList columns = TeamSchema::cardsViewColumns();
    for (const char* secret : {"pin1edit", "pin2edit", "passgsm1edit", "passgsm2edit"})
        EXPECT_FALSE(columns.contains(secret)) << secret;
    EXPECT_FALSE(viewer->query("SELECT pin1edit FROM uoo.cards", {}, &error));
}

} // namespace
