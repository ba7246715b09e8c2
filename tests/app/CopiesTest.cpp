// Several copies of the program on one database: the window's side, where
// the operator is asked and sees the result.
#include "app/RecordsModel.h"
#include "app/TForm1.h"
#include "editor/Rules.h"
#include "store/Backup.h"
#include "store/DatabaseLock.h"
#include "store/SaveNote.h"
#include "tests/support/CardSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MainWindowSupport.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A third copy: saves the valid card CODE into row SLOT of the file PATH.
UOO_CHILD_ROLE(save_card, [](const QStringList& args) {
    SettingsDatabase d;
    d.setFileName(args[0]);
    (void)d.Load();
    d.Slot(args[1].toInt()) = ValidRecord(args[2].toInt());
    ScriptedMessenger m;
    return d.Save(m) ? 0 : 1;
});

const QString kConflict = QStringLiteral(
    "Карточка «%1» (строка %2) изменена или удалена в другой копии программы.\n\nСохранить ваш "
    "вариант?");

class Copies : public MainWindowFixture {
protected:
    // Another case in the same test: no window, no file, no backups, no boxes.
    void afresh() {
        form.reset();
        if (db)
            db->backups().wait();
        QFile::remove(path);
        QFile::remove(SettingsDatabase::lockFileOf(path));
        QDir(BackupKeeper::folderOf(path)).removeRecursively();
        messenger.boxes.clear();
        messenger.answers.clear();
        messenger.whileOpen = {};
        SetUp();
    }
    // Cards 100 to 103 in rows 1 to 4, the window open on row 1.
    TForm1& start() {
        for (int i = 0; i < 4; ++i)
            db->Slot(i) = ValidRecord(100 + i);
        db->Template() = db->Slot(0).MakeTemplate();
        return openSaved();
    }
    // Another copy of the program on the same file.
    std::unique_ptr<SettingsDatabase> other() {
        auto d = std::make_unique<SettingsDatabase>();
        d->setFileName(path);
        (void)d->Load();
        return d;
    }
    static void save(SettingsDatabase& d) {
        ScriptedMessenger m;
        ASSERT_TRUE(d.Save(m));
    }
    std::unique_ptr<SettingsDatabase> file() { return other(); }
    // Typed into the editor of a free row, in edit mode.
    void typeNewCard(TForm1& f, int slot, int code) {
        f.selectSlot(slot);
        f.BitBtn1->click();
        ASSERT_TRUE(f.EditMode);
        f.writeForm(ValidForm(code));
    }
    // Outside edit mode the editor and the grid row show the card in memory,
    // which is what "Программировать" would send.
    void expectShowsMemory(TForm1& f) {
        ASSERT_FALSE(f.EditMode);
        const CardForm shown = f.readForm();
        EXPECT_EQ(shown, ::ShowRecord(db->Slot(f.CurrentSlot), db->Template(), shown,
                                      f.PageControl2->isVisibleTo(&f)));
        RecordsModel fresh(*db, QLocale());
        fresh.fillFromDatabase();
        for (int c = 0; c < fresh.columnCount(); ++c)
            EXPECT_EQ(f.recordsModel().cellText(f.CurrentSlot, c), fresh.cellText(f.CurrentSlot, c))
                << c;
        EXPECT_EQ(f.SetsGrid->currentIndex().row(), f.CurrentSlot);
    }
    bool waitFor(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QTest::qWait(20);
        return done();
    }
};

