#include "app/RecordsModel.h"
#include "app/TForm1.h"
#include "editor/Rules.h"
#include "store/CardFields.h"
#include "tests/support/CardSupport.h"
#include "tests/support/MainWindowSupport.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Types any text, Cyrillic included, one key event per character.
void typeText(QWidget* w, const QString& text) {
    for (QChar ch : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(ch), Qt::NoModifier);
}

class RecordList : public MainWindowFixture {
protected:
    SettingsRecord& card(int row, const QString& object, std::uint32_t code) {
        SettingsRecord& r = db->Slot(row - 1);
        r.setCodeUoo(code);
        r.setText(Field::NCardEdit, QString::number(code));
        r.setText(Field::Edit1, object);
        r.setText(Field::Pin1Edit, QStringLiteral("1234"));
        r.setChangeDate(46000.25);
        return r;
    }
    TForm1& open() { return openSaved(); }
    void type(const QString& text) {
        form->SearchEdit->setFocus();
        form->SearchEdit->selectAll();
        typeText(form->SearchEdit, text);
    }
    int row() const { return form->SetsGrid->currentIndex().row() + 1; }
};

TEST_F(RecordList, TypingSelectsTheFirstMatchAndShowsItsCard) {
    card(15, QStringLiteral("Аптека на углу"), 15);
    card(30, QStringLiteral("Склад"), 30);
    TForm1& f = open();
    type(QStringLiteral("скл"));
    EXPECT_EQ(row(), 30);
    EXPECT_EQ(f.CurrentSlot, 29);
    EXPECT_EQ(f.SearchRow, 30);
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("Склад"));
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("30"));
}

TEST_F(RecordList, GridColumnsBeforeSimFieldsInEachDirection) {
    card(20, QStringLiteral("Гараж"), 20).setText(Field::SIM_ID1_Edit, QStringLiteral("xyz-777"));
    card(7000, QStringLiteral("Дом xyz-777"), 7000);
    TForm1& f = open();
    type(QStringLiteral("xyz-777"));
    EXPECT_EQ(row(), 7000);
    f.SpeedButton3->click();
    EXPECT_EQ(row(), 20);
    f.SpeedButton3->click();
    EXPECT_EQ(row(), 7000);
}

TEST_F(RecordList, GridTextIgnoresCaseSimFieldsDoNot) {
    card(10, QStringLiteral("магазин"), 10);
    card(12, QStringLiteral("Школа"), 12).setText(Field::SIM_ID2_Edit, QStringLiteral("абв"));
    TForm1& f = open();
    type(QStringLiteral("МАГАЗИН"));
    EXPECT_EQ(row(), 10);
    type(QStringLiteral("АБВ"));
    EXPECT_EQ(row(), 10); // no match: the selection stays
    type(QStringLiteral("абв"));
    EXPECT_EQ(row(), 12);
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("Школа"));
}

TEST_F(RecordList, EverySimFieldIsSearchedFreeSlotsToo) {
    const TextField fields[] = {Field::SIM_ID1_Edit, Field::SIM_ID2_Edit, Field::PUK1_Edit,
                                Field::PUK2_Edit,    Field::Number1_Edit, Field::Number2_Edit};
    for (int i = 0; i < 6; ++i)
        card(20 + i, QStringLiteral("Объект"), static_cast<std::uint32_t>(20 + i))
            .setText(fields[i], QStringLiteral("sim%1x").arg(i));
    // A free slot (no change date) whose SIM field still holds a text.
    db->Slot(99).setText(Field::PUK2_Edit, QStringLiteral("forgotten"));
    TForm1& f = open();
    for (int i = 0; i < 6; ++i) {
        type(QStringLiteral("sim%1x").arg(i));
        EXPECT_EQ(row(), 20 + i) << i;
        EXPECT_EQ(f.SearchRow, 20 + i) << i;
    }
    type(QStringLiteral("forgotten"));
    EXPECT_EQ(f.SearchRow, 100);
}

