#include "platform/Timing.h"

#include <chrono>
#include <thread>

namespace platform {

// Linux sleeps on a high-resolution timer already.
void sleepFor(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace platform
