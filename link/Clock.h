#pragma once

#include <cstdint>

// Ticks and sleeps for the exchanges; tests put a virtual clock in its place
// so that seconds of protocol run in microseconds.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds from an arbitrary start, wrapping at 32 bits.
    virtual std::uint32_t TickCount() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

class SteadyClock final : public Clock {
public:
    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t milliseconds) override;
    static SteadyClock& instance();
};
