// Compiled with -frounding-math: the arithmetic below runs under the
// rounding direction set at run time.
#include "reference_conversion.h"

#include <cfenv>
#include <cmath>

namespace telvo_fuzz {

namespace {

int32_t low32(double floored) {
    if (!(std::fabs(floored) < 9223372036854775808.0)) return 0;
    const auto wide = static_cast<int64_t>(floored);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wide)));
}

}  // namespace

void referenceConvert(double& tracked, double target, int32_t& startPhase, int32_t& travel) {
    const int previous = std::fegetround();
    std::fesetround(FE_DOWNWARD);
    volatile double d = tracked;
    const int32_t base = low32(std::floor(d));
    volatile double fraction = (d - static_cast<double>(base)) * 1000000.0;
    const int32_t s = low32(std::floor(fraction));
    startPhase = static_cast<int32_t>(static_cast<uint32_t>(s) * 250u);
    travel = 0;
    if (std::isfinite(target)) {
        volatile double v = target + 0.5;
        volatile double ends = (v - static_cast<double>(base)) * 1000000.0;
        const int32_t e = low32(std::floor(ends));
        travel = static_cast<int32_t>(static_cast<uint32_t>(e) - static_cast<uint32_t>(s));
        tracked = v;
    }
    std::fesetround(previous);
}

}  // namespace telvo_fuzz
