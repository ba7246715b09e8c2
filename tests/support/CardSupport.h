#pragma once

#include "editor/CardForm.h"
#include "editor/Encode.h"
#include "editor/Rules.h"
#include "store/CardFields.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

// A card that passes all thirteen checks, as the editor holds it.
inline CardForm ValidForm(int code = 100) {
    CardForm f;
    f.NCardEdit.text = QString::number(code % 1000000000);
    f.CodeUoo.text = QString::number(code);
    f.Pin1Edit.text = QStringLiteral("1234");
    f.Pin2Edit.text = QStringLiteral("4321");
    for (auto* ip : {&f.Ip1GsmEdit, &f.Ip2GsmEdit}) {
        (*ip)[0].text = QStringLiteral("10");
        (*ip)[1].text = QStringLiteral("0");
        (*ip)[2].text = QStringLiteral("0");
        (*ip)[3].text = QStringLiteral("1");
    }
    f.Port1GsmEdit.text = QStringLiteral("5000");
    f.Port2GsmEdit.text = QStringLiteral("5001");
    f.APN1Edit.text = QStringLiteral("internet");
    f.APN2Edit.text = QStringLiteral("internet");
    f.LoginGsm1Edit.text = QStringLiteral("u");
    f.LoginGsm2Edit.text = QStringLiteral("u");
    f.PassGsm1Edit.text = QStringLiteral("p");
    f.PassGsm2Edit.text = QStringLiteral("p");
    f.balCritical.text = QStringLiteral("10");
    applyLoopRules(f, SenderWindow);
    applyBalanceSwitch(f);
    applyReturnSwitch(f);
    return f;
}

// The same card as saved into a slot.
inline SettingsRecord ValidRecord(int code = 100) {
    SettingsRecord slot;
    SettingsRecord templ;
    EncodeForm(ValidForm(code), slot, templ, 46000.5);
    return slot;
}

// A card as the program itself would have saved it, with random contents.
inline SettingsRecord RandomSavedCard(QRandomGenerator& g) {
    auto text = [&g](int maxLength) {
        QByteArray b;
        const int n = static_cast<int>(g.bounded(maxLength + 1));
        for (int i = 0; i < n; ++i)
            b += static_cast<char>(g.bounded(1, 256)); // any byte but zero
        return b;
    };
    auto noDots = [&](int maxLength) {
        QByteArray b = text(maxLength);
        b.replace('.', ',');
        return b;
    };
    SettingsRecord r;
    for (const CardField& f : CardFields)
        if (f.kind == FieldKind::Text && f.control != std::string_view("balPhoneSim1") &&
            f.control != std::string_view("balPhoneSim2"))
            r.setBytes(f.text(), text(f.width - 1));
    for (TextField f : {Field::Ip1Gsm, Field::Ip2Gsm})
        r.setBytes(f, noDots(3) + '.' + noDots(3) + '.' + noDots(3) + '.' + noDots(3));
    // Codes the editor admits: ten blocks of 800.
    r.setCodeUoo(32000 * g.bounded(10) + g.bounded(800));
    const bool entry = g.bounded(2) == 0;
    r.setCord(1, entry ? 5 : static_cast<std::uint8_t>(g.bounded(5)));
    for (int n = 2; n <= 5; ++n) {
        const std::uint8_t options[] = {0, 1, 2, 3, 4, 6};
        std::uint8_t v = options[g.bounded(entry ? 6 : 5)];
        r.setCord(n, v);
    }
    r.setModeFlags(static_cast<std::uint8_t>(g.bounded(8)));
    r.setRelayComboBox(1, static_cast<std::uint8_t>(g.bounded(7)));
    r.setRelayComboBox(2, static_cast<std::uint8_t>(g.bounded(7)));
    r.settimeGsmEdit(static_cast<std::uint8_t>(g.bounded(1, 256)));
    r.settimePassEdit(static_cast<std::uint8_t>(g.bounded(256)));
    r.setbalCritical(static_cast<std::uint16_t>(g.bounded(1, 65536)));
    r.setbalEnable(g.bounded(2) == 0);
    if (r.balEnable()) {
        r.setBytes(Field::balPhoneSim1, text(11));
        r.setBytes(Field::balPhoneSim2, text(11));
    }
    r.setChangeDate(46000.0 + g.bounded(10000.0));
    if (g.bounded(2) == 0)
        r.setProgDate(46000.0 + g.bounded(10000.0));
    r.setProgID1(static_cast<std::uint16_t>(g.bounded(65536)));
    r.setProgID2(static_cast<std::uint16_t>(g.bounded(65536)));
    return r;
}
