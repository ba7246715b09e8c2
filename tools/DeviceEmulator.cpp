// A device emulator on a pseudo-terminal. It prints the terminal's path; run
// the programmer with UOO_CABLE set to it to program and read without a
// device:
//   uoo-device-emulator [--readynext] [--error-at N] [--packet-size N]
#include "tools/PtyDevice.h"

#include "link/Crc.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop.store(true); }

} // namespace

int main(int argc, char** argv) {
    DeviceScript script;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--readynext") == 0) {
            script.readyNext = true;
        } else if (std::strcmp(argv[i], "--error-at") == 0 && i + 1 < argc) {
            script.errorAtAnswer = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--packet-size") == 0 && i + 1 < argc) {
            script.readPacketSize = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--readynext] [--error-at N] [--packet-size N]\n",
                         argv[0]);
            return 2;
        }
    }
    PtyDevice device(script);
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
