#include "platform/Timing.h"

#include <windows.h>

#include <mmsystem.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

namespace {

// A high-resolution waitable timer (Windows 10 1803 and later) keeps its
// precision for a minimised window too, which a raised timer resolution
// does not on Windows 11. One is made for each sleep: it costs microseconds
// against the milliseconds slept, and a timer kept per thread would have to
// be closed at the thread's exit, which mingw's thread-local objects cannot
// be trusted with.
bool waitOnTimer(std::uint32_t milliseconds) {
    const HANDLE timer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer)
        return false;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000; // relative, in 100 ns
    const bool waited = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                        WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
    CloseHandle(timer);
    return waited;
}

} // namespace

void sleepFor(std::uint32_t milliseconds) {
    if (waitOnTimer(milliseconds))
        return;
    // An older system: a 1 ms scheduler tick for the rest of the process.
    static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)raised;
    Sleep(milliseconds);
}

} // namespace platform
