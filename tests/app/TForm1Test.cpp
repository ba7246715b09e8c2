#include "app/TForm1.h"
#include "app/RecordsModel.h"
#include "store/CardFields.h"
#include "tests/support/CardSupport.h"
#include "tests/support/MainWindowSupport.h"
#include "tests/support/TestSupport.h"
#include "ui/Contrast.h"
#include "ui/FormKit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "tests/support/SystemFiles.h"
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

class MainWindow : public MainWindowFixture {
protected:
    // A file whose slot 0 is in use and programmed, slot 2 is in use and
    // never programmed, and whose template has a loop setting.
    void writeSampleFile() {
        SettingsDatabase source;
        source.setFileName(path);
        SettingsRecord& a = source.Slot(0);
        a.setCodeUoo(4000000000u);
        a.setText(Field::NCardEdit, QStringLiteral("0123456789"));
        a.setText(Field::Edit1, QStringLiteral("Магазин «Ромашка»"));
        a.setChangeDate(46000.75);
        a.setProgDate(46001.0);
        a.setProgID1(0xBEEF);
        a.setProgID2(0x00A1);
        SettingsRecord& b = source.Slot(2);
        b.setCodeUoo(777);
        b.setText(Field::NCardEdit, QStringLiteral("77"));
        b.setText(Field::Edit1, QStringLiteral("Склад"));
        b.setChangeDate(46002.5);
        source.Template().setCord(1, 2);
        ScriptedMessenger m;
        ASSERT_TRUE(source.Save(m));
    }
    QString cell(int row, int column) { return form->recordsModel().cellText(row, column); }
};

TEST_F(MainWindow, TitleCarriesTheVersion) {
    EXPECT_EQ(open().windowTitle(),
              QStringLiteral("Утилита программирования УОО R7 - Версия 1.08 (Варгуна)"));
}

