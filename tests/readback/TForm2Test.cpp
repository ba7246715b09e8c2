#include "readback/TForm2.h"
#include "link/ConfigFrame.h"
#include "store/CardFields.h"
#include "store/DateTime.h"
#include "store/DeviceMatch.h"
#include "store/SettingsDatabase.h"
#include "store/SettingsRecord.h"
#include "ui/Contrast.h"
#include "ui/DifferenceMark.h"
#include "ui/WrappedCheckBox.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTabWidget>

#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

ConfigFrame frameOf(const SettingsRecord& r) {
    ConfigFrame f{};
    std::memcpy(f.data(), r.data(), 260);
    return f;
}

TEST(TForm2, AllZeroFrame) {
    TForm2 w;
    const ConfigFrame zero{};
    w.FillFromFrame(zero.data(), 0);
    EXPECT_EQ(w.CodeUoo->text(), QStringLiteral("0"));
    EXPECT_EQ(w.timeGsmEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(w.timePassEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(w.balCritical->text(), QStringLiteral("10"));
    for (QComboBox* c : w.Cord)
        EXPECT_EQ(c->currentText(), QStringLiteral("Отключен"));
    EXPECT_EQ(w.RelayComboBox1->currentText(), QStringLiteral("Выключен"));
    EXPECT_EQ(w.RelayComboBox2->currentText(), QStringLiteral("Выключен"));
    EXPECT_FALSE(w.IndicZU->isChecked());
    EXPECT_FALSE(w.BatteryControl->isChecked());
    EXPECT_FALSE(w.UseEthPriority->isChecked());
    for (QLineEdit* e : w.Ip1GsmEdit)
        EXPECT_TRUE(e->text().isEmpty());
    EXPECT_TRUE(w.Pin1Edit->text().isEmpty());
    EXPECT_EQ(w.ProgID1->text(), QStringLiteral("0"));
    EXPECT_EQ(w.VersionCombo->currentText(), QStringLiteral("56.00 и выше"));
}

TEST(TForm2, ShowsEveryFieldAsTheDeviceSentIt) {
    SettingsRecord r;
    r.setText(Field::Pin1Edit, QStringLiteral("1234"));
    r.setText(Field::Pin2Edit, QStringLiteral("0000"));
    r.setText(Field::Ip1Gsm, QStringLiteral("192.168.1.10"));
    r.setText(Field::Ip2Gsm, QStringLiteral("10.5"));
    r.setText(Field::Port1GsmEdit, QStringLiteral("5000"));
    r.setText(Field::APN2Edit, QStringLiteral("internet"));
    r.setText(Field::PassGsm2Edit, QStringLiteral("пароль"));
    r.setCodeUoo(4000000000u);
    r.setCord(1, 5);
    r.setCord(3, 6);
    r.setCord(5, 9); // beyond the list
    r.setModeFlags(ModeBit::BatteryControl | 0xF8);
    r.setRelayComboBox(1, 6);
    r.setRelayComboBox(2, 7); // beyond the list
    r.settimeGsmEdit(45);
    r.settimePassEdit(120);
    r.setbalCritical(500);
    r.setText(Field::balPhoneSim1, QStringLiteral("89161234567"));
    r.setText(Field::NumPhoneMC, QStringLiteral("84951234567"));
    TForm2 w;
    const ConfigFrame f = frameOf(r);
    w.FillFromFrame(f.data(), 0);
    EXPECT_EQ(w.CodeUoo->text(), QStringLiteral("4000000000"));
    EXPECT_EQ(w.Pin2Edit->text(), QStringLiteral("0000"));
    EXPECT_EQ(w.Ip1GsmEdit[0]->text(), QStringLiteral("192"));
    EXPECT_EQ(w.Ip1GsmEdit[3]->text(), QStringLiteral("10"));
    EXPECT_EQ(w.Ip2GsmEdit[0]->text(), QStringLiteral("10"));
    EXPECT_EQ(w.Ip2GsmEdit[2]->text(), QStringLiteral("10"));
    EXPECT_EQ(w.Ip2GsmEdit[3]->text(), QStringLiteral("5"));
    EXPECT_EQ(w.PassGsm2Edit->text(), QStringLiteral("пароль"));
    EXPECT_EQ(w.Cord[0]->currentText(), QStringLiteral("Входной охранный шлейф"));
    EXPECT_EQ(w.Cord[2]->currentText(), QStringLiteral("Проходной охранный шлейф"));
    EXPECT_EQ(w.Cord[4]->currentIndex(), -1);
    EXPECT_TRUE(w.BatteryControl->isChecked());
    EXPECT_FALSE(w.IndicZU->isChecked());
    EXPECT_EQ(w.RelayComboBox1->currentIndex(), 6);
    EXPECT_EQ(w.RelayComboBox2->currentIndex(), -1);
    EXPECT_EQ(w.timeGsmEdit->text(), QStringLiteral("45"));
    EXPECT_EQ(w.timePassEdit->text(), QStringLiteral("120"));
    EXPECT_EQ(w.balCritical->text(), QStringLiteral("500"));
    // No balance switch here: the phones always show.
    EXPECT_EQ(w.balPhoneSim1->text(), QStringLiteral("89161234567"));
    EXPECT_EQ(w.NumPhoneMC->text(), QStringLiteral("84951234567"));
    EXPECT_EQ(w.ProgID1->text(), QStringLiteral("0"));
}

TEST(TForm2, TextsWithoutZeroByteStopAtTheirWidthAndAReadReplacesTheLast) {
    TForm2 w;
    ConfigFrame full{};
    full.fill('7');
    w.FillFromFrame(full.data(), 0);
    EXPECT_EQ(w.Pin1Edit->text(), QString(5, QLatin1Char('7')));
    EXPECT_EQ(w.APN1Edit->text(), QString(25, QLatin1Char('7')));
    const ConfigFrame zero{};
    w.FillFromFrame(zero.data(), 0);
    EXPECT_TRUE(w.APN1Edit->text().isEmpty());
}

TEST(TForm2, EveryTextTheDeviceHoldsIsShownInItsOwnBox) {
    SettingsRecord r;
    int texts = 0;
    for (const CardField& field : CardFields)
        if (field.inDevice() && field.kind == FieldKind::Text)
            r.setText(field.text(), QStringLiteral("%1").arg(++texts));
    TForm2 w;
    w.FillFromFrame(frameOf(r).data(), 0);
    int shown = 0;
    for (const CardField& field : CardFields) {
        if (!field.inDevice() || field.kind != FieldKind::Text)
            continue;
        auto* e = w.findChild<QLineEdit*>(QString::fromUtf8(field.control));
        ASSERT_NE(e, nullptr) << field.control;
        EXPECT_EQ(e->text(), QString::number(++shown)) << field.control;
    }
    EXPECT_EQ(shown, 15);
}

TEST(TForm2, VersionIsLeftAloneForAnotherCode) {
    TForm2 w;
    w.VersionCombo->setCurrentIndex(-1);
    const ConfigFrame zero{};
    w.FillFromFrame(zero.data(), 1);
    EXPECT_EQ(w.VersionCombo->currentIndex(), -1);
}

TEST(TForm2, IsAReadOnlyFixedWindow) {
    TForm2 w;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Считанные данные"));
    EXPECT_EQ(w.size(), QSize(777, 527));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.GroupBox5->isEnabled());
    EXPECT_FALSE(w.GroupBox4->isEnabled());
    EXPECT_TRUE(w.GroupBox7->isEnabled());
    EXPECT_TRUE(w.PageControl2->isEnabled());
    EXPECT_FALSE(w.PageControl2->widget(0)->isEnabled());
    EXPECT_FALSE(w.Label33->isVisibleTo(&w));
    EXPECT_FALSE(w.NCardEdit->isVisibleTo(&w));
    EXPECT_EQ(w.CodeUoo->maxLength(), 10);
    EXPECT_EQ(w.CodeUoo->toolTip(), QStringLiteral("Номер карточки"));
    EXPECT_EQ(w.IndicZU->text(), QStringLiteral("Выключить индикацию СТМ"));
    EXPECT_EQ(w.UseEthPriority->text(),
              QStringLiteral("При нормальной работе через 2-ю Sim карту переходить на 1-ю Sim "
                             "крату через            минут"));
    EXPECT_EQ(w.ProgTime->text(), QStringLiteral("--:--:--"));
    EXPECT_EQ(w.Button1->text(), QStringLiteral("Закрыть"));
    w.show();
    w.Button1->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.result(), QDialog::Accepted);
}

