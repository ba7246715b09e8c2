#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstring>

namespace {

SettingsRecord filledRecord(bool balance) {
    SettingsRecord r;
    for (int i = 0; i < SettingsRecord::Size; ++i)
        r.data()[i] = static_cast<std::uint8_t>(0x20 + i % 90);
    r.setVersionCombo(0);
    r.setbalEnable(balance);
    return r;
}

TEST(Crc, Crc16CatalogueCheckValueAndEmptyInput) {
    const char* digits = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x2189);
    EXPECT_EQ(Crc16(nullptr, 0), 0);
}

TEST(Crc, TableFormAgreesWithTheBitwiseForm) {
    QRandomGenerator random(7);
    std::uint8_t data[600];
    for (int round = 0; round < 200; ++round) {
        const int n = static_cast<int>(random.bounded(600));
        for (int i = 0; i < n; ++i)
            data[i] = static_cast<std::uint8_t>(random.bounded(256));
        ASSERT_EQ(Crc16(data, static_cast<std::size_t>(n)),
                  Crc16Bitwise(data, static_cast<std::size_t>(n)));
    }
}

TEST(Crc, Checksum8OfTheEndPacketAndOfEmptyInput) {
    const std::uint8_t end[] = {0x3A, 0x00};
    EXPECT_EQ(Checksum8(end, 2), 0xC6);
    EXPECT_EQ(Checksum8(nullptr, 0), 0);
    const std::uint8_t packet[] = {0x3A, 0x02, 0x10, 0xF0};
    const std::uint8_t sum = Checksum8(packet, 4);
    EXPECT_EQ(static_cast<std::uint8_t>(0x3A + 0x02 + 0x10 + 0xF0 + sum), 0);
}

TEST(ConfigFrame, BlanksBalanceFieldsWhenBalanceCheckIsOff) {
    const SettingsRecord r = filledRecord(false);
    ConfigFrame f{};
    std::uint16_t crc = 0;
    QRandomGenerator random(1);
    ASSERT_EQ(BuildConfigFrame(&r, f.data(), &crc, 0, random), 264);
    for (int i = 0; i < 260; ++i) {
        const bool blanked = (i >= 200 && i < 224) || (i >= 236 && i < 260);
        EXPECT_EQ(f[static_cast<size_t>(i)], blanked ? 0 : r.data()[i]) << i;
    }
    // The stored record keeps what the operator entered.
    EXPECT_EQ(r.data()[200], filledRecord(false).data()[200]);
}

TEST(ConfigFrame, CopiesTheImageWhenBalanceCheckIsOn) {
    const SettingsRecord r = filledRecord(true);
    ConfigFrame f{};
    std::uint16_t crc = 0;
    QRandomGenerator random(2);
    ASSERT_EQ(BuildConfigFrame(&r, f.data(), &crc, 0, random), 264);
    EXPECT_EQ(std::memcmp(f.data(), r.data(), 260), 0);
    EXPECT_EQ(crc, f[262] | (f[263] << 8));
    EXPECT_EQ(Crc16(f.data(), 264), 0);
}

TEST(ConfigFrame, RandomBytesNeverReach255AndOnlyTheTailDiffers) {
    const SettingsRecord r = filledRecord(true);
    QRandomGenerator random(3);
    ConfigFrame first{};
    std::uint16_t crc = 0;
    ASSERT_EQ(BuildConfigFrame(&r, first.data(), &crc, 0, random), 264);
    bool seen254 = false;
    for (int i = 0; i < 20000; ++i) {
        ConfigFrame f{};
        ASSERT_EQ(BuildConfigFrame(&r, f.data(), &crc, 0, random), 264);
        ASSERT_NE(f[260], 255);
        ASSERT_NE(f[261], 255);
        seen254 = seen254 || f[260] == 254;
        ASSERT_EQ(std::memcmp(f.data(), first.data(), 260), 0);
        ASSERT_EQ(Crc16(f.data(), 264), 0);
    }
    EXPECT_TRUE(seen254);
}

TEST(ConfigFrame, NoFrameWithoutRecordOutputsOrVersionZero) {
    SettingsRecord r = filledRecord(true);
    ConfigFrame f{};
    f.fill(0xAB);
    std::uint16_t crc = 0x1234;
    QRandomGenerator random(4);
    EXPECT_EQ(BuildConfigFrame(&r, f.data(), &crc, 1, random), 0);
    EXPECT_EQ(BuildConfigFrame(nullptr, f.data(), &crc, 0, random), 0);
    EXPECT_EQ(BuildConfigFrame(&r, nullptr, &crc, 0, random), 0);
    EXPECT_EQ(BuildConfigFrame(&r, f.data(), nullptr, 0, random), 0);
    EXPECT_EQ(f[0], 0xAB);
    EXPECT_EQ(crc, 0x1234);
}

TEST(ConfigFrame, OnlyExactly264BytesWithAZeroCrc) {
    const SettingsRecord r = filledRecord(true);
    ConfigFrame built{};
    std::uint16_t crc = 0;
    QRandomGenerator random(5);
    ASSERT_EQ(BuildConfigFrame(&r, built.data(), &crc, 0, random), 264);

    ConfigFrame out{};
    int version = -1;
    EXPECT_TRUE(AcceptConfigFrame(built.data(), 264, out.data(), &version));
    EXPECT_EQ(out, built);
    EXPECT_EQ(version, 0);
    EXPECT_TRUE(isValidFrame(built.data(), 264));

    std::uint8_t zeros[300] = {};
    const struct {
        const std::uint8_t* bytes;
        int count;
        bool accepted;
    } cases[] = {
        {zeros, 0, false},   // zero CRC, wrong length
        {zeros, 263, false}, // CRC of zeros is 0, length still wrong
        {zeros, 265, false},
        {zeros, 264, true}, // an all-zero frame is intact
    };
    for (const auto& c : cases)
        EXPECT_EQ(isValidFrame(c.bytes, c.count), c.accepted) << c.count;

    ConfigFrame altered = built;
    altered[17] ^= 0x01;
    EXPECT_FALSE(isValidFrame(altered.data(), 264));
    EXPECT_FALSE(AcceptConfigFrame(built.data(), 263, out.data(), &version));
    EXPECT_FALSE(AcceptConfigFrame(nullptr, 264, out.data(), &version));
}

} // namespace
