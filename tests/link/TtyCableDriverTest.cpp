#include "link/TtyCableDriver.h"
#include "emulator/PtyDevice.h"
#include "link/Clock.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/FTDI_Controller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "link/Jobs.h"
#include "tests/support/LinkSupport.h"

#include <future>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A fake sysfs: USB devices with vendor, serial and the ttys of their
// interfaces.
struct FakeUsb {
    QString name;
    QByteArray vendor;
    QByteArray serial;
    QStringList ttysPerInterface; // one interface per tty
    QStringList drivers = {};     // each interface's driver; ftdi_sio when not given
};

QString makeTree(const QTemporaryDir& dir, const std::vector<FakeUsb>& devices) {
    const QString root = dir.filePath(QStringLiteral("sys"));
    const QString usb = root + QStringLiteral("/bus/usb/devices");
    QDir().mkpath(usb);
    for (const FakeUsb& d : devices) {
        QDir().mkpath(usb + QLatin1Char('/') + d.name);
        QFile vendor(usb + QLatin1Char('/') + d.name + QStringLiteral("/idVendor"));
        vendor.open(QIODevice::WriteOnly);
        vendor.write(d.vendor + '\n');
        if (!d.serial.isEmpty()) {
            QFile serial(usb + QLatin1Char('/') + d.name + QStringLiteral("/serial"));
            serial.open(QIODevice::WriteOnly);
            serial.write(d.serial + '\n');
        }
        int intf = 0;
        for (const QString& tty : d.ttysPerInterface) {
            const QString at = QStringLiteral("%1/%2:1.%3").arg(usb, d.name).arg(intf);
            QDir().mkpath(at + QLatin1Char('/') + tty);
            QFile::link(QStringLiteral("../../../../bus/usb/drivers/") +
                            d.drivers.value(intf, QStringLiteral("ftdi_sio")),
                        at + QStringLiteral("/driver"));
            ++intf;
        }
    }
    return root;
}

ConfigFrame sampleFrame() {
    ConfigFrame f{};
    for (int i = 0; i < 262; ++i)
        f[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i * 13 + 7);
    const std::uint16_t crc = Crc16(f.data(), 262);
    f[262] = static_cast<std::uint8_t>(crc & 0xFF);
    f[263] = static_cast<std::uint8_t>(crc >> 8);
    return f;
}

TEST(TtyCableDriver, CountsFtdiCablesByUsbDevice) {
    const struct {
        const char* name;
        std::vector<FakeUsb> devices;
        std::size_t cables;
        const char* firstTty;
    } cases[] = {
        {"none", {}, 0, ""},
        {"one", {{"1-1", "0403", "FT12AB", {"ttyUSB0"}}}, 1, "ttyUSB0"},
        {"two",
         {{"1-1", "0403", "FT12AB", {"ttyUSB0"}}, {"1-2", "0403", "FT99ZZ", {"ttyUSB1"}}},
         2,
         "ttyUSB0"},
        {"one dual-port", {{"2-1.4", "0403", "FTDUAL", {"ttyUSB3", "ttyUSB2"}}}, 1, "ttyUSB2"},
        {"not FTDI", {{"1-1", "067b", "PL2303", {"ttyUSB0"}}}, 0, ""},
        {"FTDI JTAG probe, no serial port", {{"1-1", "0403", "JT", {"ttyUSB0"}, {"jtag"}}}, 0, ""},
        {"dual-port, one port serial",
         {{"1-1", "0403", "MIX", {"ttyUSB4", "ttyUSB5"}, {"jtag", "ftdi_sio"}}},
         1,
         "ttyUSB5"},
        {"FTDI beside a hub and a mouse",
         {{"1-0", "1d6b", "", {}}, {"1-3", "046d", "", {}}, {"1-1", "0403", "A1", {"ttyUSB0"}}},
         1,
         "ttyUSB0"},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        TtyCableDriver::Paths paths;
        paths.sysRoot = makeTree(dir, c.devices);
        TtyCableDriver driver(paths);
        const auto cables = driver.findCables();
        ASSERT_EQ(cables.size(), c.cables) << c.name;
        if (c.cables > 0) {
            EXPECT_EQ(cables[0].ttys.value(0), QString::fromLatin1(c.firstTty)) << c.name;
        }
        std::uint32_t count = 99;
        EXPECT_EQ(driver.CreateDeviceInfoList(&count), 0);
        EXPECT_EQ(count, c.cables) << c.name;
    }
}

