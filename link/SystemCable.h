#pragma once

#include "link/CableDriver.h"

#include <memory>

// The cable driver of the system the program runs on.
std::shared_ptr<CableDriver> newSystemCable();
