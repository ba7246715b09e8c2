#include "editor/Rules.h"
#include "store/CardFields.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

SettingsRecord usedRecord() {
    SettingsRecord r;
    r.setChangeDate(46000.5);
    r.setCodeUoo(100);
    return r;
}

CardForm show(const SettingsRecord& r, const SettingsRecord& templ = {}, CardForm previous = {}) {
    return ShowRecord(r, templ, previous);
}

std::array<QString, 4> texts(const std::array<EditBox, 4>& boxes) {
    return {boxes[0].text, boxes[1].text, boxes[2].text, boxes[3].text};
}

TEST(Rules, SplitsDottedAddressesFromTheRight) {
    const struct {
        const char* stored;
        std::array<const char*, 4> boxes;
    } cases[] = {
        {"192.168.1.10", {"192", "168", "1", "10"}},
        {"", {"", "", "", ""}},
        {"5", {"5", "5", "5", "5"}},
        {"1.2", {"1", "1", "1", "2"}},
        {"1.2.3.4.5", {"2", "3", "4", "5"}},
        {"010.0.0.1", {"010", "0", "0", "1"}},
        {"...", {"", "", "", ""}},
    };
    for (const auto& c : cases) {
        SettingsRecord r = usedRecord();
        r.setText(Field::Ip1Gsm, QString::fromLatin1(c.stored));
        r.setText(Field::Ip2Gsm, QString::fromLatin1(c.stored));
        const CardForm f = show(r);
        const std::array<QString, 4> want = {
            QString::fromLatin1(c.boxes[0]), QString::fromLatin1(c.boxes[1]),
            QString::fromLatin1(c.boxes[2]), QString::fromLatin1(c.boxes[3])};
        EXPECT_EQ(texts(f.Ip1GsmEdit), want) << c.stored;
        EXPECT_EQ(texts(f.Ip2GsmEdit), want) << c.stored;
    }
}

TEST(Rules, ShowsTheCodeAsEightHexDigits) {
    const struct {
        const char* text;
        const char* label;
    } cases[] = {
        {"255", "( 0x000000FF )"}, {"abc", "( 0x00000001 )"}, {"", ""},
        {"-1", "( 0xFFFFFFFF )"},  {"$1f", "( 0x0000001F )"}, {"288799", "( 0x0004681F )"},
    };
    for (const auto& c : cases) {
        CardForm f;
        f.CodeUoo.text = QString::fromLatin1(c.text);
        UpdateCodeLabel(f);
        EXPECT_EQ(f.Label17, QString::fromLatin1(c.label)) << c.text;
    }
}

TEST(Rules, UsedRecordShowsItsCodeAndLabel) {
    SettingsRecord r = usedRecord();
    r.setCodeUoo(255);
    const CardForm f = show(r);
    EXPECT_EQ(f.CodeUoo.text, QStringLiteral("255"));
    EXPECT_EQ(f.Label17, QStringLiteral("( 0x000000FF )"));
    r.setCodeUoo(4000000000u);
    EXPECT_EQ(show(r).CodeUoo.text, QStringLiteral("4000000000"));
}

TEST(Rules, ZeroIntervalsShowTheirDefaults) {
    const struct {
        std::uint16_t balCritical;
        std::uint8_t timeGsm;
        std::uint8_t timePass;
        const char* balText;
        const char* gsmText;
        const char* passText;
    } cases[] = {
        {0, 0, 0, "10", "60", "0"},
        {500, 25, 120, "500", "25", "120"},
        {65535, 255, 255, "65535", "255", "255"},
    };
    for (const auto& c : cases) {
        SettingsRecord r = usedRecord();
        r.setbalCritical(c.balCritical);
        r.settimeGsmEdit(c.timeGsm);
        r.settimePassEdit(c.timePass);
        const CardForm f = show(r);
        EXPECT_EQ(f.balCritical.text, QString::fromLatin1(c.balText));
        EXPECT_EQ(f.timeGsmEdit.text, QString::fromLatin1(c.gsmText));
        EXPECT_EQ(f.timePassEdit.text, QString::fromLatin1(c.passText));
    }
}

