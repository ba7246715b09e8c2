#pragma once

#include "store/CardFields.h"

#include <QString>

#include <array>
#include <cstddef>

// One edit box as the editor shows it: its text and its own enabled state
// (not that of the page or group it sits on).
struct EditBox {
    QString text;
    bool enabled = true;
    bool operator==(const EditBox&) const = default;
};

// What every control of the card editor shows, named after the controls. The
// rules and the record display work on this plain value; the window only
// copies it into its widgets and back. A combo box index of -1 means no
// selection.
struct CardForm {
    // "Текущие настройки"
    int VersionCombo = 0;
    EditBox CodeUoo{QStringLiteral("1")};
    QString Label17 = QStringLiteral("( 0x00000001 )");
    EditBox NCardEdit{QStringLiteral("1")};

    // "Шлейфы": Cord[0] is Cord1.
    std::array<int, 5> Cord{0, 0, 0, 0, 0};
    EditBox timePassEdit{QStringLiteral("60")};

    // "Режим работы"
    bool IndicZU = false;
    bool BatteryControl = false;
    bool UseEthPriority = false;
    bool UseGsmPriority = false;
    EditBox timeGsmEdit{QStringLiteral("60"), false};

    // "Дополнительная информация"
    EditBox Edit1;
    EditBox FIOEdit;
    EditBox RemarkEdit;
    EditBox ProgID1{QStringLiteral("0")};
    EditBox ProgID2{QStringLiteral("0")};

    // "Основные": Ip1GsmEdit[0] is Ip1GsmEdit_1, the first octet.
    EditBox Pin1Edit;
    std::array<EditBox, 4> Ip1GsmEdit{EditBox{QStringLiteral("1")}, EditBox{QStringLiteral("1")},
                                      EditBox{QStringLiteral("1")}, EditBox{QStringLiteral("1")}};
    EditBox Port1GsmEdit;
    EditBox APN1Edit;
    EditBox LoginGsm1Edit;
    EditBox PassGsm1Edit;
    EditBox Pin2Edit;
    std::array<EditBox, 4> Ip2GsmEdit{EditBox{QStringLiteral("1")}, EditBox{QStringLiteral("1")},
                                      EditBox{QStringLiteral("1")}, EditBox{QStringLiteral("1")}};
    EditBox Port2GsmEdit;
    EditBox APN2Edit;
    EditBox LoginGsm2Edit;
    EditBox PassGsm2Edit;
    EditBox NumPhoneMC;
    bool UseSim1 = true;
    bool UseSim2 = true;

    // "Баланс"
    bool balEnable = false;
    EditBox balCritical{QStringLiteral("10")};
    EditBox balCodeSim1;
    EditBox balCodeSim2;
    EditBox balPhoneSim1;
    EditBox balPhoneSim2;

    // "Дополнительно"
    EditBox RCControl{QStringLiteral("1")};
    EditBox PUK1_Edit;
    EditBox Number1_Edit;
    EditBox SIM_ID1_Edit;
    EditBox PUK2_Edit;
    EditBox Number2_Edit;
    EditBox SIM_ID2_Edit;

    // "Выходы УОО": RelayComboBox[0] is RelayComboBox1 on page "Out1".
    std::array<int, 2> RelayComboBox{0, 0};
    int activeOutputPage = 0;
    QString Label40 = QStringLiteral("Выход выключен");

    // The hidden Ethernet group's boxes that the rules touch; never stored.
    QString PortLoc = QStringLiteral("5000");
    std::array<QString, 6> Mac{QStringLiteral("00"), QStringLiteral("00"), QStringLiteral("00"),
                               QStringLiteral("00"), QStringLiteral("00"), QStringLiteral("00")};

    bool operator==(const CardForm&) const = default;
};

// Items of the lists, in order.
inline constexpr int Cord1ItemCount = 6; // Cord1: index 5 is the entry loop
inline constexpr int CordItemCount = 7;  // Cord2..Cord5: 5 separator, 6 pass-through
inline constexpr int RelayItemCount = 7;
inline constexpr int ControlLoop = 4;
inline constexpr int EntryLoop = 5;

// Where the form keeps each text and address field of the table.
struct FormTextBox {
    const CardField* field;
    EditBox CardForm::*box;
};
struct FormAddressBoxes {
    const CardField* field;
    std::array<EditBox, 4> CardForm::*boxes; // the first octet's box first
};

inline constexpr FormTextBox FormTextBoxes[] = {
    {&fieldNamed("Pin1Edit"), &CardForm::Pin1Edit},
    {&fieldNamed("Pin2Edit"), &CardForm::Pin2Edit},
    {&fieldNamed("Port1GsmEdit"), &CardForm::Port1GsmEdit},
    {&fieldNamed("Port2GsmEdit"), &CardForm::Port2GsmEdit},
    {&fieldNamed("APN1Edit"), &CardForm::APN1Edit},
    {&fieldNamed("APN2Edit"), &CardForm::APN2Edit},
    {&fieldNamed("LoginGsm1Edit"), &CardForm::LoginGsm1Edit},
    {&fieldNamed("LoginGsm2Edit"), &CardForm::LoginGsm2Edit},
    {&fieldNamed("PassGsm1Edit"), &CardForm::PassGsm1Edit},
    {&fieldNamed("PassGsm2Edit"), &CardForm::PassGsm2Edit},
    {&fieldNamed("balCodeSim1"), &CardForm::balCodeSim1},
    {&fieldNamed("balCodeSim2"), &CardForm::balCodeSim2},
    {&fieldNamed("NumPhoneMC"), &CardForm::NumPhoneMC},
    {&fieldNamed("balPhoneSim1"), &CardForm::balPhoneSim1},
    {&fieldNamed("balPhoneSim2"), &CardForm::balPhoneSim2},
    {&fieldNamed("NCardEdit"), &CardForm::NCardEdit},
    {&fieldNamed("Edit1"), &CardForm::Edit1},
    {&fieldNamed("FIOEdit"), &CardForm::FIOEdit},
    {&fieldNamed("RemarkEdit"), &CardForm::RemarkEdit},
    {&fieldNamed("PUK1_Edit"), &CardForm::PUK1_Edit},
    {&fieldNamed("Number1_Edit"), &CardForm::Number1_Edit},
    {&fieldNamed("SIM_ID1_Edit"), &CardForm::SIM_ID1_Edit},
    {&fieldNamed("PUK2_Edit"), &CardForm::PUK2_Edit},
    {&fieldNamed("Number2_Edit"), &CardForm::Number2_Edit},
    {&fieldNamed("SIM_ID2_Edit"), &CardForm::SIM_ID2_Edit},
};
inline constexpr FormAddressBoxes FormAddresses[] = {
    {&fieldNamed("Ip1GsmEdit_"), &CardForm::Ip1GsmEdit},
    {&fieldNamed("Ip2GsmEdit_"), &CardForm::Ip2GsmEdit},
};

// Every text and address field of the table has its place in the form.
constexpr bool everyTextHasABox() {
    std::size_t texts = 0;
    std::size_t addresses = 0;
    for (const CardField& f : CardFields) {
        texts += f.kind == FieldKind::Text;
        addresses += f.kind == FieldKind::Address;
    }
    return texts == std::size(FormTextBoxes) && addresses == std::size(FormAddresses);
}
static_assert(everyTextHasABox(), "a text field of the table has no box in CardForm");