TEST_F(MainWindow, HasAFixedClientArea) {
    TForm1& f = open();
    EXPECT_EQ(f.size(), QSize(974, 580));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(MainWindow, GridHas9000NumberedRowsAndTitledColumns) {
    TForm1& f = open();
    QAbstractItemModel* m = f.SetsGrid->model();
    ASSERT_EQ(m->rowCount(), 9000);
    ASSERT_EQ(m->columnCount(), 5);
    EXPECT_EQ(m->headerData(0, Qt::Vertical).toString(), QStringLiteral("1"));
    EXPECT_EQ(m->headerData(8999, Qt::Vertical).toString(), QStringLiteral("9000"));
    const QStringList titles = {"Код УО", "№ карточки", "Объект", "Дата изменений",
                                "Дата программирования"};
    // The last column takes what the grid has left, at least its own 131.
    const int widths[] = {59, 101, 435, 144, 131};
    f.show();
    int total = 0;
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(m->headerData(c, Qt::Horizontal).toString(), titles[c]);
        if (c < 4)
            EXPECT_EQ(f.SetsGrid->columnWidth(c), widths[c]);
        else
            EXPECT_GE(f.SetsGrid->columnWidth(c), widths[c]);
        total += f.SetsGrid->columnWidth(c);
    }
    EXPECT_EQ(total, f.SetsGrid->viewport()->width());
    EXPECT_EQ(f.SetsGrid->verticalHeader()->width(), 64);
    EXPECT_EQ(f.SetsGrid->rowHeight(4321), 20);
    EXPECT_EQ(f.SetsGrid->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(f.SetsGrid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(m->flags(m->index(0, 0)) & Qt::ItemIsEditable);
}

TEST_F(MainWindow, WithoutAFileEveryRowIsBlankAndRowOneIsShown) {
    TForm1& f = open();
    for (int row : {0, 1, 4500, 8999})
        for (int c = 0; c < 5; ++c)
            EXPECT_TRUE(cell(row, c).isEmpty()) << row << "," << c;
    EXPECT_EQ(f.CurrentSlot, 0);
    EXPECT_EQ(f.SearchRow, 1);
    EXPECT_EQ(f.SetsGrid->currentIndex().row(), 0);
    EXPECT_FALSE(f.EditMode);
    EXPECT_FALSE(f.SavedSinceStart);
    EXPECT_EQ(f.ProgID1->text(), QStringLiteral("0000"));
    EXPECT_EQ(f.ProgID2->text(), QStringLiteral("0000"));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(MainWindow, UsedSlotsAreListedFromTheFile) {
    writeSampleFile();
    TForm1& f = open();
    EXPECT_EQ(cell(0, 0), QStringLiteral("4000000000"));
    EXPECT_EQ(cell(0, 1), QStringLiteral("0123456789"));
    EXPECT_EQ(cell(0, 2), QStringLiteral("Магазин «Ромашка»"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("09.12.2025 18:00:00"));
    EXPECT_EQ(cell(0, 4), QStringLiteral("10.12.2025"));
    // Used but never programmed: no programming date.
    EXPECT_EQ(cell(2, 0), QStringLiteral("777"));
    EXPECT_EQ(cell(2, 3), QStringLiteral("11.12.2025 12:00:00"));
    EXPECT_TRUE(cell(2, 4).isEmpty());
    EXPECT_TRUE(cell(1, 0).isEmpty());
    EXPECT_EQ(f.ProgID1->text(), QStringLiteral("BEEF"));
    EXPECT_EQ(f.ProgID2->text(), QStringLiteral("00A1"));
    EXPECT_EQ(f.SetsGrid->model()->data(f.SetsGrid->model()->index(2, 2)).toString(),
              QStringLiteral("Склад"));
}

TEST_F(MainWindow, DamagedFilesOpenAnEmptyList) {
    const QByteArray damaged[] = {QByteArray(), QByteArray(700, '\xFF'), QByteArray(694, 'x')};
    for (const QByteArray& content : damaged) {
        ASSERT_TRUE(WriteAll(path, content));
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        TForm1& f = open();
        EXPECT_TRUE(cell(0, 0).isEmpty());
        EXPECT_EQ(f.CurrentSlot, 0);
        EXPECT_EQ(ReadAll(path), content); // nothing written at start
    }
}

TEST_F(MainWindow, GarbageRecordsNeverBreakTheList) {
    // Every byte 0xFF: the dates are not numbers, the texts have no end.
    QByteArray garbage(int(SettingsDatabase::FileSize), '\xFF');
    // A used slot whose date is beyond any calendar and whose texts fill
    // their fields.
    SettingsRecord huge;
    huge.raw().fill('A');
    huge.setChangeDate(1e300);
    garbage.replace(0, SettingsRecord::Size,
                    QByteArray(reinterpret_cast<const char*>(huge.data()), SettingsRecord::Size));
    ASSERT_TRUE(WriteAll(path, garbage));
    open();
    EXPECT_EQ(cell(0, 1), QString(10, QLatin1Char('A')) + QLatin1Char('A'));
    EXPECT_EQ(cell(0, 2).size(), 100);
    EXPECT_TRUE(cell(0, 3).isEmpty());
    EXPECT_TRUE(cell(1, 0).isEmpty()); // NaN dates are free slots
}

TEST_F(MainWindow, StartsInTheViewModeArrangement) {
    TForm1& f = open();
    const std::vector<QWidget*> enabledAndVisible = {
        f.SearchEdit, f.SpeedButton3, f.BitBtn1,   f.ExitBtn,   f.SetsGrid,
        f.ProgBtn,    f.SpeedButton1, f.GroupBox5, f.GroupBox7,
    };
    for (QWidget* w : enabledAndVisible) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_TRUE(w->isVisibleTo(&f)) << w->objectName().toStdString();
    }
    const std::vector<QWidget*> disabled = {
        f.BitBtn2,       f.BitBtn3,      f.GroupBox1, f.MainGSM_Sheet, f.BalanceSheet,
        f.Add_GSM_Sheet, f.TabSheet2,    f.TabSheet3, f.timeGsmEdit,   f.CodeUoo,
        f.Cord[0],       f.VersionCombo, f.Edit1,     f.Pin1Edit,      f.RelayComboBox2,
    };
    for (QWidget* w : disabled)
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(f.Timer1->isActive());
    const std::vector<QWidget*> hidden = {
        f.GroupBox3, f.Label17, f.Cord6,     f.UseGsmPriority, f.UseSim1,
        f.UseSim2,   f.Label33, f.RCControl, f.Progress,
    };
    for (QWidget* w : hidden)
        EXPECT_FALSE(w->isVisibleTo(&f)) << w->objectName().toStdString();
    // The page controls themselves stay usable so their pages can be looked at.
    EXPECT_TRUE(f.PageControl1->isEnabled());
    EXPECT_TRUE(f.PageControl2->isEnabled());
    EXPECT_EQ(f.BitBtn1->text(), QStringLiteral("Включить редактирование"));
}

TEST_F(MainWindow, EditModeSwapsTheEnabledControls) {
    TForm1& f = open();
    f.SetEditMode(true);
    for (QWidget* w :
         std::vector<QWidget*>{f.GroupBox1, f.MainGSM_Sheet, f.Add_GSM_Sheet, f.BalanceSheet,
                               f.TabSheet2, f.TabSheet3, f.BitBtn2, f.BitBtn3})
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    for (QWidget* w :
         std::vector<QWidget*>{f.ProgBtn, f.SpeedButton1, f.SetsGrid, f.SearchEdit, f.SpeedButton3})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(f.ExitBtn->isEnabled());
    EXPECT_EQ(f.BitBtn1->text(), QStringLiteral("Отменить редактирование"));
}

// Makes the box typeable however the window left it, and types to it.
int typedLength(TForm1& f, QLineEdit* e, int tries) {
    for (QWidget* w = e; w && w != &f; w = w->parentWidget()) {
        w->setEnabled(true);
        w->setVisible(true);
    }
    e->setReadOnly(false);
    e->clear();
    e->setFocus();
    QTest::keyClicks(e, QString(tries, QLatin1Char('7')));
    return static_cast<int>(e->text().size());
}

TEST_F(MainWindow, EveryFieldsBoxShowsItsHintAndStopsTypingAtItsLimit) {
    TForm1& f = open();
    f.show();
    int boxes = 0;
    for (const CardField& field : CardFields) {
        if (field.kind == FieldKind::Choice || field.kind == FieldKind::Switch)
            continue;
        const QString control = QString::fromUtf8(field.control);
        QStringList names{control};
        if (field.kind == FieldKind::Address)
            names = {control + '1', control + '2', control + '3', control + '4'};
        for (const QString& name : names) {
            auto* e = f.findChild<QLineEdit*>(name);
            ASSERT_NE(e, nullptr) << name.toStdString();
            ++boxes;
            EXPECT_EQ(e->toolTip(), QString::fromUtf8(field.hint ? field.hint : ""))
                << name.toStdString();
            if (field.accessibleName) {
                EXPECT_EQ(e->accessibleName(), QString::fromUtf8(field.accessibleName));
            }
            EXPECT_EQ(typedLength(f, e, field.typingLimit() + 3), field.typingLimit())
                << name.toStdString();
        }
    }
    EXPECT_EQ(boxes, 37); // 25 texts, two addresses of four boxes, 4 numbers
}

TEST_F(MainWindow, StartsWithTheTemplatesTextsAndItsOwnHints) {
    TForm1& f = open();
    // After start-up the boxes show slot 0, a free slot on a fresh
    // database: the template's zeros, with 60 and 10 for the zero intervals.
    const struct {
        QLineEdit* edit;
        const char* text;
    } boxes[] = {
        {f.SearchEdit, "(Поиск)"}, {f.CodeUoo, ""},    {f.timePassEdit, "0"}, {f.timeGsmEdit, "60"},
        {f.balCritical, "10"},     {f.RCControl, "1"}, {f.Pin1Edit, ""},      {f.Ip1GsmEdit[0], ""},
    };
    for (const auto& b : boxes)
        EXPECT_EQ(b.edit->text(), QString::fromUtf8(b.text)) << b.edit->objectName().toStdString();
    f.show();
    EXPECT_EQ(typedLength(f, f.RCControl, 6), 3);
    EXPECT_TRUE(f.ProgID1->isReadOnly());
    EXPECT_TRUE(f.ProgID2->isReadOnly());
    EXPECT_LT(f.Ip1GsmEdit[0]->x(), f.Ip1GsmEdit[3]->x()); // first octet on the left
    EXPECT_TRUE(f.Label17->text().isEmpty());              // no code on a free slot
    EXPECT_EQ(f.Label40->text(), QStringLiteral("Выход всегда находится в режиме «Выключен»"));
    EXPECT_EQ(f.SpeedButton3->toolTip(), QStringLiteral("Искать далее..."));
    EXPECT_EQ(f.BitBtn2->toolTip(), QStringLiteral("Сохранить изменения в записи"));
    EXPECT_EQ(f.BitBtn3->toolTip(), QStringLiteral("Удалить текущую запись"));
    EXPECT_EQ(f.BitBtn1->toolTip(), QStringLiteral("Включить режим редактирования"));
    EXPECT_EQ(f.UseSim1->toolTip(), QStringLiteral("Использовать 1ю SIM карту"));
    EXPECT_TRUE(f.UseSim1->isChecked());
    EXPECT_TRUE(f.UseSim2->isChecked());
}

TEST_F(MainWindow, ListsOfferTheirItemsInOrder) {
    TForm1& f = open();
    EXPECT_EQ(f.Cord[0]->count(), 6);
    EXPECT_EQ(f.Cord[0]->itemText(5), QStringLiteral("Входной охранный шлейф"));
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(f.Cord[static_cast<size_t>(i)]->count(), 7);
        EXPECT_EQ(f.Cord[static_cast<size_t>(i)]->itemText(5),
                  QStringLiteral("---------------------------"));
        EXPECT_EQ(f.Cord[static_cast<size_t>(i)]->itemText(6),
                  QStringLiteral("Проходной охранный шлейф"));
    }
    EXPECT_EQ(f.RelayComboBox1->count(), 7);
    EXPECT_EQ(f.RelayComboBox2->itemText(6), QStringLiteral("Тревога + Пожар (Звук)"));
    EXPECT_EQ(f.VersionCombo->count(), 1);
    EXPECT_EQ(f.VersionCombo->itemText(0), QStringLiteral("56.00 и выше"));
    // The output boxes are found by name on their own pages.
    EXPECT_EQ(f.TabSheet2->findChild<QComboBox*>(QStringLiteral("RelayComboBox1"),
                                                 Qt::FindDirectChildrenOnly),
              f.RelayComboBox1);
    EXPECT_EQ(f.PageControl2->tabText(1), QStringLiteral("Out2"));
    EXPECT_EQ(f.PageControl1->tabText(0), QStringLiteral("Основные"));
}

TEST_F(MainWindow, EveryOperableControlHasAnAccessibleName) {
    TForm1& f = open();
    int checked = 0;
    for (QWidget* w : f.findChildren<QWidget*>()) {
        const bool operable = qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) ||
                              qobject_cast<QAbstractButton*>(w) || w == f.SetsGrid;
        if (!operable || w->parent() == nullptr || w->objectName().startsWith(QLatin1String("qt_")))
            continue;
        if (qobject_cast<QComboBox*>(w->parentWidget()) || w->parentWidget() == f.SetsGrid)
            continue; // parts of a combo box or of the grid
        QString name = w->accessibleName();
        if (name.isEmpty())
            if (auto* b = qobject_cast<QAbstractButton*>(w))
                name = b->text();
        EXPECT_FALSE(name.isEmpty())
            << w->metaObject()->className() << " " << w->objectName().toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 90);
    EXPECT_EQ(f.Ip1GsmEdit[0]->accessibleName(), QStringLiteral("IP Адрес МС (WAN1), 1"));
    EXPECT_EQ(f.Ip2GsmEdit[3]->accessibleName(), QStringLiteral("IP Адрес МС (WAN2), 4"));
    EXPECT_EQ(f.CodeUoo->accessibleName(), QStringLiteral("Код УО"));
    EXPECT_EQ(f.balPhoneSim1->accessibleName(),
              QStringLiteral("Телефонный номер 1 для отправки SMS о балансе"));
}

TEST_F(MainWindow, SelectingARowMakesItsSlotCurrent) {
    writeSampleFile();
    TForm1& f = open();
    f.SetsGrid->setCurrentIndex(f.SetsGrid->model()->index(2, 1));
    EXPECT_EQ(f.CurrentSlot, 2);
    EXPECT_EQ(f.SearchRow, 3);
    EXPECT_EQ(f.ProgID1->text(), QStringLiteral("0000"));
    QTest::keyClick(f.SetsGrid, Qt::Key_Up);
    EXPECT_EQ(f.CurrentSlot, 1);
    EXPECT_EQ(f.SearchRow, 2);
}

TEST_F(MainWindow, RowRefreshBlanksAndRewritesTheCurrentRow) {
    writeSampleFile();
    TForm1& f = open();
    db->Slot(0).setText(Field::Edit1, QStringLiteral("Новое имя"));
    db->Slot(0).setProgDate(0.0);
    f.RefreshCurrentRow();
    EXPECT_EQ(cell(0, 2), QStringLiteral("Новое имя"));
    EXPECT_TRUE(cell(0, 4).isEmpty());
    // At exactly 0.001 the list counts the slot as used, the refresh does not.
    db->Slot(0).setChangeDate(0.001);
    f.RefreshCurrentRow();
    EXPECT_TRUE(cell(0, 0).isEmpty());
}

TEST_F(MainWindow, ClosingWithoutASaveWritesNothing) {
    TForm1& f = open();
    f.ExitBtn->click();
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(messenger.boxes.empty());
}

TEST_F(MainWindow, ClosingAfterASaveWritesTheDatabaseAgain) {
    db->Slot(0) = ValidRecord();
    ASSERT_TRUE(db->Save(messenger));
    TForm1& f = open();
    // A real save of a card, then the memory changes behind the window's
    // back: closing writes the table once more.
    f.show();
    f.BitBtn1->click();
    f.BitBtn2->click();
    ASSERT_TRUE(f.SavedSinceStart);
    ASSERT_FALSE(f.EditMode);
    db->Slot(5).setChangeDate(46010.0);
    f.ExitBtn->click();
    EXPECT_FALSE(f.isVisible());
    SettingsDatabase reread;
    reread.setFileName(path);
    ASSERT_TRUE(reread.Load());
    EXPECT_TRUE(reread.Slot(5).IsUsed());
    EXPECT_TRUE(messenger.boxes.empty());
}

TEST_F(MainWindow, ClosingWithAFailingSaveTellsAndStillCloses) {
    TForm1& f = open();
    f.SavedSinceStart = true;
    FaultyCalls calls;
    calls.failStep = FaultyCalls::Rename;
    db->setFileSystemCalls(&calls);
    f.show();
    EXPECT_TRUE(f.close());
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].text, QStringLiteral("Ошибка записи на диск"));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(MainWindow, LimitsStopTypingButNotTheProgram) {
    // A damaged card whose PIN fills its field without a zero byte.
    SettingsDatabase source;
    source.setFileName(path);
    source.Slot(0).setChangeDate(46000.0);
    source.Slot(0).setBytes(Field::Pin1Edit, "1234");
    std::memcpy(source.Slot(0).data(), "98765", 5);
    ScriptedMessenger m;
    ASSERT_TRUE(source.Save(m));
    TForm1& f = open();
    EXPECT_EQ(f.Pin1Edit->text(), QStringLiteral("98765"));
    f.BitBtn1->click();
    f.Pin2Edit->setFocus();
    f.Pin2Edit->clear();
    QTest::keyClicks(f.Pin2Edit, QStringLiteral("123456"));
    EXPECT_EQ(f.Pin2Edit->text(), QStringLiteral("1234"));
    f.Pin1Edit->setFocus();
    f.Pin1Edit->end(false);
    // The overlong text cannot grow, not even by one.
    QTest::keyClicks(f.Pin1Edit, QStringLiteral("0"));
    EXPECT_EQ(f.Pin1Edit->text(), QStringLiteral("98765"));
    QTest::keyClick(f.Pin1Edit, Qt::Key_Backspace);
    EXPECT_EQ(f.Pin1Edit->text(), QStringLiteral("9876"));
    // A paste inserts what fits under the limit, at the cursor.
    const struct {
        QLineEdit* edit;
        QString before;
        int cursor;
        QString pasted;
        QString after;
    } pastes[] = {
        {f.Pin2Edit, QStringLiteral("12"), 1, QStringLiteral("abcdef"), QStringLiteral("1ab2")},
        {f.Pin2Edit, QStringLiteral("1234"), 4, QStringLiteral("5"), QStringLiteral("1234")},
        {f.Pin2Edit, QString(), 0, QStringLiteral("987"), QStringLiteral("987")},
        // Only what the card can hold, composed first, then as much as fits.
        {f.NCardEdit, QString(), 0, QStringLiteral("Склад😀№1"), QStringLiteral("Склад№1")},
        {f.NCardEdit, QString(), 0, QStringLiteral("и\u0306ж中é"), QStringLiteral("йж")},
        {f.NCardEdit, QStringLiteral("123456789"), 9, QStringLiteral("😀ab"),
         QStringLiteral("123456789a")},
        {f.Ip1GsmEdit[0], QString(), 0, QStringLiteral("1٢2"), QStringLiteral("12")},
    };
    for (const auto& p : pastes) {
        p.edit->setText(p.before);
        p.edit->setCursorPosition(p.cursor);
        QGuiApplication::clipboard()->setText(p.pasted);
        p.edit->paste();
        EXPECT_EQ(p.edit->text(), p.after) << p.pasted.toStdString();
    }
    // Typed key by key: a breve after its letter joins it. The search box
    // takes anything.
    const auto type = [](QLineEdit* edit, const QStringList& keys) {
        for (const QString& key : keys) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, key);
            QApplication::sendEvent(edit, &press);
        }
    };
    f.NCardEdit->clear();
    type(f.NCardEdit, {QStringLiteral("и"), QStringLiteral("\u0306"), QStringLiteral("😀")});
    EXPECT_EQ(f.NCardEdit->text(), QStringLiteral("й"));
    EXPECT_EQ(f.SearchEdit->validator(), nullptr);
}

