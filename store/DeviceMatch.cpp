#include "store/DeviceMatch.h"

#include "store/DateTime.h"
#include "store/SettingsDatabase.h"

#include <cstring>

namespace {

bool sameValue(const CardField& field, const SettingsRecord& a, const SettingsRecord& b) {
    switch (field.kind) {
    case FieldKind::Text:
    case FieldKind::Address:
        return a.bytes(field.text()) == b.bytes(field.text());
    case FieldKind::Number:
        return meantValue(a, field) == meantValue(b, field);
    case FieldKind::Choice:
    case FieldKind::Switch:
        return fieldValue(a, field) == fieldValue(b, field);
    }
    return true;
}

SettingsRecord imageRecord(const std::uint8_t* image) {
    SettingsRecord r;
    std::memcpy(r.data(), image, SettingsRecord::DeviceImageSize);
    return r;
}

} // namespace

SettingsRecord asSent(const SettingsRecord& card) {
    return imageRecord(card.sentImage().data());
}

std::vector<const CardField*> differingFields(const SettingsRecord& card,
                                              const std::uint8_t* deviceImage) {
    // Beyond the image both are zero.
    return changedFields(asSent(card), imageRecord(deviceImage));
}

std::vector<const CardField*> changedFields(const SettingsRecord& a, const SettingsRecord& b) {
    std::vector<const CardField*> differing;
    for (const CardField& field : CardFields)
        if (!sameValue(field, a, b))
            differing.push_back(&field);
    return differing;
}

DeviceMatch matchDevice(const SettingsDatabase& db, const std::uint8_t* frame) {
    const std::uint16_t crc = static_cast<std::uint16_t>(frame[262] | frame[263] << 8);
    std::uint32_t code = 0;
    std::memcpy(&code, frame + Offset::CodeUoo, sizeof code);

    // The best candidate of each case: the lowest row, as the slots are
    // walked in order.
    int same = -1, changed = -1, previous = -1, sameCode = -1;
    std::vector<const CardField*> changedFields;
    for (int slot = 0; slot < SettingsDatabase::SlotCount; ++slot) {
        const SettingsRecord& card = db.Slot(slot);
        if (card.CodeUoo() != code || !card.IsUsed())
            continue;
        if (sameCode < 0)
            sameCode = slot;
        const bool programmed = card.ProgDate() > SettingsRecord::UsedThreshold;
        if (programmed && card.ProgID1() != 0 && card.ProgID1() == crc && same < 0) {
            std::vector<const CardField*> fields = differingFields(card, frame);
            if (fields.empty()) {
                same = slot;
                break; // nothing comes before the first case
            }
            if (changed < 0) {
                changed = slot;
                changedFields = std::move(fields);
            }
        }
        if (programmed && card.ProgID2() != 0 && card.ProgID2() == crc && previous < 0)
            previous = slot;
    }

    DeviceMatch match;
    if (same >= 0) {
        match.found = DeviceMatch::Case::Same;
        match.slot = same;
    } else if (changed >= 0) {
        match.found = DeviceMatch::Case::Changed;
        match.slot = changed;
        match.differing = std::move(changedFields);
    } else if (previous >= 0) {
        match.found = DeviceMatch::Case::Previous;
        match.slot = previous;
    } else if (sameCode >= 0) {
        match.found = DeviceMatch::Case::SameCode;
        match.slot = sameCode;
    }
    if (match.found == DeviceMatch::Case::Previous || match.found == DeviceMatch::Case::SameCode)
        match.differing = differingFields(db.Slot(match.slot), frame);
    return match;
}

QString verdictText(const DeviceMatch& match, const SettingsRecord& card, const QLocale& locale) {
    using Case = DeviceMatch::Case;
    if (match.found == Case::Unknown)
        return QStringLiteral("Этого УОО нет в базе.");
    const QString name = card.text(Field::NCardEdit);
    const int row = match.slot + 1;
    const auto differing = static_cast<int>(match.differing.size());
    switch (match.found) {
    case Case::Same:
        return QStringLiteral("Совпадает с карточкой «%1» (строка %2), запрограммированной %3.")
            .arg(name)
            .arg(row)
            .arg(DateTimeText(locale)(card.ProgDate()));
    case Case::Changed:
        return QStringLiteral("Записана карточка «%1» (строка %2) от %3; с тех пор в базе изменено "
                              "полей: %4.")
            .arg(name)
            .arg(row)
            .arg(DateTimeText(locale)(card.ProgDate()))
            .arg(differing);
    case Case::Previous:
        return QStringLiteral("Записана предыдущая версия карточки «%1» (строка %2); полей, "
                              "отличающихся от базы: %3.")
            .arg(name)
            .arg(row)
            .arg(differing);
    default:
        return differing == 0
                   ? QStringLiteral("Настройки совпадают с карточкой «%1» (строка %2).")
                         .arg(name)
                         .arg(row)
                   : QStringLiteral("Код УО есть в базе: карточка «%1» (строка %2); полей, "
                                    "отличающихся от базы: %3.")
                         .arg(name)
                         .arg(row)
                         .arg(differing);
    }
}
