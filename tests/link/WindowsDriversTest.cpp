// The Windows cable drivers over scripted system calls: what each asks of the
// system, how it counts cables, and what it says when something fails.
#include "link/ComPortCableDriver.h"
#include "link/D2xxCableDriver.h"
#include "link/FTDI_Controller.h"
#include "link/Jobs.h"
#include "link/WindowsCableDriver.h"
#include "tests/support/LinkSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

namespace {

class ScriptedPorts final : public ComPortApi {
public:
    std::vector<Entry> entries;
    QStringList existing;
    Error openError = 0;
    QStringList calls;
    Settings settings;
    Timeouts timeouts{};
    QByteArray rx;
    std::uint32_t errors = 0;
    bool pulled = false;

    std::vector<Entry> ports() override { return entries; }
    Error exists(const QString& name) override { return existing.contains(name) ? 0 : NotFound; }
    Error open(const QString& path, Port* port) override {
        calls << QStringLiteral("open ") + path;
        if (openError)
            return openError;
        *port = this;
        return 0;
    }
    Error configure(Port, const Settings& s) override {
        calls << QStringLiteral("configure");
        if (s.xonChar == s.xoffChar)
            return 87; // ERROR_INVALID_PARAMETER, as SetCommState answers
        settings = s;
        return 0;
    }
    Error setTimeouts(Port, const Timeouts& t) override {
        calls << QStringLiteral("timeouts");
        timeouts = t;
        return 0;
    }
    Error clearErrors(Port, std::uint32_t* e, std::uint32_t* in, std::uint32_t* out) override {
        if (pulled)
            return 22; // ERROR_BAD_COMMAND: the device is gone
        *e = std::exchange(errors, 0);
        *in = static_cast<std::uint32_t>(rx.size());
        *out = 0;
        return 0;
    }
    Error purge(Port, std::uint32_t flags) override {
        calls << QStringLiteral("purge %1").arg(flags);
        if (flags & PurgeRx)
            rx.clear();
        return 0;
    }
    Error read(Port, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* got) override {
        *got = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(rx.size()));
        std::memcpy(buffer, rx.constData(), *got);
        rx.remove(0, *got);
        return 0;
    }
    Error write(Port, const std::uint8_t*, std::uint32_t size, std::uint32_t* put) override {
        *put = size;
        return 0;
    }
    void close(Port) override { calls << QStringLiteral("close"); }
    QString errorText(Error error) override { return QStringLiteral("system text %1").arg(error); }
};

ComPortApi::Entry ftdiPort(const char* name, const char* instance, int latency = 16) {
    return {QString::fromLatin1(name), QString::fromLatin1(instance), true, latency};
}

TEST(ComPortCableDriver, OpensThePortExclusivelyAsTheDeviceNeedsIt) {
    auto ports = std::make_shared<ScriptedPorts>();
    ports->entries = {ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000", 100)};
    ComPortCableDriver driver(ports, QString(), QStringLiteral("ftd2xx.dll not found"));
    QTemporaryDir dir;
    FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
    ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened);
    EXPECT_EQ(ports->calls.front(), QStringLiteral("open \\\\.\\COM5"));
    // The queues are emptied after the last setting, the time-outs.
    EXPECT_EQ(ports->calls.back(), QStringLiteral("purge 12"));
    EXPECT_EQ(ports->calls.at(ports->calls.size() - 2), QStringLiteral("timeouts"));
    const ComPortApi::Settings& s = ports->settings;
    EXPECT_EQ(std::tuple(s.baudRate, s.byteSize, s.parity, s.stopBits),
              std::tuple(115200u, 8, 0, 0));
    EXPECT_TRUE(s.binary);
    EXPECT_FALSE(s.parityCheck || s.outxCtsFlow || s.outxDsrFlow || s.dsrSensitivity || s.outX ||
                 s.inX || s.errorChar || s.discardNull || s.abortOnError);
    EXPECT_EQ(std::tuple(s.dtrControl, s.rtsControl), std::tuple(1, 1)); // raised, no handshake
    const ComPortApi::Timeouts& t = ports->timeouts;
    EXPECT_EQ(std::tuple(t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier,
                         t.writeConstant),
              std::tuple(0u, 0u, 200u, 0u, 10u));
    EXPECT_EQ(driver.driverName(), "COM5: ftd2xx.dll not found");
    EXPECT_TRUE(driver.latencyTimerProblem().reason.isEmpty());
}

