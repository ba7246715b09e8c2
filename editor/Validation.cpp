#include "editor/Validation.h"

#include "store/NumberText.h"
#include "store/SettingsDatabase.h"

#include <algorithm>
#include <utility>
#include <vector>

const QString RangeText = QStringLiteral(
    "\n\nВ зависимости от того на какой закладке \"АТС\" в программе ПЦН отображается МЦ-410 "
    "доступны следующие диапазоны значений кода УО:\n\nАТС №0 (0 - 799); АТС №1(32000 - 32799); "
    "АТС №2(64000 - 64799); АТС №3(96000 - 96799); АТС №4(128000 - 128799); АТС №5(160000 - "
    "160799); АТС №6(192000 - 192799); АТС №7(224000 - 224799); АТС №8(256000 - 256799); АТС "
    "№9(288000 - 288799);\n\nОткройте в базе ПЦН АСПИ \"Варгуна\" карточку объекта или ресурсы "
    "выделенного КЦ (МЦ-410) на нужной закладке АТС для уточнения правильного значения кода УО.");

namespace {

const QString kMissing =
    QStringLiteral("Заполните ВСЕ необходимые поля перед сохранением!\nПропущенные поля:\n\n");
const QString kWrongFields = QStringLiteral("Ошибочные данные в полях:\n\n");
const QString kProviderHint = QStringLiteral(
    "Если провайдер не требует ввода \"Логина\" и \"Пароля\", то введите любое слово латинскими "
    "буквами или любую цифру, например 1");
const QString kPhoneHint = QStringLiteral(
    "Все используемые номера телефонов должны содержать 11 цифр и начинаться с 8. Чтобы НЕ "
    "ИСПОЛЬЗОВАТЬ Телефон МС для дозвона тревог - оставьте поле пустым.");

QString hintOf(const char* control) {
    return QString::fromUtf8(fieldNamed(control).hint);
}

const QString kHintIp1 = hintOf("Ip1GsmEdit_");
const QString kHintIp2 = hintOf("Ip2GsmEdit_");
const QString kHintCode = hintOf("CodeUoo");

// One edit box of the main GSM page, with what the checks ask of it and the
// hint they name it by.
struct PageBox {
    int order;
    std::uint8_t demands;
    const EditBox* box;
    QString hint;
};

// The boxes of "Основные" in the order the checks walk them.
std::vector<PageBox> mainPage(const CardForm& f) {
    std::vector<PageBox> page;
    const auto hint = [](const CardField* field) {
        return field->hint ? QString::fromUtf8(field->hint) : QString();
    };
    for (const FormTextBox& t : FormTextBoxes)
        if (t.field->checkOrder >= 0)
            page.push_back({t.field->checkOrder, t.field->demands, &(f.*t.box), hint(t.field)});
    for (const FormAddressBoxes& a : FormAddresses)
        for (int i = 0; i < 4; ++i)
            page.push_back({a.field->checkOrder + i, a.field->demands,
                            &(f.*a.boxes)[static_cast<std::size_t>(3 - i)], hint(a.field)});
    std::sort(page.begin(), page.end(),
              [](const PageBox& a, const PageBox& b) { return a.order < b.order; });
    return page;
}

// Appends the hint's line unless the hint already stands anywhere in the list.
void addOnce(QString& list, const QString& hint) {
    if (!list.contains(hint))
        list += hint + QLatin1Char('\n');
}

bool wrongPhone(const EditBox& b) {
    return !b.text.isEmpty() && !(b.text.size() == 11 && b.text[0] == QLatin1Char('8'));
}

} // namespace

