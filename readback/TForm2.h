#pragma once

#include "store/DeviceMatch.h"

#include <QDialog>

#include <array>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class SettingsDatabase;

// The read-back window (unit read_frm): a read-only picture of a frame read
// from a device, laid out like the main window's editor.
class TForm2 final : public QDialog {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 777;
    static constexpr int ClientHeight = 527;

    explicit TForm2(QWidget* parent = nullptr);

    void SetUpReadBackWindow();
    // The database a read is compared with; none: no comparison.
    void setDatabase(const SettingsDatabase* db) { db_ = db; }
    // Why no card may be made here (a viewer of the team database); empty:
    // it may.
    void setCreateRefusal(const QString& why) { createRefusal_ = why; }
    // Shows the 264 received bytes; nothing is validated. With a database,
    // says which card the device holds and marks what differs from it.
    void FillFromFrame(const std::uint8_t* frame, int versionCode);

    // What the operator asked for when closing the window after a fill.
    enum class Request { None, ShowCard, CreateCard };
    Request request() const { return request_; }
    const DeviceMatch& match() const { return match_; }
    // The bytes of the last fill.
    const std::array<std::uint8_t, 264>& frame() const { return frame_; }
    // Only "Закрыть" closes the window.
    void reject() override;

    QGroupBox* GroupBox1;
    QComboBox* VersionCombo;
    QLineEdit* CodeUoo;
    QLabel* NCardLabel;
    QLineEdit* NCardEdit;

    QGroupBox* GroupBox3;
    QCheckBox* IndicZU;
    QCheckBox* BatteryControl;
    QCheckBox* UseEthPriority;
    QLineEdit* timeGsmEdit;

    QGroupBox* GroupBox2;
    std::array<QComboBox*, 5> Cord{};
    QLineEdit* timePassEdit;
    QGroupBox* Cord6;

    QGroupBox* GroupBox5;
    QLineEdit* Pin1Edit;
    std::array<QLineEdit*, 4> Ip1GsmEdit{};
    QLineEdit* Port1GsmEdit;
    QLineEdit* APN1Edit;
    QLineEdit* LoginGsm1Edit;
    QLineEdit* PassGsm1Edit;
    QLineEdit* Pin2Edit;
    std::array<QLineEdit*, 4> Ip2GsmEdit{};
    QLineEdit* Port2GsmEdit;
    QLineEdit* APN2Edit;
    QLineEdit* LoginGsm2Edit;
    QLineEdit* PassGsm2Edit;
    QLineEdit* NumPhoneMC;
    QCheckBox* UseSim1;
    QCheckBox* UseSim2;

    QGroupBox* GroupBox7;
    QTabWidget* PageControl2;
    QComboBox* RelayComboBox1;
    QComboBox* RelayComboBox2;

    QGroupBox* GroupBox4;
    QLineEdit* balCritical;
    QLineEdit* balCodeSim1;
    QLineEdit* balCodeSim2;
    QLineEdit* balPhoneSim1;
    QLineEdit* balPhoneSim2;

    QGroupBox* GroupBox6;
    QLineEdit* ProgID1;
    QLineEdit* ProgTime;
    QLabel* Label33;
    QLineEdit* RCControl;

    QPushButton* Button1;

    // The comparison with the database, and what follows from it.
    QLabel* MatchLabel;
    QWidget* ActionStrip;
    QPushButton* ShowCardBtn;
    QPushButton* CreateCardBtn;

private:
    void compareWithDatabase();
    void sayVerdict(const QString& text);
    // The card's value of a field as this window would show it.
    QString shownValue(const CardField& field, const SettingsRecord& card) const;

    const SettingsDatabase* db_ = nullptr;
    QString createRefusal_;
    DeviceMatch match_;
    Request request_ = Request::None;
    std::array<std::uint8_t, 264> frame_{};
};