TEST(ComPortCableDriver, ABreakOrAFramingErrorThrowsAwayWhatCameWithIt) {
    const struct {
        std::uint32_t errors;
        std::uint32_t queue;
    } cases[] = {{0, 5},
                 {ComPortApi::BreakSeen, 0},
                 {ComPortApi::FramingError, 0},
                 {0x01 /* CE_RXOVER */, 5}};
    for (const auto& c : cases) {
        auto ports = std::make_shared<ScriptedPorts>();
        ports->existing = {QStringLiteral("COM3")};
        ComPortCableDriver driver(ports, QStringLiteral("COM3"), QString());
        CableDriver::Handle h = 0;
        std::uint32_t n = 0;
        std::array<std::uint8_t, 64> list{};
        ASSERT_EQ(driver.CreateDeviceInfoList(&n), 0);
        ASSERT_EQ(driver.GetDeviceInfoList(list.data(), list.size(), &n), 0);
        ASSERT_EQ(driver.OpenEx(list.data() + CableDriver::SerialOffset, 1, &h), 0);
        ports->rx = QByteArray("\0READY", 6).mid(c.queue == 5 ? 1 : 0);
        ports->errors = c.errors;
        std::uint32_t rx = 0, tx = 0, ev = 0;
        ASSERT_EQ(driver.GetStatus(h, &rx, &tx, &ev), 0);
        EXPECT_EQ(rx, c.queue) << c.errors;
        // Gone from the queue, not only from the count.
        ASSERT_EQ(driver.GetStatus(h, &rx, &tx, &ev), 0);
        EXPECT_EQ(rx, c.queue) << c.errors;
        ports->pulled = true;
        EXPECT_NE(driver.GetStatus(h, &rx, &tx, &ev), 0);
    }
}

TEST(ComPortCableDriver, ALatencyTimerNotAt100MsIsToldAsTheAdministratorLeftIt) {
    const struct {
        const char* name;
        int latency;
        bool listed;
        int value;
        const char* reason;
    } cases[] = {
        {"at 100 ms", 100, true, -1, ""},
        {"at the default", 16, true, 16, "set by an administrator in the port's advanced settings"},
        {"not in the port's settings", -1, true, -1, "not among the port's settings"},
        {"a port of another make", 16, false, -1, ""},
    };
    for (const auto& c : cases) {
        auto ports = std::make_shared<ScriptedPorts>();
        ports->entries = {
            ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000", c.latency)};
        ports->entries[0].ftdi = c.listed;
        ports->existing = {QStringLiteral("COM5")};
        ComPortCableDriver driver(ports, QStringLiteral("COM5"), QString());
        QTemporaryDir dir;
        FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened) << c.name;
        EXPECT_EQ(driver.latencyTimerProblem().value, c.value) << c.name;
        EXPECT_EQ(driver.latencyTimerProblem().reason, QLatin1String(c.reason)) << c.name;
    }
}