TEST_F(RecordList, DatesAndCodesAreSearchedAsShown) {
    card(40, QStringLiteral("Офис"), 123456).setProgDate(46100.0);
    open();
    type(QStringLiteral("123456"));
    EXPECT_EQ(row(), 40);
    type(QStringLiteral("2026")); // the programming date, 18.03.2026
    EXPECT_EQ(row(), 40);
    EXPECT_EQ(form->SearchRow, 40); // found, not merely left where it was
}

TEST_F(RecordList, OnlyMatchAtTheCurrentRowIsNotFoundAgain) {
    card(1, QStringLiteral("Единственный"), 1);
    TForm1& f = open();
    f.SearchEdit->setText(QStringLiteral("Единств"));
    EXPECT_EQ(f.SearchRow, 1);
    // Scrolled away: finding row 1 again would bring it back into view.
    QScrollBar* bar = f.SetsGrid->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const int scrolled = bar->value();
    ASSERT_GT(scrolled, 0);
    f.SpeedButton3->click();
    EXPECT_EQ(f.SearchRow, 1);
    EXPECT_EQ(row(), 1);
    EXPECT_EQ(bar->value(), scrolled);
}

TEST_F(RecordList, ASearchRedrawsTheRowItLeaves) {
    card(3, QStringLiteral("Лес 1"), 3);
    card(5, QStringLiteral("Лес 2"), 5);
    TForm1& f = open();
    type(QStringLiteral("лес"));
    ASSERT_EQ(row(), 3);
    QApplication::processEvents();
    struct PaintRecorder : QObject {
        QRegion painted;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint)
                painted += static_cast<QPaintEvent*>(e)->region();
            return false;
        }
    } recorder;
    f.SetsGrid->viewport()->installEventFilter(&recorder);
    QTest::keyClick(f.SearchEdit, Qt::Key_Return);
    ASSERT_EQ(row(), 5);
    QApplication::processEvents();
    const QRect left(0, f.SetsGrid->rowViewportPosition(2), f.SetsGrid->viewport()->width(),
                     f.SetsGrid->rowHeight(2));
    EXPECT_TRUE(recorder.painted.contains(left));
}

TEST_F(RecordList, OnlyAMoveToAnotherControlPutsThePromptBack) {
    TForm1& f = open();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.SearchEdit->setFocus();
    f.SearchEdit->clear();
    // Another window comes up, as a message box or another program does.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_EQ(f.SearchEdit->text(), QString());
    other.close();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.SetsGrid->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(f.SearchEdit->text(), QStringLiteral("(Поиск...)"));
}

TEST_F(RecordList, EnterContinuesTheSearch) {
    card(3, QStringLiteral("Лес 1"), 3);
    card(5, QStringLiteral("Лес 2"), 5);
    open();
    type(QStringLiteral("лес"));
    EXPECT_EQ(row(), 3);
    QTest::keyClick(form->SearchEdit, Qt::Key_Return);
    EXPECT_EQ(row(), 5);
    QTest::keyClick(form->SearchEdit, Qt::Key_Enter);
    EXPECT_EQ(row(), 3);
}

TEST_F(RecordList, EmptiedSearchBoxGetsItsPromptBackAndSearchesForIt) {
    card(8, QStringLiteral("Склад (Поиск...) старый"), 8);
    TForm1& f = open();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.SearchEdit->setFocus();
    f.SearchEdit->clear();
    f.SetsGrid->setFocus(); // leaving the box
    QApplication::processEvents();
    EXPECT_EQ(f.SearchEdit->text(), QStringLiteral("(Поиск...)"));
    EXPECT_EQ(row(), 8);
}

TEST_F(RecordList, ClickIntoTheSearchBoxSelectsItsText) {
    TForm1& f = open();
    QTest::mouseClick(f.SearchEdit, Qt::LeftButton);
    EXPECT_EQ(f.SearchEdit->selectedText(), QStringLiteral("(Поиск)"));
}

TEST_F(RecordList, ClickOnTheShownRowDoesNotShowItAgain) {
    card(1, QStringLiteral("Первый"), 1);
    TForm1& f = open();
    f.Edit1->setText(QStringLiteral("изменено"));
    const QRect cell = f.SetsGrid->visualRect(f.SetsGrid->model()->index(0, 2));
    QTest::mouseClick(f.SetsGrid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("изменено"));
    EXPECT_EQ(f.SearchRow, 1);
}

