#include "editor/Validation.h"
#include "editor/Rules.h"
#include "store/SettingsDatabase.h"

#include "tests/support/CardSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

class Validation : public ::testing::Test {
protected:
    std::optional<QString> check(const std::function<void(CardForm&)>& change, int slot = 0) {
        CardForm f = ValidForm();
        change(f);
        return validateCard(f, *db, slot);
    }
    std::unique_ptr<SettingsDatabase> db = std::make_unique<SettingsDatabase>();
};

const QString kMissing =
    QStringLiteral("Заполните ВСЕ необходимые поля перед сохранением!\nПропущенные поля:\n\n");
const QString kPortsPins = QStringLiteral(
    "Ошибочные данные в полях:\n\n%1\n\n*Номера портов должны быть от 5000 до 65535\n*PIN-коды "
    "должны быть 4х-значные");
const QString kLoops = QStringLiteral(
    "Разрешается использовать только один управляющий шлейф! Проверьте конфигурацию и "
    "убедитесь, что только один шлейф включен в положение УПР");
const QString kPassThrough = QStringLiteral(
    "Использование проходных шлейфов допускается ТОЛЬКО если первый шлейф настроен как ВХОДНОЙ.");
const QString kBalance = QStringLiteral(
    "Задано неверное значение критического баланса SIM. Разрешается задавать значения от 10 до "
    "500р");
const QString kInterval = QStringLiteral(
    "Неверно введен интервал перехода на основной канал. Допустимы значения от 25 до 60 минут.");
const QString kDelay =
    QStringLiteral("Задержка входного шлейфа должна бьть в интервале 0-120 сек.");

TEST_F(Validation, AValidCardPasses) {
    EXPECT_FALSE(check([](CardForm&) {}));
}

TEST_F(Validation, MissingCardNameAndCodeAreListedInOrder) {
    EXPECT_EQ(check([](CardForm& f) {
                  f.NCardEdit.text.clear();
                  f.CodeUoo.text.clear();
              }),
              kMissing + QStringLiteral("Номер карточки\nКод УО\n"));
}

TEST_F(Validation, EmptyGsmPageListsEachAddressOnce) {
    const auto msg = check([](CardForm& f) {
        for (EditBox* b : {&f.Pin1Edit, &f.Port1GsmEdit, &f.APN1Edit, &f.LoginGsm1Edit,
                           &f.PassGsm1Edit, &f.Pin2Edit, &f.Port2GsmEdit, &f.APN2Edit,
                           &f.LoginGsm2Edit, &f.PassGsm2Edit, &f.NumPhoneMC})
            b->text.clear();
        for (auto* ip : {&f.Ip1GsmEdit, &f.Ip2GsmEdit})
            for (EditBox& b : *ip)
                b.text.clear();
    });
    EXPECT_EQ(msg, kMissing + QStringLiteral("PIN1\nIP Адрес МС (WAN1)\nПорт МС (WAN1)\n"
                                             "Точка доступа 1\nPIN2\nIP Адрес МС (WAN2)\n"
                                             "Точка доступа 2\nПорт МС (WAN2)\n"));
}

TEST_F(Validation, DisabledBoxesAreNotRequired) {
    EXPECT_FALSE(check([](CardForm& f) {
        f.UseSim2 = false;
        applySimSwitch(f, 2);
        f.Pin2Edit.text.clear();
        f.APN2Edit.text.clear();
        f.Ip2GsmEdit[1].text.clear();
        f.LoginGsm2Edit.text.clear();
        f.PassGsm2Edit.text.clear();
    }));
}

