// A device emulator on a pseudo-terminal. It prints the terminal's path; run
// the programmer with UOO_CABLE set to it to program and read without a
// device:
//   uoo-device-emulator [--readynext] [--error-at N] [--packet-size N] [--usb-latency MS]
//                       [--frame FILE]
// --frame: the device starts out holding the 264 bytes of FILE, so that
// reading it shows any settings at all, even ones the editor would not make.
#include "emulator/PtyDevice.h"

#include "link/Crc.h"
#include "link/Exchanges.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop.store(true);
}

// A whole decimal number within [low, high], or false.
bool parseNumber(const char* text, long low, long high, long* value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--readynext] [--error-at N] [--packet-size 1..35] "
                 "[--usb-latency 1..255] [--frame FILE]\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    DeviceScript script;
    long latency = 0;
    const char* frameFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (std::strcmp(option, "--readynext") == 0) {
            script.readyNext = true;
            continue;
        }
        if (std::strcmp(option, "--error-at") == 0 && parseNumber(value, 0, 1000000, &number)) {
            script.errorAtAnswer = static_cast<int>(number);
        } else if (std::strcmp(option, "--packet-size") == 0 &&
                   parseNumber(value, 1, MaxAcceptedPacketData, &number)) {
            script.readPacketSize = static_cast<int>(number);
        } else if (std::strcmp(option, "--frame") == 0 && value) {
            frameFile = value;
        } else if (std::strcmp(option, "--usb-latency") == 0 &&
                   parseNumber(value, 1, 255, &number)) {
            latency = number;
        } else {
            return usage(argv[0]);
        }
        ++i;
    }
    PtyDevice device(script, static_cast<std::uint32_t>(latency));
    if (frameFile) {
        QFile file(QString::fromLocal8Bit(frameFile));
        const QByteArray bytes =
            file.open(QIODevice::ReadOnly) ? file.read(ConfigFrameSize + 1) : QByteArray();
        if (bytes.size() != ConfigFrameSize) {
            std::fprintf(stderr, "%s: not a frame of %d bytes\n", frameFile, ConfigFrameSize);
            return 1;
        }
        ConfigFrame frame{};
        std::memcpy(frame.data(), bytes.constData(), frame.size());
        device.setStoredFrame(frame);
    }
    if (!device.open()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal: %s\n", qPrintable(device.error()));
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("%s\n", qPrintable(device.path()));
    std::fflush(stdout);

    std::thread server([&] { device.serve(g_stop); });
    int stored = 0, reads = 0;
    while (!g_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (device.framesStored() != stored) {
            stored = device.framesStored();
            const ConfigFrame f = device.storedFrame();
            std::fprintf(stderr, "frame %d programmed, CRC %02X%02X\n", stored, f[263], f[262]);
        }
        if (device.readsCompleted() != reads) {
            reads = device.readsCompleted();
            std::fprintf(stderr, "frame read back (%d)\n", reads);
        }
    }
    server.join();
    return 0;
}