TEST_F(Copies, ACardBothChangedShowsAndKeepsTheVersionChosen) {
    const struct {
        const char* name;
        bool deletedThere;
        bool keepMine;
    } cases[] = {
        {"edited there, 'Да'", false, true},
        {"edited there, 'Нет'", false, false},
        {"deleted there, 'Да'", true, true},
        {"deleted there, 'Нет'", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        afresh();
        TForm1& f = start();
        f.BitBtn1->click();
        f.Edit1->setText(QStringLiteral("из A"));
        auto b = other();
        if (c.deletedThere) {
            b->Slot(0).Clear();
        } else {
            b->Slot(0).setText(Field::Edit1, QStringLiteral("из B"));
            b->Slot(0).setText(Field::APN1Edit, QStringLiteral("b.apn"));
        }
        b->Template().setText(Field::APN1Edit, QStringLiteral("b.template"));
        save(*b);
        messenger.answers = {c.keepMine};
        // Asked after edit mode has ended, over the card as saved.
        bool askedOverTheSavedCard = false;
        messenger.whileOpen = [&](const ScriptedMessenger::Box&) {
            RecordsModel fresh(*db, QLocale());
            fresh.fillFromDatabase();
            askedOverTheSavedCard = !f.EditMode && f.SetsGrid->isEnabled() &&
                                    db->Slot(0).text(Field::Edit1) == QStringLiteral("из A");
            for (int col = 0; col < fresh.columnCount(); ++col)
                askedOverTheSavedCard = askedOverTheSavedCard &&
                                        f.recordsModel().cellText(0, col) == fresh.cellText(0, col);
        };
        f.BitBtn2->click();
        messenger.whileOpen = {};
        EXPECT_TRUE(askedOverTheSavedCard);
        ASSERT_EQ(messenger.boxes.size(), 1u);
        EXPECT_EQ(messenger.boxes[0].text, kConflict.arg(QStringLiteral("100")).arg(1));
        EXPECT_FALSE(f.EditMode);
        expectShowsMemory(f);
        const auto now = file();
        EXPECT_EQ(now->Slot(0), db->Slot(0));
        EXPECT_EQ(now->Template(), db->Template());
        if (c.keepMine) {
            EXPECT_EQ(now->Slot(0).text(Field::Edit1), QStringLiteral("из A"));
            EXPECT_EQ(now->Template(), now->Slot(0).MakeTemplate());
            continue;
        }
        EXPECT_EQ(now->Slot(0).IsUsed(), !c.deletedThere);
        EXPECT_EQ(now->Template().text(Field::APN1Edit), QStringLiteral("b.template"));
        if (c.deletedThere) {
            EXPECT_EQ(f.APN1Edit->text(), QStringLiteral("b.template")); // the free row's template
            continue;
        }
        EXPECT_EQ(f.Edit1->text(), QStringLiteral("из B"));
        // The other copy's version is the base now: a later edit changes
        // only what it edits, and asks nothing.
        messenger.boxes.clear();
        f.BitBtn1->click();
        f.RemarkEdit->setText(QStringLiteral("потом"));
        f.BitBtn2->click();
        EXPECT_TRUE(messenger.boxes.empty());
        const auto later = file();
        EXPECT_EQ(later->Slot(0).text(Field::Edit1), QStringLiteral("из B"));
        EXPECT_EQ(later->Slot(0).text(Field::APN1Edit), QStringLiteral("b.apn"));
        EXPECT_EQ(later->Slot(0).text(Field::RemarkEdit), QStringLiteral("потом"));
    }
}

TEST_F(Copies, TwoNewCardsInOneRowAreTwoCards) {
    const struct {
        const char* name;
        int row;
        int to; // the lowest row free in both tables
    } cases[] = {
        {"both new in a free row", 4, 5},
        {"there deleted and another made in its row", 1, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        afresh();
        TForm1& f = start();
        if (c.row == 4) {
            typeNewCard(f, 4, 500);
        } else {
            f.selectSlot(1);
            f.BitBtn1->click();
            f.CodeUoo->setText(QStringLiteral("500"));
            f.NCardEdit->setText(QStringLiteral("500"));
        }
        auto b = other();
        b->Slot(c.row) = ValidRecord(600);
        save(*b);
        f.BitBtn2->click();
        ASSERT_EQ(messenger.boxes.size(), 1u);
        EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
        EXPECT_EQ(messenger.boxes[0].text,
                  QStringLiteral("Строку %1 заняла карточка «600», сохранённая в другой копии "
                                 "программы.\nВаша карточка «500» сохранена в строке %2.")
                      .arg(c.row + 1)
                      .arg(c.to + 1));
        EXPECT_EQ(f.CurrentSlot, c.to);
        expectShowsMemory(f);
        const auto now = file();
        EXPECT_EQ(now->Slot(c.row).CodeUoo(), 600u);
        EXPECT_EQ(now->Slot(f.CurrentSlot).CodeUoo(), 500u);
    }
}

TEST_F(Copies, ANewCardWithNoRowLeftStaysInTheEditor) {
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i)
        if (i != 4)
            db->Slot(i) = ValidRecord(1000 + i);
    TForm1& f = openSaved();
    typeNewCard(f, 4, 500);
    auto b = other();
    b->Slot(4) = ValidRecord(600);
    save(*b);
    const QByteArray before = ReadAll(path);
    const SettingsRecord templateBefore = db->Template();
    f.BitBtn2->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Строку 5 заняла карточка «600», сохранённая в другой копии "
                             "программы, а свободных строк в базе нет.\nВаша карточка не "
                             "сохранена."));
    // Back in edit mode as typed, nothing of it in memory.
    EXPECT_TRUE(f.EditMode);
    EXPECT_TRUE(f.BitBtn2->isEnabled());
    EXPECT_FALSE(f.SetsGrid->isEnabled());
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("500"));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_FALSE(db->Slot(4).IsUsed());
    EXPECT_EQ(db->Template(), templateBefore);
}

