#include "emulator/SimulatedDevice.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/Exchanges.h"
#include "link/FTDI_Controller.h"
#include "tests/support/LinkSupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

ConfigFrame sampleFrame(int seed = 1) {
    ConfigFrame f{};
    QRandomGenerator random(static_cast<quint32>(seed));
    for (int i = 0; i < 262; ++i)
        f[static_cast<size_t>(i)] = static_cast<std::uint8_t>(random.bounded(256));
    const std::uint16_t crc = Crc16(f.data(), 262);
    f[262] = static_cast<std::uint8_t>(crc & 0xFF);
    f[263] = static_cast<std::uint8_t>(crc >> 8);
    return f;
}

// The data sizes of the packets in what the program wrote after its first
// "WRITE"; the end packet counts as 0.
std::vector<int> packetSizes(const QByteArray& written) {
    std::vector<int> sizes;
    int at = written.indexOf(Keyword::WRITE);
    at = at < 0 ? 0 : at + 5;
    while (at < written.size()) {
        if (static_cast<std::uint8_t>(written[at]) != PacketStart) {
            ++at;
            continue;
        }
        const int n = static_cast<std::uint8_t>(written[at + 1]);
        sizes.push_back(n);
        at += n + 3;
    }
    return sizes;
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString logPath() { return dir.filePath(QStringLiteral("ProgLog.log")); }
    // The milliseconds after the start at which the log has this line.
    std::vector<int> loggedAt(const QByteArray& line) {
        QFile f(logPath());
        std::vector<int> at;
        if (!f.open(QIODevice::ReadOnly))
            return at;
        for (const QByteArray& l : f.readAll().split('\n')) {
            if (l.endsWith(") > " + line + "\r"))
                at.push_back(
                    l.mid(l.indexOf('(') + 1, l.indexOf(')') - l.indexOf('(') - 1).toInt());
        }
        return at;
    }

    ExchangeResult program(CableDriver& cable, const ConfigFrame& frame,
                           std::function<void(FTDI_Controller&)> setup = {}) {
        FTDI_Controller ctl(cable, clock, logPath());
        if (ctl.Open(frame.data(), ConfigFrameSize) != OpenResult::Opened) {
            ADD_FAILURE() << "the cable did not open";
            return ExchangeResult::CableError;
        }
        if (setup)
            setup(ctl);
        return ctl.Start();
    }
    ExchangeResult read(CableDriver& cable, QByteArray* data = nullptr,
                        std::function<void(FTDI_Controller&)> setup = {}) {
        FTDI_ReadCtrl ctl(cable, clock, logPath());
        if (ctl.Open(nullptr, 0) != OpenResult::Opened) {
            ADD_FAILURE() << "the cable did not open";
            return ExchangeResult::CableError;
        }
        if (setup)
            setup(ctl);
        const ExchangeResult result = ctl.Start();
        if (data)
            *data =
                QByteArray(reinterpret_cast<const char*>(ctl.dataBuffer.data()), ctl.dataLength);
        return result;
    }

    QTemporaryDir dir;
    VirtualClock clock;
};

TEST_F(Exchange, ProgrammingSendsNinePacketsThenTheEndPacket) {
    for (bool readyNext : {false, true}) {
        DeviceScript script;
        script.readyNext = readyNext;
        SimulatedDevice device(clock, script);
        const ConfigFrame frame = sampleFrame();
        EXPECT_EQ(program(device, frame), ExchangeResult::Completed);
        EXPECT_EQ(packetSizes(device.received()),
                  (std::vector<int>{32, 32, 32, 32, 32, 32, 32, 32, 8, 0}));
        EXPECT_TRUE(device.received().endsWith(QByteArray::fromHex("3A00C6")));
        EXPECT_EQ(device.storedFrame(), frame);
        EXPECT_EQ(device.framesStored(), 1);
    }
}

TEST_F(Exchange, ReadyNextGetsTheFirstPacketAtOnceReadyWaitsForNext) {
    // Answers are recorded against what the program wrote before them.
    for (bool readyNext : {false, true}) {
        ScriptedCable cable;
        int step = 0;
        cable.respond = [&](const QByteArray& w) -> QList<QByteArray> {
            ++step;
            if (w == "WRITE")
                return {readyNext ? "READYNEXT" : "READY"};
            return {};
        };
        const ConfigFrame frame = sampleFrame();
        FTDI_Controller* seen = nullptr;
        const ExchangeResult result = program(cable, frame, [&](FTDI_Controller& c) {
            seen = &c;
            clock.at(clock.TickCount() + 1000, [&] { seen->Stop(); });
        });
        EXPECT_EQ(result, ExchangeResult::Stopped);
        const QByteArray first = QByteArray("WRITE") + makePacket(frame.data(), 32);
        if (readyNext) {
            EXPECT_EQ(cable.written, first);
        } else {
            EXPECT_EQ(cable.written, QByteArray("WRITE"));
        }
    }
}