TEST(Rules, BalanceOffBlanksThePhonesButKeepsTheCodes) {
    SettingsRecord r = usedRecord();
    r.setText(Field::balPhoneSim1, QStringLiteral("89161234567"));
    r.setText(Field::balPhoneSim2, QStringLiteral("89031234567"));
    r.setText(Field::balCodeSim1, QStringLiteral("*100#"));
    r.setbalCritical(50);
    r.setbalEnable(false);
    CardForm f = show(r);
    EXPECT_TRUE(f.balPhoneSim1.text.isEmpty());
    EXPECT_TRUE(f.balPhoneSim2.text.isEmpty());
    EXPECT_EQ(f.balCodeSim1.text, QStringLiteral("*100#"));
    EXPECT_EQ(f.balCritical.text, QStringLiteral("50"));
    EXPECT_FALSE(f.balCritical.enabled);
    EXPECT_FALSE(f.balPhoneSim1.enabled);

    r.setbalEnable(true);
    f = show(r);
    EXPECT_EQ(f.balPhoneSim1.text, QStringLiteral("89161234567"));
    EXPECT_TRUE(f.balPhoneSim2.enabled);
}

TEST(Rules, PassThroughLoopWithoutEntryLoopIsReset) {
    SettingsRecord r = usedRecord();
    r.setCord(1, 1);
    r.setCord(3, 6);
    r.setCord(4, 5);
    CardForm f = show(r);
    EXPECT_EQ(f.Cord, (std::array<int, 5>{1, 0, 0, 0, 0}));
    EXPECT_FALSE(f.timePassEdit.enabled);

    r.setCord(1, 5);
    f = show(r);
    EXPECT_EQ(f.Cord, (std::array<int, 5>{5, 0, 6, 5, 0}));
    EXPECT_TRUE(f.timePassEdit.enabled);
}

TEST(Rules, DisplayDoesNotApplyTheOneControlLoopRule) {
    SettingsRecord r = usedRecord();
    r.setCord(2, 4);
    r.setCord(4, 4);
    EXPECT_EQ(show(r).Cord, (std::array<int, 5>{0, 4, 0, 4, 0}));
}

TEST(Rules, FreeSlotShowsTheTemplateWithoutIdentity) {
    SettingsRecord saved = usedRecord();
    saved.setCodeUoo(100);
    saved.setText(Field::Pin1Edit, QStringLiteral("1234"));
    saved.setText(Field::Pin2Edit, QStringLiteral("4321"));
    saved.setText(Field::APN1Edit, QStringLiteral("internet"));
    saved.setText(Field::Ip1Gsm, QStringLiteral("10.0.0.1"));
    saved.setCord(1, 3);
    saved.setRelayComboBox(1, 2);
    saved.setModeFlags(ModeBit::IndicZU);
    SettingsRecord templ = saved.MakeTemplate();
    // A template as damaged files may carry: operating mode and version set.
    templ.setModeFlags(0x07);
    templ.setVersionCombo(1);

    const SettingsRecord freeSlot;
    CardForm previous;
    previous.VersionCombo = 0;
    const CardForm f = show(freeSlot, templ, previous);
    EXPECT_TRUE(f.CodeUoo.text.isEmpty());
    EXPECT_TRUE(f.Label17.isEmpty());
    EXPECT_TRUE(f.Pin1Edit.text.isEmpty());
    EXPECT_TRUE(f.Pin2Edit.text.isEmpty());
    EXPECT_TRUE(f.NCardEdit.text.isEmpty());
    EXPECT_EQ(f.APN1Edit.text, QStringLiteral("internet"));
    EXPECT_EQ(texts(f.Ip1GsmEdit), (std::array<QString, 4>{"10", "0", "0", "1"}));
    EXPECT_EQ(f.Cord[0], 3);
    EXPECT_EQ(f.RelayComboBox[0], 2);
    EXPECT_FALSE(f.IndicZU);
    EXPECT_FALSE(f.UseEthPriority);
    EXPECT_EQ(f.VersionCombo, 0);
}

