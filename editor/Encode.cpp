#include "editor/Encode.h"

#include "store/Cp1251.h"
#include "store/NumberText.h"
#include "store/SettingsRecord.h"

namespace {

void copy(SettingsRecord& r, TextField f, const QString& text) { r.setText(f, text); }

std::uint8_t index(int selected) { return selected < 0 ? 255 : static_cast<std::uint8_t>(selected); }

QString joinAddress(const std::array<EditBox, 4>& boxes) {
    // Taken as typed: no re-formatting, leading zeros stay.
    return boxes[0].text + QLatin1Char('.') + boxes[1].text + QLatin1Char('.') + boxes[2].text +
           QLatin1Char('.') + boxes[3].text;
}

} // namespace

void EncodeForm(const CardForm& f, SettingsRecord& slot, SettingsRecord& templ, double now) {
    const double progDate = slot.ProgDate();
    const std::uint16_t progId1 = slot.ProgID1();
    const std::uint16_t progId2 = slot.ProgID2();
    slot.Clear();
    slot.setProgDate(progDate);
    slot.setProgID1(progId1);
    slot.setProgID2(progId2);

    slot.setBytes(Field::NCardEdit, Cp1251::encode(f.NCardEdit.text).left(10));
    copy(slot, Field::Edit1, f.Edit1.text);
    copy(slot, Field::FIOEdit, f.FIOEdit.text);
    copy(slot, Field::RemarkEdit, f.RemarkEdit.text);
    slot.setChangeDate(now);
    slot.setCodeUoo(static_cast<std::uint32_t>(ParseNumber(f.CodeUoo.text, 1)));
    for (int i = 0; i < 5; ++i)
        slot.setCord(i + 1, index(f.Cord[static_cast<std::size_t>(i)]));
    slot.setModeFlags(static_cast<std::uint8_t>((f.IndicZU ? ModeBit::IndicZU : 0) |
                                                (f.BatteryControl ? ModeBit::BatteryControl : 0) |
                                                (f.UseEthPriority ? ModeBit::UseEthPriority : 0)));
    copy(slot, Field::Pin1Edit, f.Pin1Edit.text);
    copy(slot, Field::Pin2Edit, f.Pin2Edit.text);
    copy(slot, Field::Ip1Gsm, joinAddress(f.Ip1GsmEdit));
    copy(slot, Field::Ip2Gsm, joinAddress(f.Ip2GsmEdit));
    copy(slot, Field::Port1GsmEdit, f.Port1GsmEdit.text);
    copy(slot, Field::Port2GsmEdit, f.Port2GsmEdit.text);
    copy(slot, Field::APN1Edit, f.APN1Edit.text);
    copy(slot, Field::APN2Edit, f.APN2Edit.text);
    copy(slot, Field::LoginGsm1Edit, f.LoginGsm1Edit.text);
    copy(slot, Field::LoginGsm2Edit, f.LoginGsm2Edit.text);
    copy(slot, Field::PassGsm1Edit, f.PassGsm1Edit.text);
    copy(slot, Field::PassGsm2Edit, f.PassGsm2Edit.text);
    copy(slot, Field::PUK1_Edit, f.PUK1_Edit.text);
    copy(slot, Field::PUK2_Edit, f.PUK2_Edit.text);
    copy(slot, Field::SIM_ID1_Edit, f.SIM_ID1_Edit.text);
    copy(slot, Field::SIM_ID2_Edit, f.SIM_ID2_Edit.text);
    copy(slot, Field::Number1_Edit, f.Number1_Edit.text);
    copy(slot, Field::Number2_Edit, f.Number2_Edit.text);
    copy(slot, Field::NumPhoneMC, f.NumPhoneMC.text);
    slot.setbalCritical(static_cast<std::uint16_t>(ParseNumber(f.balCritical.text, 10)));
    copy(slot, Field::balCodeSim1, f.balCodeSim1.text);
    copy(slot, Field::balCodeSim2, f.balCodeSim2.text);
    copy(slot, Field::balPhoneSim1, f.balPhoneSim1.text);
    copy(slot, Field::balPhoneSim2, f.balPhoneSim2.text);
    slot.setbalEnable(f.balEnable);
    // The box shows the stored identifier in hex; reading it back keeps it.
    slot.setProgID1(
        static_cast<std::uint16_t>(ParseNumber(QStringLiteral("0x") + f.ProgID1.text, 0)));
    slot.setRelayComboBox(1, index(f.RelayComboBox[0]));
    slot.setRelayComboBox(2, index(f.RelayComboBox[1]));
    slot.settimeGsmEdit(static_cast<std::uint8_t>(ParseNumber(f.timeGsmEdit.text, 60)));
    slot.settimePassEdit(static_cast<std::uint8_t>(ParseNumber(f.timePassEdit.text, 60)));
    // Only "56.00 и выше" exists; any other selection leaves the byte 0.
    slot.setVersionCombo(0);

    templ = slot.MakeTemplate();
}