TEST_F(MainWindow, ShowingAndSavingThroughTheWidgetsKeepsEveryByte) {
    QRandomGenerator g(8122026);
    constexpr int Cards = 300;
    for (int i = 0; i < Cards; ++i)
        db->Slot(i) = RandomSavedCard(g);
    ASSERT_TRUE(db->Save(messenger));
    TForm1& f = open();
    for (int i = 0; i < Cards; ++i) {
        const SettingsRecord original = db->Slot(i);
        f.SetsGrid->selectRow(i);
        ASSERT_EQ(f.CurrentSlot, i);
        SettingsRecord saved = original;
        SettingsRecord templ;
        EncodeForm(f.readForm(), saved, templ, 47000.0);
        SettingsRecord expected = original;
        expected.setChangeDate(47000.0);
        for (int b = 0; b < SettingsRecord::Size; ++b)
            ASSERT_EQ(saved.data()[b], expected.data()[b]) << "card " << i << ", byte " << b;
    }
}

TEST_F(MainWindow, TheFilesAreNamedInTheWorkingDirectory) {
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    {
        SettingsDatabase plain; // the name the program starts with
        plain.Slot(0) = ValidRecord();
        ASSERT_TRUE(plain.Save(messenger));
    }
    SettingsDatabase fresh;
    TForm1 f(fresh, messenger);
    QDir::setCurrent(before);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("ProgInfo_10.MGA"))));
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("100"));
}

