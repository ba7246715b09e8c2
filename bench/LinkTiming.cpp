// Timings of the device link that need the real clock:
//  - programming a 264-byte frame into the simulated device answering at
//    once, against the sum of the sleeps the exchange asks for (its floor);
//  - CPU time used while the handshake polls a silent device for 10 s, with
//    the simulated device and with a pseudo-terminal through the tty driver.
#include "emulator/PtyDevice.h"
#include "emulator/SimulatedDevice.h"
#include "link/Clock.h"
#include "link/ConfigFrame.h"
#include "link/FTDI_Controller.h"
#include "link/TtyCableDriver.h"

#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

// The real clock, counting what the exchange asks to sleep.
class CountingClock final : public Clock {
public:
    std::uint32_t TickCount() override { return real_.TickCount(); }
    void Sleep(std::uint32_t ms) override {
        slept += ms;
        real_.Sleep(ms);
    }
    std::uint64_t slept = 0;

private:
    SteadyClock real_;
};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void programmingAgainstItsFloor(const QString& log) {
    std::vector<double> ratios;
    double wallSum = 0, floorSum = 0;
    for (int run = 0; run < 15; ++run) {
        CountingClock clock;
        DeviceScript script;
        script.readyNext = run % 2 == 1;
        SimulatedDevice device(clock, script);
        FTDI_Controller ctl(device, clock, log);
        ConfigFrame frame{};
        const auto start = std::chrono::steady_clock::now();
        const OpenResult opened = ctl.Open(frame.data(), ConfigFrameSize);
        const ExchangeResult result =
            opened == OpenResult::Opened ? ctl.Start() : ExchangeResult::CableError;
        const double wall =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (result != ExchangeResult::Completed) {
            std::printf("programming failed: %d\n", static_cast<int>(result));
            return;
        }
        ratios.push_back(wall / static_cast<double>(clock.slept));
        wallSum += wall;
        floorSum += static_cast<double>(clock.slept);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("programming 264 bytes: mean wall %.1f ms, mean floor (sleeps) %.1f ms, "
                "median ratio %.3fx, worst %.3fx\n",
                wallSum / 15, floorSum / 15, ratios[ratios.size() / 2], ratios.back());
}

void silentHandshakeCpu(const char* name, CableDriver& driver, Clock& clock, const QString& log,
                        int seconds) {
    FTDI_Controller ctl(driver, clock, log);
    ConfigFrame frame{};
    if (ctl.Open(frame.data(), ConfigFrameSize) != OpenResult::Opened) {
        std::printf("%s: cannot open\n", name);
        return;
    }
    double cpu = 0;
    std::thread job([&] {
        const double before = threadCpuSeconds();
        (void)ctl.Start(); // stopped from outside: only its CPU time counts
        cpu = threadCpuSeconds() - before;
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ctl.Stop();
    job.join();
    std::printf("%s: silent handshake for %d s used %.3f s of CPU, %.2f%% of one core\n", name,
                seconds, cpu, 100.0 * cpu / seconds);
}

} // namespace

int main() {
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("ProgLog.log"));
    programmingAgainstItsFloor(log);

    SteadyClock clock;
    DeviceScript silent;
    silent.silent = true;
    SimulatedDevice device(clock, silent);
    silentHandshakeCpu("simulated device", device, clock, log, 10);

    PtyDevice pty(silent);
    if (pty.open()) {
        pty.startThread();
        TtyCableDriver::Paths paths;
        paths.cableOverride = pty.path();
        TtyCableDriver tty(paths);
        silentHandshakeCpu("tty driver over a pseudo-terminal", tty, clock, log, 10);
    }
    return 0;
}