TEST_F(Copies, AnIdleWindowShowsWhatAnotherCopySaved) {
    TForm1& f = start();
    // On a card: the card; on a free row: the template.
    for (int row : {1, 6}) {
        SCOPED_TRACE(row);
        f.selectSlot(row);
        auto b = other();
        b->Slot(1).setText(Field::Edit1, QStringLiteral("из B"));
        b->Template().setText(Field::APN1Edit, QStringLiteral("b.template"));
        save(*b);
        const QString expected = row == 1 ? QStringLiteral("из B") : QStringLiteral("b.template");
        QLineEdit* box = row == 1 ? f.Edit1 : f.APN1Edit;
        EXPECT_TRUE(waitFor([&] { return box->text() == expected; }, 5000));
        expectShowsMemory(f);
        b->Slot(1).setText(Field::Edit1, QString());
        b->Template().setText(Field::APN1Edit, QString());
        save(*b);
        EXPECT_TRUE(waitFor([&] { return box->text().isEmpty(); }, 5000));
    }
}

TEST_F(Copies, AFileThatLostManyCardsIsTakenOnlyWhenTheOperatorSaysSo) {
    for (bool accept : {false, true}) {
        SCOPED_TRACE(accept);
        afresh();
        TForm1& f = start();
        f.selectSlot(2);
        // Emptied by something else; a new copy starts on it and saves one.
        ASSERT_TRUE(WriteAll(path, {}));
        auto c = other();
        c->Slot(0) = ValidRecord(900);
        save(*c);
        messenger.answers = {accept};
        ASSERT_TRUE(waitFor([&] { return !messenger.boxes.empty(); }, 5000));
        EXPECT_EQ(messenger.boxes[0].text,
                  QStringLiteral("В файле базы нет 4 карточек, которые есть в этой копии "
                                 "программы (например, «100», строка 1). Их удалили в другой "
                                 "копии программы, или файл был заменён.\n\nПринять файл как "
                                 "есть?"));
        QTest::qWait(50);
        expectShowsMemory(f);
        const auto now = file();
        EXPECT_EQ(now->Slot(0).CodeUoo(), 900u);
        EXPECT_EQ(db->Slot(0).CodeUoo(), 900u);
        EXPECT_EQ(now->Slot(2).IsUsed(), !accept);
        EXPECT_EQ(db->Slot(2).IsUsed(), !accept);
        if (!accept) {
            EXPECT_EQ(now->Slot(4).CodeUoo(), 100u); // card 100, out of C's row
        }
    }
}