TEST_F(Validation, EachCheckWithItsBoundaries) {
    struct Case {
        const char* name;
        std::function<void(CardForm&)> change;
        std::optional<QString> message;
    };
    auto text = [](EditBox CardForm::*box, const char* value) {
        return [box, value](CardForm& f) { (f.*box).text = QString::fromUtf8(value); };
    };
    auto octet = [](int which, const char* value) {
        return [which, value](CardForm& f) {
            f.Ip1GsmEdit[static_cast<std::size_t>(which)].text = QString::fromUtf8(value);
        };
    };
    auto balance = [](const char* value) {
        return [value](CardForm& f) {
            f.balEnable = true;
            applyBalanceSwitch(f);
            f.balCritical.text = QString::fromUtf8(value);
        };
    };
    const QString ip1 = QStringLiteral("Ошибочные IP/MAC адреса:\n\nIP Адрес МС (WAN1)\n");
    const QString ends1 = QStringLiteral("Неверно введены IP адреса :\n\nIP Адрес МС (WAN1)\n");
    const QString code = QStringLiteral("Ошибочные данные в полях:\n\nКод УО\n") + RangeText;
    const QString phones = QStringLiteral(
        "\nВсе используемые номера телефонов должны содержать 11 цифр и начинаться с 8. Чтобы НЕ "
        "ИСПОЛЬЗОВАТЬ Телефон МС для дозвона тревог - оставьте поле пустым.");
    const QString csd = QStringLiteral("Неверные данные в полях:\n\nN тел. МС для дозвона тревог "
                                       "через CSD\n") +
                        phones;
    const Case cases[] = {
        // 2, 3: loops.
        {"two control loops",
         [](CardForm& f) {
             f.Cord = {0, 4, 0, 4, 0};
         },
         kLoops},
        {"pass-through without entry",
         [](CardForm& f) {
             f.Cord = {1, 0, 6, 0, 0};
         },
         kPassThrough},
        {"separator without entry",
         [](CardForm& f) {
             f.Cord = {0, 5, 0, 0, 0};
         },
         kPassThrough},
        {"pass-through after entry",
         [](CardForm& f) {
             f.Cord = {5, 0, 6, 0, 0};
             f.timePassEdit.text = QStringLiteral("30");
             applyLoopRules(f, SenderWindow);
         },
         std::nullopt},
        // 4: balance only when checked.
        {"balance 9", balance("9"), kBalance},
        {"balance 10", balance("10"), std::nullopt},
        {"balance 500", balance("500"), std::nullopt},
        {"balance 501", balance("501"), kBalance},
        {"balance text", balance("abc"), kBalance},
        {"balance 9 unchecked", text(&CardForm::balCritical, "9"), std::nullopt},
        {"balance 501 unchecked", text(&CardForm::balCritical, "501"), std::nullopt},
        // 5: octets.
        {"octet 256", octet(1, "256"), ip1},
        {"octet letter", octet(2, "a"), ip1},
        {"octet -1", octet(2, "-1"), std::nullopt},
        {"octet 255 inside", octet(1, "255"), std::nullopt},
        // 6: ports and PINs.
        {"PIN of 3 digits", text(&CardForm::Pin1Edit, "123"), kPortsPins.arg("PIN1\n")},
        {"PIN of letters", text(&CardForm::Pin2Edit, "abcd"), kPortsPins.arg("PIN2\n")},
        {"PIN with leading zeros", text(&CardForm::Pin1Edit, "0007"), std::nullopt},
        {"port 4999", text(&CardForm::Port1GsmEdit, "4999"), kPortsPins.arg("Порт МС (WAN1)\n")},
        {"port 5000", text(&CardForm::Port1GsmEdit, "5000"), std::nullopt},
        {"port 65535", text(&CardForm::Port2GsmEdit, "65535"), std::nullopt},
        {"port 65536", text(&CardForm::Port2GsmEdit, "65536"), kPortsPins.arg("Порт МС (WAN2)\n")},
        {"port hex 0x1388", text(&CardForm::Port1GsmEdit, "$1388"), std::nullopt},
        // 7: code blocks.
        {"code 0", text(&CardForm::CodeUoo, "0"), std::nullopt},
        {"code 799", text(&CardForm::CodeUoo, "799"), std::nullopt},
        {"code 800", text(&CardForm::CodeUoo, "800"), code},
        {"code 31999", text(&CardForm::CodeUoo, "31999"), code},
        {"code 32000", text(&CardForm::CodeUoo, "32000"), std::nullopt},
        {"code 288799", text(&CardForm::CodeUoo, "288799"), std::nullopt},
        {"code 288800", text(&CardForm::CodeUoo, "288800"), code},
        {"code not a number", text(&CardForm::CodeUoo, "1a"), code},
        {"code negative", text(&CardForm::CodeUoo, "-1"), code},
        // 9: first and last octets as text.
        {"first octet 0", octet(0, "0"), ends1},
        {"first octet 255", octet(0, "255"), ends1},
        {"last octet 0", octet(3, "0"), ends1},
        {"last octet 255", octet(3, "255"), ends1},
        {"first octet 00", octet(0, "00"), std::nullopt},
        // 10: logins and passwords.
        {"login 2 empty", text(&CardForm::LoginGsm2Edit, ""),
         kMissing + QStringLiteral("Логин 2\n\nЕсли провайдер не требует ввода \"Логина\" и "
                                   "\"Пароля\", то введите любое слово латинскими буквами или "
                                   "любую цифру, например 1")},
        // 11: phones.
        {"CSD 11 digits from 8", text(&CardForm::NumPhoneMC, "89161234567"), std::nullopt},
        {"CSD 11 digits from 7", text(&CardForm::NumPhoneMC, "79161234567"), csd},
        {"CSD 10 digits from 8", text(&CardForm::NumPhoneMC, "8916123456"), csd},
        {"balance phone unchecked", text(&CardForm::balPhoneSim1, "123"), std::nullopt},
        {"balance phone checked",
         [](CardForm& f) {
             f.balEnable = true;
             f.balPhoneSim1.text = QStringLiteral("123");
             f.balPhoneSim2.text = QStringLiteral("71234567890");
         },
         QStringLiteral("Неверные данные в полях:\n\nТелефонный номер для отправки SMS о балансе "
                        "на SIM 1\nТелефонный номер для отправки SMS о балансе на SIM 2\n") +
             phones},
        // 12: return interval only with the priority switch.
        {"interval 24",
         [](CardForm& f) {
             f.UseEthPriority = true;
             f.timeGsmEdit.text = "24";
         },
         kInterval},
        {"interval 25",
         [](CardForm& f) {
             f.UseEthPriority = true;
             f.timeGsmEdit.text = "25";
         },
         std::nullopt},
        {"interval 60",
         [](CardForm& f) {
             f.UseEthPriority = true;
             f.timeGsmEdit.text = "60";
         },
         std::nullopt},
        {"interval 61",
         [](CardForm& f) {
             f.UseEthPriority = true;
             f.timeGsmEdit.text = "61";
         },
         kInterval},
        {"interval 61 unchecked", text(&CardForm::timeGsmEdit, "61"), std::nullopt},
        // 13: entry delay only for an entry loop.
        {"delay 121 entry",
         [](CardForm& f) {
             f.Cord[0] = 5;
             applyLoopRules(f, SenderWindow);
             f.timePassEdit.text = QStringLiteral("121");
         },
         kDelay},
        {"delay 0 entry",
         [](CardForm& f) {
             f.Cord[0] = 5;
             applyLoopRules(f, SenderWindow);
             f.timePassEdit.text = QStringLiteral("0");
         },
         std::nullopt},
        {"delay 120 entry",
         [](CardForm& f) {
             f.Cord[0] = 5;
             applyLoopRules(f, SenderWindow);
             f.timePassEdit.text = QStringLiteral("120");
         },
         std::nullopt},
        {"delay 121 no entry", text(&CardForm::timePassEdit, "121"), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = check(c.change);
        EXPECT_EQ(got.has_value(), c.message.has_value()) << c.name;
        if (got && c.message) {
            EXPECT_EQ(*got, *c.message) << c.name;
        }
    }
}

TEST_F(Validation, EarlierChecksWin) {
    // Two control loops and a missing PIN: the missing field comes first.
    auto msg = check([](CardForm& f) {
        f.Cord = {4, 4, 0, 0, 0};
        f.Pin1Edit.text.clear();
    });
    EXPECT_TRUE(msg->startsWith(kMissing));
    // Two control loops beat a wrong balance, octet, port and code.
    msg = check([](CardForm& f) {
        f.Cord = {0, 4, 0, 4, 0};
        f.balEnable = true;
        f.balCritical.text = QStringLiteral("1");
        f.Ip1GsmEdit[1].text = QStringLiteral("999");
        f.CodeUoo.text = QStringLiteral("900");
    });
    EXPECT_EQ(msg, kLoops);
    // A wrong octet beats a wrong port.
    msg = check([](CardForm& f) {
        f.Ip2GsmEdit[1].text = QStringLiteral("300");
        f.Port1GsmEdit.text = QStringLiteral("1");
    });
    EXPECT_EQ(msg, QStringLiteral("Ошибочные IP/MAC адреса:\n\nIP Адрес МС (WAN2)\n"));
}

TEST_F(Validation, CodesOfOtherUsedSlotsOnlyAreTaken) {
    db->Slot(5).setCodeUoo(100);
    db->Slot(5).setChangeDate(46000.0);
    db->Slot(6).setCodeUoo(200); // free: never counts
    EXPECT_EQ(check([](CardForm&) {}, 0), QStringLiteral("Такой код УО уже есть в базе"));
    EXPECT_FALSE(check([](CardForm&) {}, 5)); // its own slot
    EXPECT_FALSE(check([](CardForm& f) { f.CodeUoo.text = QStringLiteral("200"); }, 0));
    EXPECT_EQ(check([](CardForm& f) { f.CodeUoo.text = QStringLiteral("$64"); }, 0),
              QStringLiteral("Такой код УО уже есть в базе"));
}

TEST_F(Validation, AnyTextIsSafe) {
    const QString inputs[] = {QString(),
                              QStringLiteral("$FFFFFFFF"),
                              QStringLiteral("0x"),
                              QStringLiteral("99999999999999999999"),
                              QString(255, QChar(u'Ж')),
                              QStringLiteral("ПИН1")};
    for (const QString& t : inputs) {
        CardForm f = ValidForm();
        for (EditBox* b : {&f.NCardEdit, &f.CodeUoo, &f.Pin1Edit, &f.Port1GsmEdit, &f.balCritical,
                           &f.timeGsmEdit, &f.timePassEdit, &f.NumPhoneMC, &f.Ip1GsmEdit[0]})
            b->text = t;
        f.balEnable = true;
        f.UseEthPriority = true;
        f.timePassEdit.enabled = true;
        EXPECT_TRUE(validateCard(f, *db, 0).has_value()) << t.toStdString();
    }
}

} // namespace