TEST(Rules, FreshDatabaseShowsTheDefaultsOfAFreeSlot) {
    const CardForm f = show(SettingsRecord{});
    EXPECT_EQ(f.Cord, (std::array<int, 5>{0, 0, 0, 0, 0}));
    EXPECT_EQ(f.RelayComboBox, (std::array<int, 2>{0, 0}));
    EXPECT_EQ(f.timeGsmEdit.text, QStringLiteral("60"));
    EXPECT_EQ(f.timePassEdit.text, QStringLiteral("0"));
    EXPECT_EQ(f.balCritical.text, QStringLiteral("10"));
    EXPECT_EQ(f.Label40, RelayProfileTexts[0]);
    EXPECT_FALSE(f.balEnable);
    EXPECT_FALSE(f.timeGsmEdit.enabled);
}

TEST(Rules, ValuesBeyondTheListsLeaveNoSelection) {
    SettingsRecord r = usedRecord();
    r.setCord(1, 6); // Cord1 has six items
    r.setCord(2, 9);
    r.setRelayComboBox(1, 200);
    r.setVersionCombo(3);
    CardForm previous;
    previous.Label40 = QStringLiteral("before");
    previous.VersionCombo = -1;
    const CardForm f = show(r, {}, previous);
    EXPECT_EQ(f.Cord[0], -1);
    EXPECT_EQ(f.Cord[1], -1);
    EXPECT_EQ(f.RelayComboBox[0], -1);
    EXPECT_EQ(f.Label40, QStringLiteral("before"));
    EXPECT_EQ(f.VersionCombo, -1); // the previous selection stays
}

TEST(Rules, SimSwitchesAreTickedAfterEveryDisplay) {
    CardForm previous;
    previous.UseSim1 = previous.UseSim2 = false;
    applySimSwitch(previous, 1);
    applySimSwitch(previous, 2);
    ASSERT_FALSE(previous.Pin1Edit.enabled);
    const CardForm f = show(usedRecord(), {}, previous);
    EXPECT_TRUE(f.UseSim1);
    EXPECT_TRUE(f.UseSim2);
    EXPECT_TRUE(f.Pin1Edit.enabled);
    EXPECT_TRUE(f.Ip2GsmEdit[3].enabled);
    EXPECT_TRUE(f.PassGsm2Edit.enabled);
}

TEST(Rules, TextsWithoutZeroByteStopAtTheirWidth) {
    SettingsRecord r;
    r.raw().fill('A');
    r.setChangeDate(46000.0);
    const CardForm f = show(r);
    EXPECT_EQ(f.NCardEdit.text.size(), 11);
    EXPECT_EQ(f.Edit1.text.size(), 100);
    EXPECT_EQ(f.Pin1Edit.text.size(), 5);
}

TEST(Rules, HiddenControlsKeepWhatTheyShowed) {
    CardForm previous;
    previous.PortLoc = QStringLiteral("7777");
    previous.Mac[3] = QStringLiteral("AB");
    previous.UseGsmPriority = true;
    previous.RCControl.text = QStringLiteral("9");
    const CardForm f = show(usedRecord(), {}, previous);
    EXPECT_EQ(f.PortLoc, QStringLiteral("7777"));
    EXPECT_EQ(f.Mac[3], QStringLiteral("AB"));
    EXPECT_TRUE(f.UseGsmPriority);
    EXPECT_EQ(f.RCControl.text, QStringLiteral("9"));
}

