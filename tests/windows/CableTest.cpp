// The Windows cable drivers against the device emulator, whose pseudo-
// terminals Wine serves as COM ports. scripts/windows.sh starts one emulator
// per chip latency and names the ports in UOO_TEST_PORTS ("1=COM21,16=COM22").
#include "app/TForm1.h"
#include "link/ComPortCableDriver.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/D2xxCableDriver.h"
#include "link/FTDI_Controller.h"
#include "link/Jobs.h"
#include "link/SystemCable.h"
#include "link/Win32Cable.h"
#include "link/WindowsCableDriver.h"
#include "readback/TForm2.h"
#include "store/CardFields.h"
#include "tests/support/LinkSupport.h"
#include "tests/support/MainWindowSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <windows.h>

#include <map>

namespace {

// The mapped ports by the emulator's chip latency.
std::map<int, QString> testPorts() {
    std::map<int, QString> ports;
    for (const QString& item :
         qEnvironmentVariable("UOO_TEST_PORTS").split(QLatin1Char(','), Qt::SkipEmptyParts))
        ports[item.section(QLatin1Char('='), 0, 0).toInt()] = item.section(QLatin1Char('='), 1);
    return ports;
}

QString moduleFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return QFileInfo(QString::fromWCharArray(path, static_cast<int>(n))).absolutePath();
}

QString systemLibrary() {
    wchar_t dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return QString::fromWCharArray(dir, static_cast<int>(n)) + QStringLiteral("/ftd2xx.dll");
}

// Puts a stand-in library in place for the length of a test.
class LibraryIn {
public:
    LibraryIn(const QString& kind, const QString& where) : where_(where) {
        QFile::remove(where_);
        ok = QFile::copy(moduleFolder() + QStringLiteral("/fake-d2xx/") + kind +
                             QStringLiteral("/ftd2xx.dll"),
                         where_);
    }
    ~LibraryIn() { QFile::remove(where_); }
    bool ok = false;

private:
    QString where_;
};

ConfigFrame frameFor(int n) {
    ConfigFrame f{};
    for (int i = 0; i < 262; ++i)
        f[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i * 7 + n);
    const std::uint16_t crc = Crc16(f.data(), 262);
    f[262] = static_cast<std::uint8_t>(crc & 0xFF);
    f[263] = static_cast<std::uint8_t>(crc >> 8);
    return f;
}

QByteArray driverLine(const QString& log) {
    QFile f(log);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.readAll().split('\n');
    return lines.size() > 1 ? lines[1].mid(lines[1].indexOf("> [TX] ") + 7).trimmed()
                            : QByteArray();
}

using DriverMaker = std::function<std::shared_ptr<CableDriver>(const QString& port)>;

// Programs a frame and reads it back, twice at each latency; what the log
// said of the driver.
void programAndReadAtEveryLatency(const DriverMaker& make, const QByteArray& expectedDriver) {
    const auto ports = testPorts();
    ASSERT_EQ(ports.size(), 3u) << "UOO_TEST_PORTS names no ports: run through scripts/windows.sh";
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("ProgLog.log"));
    for (const auto& [latency, port] : ports) {
        for (int round = 0; round < 2; ++round) {
            const ConfigFrame frame = frameFor(latency + round);
            {
                auto driver = make(port);
                FTDI_Controller ctl(*driver, SteadyClock::instance(), log);
                ASSERT_EQ(ctl.Open(frame.data(), ConfigFrameSize), OpenResult::Opened)
                    << openFailureReason(OpenResult::DriverError, driver->lastOpenProblem())
                           .toStdString();
                ASSERT_EQ(ctl.Start(), ExchangeResult::Completed)
                    << latency << " ms, round " << round;
            }
            EXPECT_EQ(driverLine(log), QByteArray(expectedDriver).replace("PORT", port.toLatin1()));
            auto driver = make(port);
            FTDI_ReadCtrl ctl(*driver, SteadyClock::instance(), log);
            ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
            ASSERT_EQ(ctl.Start(), ExchangeResult::Completed) << latency << " ms, round " << round;
            ASSERT_EQ(ctl.dataLength, ConfigFrameSize);
            EXPECT_TRUE(std::equal(frame.begin(), frame.end(), ctl.dataBuffer.begin()))
                << latency << " ms, round " << round;
        }
    }
}

