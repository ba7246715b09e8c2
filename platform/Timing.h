#pragma once

#include <cstdint>

namespace platform {

// Puts the calling thread to sleep for `milliseconds`, ending within a
// fraction of a millisecond of it: the device link polls every 10 ms, and a
// sleep rounded up to the system's default tick (15.6 ms on Windows) would
// stretch every exchange by half. One file per system.
void sleepFor(std::uint32_t milliseconds);

} // namespace platform
