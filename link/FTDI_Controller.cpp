#include "link/FTDI_Controller.h"

#include "link/Clock.h"
#include "link/Exchanges.h"
#include "platform/FileSystem.h"
#include "store/DateTime.h"

#include <QFile>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstring>

FTDI_Controller::FTDI_Controller(CableDriver& driver, Clock& clock, const QString& logPath)
    : driver_(driver), clock_(clock) {
    const QByteArray name = platform::encodeName(logPath);
    // The log holds every frame byte, PINs and passwords among them. Opened
    // without blocking (a FIFO under its name must not freeze the window)
    // and without following a link.
    const int flags =
        platform::WriteOnly | platform::Create | platform::NoFollow | platform::NonBlocking;
    int fd = platform::openFile(name.constData(), flags, 0600);
    platform::FileStatus st;
    if (fd >= 0 && platform::statusOf(fd, &st) == 0 && st.regular() && st.links > 1) {
        // A second name of another file: truncating it would empty that
        // file, so the log gets a file of its own.
        platform::closeFile(fd);
        fd = platform::removeFile(name.constData()) == 0
                 ? platform::openFile(name.constData(), flags | platform::Exclusive, 0600)
                 : -1;
        if (fd >= 0)
            (void)platform::statusOf(fd, &st);
    }
    if (fd < 0) {
        // A FIFO without a reader, a directory or a link under the name
        // refuse the open in their own words; the operator hears one.
        const int error = errno;
        platform::FileStatus there;
        logError_ = platform::statusOf(name.constData(), &there, false) == 0 && !there.regular()
                        ? QStringLiteral("Это не обычный файл.")
                        : platform::errorText(error);
        return;
    }
    if (!st.regular()) {
        logError_ = QStringLiteral("Это не обычный файл.");
        platform::closeFile(fd);
        return;
    }
    // Another copy of the program in the middle of a job keeps its log.
    if (!platform::lockWhole(fd, false)) {
        logError_ = QStringLiteral("Файл занят другой программой.");
        platform::closeFile(fd);
        return;
    }
    if (platform::truncateFile(fd) != 0 || platform::setMode(fd, 0600) != 0) {
        logError_ = platform::errorText(errno);
        platform::closeFile(fd);
        return;
    }
    logFd_ = fd;
}

FTDI_Controller::~FTDI_Controller() {
    Close();
}

void FTDI_Controller::Close() {
    if (handle != 0)
        (void)driver_.Close(handle);
    handle = 0;
    if (logFd_ >= 0)
        platform::closeFile(logFd_);
    logFd_ = -1;
}

OpenResult FTDI_Controller::Open(const std::uint8_t* data, int length) {
    std::uint32_t count = 0;
    if (driver_.CreateDeviceInfoList(&count) != 0 || count == 0)
        return OpenResult::NoCable;
    if (count > 1)
        return OpenResult::ManyCables;
    if (driver_.GetDeviceInfoList(deviceList.data(), deviceList.size(), &count) != 0)
        return OpenResult::DriverError;
    CableDriver::Handle opened = 0;
    if (driver_.OpenEx(deviceList.data() + CableDriver::SerialOffset,
                       CableDriver::OpenBySerialNumber, &opened) != 0)
        return OpenResult::DriverError;
    handle = opened;
    // All five settings are made, in this order, whatever each one answers.
    const int baud = driver_.SetBaudRate(handle, 115200);
    const int chars = driver_.SetDataCharacteristics(handle, 8, 0, 0);
    const int flow = driver_.SetFlowControl(handle, 0, 0, 0);
    const int latency = driver_.SetLatencyTimer(handle, 100);
    (void)driver_.SetTimeouts(handle, 200, 10); // not examined, as ever
    if (baud != 0 || chars != 0 || flow != 0 || latency != 0) {
        (void)driver_.Close(handle);
        handle = 0;
        return OpenResult::DriverError;
    }
    if (data && length > 0 && length < BufferSize) {
        std::memcpy(dataBuffer.data(), data, static_cast<std::size_t>(length));
        dataLength = length;
    }
    return OpenResult::Opened;
}

ExchangeResult FTDI_Controller::Start() {
    if (handle == 0)
        return ExchangeResult::CableError;
    if (!running.load())
        return ExchangeResult::Stopped;
    return Run();
}

ExchangeResult FTDI_Controller::Run() {
    const auto n = static_cast<std::size_t>(std::clamp(dataLength, 0, BufferSize));
    std::memcpy(sendBuffer.data(), dataBuffer.data(), n);
    return ProgramExchange(*this);
}

ExchangeResult FTDI_ReadCtrl::Run() {
    return ReadExchange(*this);
}

int FTDI_Controller::ReadAvailable(std::uint8_t* buffer, int capacity, std::uint32_t* count) {
    std::memset(buffer, 0, static_cast<std::size_t>(capacity));
    *count = 0;
    std::uint32_t rx = 0, tx = 0, events = 0;
    const int status = driver_.GetStatus(handle, &rx, &tx, &events);
    if (status != 0)
        return status;
    const auto cap = static_cast<std::uint32_t>(capacity);
    if (rx < 1 || rx >= cap)
        return status;
    // Never more than capacity - 1, so a zero byte always ends what was read.
    const std::uint32_t toRead = std::min(std::max<std::uint32_t>(rx, 5), cap - 1);
    std::uint32_t got = 0;
    const int readStatus = driver_.Read(handle, buffer, toRead, &got);
    got = std::min(got, toRead);
    if (got > 0)
        LogLine(HexDump(buffer, static_cast<int>(got)), false);
    *count = got;
    return readStatus;
}

int FTDI_Controller::writeBytes(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t* written) {
    *written = 0;
    return driver_.Write(handle, data, size, written);
}

void FTDI_Controller::LogLine(QByteArrayView text, bool outgoing) {
    if (logFd_ < 0)
        return;
    QByteArray line = timeOfDayText(QTime::currentTime()).toLatin1();
    line += '(';
    line += QByteArray::number(clock_.TickCount() - startTick);
    line += outgoing ? ") > [TX] " : ") > [RX] ";
    line += text;
    line += "\r\n";
    // A log that cannot be written does not stop the exchange.
    const char* p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const long long n = platform::writeSome(logFd_, p, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= n;
    }
}

void FTDI_Controller::logStart(QByteArrayView startLine) {
    startTick = clock_.TickCount();
    LogLine(startLine, true);
    const QByteArray driverName = driver_.driverName();
    if (!driverName.isEmpty())
        LogLine("==== DRIVER " + driverName + " ====", true);
    const CableDriver::LatencyProblem latency = driver_.latencyTimerProblem();
    if (!latency.reason.isEmpty())
        LogLine("==== LATENCY TIMER " +
                    (latency.value >= 0 ? QByteArray::number(latency.value) + " ms"
                                        : QByteArray("unknown")) +
                    ": " + latency.reason.toLatin1() + " ====",
                true);
}

QByteArray FTDI_Controller::HexDump(const std::uint8_t* bytes, int count) {
    static const char digits[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(count * 3);
    for (int i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
        out += ' ';
    }
    return out;
}
