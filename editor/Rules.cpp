#include "editor/Rules.h"

#include "store/AddressText.h"
#include "store/CardFields.h"
#include "store/NumberText.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

#include <cstring>

const std::array<QString, 7> RelayProfileTexts = {
    QStringLiteral("Выход всегда находится в режиме «Выключен»"),
    QStringLiteral("Когда УОО без охраны выход находится в режиме «Выключен». Выход находится в "
                   "режиме «Включен», когда УОО на охране без состояния тревоги. В состоянии  "
                   "«Тревога» выход находится в режиме «Долгое мигание»."),
    QStringLiteral("Выход находится в режиме «Выключен», если УОО снято с охраны или находится "
                   "на охране без тревоги. Выход находится в режиме «Включен» на 4 минуты, если "
                   "УОО в состоянии «Тревога». В состоянии «Тревога»  выключение выхода до "
                   "истечения таймера 4-х минут производится снятием УОО с охраны с ПЦН."),
    QStringLiteral("При отсутствии состояния «Пожар» выход находится в режиме «Короткое "
                   "мигание». В состоянии «Пожар» выход находится в режиме «Долгое мигание»."),
    QStringLiteral("При отсутствии состояния «Пожар» выход находится в режиме «Выключен». В "
                   "состоянии «Пожар» выход находится в режиме «Включен» на 4 минуты. Перевод "
                   "выхода в режим «Выключен» до истечения 4-х минут производится кнопкой "
                   "«Контроль»."),
    QStringLiteral("В состоянии без охраны и отсутствии пожара выход находится в режиме "
                   "«Короткое мигание». На охране при отсутствии тревоги и пожара выход "
                   "находится в режиме «Включен». В состояниях «Тревога» или «Пожар» выход "
                   "находится в режиме «Долгое мигание»."),
    QStringLiteral("При отсутствии состояния «Пожар» или когда УОО не под охраной или когда УОО "
                   "на охране без тревоги выход находится в режиме «Выключен». В состоянии "
                   "«Пожар» или в состоянии «Тревога»  выход находится в режиме «Включен» на 4 "
                   "минуты. Перевести включенный выход в режим «Выключен» до истечения 4-х минут "
                   "в состоянии «Пожар» можно кнопкой «Контроль»."),
};

std::optional<QString> relayProfileText(int index) {
    if (index < 0 || index >= static_cast<int>(RelayProfileTexts.size()))
        return std::nullopt;
    return RelayProfileTexts[static_cast<std::size_t>(index)];
}

void UpdateCodeLabel(CardForm& form) {
    if (form.CodeUoo.text.isEmpty()) {
        form.Label17.clear();
        return;
    }
    const auto value = static_cast<std::uint32_t>(parseNumber(form.CodeUoo.text, 1));
    form.Label17 = QStringLiteral("( 0x") +
                   QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper() +
                   QStringLiteral(" )");
}

namespace {

void splitAddress(const QString& s, std::array<EditBox, 4>& boxes) {
    const auto parts = splitDottedAddress(s);
    for (std::size_t i = 0; i < 4; ++i)
        boxes[i].text = parts[i];
}

int listIndex(std::uint8_t value, int count) {
    return value < count ? value : -1;
}

} // namespace

void applySimSwitch(CardForm& f, int sim) {
    const bool on = sim == 1 ? f.UseSim1 : f.UseSim2;
    for (const FormTextBox& t : FormTextBoxes)
        if (t.field->sim == sim)
            (f.*t.box).enabled = on;
    for (const FormAddressBoxes& a : FormAddresses)
        if (a.field->sim == sim)
            for (EditBox& octet : f.*a.boxes)
                octet.enabled = on;
}

void applyBalanceSwitch(CardForm& f) {
    for (EditBox* box :
         {&f.balCritical, &f.balCodeSim1, &f.balCodeSim2, &f.balPhoneSim1, &f.balPhoneSim2})
        box->enabled = f.balEnable;
    if (!f.balEnable) {
        f.balPhoneSim1.text.clear();
        f.balPhoneSim2.text.clear();
    }
}

void applyReturnSwitch(CardForm& f) {
    f.timeGsmEdit.enabled = f.UseEthPriority;
}

