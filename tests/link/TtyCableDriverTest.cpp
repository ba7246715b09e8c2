#include "link/Clock.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/FTDI_Controller.h"
#include "link/TtyCableDriver.h"
#include "tools/PtyDevice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <future>

namespace {

// A fake sysfs: USB devices with vendor, serial and the ttys of their
// interfaces.
struct FakeUsb {
    QString name;
    QByteArray vendor;
    QByteArray serial;
    QStringList ttysPerInterface; // one interface per tty
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
            QDir().mkpath(QStringLiteral("%1/%2:1.%3/%4").arg(usb, d.name).arg(intf++).arg(tty));
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
        int expected;
    } cases[] = {
        {{}, OpenNoCable},
        {{{"1-1", "0403", "A", {"ttyUSB0"}}, {"1-2", "0403", "B", {"ttyUSB1"}}}, OpenManyCables},
        // One cable whose tty does not exist under /dev: the open fails.
        {{{"1-1", "0403", "A", {"ttyUSB77"}}}, OpenDriverError},
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
    EXPECT_EQ(ctl.Open(nullptr, 0), OpenOk);
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
        ASSERT_EQ(ctl.Open(frame.data(), ConfigFrameSize), OpenOk);
        EXPECT_EQ(ctl.Start(), ExchangeDone);
    }
    EXPECT_EQ(device.framesStored(), 1);
    EXPECT_EQ(device.storedFrame(), frame);
    {
        TtyCableDriver driver(paths);
        FTDI_ReadCtrl ctl(driver, SteadyClock::instance(), logPath());
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenOk);
        ASSERT_EQ(ctl.Start(), ExchangeDone);
        ASSERT_EQ(ctl.dataLength, ConfigFrameSize);
        EXPECT_TRUE(IsValidFrame(ctl.dataBuffer.data(), ctl.dataLength));
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), ctl.dataBuffer.begin()));
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
        ASSERT_EQ(ctl->Open(frame.data(), ConfigFrameSize), OpenOk);
        auto result = std::async(std::launch::async, [&] { return ctl->Start(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(reading ? 700 : 150));
        silent.vanish();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << (reading ? "reading" : "programming");
        EXPECT_EQ(result.get(), ExchangeCableError) << (reading ? "reading" : "programming");
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
    ASSERT_EQ(ctl.Open(sampleFrame().data(), ConfigFrameSize), OpenOk);
    auto result = std::async(std::launch::async, [&] { return ctl.Start(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ctl.Stop();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(result.get(), ExchangeStopped);
}

} // namespace