TEST_F(RecordList, AnySearchTextIsSafe) {
    card(2, QStringLiteral("Объект"), 2);
    TForm1& f = open();
    for (const QString& t : {QString(5000, QLatin1Char('a')), QStringLiteral("\u4E2D\u6587"),
                             QStringLiteral("%1%2%s\\0"), QString(QChar(0))}) {
        f.SearchEdit->setText(t);
        EXPECT_EQ(row(), 1);
    }
}

TEST_F(RecordList, EditButtonEnablesTheEditorAndAsksBeforeCancelling) {
    card(1, QStringLiteral("Первый"), 1);
    TForm1& f = open();
    f.BitBtn1->click();
    EXPECT_TRUE(f.EditMode);
    EXPECT_TRUE(f.GroupBox1->isEnabled());
    EXPECT_TRUE(f.MainGSM_Sheet->isEnabled());
    EXPECT_FALSE(f.SetsGrid->isEnabled());
    EXPECT_FALSE(f.ProgBtn->isEnabled());
    EXPECT_EQ(f.BitBtn1->text(), QStringLiteral("Отменить редактирование"));

    f.Edit1->setText(QStringLiteral("правка"));
    messenger.answers = {false};
    f.BitBtn1->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Все изменения будут утеряны. Отменить редактирование?"));
    EXPECT_TRUE(f.EditMode);
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("правка"));

    messenger.answers = {true};
    f.BitBtn1->click();
    EXPECT_FALSE(f.EditMode);
    EXPECT_EQ(f.Edit1->text(), QStringLiteral("Первый"));
    EXPECT_FALSE(f.GroupBox1->isEnabled());
    EXPECT_TRUE(f.SetsGrid->isEnabled());
}

TEST_F(RecordList, EditingAFreeSlotDrawsALocalPort) {
    TForm1& f = open();
    f.PortLoc->setText(QStringLiteral("5000"));
    f.BitBtn1->click();
    const int port = f.PortLoc->text().toInt();
    EXPECT_GE(port, 6001);
    EXPECT_LT(port, 64000);
}

TEST_F(RecordList, ChoosingAControlLoopResetsTheOlderOne) {
    card(1, QStringLiteral("Первый"), 1).setCord(1, 4);
    TForm1& f = open();
    f.BitBtn1->click();
    ASSERT_EQ(f.Cord[0]->currentIndex(), 4);
    f.Cord[2]->setCurrentIndex(3);
    f.Cord[2]->setFocus();
    QTest::keyClick(f.Cord[2], Qt::Key_Down); // "Управляющий шлейф"
    EXPECT_EQ(f.Cord[2]->currentIndex(), 4);
    EXPECT_EQ(f.Cord[0]->currentIndex(), 0);
}

TEST_F(RecordList, RulesFollowTheControls) {
    TForm1& f = open();
    f.BitBtn1->click();
    f.PageControl1->setCurrentWidget(f.BalanceSheet);
    f.balEnable->click();
    EXPECT_TRUE(f.balPhoneSim1->isEnabledTo(f.BalanceSheet));
    typeText(f.balPhoneSim1, QStringLiteral("89161234567"));
    f.balEnable->click();
    EXPECT_TRUE(f.balPhoneSim1->text().isEmpty());
    EXPECT_FALSE(f.balPhoneSim1->isEnabledTo(f.BalanceSheet));

    f.UseEthPriority->click();
    EXPECT_TRUE(f.timeGsmEdit->isEnabledTo(f.GroupBox4));

    f.CodeUoo->setFocus();
    f.CodeUoo->selectAll();
    typeText(f.CodeUoo, QStringLiteral("255"));
    EXPECT_EQ(f.Label17->text(), QStringLiteral("( 0x000000FF )"));
    // Typing in the middle keeps the cursor where it is.
    f.CodeUoo->setCursorPosition(1);
    QTest::keyClick(f.CodeUoo, Qt::Key_0);
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("2055"));

    f.RelayComboBox2->setCurrentIndex(5);
    f.PageControl2->setCurrentIndex(1);
    EXPECT_EQ(f.Label40->text(), RelayProfileTexts[5]);

    f.SpeedButton2->click();
    EXPECT_EQ(f.Mac[0]->text(), QStringLiteral("00"));
}

