#include "link/SimulatedDevice.h"

#include "link/Clock.h"

#include <algorithm>
#include <cstring>
#include <string>

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
    while (queue_.isEmpty() && !outbox.empty()) {
        if (!headTimed_) {
            headTimed_ = true;
            headDue_ = clock_.TickCount() + outbox.front().delayMs;
        }
        if (static_cast<std::int32_t>(clock_.TickCount() - headDue_) < 0)
            return;
        queue_ = outbox.front().bytes;
        outbox.pop_front();
        headTimed_ = false;
    }
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
            const auto n = std::min<std::uint32_t>(toRead - *read,
                                                   static_cast<std::uint32_t>(queue_.size()));
            std::memcpy(buffer + *read, queue_.constData(), n);
            queue_.remove(0, n);
            *read += n;
            continue;
        }
        // Nothing more is on its way before the time-out: a real driver would
        // wait it out for nothing, so return at once.
        if (device_.outbox().empty() || !headTimed_ ||
            static_cast<std::int32_t>(headDue_ - deadline) > 0)
            break;
        const std::uint32_t wait = headDue_ - clock_.TickCount();
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
