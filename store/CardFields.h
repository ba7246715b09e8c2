#pragma once

#include "store/SettingsRecord.h"

#include <cstdint>
#include <stdexcept>
#include <string_view>

// Every value of a card that a window shows, a check looks at or the device
// holds, described once: where it lies in the record and what it is, the
// control that shows it, its hint and limits. The windows, the checks and the
// encoding walk this table; what is special about a field (an address in four
// boxes, a number with a default) stays in the code that needs it.

// How a field's bytes hold its value.
enum class FieldKind : std::uint8_t {
    Text,    // zero-terminated Windows-1251 text of at most width - 1 characters
    Address, // a dotted address kept as text, shown in four boxes: control + "1".."4"
    Number,  // an unsigned little-endian number of `width` bytes
    Choice,  // one byte: the position of the selected item in a list
    Switch,  // one bit (`bit`) of a byte: a check box
};

// What the checks ask of a box of the main GSM page.
namespace Demand {
inline constexpr std::uint8_t Required = 0x01; // not empty while enabled
inline constexpr std::uint8_t Pin = 0x02;      // four digits or more, at most 65535
inline constexpr std::uint8_t Port = 0x04;     // 5000 to 65535
inline constexpr std::uint8_t Octet = 0x08;    // at most 255
} // namespace Demand

struct CardField {
    // The control that shows the field in both windows (an address: the
    // common beginning of its four boxes' names).
    const char* control;
    FieldKind kind;
    int offset;
    int width;
    // A switch's bit; 0: the whole byte, on when it is not zero.
    std::uint8_t bit = 0;
    // The main window's hint; the checks name the field by it.
    const char* hint = nullptr;
    // The longest text the main window lets the operator type; 0: the
    // width less one (a text), none (anything else).
    int limit = 0;
    // A screen reader's name in the main window where its caption is not it.
    const char* accessibleName = nullptr;
    // The read-back window's own hint, limit and accessible name.
    const char* readBackHint = nullptr;
    int readBackLimit = 0;
    const char* readBackAccessibleName = nullptr;
    // Where the checks meet the box on the main GSM page (an address takes
    // four places, its boxes from the fourth to the first); -1: not there.
    int checkOrder = -1;
    std::uint8_t demands = 0;
    // The SIM whose switch turns the box on and off (1 or 2); 0: none.
    int sim = 0;
    // A number whose 0 the device takes as this value, and both windows
    // show as it; 0: none.
    std::uint32_t zeroMeans = 0;

    constexpr TextField text() const { return {offset, width}; }
    constexpr int typingLimit() const {
        return limit ? limit : kind == FieldKind::Text ? width - 1 : 0;
    }
    // Whether the device holds it (the first 260 bytes of the record).
    constexpr bool inDevice() const { return offset + width <= SettingsRecord::DeviceImageSize; }
};