// Another copy of the program, saving into the same file.
void saveFromAnotherCopy(const QString& path, int slot, std::uint32_t code) {
    SettingsDatabase other;
    other.setFileName(path);
    (void)other.Load();
    other.Slot(slot) = ValidRecord(static_cast<int>(code));
    ScriptedMessenger m;
    EXPECT_TRUE(other.Save(m));
}

TEST_F(MainWindow, AnotherCopysSaveComesInWhileIdleOnlyAfterEditing) {
    db->Slot(0) = ValidRecord(100);
    ASSERT_TRUE(db->Save(messenger));
    TForm1& f = open();
    auto waitFor = [](const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QTest::qWait(20);
        return done();
    };
    saveFromAnotherCopy(path, 5, 32001);
    EXPECT_TRUE(waitFor([&] { return db->Slot(5).IsUsed(); }, 3000));
    EXPECT_EQ(f.recordsModel().cellText(5, 0), QStringLiteral("32001"));
    // While a card is being edited the change waits.
    f.BitBtn1->click();
    saveFromAnotherCopy(path, 6, 32002);
    EXPECT_FALSE(waitFor([&] { return db->Slot(6).IsUsed(); }, 2500));
    messenger.answers = {true};
    f.BitBtn1->click(); // cancel editing
    EXPECT_TRUE(waitFor([&] { return db->Slot(6).IsUsed(); }, 1000));
    EXPECT_EQ(f.recordsModel().cellText(6, 0), QStringLiteral("32002"));
}

