#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

// A text field of the record: zero-terminated Windows-1251 text, zero-padded
// to its width, holding at most width - 1 characters.
struct TextField {
    int offset;
    int width;
};

// The text fields are described, with every other field, in CardFields.h.

// Offsets of the record's numeric fields.
namespace Offset {
inline constexpr int CodeUoo = 184;
inline constexpr int Cord1 = 188; // Cord1..Cord5 at 188..192
inline constexpr int ModeFlags = 193;
inline constexpr int RelayComboBox1 = 194; // RelayComboBox1, RelayComboBox2 at 194, 195
inline constexpr int timeGsmEdit = 196;
inline constexpr int timePassEdit = 197;
inline constexpr int balCritical = 198;
inline constexpr int Reserved1 = 260;
inline constexpr int ChangeDate = 575;
inline constexpr int ProgDate = 583;
inline constexpr int ProgID1 = 591;
inline constexpr int ProgID2 = 593;
inline constexpr int Reserved2 = 595;
inline constexpr int VersionCombo = 656;
inline constexpr int Reserved3 = 657;
inline constexpr int balEnable = 659;
inline constexpr int Reserved4 = 660;
} // namespace Offset

// Bits of ModeFlags.
namespace ModeBit {
inline constexpr std::uint8_t IndicZU = 0x01;
inline constexpr std::uint8_t BatteryControl = 0x02;
inline constexpr std::uint8_t UseEthPriority = 0x04;
} // namespace ModeBit

// One settings card: a packed little-endian block of exactly 695 bytes, the
// same in memory, in the database file and (its first 260 bytes) on the wire.
class SettingsRecord {
public:
    static constexpr int Size = 695;
    static constexpr int DeviceImageSize = 260;
    // A slot is in use from this ChangeDate (days) on.
    static constexpr double UsedThreshold = 0.001;

    using Bytes = std::array<std::uint8_t, Size>;

    SettingsRecord() { raw_.fill(0); }

    const std::uint8_t* data() const { return raw_.data(); }
    std::uint8_t* data() { return raw_.data(); }
    const Bytes& raw() const { return raw_; }
    Bytes& raw() { return raw_; }

    bool operator==(const SettingsRecord&) const = default;

    // Text fields: read up to the first zero byte or the field's width;
    // written cut to width - 1 bytes and zero-padded.
    QByteArray bytes(TextField f) const;
    void setBytes(TextField f, QByteArrayView value);
    QString text(TextField f) const;
    void setText(TextField f, const QString& value);

    std::uint32_t CodeUoo() const { return u32(Offset::CodeUoo); }
    void setCodeUoo(std::uint32_t v) { setU32(Offset::CodeUoo, v); }
    // Loop modes, n = 1..5.
    std::uint8_t Cord(int n) const { return raw_[static_cast<std::size_t>(Offset::Cord1 + n - 1)]; }
    void setCord(int n, std::uint8_t v) {
        raw_[static_cast<std::size_t>(Offset::Cord1 + n - 1)] = v;
    }
    std::uint8_t ModeFlags() const { return raw_[Offset::ModeFlags]; }
    void setModeFlags(std::uint8_t v) { raw_[Offset::ModeFlags] = v; }
    // Output profiles, n = 1..2.
    std::uint8_t RelayComboBox(int n) const {
        return raw_[static_cast<std::size_t>(Offset::RelayComboBox1 + n - 1)];
    }
    void setRelayComboBox(int n, std::uint8_t v) {
        raw_[static_cast<std::size_t>(Offset::RelayComboBox1 + n - 1)] = v;
    }
    std::uint8_t timeGsmEdit() const { return raw_[Offset::timeGsmEdit]; }
    void settimeGsmEdit(std::uint8_t v) { raw_[Offset::timeGsmEdit] = v; }
    std::uint8_t timePassEdit() const { return raw_[Offset::timePassEdit]; }
    void settimePassEdit(std::uint8_t v) { raw_[Offset::timePassEdit] = v; }
    std::uint16_t balCritical() const { return u16(Offset::balCritical); }
    void setbalCritical(std::uint16_t v) { setU16(Offset::balCritical, v); }
    double ChangeDate() const { return f64(Offset::ChangeDate); }
    void setChangeDate(double v) { setF64(Offset::ChangeDate, v); }
    double ProgDate() const { return f64(Offset::ProgDate); }
    void setProgDate(double v) { setF64(Offset::ProgDate, v); }
    std::uint16_t ProgID1() const { return u16(Offset::ProgID1); }
    void setProgID1(std::uint16_t v) { setU16(Offset::ProgID1, v); }
    std::uint16_t ProgID2() const { return u16(Offset::ProgID2); }
    void setProgID2(std::uint16_t v) { setU16(Offset::ProgID2, v); }
    std::uint8_t VersionCombo() const { return raw_[Offset::VersionCombo]; }
    void setVersionCombo(std::uint8_t v) { raw_[Offset::VersionCombo] = v; }
    bool balEnable() const { return raw_[Offset::balEnable] != 0; }
    void setbalEnable(bool on) { raw_[Offset::balEnable] = on ? 1 : 0; }

    // A record is in use when its ChangeDate is at least 0.001 days.
    bool IsUsed() const { return ChangeDate() >= UsedThreshold; }
    // All 695 bytes zero: the slot is free.
    void Clear() { raw_.fill(0); }
    // The device settings of this record without its object code, PIN codes
    // and program-only tail.
    SettingsRecord MakeTemplate() const;
    // Bytes 0..259 as stored.
    std::array<std::uint8_t, DeviceImageSize> DeviceImage() const;
    // Bytes 0..259 as a programming sends them: with the balance check off,
    // the four balance texts are zero.
    std::array<std::uint8_t, DeviceImageSize> sentImage() const;
    // After the device accepted a frame: ProgDate := now, ProgID2 := ProgID1,
    // ProgID1 := the frame's CRC.
    void StampProgrammed(std::uint16_t frameCrc, double now);

private:
    std::uint16_t u16(int off) const;
    void setU16(int off, std::uint16_t v);
    std::uint32_t u32(int off) const;
    void setU32(int off, std::uint32_t v);
    double f64(int off) const;
    void setF64(int off, double v);

    Bytes raw_;
};

static_assert(sizeof(SettingsRecord) == SettingsRecord::Size,
              "SettingsRecord must be exactly the 695 bytes of its image");
static_assert(alignof(SettingsRecord) == 1);