TEST_F(RecordList, DeleteAnsweredYesFreesTheSlotEverywhere) {
    SettingsRecord& c = card(4, QStringLiteral("Удаляемый"), 44);
    c.setProgID1(0xBEEF);
    TForm1& f = open();
    f.SetsGrid->selectRow(3);
    ASSERT_EQ(f.CurrentSlot, 3);
    f.BitBtn1->click();
    messenger.answers = {true};
    f.BitBtn3->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Вы точно хотите удалить запись безвозвратно?"));
    EXPECT_TRUE(f.recordsModel().cellText(3, 2).isEmpty());
    EXPECT_EQ(f.ProgID1->text(), QStringLiteral("0000"));
    EXPECT_EQ(f.ProgID2->text(), QStringLiteral("0000"));
    EXPECT_FALSE(f.EditMode);
    EXPECT_EQ(f.BitBtn1->text(), QStringLiteral("Включить редактирование"));
    EXPECT_TRUE(f.SetsGrid->isEnabled());
    EXPECT_EQ(ReadAll(path).mid(3 * SettingsRecord::Size, SettingsRecord::Size),
              QByteArray(SettingsRecord::Size, 0));
    EXPECT_FALSE(f.SavedSinceStart);
}

TEST_F(RecordList, DeleteWithAFailingSaveTellsAndKeepsTheFile) {
    card(4, QStringLiteral("Удаляемый"), 44);
    TForm1& f = open();
    const QByteArray before = ReadAll(path);
    f.SetsGrid->selectRow(3);
    f.BitBtn1->click();
    FaultyCalls calls;
    calls.failStep = FaultyCalls::Rename;
    db->setFileSystemCalls(&calls);
    messenger.answers = {true};
    f.BitBtn3->click();
    ASSERT_EQ(messenger.boxes.size(), 2u);
    EXPECT_EQ(messenger.boxes[1].text, QStringLiteral("Ошибка записи на диск"));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_FALSE(db->Slot(3).IsUsed()); // gone from memory; the next save writes it
    db->setFileSystemCalls(nullptr);
    f.ExitBtn->click();
    EXPECT_EQ(ReadAll(path), before); // no card was saved since start
}

