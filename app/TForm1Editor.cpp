// The editor's binding: the controls are copied into a CardForm, the rules
// and the checks run on it, and the result is written back.
#include "app/TForm1.h"

#include "editor/Encode.h"
#include "editor/Rules.h"
#include "editor/Validation.h"
#include "store/DateTime.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <utility>

namespace {

// Every editor control but the text fields' boxes beside the form's field
// that mirrors it, in one list for reading and writing alike. `f` is a
// CardForm, const or not. The text fields' boxes follow the field table.
template <typename Form, typename Visit> void visitControls(const TForm1& w, Form& f, Visit&& v) {
    v(w.VersionCombo, f.VersionCombo);
    v(w.CodeUoo, f.CodeUoo);
    v(w.Label17, f.Label17);
    for (std::size_t i = 0; i < w.Cord.size(); ++i)
        v(w.Cord[i], f.Cord[i]);
    v(w.timePassEdit, f.timePassEdit);
    v(w.IndicZU, f.IndicZU);
    v(w.BatteryControl, f.BatteryControl);
    v(w.UseEthPriority, f.UseEthPriority);
    v(w.UseGsmPriority, f.UseGsmPriority);
    v(w.timeGsmEdit, f.timeGsmEdit);
    v(w.ProgID1, f.ProgID1);
    v(w.ProgID2, f.ProgID2);
    for (std::size_t i = 0; i < 4; ++i) {
        v(w.Ip1GsmEdit[i], f.Ip1GsmEdit[i]);
        v(w.Ip2GsmEdit[i], f.Ip2GsmEdit[i]);
    }
    v(w.UseSim1, f.UseSim1);
    v(w.UseSim2, f.UseSim2);
    v(w.balEnable, f.balEnable);
    v(w.balCritical, f.balCritical);
    v(w.RCControl, f.RCControl);
    v(w.RelayComboBox1, f.RelayComboBox[0]);
    v(w.RelayComboBox2, f.RelayComboBox[1]);
    v(w.PageControl2, f.activeOutputPage);
    v(w.Label40, f.Label40);
    v(w.PortLoc, f.PortLoc);
    for (std::size_t i = 0; i < w.Mac.size(); ++i)
        v(w.Mac[i], f.Mac[i]);
}

// An edit box's own enabled state, not that of the page or group it is on.
bool ownEnabled(const QWidget* w) {
    return w->isEnabledTo(w->parentWidget());
}

struct Reader {
    void operator()(const QLineEdit* e, EditBox& box) const { box = {e->text(), ownEnabled(e)}; }
    void operator()(const QLineEdit* e, QString& text) const { text = e->text(); }
    void operator()(const QLabel* l, QString& text) const { text = l->text(); }
    void operator()(const QCheckBox* c, bool& on) const { on = c->isChecked(); }
    void operator()(const QComboBox* c, int& index) const { index = c->currentIndex(); }
    void operator()(const QTabWidget* t, int& index) const { index = t->currentIndex(); }
};

// Writes only what differs, so a box being typed in keeps its cursor, and
// with the control's signals blocked, so no rule starts another.
struct Writer {
    void operator()(QLineEdit* e, const EditBox& box) const {
        const QSignalBlocker quiet(e);
        if (e->text() != box.text)
            e->setText(box.text);
        if (ownEnabled(e) != box.enabled)
            e->setEnabled(box.enabled);
    }
    void operator()(QLineEdit* e, const QString& text) const {
        const QSignalBlocker quiet(e);
        if (e->text() != text)
            e->setText(text);
    }
    void operator()(QLabel* l, const QString& text) const {
        if (l->text() != text)
            l->setText(text);
    }
    void operator()(QCheckBox* c, bool on) const {
        const QSignalBlocker quiet(c);
        if (c->isChecked() != on)
            c->setChecked(on);
    }
    void operator()(QComboBox* c, int index) const {
        const QSignalBlocker quiet(c);
        if (c->currentIndex() != index)
            c->setCurrentIndex(index);
    }
    void operator()(QTabWidget* t, int index) const {
        const QSignalBlocker quiet(t);
        if (t->currentIndex() != index)
            t->setCurrentIndex(index);
    }
};

} // namespace