void applyLoopRules(CardForm& f, int sender) {
    f.timePassEdit.enabled = f.Cord[0] == EntryLoop;
    if (f.Cord[0] != EntryLoop) {
        for (int i = 1; i < 5; ++i) {
            if (f.Cord[static_cast<std::size_t>(i)] > ControlLoop)
                f.Cord[static_cast<std::size_t>(i)] = 0;
        }
    }
    if (sender >= 1 && sender <= 5 && f.Cord[static_cast<std::size_t>(sender - 1)] == ControlLoop) {
        for (int i = 0; i < 5; ++i) {
            if (i != sender - 1 && f.Cord[static_cast<std::size_t>(i)] == ControlLoop)
                f.Cord[static_cast<std::size_t>(i)] = 0;
        }
    }
}

void showOutputProfile(CardForm& f, int output) {
    if (output < 1 || output > 2)
        return;
    if (const auto text = relayProfileText(f.RelayComboBox[static_cast<std::size_t>(output - 1)]))
        f.Label40 = *text;
}

void showActiveOutputProfile(CardForm& f) {
    showOutputProfile(f, f.activeOutputPage + 1);
}

void makeMacAddress(CardForm& f, QRandomGenerator& random) {
    f.Mac[0] = QStringLiteral("00");
    for (std::size_t i = 1; i < f.Mac.size(); ++i)
        f.Mac[i] = QStringLiteral("%1").arg(random.bounded(255), 2, 16, QLatin1Char('0')).toUpper();
}

QString randomPortLoc(QRandomGenerator& random) {
    return QString::number(random.bounded(6001, 64000));
}

CardForm ShowRecord(const SettingsRecord& record, const SettingsRecord& templ,
                    const CardForm& previous, bool outputsVisible) {
    CardForm f = previous;
    SettingsRecord working = templ;
    working.setModeFlags(0);
    working.setVersionCombo(0);
    const SettingsRecord& src = record.IsUsed() ? record : working;

    for (const FormTextBox& t : FormTextBoxes)
        (f.*t.box).text = src.text(t.field->text());
    for (const FormAddressBoxes& a : FormAddresses)
        splitAddress(src.text(a.field->text()), f.*a.boxes);
    f.CodeUoo.text = src.ChangeDate() > SettingsRecord::UsedThreshold
                         ? QString::number(src.CodeUoo())
                         : QString();
    f.IndicZU = src.ModeFlags() & ModeBit::IndicZU;
    f.BatteryControl = src.ModeFlags() & ModeBit::BatteryControl;
    f.UseEthPriority = src.ModeFlags() & ModeBit::UseEthPriority;
    for (int i = 0; i < 5; ++i)
        f.Cord[static_cast<std::size_t>(i)] =
            listIndex(src.Cord(i + 1), i == 0 ? Cord1ItemCount : CordItemCount);
    UpdateCodeLabel(f);

    if (src.ChangeDate() < SettingsRecord::UsedThreshold) {
        f.Pin2Edit.text.clear();
        f.Pin1Edit.text.clear();
    }

    f.UseSim1 = true;
    f.UseSim2 = true;
    applySimSwitch(f, 1);
    applySimSwitch(f, 2);

    f.balCritical.text = QString::number(meantValue(src, fieldNamed("balCritical")));
    f.balEnable = src.balEnable();
    if (!f.balEnable) {
        f.balPhoneSim1.text.clear();
        f.balPhoneSim2.text.clear();
    }
    applyBalanceSwitch(f);

    for (int n = 1; n <= 2; ++n)
        f.RelayComboBox[static_cast<std::size_t>(n - 1)] =
            listIndex(src.RelayComboBox(n), RelayItemCount);
    if (outputsVisible)
        showOutputProfile(f, f.activeOutputPage + 1);

    f.timeGsmEdit.text =
        src.timeGsmEdit() == 0 ? QStringLiteral("60") : QString::number(src.timeGsmEdit());
    applyReturnSwitch(f);
    f.timePassEdit.text = QString::number(src.timePassEdit());
    applyLoopRules(f, SenderWindow);

    if (src.VersionCombo() == 0)
        f.VersionCombo = 0;
    return f;
}

CardForm cardFromDevice(const std::uint8_t* image, const SettingsRecord& templ,
                        const CardForm& previous, bool outputsVisible) {
    SettingsRecord card = templ;
    std::memcpy(card.data(), image, SettingsRecord::DeviceImageSize);
    bool balance = false;
    for (const TextField f : BalanceTexts)
        balance = balance || !card.bytes(f).isEmpty();
    card.setbalEnable(balance);
    // Shown as a card in use, so that its code and PINs appear; the save
    // gives it its real date.
    card.setChangeDate(1.0);
    return ShowRecord(card, templ, previous, outputsVisible);
}
