// Programming and reading over the tty driver, against the device emulator on
// a pseudo-terminal that hands its answers over as a USB chip does at each
// tick of its latency timer (1, 16 and 100 ms), many times in a row. The
// baseline, measured in the same run, is the emulator handing every answer
// over whole.
//   chip_bench [runs]   (50 of each by default)
#include "emulator/PtyDevice.h"
#include "link/Clock.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/FTDI_Controller.h"
#include "link/TtyCableDriver.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Tally {
    int ok = 0;
    std::vector<double> ms;
    double median() {
        if (ms.empty())
            return 0;
        std::sort(ms.begin(), ms.end());
        return ms[ms.size() / 2];
    }
};

template <class Controller>
bool once(const TtyCableDriver::Paths& paths, const QString& log, const ConfigFrame* frame,
          Tally& tally) {
    TtyCableDriver driver(paths);
    Controller ctl(driver, SteadyClock::instance(), log);
    const auto start = std::chrono::steady_clock::now();
    if (ctl.Open(frame ? frame->data() : nullptr, frame ? ConfigFrameSize : 0) !=
        OpenResult::Opened)
        return false;
    const ExchangeResult result = ctl.Start();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (result != ExchangeResult::Completed)
        return false;
    if (!frame &&
        (ctl.dataLength != ConfigFrameSize || !isValidFrame(ctl.dataBuffer.data(), ctl.dataLength)))
        return false;
    ++tally.ok;
    tally.ms.push_back(ms);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("ProgLog.log"));
    double baseRead = 0, baseProgram = 0;
    for (std::uint32_t latency : {0u, 1u, 16u, 100u}) {
        PtyDevice device({}, latency);
        if (!device.open()) {
            std::printf("cannot open a pseudo-terminal: %s\n", qPrintable(device.error()));
            return 1;
        }
        device.startThread();
        TtyCableDriver::Paths paths;
        paths.cableOverride = device.path();
        Tally program, read;
        for (int run = 0; run < runs; ++run) {
            ConfigFrame frame{};
            for (int i = 0; i < 262; ++i)
                frame[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i * 31 + run + latency);
            const std::uint16_t crc = Crc16(frame.data(), 262);
            frame[262] = static_cast<std::uint8_t>(crc & 0xFF);
            frame[263] = static_cast<std::uint8_t>(crc >> 8);
            once<FTDI_Controller>(paths, log, &frame, program);
            once<FTDI_ReadCtrl>(paths, log, nullptr, read);
        }
        const double r = read.median(), p = program.median();
        if (latency == 0) {
            baseRead = r;
            baseProgram = p;
            std::printf("answers whole (baseline): programming %d/%d, median %.0f ms; "
                        "reading %d/%d, median %.0f ms\n",
                        program.ok, runs, p, read.ok, runs, r);
        } else {
            std::printf("USB chip at %3u ms: programming %d/%d, median %.0f ms (%.2fx); "
                        "reading %d/%d, median %.0f ms (%.2fx)\n",
                        latency, program.ok, runs, p, baseProgram > 0 ? p / baseProgram : 0.0,
                        read.ok, runs, r, baseRead > 0 ? r / baseRead : 0.0);
        }
        std::fflush(stdout);
    }
    return 0;
}
