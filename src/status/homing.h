// The homing count's writers inside the status subsystem (the command and
// the status path); other subsystems use the calls in status.h.
#pragma once

#include "status/status.h"

namespace telvo::status {

void homingStarted();
void homingFinished();

}  // namespace telvo::status
