#include "tools/PtyDevice.h"

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

} // namespace

PtyDevice::PtyDevice(DeviceScript script) : device_(std::move(script)) {}

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
    auto nextSend = Steady::now();
    bool headTimed = false;
    std::uint8_t buffer[512];
    while (!stop.load() && master_ >= 0) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 2);
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        std::lock_guard lock(mutex_);
        if (n > 0)
            device_.receive(buffer, static_cast<std::size_t>(n));
        auto& outbox = device_.outbox();
        if (outbox.empty())
            continue;
        if (!headTimed) {
            headTimed = true;
            nextSend = std::max(nextSend, Steady::now() +
                                              std::chrono::milliseconds(outbox.front().delayMs));
        }
        if (Steady::now() < nextSend)
            continue;
        const QByteArray chunk = outbox.front().bytes;
        outbox.pop_front();
        headTimed = false;
        qsizetype done = 0;
        while (done < chunk.size()) {
            const ssize_t w = ::write(master_, chunk.constData() + done,
                                      static_cast<std::size_t>(chunk.size() - done));
            if (w > 0)
                done += w;
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
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
