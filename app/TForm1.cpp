#include "app/TForm1.h"

#include "app/RecordsModel.h"
#include "link/Clock.h"
#include "link/FTDI_Controller.h"
#include "readback/TForm2.h"
#include "store/SettingsDatabase.h"
#include "ui/FormKit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <utility>

namespace {

const QString kTitle = QStringLiteral("Утилита программирования УОО R7 - Версия VERSION (Варгуна)");

QString hex4(unsigned value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

TForm1::TForm1(SettingsDatabase& db, Messenger& messenger, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      db_(db), messenger_(messenger), clock_(&SteadyClock::instance()),
      logPath_(QString::fromLatin1(FTDI_Controller::DefaultLogName)) {
    showReadBack = [](TForm2& window) { window.exec(); };
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kTitle);
    setFixedSize(ClientWidth, ClientHeight);
    FormKit::centreOnScreen(this);
    FormKit::setWindowFont(this);

    records_ = new RecordsModel(db_, QLocale(), this);

    buildToolStrip();
    buildGrid();
    buildSettingsGroup();
    buildEthernetGroup();
    buildGsmGroup();
    buildOutputsGroup();
    buildDevicePanel();
    setTeam(nullptr);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(ProgBtn, &QPushButton::clicked, this, &TForm1::ProgBtnClick);
    connect(SpeedButton1, &QPushButton::clicked, this, &TForm1::SpeedButton1Click);

    connectEditor();
    connectRecordList();
    connectKeys();
    applyColours();
    orderTabs();

    // The window starts as view mode leaves it.
    SetEditMode(false);

    // A save waiting for another copy's lock shows the busy cursor.
    db_.onWaiting = [](bool waiting) {
        if (waiting)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    };
    db_.Template().Clear();
    SetUpMainWindow();
    CurrentSlot = -1;
    FillGrid();
    watchDatabaseFile();
}

void TForm1::setReadBackWindow(TForm2* window) {
    readBack_ = window;
    if (readBack_)
        readBack_->setDatabase(&db_);
}

TForm1::~TForm1() {
    // Closing the window moves the focus; by then this window's own part is
    // gone and must hear nothing.
    disconnect(focusWatch_);
    FormDestroy();
}

void TForm1::SetUpMainWindow() {
    QString title = windowTitle();
    const qsizetype at = title.indexOf(QStringLiteral("VERSION"));
    if (at >= 0)
        title.replace(at, 7, QLatin1String(Version));
    setWindowTitle(title);
    // The grid's titles and row numbers come from its model.
    GroupBox5->setVisible(true);
    GroupBox1->setEnabled(false);
    MainGSM_Sheet->setEnabled(false);
    Add_GSM_Sheet->setEnabled(false);
    BalanceSheet->setEnabled(false);
    Label33->hide();
    RCControl->hide();
    GroupBox7->setVisible(true);
    FormKit::setUpOutputPages(PageControl2);
}

void TForm1::RefreshCurrentRow() {
    if (CurrentSlot < 0 || CurrentSlot >= SettingsDatabase::SlotCount)
        return;
    records_->refreshRow(CurrentSlot);
    const SettingsRecord& rec = std::as_const(db_).Slot(CurrentSlot);
    ProgID1->setText(hex4(rec.ProgID1()));
    ProgID2->setText(hex4(rec.ProgID2()));
}

void TForm1::SetEditMode(bool on) {
    GroupBox1->setEnabled(on);
    MainGSM_Sheet->setEnabled(on);
    Add_GSM_Sheet->setEnabled(on);
    BalanceSheet->setEnabled(on);
    for (int i = 0; i < PageControl2->count(); ++i)
        PageControl2->widget(i)->setEnabled(on);
    ProgBtn->setEnabled(!on && !jobStopping_);
    SpeedButton1->setEnabled(!on && !jobStopping_);
    SetsGrid->setEnabled(!on);
    BitBtn2->setEnabled(on);
    BitBtn3->setEnabled(on);
    SearchEdit->setEnabled(!on);
    SpeedButton3->setEnabled(!on);
    BitBtn1->setText(on ? QStringLiteral("Отменить редактирование")
                        : QStringLiteral("Включить редактирование"));
    showTeamStatus(); // a viewer's buttons stay off
    // A change of the file that came during editing is taken now.
    if (!on && fileChangePending_)
        QTimer::singleShot(0, this, [this] { checkDatabaseFile(); });
}

void TForm1::SetsGridClick() {
    const QModelIndex current = SetsGrid->currentIndex();
    if (!current.isValid())
        return;
    const int row = current.row() + 1;
    SearchRow = row;
    if (row - 1 == CurrentSlot)
        return;
    CurrentSlot = row - 1;
    ShowRecord(CurrentSlot);
}

void TForm1::ExitBtnClick() {
    close();
}

void TForm1::FormClose() {
    if (SavedSinceStart)
        saveDatabase();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}