TEST(TForm2, ClosesOnlyThroughItsButtonAndSitsInTheMiddleOfTheScreen) {
    TForm2 w;
    const QRect screen = w.screen()->availableGeometry();
    EXPECT_LE((QRect(w.pos(), w.size()).center() - screen.center()).manhattanLength(), 1);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.close()); // what Alt+F4 and the window manager ask for
    EXPECT_TRUE(w.isVisible());
    w.Button1->click();
    EXPECT_FALSE(w.isVisible());
}

TEST(TForm2, CaptionsAreWholeAndTheMinutesBoxSitsInItsGap) {
    TForm2 w;
    // No single-line caption is cut by its width.
    for (const QLabel* label : w.findChildren<QLabel*>()) {
        if (label->wordWrap() || label->text().isEmpty() || !label->isVisibleTo(&w))
            continue;
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
    }
    // Nothing overlaps the entry delay's caption.
    const QLabel* delay = nullptr;
    for (const QLabel* label : w.findChildren<QLabel*>())
        if (label->text() == QStringLiteral("Время задержки на входной шлейф"))
            delay = label;
    ASSERT_NE(delay, nullptr);
    const QRect text(delay->pos(),
                     QSize(delay->fontMetrics().horizontalAdvance(delay->text()), delay->height()));
    EXPECT_FALSE(text.intersects(w.timePassEdit->geometry()));
    // The minutes box lies between "через" and "минут" on their line.
    auto* caption = qobject_cast<WrappedCheckBox*>(w.UseEthPriority);
    ASSERT_NE(caption, nullptr);
    const int at =
        static_cast<int>(caption->text().indexOf(QStringLiteral("через            минут")));
    const QRect before = caption->captionRect(at, 5).translated(caption->pos());
    const QRect after = caption->captionRect(at + 17, 5).translated(caption->pos());
    const QRect box = w.timeGsmEdit->geometry();
    EXPECT_EQ(before.top(), after.top());
    EXPECT_GE(box.left(), before.right() - 2);
    EXPECT_LE(box.right(), after.left() + 2);
    EXPECT_TRUE(box.contains(QPoint(box.center().x(), before.center().y())));
}

