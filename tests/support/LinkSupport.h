#pragma once

#include "link/CableDriver.h"
#include "link/Clock.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>

// Time that passes only when someone sleeps. An action can be set to run
// once the clock reaches a tick, e.g. the operator's stop.
class VirtualClock final : public Clock {
public:
    std::uint32_t TickCount() override { return now_.load(); }
    void Sleep(std::uint32_t ms) override {
        now_ += ms;
        slept += ms;
        if (at_ && now_.load() >= atTick_) {
            auto action = std::move(at_);
            at_ = nullptr;
            action();
        }
    }
    void at(std::uint32_t tick, std::function<void()> action) {
        atTick_ = tick;
        at_ = std::move(action);
    }
    std::uint64_t slept = 0;

private:
    std::atomic<std::uint32_t> now_{1000};
    std::uint32_t atTick_ = 0;
    std::function<void()> at_;
};

// A cable whose far end answers each write from a function, one chunk per
// read; every call can be made to fail.
class ScriptedCable final : public CableDriver {
public:
    using Responder = std::function<QList<QByteArray>(const QByteArray& written)>;
    Responder respond = [](const QByteArray&) { return QList<QByteArray>(); };
    std::deque<QByteArray> chunks;
    QByteArray queue;
    QByteArray written;
    int devices = 1;
    bool failStatus = false;
    bool failRead = false;
    bool failWrite = false;
    std::uint32_t shortWriteBy = 0;
    std::uint32_t reportedQueue = 0; // when set, GetStatus reports this
    std::vector<std::uint32_t> readRequests;
    int closes = 0;
    bool open = false;

    int CreateDeviceInfoList(std::uint32_t* count) override {
        *count = static_cast<std::uint32_t>(devices);
        return 0;
    }
    int GetDeviceInfoList(std::uint8_t* list, std::size_t capacity, std::uint32_t* count) override {
        std::memset(list, 0, std::min<std::size_t>(capacity, EntrySize));
        std::memcpy(list + SerialOffset, "SCRIPTED", 8);
        *count = static_cast<std::uint32_t>(devices);
        return 0;
    }
    int OpenEx(const std::uint8_t*, int, Handle* handle) override {
        open = true;
        *handle = 7;
        return 0;
    }
    int GetStatus(Handle, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* ev) override {
        *tx = *ev = 0;
        if (failStatus)
            return StatusError;
        if (queue.isEmpty() && !chunks.empty()) {
            queue = chunks.front();
            chunks.pop_front();
        }
        *rx = reportedQueue ? reportedQueue : static_cast<std::uint32_t>(queue.size());
        return 0;
    }
    int Read(Handle, std::uint8_t* buffer, std::uint32_t toRead, std::uint32_t* read) override {
        readRequests.push_back(toRead);
        const auto n = std::min<std::uint32_t>(toRead, static_cast<std::uint32_t>(queue.size()));
        std::memcpy(buffer, queue.constData(), n);
        queue.remove(0, n);
        *read = n;
        return failRead ? StatusError : 0;
    }
    int Write(Handle, const std::uint8_t* data, std::uint32_t toWrite,
              std::uint32_t* count) override {
        if (failWrite)
            return StatusError;
        const QByteArray bytes(reinterpret_cast<const char*>(data), toWrite);
        written += bytes;
        for (const QByteArray& answer : respond(bytes))
            chunks.push_back(answer);
        *count = toWrite - std::min(toWrite, shortWriteBy);
        return 0;
    }
    int Close(Handle) override {
        ++closes;
        open = false;
        return 0;
    }
    LatencyProblem latency; // what the driver tells of its latency timer
    LatencyProblem latencyTimerProblem() const override { return latency; }
};
