#pragma once

// Cards with every text field filled, as a busy installer's database holds
// them; for benchmarks and screenshots.
#include "store/CardFields.h"
#include "store/SettingsDatabase.h"

#include <QStringList>

inline void FillSampleCards(SettingsDatabase& db, int count) {
    const QStringList objects = {
        QStringLiteral("Магазин «Продукты»"),
        QStringLiteral("Аптека"),
        QStringLiteral("Школа"),
        QStringLiteral("Склад ООО «Вектор»"),
        QStringLiteral("Гараж"),
        QStringLiteral("Офис нотариуса"),
    };
    for (int i = 0; i < count && i < SettingsDatabase::SlotCount; ++i) {
        SettingsRecord& r = db.Slot(i);
        r.setText(Field::Pin1Edit, QStringLiteral("%1").arg(1000 + i % 9000));
        r.setText(Field::Pin2Edit, QStringLiteral("%1").arg(9999 - i % 9000));
        r.setText(Field::Ip1Gsm,
                  QStringLiteral("192.168.%1.%2").arg(i / 250 % 250).arg(i % 250 + 1));
        r.setText(Field::Ip2Gsm, QStringLiteral("10.0.%1.%2").arg(i / 250 % 250).arg(i % 250 + 1));
        r.setText(Field::Port1GsmEdit, QStringLiteral("5000"));
        r.setText(Field::Port2GsmEdit, QStringLiteral("5001"));
        r.setText(Field::APN1Edit, QStringLiteral("internet.provider.ru"));
        r.setText(Field::APN2Edit, QStringLiteral("internet"));
        r.setText(Field::LoginGsm1Edit, QStringLiteral("user"));
        r.setText(Field::LoginGsm2Edit, QStringLiteral("user"));
        r.setText(Field::PassGsm1Edit, QStringLiteral("pass"));
        r.setText(Field::PassGsm2Edit, QStringLiteral("pass"));
        r.setCodeUoo(static_cast<std::uint32_t>(i % 800 + 32000 * (i / 800 % 10)));
        r.setCord(1, 1);
        r.setCord(2, 2);
        r.settimeGsmEdit(60);
        r.settimePassEdit(30);
        r.setbalCritical(50);
        r.setText(Field::NCardEdit, QStringLiteral("%1").arg(100000 + i));
        r.setText(Field::Edit1,
                  QStringLiteral("%1 №%2").arg(objects[i % objects.size()]).arg(i + 1));
        r.setText(Field::FIOEdit, QStringLiteral("г. Москва, ул. Ленина, д. %1").arg(i % 200 + 1));
        r.setText(Field::RemarkEdit, QStringLiteral("Ключи у охраны"));
        r.setText(Field::PUK1_Edit, QStringLiteral("%1").arg(12345678 + i));
        r.setText(Field::PUK2_Edit, QStringLiteral("%1").arg(87654321 + i));
        r.setText(Field::Number1_Edit, QStringLiteral("8916%1").arg(1000000 + i));
        r.setText(Field::Number2_Edit, QStringLiteral("8903%1").arg(1000000 + i));
        r.setText(Field::SIM_ID1_Edit, QStringLiteral("8970101%1").arg(100000000 + i));
        r.setText(Field::SIM_ID2_Edit, QStringLiteral("8970199%1").arg(100000000 + i));
        r.setChangeDate(46000.0 + i * 0.01 + 0.375);
        if (i % 3 == 0) {
            r.setProgDate(46001.0 + i * 0.01 + 0.5);
            r.setProgID1(static_cast<std::uint16_t>(0x1000 + i));
        }
    }
    db.Template() = db.Slot(0).MakeTemplate();
}
