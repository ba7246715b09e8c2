#include "link/TtyCableDriver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray readSysFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(256).trimmed();
}

// The natural order of tty names: ttyUSB2 before ttyUSB10.
bool ttyLess(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

// The path a name finally leads to, links resolved; 0, or the system's error.
int resolvePath(const QString& path, QString* resolved) {
    char buffer[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), buffer))
        return errno;
    *resolved = QFile::decodeName(buffer);
    return 0;
}

// The system's words for an error, and what a user refused the port can do.
CableDriver::OpenProblem problemOf(const QString& path, int error) {
    return {path, QString::fromLocal8Bit(std::strerror(error)),
            error == EACCES || error == EPERM ? CableDriver::OpenProblem::Advice::JoinDialoutGroup
                                              : CableDriver::OpenProblem::Advice::None};
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

TtyCableDriver::Paths TtyCableDriver::fromEnvironment() {
    Paths p;
    p.cableOverride = qEnvironmentVariable("UOO_CABLE");
    return p;
}

TtyCableDriver::TtyCableDriver(Paths paths) : paths_(std::move(paths)) {}

TtyCableDriver::~TtyCableDriver() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::vector<TtyCableDriver::Cable> TtyCableDriver::findCables() const {
    std::vector<Cable> cables;
    if (!paths_.cableOverride.isEmpty()) {
        // A link such as /dev/serial/by-id/... counts as the tty it names,
        // whose name the sysfs paths need.
        QString resolved;
        if (resolvePath(paths_.cableOverride, &resolved) == 0)
            cables.push_back({QByteArray(OverrideSerial), QString(), {resolved}});
        return cables;
    }
    const QDir usb(paths_.sysRoot + QStringLiteral("/bus/usb/devices"));
    const QStringList entries = usb.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& device : entries) {
        if (device.contains(QLatin1Char(':')))
            continue; // an interface, not a device
        if (readSysFile(usb.filePath(device + QStringLiteral("/idVendor"))) != "0403")
            continue;
        Cable cable;
        cable.usbDevice = device;
        cable.serial = readSysFile(usb.filePath(device + QStringLiteral("/serial")));
        for (const QString& intf : entries) {
            if (!intf.startsWith(device + QLatin1Char(':')))
                continue;
            // Only a port of the serial driver is a cable's; an FTDI chip in
            // a JTAG probe or a programmer has no tty of ftdi_sio.
            if (QFileInfo(usb.filePath(intf + QStringLiteral("/driver")))
                    .symLinkTarget()
                    .section(QLatin1Char('/'), -1) != QLatin1String("ftdi_sio"))
                continue;
            const QDir d(usb.filePath(intf));
            for (const QString& tty : d.entryList({QStringLiteral("tty*")}, QDir::Dirs))
                if (tty != QLatin1String("tty"))
                    cable.ttys << tty;
            // Some kernels put the name one level down, under tty/.
            const QDir sub(usb.filePath(intf + QStringLiteral("/tty")));
            for (const QString& tty : sub.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                cable.ttys << tty;
        }
        if (cable.ttys.isEmpty())
            continue;
        std::sort(cable.ttys.begin(), cable.ttys.end(), ttyLess);
        cables.push_back(std::move(cable));
    }
    return cables;
}

int TtyCableDriver::CreateDeviceInfoList(std::uint32_t* count) {
    openProblem_ = {};
    cables_ = findCables();
    QString resolved;
    if (!paths_.cableOverride.isEmpty()) {
        if (const int error = resolvePath(paths_.cableOverride, &resolved))
            openProblem_ = problemOf(paths_.cableOverride, error);
    }
    *count = static_cast<std::uint32_t>(cables_.size());
    return 0;
}

int TtyCableDriver::GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                      std::uint32_t* count) {
    *count = static_cast<std::uint32_t>(cables_.size());
    for (std::size_t i = 0; i < cables_.size(); ++i)
        writeEntry(list, capacity, i, cables_[i].serial);
    return 0;
}

