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
// does not on Windows 11. Each thread waits on its own.
class ThreadTimer {
public:
    ThreadTimer()
        : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS)) {}
    ~ThreadTimer() {
        if (handle_)
            CloseHandle(handle_);
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;

    bool wait(std::uint32_t milliseconds) {
        if (!handle_)
            return false;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000; // relative, in 100 ns
        return SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE) &&
               WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
    }

private:
    HANDLE handle_;
};

} // namespace

void sleepFor(std::uint32_t milliseconds) {
    thread_local ThreadTimer timer;
    if (timer.wait(milliseconds))
        return;
    // An older system: a 1 ms scheduler tick for the rest of the process.
    static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)raised;
    Sleep(milliseconds);
}

} // namespace platform