// In the record's order.
inline constexpr CardField CardFields[] = {
    {.control = "Pin1Edit",
     .kind = FieldKind::Text,
     .offset = 0,
     .width = 5,
     .hint = "PIN1",
     .checkOrder = 0,
     .demands = Demand::Required | Demand::Pin,
     .sim = 1},
    {.control = "Pin2Edit",
     .kind = FieldKind::Text,
     .offset = 5,
     .width = 5,
     .hint = "PIN2",
     .checkOrder = 9,
     .demands = Demand::Required | Demand::Pin,
     .sim = 2},
    {.control = "Ip1GsmEdit_",
     .kind = FieldKind::Address,
     .offset = 10,
     .width = 16,
     .hint = "IP Адрес МС (WAN1)",
     .limit = 3,
     .checkOrder = 1,
     .demands = Demand::Required | Demand::Octet,
     .sim = 1},
    {.control = "Ip2GsmEdit_",
     .kind = FieldKind::Address,
     .offset = 26,
     .width = 16,
     .hint = "IP Адрес МС (WAN2)",
     .limit = 3,
     .checkOrder = 10,
     .demands = Demand::Required | Demand::Octet,
     .sim = 2},
    {.control = "Port1GsmEdit",
     .kind = FieldKind::Text,
     .offset = 42,
     .width = 6,
     .hint = "Порт МС (WAN1)",
     .checkOrder = 5,
     .demands = Demand::Required | Demand::Port,
     .sim = 1},
    {.control = "Port2GsmEdit",
     .kind = FieldKind::Text,
     .offset = 48,
     .width = 6,
     .hint = "Порт МС (WAN2)",
     .checkOrder = 17,
     .demands = Demand::Required | Demand::Port,
     .sim = 2},
    {.control = "APN1Edit",
     .kind = FieldKind::Text,
     .offset = 54,
     .width = 25,
     .hint = "Точка доступа 1",
     .checkOrder = 6,
     .demands = Demand::Required,
     .sim = 1},
    {.control = "APN2Edit",
     .kind = FieldKind::Text,
     .offset = 79,
     .width = 25,
     .hint = "Точка доступа 2",
     .checkOrder = 16,
     .demands = Demand::Required,
     .sim = 2},
    {.control = "LoginGsm1Edit",
     .kind = FieldKind::Text,
     .offset = 104,
     .width = 20,
     .checkOrder = 7,
     .sim = 1},
    {.control = "LoginGsm2Edit",
     .kind = FieldKind::Text,
     .offset = 124,
     .width = 20,
     .checkOrder = 15,
     .sim = 2},
    {.control = "PassGsm1Edit",
     .kind = FieldKind::Text,
     .offset = 144,
     .width = 20,
     .checkOrder = 8,
     .sim = 1},
    {.control = "PassGsm2Edit",
     .kind = FieldKind::Text,
     .offset = 164,
     .width = 20,
     .checkOrder = 14,
     .sim = 2},
    {.control = "CodeUoo",
     .kind = FieldKind::Number,
     .offset = Offset::CodeUoo,
     .width = 4,
     .hint = "Код УО",
     .limit = 9,
     .readBackHint = "Номер карточки",
     .readBackLimit = 10},
    {.control = "Cord1", .kind = FieldKind::Choice, .offset = Offset::Cord1, .width = 1},
    {.control = "Cord2", .kind = FieldKind::Choice, .offset = Offset::Cord1 + 1, .width = 1},
    {.control = "Cord3", .kind = FieldKind::Choice, .offset = Offset::Cord1 + 2, .width = 1},
    {.control = "Cord4", .kind = FieldKind::Choice, .offset = Offset::Cord1 + 3, .width = 1},
    {.control = "Cord5", .kind = FieldKind::Choice, .offset = Offset::Cord1 + 4, .width = 1},
    {.control = "IndicZU",
     .kind = FieldKind::Switch,
     .offset = Offset::ModeFlags,
     .width = 1,
     .bit = ModeBit::IndicZU},
    {.control = "BatteryControl",
     .kind = FieldKind::Switch,
     .offset = Offset::ModeFlags,
     .width = 1,
     .bit = ModeBit::BatteryControl},
    {.control = "UseEthPriority",
     .kind = FieldKind::Switch,
     .offset = Offset::ModeFlags,
     .width = 1,
     .bit = ModeBit::UseEthPriority},
    {.control = "RelayComboBox1",
     .kind = FieldKind::Choice,
     .offset = Offset::RelayComboBox1,
     .width = 1},
    {.control = "RelayComboBox2",
     .kind = FieldKind::Choice,
     .offset = Offset::RelayComboBox1 + 1,
     .width = 1},
    {.control = "timeGsmEdit",
     .kind = FieldKind::Number,
     .offset = Offset::timeGsmEdit,
     .width = 1,
     .limit = 3,
     .accessibleName = "Переходить на 1-ю Sim карту через (минут)",
     .readBackAccessibleName = "Переходить на 1-ю Sim карту через, минут"},
    {.control = "timePassEdit",
     .kind = FieldKind::Number,
     .offset = Offset::timePassEdit,
     .width = 1,
     .limit = 3},
    {.control = "balCritical",
     .kind = FieldKind::Number,
     .offset = Offset::balCritical,
     .width = 2,
     .limit = 3,
     .zeroMeans = 10},
    {.control = "balCodeSim1", .kind = FieldKind::Text, .offset = 200, .width = 12},
    {.control = "balCodeSim2", .kind = FieldKind::Text, .offset = 212, .width = 12},
    {.control = "NumPhoneMC",
     .kind = FieldKind::Text,
     .offset = 224,
     .width = 12,
     .hint = "N тел. МС для дозвона тревог через CSD",
     .checkOrder = 18},
    {.control = "balPhoneSim1",
     .kind = FieldKind::Text,
     .offset = 236,
     .width = 12,
     .hint = "Телефонный номер для отправки SMS о балансе на SIM 1"},
    {.control = "balPhoneSim2",
     .kind = FieldKind::Text,
     .offset = 248,
     .width = 12,
     .hint = "Телефонный номер для отправки SMS о балансе на SIM 2"},
    {.control = "NCardEdit",
     .kind = FieldKind::Text,
     .offset = 264,
     .width = 11,
     .hint = "Номер карточки"},
    {.control = "Edit1", .kind = FieldKind::Text, .offset = 275, .width = 100},
    {.control = "FIOEdit", .kind = FieldKind::Text, .offset = 375, .width = 100},
    {.control = "RemarkEdit", .kind = FieldKind::Text, .offset = 475, .width = 40},
    {.control = "PUK1_Edit", .kind = FieldKind::Text, .offset = 515, .width = 20},
    {.control = "Number1_Edit", .kind = FieldKind::Text, .offset = 535, .width = 15},
    {.control = "SIM_ID1_Edit", .kind = FieldKind::Text, .offset = 550, .width = 25},
    {.control = "PUK2_Edit", .kind = FieldKind::Text, .offset = 596, .width = 20},
    {.control = "Number2_Edit", .kind = FieldKind::Text, .offset = 616, .width = 15},
    {.control = "SIM_ID2_Edit", .kind = FieldKind::Text, .offset = 631, .width = 25},
    {.control = "VersionCombo",
     .kind = FieldKind::Choice,
     .offset = Offset::VersionCombo,
     .width = 1},
    {.control = "balEnable", .kind = FieldKind::Switch, .offset = Offset::balEnable, .width = 1},
};

