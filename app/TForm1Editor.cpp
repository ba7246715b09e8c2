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

#include <memory>
#include <vector>

namespace {

EditBox readBox(const QLineEdit* e) {
    return {e->text(), e->isEnabledTo(e->parentWidget())};
}

void writeBox(QLineEdit* e, const EditBox& box) {
    if (e->text() != box.text)
        e->setText(box.text);
    if (e->isEnabledTo(e->parentWidget()) != box.enabled)
        e->setEnabled(box.enabled);
}

void writeCheck(QCheckBox* c, bool on) {
    if (c->isChecked() != on)
        c->setChecked(on);
}

void writeCombo(QComboBox* c, int index) {
    if (c->currentIndex() != index)
        c->setCurrentIndex(index);
}

} // namespace

CardForm TForm1::readForm() const {
    CardForm f;
    f.VersionCombo = VersionCombo->currentIndex();
    f.CodeUoo = readBox(CodeUoo);
    f.Label17 = Label17->text();
    f.NCardEdit = readBox(NCardEdit);
    for (std::size_t i = 0; i < Cord.size(); ++i)
        f.Cord[i] = Cord[i]->currentIndex();
    f.timePassEdit = readBox(timePassEdit);
    f.IndicZU = IndicZU->isChecked();
    f.BatteryControl = BatteryControl->isChecked();
    f.UseEthPriority = UseEthPriority->isChecked();
    f.UseGsmPriority = UseGsmPriority->isChecked();
    f.timeGsmEdit = readBox(timeGsmEdit);
    f.Edit1 = readBox(Edit1);
    f.FIOEdit = readBox(FIOEdit);
    f.RemarkEdit = readBox(RemarkEdit);
    f.ProgID1 = readBox(ProgID1);
    f.ProgID2 = readBox(ProgID2);
    f.Pin1Edit = readBox(Pin1Edit);
    f.Pin2Edit = readBox(Pin2Edit);
    for (std::size_t i = 0; i < 4; ++i) {
        f.Ip1GsmEdit[i] = readBox(Ip1GsmEdit[i]);
        f.Ip2GsmEdit[i] = readBox(Ip2GsmEdit[i]);
    }
    f.Port1GsmEdit = readBox(Port1GsmEdit);
    f.Port2GsmEdit = readBox(Port2GsmEdit);
    f.APN1Edit = readBox(APN1Edit);
    f.APN2Edit = readBox(APN2Edit);
    f.LoginGsm1Edit = readBox(LoginGsm1Edit);
    f.LoginGsm2Edit = readBox(LoginGsm2Edit);
    f.PassGsm1Edit = readBox(PassGsm1Edit);
    f.PassGsm2Edit = readBox(PassGsm2Edit);
    f.NumPhoneMC = readBox(NumPhoneMC);
    f.UseSim1 = UseSim1->isChecked();
    f.UseSim2 = UseSim2->isChecked();
    f.balEnable = balEnable->isChecked();
    f.balCritical = readBox(balCritical);
    f.balCodeSim1 = readBox(balCodeSim1);
    f.balCodeSim2 = readBox(balCodeSim2);
    f.balPhoneSim1 = readBox(balPhoneSim1);
    f.balPhoneSim2 = readBox(balPhoneSim2);
    f.RCControl = readBox(RCControl);
    f.PUK1_Edit = readBox(PUK1_Edit);
    f.Number1_Edit = readBox(Number1_Edit);
    f.SIM_ID1_Edit = readBox(SIM_ID1_Edit);
    f.PUK2_Edit = readBox(PUK2_Edit);
    f.Number2_Edit = readBox(Number2_Edit);
    f.SIM_ID2_Edit = readBox(SIM_ID2_Edit);
    f.RelayComboBox[0] = RelayComboBox1->currentIndex();
    f.RelayComboBox[1] = RelayComboBox2->currentIndex();
    f.activeOutputPage = PageControl2->currentIndex();
    f.Label40 = Label40->text();
    f.PortLoc = PortLoc->text();
    for (std::size_t i = 0; i < Mac.size(); ++i)
        f.Mac[i] = Mac[i]->text();
    return f;
}