int TtyCableDriver::OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) {
    if (openBy != OpenBySerialNumber || fd_ >= 0)
        return StatusError;
    const QByteArray wanted = serialOf(serial);
    for (const Cable& cable : cables_) {
        if (cable.serial.left(SerialSize) != wanted || cable.ttys.isEmpty())
            continue;
        const QString& tty = cable.ttys.front();
        const QString path =
            tty.startsWith(QLatin1Char('/')) ? tty : paths_.devRoot + QLatin1Char('/') + tty;
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return openFailed(path, fd);
        // No other program may open the port while we hold it.
        if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY)
            return openFailed(path, fd);
        termios t{};
        if (::tcgetattr(fd, &t) != 0)
            return openFailed(path, fd);
        // Raw bytes both ways. A device switched off while the port is open
        // sends a BREAK, and a garbled byte may carry a framing error: both
        // are dropped rather than read as NUL bytes before the next keyword.
        //
        // The modem lines are left as the kernel drives them: DTR and RTS
        // rise when the port opens and fall on its last close, since HUPCL
        // stays set. The programming connector uses only the data lines and
        // ground, so they carry nothing the device listens to, and a port
        // left as a freshly plugged cable is in is what any other program
        // expects of it.
        ::cfmakeraw(&t);
        t.c_iflag |= IGNBRK | IGNPAR;
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &t) != 0)
            return openFailed(path, fd);
        fd_ = fd;
        ttyName_ = QFileInfo(path).fileName();
        *handle = 1;
        return 0;
    }
    return StatusError;
}

int TtyCableDriver::openFailed(const QString& path, int fd) {
    openProblem_ = problemOf(path, errno);
    if (fd >= 0)
        ::close(fd);
    return StatusError;
}

int TtyCableDriver::applyTermios(const std::function<void(termios&)>& change) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        return StatusError;
    change(t);
    return ::tcsetattr(fd_, TCSANOW, &t) == 0 ? 0 : StatusError;
}

int TtyCableDriver::SetBaudRate(Handle handle, std::uint32_t baud) {
    if (!valid(handle))
        return StatusError;
    speed_t speed;
    switch (baud) {
    case 9600:
        speed = B9600;
        break;
    case 19200:
        speed = B19200;
        break;
    case 38400:
        speed = B38400;
        break;
    case 57600:
        speed = B57600;
        break;
    case 115200:
        speed = B115200;
        break;
    case 230400:
        speed = B230400;
        break;
    default:
        return StatusError;
    }
    return applyTermios([speed](termios& t) { ::cfsetspeed(&t, speed); });
}

int TtyCableDriver::SetDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                           std::uint8_t stopBits, std::uint8_t parity) {
    if (!valid(handle) || (wordLength != 7 && wordLength != 8) ||
        (stopBits != 0 && stopBits != 2) || parity > 2)
        return StatusError;
    return applyTermios([=](termios& t) {
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
        t.c_cflag |= wordLength == 8 ? CS8 : CS7;
        if (stopBits == 2)
            t.c_cflag |= CSTOPB;
        if (parity != 0)
            t.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
    });
}

int TtyCableDriver::SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon,
                                   std::uint8_t xoff) {
    if (!valid(handle))
        return StatusError;
    return applyTermios([=](termios& t) {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        if (flow == 0x0100)
            t.c_cflag |= CRTSCTS;
        if (flow == 0x0400) {
            t.c_iflag |= IXON | IXOFF;
            t.c_cc[VSTART] = xon;
            t.c_cc[VSTOP] = xoff;
        }
    });
}