// A card in use, as the editor would save it.
SettingsRecord usedCard(std::uint32_t code, const char* name) {
    SettingsRecord r;
    r.setCodeUoo(code);
    r.setText(Field::NCardEdit, QString::fromUtf8(name));
    r.setText(Field::Pin1Edit, QStringLiteral("1234"));
    r.setText(Field::Ip1Gsm, QStringLiteral("10.0.0.1"));
    r.setText(Field::APN1Edit, QStringLiteral("internet"));
    r.setText(Field::balCodeSim1, QStringLiteral("*100#"));
    r.setModeFlags(ModeBit::IndicZU);
    r.setCord(1, 1);
    r.setbalCritical(50);
    r.setChangeDate(46000.5);
    return r;
}

// Programs the card: the frame a device would keep, and the card stamped.
ConfigFrame program(SettingsRecord& card, quint32 seed) {
    ConfigFrame frame{};
    std::uint16_t crc = 0;
    QRandomGenerator random(seed);
    EXPECT_EQ(BuildConfigFrame(&card, frame.data(), &crc, 0, random), 264);
    card.StampProgrammed(crc, 46001.25);
    return frame;
}

TEST(TForm2, SaysWhichCardTheDeviceHoldsAndMarksWhatDiffers) {
    const QString date = DateTimeText(QLocale())(46001.25);
    struct Case {
        const char* what;
        std::function<ConfigFrame(SettingsDatabase&)> setUp;
        QString said;
        QStringList marked; // object names
    };
    const Case cases[] = {
        {"programmed and unchanged, the balance check off (its texts not sent)",
         [](SettingsDatabase& db) {
             db.Slot(4) = usedCard(700, "Склад");
             return program(db.Slot(4), 1);
         },
         QStringLiteral("Совпадает с карточкой «Склад» (строка 5), запрограммированной %1.")
             .arg(date),
         {}},
        {"edited after programming: a text, an address, a switch and a list",
         [](SettingsDatabase& db) {
             db.Slot(4) = usedCard(700, "Склад");
             const ConfigFrame f = program(db.Slot(4), 2);
             db.Slot(4).setText(Field::APN1Edit, QString());
             db.Slot(4).setText(Field::Ip1Gsm, QStringLiteral("10.0.0.2"));
             db.Slot(4).setModeFlags(ModeBit::IndicZU | ModeBit::BatteryControl | 0x80);
             db.Slot(4).setCord(1, 3);
             db.Slot(4).setText(Field::Edit1, QStringLiteral("не в устройстве"));
             return f;
         },
         QStringLiteral("Записана карточка «Склад» (строка 5) от %1; с тех пор в базе изменено "
                        "полей: 4.")
             .arg(date),
         {"Ip1GsmEdit_1", "Ip1GsmEdit_2", "Ip1GsmEdit_3", "Ip1GsmEdit_4", "APN1Edit", "Cord1",
          "BatteryControl"}},
        {"the version before the last programming",
         [](SettingsDatabase& db) {
             db.Slot(7) = usedCard(700, "Склад");
             const ConfigFrame f = program(db.Slot(7), 3);
             db.Slot(7).setText(Field::Pin1Edit, QStringLiteral("4321"));
             program(db.Slot(7), 4);
             return f;
         },
         QStringLiteral("Записана предыдущая версия карточки «Склад» (строка 8); полей, "
                        "отличающихся от базы: 1."),
         {"Pin1Edit"}},
        {"the CRC of a card with another code: only the code's card, the lowest row",
         [](SettingsDatabase& db) {
             db.Slot(2) = usedCard(900, "Чужая");
             ConfigFrame f = program(db.Slot(2), 5);
             std::uint32_t code = 700;
             std::memcpy(f.data() + 184, &code, 4);
             db.Slot(6) = usedCard(700, "Вторая");
             db.Slot(3) = usedCard(700, "Первая");
             db.Slot(3).setText(Field::balCodeSim1, QString());
             db.Slot(3).setText(Field::Port1GsmEdit, QStringLiteral("5000"));
             return f;
         },
         QStringLiteral("Код УО есть в базе: карточка «Первая» (строка 4); полей, отличающихся от "
                        "базы: 1."),
         {"Port1GsmEdit"}},
        {"the same settings, never programmed from here",
         [](SettingsDatabase& db) {
             SettingsRecord twin = usedCard(700, "Двойник");
             const ConfigFrame f = program(twin, 6);
             db.Slot(0) = usedCard(700, "Двойник");
             return f;
         },
         QStringLiteral("Настройки совпадают с карточкой «Двойник» (строка 1)."),
         {}},
        {"nothing of it in the database",
         [](SettingsDatabase& db) {
             db.Slot(0) = usedCard(701, "Другой");
             SettingsRecord stranger = usedCard(700, "Чужой");
             return program(stranger, 7);
         },
         QStringLiteral("Этого УОО нет в базе."),
         {}},
    };
    TForm2 w;
    for (const Case& c : cases) {
        SettingsDatabase db;
        const ConfigFrame frame = c.setUp(db);
        w.setDatabase(&db);
        w.FillFromFrame(frame.data(), 0);
        EXPECT_EQ(w.MatchLabel->text(), c.said) << c.what;
        QStringList marked;
        for (QWidget* control : w.findChildren<QWidget*>())
            if (control != w.MatchLabel && !control->accessibleDescription().isEmpty())
                marked << control->objectName();
        marked.sort();
        QStringList expected = c.marked;
        expected.sort();
        EXPECT_EQ(marked, expected) << c.what;
        const bool unknown = c.said.startsWith(QStringLiteral("Этого"));
        EXPECT_EQ(w.ShowCardBtn->isVisibleTo(&w), !unknown) << c.what;
        EXPECT_EQ(w.CreateCardBtn->isVisibleTo(&w), unknown) << c.what;
    }
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("MatchLabel"))->accessibleName(),
              QStringLiteral("Сверка с базой"));
}