// The system's ports, with the mapped ones listed as FTDI's, as the device
// list of a machine with the cables plugged in would have them.
class PortsListedAsFtdi final : public ComPortApi {
public:
    explicit PortsListedAsFtdi(QString port) : port_(std::move(port)) {}
    std::vector<Entry> ports() override {
        return {{port_, QStringLiteral("FTDIBUS\\VID_0403+PID_6001+UOOTEST1A\\0000"), true, 100}};
    }
    Error exists(const QString& n) override { return system_->exists(n); }
    Error open(const QString& p, Port* port) override { return system_->open(p, port); }
    Error configure(Port p, const Settings& s) override { return system_->configure(p, s); }
    Error setTimeouts(Port p, const Timeouts& t) override { return system_->setTimeouts(p, t); }
    Error clearErrors(Port p, std::uint32_t* e, std::uint32_t* i, std::uint32_t* o) override {
        return system_->clearErrors(p, e, i, o);
    }
    Error purge(Port p, std::uint32_t f) override { return system_->purge(p, f); }
    Error read(Port p, std::uint8_t* b, std::uint32_t n, std::uint32_t* got) override {
        return system_->read(p, b, n, got);
    }
    Error write(Port p, const std::uint8_t* d, std::uint32_t n, std::uint32_t* put) override {
        return system_->write(p, d, n, put);
    }
    void close(Port p) override { system_->close(p); }
    QString errorText(Error e) override { return system_->errorText(e); }

private:
    QString port_;
    std::shared_ptr<ComPortApi> system_ = newWin32ComPortApi();
};

QByteArray fakeList(const QString& port) {
    // A chip of two ports, the second listed first; only its first port,
    // A, leads to the emulator.
    return "UOOTEST1B,0x04036010,0x2112,0,COM99;UOOTEST1A,0x04036010,0x2111,0," + port.toLatin1();
}

TEST(ComPortOnWine, ProgramsAndReadsThroughTheNamedPortAtEveryLatency) {
    programAndReadAtEveryLatency(
        [](const QString& port) {
            return std::make_shared<WindowsCableDriver>(loadD2xxLibrary, newWin32ComPortApi(),
                                                        port);
        },
        "==== DRIVER PORT: UOO_CABLE is set ====");
}

TEST(D2xxOnWine, TheLibraryInTheSystemFolderServesAtEveryLatency) {
    LibraryIn library(QStringLiteral("whole"), systemLibrary());
    ASSERT_TRUE(library.ok);
    programAndReadAtEveryLatency(
        [](const QString& port) {
            qputenv("UOO_FAKE_D2XX", fakeList(port));
            return std::make_shared<WindowsCableDriver>(loadD2xxLibrary, newWin32ComPortApi(),
                                                        QString());
        },
        "==== DRIVER D2XX ====");
    qunsetenv("UOO_FAKE_D2XX");
}