TEST_F(Exchange, SilentDeviceGetsWriteOnEvery51stPollUntilStopped) {
    DeviceScript script;
    script.silent = true;
    SimulatedDevice device(clock, script);
    const ExchangeResult result = program(device, sampleFrame(), [&](FTDI_Controller& c) {
        clock.at(clock.TickCount() + 5200, [&c] { c.Stop(); });
    });
    EXPECT_EQ(result, ExchangeResult::Stopped);
    // 520 polls of 10 ms: "WRITE" at polls 0, 51, ..., 510.
    EXPECT_EQ(device.received(), QByteArray("WRITE").repeated(11));
    std::vector<int> expected;
    for (int poll = 0; poll <= 510; poll += 51)
        expected.push_back(poll * 10);
    EXPECT_EQ(loggedAt("[TX] WRITE"), expected);
}

TEST_F(Exchange, SilentDeviceGetsReadEveryHalfSecondUntilStopped) {
    DeviceScript script;
    script.silent = true;
    SimulatedDevice device(clock, script);
    const ExchangeResult result = read(device, nullptr, [&](FTDI_Controller& c) {
        clock.at(clock.TickCount() + 1800, [&c] { c.Stop(); });
    });
    EXPECT_EQ(result, ExchangeResult::Stopped);
    EXPECT_EQ(loggedAt("[TX] READ"), (std::vector<int>{0, 500, 1000, 1500}));
}

TEST_F(Exchange, EarlyOkCompletesProgramming) {
    DeviceScript script;
    script.okAfterPackets = 3;
    SimulatedDevice device(clock, script);
    EXPECT_EQ(program(device, sampleFrame()), ExchangeResult::Completed);
    EXPECT_EQ(packetSizes(device.received()), (std::vector<int>{32, 32, 32}));
}

TEST_F(Exchange, ReadyWithALineEndIsNeverReady) {
    ScriptedCable cable;
    cable.respond = [](const QByteArray& w) -> QList<QByteArray> {
        return w == "WRITE" ? QList<QByteArray>{"READY\r\n"} : QList<QByteArray>{};
    };
    const ExchangeResult result = program(cable, sampleFrame(), [&](FTDI_Controller& c) {
        clock.at(clock.TickCount() + 3000, [&c] { c.Stop(); });
    });
    EXPECT_EQ(result, ExchangeResult::Stopped);
    EXPECT_FALSE(cable.written.contains(':'));
}

TEST_F(Exchange, TwoKeywordsInOneReadMatchNothing) {
    ScriptedCable cable;
    cable.respond = [](const QByteArray& w) -> QList<QByteArray> {
        return w == "WRITE" ? QList<QByteArray>{"READYOK"} : QList<QByteArray>{};
    };
    const ExchangeResult result = program(cable, sampleFrame(), [&](FTDI_Controller& c) {
        clock.at(clock.TickCount() + 1000, [&c] { c.Stop(); });
    });
    EXPECT_EQ(result, ExchangeResult::Stopped);
}

TEST_F(Exchange, DeviceErrorAtAnyAnswerEndsWithDeviceError) {
    // Programming answers: READY, NEXT, then NEXT per packet and OK: 11.
    for (int at = 0; at < 11; ++at) {
        DeviceScript script;
        script.errorAtAnswer = at;
        SimulatedDevice device(clock, script);
        EXPECT_EQ(program(device, sampleFrame()), ExchangeResult::DeviceError) << at;
        EXPECT_EQ(device.framesStored(), 0) << at;
    }
    // Reading answers: READY, 9 packets, the end packet.
    for (int at = 0; at < 11; ++at) {
        DeviceScript script;
        script.errorAtAnswer = at;
        SimulatedDevice device(clock, script);
        EXPECT_EQ(read(device), ExchangeResult::DeviceError) << at;
    }
}

