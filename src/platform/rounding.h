// The rounding-direction switch of the floating-point environment.
//
// The wire conversion of motion segments is defined under rounding toward
// negative infinity. Doubles are SSE2 arithmetic on every x86 build, so the
// switch writes MXCSR directly: a few cycles, against the x87 control word
// and MXCSR that fesetround rewrites. The asm statements clobber memory so the
// compiler keeps loads after the switch and stores before the restore; the
// code between them is compiled with -frounding-math as well.
#pragma once

#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TELVO_ROUNDING_MXCSR 1
#else
#include <cfenv>
#endif

namespace telvo::platform {

#if defined(TELVO_ROUNDING_MXCSR)
using RoundingState = uint32_t;

inline RoundingState roundDownBegin() {
    uint32_t previous;
    __asm__ __volatile__("stmxcsr %0" : "=m"(previous) : : "memory");
    uint32_t down = (previous & ~0x6000u) | 0x2000u;  // RC field = 01: toward -inf
    __asm__ __volatile__("ldmxcsr %0" : : "m"(down) : "memory");
    return previous;
}

inline void roundRestore(RoundingState previous) {
    __asm__ __volatile__("ldmxcsr %0" : : "m"(previous) : "memory");
}
#else
using RoundingState = int;

inline RoundingState roundDownBegin() {
    int previous = std::fegetround();
    std::fesetround(FE_DOWNWARD);
    return previous;
}

inline void roundRestore(RoundingState previous) {
    std::fesetround(previous);
}
#endif

}  // namespace telvo::platform