void TForm1::writeForm(const CardForm& f) {
    std::vector<std::unique_ptr<QSignalBlocker>> quiet;
    for (QObject* o : std::initializer_list<QObject*>{
             VersionCombo, CodeUoo, NCardEdit, Cord[0], Cord[1], Cord[2], Cord[3], Cord[4],
             timePassEdit, IndicZU, BatteryControl, UseEthPriority, UseGsmPriority, timeGsmEdit,
             Edit1, FIOEdit, RemarkEdit, UseSim1, UseSim2, balEnable, RelayComboBox1,
             RelayComboBox2, PageControl2})
        quiet.push_back(std::make_unique<QSignalBlocker>(o));

    writeCombo(VersionCombo, f.VersionCombo);
    writeBox(CodeUoo, f.CodeUoo);
    if (Label17->text() != f.Label17)
        Label17->setText(f.Label17);
    writeBox(NCardEdit, f.NCardEdit);
    for (std::size_t i = 0; i < Cord.size(); ++i)
        writeCombo(Cord[i], f.Cord[i]);
    writeBox(timePassEdit, f.timePassEdit);
    writeCheck(IndicZU, f.IndicZU);
    writeCheck(BatteryControl, f.BatteryControl);
    writeCheck(UseEthPriority, f.UseEthPriority);
    writeCheck(UseGsmPriority, f.UseGsmPriority);
    writeBox(timeGsmEdit, f.timeGsmEdit);
    writeBox(Edit1, f.Edit1);
    writeBox(FIOEdit, f.FIOEdit);
    writeBox(RemarkEdit, f.RemarkEdit);
    writeBox(ProgID1, f.ProgID1);
    writeBox(ProgID2, f.ProgID2);
    writeBox(Pin1Edit, f.Pin1Edit);
    writeBox(Pin2Edit, f.Pin2Edit);
    for (std::size_t i = 0; i < 4; ++i) {
        writeBox(Ip1GsmEdit[i], f.Ip1GsmEdit[i]);
        writeBox(Ip2GsmEdit[i], f.Ip2GsmEdit[i]);
    }
    writeBox(Port1GsmEdit, f.Port1GsmEdit);
    writeBox(Port2GsmEdit, f.Port2GsmEdit);
    writeBox(APN1Edit, f.APN1Edit);
    writeBox(APN2Edit, f.APN2Edit);
    writeBox(LoginGsm1Edit, f.LoginGsm1Edit);
    writeBox(LoginGsm2Edit, f.LoginGsm2Edit);
    writeBox(PassGsm1Edit, f.PassGsm1Edit);
    writeBox(PassGsm2Edit, f.PassGsm2Edit);
    writeBox(NumPhoneMC, f.NumPhoneMC);
    writeCheck(UseSim1, f.UseSim1);
    writeCheck(UseSim2, f.UseSim2);
    writeCheck(balEnable, f.balEnable);
    writeBox(balCritical, f.balCritical);
    writeBox(balCodeSim1, f.balCodeSim1);
    writeBox(balCodeSim2, f.balCodeSim2);
    writeBox(balPhoneSim1, f.balPhoneSim1);
    writeBox(balPhoneSim2, f.balPhoneSim2);
    writeBox(RCControl, f.RCControl);
    writeBox(PUK1_Edit, f.PUK1_Edit);
    writeBox(Number1_Edit, f.Number1_Edit);
    writeBox(SIM_ID1_Edit, f.SIM_ID1_Edit);
    writeBox(PUK2_Edit, f.PUK2_Edit);
    writeBox(Number2_Edit, f.Number2_Edit);
    writeBox(SIM_ID2_Edit, f.SIM_ID2_Edit);
    writeCombo(RelayComboBox1, f.RelayComboBox[0]);
    writeCombo(RelayComboBox2, f.RelayComboBox[1]);
    if (PageControl2->currentIndex() != f.activeOutputPage)
        PageControl2->setCurrentIndex(f.activeOutputPage);
    if (Label40->text() != f.Label40)
        Label40->setText(f.Label40);
    if (PortLoc->text() != f.PortLoc)
        PortLoc->setText(f.PortLoc);
    for (std::size_t i = 0; i < Mac.size(); ++i) {
        if (Mac[i]->text() != f.Mac[i])
            Mac[i]->setText(f.Mac[i]);
    }
}

