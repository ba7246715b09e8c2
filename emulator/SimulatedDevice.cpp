#include "emulator/SimulatedDevice.h"

#include "link/Clock.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// 115200 baud, ten bits a byte.
constexpr std::uint32_t LineBytesPerSecond = 11520;

std::uint32_t bytesOnLine(std::uint32_t ms) {
    return static_cast<std::uint32_t>(std::uint64_t{ms} * LineBytesPerSecond / 1000);
}

// The first tick of a free-running timer of `period` at or after `t`.
std::uint32_t tickAtOrAfter(std::uint32_t t, std::uint32_t period) {
    return (t + period - 1) / period * period;
}

} // namespace

SimulatedDevice::SimulatedDevice(Clock& clock, DeviceScript device, CableScript cable)
    : clock_(clock), device_(std::move(device)), cable_(cable) {}

int SimulatedDevice::CreateDeviceInfoList(std::uint32_t* count) {
    std::lock_guard lock(mutex_);
    *count = static_cast<std::uint32_t>(std::max(cable_.cables, 0));
    return 0;
}

int SimulatedDevice::GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                       std::uint32_t* count) {
    std::lock_guard lock(mutex_);
    const int cables = std::max(cable_.cables, 0);
    *count = static_cast<std::uint32_t>(cables);
    for (int i = 0; i < cables; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * EntrySize;
        if (at + EntrySize > capacity)
            break;
        std::memset(list + at, 0, EntrySize);
        std::string serial = Serial;
        if (i > 0)
            serial += std::to_string(i);
        std::memcpy(list + at + SerialOffset, serial.data(),
                    std::min<std::size_t>(serial.size(), SerialSize));
    }
    return 0;
}

int SimulatedDevice::OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) {
    std::lock_guard lock(mutex_);
    if (open_) {
        ++doubleOpens_;
        return StatusError;
    }
    if (openBy != OpenBySerialNumber || cable_.cables < 1 ||
        std::strncmp(reinterpret_cast<const char*>(serial), Serial, SerialSize) != 0)
        return StatusError;
    open_ = true;
    ++opens_;
    calls_ = 0;
    // Opening flushes the port: nothing a stopped job left unread is seen.
    queue_.clear();
    device_.outbox().clear();
    headTimed_ = false;
    transit_.clear();
    *handle = 1;
    return 0;
}

bool SimulatedDevice::usable(Handle handle) {
    if (!open_ || handle != 1)
        return false;
    ++calls_;
    return cable_.vanishAfterCalls < 0 || calls_ <= cable_.vanishAfterCalls;
}

int SimulatedDevice::SetBaudRate(Handle handle, std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    if (!usable(handle) || cable_.refuseBaudRate || baud == 0)
        return StatusError;
    return 0;
}

int SimulatedDevice::SetDataCharacteristics(Handle handle, std::uint8_t, std::uint8_t,
                                            std::uint8_t) {
    std::lock_guard lock(mutex_);
    return usable(handle) ? 0 : StatusError;
}

int SimulatedDevice::SetFlowControl(Handle handle, std::uint16_t, std::uint8_t, std::uint8_t) {
    std::lock_guard lock(mutex_);
    return usable(handle) ? 0 : StatusError;
}

int SimulatedDevice::SetLatencyTimer(Handle handle, std::uint8_t) {
    std::lock_guard lock(mutex_);
    return usable(handle) ? 0 : StatusError;
}

int SimulatedDevice::SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t) {
    std::lock_guard lock(mutex_);
    if (!usable(handle))
        return StatusError;
    readTimeout_ = readMs;
    return 0;
}

void SimulatedDevice::release() {
    auto& outbox = device_.outbox();
    const std::uint32_t now = clock_.TickCount();
    for (;;) {
        if (!transit_.isEmpty()) {
            // The chip hands over, at its last tick, what the line has brought.
            const std::uint32_t tick = now / cable_.usbLatencyMs * cable_.usbLatencyMs;
            const std::int32_t onLine = static_cast<std::int32_t>(tick - transitStart_);
            const qsizetype arrived =
                onLine <= 0 ? 0
                            : std::min<qsizetype>(transit_.size(),
                                                  bytesOnLine(static_cast<std::uint32_t>(onLine)));
            if (arrived > handed_) {
                queue_ += transit_.mid(handed_, arrived - handed_);
                handed_ = arrived;
            }
            if (handed_ < transit_.size())
                return;
            // The next answer may follow at once, on the line's own time.
            const std::uint32_t lineFree =
                transitStart_ + static_cast<std::uint32_t>((std::uint64_t(transit_.size()) * 1000 +
                                                            LineBytesPerSecond - 1) /
                                                           LineBytesPerSecond);
            transit_.clear();
            if (!outbox.empty()) {
                headTimed_ = true;
                headDue_ = lineFree + outbox.front().delayMs;
            }
            continue;
        }
        // Whole answers: the next one once the program has taken the last.
        if ((!chip() && !queue_.isEmpty()) || outbox.empty())
            return;
        if (!headTimed_) {
            headTimed_ = true;
            headDue_ = now + outbox.front().delayMs;
        }
        if (static_cast<std::int32_t>(now - headDue_) < 0)
            return;
        headTimed_ = false;
        if (chip()) {
            transit_ = outbox.front().bytes;
            transitStart_ = headDue_;
            handed_ = 0;
        } else {
            queue_ = outbox.front().bytes;
        }
        outbox.pop_front();
    }
}

