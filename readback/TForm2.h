#pragma once

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

// The read-back window (unit read_frm): a read-only picture of a frame read
// from a device, laid out like the main window's editor.
class TForm2 final : public QDialog {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 777;
    static constexpr int ClientHeight = 503;

    explicit TForm2(QWidget* parent = nullptr);

    void SetUpReadBackWindow();
    // Shows the 264 received bytes; nothing is validated.
    void FillFromFrame(const std::uint8_t* frame, int versionCode);
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
};
