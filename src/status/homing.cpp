// Homing: the one piece of state the library follows between the homing
// command and the controller's homed event. Counted up by the command,
// down by each homed event, and set to 0 by the reset points.
#include "status/homing.h"

namespace telvo::status {

namespace {

struct Homing {
    int32_t count;
};

Homing homing{};

}  // namespace

// Both counts wrap like the controller's 32-bit counter instead of
// overflowing.
void homingStarted() {
    homing.count = static_cast<int32_t>(static_cast<uint32_t>(homing.count) + 1u);
}
void homingFinished() {
    homing.count = static_cast<int32_t>(static_cast<uint32_t>(homing.count) - 1u);
}

int isHoming() {
    return homing.count != 0 ? 1 : 0;
}
int32_t homingCount() {
    return homing.count;
}
void resetHoming() {
    homing.count = 0;
}

}  // namespace telvo::status