bool SimulatedDevice::nextArrival(std::uint32_t* tick) const {
    if (!transit_.isEmpty()) {
        // The line has brought one more byte at this moment, the chip hands it
        // over at the tick after.
        const auto needed = static_cast<std::uint32_t>(
            (std::uint64_t(handed_ + 1) * 1000 + LineBytesPerSecond - 1) / LineBytesPerSecond);
        *tick = tickAtOrAfter(transitStart_ + needed, cable_.usbLatencyMs);
        return true;
    }
    if (device_.outbox().empty() || !headTimed_)
        return false;
    *tick = chip() ? tickAtOrAfter(headDue_ + 1, cable_.usbLatencyMs) : headDue_;
    return true;
}

int SimulatedDevice::GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                               std::uint32_t* events) {
    std::lock_guard lock(mutex_);
    *rxQueue = *txQueue = *events = 0;
    if (!usable(handle))
        return StatusError;
    release();
    *rxQueue = static_cast<std::uint32_t>(queue_.size());
    return 0;
}

int SimulatedDevice::Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                          std::uint32_t* read) {
    std::unique_lock lock(mutex_);
    *read = 0;
    if (!usable(handle))
        return StatusError;
    const std::uint32_t deadline = clock_.TickCount() + readTimeout_;
    while (*read < toRead) {
        release();
        if (!queue_.isEmpty()) {
            const auto n =
                std::min<std::uint32_t>(toRead - *read, static_cast<std::uint32_t>(queue_.size()));
            std::memcpy(buffer + *read, queue_.constData(), n);
            queue_.remove(0, n);
            *read += n;
            continue;
        }
        // Nothing more is on its way before the time-out: a real driver would
        // wait it out for nothing, so return at once.
        std::uint32_t due = 0;
        if (!nextArrival(&due) || static_cast<std::int32_t>(due - deadline) > 0)
            break;
        const auto wait = static_cast<std::uint32_t>(
            std::max<std::int32_t>(static_cast<std::int32_t>(due - clock_.TickCount()), 1));
        lock.unlock();
        clock_.Sleep(wait);
        lock.lock();
    }
    return 0;
}

int SimulatedDevice::Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                           std::uint32_t* written) {
    std::lock_guard lock(mutex_);
    *written = 0;
    if (!usable(handle))
        return StatusError;
    received_.append(reinterpret_cast<const char*>(data), toWrite);
    device_.receive(data, toWrite);
    *written = toWrite;
    // The device answers on its own time, not when the program looks.
    if (chip())
        release();
    return 0;
}

int SimulatedDevice::Close(Handle handle) {
    std::lock_guard lock(mutex_);
    if (!open_ || handle != 1)
        return StatusError;
    open_ = false;
    return 0;
}

ConfigFrame SimulatedDevice::storedFrame() const {
    std::lock_guard lock(mutex_);
    return device_.storedFrame();
}

void SimulatedDevice::setStoredFrame(const ConfigFrame& frame) {
    std::lock_guard lock(mutex_);
    device_.setStoredFrame(frame);
}

int SimulatedDevice::framesStored() const {
    std::lock_guard lock(mutex_);
    return device_.framesStored();
}

int SimulatedDevice::readsCompleted() const {
    std::lock_guard lock(mutex_);
    return device_.readsCompleted();
}

bool SimulatedDevice::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

int SimulatedDevice::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

int SimulatedDevice::doubleOpens() const {
    std::lock_guard lock(mutex_);
    return doubleOpens_;
}

QByteArray SimulatedDevice::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void SimulatedDevice::setScript(const DeviceScript& script) {
    std::lock_guard lock(mutex_);
    device_.script() = script;
}
