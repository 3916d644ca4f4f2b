// The configuration subsystem's state: the stored blocks and the limits,
// written only by config/. White-box tests read and seed it.
#pragma once

#include <cstdint>

#include "config/config.h"

namespace telvo::config {

extern uint8_t axisConfigBlock[kAxisBlockSize];
extern uint8_t ioConfigBlock[kIoBlockSize];
extern AxisLimits axisLimits;

}  // namespace telvo::config