TEST_F(Exchange, ProgrammingGivesUpAfter400IdlePolls) {
    ScriptedCable cable;
    cable.respond = [](const QByteArray& w) -> QList<QByteArray> {
        return w == "WRITE" ? QList<QByteArray>{"READYNEXT"} : QList<QByteArray>{};
    };
    const std::uint32_t start = clock.TickCount();
    EXPECT_EQ(program(cable, sampleFrame()), ExchangeResult::DeviceError);
    // 10 ms of handshake, then 401 idle polls after the first packet.
    EXPECT_EQ(clock.TickCount() - start, 10u + 401u * 10u);
    EXPECT_EQ(packetSizes(cable.written), (std::vector<int>{32}));
}

TEST_F(Exchange, CableFailuresEndWithCableError) {
    const struct {
        const char* name;
        std::function<void(ScriptedCable&)> breakIt;
    } cases[] = {
        {"write fails", [](ScriptedCable& c) { c.failWrite = true; }},
        {"short write", [](ScriptedCable& c) { c.shortWriteBy = 1; }},
        {"status fails", [](ScriptedCable& c) { c.failStatus = true; }},
        {"read fails", [](ScriptedCable& c) { c.failRead = true; }},
    };
    for (const auto& c : cases) {
        for (bool reading : {false, true}) {
            ScriptedCable cable;
            // A device that is always ready; the count of a short "READ" is
            // not examined, the "NEXT" after it is.
            cable.respond = [](const QByteArray& w) -> QList<QByteArray> {
                if (w == "WRITE" || w == "READ")
                    return {"READY"};
                return {};
            };
            c.breakIt(cable);
            const ExchangeResult result = reading ? read(cable) : program(cable, sampleFrame());
            EXPECT_EQ(result, ExchangeResult::CableError) << c.name << (reading ? " reading" : "");
        }
    }
}

TEST_F(Exchange, CableVanishingAtAnyPointEndsWithCableError) {
    // The cable is pulled after every possible number of calls: until the
    // exchange completes, each one ends with a cable error.
    for (bool reading : {false, true}) {
        int failures = 0;
        for (int calls = 5;; ++calls) {
            ASSERT_LT(calls, 500);
            SimulatedDevice device(clock, {}, {1, false, calls});
            const ExchangeResult result = reading ? read(device) : program(device, sampleFrame());
            if (result == ExchangeResult::Completed)
                break;
            ASSERT_EQ(result, ExchangeResult::CableError) << calls;
            ++failures;
        }
        EXPECT_GT(failures, 20);
    }
}

TEST_F(Exchange, ReadingCollectsTheFrame) {
    SimulatedDevice device(clock);
    const ConfigFrame frame = sampleFrame(9);
    device.setStoredFrame(frame);
    QByteArray data;
    EXPECT_EQ(read(device, &data), ExchangeResult::Completed);
    EXPECT_EQ(data, QByteArray(reinterpret_cast<const char*>(frame.data()), 264));
    EXPECT_TRUE(device.received().endsWith("NEXTOK"));
    EXPECT_EQ(device.readsCompleted(), 1);
}

TEST_F(Exchange, ReadingTakesAnyDivisionIntoPacketsUpTo35Bytes) {
    const ConfigFrame frame = sampleFrame(11);
    for (int size = 1; size <= 35; ++size) {
        DeviceScript script;
        script.readPacketSize = size;
        SimulatedDevice device(clock, script);
        device.setStoredFrame(frame);
        QByteArray data;
        ASSERT_EQ(read(device, &data), ExchangeResult::Completed) << size;
        ASSERT_EQ(data, QByteArray(reinterpret_cast<const char*>(frame.data()), 264)) << size;
    }
}