TEST(Rules, LoopRules) {
    struct Case {
        const char* name;
        std::array<int, 5> before;
        int sender;
        std::array<int, 5> after;
        bool timePassEnabled;
    };
    const Case cases[] = {
        {"newest control loop wins", {4, 0, 4, 0, 0}, 3, {0, 0, 4, 0, 0}, false},
        {"control loop on loop 1 wins", {4, 4, 0, 4, 0}, 1, {4, 0, 0, 0, 0}, false},
        {"pass-through needs an entry loop", {1, 6, 0, 0, 0}, 2, {1, 0, 0, 0, 0}, false},
        {"separator needs an entry loop", {0, 0, 5, 0, 0}, 3, {0, 0, 0, 0, 0}, false},
        {"entry loop keeps pass-through", {5, 6, 5, 6, 0}, 2, {5, 6, 5, 6, 0}, true},
        {"leaving the entry loop resets", {2, 0, 0, 6, 0}, 1, {2, 0, 0, 0, 0}, false},
        {"window sender skips control rule", {4, 4, 0, 0, 0}, SenderWindow, {4, 4, 0, 0, 0}, false},
        {"no selection is left alone", {-1, -1, 4, 0, 0}, 3, {-1, -1, 4, 0, 0}, false},
    };
    for (const Case& c : cases) {
        CardForm f;
        f.Cord = c.before;
        applyLoopRules(f, c.sender);
        EXPECT_EQ(f.Cord, c.after) << c.name;
        EXPECT_EQ(f.timePassEdit.enabled, c.timePassEnabled) << c.name;
    }
}

TEST(Rules, BalanceSwitch) {
    CardForm f;
    f.balEnable = true;
    f.balPhoneSim1.text = QStringLiteral("89161234567");
    f.balPhoneSim2.text = QStringLiteral("89031234567");
    f.balCodeSim1.text = QStringLiteral("*100#");
    applyBalanceSwitch(f);
    EXPECT_TRUE(f.balPhoneSim1.enabled);
    f.balEnable = false;
    applyBalanceSwitch(f);
    EXPECT_TRUE(f.balPhoneSim1.text.isEmpty());
    EXPECT_TRUE(f.balPhoneSim2.text.isEmpty());
    EXPECT_EQ(f.balCodeSim1.text, QStringLiteral("*100#"));
    EXPECT_FALSE(f.balCodeSim2.enabled);
    f.balEnable = true;
    applyBalanceSwitch(f);
    EXPECT_TRUE(f.balPhoneSim1.text.isEmpty()); // not brought back
    EXPECT_TRUE(f.balCritical.enabled);
}

TEST(Rules, ProfileDescriptionFollowsTheShownOutput) {
    CardForm f;
    f.RelayComboBox = {1, 6};
    f.activeOutputPage = 1;
    showActiveOutputProfile(f);
    EXPECT_EQ(f.Label40, RelayProfileTexts[6]);
    f.activeOutputPage = 0;
    showActiveOutputProfile(f);
    EXPECT_EQ(f.Label40, RelayProfileTexts[1]);
    f.RelayComboBox[0] = -1;
    showOutputProfile(f, 1);
    EXPECT_EQ(f.Label40, RelayProfileTexts[1]);
    EXPECT_TRUE(RelayProfileTexts[1].contains(QStringLiteral("состоянии  «Тревога»")));
    EXPECT_FALSE(relayProfileText(7));
    EXPECT_FALSE(relayProfileText(-1));
}

TEST(Rules, NewMacAddressNeverHasFF) {
    QRandomGenerator random(42);
    CardForm f;
    f.Mac[0] = QStringLiteral("12");
    for (int i = 0; i < 5000; ++i) {
        makeMacAddress(f, random);
        ASSERT_EQ(f.Mac[0], QStringLiteral("00"));
        for (std::size_t b = 1; b < 6; ++b) {
            ASSERT_EQ(f.Mac[b].size(), 2);
            ASSERT_NE(f.Mac[b], QStringLiteral("FF"));
            ASSERT_EQ(f.Mac[b], f.Mac[b].toUpper());
        }
    }
}

TEST(Rules, RandomLocalPortStaysInRange) {
    QRandomGenerator random(7);
    for (int i = 0; i < 5000; ++i) {
        const int port = randomPortLoc(random).toInt();
        ASSERT_GE(port, 6001);
        ASSERT_LT(port, 64000);
    }
}

TEST(Rules, EthernetPriorityEnablesTheInterval) {
    CardForm f;
    f.UseEthPriority = true;
    applyReturnSwitch(f);
    EXPECT_TRUE(f.timeGsmEdit.enabled);
    f.UseEthPriority = false;
    applyReturnSwitch(f);
    EXPECT_FALSE(f.timeGsmEdit.enabled);
}

} // namespace
