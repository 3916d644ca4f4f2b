// The library as a whole: the reset of every subsystem's state to what it is
// right after load, for tests and fuzzers that run many sessions in one
// process. Static: nothing is allocated. The USB binding made at load stays.
#pragma once

namespace telvo {

// Closes the link and returns the frame, configuration, homing, probe and
// motion state to their load-time values (buffer size 1000, firmware text
// "00.00", everything else zero).
void resetLibraryState();

}  // namespace telvo