TEST_F(RecordList, ExitInEditModeClosesWithoutSavingTheEdit) {
    card(2, QStringLiteral("Склад"), 2);
    TForm1& f = open();
    const QByteArray before = ReadAll(path);
    f.SetsGrid->selectRow(1);
    f.BitBtn1->click();
    f.Edit1->setText(QStringLiteral("Изменённый"));
    f.ExitBtn->click();
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(messenger.boxes.empty());
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(RecordList, DeleteAnsweredNoChangesNothing) {
    card(4, QStringLiteral("Остаётся"), 44);
    TForm1& f = open();
    const QByteArray before = ReadAll(path);
    f.SetsGrid->selectRow(3);
    f.BitBtn1->click();
    messenger.answers = {false};
    f.BitBtn3->click();
    EXPECT_TRUE(f.EditMode);
    EXPECT_EQ(f.recordsModel().cellText(3, 2), QStringLiteral("Остаётся"));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_TRUE(db->Slot(3).IsUsed());
}

TEST_F(RecordList, NewCardOnAFreeRowIsSavedToTheFileAndTheList) {
    card(1, QStringLiteral("Первый"), 1);
    TForm1& f = open();
    f.SetsGrid->selectRow(9); // row 10, free
    ASSERT_EQ(f.CurrentSlot, 9);
    f.BitBtn1->click();
    auto typeInto = [](QLineEdit* e, const QString& text) {
        e->setFocus();
        e->selectAll();
        typeText(e, text);
    };
    typeInto(f.NCardEdit, QStringLiteral("77"));
    typeInto(f.CodeUoo, QStringLiteral("32005"));
    typeInto(f.Edit1, QStringLiteral("Новый объект"));
    typeInto(f.Pin1Edit, QStringLiteral("1111"));
    typeInto(f.Pin2Edit, QStringLiteral("2222"));
    const char* octets[] = {"10", "1", "2", "3"};
    for (std::size_t i = 0; i < 4; ++i) {
        typeInto(f.Ip1GsmEdit[i], QString::fromLatin1(octets[i]));
        typeInto(f.Ip2GsmEdit[i], QString::fromLatin1(octets[i]));
    }
    typeInto(f.Port1GsmEdit, QStringLiteral("5000"));
    typeInto(f.Port2GsmEdit, QStringLiteral("6000"));
    typeInto(f.APN1Edit, QStringLiteral("internet"));
    typeInto(f.APN2Edit, QStringLiteral("internet"));
    for (QLineEdit* e : {f.LoginGsm1Edit, f.LoginGsm2Edit, f.PassGsm1Edit, f.PassGsm2Edit})
        typeInto(e, QStringLiteral("1"));
    f.BitBtn2->click();
    ASSERT_TRUE(messenger.boxes.empty()) << messenger.boxes.front().text.toStdString();
    EXPECT_FALSE(f.EditMode);
    EXPECT_TRUE(f.SavedSinceStart);
    EXPECT_EQ(f.recordsModel().cellText(9, 0), QStringLiteral("32005"));
    EXPECT_EQ(f.recordsModel().cellText(9, 2), QStringLiteral("Новый объект"));
    EXPECT_FALSE(f.recordsModel().cellText(9, 3).isEmpty());
    SettingsDatabase reread;
    reread.setFileName(path);
    ASSERT_TRUE(reread.Load());
    const SettingsRecord& saved = reread.Slot(9);
    EXPECT_TRUE(saved.IsUsed());
    EXPECT_EQ(saved.CodeUoo(), 32005u);
    EXPECT_EQ(saved.text(Field::Edit1), QStringLiteral("Новый объект"));
    EXPECT_EQ(saved.text(Field::Ip1Gsm), QStringLiteral("10.1.2.3"));
    // The template now carries this card's settings without its identity.
    EXPECT_EQ(reread.Template().text(Field::APN1Edit), QStringLiteral("internet"));
    EXPECT_EQ(reread.Template().CodeUoo(), 0u);
    // A free row now starts from them.
    f.SetsGrid->selectRow(20);
    EXPECT_EQ(f.APN1Edit->text(), QStringLiteral("internet"));
    EXPECT_TRUE(f.CodeUoo->text().isEmpty());
}

TEST_F(RecordList, InvalidCardShowsOneMessageAndWritesNothing) {
    card(1, QStringLiteral("Первый"), 1);
    TForm1& f = open();
    const QByteArray before = ReadAll(path);
    f.BitBtn1->click();
    f.Port1GsmEdit->setText(QStringLiteral("80"));
    f.BitBtn2->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание!"));
    // The card lacks more than its port, so the first check speaks.
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Заполните ВСЕ необходимые поля перед сохранением!\nПропущенные "
                             "поля:\n\nIP Адрес МС (WAN1)\nТочка доступа 1\nPIN2\nIP Адрес МС "
                             "(WAN2)\nТочка доступа 2\nПорт МС (WAN2)\n"));
    EXPECT_TRUE(f.EditMode);
    EXPECT_EQ(f.Port1GsmEdit->text(), QStringLiteral("80"));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_FALSE(f.SavedSinceStart);
}

TEST_F(RecordList, ACardFailingALaterCheckIsNotSavedEither) {
    db->Slot(0) = ValidRecord(32005);
    TForm1& f = open();
    const QByteArray before = ReadAll(path);
    f.BitBtn1->click();
    f.UseEthPriority->click();
    f.timeGsmEdit->setText(QStringLiteral("24"));
    f.BitBtn2->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Неверно введен интервал перехода на основной канал. Допустимы "
                             "значения от 25 до 60 минут."));
    EXPECT_TRUE(f.EditMode);
    EXPECT_EQ(ReadAll(path), before);
    // Mended, the same card saves.
    messenger.boxes.clear();
    f.timeGsmEdit->setText(QStringLiteral("25"));
    f.BitBtn2->click();
    EXPECT_TRUE(messenger.boxes.empty());
    EXPECT_FALSE(f.EditMode);
    EXPECT_NE(ReadAll(path), before);
}

} // namespace
