#include "store/SettingsRecord.h"
#include "store/CardFields.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray slice(const SettingsRecord& r, int offset, int length) {
    return QByteArray(reinterpret_cast<const char*>(r.data()) + offset, length);
}

TEST(SettingsRecord, ZeroRecordIsFreeWithCodeZero) {
    SettingsRecord r;
    EXPECT_FALSE(r.IsUsed());
    EXPECT_EQ(r.CodeUoo(), 0u);
    EXPECT_EQ(r.ChangeDate(), 0.0);
    EXPECT_EQ(r.ProgDate(), 0.0);
}

TEST(SettingsRecord, InUseFromChangeDateOneThousandth) {
    const struct {
        double date;
        bool used;
    } cases[] = {{0.0, false},    {0.0005, false}, {0.000999, false},    {0.001, true},
                 {46000.5, true}, {-5.0, false},   {std::nan(""), false}};
    for (const auto& c : cases) {
        SettingsRecord r;
        r.setChangeDate(c.date);
        EXPECT_EQ(r.IsUsed(), c.used) << c.date;
    }
}

TEST(SettingsRecord, NumbersSitAtTheirOffsetsLittleEndian) {
    SettingsRecord r;
    r.setbalCritical(500);
    r.setCodeUoo(123456789);
    r.setProgID1(0xABCD);
    r.setProgID2(0x1234);
    r.setCord(1, 5);
    r.setCord(5, 6);
    r.setRelayComboBox(1, 3);
    r.setRelayComboBox(2, 4);
    r.settimeGsmEdit(44);
    r.settimePassEdit(120);
    r.setModeFlags(ModeBit::IndicZU | ModeBit::UseEthPriority);
    r.setVersionCombo(0);
    r.setbalEnable(true);
    r.setChangeDate(1.5);

    EXPECT_EQ(slice(r, 198, 2), QByteArray::fromHex("F401"));
    EXPECT_EQ(slice(r, 184, 4), QByteArray::fromHex("15CD5B07"));
    EXPECT_EQ(slice(r, 591, 4), QByteArray::fromHex("CDAB3412"));
    EXPECT_EQ(slice(r, 188, 8), QByteArray::fromHex("0500000006050304"));
    EXPECT_EQ(slice(r, 196, 2), QByteArray::fromHex("2C78"));
    EXPECT_EQ(r.data()[659], 1);
    EXPECT_EQ(slice(r, 575, 8), QByteArray::fromHex("000000000000F83F"));
}

TEST(SettingsRecord, TextFieldsHaveTheirOffsetsAndWidths) {
    const struct {
        TextField field;
        int offset;
        int width;
    } layout[] = {
        {Field::Pin1Edit, 0, 5},         {Field::Pin2Edit, 5, 5},
        {Field::Ip1Gsm, 10, 16},         {Field::Ip2Gsm, 26, 16},
        {Field::Port1GsmEdit, 42, 6},    {Field::Port2GsmEdit, 48, 6},
        {Field::APN1Edit, 54, 25},       {Field::APN2Edit, 79, 25},
        {Field::LoginGsm1Edit, 104, 20}, {Field::LoginGsm2Edit, 124, 20},
        {Field::PassGsm1Edit, 144, 20},  {Field::PassGsm2Edit, 164, 20},
        {Field::balCodeSim1, 200, 12},   {Field::balCodeSim2, 212, 12},
        {Field::NumPhoneMC, 224, 12},    {Field::balPhoneSim1, 236, 12},
        {Field::balPhoneSim2, 248, 12},  {Field::NCardEdit, 264, 11},
        {Field::Edit1, 275, 100},        {Field::FIOEdit, 375, 100},
        {Field::RemarkEdit, 475, 40},    {Field::PUK1_Edit, 515, 20},
        {Field::Number1_Edit, 535, 15},  {Field::SIM_ID1_Edit, 550, 25},
        {Field::PUK2_Edit, 596, 20},     {Field::Number2_Edit, 616, 15},
        {Field::SIM_ID2_Edit, 631, 25},
    };
    for (const auto& f : layout) {
        SettingsRecord r;
        r.raw().fill(0xEE);
        r.setBytes(f.field, QByteArray(200, 'A'));
        // Exactly width - 1 bytes of text, one zero, neighbours untouched.
        EXPECT_EQ(slice(r, f.offset, f.width - 1), QByteArray(f.width - 1, 'A')) << f.offset;
        EXPECT_EQ(r.data()[f.offset + f.width - 1], 0) << f.offset;
        if (f.offset > 0) {
            EXPECT_EQ(r.data()[f.offset - 1], 0xEE) << f.offset;
        }
        if (f.offset + f.width < SettingsRecord::Size) {
            EXPECT_EQ(r.data()[f.offset + f.width], 0xEE) << f.offset;
        }
    }
}

