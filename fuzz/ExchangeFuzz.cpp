// Drives one exchange with arbitrary device bytes and cable failures. Built
// twice: FUZZ_READING selects the reading exchange.
#include "fuzz/FuzzCable.h"
#include "link/FTDI_Controller.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzCable cable(data, size);
#ifdef FUZZ_READING
    using Controller = FTDI_ReadCtrl;
#else
    using Controller = FTDI_Controller;
#endif
    FuzzClock<Controller> clock(cable);
    Controller ctl(cable, clock, QStringLiteral("/dev/null"));
    std::uint8_t frame[264];
    for (int i = 0; i < 264; ++i)
        frame[i] = static_cast<std::uint8_t>(i);
    if (ctl.Open(frame, 264) != OpenResult::Opened)
        std::abort();
    clock.attach(&ctl);
    const auto result = static_cast<int>(ctl.Start());
    if (result < 0 || result > 3)
        std::abort();
    if (ctl.dataLength < 0 || ctl.dataLength > FTDI_Controller::BufferSize)
        std::abort();
    return 0;
}
