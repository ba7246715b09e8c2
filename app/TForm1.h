#pragma once

#include "Version.h"
#include "editor/CardForm.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class CableDriver;
class CableJob;
class Clock;
class Messenger;
class TForm2;
class TeamSync;
struct TeamVersion;
class TProgThread;
class TReadThread;
class QCheckBox;
class QDialog;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class QTabWidget;
class QTimer;
class QToolButton;
class RecordsModel;
class SettingsDatabase;

// The main window (unit main): the records grid, the card editor, the device
// buttons, and the application state of the run. Controls carry the names the
// rest of the program knows them by.
// The window's message boxes, counted: while one is open, no other copy's
// save is taken into memory under the operator's eyes.
class CountedMessenger final : public Messenger {
public:
    explicit CountedMessenger(Messenger& boxes) : boxes_(boxes) {}
    void inform(const QString& caption, const QString& text) override;
    bool ask(const QString& caption, const QString& text) override;
    void error(const QString& caption, const QString& text) override;
    bool open() const { return open_ > 0; }

private:
    Messenger& boxes_;
    int open_ = 0;
};

class TForm1 final : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 974;
    static constexpr int ClientHeight = 580;
    static constexpr const char* Version = UOO_PROGRAM_VERSION;

    // Builds the window, loads the database file named in `db` and selects
    // row 1.
    TForm1(SettingsDatabase& db, Messenger& messenger, QWidget* parent = nullptr);
    // Stops a running job through its controller and waits for it.
    ~TForm1() override;

    // Where the jobs get their cable: a new tty driver for each job unless a
    // simulated device is given.
    using CableFactory = std::function<std::shared_ptr<CableDriver>()>;
    void setCableFactory(CableFactory factory) { cableFactory_ = std::move(factory); }
    void setClock(Clock& clock) { clock_ = &clock; }
    void setLogPath(const QString& path) { logPath_ = path; }
    const QString& logPath() const { return logPath_; }
    // The team database this data folder works with (null: none); the
    // window takes from it, sends to it and shows its status.
    enum class TeamOpen { Opened, Failed, HeldElsewhere };
    // Connects this data folder to a team database (`connection` empty: the
    // one it remembers). A failure is said in a box, except that another
    // copy at work with the folder is left to the caller.
    TeamOpen openTeam(const QString& connection, QString* problem);
    TeamSync* team() const { return team_; }
    // The read-back window compares what it shows with this window's database.
    void setReadBackWindow(TForm2* window);
    // Shows the read-back window modally; tests replace it.
    std::function<void(TForm2&)> showReadBack;
    // Shows the team database's password dialog; true for OK. Tests
    // replace it.
    std::function<bool(QDialog&)> showPasswordDialog;
    // The same for a card's history window.
    std::function<void(QDialog&)> showHistoryWindow;
    // The same for the dialog that connects the folder to a team database.
    std::function<bool(QDialog&)> showConnectDialog;

    // Application state.
    SettingsDatabase& database() { return db_; }
    int CurrentSlot = -1;
    int SearchRow = 1;
    bool EditMode = false;
    bool SavedSinceStart = false;
    bool ProgrammingActive = false;
    bool ReadingActive = false;
    TProgThread* ProgJob = nullptr;
    TReadThread* ReadJob = nullptr;
    // Jobs started and completion steps run, for the record of a session
    // and for tests that press the buttons many times over.
    int jobsStarted = 0;
    int completionsRun = 0;

    RecordsModel& recordsModel() { return *records_; }

    void SetUpMainWindow();
    void FillGrid();
    void RefreshCurrentRow();
    void SetEditMode(bool on);

    // The editor's controls as a plain value, and back; writing blocks the
    // controls' signals, so no rule starts another.
    CardForm readForm() const;
    void writeForm(const CardForm& form);
    // Shows the slot in the editor and redraws its grid row.
    void ShowRecord(int slot);

    // Handlers.
    // A click on a grid row: its card into the editor.
    void SetsGridClick();
    // "Выход".
    void ExitBtnClick();
    void FormClose();
    // "Включить редактирование", in edit mode "Отменить редактирование".
    void BitBtn1Click();
    // "Сохранить изменения": the checks, then the card into its slot and the
    // database into its file.
    void BitBtn2Click();
    // "Удалить запись".
    void BitBtn3Click();
    // The history of the current row in the team database (Ctrl+H).
    void showHistory();
    void FindNext();
    // Selects the slot's grid row and shows its card, as a click on it does.
    void selectSlot(int slot);
    // What the read-back window's buttons ask for, once its reading is done:
    // the device's card selected; or the first free row filled with the
    // device's settings, in edit mode, to be completed and saved.
    void showCardOfDevice(const std::uint8_t* frame);
    void createCardFromDevice(const std::uint8_t* frame);
    void SearchEditClick();
    void SearchEditChange();
    void SearchEditExit();
    void SearchEditKeyDown(int key);
    // The magnifier beside the search box, "Искать далее...".
    void SpeedButton3Click() { FindNext(); }
    // "Программировать", while a programming job runs "Остановить".
    void ProgBtnClick();
    void SetProgramming(bool on);
    // "Считать", while a reading job runs "Остановить".
    void SpeedButton1Click();
    void Timer1Timer();
    void ProgCompletion(CableJob& job);
    void ReadCompletion(CableJob& job);
    void FormDestroy();
    // The control rules, each run on the form and written back.
    void applyRule(const std::function<void(CardForm&)>& rule);
    void NCardEditChange();
    void UseSim1Click();
    void UseSim2Click();
    void balEnableClick();
    void UseEthPriorityClick();
    // `sender`: the loop box 1..5 that changed.
    void Cord1Change(int sender);
    // `output`: 1 or 2.
    void RelayComboBox1Change(int output);
    void PageControl2Change();
    void VersionComboChange();
    // "Новый MAC адрес".
    void SpeedButton2Click();

    // Tool strip.
    QLabel* Image1;
    QLineEdit* SearchEdit;
    QToolButton* SpeedButton3;
    QPushButton* BitBtn1;
    QPushButton* BitBtn2;
    QPushButton* BitBtn3;
    QPushButton* ExitBtn;
    // The team database's status, in the free part of the tool strip.
    QToolButton* TeamStatus = nullptr;

    QTableView* SetsGrid;

    // "Текущие настройки".
    QGroupBox* GroupBox1;
    QComboBox* VersionCombo;
    QLineEdit* CodeUoo;
    QLabel* Label17;
    QLineEdit* NCardEdit;

    QGroupBox* GroupBox2;
    QLabel* Label44;
    std::array<QComboBox*, 5> Cord{}; // Cord1..Cord5
    QLineEdit* timePassEdit;
    QGroupBox* Cord6;

    QGroupBox* GroupBox4;
    QCheckBox* IndicZU;
    QCheckBox* BatteryControl;
    QCheckBox* UseEthPriority;
    QLineEdit* timeGsmEdit;
    QCheckBox* UseGsmPriority;

    QGroupBox* GroupBox6;
    QLineEdit* Edit1;
    QLineEdit* FIOEdit;
    QLineEdit* RemarkEdit;
    QLineEdit* ProgID1;
    QLineEdit* ProgID2;

    // Ethernet settings: hidden for the whole run and never stored.
    QGroupBox* GroupBox3;
    std::array<QLineEdit*, 4> GateIP1{};
    std::array<QLineEdit*, 4> GateIP2{};
    std::array<QLineEdit*, 4> Mask{};
    std::array<QLineEdit*, 4> IPLoc{};
    std::array<QLineEdit*, 4> IPRem1{};
    std::array<QLineEdit*, 4> IPRem2{};
    QLineEdit* PortLoc;
    QLineEdit* PortRem1;
    QLineEdit* PortRem2;
    std::array<QLineEdit*, 6> Mac{};
    QLineEdit* PPPLoginEdit;
    QLineEdit* PPPPassEdit;
    QPushButton* SpeedButton2;

    // "Настройки GSM".
    QGroupBox* GroupBox5;
    QTabWidget* PageControl1;
    QWidget* MainGSM_Sheet;
    QLineEdit* Pin1Edit;
    std::array<QLineEdit*, 4> Ip1GsmEdit{}; // Ip1GsmEdit_1..Ip1GsmEdit_4, first octet first
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

    QWidget* BalanceSheet;
    QCheckBox* balEnable;
    QLineEdit* balCritical;
    QLineEdit* balCodeSim1;
    QLineEdit* balCodeSim2;
    QLineEdit* balPhoneSim1;
    QLineEdit* balPhoneSim2;

    QWidget* Add_GSM_Sheet;
    QLabel* Label33;
    QLineEdit* RCControl;
    QLineEdit* PUK1_Edit;
    QLineEdit* Number1_Edit;
    QLineEdit* SIM_ID1_Edit;
    QLineEdit* PUK2_Edit;
    QLineEdit* Number2_Edit;
    QLineEdit* SIM_ID2_Edit;

    // "Выходы УОО".
    QGroupBox* GroupBox7;
    QTabWidget* PageControl2;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QComboBox* RelayComboBox1;
    QComboBox* RelayComboBox2;
    QLabel* Label40;

    // Device commands.
    QFrame* Panel1;
    QPushButton* ProgBtn;
    QPushButton* SpeedButton1;
    QProgressBar* Progress;
    QTimer* Timer1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Names, in one box, each setting of a device rebuilt as a card that
    // the card cannot take as it is.
    void tellWhatTheCardCannotTake(const std::uint8_t* frame);
    void buildToolStrip();
    void buildGrid();
    void buildSettingsGroup();
    void buildEthernetGroup();
    void buildGsmGroup();
    void buildOutputsGroup();
    void buildDevicePanel();
    void connectEditor();
    void connectRecordList();
    // Ctrl+F, F3, Ctrl+S and Esc.
    void connectKeys();
    // The window's own colours, readable on a light or a dark palette.
    void applyColours();
    void orderTabs();
    bool rowMatchesGrid(int row, const QString& lowered) const;
    bool rowMatchesSim(int row, const QByteArray& needle) const;

    std::shared_ptr<CableDriver> newCable();
    // Refuses a job whose log cannot be created, with a message.
    bool jobCanStart(CableJob& job);
    void watch(CableJob* job);
    void jobEnded(CableJob* job);
    // Takes in other copies' saves: when the file changes, and from a look
    // every two seconds where change notices do not arrive.
    void watchDatabaseFile();
    // Tells the operator what became of a database file that could not be
    // loaded as it is, and offers the newest backup in place of a missing,
    // empty or rejected one.
    void reportLoad();
    void offerRestore();
    // Takes what another copy saved into the file, when this window is idle
    // (not editing, no job, no box open); otherwise once it is.
    void checkDatabaseFile();
    // Takes what the team database brought, when this window is idle;
    // then sends what this copy changed.
    void checkTeam();
    void showTeamStatus();
    void writeTakenSoon();
    void TeamStatusClick();
    // The dialog that connects this data folder to a team database, and
    // the question that leaves it.
    void connectTeamDialog();
    void leaveTeam();
    // The chosen version in the editor, in edit mode, to be saved through
    // the checks.
    void restoreVersion(int slot, const SettingsRecord& version);
    void showVersions(int slot, const std::vector<TeamVersion>& versions, const QString& problem);
    void setTeam(TeamSync* team);
    void askTeamPassword(const QString& user, const QString& server);
    // A viewer of the team database changes nothing: says so, and true.
    bool refusedAsViewer();
    // Cards of this copy's save that another copy's save buried; `saved`:
    // written again.
    void tellBuried(const std::vector<int>& rows, bool saved);
    // Where a copy that works alone holds the database, who and since when.
    void tellReadOnly();
    // Saves the database, merged with what other copies saved: asks the
    // operator what the merge cannot decide, then redraws what came in.
    SettingsDatabase::SaveOutcome saveDatabase(const SettingsDatabase::Accept& accept = {},
                                               int editedSlot = -1, MergeAnswers answers = {});
    // Asks the merge's questions; the answers go into `answers`.
    void askAbout(const MergeResult& merge, MergeAnswers& answers);
    bool askToAcceptGone(const std::vector<int>& gone, const QString& firstName);
    // Shows afresh what a save, a take or a restore changed in memory.
    void showChanges();
    // After the operator's stop, until the stopped job has let go of the
    // cable: neither command can be pressed.
    void holdCommandsWhileTheJobEnds();

    SettingsDatabase& db_;
    CountedMessenger messenger_;
    RecordsModel* records_;
    CableFactory cableFactory_;
    Clock* clock_;
    QString logPath_;
    // The boxes of the table's text fields, in the order of FormTextBoxes.
    std::array<QLineEdit*, std::size(FormTextBoxes)> textEdits_{};
    TForm2* readBack_ = nullptr;
    TProgThread* pendingProgJob_ = nullptr;
    bool jobStopping_ = false;
    bool fileChangePending_ = false;
    TeamSync* team_ = nullptr;
    bool teamPending_ = false;
    QTimer* takenWrite_ = nullptr;
    QElapsedTimer takenSince_; // the first take that write waits for
    QMetaObject::Connection focusWatch_;
    int progSlot_ = -1;
};
