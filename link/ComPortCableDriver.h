#pragma once

#include "link/CableDriver.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The system calls the COM-port driver makes, one for each of the Win32
// communications calls it needs, so that a test can script them. Each
// returns 0 or the system's error code.
class ComPortApi {
public:
    using Port = void*;
    using Error = std::uint32_t;
    static constexpr Error AccessDenied = 5;                              // ERROR_ACCESS_DENIED
    static constexpr Error SharingViolation = 32;                         // ERROR_SHARING_VIOLATION
    static constexpr Error NotFound = 2;                                  // ERROR_FILE_NOT_FOUND
    static constexpr std::uint32_t BreakSeen = 0x10, FramingError = 0x08; // CE_BREAK, CE_FRAME
    static constexpr std::uint32_t PurgeRx = 0x08, PurgeTx = 0x04; // PURGE_RXCLEAR, PURGE_TXCLEAR

    // A serial port of the system's device list.
    struct Entry {
        QString name;       // COM5
        QString instanceId; // FTDIBUS\VID_0403+PID_6001+A5XK3RJTA\0000
        bool ftdi = false;  // a hardware id names vendor 0403
        int latencyMs = -1; // the driver's latency timer, when it has one
    };
    // The fields of the port's DCB the driver sets; the others stay as the
    // system has them.
    struct Settings {
        std::uint32_t baudRate = 115200;
        std::uint8_t byteSize = 8;
        std::uint8_t parity = 0;   // NOPARITY, ODDPARITY, EVENPARITY
        std::uint8_t stopBits = 0; // ONESTOPBIT, TWOSTOPBITS = 2
        bool binary = true;
        bool parityCheck = false;
        bool outxCtsFlow = false;
        bool outxDsrFlow = false;
        std::uint8_t dtrControl = 1; // DTR_CONTROL_ENABLE: raised, no handshake
        bool dsrSensitivity = false;
        bool outX = false;
        bool inX = false;
        bool errorChar = false;
        bool discardNull = false;    // fNull: NUL bytes are data inside packets
        std::uint8_t rtsControl = 1; // RTS_CONTROL_ENABLE; 2 would be the handshake
        bool abortOnError = false;
        char xonChar = 0x11;
        char xoffChar = 0x13;
    };
    struct Timeouts {
        std::uint32_t readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant;
    };

    virtual ~ComPortApi() = default;
    virtual std::vector<Entry> ports() = 0;
    // Whether a name is a device of the system (QueryDosDeviceW).
    virtual Error exists(const QString& name) = 0;
    // CreateFileW, read and write, no sharing.
    virtual Error open(const QString& path, Port* port) = 0;
    // GetCommState, the fields of `settings`, SetCommState.
    virtual Error configure(Port port, const Settings& settings) = 0;
    virtual Error setTimeouts(Port port, const Timeouts& timeouts) = 0;
    // ClearCommError: the errors it cleared and the two queues' counts.
    virtual Error clearErrors(Port port, std::uint32_t* errors, std::uint32_t* inQueue,
                              std::uint32_t* outQueue) = 0;
    virtual Error purge(Port port, std::uint32_t flags) = 0;
    virtual Error read(Port port, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* got) = 0;
    virtual Error write(Port port, const std::uint8_t* data, std::uint32_t size,
                        std::uint32_t* put) = 0;
    virtual void close(Port port) = 0;
    // The system's words for an error, in its language (FormatMessageW).
    virtual QString errorText(Error error) = 0;
};

// The cable through the virtual COM port of FTDI's driver: the FTDI ports of
// the system's device list, one cable per chip (its first port used), or the
// one port UOO_CABLE names. Opened exclusively, 115200 8N1, binary, no flow
// control, NUL bytes kept.
class ComPortCableDriver final : public CableDriver {
public:
    struct Cable {
        QString name; // COM5
        int latencyMs = -1;
        bool ftdi = false; // a port of FTDI's driver, which has the timer
    };
    // `cableOverride`: COM5 or \\.\COM12, the only cable; `whyNotLibrary`:
    // why the driver library does not serve the job, for the log.
    ComPortCableDriver(std::shared_ptr<ComPortApi> api, QString cableOverride,
                       QString whyNotLibrary);
    ~ComPortCableDriver() override;

    // The FTDI ports grouped by chip: the ports of a chip with several have
    // instance ids that differ only in the serial number's last letter.
    static std::vector<Cable> cablesOf(const std::vector<ComPortApi::Entry>& ports);
    // "COM12" for "\\.\COM12", "com12" or "COM12:".
    static QString portName(const QString& given);

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
    QByteArray driverName() const override;

private:
    bool valid(Handle handle) const { return handle == 1 && port_ != nullptr; }
    int configure();

    std::shared_ptr<ComPortApi> api_;
    QString override_;
    QString whyNotLibrary_;
    std::vector<Cable> cables_;
    ComPortApi::Port port_ = nullptr;
    Cable openCable_;
    ComPortApi::Settings settings_;
    OpenProblem openProblem_;
    LatencyProblem latencyProblem_;
};
