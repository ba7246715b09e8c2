#pragma once

#include "link/CableDriver.h"

#include <QString>

#include <functional>
#include <memory>

struct D2xxLibrary;
class ComPortApi;

// The cable on Windows: through FTDI's driver library where it is installed,
// else through the virtual COM port FTDI's driver makes. The choice is made
// at each job's search for the cable; UOO_CABLE always means a COM port.
class WindowsCableDriver final : public CableDriver {
public:
    // Loads the library, or says in English why it cannot be used.
    using LibraryLoader = std::function<std::shared_ptr<const D2xxLibrary>(QString* whyNot)>;

    WindowsCableDriver(LibraryLoader loadLibrary, std::shared_ptr<ComPortApi> ports,
                       QString cableOverride);
    ~WindowsCableDriver() override;

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
    OpenProblem lastOpenProblem() const override;
    LatencyProblem latencyTimerProblem() const override;
    QByteArray driverName() const override;

private:
    CableDriver& chosen();

    LibraryLoader loadLibrary_;
    std::shared_ptr<ComPortApi> ports_;
    QString override_;
    std::unique_ptr<CableDriver> chosen_;
};
