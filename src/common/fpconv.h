// Float-to-integer conversion: the one place where a double becomes an int.
//
// The wire formats truncate toward zero (or take floors) and keep the low 32
// bits of the result. A plain cast is undefined for NaN, infinities and values
// outside the target range; these helpers define every input:
//   - |x| < 2^63: the low 32 bits of the exact integer (two's complement);
//   - NaN, infinities and |x| >= 2^63: 0.
// The in-range fast path is a single truncating conversion.
#pragma once

#include <cmath>
#include <cstdint>

namespace telvo {

inline int32_t truncToInt32(double x) {
    if (x > -2147483649.0 && x < 2147483648.0) {
        return static_cast<int32_t>(x);  // in range: exact truncation
    }
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) {
        return 0;  // NaN, infinities, |x| >= 2^63
    }
    // Exact: doubles this large are integers or have an exact integer part.
    const auto wide = static_cast<int64_t>(x);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wide)));
}

// floor(x) as a 32-bit integer with the same rules for out-of-range input.
// Exact in any rounding direction (the comparison and the int-to-double
// conversion are exact).
inline int32_t floorToInt32(double x) {
    if (x > -2147483648.0 && x < 2147483648.0) {
        const auto i = static_cast<int32_t>(x);
        // Branch-free: the comparison is data-dependent and mispredicts.
        return i - static_cast<int32_t>(static_cast<double>(i) > x);
    }
    return truncToInt32(std::floor(x));
}

// 32-bit two's-complement arithmetic without signed-overflow UB.
inline int32_t wrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrapSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrapMul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// Velocity form: a signed value shifted left by 12 bits within 32 bits.
inline int32_t velocityForm(int32_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) << 12);
}

}  // namespace telvo