void TForm1::applyRule(const std::function<void(CardForm&)>& rule) {
    CardForm f = readForm();
    rule(f);
    writeForm(f);
}

void TForm1::ShowRecord(int slot) {
    if (slot < 0 || slot >= SettingsDatabase::SlotCount)
        return;
    writeForm(::ShowRecord(db_.Slot(slot), db_.Template(), readForm(),
                           PageControl2->isVisibleTo(this)));
    RefreshCurrentRow();
}

void TForm1::connectEditor() {
    for (QLineEdit* e : {CodeUoo, Edit1, FIOEdit, RemarkEdit})
        connect(e, &QLineEdit::textChanged, this, [this] { applyRule(NCardEditChange); });
    for (QCheckBox* c : {IndicZU, BatteryControl, UseGsmPriority})
        connect(c, &QCheckBox::clicked, this, [this] { applyRule(NCardEditChange); });
    connect(UseSim1, &QCheckBox::clicked, this, [this] { applyRule(UseSim1Click); });
    connect(UseSim2, &QCheckBox::clicked, this, [this] { applyRule(UseSim2Click); });
    connect(balEnable, &QCheckBox::clicked, this, [this] { applyRule(balEnableClick); });
    connect(UseEthPriority, &QCheckBox::clicked, this, [this] { applyRule(UseEthPriorityClick); });
    for (int i = 0; i < 5; ++i) {
        connect(Cord[static_cast<std::size_t>(i)], &QComboBox::activated, this,
                [this, i] { applyRule([i](CardForm& f) { Cord1Change(f, i + 1); }); });
    }
    connect(RelayComboBox1, &QComboBox::activated, this,
            [this] { applyRule([](CardForm& f) { RelayComboBox1Change(f, 1); }); });
    connect(RelayComboBox2, &QComboBox::activated, this,
            [this] { applyRule([](CardForm& f) { RelayComboBox1Change(f, 2); }); });
    connect(PageControl2, &QTabWidget::currentChanged, this, [this] { applyRule(PageControl2Change); });
    connect(VersionCombo, &QComboBox::activated, this, [this] { applyRule(VersionComboChange); });
    connect(SpeedButton2, &QPushButton::clicked, this, [this] {
        QRandomGenerator random(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
        applyRule([&random](CardForm& f) { SpeedButton2Click(f, random); });
    });
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);
}

void TForm1::BitBtn1Click() {
    EditMode = !EditMode;
    if (!EditMode) {
        if (!messenger_.ask(QStringLiteral("Внимание"),
                            QStringLiteral("Все изменения будут утеряны. Отменить редактирование?"))) {
            EditMode = true;
            return;
        }
        ShowRecord(CurrentSlot);
        SetEditMode(false);
        return;
    }
    if (CurrentSlot >= 0 && db_.Slot(CurrentSlot).ChangeDate() < 0.00001 &&
        PortLoc->text() != QLatin1String("0")) {
        QRandomGenerator random(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
        PortLoc->setText(RandomPortLoc(random));
    }
    SetEditMode(true);
}

void TForm1::BitBtn2Click() {
    if (CurrentSlot < 0 || CurrentSlot >= SettingsDatabase::SlotCount)
        return;
    const CardForm form = readForm();
    if (const auto message = ValidateCard(form, db_, CurrentSlot)) {
        messenger_.inform(QStringLiteral("Внимание!"), *message);
        return;
    }
    EncodeForm(form, db_.Slot(CurrentSlot), db_.Template(), TDateTime::now());
    RefreshCurrentRow();
    EditMode = false;
    SetEditMode(false);
    SavedSinceStart = true;
    db_.Save(messenger_);
}

void TForm1::BitBtn3Click() {
    if (!messenger_.ask(QStringLiteral("Внимание"),
                        QStringLiteral("Вы точно хотите удалить запись безвозвратно?")))
        return;
    db_.Slot(CurrentSlot).Clear();
    ShowRecord(CurrentSlot);
    EditMode = false;
    SetEditMode(false);
    db_.Save(messenger_);
}

