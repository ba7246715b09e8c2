#include "emulator/PtyDevice.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Steady = std::chrono::steady_clock;

// Consecutive answers leave the device this far apart, so that each one
// reaches the program in a read of its own, as from the real device.
constexpr auto kGap = std::chrono::milliseconds(30);

// 115200 baud, ten bits a byte.
constexpr std::int64_t kByteNs = 1'000'000'000 / 11520;

// Writes all of `bytes` to the non-blocking master.
void writeAll(int fd, const char* bytes, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, bytes + done, static_cast<std::size_t>(size - done));
        if (w > 0)
            done += w;
        else if (w < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
}

} // namespace

PtyDevice::PtyDevice(DeviceScript script, std::uint32_t usbLatencyMs)
    : device_(std::move(script)), usbLatencyMs_(usbLatencyMs) {}

PtyDevice::~PtyDevice() {
    stop();
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

bool PtyDevice::open() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    path_ = QString::fromLocal8Bit(name);
    // Keeping the far end open lets the program open and close it at will;
    // raw from the start, so nothing is echoed before the program sets it.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

void PtyDevice::startThread() {
    stop_.store(false);
    thread_ = std::thread([this] { serve(stop_); });
}

void PtyDevice::stop() {
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

void PtyDevice::vanish() {
    stop();
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyDevice::serve(const std::atomic<bool>& stop) {
    const auto period = std::chrono::milliseconds(usbLatencyMs_);
    auto nextSend = Steady::now();
    bool headTimed = false;
    // Chip mode: the answer on the line, when it began, how much is handed over.
    QByteArray transit;
    Steady::time_point transitStart;
    qsizetype handed = 0;
    std::uint8_t buffer[512];
    while (!stop.load() && master_ >= 0) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, usbLatencyMs_ > 0 ? 1 : 2);
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        std::lock_guard lock(mutex_);
        if (n > 0)
            device_.receive(buffer, static_cast<std::size_t>(n));
        if (!transit.isEmpty()) {
            // The free-running timer's last tick: what the line had carried by
            // then goes to the program in one piece.
            const auto now = Steady::now();
            const auto tick = Steady::time_point(now.time_since_epoch() / period * period);
            const std::int64_t ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(tick - transitStart).count();
            const qsizetype arrived =
                ns <= 0 ? 0 : std::min<qsizetype>(transit.size(), ns / kByteNs);
            if (arrived > handed) {
                writeAll(master_, transit.constData() + handed, arrived - handed);
                handed = arrived;
            }
            if (handed == transit.size()) {
                nextSend = transitStart + std::chrono::nanoseconds(transit.size() * kByteNs) + kGap;
                transit.clear();
            }
            continue;
        }
        auto& outbox = device_.outbox();
        if (outbox.empty())
            continue;
        if (!headTimed) {
            headTimed = true;
            nextSend = std::max(nextSend,
                                Steady::now() + std::chrono::milliseconds(outbox.front().delayMs));
        }
        if (Steady::now() < nextSend)
            continue;
        const QByteArray chunk = outbox.front().bytes;
        outbox.pop_front();
        headTimed = false;
        if (usbLatencyMs_ > 0) {
            transit = chunk;
            transitStart = Steady::now();
            handed = 0;
            continue;
        }
        writeAll(master_, chunk.constData(), chunk.size());
        nextSend = Steady::now() + kGap;
    }
}

ConfigFrame PtyDevice::storedFrame() const {
    std::lock_guard lock(mutex_);
    return device_.storedFrame();
}

void PtyDevice::setStoredFrame(const ConfigFrame& frame) {
    std::lock_guard lock(mutex_);
    device_.setStoredFrame(frame);
}

int PtyDevice::framesStored() const {
    std::lock_guard lock(mutex_);
    return device_.framesStored();
}

int PtyDevice::readsCompleted() const {
    std::lock_guard lock(mutex_);
    return device_.readsCompleted();
}
