// The wire conversion against a literal reference that runs the formula
// under a real fesetround(FE_DOWNWARD), bit for bit.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "common/bytes.h"
#include "motion/motion.h"

namespace {

// The formula as written: per axis, switch the direction, compute, restore.
// Out-of-range values follow the library's conversion rule (low 32 bits of
// the exact integer, 0 for NaN/inf/|x| >= 2^63) and a non-finite target holds
// the axis.
int32_t low32(double x) {
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
}

__attribute__((noinline)) void referenceAxis(double target,
                                                                       double* tracked,
                                                                       int32_t* phase,
                                                                       int32_t* travel) {
    const int previous = std::fegetround();
    std::fesetround(FE_DOWNWARD);
    const volatile double d = *tracked;
    const int32_t base = low32(std::floor(d));
    const volatile double baseD = base;
    const int32_t s = low32(std::floor((d - baseD) * 1000000.0));
    int32_t e = s;
    const double t = target;
    if (std::isfinite(t)) {
        const volatile double v = t + 0.5;
        e = low32(std::floor((v - baseD) * 1000000.0));
        *tracked = v;
    }
    std::fesetround(previous);
    *phase = static_cast<int32_t>(static_cast<uint32_t>(s) * 250u);
    *travel = static_cast<int32_t>(static_cast<uint32_t>(e) - static_cast<uint32_t>(s));
}

void referenceSegment(const double target[6], double tracked[6], uint8_t out[48]) {
    for (int a = 0; a < 6; ++a) {
        int32_t phase = 0;
        int32_t travel = 0;
        referenceAxis(target[a], &tracked[a], &phase, &travel);
        telvo::putI32(out + 8 * a, phase);
        telvo::putI32(out + 8 * a + 4, travel);
    }
}

// A double a few ulps either side of x.
double jitter(double x, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> ulps(-3, 3);
    int n = ulps(rng);
    while (n > 0) { x = std::nextafter(x, INFINITY); --n; }
    while (n < 0) { x = std::nextafter(x, -INFINITY); ++n; }
    return x;
}

TEST(WireConversion, MatchesRoundDownReferenceBitForBit) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int64_t> steps(-2000000000LL, 2000000000LL);
    std::uniform_int_distribution<int> micro(0, 999999);

    double trackedFast[6];
    double trackedRef[6];
    for (int a = 0; a < 6; ++a) trackedFast[a] = trackedRef[a] = static_cast<double>(steps(rng)) / 1000.0 + 0.5;

    constexpr int kSegments = 170000;  // x 6 axes: over a million conversions
    uint8_t fast[48];
    uint8_t ref[48];
    int64_t compared = 0;
    for (int n = 0; n < kSegments; ++n) {
        double target[6];
        for (int a = 0; a < 6; ++a) {
            const double from = trackedRef[a] - 0.5;
            double t;
            switch (kind(rng)) {
                case 0:  // exactly on a step boundary, or a ulp off it
                    t = jitter(std::floor(from) + static_cast<double>(static_cast<int>(unit(rng) * 20) - 10), rng);
                    break;
                case 1:  // on a millionth boundary
                    t = jitter(std::floor(from) + micro(rng) / 1000000.0, rng);
                    break;
                case 2:  // travel near the +-2146-step limit
                    t = from + (unit(rng) < 0.5 ? -1.0 : 1.0) * (2145.0 + unit(rng) * 0.999);
                    break;
                case 3:  // large positions
                    t = static_cast<double>(steps(rng)) + unit(rng);
                    trackedFast[a] = trackedRef[a] = t - 1000.0 * unit(rng) + 0.5;
                    break;
                case 4:  // around zero, crossing it
                    t = (unit(rng) - 0.5) * 6.0;
                    break;
                case 5:  // a half-step boundary (the +0.5 lands on an integer)
                    t = jitter(std::floor(from) - 0.5 + static_cast<double>(static_cast<int>(unit(rng) * 6) - 3), rng);
                    break;
                default:  // smooth motion
                    t = from + (unit(rng) - 0.5) * 40.0;
                    break;
            }
            target[a] = t;
        }
        telvo::motion::convertSegment(target, trackedFast, fast);
        referenceSegment(target, trackedRef, ref);
        ASSERT_EQ(0, std::memcmp(fast, ref, sizeof fast)) << "segment " << n;
        ASSERT_EQ(0, std::memcmp(trackedFast, trackedRef, sizeof trackedFast)) << "segment " << n;
        compared += 6;
    }
    EXPECT_GE(compared, 1000000);
}

TEST(WireConversion, NonFiniteAndOutOfRangeTargetsAreDefined) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    double tracked[6] = {100.5, 100.5, 100.5, 100.5, 100.5, 100.5};
    const double target[6] = {nan, inf, -inf, 1e300, 100.0 + 5000.0, -1e12};
    uint8_t out[48];
    double ref[6];
    std::memcpy(ref, tracked, sizeof ref);
    uint8_t expect[48];
    telvo::motion::convertSegment(target, tracked, out);
    referenceSegment(target, ref, expect);
    EXPECT_EQ(0, std::memcmp(out, expect, sizeof out));

    // Non-finite targets hold their axis: no travel, tracked position kept.
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(0, telvo::getI32(out + 8 * a + 4)) << a;
        EXPECT_EQ(125000000, telvo::getI32(out + 8 * a)) << a;
        EXPECT_EQ(100.5, tracked[a]);
    }
    // 5000 steps of travel do not fit: the low 32 bits of 5 000 000 000 millionths.
    EXPECT_EQ(static_cast<int32_t>(static_cast<uint32_t>(5000000000LL)), telvo::getI32(out + 8 * 4 + 4));
    // The conversion restored the caller's rounding direction.
    EXPECT_EQ(FE_TONEAREST, std::fegetround());
}

}  // namespace