TEST(TtyCableDriver, ControllerSeesNoCableOrTwoCables) {
    QTemporaryDir dir;

    const struct {
        std::vector<FakeUsb> devices;
        OpenResult expected;
    } cases[] = {
        {{}, OpenResult::NoCable},
        {{{"1-1", "0403", "A", {"ttyUSB0"}}, {"1-2", "0403", "B", {"ttyUSB1"}}},
         OpenResult::ManyCables},
        // One cable whose tty does not exist under /dev: the open fails.
        {{{"1-1", "0403", "A", {"ttyUSB77"}}}, OpenResult::DriverError},
    };
    for (const auto& c : cases) {
        QTemporaryDir tree;
        TtyCableDriver::Paths paths;
        paths.sysRoot = makeTree(tree, c.devices);
        paths.devRoot = tree.filePath(QStringLiteral("dev"));
        TtyCableDriver driver(paths);
        FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        EXPECT_EQ(ctl.Open(nullptr, 0), c.expected);
    }
}

TEST(TtyCableDriver, SerialNumberLongerThanItsFieldStillOpens) {
    PtyDevice device;
    ASSERT_TRUE(device.open()) << device.error().toStdString();
    QTemporaryDir tree;
    const QString ttyName = QStringLiteral("ttyUSB0");
    TtyCableDriver::Paths paths;
    paths.sysRoot = makeTree(tree, {{"1-1", "0403", "ABCDEFGHIJKLMNOPQRSTUV", {ttyName}}});
    paths.devRoot = tree.filePath(QStringLiteral("dev"));
    QDir().mkpath(paths.devRoot);
    ASSERT_TRUE(QFile::link(device.path(), paths.devRoot + QStringLiteral("/ttyUSB0")));
    TtyCableDriver driver(paths);
    FTDI_Controller ctl(driver, SteadyClock::instance(), tree.filePath(QStringLiteral("log")));
    EXPECT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    EXPECT_EQ(driver.openTty(), ttyName);
}

class OverPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(device.open()) << device.error().toStdString();
        paths.cableOverride = device.path();
        device.startThread();
    }
    QString logPath() { return dir.filePath(QStringLiteral("ProgLog.log")); }

    QTemporaryDir dir;
    PtyDevice device;
    TtyCableDriver::Paths paths;
};

TEST_F(OverPty, ProgramsAndReadsBackTheSameFrame) {
    const ConfigFrame frame = sampleFrame();
    {
        TtyCableDriver driver(paths);
        FTDI_Controller ctl(driver, SteadyClock::instance(), logPath());
        ASSERT_EQ(ctl.Open(frame.data(), ConfigFrameSize), OpenResult::Opened);
        EXPECT_EQ(ctl.Start(), ExchangeResult::Completed);
    }
    EXPECT_EQ(device.framesStored(), 1);
    EXPECT_EQ(device.storedFrame(), frame);
    {
        TtyCableDriver driver(paths);
        FTDI_ReadCtrl ctl(driver, SteadyClock::instance(), logPath());
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        ASSERT_EQ(ctl.Start(), ExchangeResult::Completed);
        ASSERT_EQ(ctl.dataLength, ConfigFrameSize);
        EXPECT_TRUE(isValidFrame(ctl.dataBuffer.data(), ctl.dataLength));
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), ctl.dataBuffer.begin()));
    }
}