TEST(TForm2, ADifferenceSaysTheDatabasesValueAsTheWindowShowsIt) {
    SettingsDatabase db;
    db.Slot(0) = usedCard(700, "Склад");
    const ConfigFrame frame = program(db.Slot(0), 1);
    SettingsRecord& card = db.Slot(0);
    card.setText(Field::APN1Edit, QString());
    card.setText(Field::Ip1Gsm, QStringLiteral("10.1.2.3"));
    card.setModeFlags(0);
    card.setCord(2, 4);
    card.setbalCritical(0);
    card.setCodeUoo(700);
    TForm2 w;
    w.setDatabase(&db);
    w.FillFromFrame(frame.data(), 0);
    const struct {
        const char* control;
        const char* description;
    } marks[] = {
        {"APN1Edit", "В базе: (пусто)"},    {"Ip1GsmEdit_3", "В базе: 10.1.2.3"},
        {"IndicZU", "В базе: не отмечено"}, {"Cord2", "В базе: Управляющий шлейф"},
        {"balCritical", "В базе: 10"},
    };
    for (const auto& m : marks) {
        auto* control = w.findChild<QWidget*>(QString::fromUtf8(m.control));
        ASSERT_NE(control, nullptr) << m.control;
        EXPECT_EQ(control->accessibleDescription(), QString::fromUtf8(m.description)) << m.control;
        EXPECT_TRUE(control->font().bold()) << m.control;
    }
    EXPECT_EQ(w.findChildren<DifferenceMark*>().size(), 8); // the address takes four
    // The outline reads on a light and on a dark window alike.
    for (const QColor window : {QColor(0xef, 0xef, 0xef), QColor(0x2d, 0x2d, 0x2d)}) {
        QPalette palette;
        palette.setColor(QPalette::Window, window);
        EXPECT_GE(Contrast::ratio(DifferenceMark::colour(palette), window), Contrast::Readable);
    }
    // A fill starts afresh: a device that matches leaves nothing marked.
    card = usedCard(700, "Склад");
    const ConfigFrame again = program(card, 2);
    w.FillFromFrame(again.data(), 0);
    EXPECT_TRUE(w.findChildren<DifferenceMark*>().isEmpty());
    EXPECT_TRUE(w.APN1Edit->accessibleDescription().isEmpty());
    EXPECT_FALSE(w.APN1Edit->font().bold());
}

