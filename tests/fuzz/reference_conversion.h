// The wire conversion of one axis, computed a second way for the fuzz
// targets: the rounding direction set through <cfenv> around each segment,
// every step a plain double operation, floors taken with std::floor and
// brought to 32 bits by the library's documented rule (the low 32 bits of
// the exact integer; 0 for NaN, infinities and magnitudes from 2^63 on). A
// target that is not finite holds its axis (travel 0, position unchanged).
#pragma once

#include <cstdint>

namespace telvo_fuzz {

// tracked: the axis's stream position (steps + 0.5), updated.
void referenceConvert(double& tracked, double target, int32_t& startPhase, int32_t& travel);

}  // namespace telvo_fuzz