TEST_F(Copies, NothingIsTakenWhileAQuestionIsOpenAndAThirdCopySaves) {
    // A deletes card 100, which B has edited: the question comes after
    // edit mode has ended.
    TForm1& f = start();
    f.BitBtn1->click();
    auto b = other();
    b->Slot(0).setText(Field::Edit1, QStringLiteral("из B"));
    save(*b);
    bool tookMeanwhile = false;
    messenger.whileOpen = [&](const ScriptedMessenger::Box& box) {
        if (box.text != kConflict.arg(QStringLiteral("100")).arg(1))
            return;
        messenger.whileOpen = {};
        // A third copy saves card 7 while the question is open, and the
        // window's look at the file comes round.
        Child third("save_card", {path, QStringLiteral("7"), QStringLiteral("107")});
        EXPECT_EQ(third.wait(), 0);
        QTest::qWait(2500);
        tookMeanwhile = db->Slot(7).IsUsed();
    };
    messenger.answers = {true, true};
    f.BitBtn3->click();
    EXPECT_FALSE(tookMeanwhile);
    EXPECT_EQ(messenger.boxes.size(), 2u);
    const auto now = file();
    EXPECT_FALSE(now->Slot(0).IsUsed());
    EXPECT_EQ(now->Slot(7).CodeUoo(), 107u);
    EXPECT_EQ(db->Slot(7).CodeUoo(), 107u);
    expectShowsMemory(f);
}

TEST_F(Copies, AMissingOrEmptyDatabaseIsOfferedTheNewestBackup) {
    const struct {
        const char* name;
        std::function<void(const QString&)> damage;
        QString what;
        std::deque<bool> answers;
        std::function<void(const QString&)> meanwhile; // while the question is open
        QString then;
        bool restored;
    } cases[] = {
        {"missing, 'Да'",
         [](const QString& p) { QFile::remove(p); },
         QStringLiteral("Файл базы ProgInfo_10.MGA не найден."),
         {true},
         {},
         {},
         true},
        {"empty, 'Нет'",
         [](const QString& p) { WriteAll(p, {}); },
         QStringLiteral("Файл базы ProgInfo_10.MGA пуст или повреждён."),
         {false},
         {},
         {},
         false},
        {"a stray byte, 'Да'",
         [](const QString& p) { WriteAll(p, QByteArray(SettingsRecord::Size + 1, 'x')); },
         QStringLiteral("Файл базы ProgInfo_10.MGA пуст или повреждён."),
         {true},
         {},
         {},
         true},
        {"restored by another copy meanwhile",
         [](const QString& p) { QFile::remove(p); },
         QStringLiteral("Файл базы ProgInfo_10.MGA не найден."),
         {true},
         [](const QString& p) {
             SettingsDatabase d;
             d.setFileName(p);
             d.Slot(8) = ValidRecord(808);
             ScriptedMessenger m;
             (void)d.Save(m);
         },
         QStringLiteral("База уже восстановлена в другой копии программы."),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        afresh();
        for (int i = 0; i < 3; ++i)
            db->Slot(i) = ValidRecord(100 + i);
        save(*db);
        db->backups().wait();
        const QByteArray backup = ReadAll(path);
        // The one offered: another copy may make a newer one meanwhile.
        const QString date =
            DateTimeText(QLocale())(TDateTime::fromDateTime(BackupKeeper::list(path).front().time));
        c.damage(path);
        messenger.answers = c.answers;
        messenger.whileOpen = [&](const ScriptedMessenger::Box& box) {
            if (box.question && c.meanwhile)
                c.meanwhile(path);
        };
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        TForm1& f = open();
        QStringList texts;
        for (const auto& b : messenger.boxes)
            if (b.question || !b.text.startsWith(QStringLiteral("Файл базы")))
                texts << b.text;
        ASSERT_GE(texts.size(), 1);
        EXPECT_EQ(texts[0], c.what + QStringLiteral(" В папке резервных копий есть копия от %1 "
                                                    "(карточек: 3).\n\nВосстановить базу из неё?")
                                         .arg(date));
        EXPECT_EQ(texts.size() > 1 ? texts[1] : QString(), c.then);
        EXPECT_EQ(ReadAll(path) == backup, c.restored);
        EXPECT_EQ(db->Slot(2).IsUsed(), c.restored);
        EXPECT_EQ(f.recordsModel().cellText(2, 0).isEmpty(), !c.restored);
        if (c.meanwhile) {
            EXPECT_EQ(db->Slot(8).CodeUoo(), 808u);
        }
    }
}

} // namespace

