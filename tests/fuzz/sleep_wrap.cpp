// The library's pauses (telvo_Disconnect) run on the simulator's clock in
// the fuzz targets: the link option -Wl,--wrap=<sleepMs> sends every call
// of telvo::platform::sleepMs here, so a pause advances the simulated
// machine by as many milliseconds instead of sleeping.
#include <cstdint>

#include "telvo_sim.h"

extern "C" void __wrap__ZN5telvo8platform7sleepMsEj(uint32_t milliseconds) {
    tsim_advance_ms(static_cast<int>(milliseconds));
}