TEST_F(OverPty, ProgramsAndReadsThroughAUsbChipAtEveryLatency) {
    // The emulator hands its answers over at each tick of the chip's timer,
    // so packets and keywords reach the program in pieces.
    for (std::uint32_t latency : {1u, 16u, 100u}) {
        PtyDevice chip({}, latency);
        ASSERT_TRUE(chip.open());
        chip.startThread();
        TtyCableDriver::Paths p;
        p.cableOverride = chip.path();
        for (int round = 0; round < 2; ++round) {
            ConfigFrame frame = sampleFrame();
            frame[0] = static_cast<std::uint8_t>(latency + round);
            const std::uint16_t crc = Crc16(frame.data(), 262);
            frame[262] = static_cast<std::uint8_t>(crc & 0xFF);
            frame[263] = static_cast<std::uint8_t>(crc >> 8);
            {
                TtyCableDriver driver(p);
                FTDI_Controller ctl(driver, SteadyClock::instance(), logPath());
                ASSERT_EQ(ctl.Open(frame.data(), ConfigFrameSize), OpenResult::Opened);
                ASSERT_EQ(ctl.Start(), ExchangeResult::Completed)
                    << latency << " ms, round " << round;
            }
            ASSERT_EQ(chip.storedFrame(), frame);
            TtyCableDriver driver(p);
            FTDI_ReadCtrl ctl(driver, SteadyClock::instance(), logPath());
            ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
            ASSERT_EQ(ctl.Start(), ExchangeResult::Completed) << latency << " ms, round " << round;
            ASSERT_EQ(ctl.dataLength, ConfigFrameSize);
            EXPECT_TRUE(std::equal(frame.begin(), frame.end(), ctl.dataBuffer.begin()));
        }
    }
}