std::optional<QString> validateCard(const CardForm& f, const SettingsDatabase& db,
                                    int currentSlot) {
    const std::vector<PageBox> page = mainPage(f);

    // 1. Required fields.
    QString missing;
    if (f.NCardEdit.text.isEmpty())
        missing += QStringLiteral("Номер карточки\n");
    if (f.CodeUoo.text.isEmpty())
        missing += kHintCode + QLatin1Char('\n');
    for (const PageBox& b : page) {
        if (b.box->enabled && b.box->text.isEmpty() && (b.demands & Demand::Required))
            addOnce(missing, b.hint);
    }
    if (!missing.isEmpty())
        return kMissing + missing;

    // 2. One control loop.
    int control = 0;
    for (int c : f.Cord)
        control += c == ControlLoop ? 1 : 0;
    if (control >= 2)
        return QStringLiteral("Разрешается использовать только один управляющий шлейф! Проверьте "
                              "конфигурацию и убедитесь, что только один шлейф включен в "
                              "положение УПР");

    // 3. Pass-through loops only after an entry loop.
    int passThrough = 0;
    for (std::size_t i = 1; i < 5; ++i)
        passThrough += f.Cord[i] > ControlLoop ? 1 : 0;
    if (passThrough >= 1 && f.Cord[0] != EntryLoop)
        return QStringLiteral("Использование проходных шлейфов допускается ТОЛЬКО если первый "
                              "шлейф настроен как ВХОДНОЙ.");

    // 4. Critical balance.
    if (f.balEnable) {
        const int v = parseNumber(f.balCritical.text, -1);
        if (v < 10 || v > 500)
            return QStringLiteral("Задано неверное значение критического баланса SIM. "
                                  "Разрешается задавать значения от 10 до 500р");
    }

    // 5. Octets.
    QString errors;
    for (const PageBox& b : page) {
        if (b.box->enabled && (b.demands & Demand::Octet) && parseNumber(b.box->text, 999) > 255)
            addOnce(errors, b.hint);
    }
    if (!errors.isEmpty())
        return QStringLiteral("Ошибочные IP/MAC адреса:\n\n") + errors;

    // 6. Ports and PINs.
    for (const PageBox& b : page) {
        if (!b.box->enabled || !(b.demands & (Demand::Port | Demand::Pin)))
            continue;
        const QString& t = b.box->text;
        const bool wrong = t.size() < 4 || parseNumber(t, 70000) > 65535 ||
                           ((b.demands & Demand::Port) && parseNumber(t, 4999) < 5000);
        if (wrong)
            addOnce(errors, b.hint);
    }
    if (!errors.isEmpty())
        return kWrongFields + errors +
               QStringLiteral("\n\n*Номера портов должны быть от 5000 до 65535\n*PIN-коды должны "
                              "быть 4х-значные");

    // 7. The code lies in one of the ten blocks.
    const int code = parseNumber(f.CodeUoo.text, -1);
    if (!(code >= 0 && code <= 288799 && code % 32000 < 800))
        return kWrongFields + kHintCode + QLatin1Char('\n') + RangeText;

    // 8. No other used card has the code.
    const auto unique = static_cast<std::uint32_t>(parseNumber(f.CodeUoo.text, 10000));
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i) {
        if (i == currentSlot)
            continue;
        const SettingsRecord& r = db.Slot(i);
        if (r.IsUsed() && r.CodeUoo() == unique)
            return QStringLiteral("Такой код УО уже есть в базе");
    }

    // 9. First and last octets, compared as text.
    const std::pair<const EditBox*, QString> ends[] = {
        {&f.Ip1GsmEdit[0], kHintIp1},
        {&f.Ip2GsmEdit[0], kHintIp2},
        {&f.Ip1GsmEdit[3], kHintIp1},
        {&f.Ip2GsmEdit[3], kHintIp2},
    };
    for (const auto& [box, hint] : ends) {
        if (box->text == QLatin1String("0") || box->text == QLatin1String("255"))
            addOnce(errors, hint);
    }
    if (!errors.isEmpty())
        return QStringLiteral("Неверно введены IP адреса :\n\n") + errors;

    // 10. Logins and passwords of the SIMs in use.
    if (f.UseSim1) {
        if (f.LoginGsm1Edit.text.isEmpty())
            errors += QStringLiteral("Логин 1\n");
        if (f.PassGsm1Edit.text.isEmpty())
            errors += QStringLiteral("Пароль 1\n");
    }
    if (f.UseSim2) {
        if (f.LoginGsm2Edit.text.isEmpty())
            errors += QStringLiteral("Логин 2\n");
        if (f.PassGsm2Edit.text.isEmpty())
            errors += QStringLiteral("Пароль 2\n");
    }
    if (!errors.isEmpty())
        return kMissing + errors + QLatin1Char('\n') + kProviderHint;

    // 11. Phone numbers: empty, or 11 characters beginning with 8.
    if (f.balEnable) {
        if (wrongPhone(f.balPhoneSim1))
            errors += hintOf("balPhoneSim1") + QLatin1Char('\n');
        if (wrongPhone(f.balPhoneSim2))
            errors += hintOf("balPhoneSim2") + QLatin1Char('\n');
    }
    if (wrongPhone(f.NumPhoneMC))
        errors += hintOf("NumPhoneMC") + QLatin1Char('\n');
    if (!errors.isEmpty())
        return QStringLiteral("Неверные данные в полях:\n\n") + errors + QLatin1Char('\n') +
               kPhoneHint;

    // 12. Return interval.
    if (f.UseEthPriority) {
        const int t = parseNumber(f.timeGsmEdit.text, -1);
        if (t < 25 || t > 60)
            return QStringLiteral("Неверно введен интервал перехода на основной канал. Допустимы "
                                  "значения от 25 до 60 минут.");
    }

    // 13. Entry delay.
    if (f.timePassEdit.enabled) {
        const int d = parseNumber(f.timePassEdit.text, -1);
        if (d < 0 || d > 120)
            return QStringLiteral("Задержка входного шлейфа должна бьть в интервале 0-120 сек.");
    }
    return std::nullopt;
}