// The field a control shows. Used in constant expressions, a name that is
// not in the table does not compile.
constexpr const CardField& fieldNamed(std::string_view control) {
    for (const CardField& f : CardFields)
        if (control == f.control)
            return f;
    throw std::invalid_argument("no such card field");
}
// The same at run time: nullptr for a control that shows no field.
inline const CardField* findField(std::string_view control) {
    for (const CardField& f : CardFields)
        if (control == f.control)
            return &f;
    return nullptr;
}

// The record's text fields, named after the controls that edit them.
namespace Field {
inline constexpr TextField Pin1Edit = fieldNamed("Pin1Edit").text();
inline constexpr TextField Pin2Edit = fieldNamed("Pin2Edit").text();
inline constexpr TextField Ip1Gsm = fieldNamed("Ip1GsmEdit_").text();
inline constexpr TextField Ip2Gsm = fieldNamed("Ip2GsmEdit_").text();
inline constexpr TextField Port1GsmEdit = fieldNamed("Port1GsmEdit").text();
inline constexpr TextField Port2GsmEdit = fieldNamed("Port2GsmEdit").text();
inline constexpr TextField APN1Edit = fieldNamed("APN1Edit").text();
inline constexpr TextField APN2Edit = fieldNamed("APN2Edit").text();
inline constexpr TextField LoginGsm1Edit = fieldNamed("LoginGsm1Edit").text();
inline constexpr TextField LoginGsm2Edit = fieldNamed("LoginGsm2Edit").text();
inline constexpr TextField PassGsm1Edit = fieldNamed("PassGsm1Edit").text();
inline constexpr TextField PassGsm2Edit = fieldNamed("PassGsm2Edit").text();
inline constexpr TextField balCodeSim1 = fieldNamed("balCodeSim1").text();
inline constexpr TextField balCodeSim2 = fieldNamed("balCodeSim2").text();
inline constexpr TextField NumPhoneMC = fieldNamed("NumPhoneMC").text();
inline constexpr TextField balPhoneSim1 = fieldNamed("balPhoneSim1").text();
inline constexpr TextField balPhoneSim2 = fieldNamed("balPhoneSim2").text();
inline constexpr TextField NCardEdit = fieldNamed("NCardEdit").text();
inline constexpr TextField Edit1 = fieldNamed("Edit1").text();
inline constexpr TextField FIOEdit = fieldNamed("FIOEdit").text();
inline constexpr TextField RemarkEdit = fieldNamed("RemarkEdit").text();
inline constexpr TextField PUK1_Edit = fieldNamed("PUK1_Edit").text();
inline constexpr TextField Number1_Edit = fieldNamed("Number1_Edit").text();
inline constexpr TextField SIM_ID1_Edit = fieldNamed("SIM_ID1_Edit").text();
inline constexpr TextField PUK2_Edit = fieldNamed("PUK2_Edit").text();
inline constexpr TextField Number2_Edit = fieldNamed("Number2_Edit").text();
inline constexpr TextField SIM_ID2_Edit = fieldNamed("SIM_ID2_Edit").text();
} // namespace Field

// The texts of the balance check: a programming sends them only while it is on.
inline constexpr TextField BalanceTexts[] = {Field::balCodeSim1, Field::balCodeSim2,
                                             Field::balPhoneSim1, Field::balPhoneSim2};

// PIN and PUK codes and passwords: kept in the record, shown to nobody else
// (the team database's view, a card's history).
bool secretField(const CardField& field);

// A number, choice or switch as the record holds it (a switch: 0 or 1).
std::uint32_t fieldValue(const SettingsRecord& record, const CardField& field);
// The value as the device takes it and the windows show it: a number's 0
// becomes what it means.
std::uint32_t meantValue(const SettingsRecord& record, const CardField& field);