TtyCableDriver::LatencyProblem TtyCableDriver::setLatencyTimerFile(const QString& path,
                                                                   int milliseconds) {
    const QByteArray name = QFile::encodeName(path);
    if (::access(name.constData(), F_OK) != 0)
        return {}; // no such timer: a pseudo-terminal, or an adapter of another make
    // A timer the system already keeps at the value (the package's udev
    // rule sets it when the cable is plugged in) needs no write, which a
    // user who is given the port but not the setting could not make.
    if (readSysFile(path).toInt() == milliseconds)
        return {};
    int error = 0;
    const QByteArray text = QByteArray::number(milliseconds);
    const int out = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
    if (out < 0 || ::write(out, text.constData(), static_cast<std::size_t>(text.size())) < 0)
        error = errno;
    if (out >= 0)
        ::close(out);
    const int value = readSysFile(path).toInt();
    if (error == 0 && value == milliseconds)
        return {};
    // The log is plain ASCII: the reason in the system's own English words.
    return {value, error != 0 ? QString::fromLatin1(::strerrordesc_np(error))
                              : QStringLiteral("the driver keeps its own value")};
}

int TtyCableDriver::SetLatencyTimer(Handle handle, std::uint8_t milliseconds) {
    if (!valid(handle))
        return StatusError;
    // Only the kernel's FTDI driver has the setting, and only a user allowed
    // to write it may change it; a refusal leaves the cable working at the
    // value it has, and the exchange log says so.
    latencyProblem_ =
        setLatencyTimerFile(paths_.sysRoot + QStringLiteral("/bus/usb-serial/devices/") + ttyName_ +
                                QStringLiteral("/latency_timer"),
                            milliseconds);
    return 0;
}

int TtyCableDriver::SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) {
    if (!valid(handle))
        return StatusError;
    readTimeoutMs_ = readMs;
    writeTimeoutMs_ = writeMs;
    // The last of the settings: whatever came in or was queued before the
    // port was configured as the device's is thrown away.
    ::tcflush(fd_, TCIOFLUSH);
    return 0;
}

int TtyCableDriver::GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                              std::uint32_t* events) {
    *rxQueue = *txQueue = *events = 0;
    if (!valid(handle))
        return StatusError;
    // A cable pulled out, or a far end that closed, shows as a hang-up.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return StatusError;
    int rx = 0;
    if (::ioctl(fd_, FIONREAD, &rx) != 0 || rx < 0)
        return StatusError;
    int tx = 0;
    if (::ioctl(fd_, TIOCOUTQ, &tx) == 0 && tx > 0)
        *txQueue = static_cast<std::uint32_t>(tx);
    *rxQueue = static_cast<std::uint32_t>(rx);
    return 0;
}

int TtyCableDriver::Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                         std::uint32_t* read) {
    *read = 0;
    if (!valid(handle))
        return StatusError;
    // A raw terminal reads 0 bytes when nothing is there, so waiting is
    // left to poll; a readable port that gives nothing has hung up.
    const std::int64_t deadline = nowMs() + readTimeoutMs_;
    while (*read < toRead) {
        const std::int64_t left = std::max<std::int64_t>(deadline - nowMs(), 0);
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return StatusError;
        }
        if (r == 0)
            break; // time-out: what came is what there is
        if (p.revents & (POLLERR | POLLNVAL))
            return StatusError;
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(fd_, buffer + *read, toRead - *read);
            if (n > 0) {
                *read += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return StatusError;
        }
        if (p.revents & POLLHUP)
            return StatusError;
    }
    return 0;
}

int TtyCableDriver::Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                          std::uint32_t* written) {
    *written = 0;
    if (!valid(handle))
        return StatusError;
    const std::int64_t deadline = nowMs() + writeTimeoutMs_;
    while (*written < toWrite) {
        const ssize_t n = ::write(fd_, data + *written, toWrite - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return StatusError;
        const std::int64_t left = deadline - nowMs();
        if (left <= 0)
            break; // the count tells the caller it was short
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return StatusError;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return StatusError;
    }
    return 0;
}

int TtyCableDriver::Close(Handle handle) {
    if (!valid(handle))
        return StatusError;
    ::close(fd_);
    fd_ = -1;
    ttyName_.clear();
    return 0;
}
