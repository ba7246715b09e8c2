#include "link/Clock.h"

#include "platform/Timing.h"

#include <chrono>

std::uint32_t SteadyClock::TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
    platform::sleepFor(milliseconds);
}

SteadyClock& SteadyClock::instance() {
    static SteadyClock clock;
    return clock;
}
