#include "link/SystemCable.h"

#include "link/TtyCableDriver.h"

// The kernel's FTDI driver makes each cable a terminal.
std::shared_ptr<CableDriver> newSystemCable() {
    return std::make_shared<TtyCableDriver>();
}