CardForm TForm1::readForm() const {
    CardForm f;
    visitControls(*this, f, Reader{});
    for (std::size_t i = 0; i < textEdits_.size(); ++i)
        Reader{}(textEdits_[i], f.*FormTextBoxes[i].box);
    return f;
}

void TForm1::writeForm(const CardForm& f) {
    visitControls(*this, f, Writer{});
    for (std::size_t i = 0; i < textEdits_.size(); ++i)
        Writer{}(textEdits_[i], f.*FormTextBoxes[i].box);
}

void TForm1::applyRule(const std::function<void(CardForm&)>& rule) {
    CardForm f = readForm();
    rule(f);
    writeForm(f);
}

void TForm1::NCardEditChange() {
    applyRule(UpdateCodeLabel);
}
void TForm1::UseSim1Click() {
    applyRule([](CardForm& f) { applySimSwitch(f, 1); });
}
void TForm1::UseSim2Click() {
    applyRule([](CardForm& f) { applySimSwitch(f, 2); });
}
void TForm1::balEnableClick() {
    applyRule(applyBalanceSwitch);
}
void TForm1::UseEthPriorityClick() {
    applyRule(applyReturnSwitch);
}
void TForm1::Cord1Change(int sender) {
    applyRule([sender](CardForm& f) { applyLoopRules(f, sender); });
}
void TForm1::RelayComboBox1Change(int output) {
    applyRule([output](CardForm& f) { showOutputProfile(f, output); });
}
void TForm1::PageControl2Change() {
    applyRule(showActiveOutputProfile);
}
// The version list has one item: there is nothing to follow from a choice.
void TForm1::VersionComboChange() {}
void TForm1::SpeedButton2Click() {
    QRandomGenerator random(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
    applyRule([&random](CardForm& f) { makeMacAddress(f, random); });
}

void TForm1::ShowRecord(int slot) {
    if (slot < 0 || slot >= SettingsDatabase::SlotCount)
        return;
    writeForm(::ShowRecord(std::as_const(db_).Slot(slot), std::as_const(db_).Template(), readForm(),
                           PageControl2->isVisibleTo(this)));
    RefreshCurrentRow();
}

void TForm1::connectEditor() {
    for (std::size_t i = 0; i < textEdits_.size(); ++i)
        textEdits_[i] = findChild<QLineEdit*>(QLatin1String(FormTextBoxes[i].field->control));
    for (QLineEdit* e : {CodeUoo, Edit1, FIOEdit, RemarkEdit})
        connect(e, &QLineEdit::textChanged, this, &TForm1::NCardEditChange);
    for (QCheckBox* c : {IndicZU, BatteryControl, UseGsmPriority})
        connect(c, &QCheckBox::clicked, this, &TForm1::NCardEditChange);
    connect(UseSim1, &QCheckBox::clicked, this, &TForm1::UseSim1Click);
    connect(UseSim2, &QCheckBox::clicked, this, &TForm1::UseSim2Click);
    connect(balEnable, &QCheckBox::clicked, this, &TForm1::balEnableClick);
    connect(UseEthPriority, &QCheckBox::clicked, this, &TForm1::UseEthPriorityClick);
    for (int i = 0; i < 5; ++i)
        connect(Cord[static_cast<std::size_t>(i)], &QComboBox::activated, this,
                [this, i] { Cord1Change(i + 1); });
    connect(RelayComboBox1, &QComboBox::activated, this, [this] { RelayComboBox1Change(1); });
    connect(RelayComboBox2, &QComboBox::activated, this, [this] { RelayComboBox1Change(2); });
    connect(PageControl2, &QTabWidget::currentChanged, this, &TForm1::PageControl2Change);
    connect(VersionCombo, &QComboBox::activated, this, &TForm1::VersionComboChange);
    connect(SpeedButton2, &QPushButton::clicked, this, &TForm1::SpeedButton2Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);
}

void TForm1::BitBtn1Click() {
    // Nothing typed where it could not be saved.
    if (!EditMode && db_.heldElsewhere()) {
        tellReadOnly();
        return;
    }
    if (!EditMode && refusedAsViewer())
        return;
    EditMode = !EditMode;
    if (!EditMode) {
        if (!messenger_.ask(
                QStringLiteral("Внимание"),
                QStringLiteral("Все изменения будут утеряны. Отменить редактирование?"))) {
            EditMode = true;
            return;
        }
        ShowRecord(CurrentSlot);
        SetEditMode(false);
        return;
    }
    if (CurrentSlot >= 0 && std::as_const(db_).Slot(CurrentSlot).ChangeDate() < 0.00001 &&
        PortLoc->text() != QLatin1String("0")) {
        QRandomGenerator random(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
        PortLoc->setText(randomPortLoc(random));
    }
    SetEditMode(true);
}

void TForm1::BitBtn2Click() {
    if (CurrentSlot < 0 || CurrentSlot >= SettingsDatabase::SlotCount)
        return;
    const CardForm form = readForm();
    if (const auto message = validateCard(form, db_, CurrentSlot)) {
        messenger_.inform(QStringLiteral("Внимание!"), *message);
        return;
    }
    const int slot = CurrentSlot;
    const SettingsRecord before = std::as_const(db_).Slot(slot);
    const SettingsRecord templateBefore = std::as_const(db_).Template();
    EncodeForm(form, db_.Slot(slot), db_.Template(), TDateTime::now());
    // Edit mode ends before the file is written, so that what the save asks
    // or tells appears over the card as it is being saved.
    EditMode = false;
    SetEditMode(false);
    RefreshCurrentRow();
    // Another copy may have saved meanwhile: a card with the same code, or a
    // new card in this very row, which then keeps it while this card moves
    // to a free row. The code is checked again where the card is written.
    QString clash;
    const auto accept = [&](const SettingsDatabase& merged, const MergeResult& merge) {
        int written = slot;
        for (const auto& moved : merge.relocations)
            if (moved.from == slot)
                written = moved.to;
        if (const auto message = validateCard(form, merged, written)) {
            clash = *message;
            return false;
        }
        return true;
    };
    const SettingsDatabase::SaveOutcome outcome = saveDatabase(accept, slot);
    const MergeResult::Relocation* moved = nullptr;
    for (const auto& r : outcome.merge.relocations)
        if (r.from == slot)
            moved = &r;
    // A change of the file that came while a box was open is taken once
    // this save is done.
    if (fileChangePending_)
        QTimer::singleShot(0, this, [this] { checkDatabaseFile(); });
    if (outcome.result == SettingsDatabase::Refused || outcome.result == SettingsDatabase::NoRoom ||
        outcome.result == SettingsDatabase::ReadOnly) {
        // Nothing written: the card goes back to edit mode as typed.
        db_.Slot(slot) = before;
        db_.Template() = templateBefore;
        RefreshCurrentRow();
        writeForm(form);
        EditMode = true;
        SetEditMode(true);
        if (outcome.result == SettingsDatabase::Refused)
            messenger_.inform(QStringLiteral("Внимание!"), clash);
        return;
    }
    SavedSinceStart = true;
    // What the editor shows from here on is the card in memory: the one
    // saved, or the other copy's version where the operator chose it.
    if (outcome.result == SettingsDatabase::Saved && moved && moved->to >= 0) {
        selectSlot(moved->to);
        ShowRecord(moved->to);
        messenger_.inform(QStringLiteral("Внимание"),
                          QStringLiteral("Строку %1 заняла карточка «%2», сохранённая в другой "
                                         "копии программы.\nВаша карточка «%3» сохранена в строке "
                                         "%4.")
                              .arg(slot + 1)
                              .arg(moved->theirs, moved->mine)
                              .arg(moved->to + 1));
        return;
    }
    ShowRecord(slot);
}

void TForm1::BitBtn3Click() {
    if (refusedAsViewer())
        return;
    if (!messenger_.ask(QStringLiteral("Внимание"),
                        QStringLiteral("Вы точно хотите удалить запись безвозвратно?")))
        return;
    db_.Slot(CurrentSlot).Clear();
    ShowRecord(CurrentSlot);
    EditMode = false;
    SetEditMode(false);
    saveDatabase();
}
