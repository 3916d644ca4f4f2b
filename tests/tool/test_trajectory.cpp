// Interpolator: 1 ms targets that keep every axis within its limits, follow
// the geometry, and end exactly on each move's end point.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "host/builtin.h"
#include "host/gcode.h"
#include "host/machine.h"
#include "host/trajectory.h"

using namespace telvo::tool;

namespace {

constexpr double kDt = 0.001;

MotionLimits millLimits() {
    MotionLimits l{};
    l[0] = {true, 800, 40000, 400000, 0};  // 50 mm/s, 500 mm/s^2
    l[1] = {true, 800, 40000, 400000, 0};
    l[2] = {true, 1600, 16000, 160000, 0};  // 10 mm/s, 100 mm/s^2
    l[3] = {true, 800, 40000, 400000, 2};   // A follows Y
    return l;
}

GcodeContext contextFor(const MotionLimits& l) {
    GcodeContext c;
    for (int a = 0; a < kAxisCount; ++a) {
        c.configured[a] = l[a].enabled;
        c.slaveOf[a] = l[a].slaveOf;
    }
    return c;
}

Trajectory run(const char* program, const MotionLimits& l) {
    return interpolate(parseGcode(program, contextFor(l)), Vec6{}, l);
}

// Largest per-ms step and second difference of an axis, start included.
struct AxisStats {
    double maxStep = 0.0, maxSecond = 0.0;
};

AxisStats axisStats(const Trajectory& t, int axis) {
    AxisStats s;
    double prev = t.start[axis], prevStep = 0.0;
    for (const Vec6& p : t.targets) {
        double step = p[axis] - prev;
        s.maxStep = std::max(s.maxStep, std::fabs(step));
        s.maxSecond = std::max(s.maxSecond, std::fabs(step - prevStep));
        prev = p[axis];
        prevStep = step;
    }
    // The stop after the last target counts too.
    s.maxSecond = std::max(s.maxSecond, std::fabs(prevStep));
    return s;
}

void expectWithinLimits(const Trajectory& t, const MotionLimits& l) {
    for (int a = 0; a < kAxisCount; ++a) {
        if (!l[a].enabled) continue;
        AxisStats s = axisStats(t, a);
        EXPECT_LE(s.maxStep, l[a].maxVelocity * kDt * (1 + 1e-9) + 1e-9) << "axis " << a;
        EXPECT_LE(s.maxSecond, l[a].acceleration * kDt * kDt * (1 + 1e-9) + 1e-9) << "axis " << a;
    }
}

}  // namespace

TEST(Trajectory, LongLineCruisesAtItsFeedAndStopsExactly) {
    MotionLimits l = millLimits();
    Trajectory t = run("G1 X100 F1800", l);  // 30 mm/s, 100 mm
    expectWithinLimits(t, l);
    // 30 mm/s for 100 mm with 0.06 s ramps: 3.3933 s, stretched to whole ms.
    EXPECT_EQ(t.targets.size(), 3394u);
    AxisStats x = axisStats(t, 0);
    EXPECT_NEAR(x.maxStep, 30.0 * 800 * kDt, 0.03);
    EXPECT_EQ(t.end()[0], 80000.0);
    for (const Vec6& p : t.targets) {
        EXPECT_EQ(p[1], 0.0);
        EXPECT_EQ(p[2], 0.0);
    }
    // Monotonic: a trapezoid never backs up.
    for (size_t k = 1; k < t.targets.size(); ++k) {
        ASSERT_GE(t.targets[k][0], t.targets[k - 1][0]);
    }
}

TEST(Trajectory, ShortLineIsATriangleBelowItsFeed) {
    MotionLimits l = millLimits();
    Trajectory t = run("G1 X1 F3000", l);  // 1 mm at 500 mm/s^2 never reaches 50 mm/s
    expectWithinLimits(t, l);
    // 2 * sqrt(1 / 500) = 0.0894 s.
    EXPECT_EQ(t.targets.size(), 90u);
    EXPECT_LT(axisStats(t, 0).maxStep, 50.0 * 800 * kDt * 0.5);
    EXPECT_EQ(t.end()[0], 800.0);
}

TEST(Trajectory, RapidDiagonalIsHeldByItsTightestAxis) {
    MotionLimits l = millLimits();
    Trajectory t = run("G0 X20 Z20", l);
    expectWithinLimits(t, l);
    // Z (10 mm/s) limits the path; X moves as fast as Z in units.
    AxisStats z = axisStats(t, 2), x = axisStats(t, 0);
    EXPECT_NEAR(z.maxStep, 16.0, 1e-3);
    EXPECT_NEAR(x.maxStep, 8.0, 1e-3);
    EXPECT_EQ(t.end()[0], 16000.0);
    EXPECT_EQ(t.end()[2], 32000.0);
}

