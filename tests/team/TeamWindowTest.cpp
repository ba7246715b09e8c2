#include "../support/CardSupport.h"
#include "TeamCopy.h"

#include "app/CardHistoryWindow.h"
#include "app/RecordsModel.h"
#include "app/TForm1.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

namespace {

// An installer's window on a data folder of its own, and another copy.
class TeamWindow : public TeamSyncTest {
protected:
    TForm1& window(const QString& user) {
        db.setFileName(QDir(dir.path()).filePath("ProgInfo_10.MGA"));
        form = std::make_unique<TForm1>(db, boxes);
        QString problem;
        EXPECT_EQ(form->openTeam(connectionOf(team, user), &problem), TForm1::TeamOpen::Opened)
            << problem.toStdString();
        form->show();
        EXPECT_TRUE(waitFor([&] { return form->team()->state() == TeamSync::State::Online; }));
        return *form;
    }
    QTemporaryDir dir;
    SettingsDatabase db;
    ScriptedMessenger boxes;
    std::unique_ptr<TForm1> form;
};

TEST_F(TeamWindow, AnotherCopysSaveAppearsInGridAndEditorButWaitsForAnOpenBox) {
    TForm1& w = window("installer1");
    Copy other(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return other.team->state() == TeamSync::State::Online; }));
    other.save(0, NamedCard("Живая", 77));
    ASSERT_TRUE(waitFor([&] { return w.NCardEdit->text() == "Живая"; }));
    EXPECT_EQ(w.recordsModel().index(0, 1).data().toString(), "Живая");
    EXPECT_TRUE(w.TeamStatus->accessibleName().contains("installer1"));

    // While a box is open nothing comes in; it does once the box is closed.
    bool changedUnderTheBox = false;
    boxes.whileOpen = [&](const ScriptedMessenger::Box&) {
        other.save(0, NamedCard("Потом", 77));
        QTest::qWait(700);
        changedUnderTheBox = w.NCardEdit->text() != "Живая";
    };
    w.BitBtn3Click(); // "Удалить запись" asks; the answer is no
    boxes.whileOpen = nullptr;
    EXPECT_FALSE(changedUnderTheBox);
    ASSERT_TRUE(waitFor([&] { return w.NCardEdit->text() == "Потом"; }))
        << w.team()->statusText().toStdString() << " incoming " << w.team()->hasIncoming()
        << " other unsent " << other.team->unsent() << " " << other.team->statusText().toStdString()
        << " slot " << std::as_const(db).Slot(0).text(Field::NCardEdit).toStdString() << " edit "
        << w.EditMode << " boxes " << boxes.boxes.size();
    // The working copy on disk follows.
    EXPECT_TRUE(waitFor([&] {
        SettingsDatabase onDisk;
        onDisk.setFileName(db.fileName());
        return onDisk.Load() && std::as_const(onDisk).Slot(0).text(Field::NCardEdit) == "Потом";
    }));
}

TEST_F(TeamWindow, TheHistoryNamesEachVersionAndRestorePutsOneInTheEditor) {
    TForm1& w = window("installer1");
    SettingsRecord first = ValidRecord(5);
    first.setText(Field::Edit1, "Ул. Первая");
    SettingsRecord second = first;
    second.setText(Field::Edit1, "Ул. Вторая");
    Copy other(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return other.team->state() == TeamSync::State::Online; }));
    other.save(0, first);
    ASSERT_TRUE(waitFor([&] { return other.team->unsent() == 0; }));
    other.save(0, second);
    ASSERT_TRUE(waitFor([&] { return w.Edit1->text() == "Ул. Вторая"; }));
    QStringList rows;
    w.showHistoryWindow = [&](QDialog& d) {
        auto& h = static_cast<CardHistoryWindow&>(d);
        for (int r = 0; r < h.Versions->rowCount(); ++r)
            rows << h.Versions->item(r, 1)->text() + " | " + h.Versions->item(r, 2)->text();
        h.Versions->selectRow(1);
        h.RestoreBtn->click();
    };
    w.showHistory();
    ASSERT_TRUE(waitFor([&] { return !rows.isEmpty(); }))
        << (boxes.boxes.empty() ? std::string() : boxes.boxes.back().text.toStdString());
    ASSERT_EQ(rows.size(), 2) << rows.join("\n").toStdString();
    EXPECT_TRUE(rows[0].startsWith("installer2 | ") && rows[0].contains("Ул. Вторая") &&
                !rows[0].contains("PIN"))
        << rows[0].toStdString();
    EXPECT_TRUE(rows[1].contains("карточка создана")) << rows[1].toStdString();
    EXPECT_TRUE(w.EditMode);
    EXPECT_EQ(w.Edit1->text(), "Ул. Первая");
    w.BitBtn2Click(); // saved through the checks, and sent
    ASSERT_TRUE(waitFor([&] {
        return std::as_const(other.db).Slot(0).text(Field::Edit1) == "Ул. Первая";
    })) << w.EditMode
        << " " << std::as_const(db).Slot(0).text(Field::Edit1).toStdString() << " "
        << w.team()->unsent() << " " << w.team()->statusText().toStdString() << " "
        << other.team->statusText().toStdString() << " " << boxes.boxes.size();
}

