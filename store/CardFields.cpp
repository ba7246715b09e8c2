#include "store/CardFields.h"

std::uint32_t fieldValue(const SettingsRecord& record, const CardField& field) {
    const std::uint8_t* at = record.data() + field.offset;
    if (field.kind == FieldKind::Switch)
        return field.bit ? (*at & field.bit) != 0 : *at != 0;
    std::uint32_t value = 0;
    for (int i = field.width - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

std::uint32_t meantValue(const SettingsRecord& record, const CardField& field) {
    const std::uint32_t value = fieldValue(record, field);
    return value == 0 && field.zeroMeans ? field.zeroMeans : value;
}

bool secretField(const CardField& field) {
    static const char* const kSecrets[] = {"Pin1Edit",     "Pin2Edit",  "PassGsm1Edit",
                                           "PassGsm2Edit", "PUK1_Edit", "PUK2_Edit"};
    for (const char* s : kSecrets)
        if (std::string_view(field.control) == s)
            return true;
    return false;
}