TEST(TForm2, ACriticalBalanceOf0IsThe10ItIsShownAs) {
    // Only the critical balance has a 0 that means another value; every
    // other number is compared as the frame carries it.
    const struct {
        const char* control;
        std::uint32_t device, card;
        bool differs;
    } cases[] = {
        {"balCritical", 0, 10, false}, {"balCritical", 10, 0, false}, {"balCritical", 0, 11, true},
        {"balCritical", 50, 10, true}, {"timeGsmEdit", 0, 60, true},  {"timePassEdit", 0, 1, true},
    };
    for (const auto& c : cases) {
        const CardField& field = *findField(c.control);
        SettingsRecord card = usedCard(700, "Склад");
        SettingsRecord device = card;
        for (auto [record, value] : {std::pair{&card, c.card}, std::pair{&device, c.device}})
            for (int i = 0; i < field.width; ++i)
                record->data()[field.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
        const ConfigFrame frame = frameOf(asSent(device));
        EXPECT_EQ(differingFields(card, frame.data()).size(), c.differs ? 1u : 0u)
            << c.control << " " << c.device << " " << c.card;
    }
}

TEST(TForm2, AScreenReaderHearsTheVerdict) {
    SettingsDatabase db;
    db.Slot(0) = usedCard(700, "Склад");
    const ConfigFrame frame = program(db.Slot(0), 1);
    TForm2 w;
    auto said = [](QObject* o, QAccessible::Text text) {
        return QAccessible::queryAccessibleInterface(o)->text(text);
    };
    const QString verdict = QStringLiteral("Совпадает с карточкой «Склад» (строка 1), "
                                           "запрограммированной %1.")
                                .arg(DateTimeText(QLocale())(46001.25));
    // A fill without a database clears the verdict.
    for (SettingsDatabase* database : {&db, static_cast<SettingsDatabase*>(nullptr)}) {
        w.setDatabase(database);
        w.FillFromFrame(frame.data(), 0);
        const QString expected = database ? verdict : QString();
        EXPECT_EQ(said(w.MatchLabel, QAccessible::Description), expected);
        EXPECT_EQ(said(&w, QAccessible::Description), expected);
        EXPECT_EQ(said(w.MatchLabel, QAccessible::Name), QStringLiteral("Сверка с базой"));
    }
    EXPECT_TRUE(w.MatchLabel->focusPolicy() & Qt::TabFocus);
}

TEST(TForm2, WithoutAFreeRowNoCardCanBeCreated) {
    SettingsDatabase db;
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i)
        db.Slot(i) = usedCard(static_cast<std::uint32_t>(1000 + i), "Полная");
    SettingsRecord stranger = usedCard(700, "Чужой");
    const ConfigFrame frame = program(stranger, 1);
    TForm2 w;
    w.setDatabase(&db);
    w.FillFromFrame(frame.data(), 0);
    EXPECT_FALSE(w.CreateCardBtn->isEnabled());
    EXPECT_EQ(w.CreateCardBtn->toolTip(), QStringLiteral("В базе нет свободных строк"));
}

} // namespace
