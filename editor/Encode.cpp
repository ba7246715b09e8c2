#include "editor/Encode.h"

#include "store/CardFields.h"
#include "store/NumberText.h"
#include "store/SettingsRecord.h"

namespace {

std::uint8_t index(int selected) {
    return selected < 0 ? 255 : static_cast<std::uint8_t>(selected);
}

QString joinAddress(const std::array<EditBox, 4>& boxes) {
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

    // Texts as typed, each cut to what its field holds; an address as its
    // four boxes joined, taken as typed (no re-formatting, leading zeros stay).
    for (const FormTextBox& t : FormTextBoxes)
        slot.setText(t.field->text(), (f.*t.box).text);
    for (const FormAddressBoxes& a : FormAddresses)
        slot.setText(a.field->text(), joinAddress(f.*a.boxes));
    slot.setChangeDate(now);
    slot.setCodeUoo(static_cast<std::uint32_t>(parseNumber(f.CodeUoo.text, 1)));
    for (int i = 0; i < 5; ++i)
        slot.setCord(i + 1, index(f.Cord[static_cast<std::size_t>(i)]));
    slot.setModeFlags(static_cast<std::uint8_t>((f.IndicZU ? ModeBit::IndicZU : 0) |
                                                (f.BatteryControl ? ModeBit::BatteryControl : 0) |
                                                (f.UseEthPriority ? ModeBit::UseEthPriority : 0)));
    slot.setbalCritical(static_cast<std::uint16_t>(parseNumber(f.balCritical.text, 10)));
    slot.setbalEnable(f.balEnable);
    // The box shows the stored identifier in hex; reading it back keeps it.
    slot.setProgID1(
        static_cast<std::uint16_t>(parseNumber(QStringLiteral("0x") + f.ProgID1.text, 0)));
    slot.setRelayComboBox(1, index(f.RelayComboBox[0]));
    slot.setRelayComboBox(2, index(f.RelayComboBox[1]));
    slot.settimeGsmEdit(static_cast<std::uint8_t>(parseNumber(f.timeGsmEdit.text, 60)));
    slot.settimePassEdit(static_cast<std::uint8_t>(parseNumber(f.timePassEdit.text, 60)));
    // Only "56.00 и выше" exists; any other selection leaves the byte 0.
    slot.setVersionCombo(0);

    templ = slot.MakeTemplate();
}
