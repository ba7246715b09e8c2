// Showing a frame read from a device, and what the database knows of it.
#include "readback/TForm2.h"

#include "store/AddressText.h"
#include "store/CardFields.h"
#include "store/SettingsDatabase.h"
#include "store/SettingsRecord.h"
#include "ui/DifferenceMark.h"
#include "ui/FormKit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

void TForm2::SetUpReadBackWindow() {
    Label33->hide();
    RCControl->hide();
    GroupBox7->setVisible(true);
    FormKit::setUpOutputPages(PageControl2);
}

void TForm2::FillFromFrame(const std::uint8_t* frame, int versionCode) {
    std::memcpy(frame_.data(), frame, frame_.size());
    SettingsRecord r;
    std::memcpy(r.data(), frame, SettingsRecord::DeviceImageSize);

    // Every field the device holds, through the table; the numbers are shown
    // as this window always showed them.
    for (const CardField& field : CardFields) {
        if (!field.inDevice())
            continue;
        const QLatin1String name(field.control);
        switch (field.kind) {
        case FieldKind::Text:
            if (auto* e = findChild<QLineEdit*>(name))
                e->setText(r.text(field.text()));
            break;
        case FieldKind::Address: {
            const auto parts = splitDottedAddress(r.text(field.text()));
            for (std::size_t i = 0; i < 4; ++i)
                if (auto* e = findChild<QLineEdit*>(name + QString::number(i + 1)))
                    e->setText(parts[i]);
            break;
        }
        case FieldKind::Choice:
            if (auto* c = findChild<QComboBox*>(name)) {
                const auto value = static_cast<int>(fieldValue(r, field));
                c->setCurrentIndex(value < c->count() ? value : -1);
            }
            break;
        case FieldKind::Switch:
            if (auto* c = findChild<QCheckBox*>(name))
                c->setChecked(fieldValue(r, field) != 0);
            break;
        case FieldKind::Number:
            break;
        }
    }
    CodeUoo->setText(QString::number(r.CodeUoo()));
    balCritical->setText(QString::number(meantValue(r, fieldNamed("balCritical"))));
    timeGsmEdit->setText(QString::number(r.timeGsmEdit()));
    timePassEdit->setText(QString::number(r.timePassEdit()));
    if (versionCode == 0)
        VersionCombo->setCurrentIndex(0);
    compareWithDatabase();
}

void TForm2::compareWithDatabase() {
    request_ = Request::None;
    DifferenceMark::Clear(this);
    ShowCardBtn->hide();
    CreateCardBtn->hide();
    sayVerdict(QString());
    match_ = DeviceMatch{};
    if (!db_)
        return;
    match_ = matchDevice(*db_, frame_.data());
    if (match_.found == DeviceMatch::Case::Unknown) {
        sayVerdict(verdictText(match_, {}, QLocale()));
        CreateCardBtn->show();
        const bool room = db_->firstFreeSlot() >= 0;
        CreateCardBtn->setEnabled(room && createRefusal_.isEmpty());
        CreateCardBtn->setToolTip(!createRefusal_.isEmpty() ? createRefusal_
                                  : room                    ? QString()
                                         : QStringLiteral("В базе нет свободных строк"));
        return;
    }
    const SettingsRecord& card = db_->Slot(match_.slot);
    sayVerdict(verdictText(match_, card, QLocale()));
    ShowCardBtn->show();

    // The card as its frame would carry it now, as this window shows it.
    const SettingsRecord sent = asSent(card);
    for (const CardField* field : match_.differing) {
        const QString description = QStringLiteral("В базе: ") + shownValue(*field, sent);
        const QLatin1String control(field->control);
        if (field->kind == FieldKind::Address) {
            for (int i = 1; i <= 4; ++i)
                DifferenceMark::mark(findChild<QWidget*>(control + QString::number(i)),
                                     description);
        } else {
            DifferenceMark::mark(findChild<QWidget*>(control), description);
        }
    }
}

// A label with an accessible name is heard by that name alone, so the verdict
// is its description, and the window's: heard when the window opens. Setting
// a description sends the toolkit's description-changed notice.
void TForm2::sayVerdict(const QString& text) {
    MatchLabel->setText(text);
    MatchLabel->setAccessibleDescription(text);
    setAccessibleDescription(text);
}

QString TForm2::shownValue(const CardField& field, const SettingsRecord& card) const {
    const QString empty = QStringLiteral("(пусто)");
    switch (field.kind) {
    case FieldKind::Text:
    case FieldKind::Address: {
        const QString text = card.text(field.text());
        return text.isEmpty() ? empty : text;
    }
    case FieldKind::Switch:
        return fieldValue(card, field) ? QStringLiteral("отмечено") : QStringLiteral("не отмечено");
    case FieldKind::Choice: {
        const auto* list = findChild<QComboBox*>(QLatin1String(field.control));
        const auto value = static_cast<int>(fieldValue(card, field));
        return list && value < list->count() ? list->itemText(value) : empty;
    }
    case FieldKind::Number:
        return QString::number(meantValue(card, field));
    }
    return empty;
}

// Esc and the window manager's close both come here: the window closes only
// through its own button.
void TForm2::reject() {}
