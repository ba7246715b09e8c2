#pragma once

#include "emulator/EmulatedDevice.h"

#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

// An emulated device on a pseudo-terminal: the program, pointed at the
// terminal's path with UOO_CABLE, talks to it as to a real cable.
class PtyDevice {
public:
    // usbLatencyMs > 0 hands each answer over as a USB chip does: at each
    // tick of a latency timer of that period, the bytes that a 115200-baud
    // line has carried by then.
    explicit PtyDevice(DeviceScript script = {}, std::uint32_t usbLatencyMs = 0);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Opens the terminal pair; false with the reason in error().
    bool open();
    const QString& path() const { return path_; }
    const QString& error() const { return error_; }

    // Serves the dialogues on a thread of its own until stop() or the
    // destructor.
    void startThread();
    // Serves on the calling thread until `stop` is set.
    void serve(const std::atomic<bool>& stop);
    void stop();
    // The cable is pulled out: the program's side sees a hang-up.
    void vanish();

    ConfigFrame storedFrame() const;
    void setStoredFrame(const ConfigFrame& frame);
    int framesStored() const;
    int readsCompleted() const;

private:
    mutable std::mutex mutex_;
    EmulatedDevice device_;
    std::uint32_t usbLatencyMs_ = 0;
    int master_ = -1;
    int slave_ = -1;
    QString path_;
    QString error_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
