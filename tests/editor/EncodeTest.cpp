#include "editor/Encode.h"
#include "editor/Rules.h"
#include "store/Cp1251.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

#include "store/CardFields.h"
#include "tests/support/CardSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

CardForm baseForm() {
    CardForm f;
    f.NCardEdit.text = QStringLiteral("1");
    f.CodeUoo.text = QStringLiteral("100");
    return f;
}

SettingsRecord encode(const CardForm& f, SettingsRecord slot = {}) {
    SettingsRecord templ;
    EncodeForm(f, slot, templ, 46000.5);
    return slot;
}

TEST(EncodeForm, NumbersWithTheirDefaultsAndWidths) {
    const struct {
        const char* name;
        EditBox CardForm::*box;
        const char* text;
        std::function<int(const SettingsRecord&)> stored;
        int expected;
    } cases[] = {
        {"empty code", &CardForm::CodeUoo, "", [](auto& r) { return int(r.CodeUoo()); }, 1},
        {"hex code", &CardForm::CodeUoo, "$7D00", [](auto& r) { return int(r.CodeUoo()); }, 32000},
        {"empty balance", &CardForm::balCritical, "", [](auto& r) { return int(r.balCritical()); },
         10},
        {"balance 70000", &CardForm::balCritical, "70000",
         [](auto& r) { return int(r.balCritical()); }, 4464},
        {"empty interval", &CardForm::timeGsmEdit, "", [](auto& r) { return int(r.timeGsmEdit()); },
         60},
        {"empty delay", &CardForm::timePassEdit, "", [](auto& r) { return int(r.timePassEdit()); },
         60},
        {"delay 300", &CardForm::timePassEdit, "300", [](auto& r) { return int(r.timePassEdit()); },
         44},
        {"delay -1", &CardForm::timePassEdit, "-1", [](auto& r) { return int(r.timePassEdit()); },
         255},
        {"delay letters", &CardForm::timePassEdit, "ab",
         [](auto& r) { return int(r.timePassEdit()); }, 60},
    };
    for (const auto& c : cases) {
        CardForm f = baseForm();
        (f.*c.box).text = QString::fromLatin1(c.text);
        EXPECT_EQ(c.stored(encode(f)), c.expected) << c.name;
    }
    CardForm f = baseForm();
    f.CodeUoo.text = QStringLiteral("$FFFFFFFF");
    EXPECT_EQ(encode(f).CodeUoo(), 0xFFFFFFFFu);
}

TEST(EncodeForm, AddressesAreJoinedAsTyped) {
    const struct {
        std::array<const char*, 4> boxes;
        const char* stored;
    } cases[] = {
        {{"10", "0", "0", "1"}, "10.0.0.1"},
        {{"010", "0", "0", "1"}, "010.0.0.1"},
        {{"", "", "", ""}, "..."},
        {{"255", "255", "255", "255"}, "255.255.255.255"},
    };
    for (const auto& c : cases) {
        CardForm f = baseForm();
        for (std::size_t i = 0; i < 4; ++i)
            f.Ip1GsmEdit[i].text = QString::fromLatin1(c.boxes[i]);
        const SettingsRecord r = encode(f);
        EXPECT_EQ(r.bytes(Field::Ip1Gsm), QByteArray(c.stored));
    }
}

TEST(EncodeForm, TextsAreCutToTheirFieldAndStoredInWindows1251) {
    CardForm f = baseForm();
    f.NCardEdit.text = QStringLiteral("ABCDEFGHIJKLMN");
    f.Edit1.text = QString(255, QChar(u'Ж'));
    f.Pin1Edit.text = QStringLiteral("ПИН1");
    f.APN1Edit.text = QStringLiteral("a\u4E2Db");
    const SettingsRecord r = encode(f);
    EXPECT_EQ(r.bytes(Field::NCardEdit), QByteArray("ABCDEFGHIJ"));
    EXPECT_EQ(r.data()[274], 0);
    EXPECT_EQ(r.bytes(Field::Edit1), QByteArray(99, '\xC6'));
    EXPECT_EQ(r.data()[374], 0);
    EXPECT_EQ(r.bytes(Field::Pin1Edit), Cp1251::encode(u"ПИН1"));
    EXPECT_EQ(r.bytes(Field::APN1Edit), QByteArray("a?b"));
}

TEST(EncodeForm, ListsAndSwitches) {
    CardForm f = baseForm();
    f.Cord = {5, 6, -1, 4, 0};
    f.RelayComboBox = {6, -1};
    f.IndicZU = true;
    f.UseEthPriority = true;
    f.balEnable = true;
    f.VersionCombo = -1;
    const SettingsRecord r = encode(f);
    EXPECT_EQ(r.Cord(1), 5);
    EXPECT_EQ(r.Cord(2), 6);
    EXPECT_EQ(r.Cord(3), 255);
    EXPECT_EQ(r.RelayComboBox(1), 6);
    EXPECT_EQ(r.RelayComboBox(2), 255);
    EXPECT_EQ(r.ModeFlags(), ModeBit::IndicZU | ModeBit::UseEthPriority);
    EXPECT_TRUE(r.balEnable());
    EXPECT_EQ(r.VersionCombo(), 0);
}