TEST_F(MainWindow, ACodeAnotherCopyTookMeanwhileStopsTheSave) {
    db->Slot(0) = ValidRecord(100);
    ASSERT_TRUE(db->Save(messenger));
    TForm1& f = open();
    f.BitBtn1->click();
    f.CodeUoo->setText(QStringLiteral("32003"));
    saveFromAnotherCopy(path, 8, 32003); // before this window has seen it
    const QByteArray before = ReadAll(path);
    f.BitBtn2->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание!"));
    EXPECT_EQ(messenger.boxes[0].text, QStringLiteral("Такой код УО уже есть в базе"));
    EXPECT_TRUE(f.EditMode);
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("32003"));
    EXPECT_EQ(db->Slot(0).CodeUoo(), 100u);
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(MainWindow, TheGridsTitlesAreWhole) {
    TForm1& f = open();
    f.show();
    QApplication::processEvents();
    QHeaderView* titles = f.SetsGrid->horizontalHeader();
    const int margin = 2 * f.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, titles);
    for (int c = 0; c < f.recordsModel().columnCount(); ++c) {
        const QString title =
            f.recordsModel().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        EXPECT_GE(titles->sectionSize(c), titles->fontMetrics().horizontalAdvance(title) + margin)
            << title.toStdString();
    }
}

