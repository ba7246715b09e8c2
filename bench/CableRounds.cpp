// Programs a frame into the device emulator and reads it back, N times each,
// through one cable driver, and prints how many succeeded and how long each
// kind took (median and slowest, in ms):
//   cable_rounds tty PATH N     the Linux tty driver on the emulator's terminal
//   cable_rounds com COMn N     Windows: the COM-port driver on a mapped port
//   cable_rounds d2xx COMn N    Windows: the driver library (the tests'
//                               stand-in in the system folder) over that port
#include "link/Clock.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "link/FTDI_Controller.h"
#include "link/SystemCable.h"

#ifdef _WIN32
#include "link/Win32Cable.h"
#include "link/WindowsCableDriver.h"
#else
#include "link/TtyCableDriver.h"
#endif

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::shared_ptr<CableDriver> driverFor(const char* kind, const QString& port) {
#ifdef _WIN32
    if (std::strcmp(kind, "d2xx") == 0) {
        qputenv("UOO_FAKE_D2XX", "BENCH1A,0x04036010,0x2111,0," + port.toLatin1());
        return std::make_shared<WindowsCableDriver>(loadD2xxLibrary, newWin32ComPortApi(),
                                                    QString());
    }
    if (std::strcmp(kind, "com") == 0)
        return std::make_shared<WindowsCableDriver>(loadD2xxLibrary, newWin32ComPortApi(), port);
#else
    if (std::strcmp(kind, "tty") == 0) {
        TtyCableDriver::Paths paths;
        paths.cableOverride = port;
        return std::make_shared<TtyCableDriver>(paths);
    }
#endif
    return nullptr;
}

struct Figures {
    int ok = 0;
    std::vector<double> ms;
    void print(const char* what, int n) {
        std::sort(ms.begin(), ms.end());
        std::printf("%s %d/%d ok, median %.0f ms, slowest %.0f ms\n", what, ok, n,
                    ms.empty() ? 0.0 : ms[ms.size() / 2], ms.empty() ? 0.0 : ms.back());
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s tty|com|d2xx PORT N\n", argv[0]);
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[2]);
    const int n = std::atoi(argv[3]);
    if (!driverFor(argv[1], port) || n <= 0) {
        std::fprintf(stderr, "usage: %s tty|com|d2xx PORT N\n", argv[0]);
        return 2;
    }
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("ProgLog.log"));
    Figures programmed, read;
    for (int i = 0; i < n; ++i) {
        ConfigFrame frame{};
        for (int b = 0; b < 262; ++b)
            frame[static_cast<size_t>(b)] = static_cast<std::uint8_t>(b * 31 + i);
        const std::uint16_t crc = Crc16(frame.data(), 262);
        frame[262] = static_cast<std::uint8_t>(crc & 0xFF);
        frame[263] = static_cast<std::uint8_t>(crc >> 8);
        QElapsedTimer t;
        t.start();
        {
            auto driver = driverFor(argv[1], port);
            FTDI_Controller ctl(*driver, SteadyClock::instance(), log);
            if (ctl.Open(frame.data(), ConfigFrameSize) == OpenResult::Opened &&
                ctl.Start() == ExchangeResult::Completed)
                ++programmed.ok;
        }
        programmed.ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        t.restart();
        auto driver = driverFor(argv[1], port);
        FTDI_ReadCtrl ctl(*driver, SteadyClock::instance(), log);
        if (ctl.Open(nullptr, 0) == OpenResult::Opened &&
            ctl.Start() == ExchangeResult::Completed && ctl.dataLength == ConfigFrameSize &&
            std::equal(frame.begin(), frame.end(), ctl.dataBuffer.begin()))
            ++read.ok;
        read.ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    programmed.print("programming", n);
    read.print("reading", n);
    return programmed.ok == n && read.ok == n ? 0 : 1;
}