TEST_F(Copies, ADatabaseACopyHoldsAloneOpensReadOnlyAndSaysWhoHasIt) {
    TForm1* f = nullptr;
    for (int i = 0; i < 2; ++i)
        db->Slot(i) = ValidRecord(100 + i);
    ScriptedMessenger quiet;
    ASSERT_TRUE(db->Save(quiet));
    // A copy on another machine that works alone with the folder.
    LeaseHolder holder;
    holder.machine = QStringLiteral("ноутбук-2");
    holder.machineId = "another machine";
    holder.process = 1;
    holder.token = "0123456789abcdef";
    holder.since = QDateTime(QDate(2026, 12, 10), QTime(9, 5));
    holder.session = true;
    ASSERT_TRUE(WriteAll(Lease::fileOf(path), holder.text()));
    db = std::make_unique<SettingsDatabase>();
    db->setFileName(path);
    f = &open();
    f->show();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_TRUE(messenger.boxes[0].text.startsWith(
        QStringLiteral("База ProgInfo_10.MGA открыта только для чтения: с ней работает копия "
                       "программы на компьютере «ноутбук-2» с 10.12.2026 09:05.")))
        << messenger.boxes[0].text.toStdString();
    // Nothing is begun that could not be saved.
    f->BitBtn1->click();
    ASSERT_EQ(messenger.boxes.size(), 2u);
    EXPECT_EQ(messenger.boxes[1].text, messenger.boxes[0].text);
    EXPECT_FALSE(f->EditMode);
    // Once that copy has gone, editing is as ever.
    ASSERT_TRUE(QFile::remove(Lease::fileOf(path)));
    f->BitBtn1->click();
    EXPECT_TRUE(f->EditMode);
    EXPECT_EQ(messenger.boxes.size(), 2u);
}

TEST_F(Copies, ASaveAnotherWriterBuriedIsWrittenAgainAndTheOperatorHears) {
    TForm1& f = start();
    const QByteArray before = ReadAll(path);
    const auto noteBefore = SaveNote::parse(SaveNote::read(path));
    ASSERT_TRUE(noteBefore.has_value());
    f.BitBtn1->click();
    f.Edit1->setText(QStringLiteral("моя правка"));
    f.BitBtn2->click();
    ASSERT_TRUE(messenger.boxes.empty());
    // A writer that did not wait for the lock puts the file it read before
    // in place, with its own line in the note.
    const QString made = path + QStringLiteral(".other");
    ASSERT_TRUE(WriteAll(made, before));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(made, path));
    SaveNote note = *noteBefore;
    note.saves.insert(note.saves.begin(), {SaveNote::newId(), noteBefore->latest()});
    ASSERT_TRUE(SaveNote::write(path, note.text(), 0600));
    ASSERT_TRUE(waitFor([&] { return !messenger.boxes.empty(); }, 5000));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Карточка «100» (строка 1), сохранённая в этой копии программы, не "
                             "попала в файл базы: другая копия программы записала файл поверх "
                             "неё.\n\nОна записана снова."));
    EXPECT_EQ(file()->Slot(0).text(Field::Edit1), QStringLiteral("моя правка"));
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("моя правка"));
}
