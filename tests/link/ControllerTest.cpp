#include "emulator/SimulatedDevice.h"
#include "link/FTDI_Controller.h"
#include "tests/support/LinkSupport.h"
#include "tests/support/SystemFiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("ProgLog.log"));
    }
    QByteArray log() {
        QFile f(logPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir dir;
    QString logPath;
    VirtualClock clock;
};

TEST_F(Controller, OpenResultCodes) {
    const struct {
        const char* name;
        CableScript cable;
        OpenResult expected;
        bool leftOpen;
    } cases[] = {
        {"no cable", {0, false, -1}, OpenResult::NoCable, false},
        {"two cables", {2, false, -1}, OpenResult::ManyCables, false},
        {"baud rate refused", {1, true, -1}, OpenResult::DriverError, false},
        {"vanishes while configured", {1, false, 2}, OpenResult::DriverError, false},
        {"one cable", {1, false, -1}, OpenResult::Opened, true},
    };
    for (const auto& c : cases) {
        SimulatedDevice device(clock, {}, c.cable);
        FTDI_Controller ctl(device, clock, logPath);
        EXPECT_EQ(ctl.Open(nullptr, 0), c.expected) << c.name;
        EXPECT_EQ(device.isOpen(), c.leftOpen) << c.name;
        EXPECT_EQ(ctl.handle != 0, c.leftOpen) << c.name;
        if (c.expected == OpenResult::ManyCables || c.expected == OpenResult::NoCable) {
            EXPECT_EQ(device.opens(), 0) << c.name;
        }
    }
}

TEST_F(Controller, DestructionClosesTheCable) {
    SimulatedDevice device(clock);
    {
        FTDI_Controller ctl(device, clock, logPath);
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        EXPECT_TRUE(device.isOpen());
    }
    EXPECT_FALSE(device.isOpen());
}

TEST_F(Controller, OpenKeepsOnlyDataOfSensibleLength) {
    std::vector<std::uint8_t> data(5000, 0x5A);
    const struct {
        int length;
        int kept;
    } cases[] = {{0, 0}, {-1, 0}, {4096, 0}, {5000, 0}, {1, 1}, {264, 264}, {4095, 4095}};
    for (const auto& c : cases) {
        SimulatedDevice device(clock);
        FTDI_Controller ctl(device, clock, logPath);
        ASSERT_EQ(ctl.Open(data.data(), c.length), OpenResult::Opened);
        EXPECT_EQ(ctl.dataLength, c.kept) << c.length;
        EXPECT_EQ(ctl.dataBuffer[0], c.kept ? 0x5A : 0) << c.length;
    }
}

TEST_F(Controller, StartWithoutAnOpenCableIsACableError) {
    SimulatedDevice device(clock, {}, {0, false, -1});
    FTDI_Controller ctl(device, clock, logPath);
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::NoCable);
    EXPECT_EQ(ctl.Start(), ExchangeResult::CableError);
    EXPECT_TRUE(device.received().isEmpty());
}

TEST_F(Controller, ReadAvailableAsksForAtLeastFiveAndLeavesAFullQueue) {
    const struct {
        std::uint32_t queued;
        bool read;
        std::uint32_t asked;
    } cases[] = {{0, false, 0},  {1, true, 5},    {3, true, 5},   {5, true, 5},
                 {99, true, 99}, {100, false, 0}, {150, false, 0}};
    for (const auto& c : cases) {
        ScriptedCable cable;
        FTDI_Controller ctl(cable, clock, logPath);
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
        cable.queue = QByteArray(static_cast<int>(c.queued), 'x');
        std::uint32_t count = 77;
        EXPECT_EQ(ctl.ReadAvailable(ctl.receiveBuffer.data(), 100, &count), 0);
        ASSERT_EQ(cable.readRequests.size(), c.read ? 1u : 0u) << c.queued;
        if (c.read) {
            EXPECT_EQ(cable.readRequests[0], c.asked) << c.queued;
        }
        EXPECT_EQ(count, c.read ? c.queued : 0u) << c.queued;
        EXPECT_EQ(ctl.receiveBuffer[count], 0) << c.queued;
    }
}