TEST(Trajectory, ArcsFollowTheCircleInTheirDirection) {
    MotionLimits l = millLimits();
    // From (10,0) a counterclockwise half circle about the origin, then a
    // clockwise full circle back on itself, with Z rising linearly (helix).
    Trajectory t = run("G0 X10\nG3 X-10 Y0 I-10 J0 F3000\nG2 X-10 Y0 Z2 I10 J0", l);
    expectWithinLimits(t, l);
    const double r = 10.0 * 800;
    double lastAngle = 0.0;
    bool halfDone = false;
    size_t arcSamples = 0;
    for (const Vec6& p : t.targets) {
        double radius = std::hypot(p[0], p[1]);
        if (p[0] == 8000.0 && p[1] == 0.0) continue;  // still at the start
        if (std::fabs(radius - r) > 1e-6) continue;    // the first straight move
        ++arcSamples;
        double angle = std::atan2(p[1], p[0]);
        if (!halfDone) {
            ASSERT_GE(angle + 1e-12, lastAngle) << "counterclockwise arc turned back";
            lastAngle = angle;
            if (p[0] == -8000.0 && p[2] == 0.0) halfDone = true;
        }
    }
    EXPECT_TRUE(halfDone);
    EXPECT_GT(arcSamples, 1000u);
    // Full circle ends where it began, 2 mm higher; the A axis follows Y.
    EXPECT_EQ(t.end()[0], -8000.0);
    EXPECT_NEAR(t.end()[1], 0.0, 1e-9);
    EXPECT_EQ(t.end()[2], 3200.0);
    for (const Vec6& p : t.targets) {
        ASSERT_EQ(p[3], p[1]);
    }
}

TEST(Trajectory, HelixRisesInProportionToTheAngle) {
    MotionLimits l = millLimits();
    Trajectory t = run("G0 X5\nG3 X5 Y0 Z4 I-5 J0 F600", l);
    expectWithinLimits(t, l);
    for (const Vec6& p : t.targets) {
        if (p[2] == 0.0) continue;
        double angle = std::atan2(p[1] / 800, p[0] / 800 - 0.0);
        if (angle < 0) angle += 2 * std::numbers::pi;
        double expectedZ = angle / (2 * std::numbers::pi) * 4.0 * 1600;
        if (p[2] < 4 * 1600 - 1e-6 && angle > 1e-6) {
            ASSERT_NEAR(p[2], expectedZ, 1e-6);
        }
    }
}

TEST(Trajectory, SlavesFollowTheirMasterFromTheirOwnStart) {
    MotionLimits l = millLimits();
    GcodeContext c = contextFor(l);
    Vec6 start{0, 800, 0, 1000, 0, 0};  // A's counter is 200 steps ahead of Y's
    c.start = {0, 1, 0, 0, 0, 0};
    Trajectory t = interpolate(parseGcode("G1 Y3 F600", c), start, l);
    for (const Vec6& p : t.targets) {
        ASSERT_NEAR(p[3] - p[1], 200.0, 1e-9);
    }
    auto end = endSteps(t.end(), start, l);
    EXPECT_EQ(end[1], 2400);
    EXPECT_EQ(end[3], 2600);
}

TEST(Trajectory, EndStepsRoundHalfUp) {
    MotionLimits l = millLimits();
    auto e = endSteps({10.5, -2.5, 7.49, 0, 0, 0}, Vec6{}, l);
    EXPECT_EQ(e[0], 11);
    EXPECT_EQ(e[1], -2);
    EXPECT_EQ(e[2], 7);
    EXPECT_EQ(e[3], -2);  // A follows Y from 0
}

TEST(Trajectory, StraightMoveEndsOnTheStepsAskedFor) {
    MotionLimits l = millLimits();
    Vec6 from{123, -77, 5, -77, 0, 0};
    Vec6 to{-4000.25, 9000.5, -333.75, 0, 0, 0};
    Trajectory t = straightMove(from, to, l);
    expectWithinLimits(t, l);
    EXPECT_EQ(t.end()[0], to[0]);
    EXPECT_EQ(t.end()[1], to[1]);
    EXPECT_EQ(t.end()[2], to[2]);
    EXPECT_EQ(t.end()[3], to[1]);  // slave: -77 + (9000.5 - -77)
    Trajectory slow = straightMove(from, to, l, 1.0);  // 1 mm/s
    EXPECT_GT(slow.targets.size(), 10 * t.targets.size());
    expectWithinLimits(slow, l);
    EXPECT_TRUE(straightMove(from, from, l).targets.empty());
}

TEST(Trajectory, DemoPartStaysWithinTheDefaultMachine) {
    Machine m = defaultMachine();
    MotionLimits l = m.limits();
    Trajectory t = run(kDemoProgram, l);
    expectWithinLimits(t, l);
    EXPECT_EQ(t.end()[0], 45 * 800.0);
    EXPECT_EQ(t.end()[1], 35 * 800.0);
    EXPECT_EQ(t.end()[2], 5 * 1600.0);
    EXPECT_EQ(t.end()[3], 35 * 800.0);
    // The wire format carries less than 2146 steps per segment and axis.
    EXPECT_LT(axisStats(t, 0).maxStep, 2146.0);
}