TEST(D2xxOnWine, ALatencyTimerTheLibraryCannotSetIsLogged) {
    LibraryIn library(QStringLiteral("whole"), systemLibrary());
    ASSERT_TRUE(library.ok);
    const auto ports = testPorts();
    ASSERT_FALSE(ports.empty());
    qputenv("UOO_FAKE_D2XX", fakeList(ports.begin()->second));
    qputenv("UOO_FAKE_D2XX_LATENCY", "16");
    QTemporaryDir dir;
    {
        auto driver = newSystemCable();
        FTDI_ReadCtrl ctl(*driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        EXPECT_EQ(ctl.Start(), ExchangeResult::Completed);
    }
    qunsetenv("UOO_FAKE_D2XX");
    qunsetenv("UOO_FAKE_D2XX_LATENCY");
    QFile log(dir.filePath(QStringLiteral("log")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[1].endsWith("==== DRIVER D2XX ====\r"));
    EXPECT_TRUE(
        lines[2].endsWith("==== LATENCY TIMER 16 ms: the driver keeps its own value ====\r"))
        << lines[2].toStdString();
}

TEST(D2xxOnWine, ALibraryOutsideTheSystemFolderIsNeverLoaded) {
    // Where a planted library would be found by the usual search: the
    // working directory and the program's folder.
    LibraryIn here(QStringLiteral("whole"), QDir::currentPath() + QStringLiteral("/ftd2xx.dll"));
    LibraryIn beside(QStringLiteral("whole"), moduleFolder() + QStringLiteral("/ftd2xx.dll"));
    ASSERT_TRUE(here.ok && beside.ok);
    QFile::remove(systemLibrary());
    qputenv("UOO_FAKE_D2XX", "UOOTEST1A,0x04036010,0x2111,0,COM21");
    QString whyNot;
    EXPECT_EQ(loadD2xxLibrary(&whyNot), nullptr);
    EXPECT_EQ(whyNot, QStringLiteral("ftd2xx.dll not found"));
    WindowsCableDriver driver(loadD2xxLibrary, newWin32ComPortApi(), QString());
    std::uint32_t count = 0;
    EXPECT_EQ(driver.CreateDeviceInfoList(&count), 0);
    EXPECT_EQ(driver.driverName(), "COM: ftd2xx.dll not found");
    qunsetenv("UOO_FAKE_D2XX");
}

TEST(D2xxOnWine, ALibraryLackingACallGivesWayToTheComPort) {
    LibraryIn library(QStringLiteral("lacking"), systemLibrary());
    ASSERT_TRUE(library.ok);
    const auto ports = testPorts();
    ASSERT_FALSE(ports.empty());
    const QString port = ports.begin()->second;
    qputenv("UOO_FAKE_D2XX", fakeList(port));
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("log"));
    {
        WindowsCableDriver driver(loadD2xxLibrary, std::make_shared<PortsListedAsFtdi>(port),
                                  QString());
        FTDI_ReadCtrl ctl(driver, SteadyClock::instance(), log);
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        EXPECT_EQ(ctl.Start(), ExchangeResult::Completed);
    }
    qunsetenv("UOO_FAKE_D2XX");
    EXPECT_EQ(driverLine(log),
              "==== DRIVER " + port.toLatin1() + ": FT_SetLatencyTimer not in ftd2xx.dll ====");
}

// A port another program holds cannot be made here: Wine lets a second
// exclusive open of a port through, and root passes a terminal's exclusive
// mode. What the message says of it is tested over scripted calls.
TEST(ComPortOnWine, ANamedPortThatIsNotThereIsNoCableInTheSystemsWords) {
    WindowsCableDriver driver(loadD2xxLibrary, newWin32ComPortApi(), QStringLiteral("COM199"));
    QTemporaryDir dir;
    FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
    const OpenResult opened = ctl.Open(nullptr, 0);
    EXPECT_EQ(opened, OpenResult::NoCable);
    const QStringList lines =
        openFailureReason(opened, driver.lastOpenProblem()).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Кабель FTDI не найден."));
    // The port and the system's own words, with no line break left.
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("COM199: ")) && lines[1].size() > 10 &&
                !lines[1].endsWith(QLatin1Char('\r')))
        << lines[1].toStdString();
}

class JobsOnWine : public MainWindowFixture {};

TEST_F(JobsOnWine, TheWindowProgramsStampsSavesAndReadsBackOverTheMappedPort) {
    const auto ports = testPorts();
    ASSERT_EQ(ports.count(16), 1u);
    qputenv("UOO_CABLE", ports.at(16).toLatin1());
    SettingsRecord& c = db->Slot(0);
    c.setCodeUoo(4711);
    c.setText(Field::NCardEdit, QStringLiteral("Склад №2"));
    c.setText(Field::Pin1Edit, QStringLiteral("1234"));
    c.setText(Field::APN1Edit, QStringLiteral("internet.mts.ru"));
    c.setChangeDate(46000.5);
    TForm1& f = open();
    f.setLogPath(dir.filePath(QStringLiteral("ProgLog.log")));
    TForm2 readBack;
    f.setReadBackWindow(&readBack);
    int shown = 0;
    f.showReadBack = [&](TForm2&) { ++shown; };
    auto waitIdle = [&] {
        QElapsedTimer t;
        t.start();
        while ((f.ProgJob || f.ReadJob) && t.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        QApplication::processEvents();
        return !f.ProgJob && !f.ReadJob;
    };
    f.ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    ASSERT_FALSE(messenger.boxes.empty());
    EXPECT_TRUE(messenger.boxes.back().text.startsWith(
        QStringLiteral("Программирование произведено успешно!")))
        << messenger.boxes.back().text.toStdString();
    EXPECT_NE(db->Slot(0).ProgID1(), 0x0000);
    // The stamp reached the file.
    SettingsDatabase again;
    again.setFileName(path);
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(again.Slot(0).ProgID1(), db->Slot(0).ProgID1());

    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(readBack.APN1Edit->text(), QStringLiteral("internet.mts.ru"));
    EXPECT_EQ(readBack.CodeUoo->text(), QStringLiteral("4711"));
    EXPECT_EQ(driverLine(dir.filePath(QStringLiteral("ProgLog.log"))),
              "==== DRIVER " + ports.at(16).toLatin1() + ": UOO_CABLE is set ====");
    qunsetenv("UOO_CABLE");
}

} // namespace