TEST_F(Exchange, ReadingFailuresSendErrorToTheDevice) {
    const struct {
        const char* name;
        DeviceScript script;
    } cases[] = {
        {"bad checksum",
         [] {
             DeviceScript s;
             s.badChecksumAtPacket = 2;
             return s;
         }()},
        {"split packet, tail after the completion gave up",
         [] {
             DeviceScript s;
             s.splitPacketAt = 1;
             s.splitDelayMs = 300;
             return s;
         }()},
        {"more than 4096 bytes",
         [] {
             DeviceScript s;
             s.readData = QByteArray(5000, 'x');
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SimulatedDevice device(clock, c.script);
        device.setStoredFrame(sampleFrame(3));
        EXPECT_EQ(read(device), ExchangeResult::DeviceError) << c.name;
        EXPECT_TRUE(device.received().endsWith("ERROR")) << c.name;
    }
}

TEST_F(Exchange, AnswersHandedOverByAUsbChipInPiecesAreCompleted) {
    // Every latency the chip may run at; the device takes a few milliseconds
    // to answer, so its answers meet the chip's timer at every phase, and
    // reading uses every packet size.
    for (std::uint32_t latency : {1u, 16u, 100u}) {
        for (int round = 0; round < 35; ++round) {
            DeviceScript script;
            script.readPacketSize = 1 + round;
            script.answerDelayMs = 1 + static_cast<std::uint32_t>(round % 13);
            script.readyNext = round % 2 == 1;
            CableScript chip;
            chip.usbLatencyMs = latency;
            SimulatedDevice device(clock, script, chip);
            const ConfigFrame frame = sampleFrame(round);
            ASSERT_EQ(program(device, frame), ExchangeResult::Completed)
                << latency << " ms, round " << round;
            ASSERT_EQ(device.storedFrame(), frame);
            QByteArray data;
            ASSERT_EQ(read(device, &data), ExchangeResult::Completed)
                << latency << " ms, round " << round;
            ASSERT_EQ(data, QByteArray(reinterpret_cast<const char*>(frame.data()), 264));
            clock.Sleep(static_cast<std::uint32_t>(round * 7 % 97));
        }
    }
}

TEST_F(Exchange, AStrayByteAheadOfAnAnswerDoesNotHideIt) {
    // Answers counted from 0: programming READY, NEXT, a NEXT per packet, OK;
    // reading READY, a packet per NEXT, the end packet.
    const struct {
        const char* name;
        bool reading;
        int answer;
        char stray;
        std::uint32_t maxLead = 450;
    } cases[] = {
        {"programming, N before NEXT", false, 3, 'N'},
        {"programming, colon before NEXT", false, 3, ':'},
        {"programming, O before OK", false, 11, 'O'},
        {"reading, R before READY", true, 0, 'R'},
        // A lone colon that the completion gives up on is a packet whose
        // bytes read as zero, and fails as such.
        {"reading, colon before a packet", true, 3, ':', 150},
        {"reading, E before a packet", true, 3, 'E'},
        {"reading, N before the end packet", true, 9, 'N'},
    };
    const ConfigFrame frame = sampleFrame(9);
    for (const auto& c : cases) {
        for (std::uint32_t latency : {1u, 16u, 100u}) {
            for (std::uint32_t lead : {0u, 150u, 250u, 350u, 450u}) {
                if (lead > c.maxLead)
                    continue;
                DeviceScript script;
                script.strayAtAnswer = c.answer;
                script.strayByte = c.stray;
                script.strayLeadMs = lead;
                CableScript chip;
                chip.usbLatencyMs = latency;
                SimulatedDevice device(clock, script, chip);
                device.setStoredFrame(frame);
                QByteArray data;
                const ExchangeResult result =
                    c.reading ? read(device, &data) : program(device, frame);
                EXPECT_EQ(result, ExchangeResult::Completed)
                    << c.name << ", " << latency << " ms chip, " << lead << " ms ahead";
                if (c.reading)
                    EXPECT_EQ(data, QByteArray(reinterpret_cast<const char*>(frame.data()), 264));
                else
                    EXPECT_EQ(device.framesStored(), 1);
            }
        }
    }
}

TEST_F(Exchange, SplitMessagesAreJudgedWhenWhole) {
    // The device's answers to each of the program's writes, in pieces; an
    // empty piece is a poll on which nothing came.
    const QByteArray packet = makePacket(reinterpret_cast<const std::uint8_t*>("0123456789"), 10);
    const QByteArray end = EndPacket();
    const struct {
        const char* name;
        bool reading;
        QList<QByteArray> firstAnswer; // to "WRITE" or "READ"
        QList<QByteArray> nextAnswer;  // to each "NEXT" or packet
        std::optional<ExchangeResult> expected;
    } cases[] = {
        {"packet in two pieces",
         true,
         {"READY"},
         {packet.left(7), packet.mid(7)},
         ExchangeResult::Completed},
        {"packet and its last byte 190 ms later",
         true,
         {"READY"},
         QList<QByteArray>{packet.left(12)} + QList<QByteArray>(18) +
             QList<QByteArray>{packet.mid(12)},
         ExchangeResult::Completed},
        {"packet whose rest never comes",
         true,
         {"READY"},
         {packet.left(12)},
         ExchangeResult::DeviceError},
        {"lone colon", true, {"READY"}, {packet.left(1), packet.mid(1)}, ExchangeResult::Completed},
        {"end packet in pieces",
         true,
         {"READY"},
         {end.left(1), end.mid(1)},
         ExchangeResult::Completed},
        {"keyword READY in pieces", true, {"RE", "ADY"}, {end}, ExchangeResult::Completed},
        {"keyword ERROR in pieces", false, {"ERR", "OR"}, {}, ExchangeResult::DeviceError},
        {"keyword NEXT in pieces", false, {"READY", "NE", "XT"}, {"N", "EXT"}, std::nullopt},
    };
    for (const auto& c : cases) {
        ScriptedCable cable;
        int packets = 0;
        cable.respond = [&](const QByteArray& w) -> QList<QByteArray> {
            if (w == "WRITE" || w == "READ")
                return c.firstAnswer;
            // Reading: one packet, then the end; programming: NEXT to each.
            if (c.reading && packets++ > 0)
                return {end};
            return c.nextAnswer;
        };
        if (!c.expected) {
            // Programming goes on packet by packet while every NEXT comes split.
            const ConfigFrame frame = sampleFrame();
            EXPECT_EQ(program(cable, frame,
                              [&](FTDI_Controller& ctl) {
                                  clock.at(clock.TickCount() + 2000, [&ctl] { ctl.Stop(); });
                              }),
                      ExchangeResult::Stopped);
            EXPECT_GE(packetSizes(cable.written).size(), 5u) << c.name;
            continue;
        }
        QByteArray data;
        const ExchangeResult result =
            c.reading ? read(cable, &data) : program(cable, sampleFrame());
        EXPECT_EQ(result, *c.expected) << c.name;
        if (c.reading && result == ExchangeResult::Completed) {
            EXPECT_TRUE(data.isEmpty() || data == "0123456789") << c.name;
            EXPECT_TRUE(cable.written.endsWith("OK")) << c.name;
        }
    }
}

TEST_F(Exchange, PacketsOf36BytesOrMoreAreIgnored) {
    // A read that begins like a packet of 36 data bytes is passed over: the
    // packet after it, which no "NEXT" asked for, is taken as the answer.
    QByteArray junk(40, '\x11');
    junk[0] = static_cast<char>(PacketStart);
    junk[1] = 36;
    const QByteArray packet = makePacket(reinterpret_cast<const std::uint8_t*>("abc"), 3);
    ScriptedCable cable;
    int nexts = 0;
    cable.respond = [&](const QByteArray& w) -> QList<QByteArray> {
        if (w == "READ")
            return {"READY"};
        return nexts++ == 0 ? QList<QByteArray>{junk, packet} : QList<QByteArray>{EndPacket()};
    };
    QByteArray data;
    EXPECT_EQ(read(cable, &data), ExchangeResult::Completed);
    EXPECT_EQ(data, QByteArray("abc"));
}

TEST_F(Exchange, EndPacketWithMoreBytesIsAcknowledgedNotTakenAsTheEnd) {
    DeviceScript script;
    script.extraAfterEnd = true;
    SimulatedDevice device(clock, script);
    const ConfigFrame frame = sampleFrame(5);
    device.setStoredFrame(frame);
    QByteArray data;
    EXPECT_EQ(read(device, &data), ExchangeResult::Completed);
    EXPECT_EQ(data.size(), 264);
    EXPECT_TRUE(device.received().endsWith("NEXTNEXTOK"));
}

TEST_F(Exchange, SilentReaderFailsAfter200IdlePolls) {
    ScriptedCable cable;
    cable.respond = [](const QByteArray& w) -> QList<QByteArray> {
        return w == "READ" ? QList<QByteArray>{"READY"} : QList<QByteArray>{};
    };
    const std::uint32_t start = clock.TickCount();
    EXPECT_EQ(read(cable), ExchangeResult::DeviceError);
    EXPECT_TRUE(cable.written.endsWith("NEXTERROR"));
    // Half a second for "READY", then 201 idle polls after the "NEXT".
    EXPECT_EQ(clock.TickCount() - start, 500u + 201u * 10u);
}

TEST_F(Exchange, StopInEveryPhaseReturnsStoppedAndWritesNothingMore) {
    // (script, tick of the stop after the start)
    struct Case {
        const char* name;
        bool reading;
        DeviceScript script;
        std::uint32_t stopAfter;
    };
    DeviceScript silent;
    silent.silent = true;
    DeviceScript slow;
    slow.answerDelayMs = 150;
    const Case cases[] = {
        {"programming handshake", false, silent, 100},
        {"programming transfer", false, slow, 700},
        {"reading handshake", true, silent, 1200},
        {"reading collection", true, slow, 900},
    };
    for (const Case& c : cases) {
        SimulatedDevice device(clock, c.script);
        QByteArray before;
        auto stopper = [&](FTDI_Controller& ctl) {
            clock.at(clock.TickCount() + c.stopAfter, [&ctl, &device, &before] {
                ctl.Stop();
                before = device.received();
            });
        };
        const ExchangeResult result =
            c.reading ? read(device, nullptr, stopper) : program(device, sampleFrame(), stopper);
        EXPECT_EQ(result, ExchangeResult::Stopped) << c.name;
        EXPECT_EQ(device.received(), before) << c.name;
        if (!c.reading) {
            EXPECT_EQ(device.framesStored(), 0) << c.name;
        }
    }
}

TEST_F(Exchange, EveryTransferIsLogged) {
    SimulatedDevice device(clock);
    ASSERT_EQ(program(device, sampleFrame()), ExchangeResult::Completed);
    QFile f(logPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    EXPECT_TRUE(lines[0].contains("> [TX] ==== START PROGRAMMING ====\r"));
    EXPECT_TRUE(lines[1].contains("> [TX] WRITE\r"));
    EXPECT_TRUE(lines[2].contains("> [RX] 52 45 41 44 59 \r")); // READY
    EXPECT_TRUE(lines[3].contains("> [RX] 4E 45 58 54 \r"));    // NEXT
    EXPECT_TRUE(lines[4].contains("> [TX] 3A 20 "));
    EXPECT_TRUE(f.fileName().endsWith("ProgLog.log"));
    const QByteArray all = lines.join('\n');
    EXPECT_TRUE(all.contains("> [TX] 3A 00 C6 \r\n"));
    EXPECT_TRUE(all.contains("> [RX] 4F 4B \r\n"));
}

TEST_F(Exchange, ReadingLogsRequestsAndAcknowledgementsButNotTheClosingOk) {
    SimulatedDevice device(clock);
    ASSERT_EQ(read(device), ExchangeResult::Completed);
    QFile f(logPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    EXPECT_TRUE(all.contains("> [TX] ==== START READING ====\r\n"));
    EXPECT_TRUE(all.contains("> [TX] READ\r\n"));
    EXPECT_TRUE(all.contains("> [TX] 4E 45 58 54 \r\n"));
    EXPECT_FALSE(all.contains("[TX] OK"));
    EXPECT_FALSE(all.contains("[TX] 4F 4B"));
}

} // namespace

namespace {

TEST_F(Exchange, AnswersLeftUnreadByAStoppedJobAreNotSeenByTheNext) {
    DeviceScript slow;
    slow.readyNext = true;
    slow.answerDelayMs = 50;
    SimulatedDevice device(clock, slow);
    // Stopped after the first packet: the device's "NEXT" is still on its way.
    EXPECT_EQ(
        program(device, {},
                [&](FTDI_Controller& c) { clock.at(clock.TickCount() + 70, [&c] { c.Stop(); }); }),
        ExchangeResult::Stopped);
    clock.Sleep(100);
    FTDI_Controller next(device, clock, logPath());
    ASSERT_EQ(next.Open(nullptr, 0), OpenResult::Opened);
    std::uint32_t count = 0;
    for (int look = 0; look < 3; ++look) {
        EXPECT_EQ(next.ReadAvailable(next.receiveBuffer.data(), 100, &count), 0);
        EXPECT_EQ(count, 0u) << look;
        clock.Sleep(100);
    }
}

} // namespace

// The 10 ms polls of every exchange sleep on the system's clock: a sleep
// rounded up to a coarse scheduler tick (15.6 ms on Windows unless asked
// otherwise) would stretch a job by half. The median is judged, so that a
// busy machine's odd late wake-up does not count.
TEST(SteadyClock, SleepsEndNeitherEarlyNorATickLate) {
    for (const std::uint32_t ms : {1u, 10u}) {
        std::vector<double> took;
        for (int i = 0; i < 15; ++i) {
            const auto start = std::chrono::steady_clock::now();
            SteadyClock::instance().Sleep(ms);
            took.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            EXPECT_GE(took.back(), ms - 0.05) << ms << " ms";
        }
        std::sort(took.begin(), took.end());
        EXPECT_LT(took[took.size() / 2], ms + 4.0) << ms << " ms";
    }
}
