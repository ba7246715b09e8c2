#pragma once

#include "link/CableDriver.h"
#include "link/Clock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// A cable whose far end says whatever the fuzzer's input says. The input is a
// sequence of steps, one taken whenever the receive queue is empty: a header
// byte below 0x80 is a chunk of that many bytes that follow; 0x80 makes the
// next status call fail, 0x81 the next read, 0x82 the next write, 0x83 the
// next write short, 0x84 the next status report an oversized queue. When the
// input runs out the operator presses stop.
class FuzzCable final : public CableDriver {
public:
    FuzzCable(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return pos_ >= size_ && queueSize_ == 0; }

    int CreateDeviceInfoList(std::uint32_t* count) override {
        *count = 1;
        return 0;
    }
    int GetDeviceInfoList(std::uint8_t* list, std::size_t capacity, std::uint32_t* count) override {
        std::memset(list, 0, std::min<std::size_t>(capacity, EntrySize));
        *count = 1;
        return 0;
    }
    int OpenEx(const std::uint8_t*, int, Handle* handle) override {
        *handle = 1;
        return 0;
    }

    int GetStatus(Handle, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* ev) override {
        *tx = *ev = 0;
        if (queueSize_ == 0)
            step();
        if (failStatus_) {
            failStatus_ = false;
            *rx = 0;
            return StatusError;
        }
        *rx = static_cast<std::uint32_t>(queueSize_);
        if (bigQueue_) {
            bigQueue_ = false;
            *rx = 100 + static_cast<std::uint32_t>(queueSize_);
        }
        return 0;
    }
    int Read(Handle, std::uint8_t* buffer, std::uint32_t toRead, std::uint32_t* read) override {
        const std::size_t n = std::min<std::size_t>(toRead, queueSize_);
        std::memcpy(buffer, queue_, n);
        queue_ += n;
        queueSize_ -= n;
        *read = static_cast<std::uint32_t>(n);
        if (failRead_) {
            failRead_ = false;
            return StatusError;
        }
        return 0;
    }
    int Write(Handle, const std::uint8_t*, std::uint32_t toWrite, std::uint32_t* written) override {
        *written = toWrite;
        if (failWrite_) {
            failWrite_ = false;
            *written = 0;
            return StatusError;
        }
        if (shortWrite_) {
            shortWrite_ = false;
            *written = toWrite / 2;
        }
        return 0;
    }
    int Close(Handle) override { return 0; }

private:
    void step() {
        if (pos_ >= size_)
            return;
        const std::uint8_t h = data_[pos_++];
        switch (h) {
        case 0x80:
            failStatus_ = true;
            return;
        case 0x81:
            failRead_ = true;
            return;
        case 0x82:
            failWrite_ = true;
            return;
        case 0x83:
            shortWrite_ = true;
            return;
        case 0x84:
            bigQueue_ = true;
            return;
        default:
            break;
        }
        const std::size_t n = std::min<std::size_t>(h & 0x7F, size_ - pos_);
        queue_ = data_ + pos_;
        queueSize_ = n;
        pos_ += n;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    const std::uint8_t* queue_ = nullptr;
    std::size_t queueSize_ = 0;
    bool failStatus_ = false, failRead_ = false, failWrite_ = false, shortWrite_ = false,
         bigQueue_ = false;
};

// Virtual time; once the device has nothing more to say, or a minute has
// passed (a queue too long to read is never drained), the next sleep stops
// the exchange, as an operator would.
template <typename Controller> class FuzzClock final : public Clock {
public:
    explicit FuzzClock(const FuzzCable& cable) : cable_(cable) {}
    void attach(Controller* c) { controller_ = c; }
    std::uint32_t TickCount() override { return now_; }
    void Sleep(std::uint32_t ms) override {
        now_ += ms;
        if (controller_ && (cable_.exhausted() || now_ > 60'000))
            controller_->Stop();
    }

private:
    const FuzzCable& cable_;
    Controller* controller_ = nullptr;
    std::uint32_t now_ = 0;
};