TEST_F(MainWindow, AsksToBePlacedInTheMiddleOfTheScreen) {
    TForm1& f = open();
    const QRect screen = f.screen()->availableGeometry();
    EXPECT_LE((QRect(f.pos(), f.size()).center() - screen.center()).manhattanLength(), 1);
}

TEST_F(MainWindow, AFileThatCannotBeLoadedIsNamedAtStart) {
    const QString untouched = QStringLiteral("\n\nИзменения не будут сохранены в этот файл.");
    struct Case {
        const char* name;
        std::function<void()> make;
        QString text; // a prefix for the kept copy, whose name has the time in it
    };
    std::vector<Case> cases = {
        {"FIFO", [&] { MakeFifo(path); },
         QStringLiteral("Файл базы ProgInfo_10.MGA не является обычным файлом.") + untouched},
        {"a stray byte", [&] { WriteAll(path, QByteArray(2 * SettingsRecord::Size + 1, 'x')); },
         QStringLiteral("Файл базы ProgInfo_10.MGA не загружен: его длина 1391 байт не "
                        "соответствует формату.\nКопия файла сохранена под именем "
                        "ProgInfo_10.MGA.unread-")},
        {"empty", [&] { WriteAll(path, {}); }, QString()},
    };
    if (SymbolicLinksCanBeMade())
        cases.push_back(
            {"loop", [&] { MakeSymbolicLink(path, path); },
             QStringLiteral("Файл базы ProgInfo_10.MGA не является обычным файлом.") + untouched});
    int folder = 0;
    for (const auto& c : cases) {
        // A folder for each: Windows cannot take away one the last window watched.
        form.reset();
        path = dir.filePath(QStringLiteral("%1/ProgInfo_10.MGA").arg(++folder));
        QDir().mkpath(QFileInfo(path).path());
        c.make();
        messenger.boxes.clear();
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        open();
        if (c.text.isEmpty()) {
            EXPECT_TRUE(messenger.boxes.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(messenger.boxes.size(), 1u) << c.name;
        EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание")) << c.name;
        EXPECT_TRUE(messenger.boxes[0].text.startsWith(c.text))
            << c.name << ": " << messenger.boxes[0].text.toStdString();
    }
}

} // namespace

namespace {

QString focusName() {
    QWidget* w = QApplication::focusWidget();
    return w ? w->objectName() : QString();
}

TEST_F(MainWindow, KeysSearchSaveAndCancelOnlyWhereTheirControlsWork) {
    writeSampleFile();
    TForm1& f = open();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QSignalSpy saves(f.BitBtn2, &QPushButton::clicked);

    // Ctrl+F: the cursor in the search box with its text selected.
    f.SetsGrid->setFocus();
    f.SearchEdit->setText(QStringLiteral("а")); // rows 1 and 3 have it
    EXPECT_EQ(f.CurrentSlot, 0);
    QTest::keyClick(f.SetsGrid, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(focusName(), QStringLiteral("SearchEdit"));
    EXPECT_EQ(f.SearchEdit->selectedText(), QStringLiteral("а"));
    // F3 finds the next match, from anywhere in the window, round again.
    f.SetsGrid->setFocus();
    QTest::keyClick(f.SetsGrid, Qt::Key_F3);
    EXPECT_EQ(f.CurrentSlot, 2);
    QTest::keyClick(f.SetsGrid, Qt::Key_F3);
    EXPECT_EQ(f.CurrentSlot, 0);
    // Neither Ctrl+S nor Esc does anything outside edit mode.
    QTest::keyClick(f.SetsGrid, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(f.SetsGrid, Qt::Key_Escape);
    EXPECT_EQ(saves.count(), 0);
    EXPECT_TRUE(messenger.boxes.empty());

    f.BitBtn1->click();
    ASSERT_TRUE(f.EditMode);
    f.CodeUoo->setFocus();
    // The search box is off in edit mode: so are its keys.
    QTest::keyClick(f.CodeUoo, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClick(f.CodeUoo, Qt::Key_F3);
    EXPECT_EQ(focusName(), QStringLiteral("CodeUoo"));
    EXPECT_EQ(f.CurrentSlot, 0);
    QTest::keyClick(f.CodeUoo, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(saves.count(), 1);
    // Esc asks before it throws the changes away.
    f.SetEditMode(true);
    f.EditMode = true;
    messenger.boxes.clear();
    messenger.answers = {false, true};
    QTest::keyClick(f.CodeUoo, Qt::Key_Escape);
    EXPECT_TRUE(f.EditMode);
    QTest::keyClick(f.CodeUoo, Qt::Key_Escape);
    EXPECT_FALSE(f.EditMode);
    ASSERT_EQ(messenger.boxes.size(), 2u);
    EXPECT_EQ(messenger.boxes[1].text,
              QStringLiteral("Все изменения будут утеряны. Отменить редактирование?"));
}

TEST_F(MainWindow, TabGoesAsTheEyeReadsTheWindow) {
    TForm1& f = open();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.BitBtn1->click();
    f.BitBtn1->setFocus();
    QStringList visited;
    for (int i = 0; i < 80 && (visited.isEmpty() || focusName() != QLatin1String("BitBtn1")); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << focusName();
    }
    // The tool strip, the top line, then the editor column by column (the
    // grid and the device buttons are off in edit mode).
    const QStringList landmarks = {
        QStringLiteral("BitBtn2"),      QStringLiteral("BitBtn3"),  QStringLiteral("ExitBtn"),
        QStringLiteral("VersionCombo"), QStringLiteral("CodeUoo"),  QStringLiteral("NCardEdit"),
        QStringLiteral("Pin1Edit"),     QStringLiteral("APN1Edit"), QStringLiteral("Pin2Edit"),
        QStringLiteral("Cord1"),        QStringLiteral("Cord5"),    QStringLiteral("Edit1"),
        QStringLiteral("IndicZU"),      QStringLiteral("BitBtn1"),
    };
    qsizetype at = 0;
    for (const QString& name : landmarks) {
        const qsizetype found = visited.indexOf(name, at);
        ASSERT_GE(found, at) << name.toStdString() << " in " << visited.join(' ').toStdString();
        at = found + 1;
    }
}

TEST_F(MainWindow, OwnColoursKeepTheirLookOnLightAndReadOnDark) {
    const QPalette light = QApplication::palette();
    QPalette dark = QApplication::palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = group == QPalette::Disabled;
        dark.setColor(group, QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
        dark.setColor(group, QPalette::Base,
                      off ? QColor(0x2d, 0x2d, 0x2d) : QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(group, QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
        dark.setColor(group, QPalette::WindowText, off ? QColor(0x80, 0x80, 0x80) : Qt::white);
        dark.setColor(group, QPalette::Text, off ? QColor(0x80, 0x80, 0x80) : Qt::white);
        dark.setColor(group, QPalette::ButtonText, off ? QColor(0x80, 0x80, 0x80) : Qt::white);
    }
    TForm1& f = open();
    const struct {
        QWidget* widget;
        QPalette::ColorRole role;
        QPalette::ColorRole background;
        QColor onLight;
    } colours[] = {
        {f.SearchEdit, QPalette::Text, QPalette::Base, QColor(0, 128, 0)},
        {f.ExitBtn, QPalette::ButtonText, QPalette::Button, QColor(128, 0, 0)},
        {f.Label44, QPalette::WindowText, QPalette::Window, QColor(160, 0, 0)},
    };
    // The desktop turns dark while the window is open, and light again.
    for (const QPalette* palette : std::initializer_list<const QPalette*>{&light, &dark, &light}) {
        QApplication::setPalette(*palette);
        QCoreApplication::processEvents(); // the change reaches the widgets as events
        const bool isDark = palette == &dark;
        for (const auto& c : colours)
            for (const auto group : {QPalette::Active, QPalette::Disabled}) {
                const QPalette& p = c.widget->palette();
                const QString what = c.widget->objectName() + (isDark ? " dark" : " light");
                if (isDark)
                    EXPECT_GE(Contrast::ratio(p.color(group, c.role), p.color(group, c.background)),
                              Contrast::Readable)
                        << what.toStdString() << " " << group;
                else
                    EXPECT_EQ(p.color(group, c.role), c.onLight) << what.toStdString();
            }
    }
    QApplication::setPalette(light);
}

} // namespace
