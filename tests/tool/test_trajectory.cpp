// Straight moves and slaved axes: 1 ms targets that keep every axis within
// its limits and end exactly on the steps asked for; the demo part planned
// on the built-in machine.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "files/builtin.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"
#include "plan/trajectory.h"

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

TEST(Trajectory, SlavesFollowTheirMasterFromTheirOwnStart) {
    MotionLimits l = millLimits();
    Vec6 start{0, 800, 0, 1000, 0, 0};  // A's counter is 200 steps ahead of Y's
    // A's own target is ignored: it follows Y.
    Trajectory t = straightMove(start, {0, 2400, 0, -5000, 0, 0}, l, 10.0);
    ASSERT_GT(t.targets.size(), 100u);
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
    EXPECT_EQ(t.start, from);
    expectWithinLimits(t, l);
    EXPECT_EQ(t.end()[0], to[0]);
    EXPECT_EQ(t.end()[1], to[1]);
    EXPECT_EQ(t.end()[2], to[2]);
    EXPECT_EQ(t.end()[3], to[1]);  // slave: -77 + (9000.5 - -77)
    // A rapid: Y, with the longest way, runs at its 50 mm/s (40 steps per
    // ms); X and Z follow in proportion on one straight line.
    AxisStats x = axisStats(t, 0), y = axisStats(t, 1);
    EXPECT_NEAR(y.maxStep, 40.0, 0.05);
    EXPECT_NEAR(x.maxStep / y.maxStep, std::fabs((to[0] - from[0]) / (to[1] - from[1])), 1e-3);
    for (const Vec6& p : t.targets) {
        double f = (p[1] - from[1]) / (to[1] - from[1]);
        ASSERT_NEAR(p[0], from[0] + f * (to[0] - from[0]), 1e-6);
        ASSERT_NEAR(p[2], from[2] + f * (to[2] - from[2]), 1e-6);
    }
    // At a feed of 1 mm/s the path runs no faster than that.
    Trajectory slow = straightMove(from, to, l, 1.0);
    expectWithinLimits(slow, l);
    double fastest = 0.0;
    Vec6 prev = slow.start;
    for (const Vec6& p : slow.targets) {
        double d = std::sqrt(std::pow((p[0] - prev[0]) / 800, 2) + std::pow((p[1] - prev[1]) / 800, 2) +
                             std::pow((p[2] - prev[2]) / 1600, 2));
        fastest = std::max(fastest, d / kDt);
        prev = p;
    }
    EXPECT_NEAR(fastest, 1.0, 1e-6);
    EXPECT_EQ(slow.end(), t.end());
    // Nothing to do: no targets.
    EXPECT_TRUE(straightMove(from, from, l).targets.empty());
    // A move longer than one plan can hold is refused, not cut short.
    EXPECT_THROW(straightMove(from, to, l, 1e-4), ToolError);
}

TEST(Trajectory, DemoPartStaysWithinTheDefaultMachine) {
    Machine m = defaultMachine();
    MotionLimits l = m.limits();
    Interpreted program = interpret(kDemoProgram, m.gcodeSetup(), {});
    ASSERT_TRUE(program.ok()) << formatDiagnostics(program.errors, "demo");
    EXPECT_TRUE(program.notes.empty()) << formatDiagnostics(program.notes, "demo");
    Plan plan = planProgram(program, m.planSettings(), {});
    ASSERT_TRUE(plan.errors.empty()) << formatDiagnostics(plan.errors, "demo");
    Trajectory t;
    t.targets = plan.targets;
    expectWithinLimits(t, l);
    EXPECT_EQ(t.end()[0], 45 * 800.0);
    EXPECT_EQ(t.end()[1], 35 * 800.0);
    EXPECT_EQ(t.end()[2], 5 * 1600.0);
    EXPECT_EQ(t.end()[3], 35 * 800.0);
    // The full circle of radius 12 about (45, 35) at Z -1 is cut: the
    // path reaches its far side from its start at (33, 35).
    double far = 1e9;
    for (const Vec6& p : t.targets) {
        if (p[2] == -1600.0) far = std::min(far, std::hypot(p[0] / 800 - 57, p[1] / 800 - 35));
    }
    EXPECT_LT(far, 0.01);
    // The wire format carries less than 2146 steps per segment and axis.
    EXPECT_LT(axisStats(t, 0).maxStep, 2146.0);
}