TEST(ComPortCableDriver, CountsCablesByChipAndUsesTheFirstPort) {
    const struct {
        const char* name;
        std::vector<ComPortApi::Entry> entries;
        QStringList cables;
    } cases[] = {
        {"none", {}, {}},
        {"one", {ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000")}, {"COM5"}},
        {"two ports of one chip, B listed first",
         {ftdiPort("COM9", "FTDIBUS\\VID_0403+PID_6010+FT4ZQ1B\\0000"),
          ftdiPort("COM8", "FTDIBUS\\VID_0403+PID_6010+FT4ZQ1A\\0000")},
         {"COM8"}},
        {"two chips",
         {ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000"),
          ftdiPort("COM6", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJUA\\0000")},
         {"COM5", "COM6"}},
        {"a port of another make",
         {{QStringLiteral("COM1"), QStringLiteral("ACPI\\PNP0501\\0"), false, -1},
          ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000")},
         {"COM5"}},
    };
    for (const auto& c : cases) {
        QStringList names;
        for (const auto& cable : ComPortCableDriver::cablesOf(c.entries))
            names << cable.name;
        EXPECT_EQ(names, c.cables) << c.name;
    }
    for (const char* given : {"COM12", "\\\\.\\COM12", "com12", "COM12:"})
        EXPECT_EQ(ComPortCableDriver::portName(QString::fromLatin1(given)),
                  QStringLiteral("COM12"));
}

TEST(ComPortCableDriver, APortThatCannotBeOpenedIsNamedAndABusyOneSaysSo) {
    const QString busy = QStringLiteral("\nПорт занят другой программой. Закройте её и повторите.");
    const QString restart =
        QStringLiteral("\nПроверьте наличие драйвера и перезапустите программу.");
    const struct {
        const char* name;
        QString cable;
        ComPortApi::Error error;
        OpenResult opened;
        QString reason;
    } cases[] = {
        {"held by another program", QString(), ComPortApi::AccessDenied, OpenResult::DriverError,
         QStringLiteral("Драйвер FTDI не отвечает.\nCOM5: system text 5") + busy},
        {"shared with none", QString(), ComPortApi::SharingViolation, OpenResult::DriverError,
         QStringLiteral("Драйвер FTDI не отвечает.\nCOM5: system text 32") + busy},
        {"gone", QString(), ComPortApi::NotFound, OpenResult::DriverError,
         QStringLiteral("Драйвер FTDI не отвечает.") + restart +
             QStringLiteral("\nCOM5: system text 2")},
        {"UOO_CABLE names no port", QStringLiteral("\\\\.\\COM77"), 0, OpenResult::NoCable,
         QStringLiteral("Кабель FTDI не найден.\nCOM77: system text 2")},
    };
    for (const auto& c : cases) {
        auto ports = std::make_shared<ScriptedPorts>();
        ports->entries = {ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000")};
        ports->openError = c.error;
        ComPortCableDriver driver(ports, c.cable, QString());
        QTemporaryDir dir;
        FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        const OpenResult opened = ctl.Open(nullptr, 0);
        EXPECT_EQ(opened, c.opened) << c.name;
        EXPECT_EQ(openFailureReason(opened, driver.lastOpenProblem()), c.reason) << c.name;
    }
}

// FTDI's library as a table of functions over one scripted state.
struct FakeLibrary {
    std::vector<D2xxLibrary::Node> nodes;
    std::uint32_t openStatus = 0, setLatencyStatus = 0, getLatencyStatus = 0;
    int keptLatency = -1; // a timer that keeps its value
    std::uint8_t latency = 16;
    QByteArrayList opened;
    int closes = 0;
    bool timeoutsSet = false;
    QList<std::uint32_t> purgesAfterTimeouts;
};
FakeLibrary* fake = nullptr;

std::shared_ptr<D2xxLibrary> fakeLibrary(FakeLibrary& state, bool canReadTimer = true) {
    fake = &state;
    auto lib = std::make_shared<D2xxLibrary>();
    using S = D2xxLibrary::Status;
    using H = D2xxLibrary::Handle;
    lib->CreateDeviceInfoList = [](std::uint32_t* n) -> S {
        *n = static_cast<std::uint32_t>(fake->nodes.size());
        return 0;
    };
    lib->GetDeviceInfoList = [](D2xxLibrary::Node* list, std::uint32_t* n) -> S {
        std::copy(fake->nodes.begin(), fake->nodes.end(), list);
        *n = static_cast<std::uint32_t>(fake->nodes.size());
        return 0;
    };
    lib->OpenEx = [](void* arg, std::uint32_t, H* h) -> S {
        fake->opened << QByteArray(static_cast<const char*>(arg));
        *h = fake;
        return fake->openStatus;
    };
    lib->SetBaudRate = [](H, std::uint32_t) -> S { return 0; };
    lib->SetDataCharacteristics = [](H, std::uint8_t, std::uint8_t, std::uint8_t) -> S {
        return 0;
    };
    lib->SetFlowControl = [](H, std::uint16_t, std::uint8_t, std::uint8_t) -> S { return 0; };
    lib->SetLatencyTimer = [](H, std::uint8_t ms) -> S {
        if (fake->setLatencyStatus == 0 && fake->keptLatency < 0)
            fake->latency = ms;
        return fake->setLatencyStatus;
    };
    lib->SetTimeouts = [](H, std::uint32_t, std::uint32_t) -> S {
        fake->timeoutsSet = true;
        return 0;
    };
    lib->Purge = [](H, std::uint32_t mask) -> S {
        if (fake->timeoutsSet)
            fake->purgesAfterTimeouts << mask;
        return 0;
    };
    lib->GetStatus = [](H, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* ev) -> S {
        *rx = *tx = *ev = 0;
        return 0;
    };
    lib->Read = [](H, void*, std::uint32_t, std::uint32_t* n) -> S { return *n = 0; };
    lib->Write = [](H, void*, std::uint32_t size, std::uint32_t* n) -> S {
        *n = size;
        return 0;
    };
    lib->Close = [](H) -> S {
        ++fake->closes;
        return 0;
    };
    if (canReadTimer)
        lib->GetLatencyTimer = [](H, std::uint8_t* ms) -> S {
            *ms = fake->latency;
            return fake->getLatencyStatus;
        };
    return lib;
}

D2xxLibrary::Node node(const char* serial, std::uint32_t id = 0x04036010,
                       std::uint32_t loc = 0x2111, std::uint32_t flags = 0) {
    D2xxLibrary::Node n{};
    n.flags = flags;
    n.id = id;
    n.locId = loc;
    std::strncpy(n.serialNumber, serial, sizeof n.serialNumber);
    return n;
}

TEST(D2xxCableDriver, CountsTheEntriesOfOneChipAsOneCable) {
    const struct {
        const char* name;
        std::vector<D2xxLibrary::Node> nodes;
        QByteArrayList cables;
    } cases[] = {
        {"one port", {node("A5XK3RJT", 0x04036001, 0x2111)}, {"A5XK3RJT"}},
        {"two ports, B first", {node("FT4ZQ1B", 0x04036010, 0x2112), node("FT4ZQ1A")}, {"FT4ZQ1A"}},
        {"four ports", {node("FT9A"), node("FT9B"), node("FT9C"), node("FT9D")}, {"FT9A"}},
        {"two chips of one kind",
         {node("FT4ZQ1A"), node("FT4ZQ2A", 0x04036010, 0x2121)},
         {"FT4ZQ1A", "FT4ZQ2A"}},
        {"serials a letter apart, elsewhere on the bus",
         {node("FT4ZQ1A", 0x04036010, 0x2111), node("FT4ZQ1B", 0x04036010, 0x3111)},
         {"FT4ZQ1A", "FT4ZQ1B"}},
        {"another kind of chip",
         {node("FT4ZQ1A"), node("FT4ZQ1B", 0x04036001)},
         {"FT4ZQ1A", "FT4ZQ1B"}},
        {"last letters that are no ports",
         {node("A5XK3RJT"), node("A5XK3RJU", 0x04036010, 0x2112)},
         {"A5XK3RJT", "A5XK3RJU"}},
        {"an entry another program holds", {node("", 0, 0, D2xxLibrary::FlagOpened)}, {""}},
        {"a chip whose first port another program holds",
         {node("", 0, 0, D2xxLibrary::FlagOpened), node("FT4ZQ1B", 0x04036010, 0x2112)},
         {""}},
    };
    for (const auto& c : cases) {
        QByteArrayList serials;
        for (const auto& cable : D2xxCableDriver::cablesOf(c.nodes))
            serials << cable.serial;
        EXPECT_EQ(serials, c.cables) << c.name;
    }
}

TEST(D2xxCableDriver, AnEntryAnotherProgramHoldsIsNamedNotGuessedAt) {
    const struct {
        const char* name;
        D2xxLibrary::Node entry;
        std::uint32_t openStatus;
        QString reason;
    } cases[] = {
        {"empty serial", node("", 0, 0, D2xxLibrary::FlagOpened), 0,
         QStringLiteral("Драйвер FTDI не отвечает.\nD2XX, устройство 0: открыто другой программой "
                        "(FT_DEVICE_NOT_OPENED)\nПорт занят другой программой. Закройте её и "
                        "повторите.")},
        {"refused by the library", node("A5XK3RJT"), D2xxLibrary::DeviceNotOpened,
         QStringLiteral("Драйвер FTDI не отвечает.\nD2XX A5XK3RJT: FT_DEVICE_NOT_OPENED\nПорт "
                        "занят другой программой. Закройте её и повторите.")},
        {"gone", node("A5XK3RJT"), 2,
         QStringLiteral("Драйвер FTDI не отвечает.\nПроверьте наличие драйвера и перезапустите "
                        "программу.\nD2XX A5XK3RJT: FT_DEVICE_NOT_FOUND")},
    };
    for (const auto& c : cases) {
        FakeLibrary state;
        state.nodes = {c.entry};
        state.openStatus = c.openStatus;
        D2xxCableDriver driver(fakeLibrary(state));
        QTemporaryDir dir;
        FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        EXPECT_EQ(ctl.Open(nullptr, 0), OpenResult::DriverError) << c.name;
        EXPECT_EQ(openFailureReason(OpenResult::DriverError, driver.lastOpenProblem()), c.reason)
            << c.name;
        EXPECT_EQ(state.opened.size(), c.entry.serialNumber[0] ? 1 : 0) << c.name;
    }
}

TEST(D2xxCableDriver, TheLatencyTimerIsSetReadBackAndToldWhenItIsNot) {
    const struct {
        const char* name;
        std::uint32_t setStatus, getStatus;
        int kept;
        bool canRead;
        const char* line; // after the start and driver lines; none when empty
    } cases[] = {
        {"set", 0, 0, -1, true, ""},
        {"kept by the driver", 0, 0, 16, true,
         "==== LATENCY TIMER 16 ms: the driver keeps its own value ===="},
        {"refused", 4, 0, -1, true, "==== LATENCY TIMER 16 ms: FT_IO_ERROR ===="},
        {"unreadable", 0, 4, -1, true,
         "==== LATENCY TIMER unknown: FT_GetLatencyTimer: FT_IO_ERROR ===="},
        {"no call to read it", 0, 0, -1, false,
         "==== LATENCY TIMER unknown: FT_GetLatencyTimer not in ftd2xx.dll ===="},
    };
    for (const auto& c : cases) {
        FakeLibrary state;
        state.nodes = {node("A5XK3RJT")};
        state.setLatencyStatus = c.setStatus;
        state.getLatencyStatus = c.getStatus;
        state.keptLatency = c.kept;
        QTemporaryDir dir;
        {
            auto lib = fakeLibrary(state, c.canRead);
            WindowsCableDriver driver([lib](QString*) { return lib; },
                                      std::make_shared<ScriptedPorts>(), QString());
            VirtualClock clock;
            FTDI_ReadCtrl ctl(driver, clock, dir.filePath(QStringLiteral("log")));
            ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened) << c.name;
            clock.at(clock.TickCount() + 50, [&ctl] { ctl.Stop(); });
            (void)ctl.Start(); // only the closing is looked at
        }
        EXPECT_EQ(state.closes, 1) << c.name;
        // Both queues emptied after the last setting.
        EXPECT_EQ(state.purgesAfterTimeouts, QList<std::uint32_t>{3}) << c.name;
        QFile log(dir.filePath(QStringLiteral("log")));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        ASSERT_GE(lines.size(), 3);
        EXPECT_TRUE(lines[0].endsWith("> [TX] ==== START READING ====\r")) << c.name;
        EXPECT_TRUE(lines[1].endsWith("> [TX] ==== DRIVER D2XX ====\r")) << c.name;
        EXPECT_TRUE(*c.line ? lines[2].endsWith(QByteArray(c.line) + '\r')
                            : lines[2].endsWith("> [TX] READ\r"))
            << c.name << ": " << lines[2].toStdString();
    }
}

TEST(WindowsCableDriver, TheLibraryServesUnlessItIsMissingOrACableIsNamed) {
    const struct {
        const char* name;
        bool loads;
        QString cable;
        const char* driverName;
        int loaderCalls;
    } cases[] = {
        {"library there", true, QString(), "D2XX", 1},
        {"library missing", false, QString(), "COM5: ftd2xx.dll not found", 1},
        {"cable named", true, QStringLiteral("COM5"), "COM5: UOO_CABLE is set", 0},
    };
    for (const auto& c : cases) {
        FakeLibrary state;
        state.nodes = {node("A5XK3RJT")};
        auto lib = fakeLibrary(state);
        auto ports = std::make_shared<ScriptedPorts>();
        ports->entries = {ftdiPort("COM5", "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000", 100)};
        ports->existing = {QStringLiteral("COM5")};
        int calls = 0;
        WindowsCableDriver driver(
            [&](QString* whyNot) -> std::shared_ptr<const D2xxLibrary> {
                ++calls;
                if (c.loads)
                    return lib;
                *whyNot = QStringLiteral("ftd2xx.dll not found");
                return nullptr;
            },
            ports, c.cable);
        QTemporaryDir dir;
        FTDI_Controller ctl(driver, SteadyClock::instance(), dir.filePath(QStringLiteral("log")));
        ASSERT_EQ(ctl.Open(nullptr, 0), OpenResult::Opened) << c.name;
        EXPECT_EQ(driver.driverName(), c.driverName) << c.name;
        EXPECT_EQ(calls, c.loaderCalls) << c.name;
    }
}

} // namespace
