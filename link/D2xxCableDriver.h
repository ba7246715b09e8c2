#pragma once

#include "link/CableDriver.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The library's calling convention; the same as any other on 64-bit Windows.
#if defined(_WIN32) && !defined(_WIN64)
#define UOO_D2XX_CALL __stdcall
#else
#define UOO_D2XX_CALL
#endif

// FTDI's driver library as the program uses it: the calls it exports by
// name, each returning the library's status (0 for success).
struct D2xxLibrary {
    using Status = std::uint32_t;
    using Handle = void*;
    // One entry of the library's device list.
    struct Node {
        std::uint32_t flags;
        std::uint32_t type;
        std::uint32_t id;
        std::uint32_t locId;
        char serialNumber[16];
        char description[64];
        Handle handle;
    };
    static constexpr std::uint32_t FlagOpened = 1; // another program has the entry open
    static constexpr Status DeviceNotOpened = 3;

    Status(UOO_D2XX_CALL* CreateDeviceInfoList)(std::uint32_t* count) = nullptr;
    Status(UOO_D2XX_CALL* GetDeviceInfoList)(Node* list, std::uint32_t* count) = nullptr;
    Status(UOO_D2XX_CALL* OpenEx)(void* arg, std::uint32_t flags, Handle* handle) = nullptr;
    Status(UOO_D2XX_CALL* SetBaudRate)(Handle, std::uint32_t baud) = nullptr;
    Status(UOO_D2XX_CALL* SetDataCharacteristics)(Handle, std::uint8_t wordLength,
                                                  std::uint8_t stopBits,
                                                  std::uint8_t parity) = nullptr;
    Status(UOO_D2XX_CALL* SetFlowControl)(Handle, std::uint16_t flow, std::uint8_t xon,
                                          std::uint8_t xoff) = nullptr;
    Status(UOO_D2XX_CALL* SetLatencyTimer)(Handle, std::uint8_t milliseconds) = nullptr;
    Status(UOO_D2XX_CALL* SetTimeouts)(Handle, std::uint32_t readMs,
                                       std::uint32_t writeMs) = nullptr;
    Status(UOO_D2XX_CALL* GetStatus)(Handle, std::uint32_t* rx, std::uint32_t* tx,
                                     std::uint32_t* events) = nullptr;
    Status(UOO_D2XX_CALL* Read)(Handle, void* buffer, std::uint32_t toRead,
                                std::uint32_t* read) = nullptr;
    Status(UOO_D2XX_CALL* Write)(Handle, void* data, std::uint32_t toWrite,
                                 std::uint32_t* written) = nullptr;
    Status(UOO_D2XX_CALL* Close)(Handle) = nullptr;
    // Not needed to work: without them the timer is not read back, and the
    // queues are not emptied after the settings.
    Status(UOO_D2XX_CALL* GetLatencyTimer)(Handle, std::uint8_t* milliseconds) = nullptr;
    Status(UOO_D2XX_CALL* Purge)(Handle, std::uint32_t mask) = nullptr;

    // What frees the library when the last user lets go of it.
    std::shared_ptr<void> module;

    // The name of a status, as the library's guide spells it.
    static QByteArray statusName(Status status);
};

// The cable through FTDI's driver library. The library lists each port of a
// chip with several ports as an entry of its own; those of one chip are one
// cable here, whose first port is used.
class D2xxCableDriver final : public CableDriver {
public:
    explicit D2xxCableDriver(std::shared_ptr<const D2xxLibrary> library);
    ~D2xxCableDriver() override;

    struct Cable {
        QByteArray serial; // of the port used; empty for an entry another program holds
        int entry = 0;     // the library's index of that port
    };
    // Entries of one chip become one cable: serial numbers that differ only
    // in a last port letter A to D, the same device ID, and the same location
    // apart from its last digit, the port's.
    static std::vector<Cable> cablesOf(const std::vector<D2xxLibrary::Node>& nodes);

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
    OpenProblem lastOpenProblem() const override { return openProblem_; }
    LatencyProblem latencyTimerProblem() const override { return latencyProblem_; }
    QByteArray driverName() const override { return QByteArrayLiteral("D2XX"); }

private:
    // The library's handle behind the controller's 32-bit one.
    D2xxLibrary::Handle open(Handle handle) const { return handle == 1 ? open_ : nullptr; }

    std::shared_ptr<const D2xxLibrary> lib_;
    std::vector<Cable> cables_;
    int listStatus_ = 0;
    D2xxLibrary::Handle open_ = nullptr;
    OpenProblem openProblem_;
    LatencyProblem latencyProblem_;
};
