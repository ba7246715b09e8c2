#pragma once

#include "link/CableDriver.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

struct termios;

// The cable through the kernel's ftdi_sio driver: cables are found in sysfs
// as USB devices of vendor 0403 with a tty bound to ftdi_sio (one cable may
// carry several ttys), opened by serial number as their first tty, raw,
// exclusive, 115200 8N1.
class TtyCableDriver final : public CableDriver {
public:
    struct Paths {
        QString sysRoot = QStringLiteral("/sys");
        QString devRoot = QStringLiteral("/dev");
        // When set, this tty is the one and only cable.
        QString cableOverride;
    };
    struct Cable {
        QByteArray serial;
        QString usbDevice;
        QStringList ttys; // sorted, first one used
    };

    // Paths from the environment: UOO_CABLE names the tty to use.
    static Paths fromEnvironment();
    static constexpr char OverrideSerial[] = "UOO_CABLE";

    explicit TtyCableDriver(Paths paths = fromEnvironment());
    ~TtyCableDriver() override;

    // The FTDI cables attached now.
    std::vector<Cable> findCables() const;

    // Sets a latency timer through its sysfs file and reads it back; what
    // to report when it could not be set to `milliseconds`.
    static LatencyProblem setLatencyTimerFile(const QString& path, int milliseconds);

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

    // The tty the open cable uses, for messages and tests.
    const QString& openTty() const { return ttyName_; }

private:
    bool valid(Handle handle) const { return handle == 1 && fd_ >= 0; }
    int applyTermios(const std::function<void(struct termios&)>& change);
    int openFailed(const QString& path, int fd);

    Paths paths_;
    std::vector<Cable> cables_;
    int fd_ = -1;
    QString ttyName_;
    OpenProblem openProblem_;
    LatencyProblem latencyProblem_;
    std::uint32_t readTimeoutMs_ = 200;
    std::uint32_t writeTimeoutMs_ = 10;
};
