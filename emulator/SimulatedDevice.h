#pragma once

#include "emulator/EmulatedDevice.h"
#include "link/CableDriver.h"

#include <QByteArray>

#include <mutex>

class Clock;

// How a simulated cable itself misbehaves.
struct CableScript {
    int cables = 1;              // what the device count reports
    bool refuseBaudRate = false; // the baud rate call fails
    int vanishAfterCalls = -1;   // after this many calls on the open cable, all fail
    // A USB chip's latency timer, in ms: the device's bytes reach the program
    // only at each tick of it, as many as a 115200-baud line has carried by
    // then, so an answer may come in pieces. 0 hands every answer over whole.
    std::uint32_t usbLatencyMs = 0;
};

// A cable with an emulated device on its far end, inside the program: a
// person without hardware can program a card and read it back, and tests can
// make the device misbehave in every way the script allows.
class SimulatedDevice final : public CableDriver {
public:
    explicit SimulatedDevice(Clock& clock, DeviceScript device = {}, CableScript cable = {});

    int CreateDeviceInfoList(std::uint32_t* count) override;
    int GetDeviceInfoList(std::uint8_t* list, std::size_t capacity, std::uint32_t* count) override;
    int OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) override;
    int SetBaudRate(Handle handle, std::uint32_t baud) override;
    int SetDataCharacteristics(Handle handle, std::uint8_t wordLength, std::uint8_t stopBits,
                               std::uint8_t parity) override;
    int SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon,
                       std::uint8_t xoff) override;
    int SetLatencyTimer(Handle handle, std::uint8_t milliseconds) override;
    int SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) override;
    int GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                  std::uint32_t* events) override;
    int Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
             std::uint32_t* read) override;
    int Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
              std::uint32_t* written) override;
    int Close(Handle handle) override;

    ConfigFrame storedFrame() const;
    void setStoredFrame(const ConfigFrame& frame);
    int framesStored() const;
    int readsCompleted() const;
    bool isOpen() const;
    int opens() const;
    // Opens attempted while the cable was already open: two jobs at once.
    int doubleOpens() const;
    // Everything the program wrote, in order.
    QByteArray received() const;
    void setScript(const DeviceScript& script);

    static constexpr char Serial[] = "SIMULATED";

private:
    bool usable(Handle handle);
    // Moves what the program may see by now into the queue: whole answers
    // one after another, or a chip's handed-over bytes.
    void release();
    // When more bytes will be there to read; false when nothing is on its way.
    bool nextArrival(std::uint32_t* tick) const;
    bool chip() const { return cable_.usbLatencyMs > 0; }

    mutable std::mutex mutex_;
    Clock& clock_;
    EmulatedDevice device_;
    CableScript cable_;
    QByteArray queue_;
    bool headTimed_ = false;
    std::uint32_t headDue_ = 0;
    // Chip mode: the answer on the line, when it began and how much of it the
    // chip has handed over.
    QByteArray transit_;
    std::uint32_t transitStart_ = 0;
    qsizetype handed_ = 0;
    bool open_ = false;
    int opens_ = 0;
    int doubleOpens_ = 0;
    int calls_ = 0;
    std::uint32_t readTimeout_ = 200;
    QByteArray received_;
};