TEST(EncodeForm, KeepsTheProgrammingStampAcrossSaves) {
    SettingsRecord slot;
    slot.setProgDate(46010.25);
    slot.setProgID1(0xBEEF);
    slot.setProgID2(0x1234);
    slot.raw()[Offset::Reserved2] = 0x55; // reserved bytes are cleared
    CardForm f = baseForm();
    f.ProgID1.text = QStringLiteral("BEEF");
    SettingsRecord templ;
    EncodeForm(f, slot, templ, 46011.0);
    EncodeForm(f, slot, templ, 46012.0);
    EXPECT_EQ(slot.ProgDate(), 46010.25);
    EXPECT_EQ(slot.ProgID1(), 0xBEEF);
    EXPECT_EQ(slot.ProgID2(), 0x1234);
    EXPECT_EQ(slot.ChangeDate(), 46012.0);
    EXPECT_EQ(slot.raw()[Offset::Reserved2], 0);
    // The identifier written is the one the box shows.
    f.ProgID1.text = QStringLiteral("12AB");
    EncodeForm(f, slot, templ, 46013.0);
    EXPECT_EQ(slot.ProgID1(), 0x12AB);
    EXPECT_EQ(slot.ProgID2(), 0x1234);
}

TEST(EncodeForm, TemplateHasNoIdentity) {
    CardForm f = baseForm();
    f.Pin1Edit.text = QStringLiteral("1234");
    f.Pin2Edit.text = QStringLiteral("5678");
    f.APN1Edit.text = QStringLiteral("internet");
    f.Cord[0] = 2;
    f.balEnable = true;
    SettingsRecord slot, templ;
    templ.raw().fill(0x77);
    EncodeForm(f, slot, templ, 46000.0);
    EXPECT_EQ(templ, slot.MakeTemplate());
    EXPECT_EQ(templ.CodeUoo(), 0u);
    EXPECT_TRUE(templ.bytes(Field::Pin1Edit).isEmpty());
    EXPECT_TRUE(templ.bytes(Field::NCardEdit).isEmpty());
    EXPECT_EQ(templ.ChangeDate(), 0.0);
    EXPECT_FALSE(templ.balEnable());
    EXPECT_EQ(templ.text(Field::APN1Edit), QStringLiteral("internet"));
    EXPECT_EQ(templ.Cord(1), 2);
}

TEST(EncodeForm, ShowingAndSavingUnchangedKeepsEveryByte) {
    QRandomGenerator g(20261208);
    for (int i = 0; i < 3000; ++i) {
        const SettingsRecord original = RandomSavedCard(g);
        SettingsRecord templ;
        CardForm shown = ShowRecord(original, templ, CardForm{});
        // The window's row refresh puts the identifier into its box.
        shown.ProgID1.text =
            QStringLiteral("%1").arg(original.ProgID1(), 4, 16, QLatin1Char('0')).toUpper();
        SettingsRecord saved = original;
        EncodeForm(shown, saved, templ, 47000.0);
        SettingsRecord expected = original;
        expected.setChangeDate(47000.0); // every save renews it
        int firstDifference = -1;
        for (int b = 0; b < SettingsRecord::Size && firstDifference < 0; ++b)
            if (saved.data()[b] != expected.data()[b])
                firstDifference = b;
        ASSERT_EQ(firstDifference, -1) << "card " << i;
    }
}

TEST(EncodeForm, ListedDifferencesOfARoundTrip) {
    SettingsRecord r;
    r.setChangeDate(46000.0);
    r.setCord(1, 1);
    r.setCord(3, 6); // reset: loop 1 is no entry loop
    r.settimeGsmEdit(0);
    r.setbalCritical(0);
    r.setbalEnable(false);
    r.setText(Field::balPhoneSim1, QStringLiteral("89161234567"));
    r.setText(Field::Ip1Gsm, QStringLiteral("1.2.3.4"));
    r.setText(Field::Ip2Gsm, QStringLiteral("1.2.3.4"));
    SettingsRecord templ;
    SettingsRecord saved = r;
    CardForm shown = ShowRecord(r, templ, CardForm{});
    shown.ProgID1.text = QStringLiteral("0000");
    EncodeForm(shown, saved, templ, 46001.0);
    EXPECT_EQ(saved.Cord(3), 0);
    EXPECT_EQ(saved.timeGsmEdit(), 60);
    EXPECT_EQ(saved.balCritical(), 10);
    EXPECT_TRUE(saved.bytes(Field::balPhoneSim1).isEmpty());
}

} // namespace