TEST(SettingsRecord, FifteenCharacterAddressLeavesLastByteZero) {
    SettingsRecord r;
    r.setText(Field::Ip1Gsm, QStringLiteral("255.255.255.255"));
    EXPECT_EQ(slice(r, 10, 15), QByteArray("255.255.255.255"));
    EXPECT_EQ(r.data()[25], 0);
    EXPECT_EQ(r.text(Field::Ip1Gsm), QStringLiteral("255.255.255.255"));
}

TEST(SettingsRecord, TenCharacterCardNameKeepsByte274Zero) {
    SettingsRecord r;
    r.setText(Field::NCardEdit, QStringLiteral("ABCDEFGHIJ"));
    EXPECT_EQ(slice(r, 264, 10), QByteArray("ABCDEFGHIJ"));
    EXPECT_EQ(r.data()[274], 0);
}

TEST(SettingsRecord, TextWithoutZeroByteStopsAtFieldWidth) {
    SettingsRecord r;
    r.raw().fill('Z');
    EXPECT_EQ(r.bytes(Field::Pin1Edit), QByteArray(5, 'Z'));
    EXPECT_EQ(r.bytes(Field::SIM_ID2_Edit), QByteArray(25, 'Z'));
    EXPECT_EQ(r.text(Field::NCardEdit).size(), 11);
}

TEST(SettingsRecord, ATextEndsAtItsFirstZeroAndTheFieldIsZeroAfterIt) {
    SettingsRecord r;
    r.raw().fill('Z');
    r.setText(Field::Edit1, QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
    EXPECT_EQ(slice(r, 275, 6), QByteArray("ab\0\0\0\0", 6));
    EXPECT_EQ(r.text(Field::Edit1), QStringLiteral("ab"));
}

TEST(SettingsRecord, TextIsStoredInWindows1251) {
    SettingsRecord r;
    r.setText(Field::Edit1, QStringLiteral("Ёж юг"));
    EXPECT_EQ(slice(r, 275, 6), QByteArray::fromHex("A8E620FEE300"));
    EXPECT_EQ(r.text(Field::Edit1), QStringLiteral("Ёж юг"));
}

TEST(SettingsRecord, TemplateKeepsDeviceSettingsButNoIdentity) {
    SettingsRecord r;
    for (int i = 0; i < SettingsRecord::Size; ++i)
        r.data()[i] = static_cast<std::uint8_t>(i % 251 + 1);
    const SettingsRecord t = r.MakeTemplate();
    for (int i = 0; i < SettingsRecord::Size; ++i) {
        const bool identity = i < 10 || (i >= 184 && i < 188) || i >= 260;
        EXPECT_EQ(t.data()[i], identity ? 0 : r.data()[i]) << i;
    }
}

TEST(SettingsRecord, DeviceImageIsTheFirst260Bytes) {
    SettingsRecord r;
    for (int i = 0; i < SettingsRecord::Size; ++i)
        r.data()[i] = static_cast<std::uint8_t>(i);
    const auto image = r.DeviceImage();
    EXPECT_EQ(std::memcmp(image.data(), r.data(), 260), 0);
}

TEST(SettingsRecord, StampMovesIdentifierAndSetsDate) {
    SettingsRecord r;
    r.setProgID1(0x1111);
    r.setProgID2(0x2222);
    r.StampProgrammed(0xABCD, 46001.25);
    EXPECT_EQ(r.ProgID1(), 0xABCD);
    EXPECT_EQ(r.ProgID2(), 0x1111);
    EXPECT_EQ(r.ProgDate(), 46001.25);
}

TEST(SettingsRecord, ClearZeroesAllBytes) {
    SettingsRecord r;
    r.raw().fill(0x5A);
    r.Clear();
    EXPECT_EQ(r, SettingsRecord());
}

} // namespace
