#pragma once

#include "link/CableDriver.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>

class Clock;

// What Open found: the cable opened, the driver failed, no cable, or more
// than one.
enum class [[nodiscard]] OpenResult : int{Opened = 0, DriverError = 1, NoCable = 2, ManyCables = 3};
// How Start and the exchanges ended: completed, the cable failed, the
// operator stopped it, or the device said no.
enum class [[nodiscard]] ExchangeResult : int{
    Completed = 0,
    CableError = 1,
    Stopped = 2,
    DeviceError = 3,
};

// The cable connection of one job: finds the one cable, opens and configures
// it, keeps the data to send or received, runs one exchange and writes every
// line of it to the exchange log. Closing the cable and the log is left to
// the destructor.
class FTDI_Controller {
public:
    static constexpr int BufferSize = 4096;
    static constexpr int ReceiveCapacity = 100;
    static constexpr const char* DefaultLogName = "ProgLog.log";

    // Creates the log afresh, readable by its owner only. Whether that
    // worked is told by logReady(); a job must not start without it.
    FTDI_Controller(CableDriver& driver, Clock& clock,
                    const QString& logPath = QString::fromLatin1(DefaultLogName));
    virtual ~FTDI_Controller();
    FTDI_Controller(const FTDI_Controller&) = delete;
    FTDI_Controller& operator=(const FTDI_Controller&) = delete;

    bool logReady() const { return logFd_ >= 0; }
    // Why the log could not be created, from the system.
    const QString& logError() const { return logError_; }

    // Finds, opens and configures the cable; keeps data of 1..4095 bytes as
    // the frame to send.
    OpenResult Open(const std::uint8_t* data, int length);
    // 1 without an open cable, 2 once stopped; otherwise runs the exchange.
    ExchangeResult Start();
    // From any thread, at any moment from the controller's creation on: the
    // job ends with 2 at its next look at the flag. Nothing sets the flag
    // again, so a stop pressed while the job still builds its frame or opens
    // the cable is not lost.
    void Stop() { running.store(false); }
    // Closes the cable and the log now rather than at destruction, so a job
    // lets go of the cable as soon as its work is done.
    void Close();

    // Reads what the device has sent so far into `buffer`, zero-filled first.
    // Fewer than 5 waiting bytes are read as 5, so the read waits for the rest
    // of a keyword; a queue of `capacity` bytes or more is left unread.
    [[nodiscard]] int ReadAvailable(std::uint8_t* buffer, int capacity, std::uint32_t* count);
    // Writes through the driver; the exchanges judge status and count.
    [[nodiscard]] int writeBytes(const std::uint8_t* data, std::uint32_t size,
                                 std::uint32_t* written);
    // "<time>(<ms since startTick>) > [TX] <text>\r\n", or [RX] for incoming.
    void LogLine(QByteArrayView text, bool outgoing);
    // Begins an exchange: takes startTick and logs its start line, then which
    // driver serves the cable where there is a choice, then, when the cable's
    // latency timer could not be set, what it is and why.
    void logStart(QByteArrayView startLine);
    static QByteArray HexDump(const std::uint8_t* bytes, int count);

    CableDriver& driver() { return driver_; }
    Clock& clock() { return clock_; }
    bool isRunning() const { return running.load(); }

    std::array<std::uint8_t, 1000> deviceList{};
    CableDriver::Handle handle = 0;
    // Armed when the controller is made, at the operator's press.
    std::atomic<bool> running{true};
    std::array<std::uint8_t, BufferSize> sendBuffer{};
    std::array<std::uint8_t, BufferSize> receiveBuffer{};
    std::array<std::uint8_t, BufferSize> dataBuffer{};
    std::int32_t dataLength = 0;
    std::uint32_t startTick = 0;
    // Programming: the end packet has gone out, so the device may hold the
    // frame; a stop then waits for its verdict.
    bool allSent = false;

protected:
    // Programming: sends dataLength bytes of dataBuffer.
    virtual ExchangeResult Run();

private:
    CableDriver& driver_;
    Clock& clock_;
    int logFd_ = -1;
    QString logError_;
};

// The reading job's controller: the same, running the reading exchange.
class FTDI_ReadCtrl final : public FTDI_Controller {
public:
    using FTDI_Controller::FTDI_Controller;

protected:
    ExchangeResult Run() override;
};