TEST_F(Controller, ReadAvailableReportsAFailedStatusAndLogsAFailedRead) {
    ScriptedCable cable;
    FTDI_Controller ctl(cable, clock, logPath);
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    std::uint32_t count = 0;
    cable.failStatus = true;
    EXPECT_NE(ctl.ReadAvailable(ctl.receiveBuffer.data(), 100, &count), 0);
    cable.failStatus = false;
    cable.failRead = true;
    cable.queue = "OK";
    EXPECT_NE(ctl.ReadAvailable(ctl.receiveBuffer.data(), 100, &count), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(log().endsWith(") > [RX] 4F 4B \r\n"));
}

TEST_F(Controller, LogLineFormat) {
    SimulatedDevice device(clock);
    FTDI_Controller ctl(device, clock, logPath);
    ctl.startTick = clock.TickCount();
    clock.Sleep(250);
    const std::uint8_t ok[] = {'O', 'K'};
    ctl.LogLine(FTDI_Controller::HexDump(ok, 2), false);
    ctl.LogLine("WRITE", true);
    const QString text = QString::fromLatin1(log());
    const QRegularExpression line(
        QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}\\(250\\) > \\[RX\\] 4F 4B \\r\\n"
                       "\\d{1,2}:\\d{2}:\\d{2}\\(250\\) > \\[TX\\] WRITE\\r\\n$"));
    EXPECT_TRUE(line.match(text).hasMatch()) << text.toStdString();
}

TEST_F(Controller, HexDumpIsUpperCasePairsEachFollowedByASpace) {
    const std::uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x3A};
    EXPECT_EQ(FTDI_Controller::HexDump(bytes, 4), QByteArray("00 0A FF 3A "));
    EXPECT_EQ(FTDI_Controller::HexDump(bytes, 0), QByteArray());
}

TEST_F(Controller, LogIsRecreatedForEachJobAndPrivate) {
    SimulatedDevice device(clock);
    {
        FTDI_Controller first(device, clock, logPath);
        first.LogLine("first job", true);
    }
    ASSERT_TRUE(LetEveryoneIn(logPath));
    {
        FTDI_Controller second(device, clock, logPath);
        EXPECT_TRUE(second.logReady());
        second.LogLine("second job", true);
    }
    EXPECT_FALSE(log().contains("first job"));
    EXPECT_TRUE(log().contains("second job"));
    EXPECT_TRUE(OnlyTheOwnerMayOpen(logPath));
}

TEST_F(Controller, LogThatCannotBeCreatedIsReported) {
    SimulatedDevice device(clock);
    FTDI_Controller ctl(device, clock, dir.filePath(QStringLiteral("missing/ProgLog.log")));
    EXPECT_FALSE(ctl.logReady());
    EXPECT_FALSE(ctl.logError().isEmpty());
    ctl.LogLine("nowhere", true); // harmless
}

TEST_F(Controller, LogHeldByAnotherJobIsReported) {
    SimulatedDevice device(clock);
    FTDI_Controller holder(device, clock, logPath);
    holder.LogLine("kept", true);
    FTDI_Controller second(device, clock, logPath);
    EXPECT_FALSE(second.logReady());
    EXPECT_TRUE(log().contains("kept"));
}

TEST_F(Controller, OnlyARegularFileOfItsOwnBecomesTheLog) {
    const QString other = dir.filePath(QStringLiteral("notes.txt"));
    struct Case {
        const char* name;
        std::function<void()> make;
        QString error; // empty: the log is made
    };
    std::vector<Case> cases = {
        {"FIFO", [&] { MakeFifo(logPath); }, QStringLiteral("Это не обычный файл.")},
        {"directory", [&] { QDir().mkpath(logPath); }, QStringLiteral("Это не обычный файл.")},
        {"hard link to another file",
         [&] {
             QFile f(other);
             f.open(QIODevice::WriteOnly);
             f.write("keep me");
             f.close();
             MakeHardLink(other, logPath);
         },
         QString()},
    };
    if (SymbolicLinksCanBeMade())
        cases.push_back({"link", [&] { MakeSymbolicLink(other, logPath); },
                         QStringLiteral("Это не обычный файл.")});
    for (const auto& c : cases) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        c.make();
        SimulatedDevice device(clock);
        FTDI_Controller ctl(device, clock, logPath); // and does not hang on a FIFO
        EXPECT_EQ(ctl.logReady(), c.error.isEmpty()) << c.name;
        EXPECT_EQ(ctl.logError(), c.error) << c.name;
        if (ctl.logReady()) {
            ctl.LogLine("line", true);
            QFile kept(other);
            ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
            EXPECT_EQ(kept.readAll(), "keep me") << c.name;
            EXPECT_TRUE(log().contains("line")) << c.name;
        }
    }
}

} // namespace