TEST_F(TeamWindow, AFirstContactWithCardsOnBothSidesIsOneQuestion) {
    Copy other(connectionOf(team, "installer2"));
    ASSERT_TRUE(waitFor([&] { return other.team->state() == TeamSync::State::Online; }));
    for (int i = 0; i < 5; ++i)
        other.db.Slot(i) = NamedCard(QStringLiteral("Объект %1").arg(i), 10 + i);
    ASSERT_TRUE(other.db.Save(other.boxes));
    other.team->sendPending();
    ASSERT_TRUE(waitFor([&] { return other.team->unsent() == 0; }));
    // This copy holds the same cards, otherwise filled, and one of its own.
    for (int i = 0; i < 5; ++i) {
        SettingsRecord r = NamedCard(QStringLiteral("Объект %1").arg(i), 10 + i);
        r.setText(Field::Edit1, "здесь");
        db.Slot(i) = r;
    }
    db.Slot(7) = NamedCard("Только здесь", 70);
    db.setFileName(QDir(dir.path()).filePath("ProgInfo_10.MGA"));
    ASSERT_TRUE(db.Save(boxes));
    boxes.answers = {true};
    window("installer1");
    ASSERT_TRUE(waitFor([&] { return std::as_const(other.db).Slot(7).IsUsed(); }));
    QTest::qWait(300);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.contains("(5)")) << boxes.boxes[0].text.toStdString();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(std::as_const(other.db).Slot(i).text(Field::Edit1), "здесь") << i;
}

TEST_F(TeamWindow, AFirstContactThatWouldPutOneCodeInTwoRowsAsks) {
    for (const bool keepMine : {true, false}) {
        SCOPED_TRACE(keepMine);
        team = TeamServer::get().freshTeam();
        Copy other(connectionOf(team, "installer2"));
        ASSERT_TRUE(waitFor([&] { return other.team->state() == TeamSync::State::Online; }));
        other.save(9, NamedCard("Их", 42));
        ASSERT_TRUE(waitFor([&] { return other.team->unsent() == 0; }));
        QTemporaryDir here;
        SettingsDatabase mine;
        mine.setFileName(QDir(here.path()).filePath("ProgInfo_10.MGA"));
        mine.Slot(5) = NamedCard("Моя", 42);
        ScriptedMessenger asked;
        ASSERT_TRUE(mine.Save(asked));
        asked.answers = {keepMine};
        TForm1 w(mine, asked);
        QString problem;
        ASSERT_EQ(w.openTeam(connectionOf(team, "installer1"), &problem), TForm1::TeamOpen::Opened);
        ASSERT_TRUE(waitFor([&] {
            return !asked.boxes.empty() && w.team()->unsent() == 0 && !w.team()->hasIncoming();
        }));
        QTest::qWait(300);
        EXPECT_TRUE(asked.boxes.front().text.contains("Код УО 42"))
            << asked.boxes.front().text.toStdString();
        ASSERT_TRUE(waitFor([&] {
            return std::as_const(other.db).Slot(5).IsUsed() == keepMine &&
                   std::as_const(other.db).Slot(9).IsUsed() == !keepMine;
        }));
        EXPECT_EQ(std::as_const(mine).Slot(5).IsUsed(), keepMine);
        EXPECT_EQ(std::as_const(mine).Slot(9).IsUsed(), !keepMine);
    }
}

TEST_F(TeamWindow, AViewersWindowChangesNothing) {
    TForm1& w = window("viewer1");
    EXPECT_FALSE(w.BitBtn1->isEnabled());
    EXPECT_FALSE(w.BitBtn3->isEnabled());
    EXPECT_FALSE(w.ProgBtn->isEnabled());
    EXPECT_TRUE(w.BitBtn1->toolTip().contains("Только чтение"));
    w.BitBtn1Click();
    EXPECT_FALSE(w.EditMode);
}

} // namespace