TEST(DeviceEmulator, AMistypedNumberGetsTheUsageNotADevice) {
    const QStringList bad[] = {{"--error-at", "abc"},
                               {"--packet-size", "0"},
                               {"--packet-size", "36"},
                               {"--usb-latency", "16ms"},
                               {"--usb-latency"},
                               {"--usb-latency", "0"},
                               {"--speed"}};
    for (const QStringList& args : bad) {
        QProcess emulator;
        emulator.start(QStringLiteral(UOO_DEVICE_EMULATOR), args);
        ASSERT_TRUE(emulator.waitForFinished(5000)) << args.join(' ').toStdString();
        EXPECT_EQ(emulator.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(emulator.readAllStandardError().startsWith("usage: "));
        EXPECT_TRUE(emulator.readAllStandardOutput().isEmpty());
    }
}

TEST_F(OverPty, CablePulledMidTransferEndsWithCableErrorWithoutHanging) {
    for (bool reading : {false, true}) {
        // Slow answers keep the exchange going well past the moment of the pull.
        DeviceScript script;
        script.answerDelayMs = 100;
        PtyDevice silent(script);
        ASSERT_TRUE(silent.open());
        TtyCableDriver::Paths p;
        p.cableOverride = silent.path();
        silent.startThread();
        TtyCableDriver driver(p);
        std::unique_ptr<FTDI_Controller> ctl =
            reading ? std::make_unique<FTDI_ReadCtrl>(driver, SteadyClock::instance(), logPath())
                    : std::make_unique<FTDI_Controller>(driver, SteadyClock::instance(), logPath());
        const ConfigFrame frame = sampleFrame();
        ASSERT_EQ(ctl->Open(frame.data(), ConfigFrameSize), OpenResult::Opened);
        auto result = std::async(std::launch::async, [&] { return ctl->Start(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(reading ? 700 : 150));
        silent.vanish();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << (reading ? "reading" : "programming");
        EXPECT_EQ(result.get(), ExchangeResult::CableError)
            << (reading ? "reading" : "programming");
    }
}

TEST_F(OverPty, StopFromAnotherThreadEndsASilentHandshake) {
    DeviceScript script;
    script.silent = true;
    PtyDevice quiet(script);
    ASSERT_TRUE(quiet.open());
    quiet.startThread();
    TtyCableDriver::Paths p;
    p.cableOverride = quiet.path();
    TtyCableDriver driver(p);
    FTDI_Controller ctl(driver, SteadyClock::instance(), logPath());
    ASSERT_EQ(ctl.Open(sampleFrame().data(), ConfigFrameSize), OpenResult::Opened);
    auto result = std::async(std::launch::async, [&] { return ctl.Start(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ctl.Stop();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(result.get(), ExchangeResult::Stopped);
}

// A bare pseudo-terminal whose far end the test drives byte by byte.
struct RawPty {
    RawPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        char name[128] = {};
        ::ptsname_r(master, name, sizeof name);
        path = QString::fromLocal8Bit(name);
        // Held open, so the program's closes do not hang the line up.
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~RawPty() {
        ::close(master);
        ::close(slave);
    }
    void send(const char* bytes) { (void)!::write(master, bytes, std::strlen(bytes)); }
    int master = -1;
    int slave = -1;
    QString path;
};

// Runs `body` in a child that has given up root; its return is the exit code.
int asNobody(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// The tty driver over a bare pseudo-terminal, opened as a cable.
class OverRawPty : public ::testing::Test {
protected:
    OverRawPty() : driver(paths()) {}
    TtyCableDriver::Paths paths() const {
        TtyCableDriver::Paths p;
        p.cableOverride = pty.path;
        return p;
    }
    RawPty pty;
    TtyCableDriver driver;
    QTemporaryDir dir;
    FTDI_Controller ctl{driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log"))};
};

TEST_F(OverRawPty, PortIsRawExclusiveAndIgnoresBreaks) {
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL && t.c_cflag & CREAD);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | IGNBRK | IGNPAR),
              static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
}

TEST_F(OverRawPty, WhatCameBeforeTheLastSettingIsThrownAway) {
    std::uint32_t count = 0;
    std::uint8_t list[1000];
    ASSERT_EQ(driver.CreateDeviceInfoList(&count), 0);
    ASSERT_EQ(driver.GetDeviceInfoList(list, sizeof list, &count), 0);
    CableDriver::Handle h = 0;
    ASSERT_EQ(driver.OpenEx(list + CableDriver::SerialOffset, 1, &h), 0);
    pty.send("garbage");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(driver.SetBaudRate(h, 115200), 0);
    EXPECT_EQ(driver.SetDataCharacteristics(h, 8, 0, 0), 0);
    EXPECT_EQ(driver.SetFlowControl(h, 0, 0, 0), 0);
    EXPECT_EQ(driver.SetLatencyTimer(h, 100), 0);
    EXPECT_EQ(driver.SetTimeouts(h, 200, 10), 0);
    std::uint32_t rx = 9, tx = 0, ev = 0;
    ASSERT_EQ(driver.GetStatus(h, &rx, &tx, &ev), 0);
    EXPECT_EQ(rx, 0u);
}

TEST_F(OverRawPty, ReadWaitsUpTo200MsForTheRestOfAKeyword) {
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    pty.send("ERR");
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        pty.send("OR");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::uint32_t count = 0;
    EXPECT_EQ(ctl.ReadAvailable(ctl.receiveBuffer.data(), 100, &count), 0);
    rest.join();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(ctl.receiveBuffer.data())), "ERROR");
}

TEST(TtyCableDriver, APortThatCannotBeOpenedIsNamedWithTheSystemsReason) {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("ttyUSB9"));
    const struct {
        const char* name;
        QString path;
        bool asUser;
        OpenResult opened;
        int error;
    } cases[] = {
        {"no such path", missing, false, OpenResult::NoCable, ENOENT},
        // A terminal of root's, mode 0620: what a user outside dialout meets.
        {"permission refused", QString(), true, OpenResult::DriverError, EACCES},
    };
    RawPty pty;
    ASSERT_EQ(::chmod(QFile::encodeName(pty.path).constData(), 0620), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    for (const auto& c : cases) {
        const QString path = c.path.isEmpty() ? pty.path : c.path;
        auto attempt = [&] {
            TtyCableDriver::Paths paths;
            paths.cableOverride = path;
            TtyCableDriver driver(paths);
            FTDI_Controller ctl(driver, SteadyClock::instance(),
                                dir.filePath(QStringLiteral("log")));
            const QString expected =
                openFailureReason(c.opened) + QLatin1Char('\n') + path + QStringLiteral(": ") +
                QString::fromLocal8Bit(std::strerror(c.error)) +
                (c.error == EACCES ? QStringLiteral("\nДобавьте пользователя в группу dialout "
                                                    "и войдите в систему заново или "
                                                    "переподключите кабель.")
                                   : QString());
            const OpenResult opened = ctl.Open(nullptr, 0);
            return opened == c.opened &&
                           openFailureReason(opened, driver.lastOpenProblem()) == expected
                       ? 0
                       : 1;
        };
        EXPECT_EQ(c.asUser ? asNobody(attempt) : attempt(), 0) << c.name;
    }
}

TEST(TtyCableDriver, ALinkToTheTtyIsFollowedToItsName) {
    RawPty pty;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-FTDI_cable-if00-port0"));
    ASSERT_TRUE(QFile::link(pty.path, link));
    TtyCableDriver::Paths paths;
    paths.cableOverride = link;
    TtyCableDriver driver(paths);
    FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    EXPECT_EQ(driver.openTty(), QFileInfo(pty.path).fileName());
}

TEST(TtyCableDriver, LatencyTimerIsSetOrItsValueAndReasonAreKept) {
    QTemporaryDir dir;
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    const QString timer = dir.filePath(QStringLiteral("latency_timer"));
    QFile f(timer);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("16\n");
    f.close();
    ASSERT_EQ(::chmod(QFile::encodeName(timer).constData(), 0644), 0);
    // No timer at all: nothing to say.
    EXPECT_LT(TtyCableDriver::setLatencyTimerFile(dir.filePath(QStringLiteral("none")), 100).value,
              0);
    // A user who may not write it: the value it keeps, and why.
    EXPECT_EQ(asNobody([&] {
                  const auto problem = TtyCableDriver::setLatencyTimerFile(timer, 100);
                  return problem.value == 16 && problem.reason == QLatin1String("Permission denied")
                             ? 0
                             : 1;
              }),
              0);
    // One who may: set, read back, nothing to say.
    EXPECT_LT(TtyCableDriver::setLatencyTimerFile(timer, 100).value, 0);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll().trimmed(), "100");
    f.close();
    // Set already (by the udev rule): nothing to write and nothing to say.
    EXPECT_EQ(
        asNobody([&] { return TtyCableDriver::setLatencyTimerFile(timer, 100).value < 0 ? 0 : 1; }),
        0);
}

TEST(TtyCableDriver, ALatencyTimerNotSetIsLoggedAfterTheStartLine) {
    for (bool stuck : {true, false}) {
        ScriptedCable driver;
        if (stuck)
            driver.latency = {16, QStringLiteral("Permission denied")};
        QTemporaryDir dir;
        VirtualClock clock;
        FTDI_ReadCtrl ctl(driver, clock, dir.filePath(QStringLiteral("log")));
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        clock.at(clock.TickCount() + 600, [&ctl] { ctl.Stop(); });
        EXPECT_EQ(ctl.Start(), ExchangeResult::Stopped);
        QFile log(dir.filePath(QStringLiteral("log")));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        ASSERT_GE(lines.size(), 3);
        EXPECT_TRUE(lines[0].endsWith("> [TX] ==== START READING ====\r"));
        EXPECT_EQ(lines[1].endsWith("> [TX] ==== LATENCY TIMER 16 ms: Permission denied ====\r"),
                  stuck);
        EXPECT_EQ(lines[stuck ? 2 : 1].endsWith("> [TX] READ\r"), true) << stuck;
    }
}

} // namespace
