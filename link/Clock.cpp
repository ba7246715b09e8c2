#include "link/Clock.h"

#include <chrono>
#include <thread>

std::uint32_t SteadyClock::TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

SteadyClock& SteadyClock::instance() {
    static SteadyClock clock;
    return clock;
}
