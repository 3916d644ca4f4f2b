// The probe planner and sampler on the worked examples, and the inputs that
// must give no plan.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "config/config.h"
#include "config/config_state.h"
#include "probe/probe.h"
#include "probe/probe_state.h"
#include "telvo/telvo.h"

namespace {

using telvo::config::axisLimits;
using telvo::probe::probePlan;

void setLimits(double stepsPerUnit, double velocity, double acceleration) {
    for (int i = 0; i < 6; ++i) {
        axisLimits.stepsPerUnit[i] = stepsPerUnit;
        axisLimits.velocityLimit[i] = velocity;
        axisLimits.accelerationLimit[i] = acceleration;
    }
}

TEST(ProbePlanner, OneAxisTrapezoid) {
    setLimits(1000, 50, 100);
    const double start[6] = {};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    telvo_CmdProbe(start, end, 20.0);  // no device: the plan stands, the write fails
    EXPECT_EQ(1, telvo::probe::probeState.planReady);
    EXPECT_EQ(1, telvo_IsProbing());
    EXPECT_EQ(1, telvo_GetProbeResult());
    EXPECT_EQ(20.0, probePlan.velocityVector[0]);
    EXPECT_EQ(100.0, probePlan.accelVector[0]);
    EXPECT_DOUBLE_EQ(0.2, probePlan.accelTime);
    EXPECT_NEAR(0.3, probePlan.cruiseTime, 1e-12);
    EXPECT_NEAR(0.7, probePlan.endTime, 1e-12);
    EXPECT_DOUBLE_EQ(2.0, probePlan.accelDistance);
    EXPECT_NEAR(10.0, probePlan.endDistance, 1e-12);

    // Samples: plan times 0, 0.001, ... then the end point exactly.
    int count = 0;
    double sample[6];
    double at100 = NAN, at500 = NAN, at600 = NAN;
    while (telvo::probe::sampleProbeMove(sample) == 1) {
        if (count == 100) at100 = sample[0];
        if (count == 500) at500 = sample[0];
        if (count == 600) at600 = sample[0];
        ++count;
    }
    EXPECT_EQ(701, count);
    EXPECT_EQ(10.0, sample[0]);  // the last sample is the end point, exactly
    EXPECT_EQ(0, telvo::probe::probeState.planReady);
    EXPECT_NEAR(0.5, at100, 1e-9);
    EXPECT_NEAR(8.0, at500, 1e-9);
    EXPECT_NEAR(9.5, at600, 1e-9);
}

TEST(ProbePlanner, OneAxisTriangle) {
    setLimits(1000, 50, 100);
    const double start[6] = {};
    const double end[6] = {2000, 0, 0, 0, 0, 0};
    telvo_CmdProbe(start, end, 20.0);
    EXPECT_EQ(1, telvo::probe::probeState.planReady);
    EXPECT_EQ(std::sqrt(0.02), probePlan.accelTime);
    EXPECT_EQ(0.0, probePlan.cruiseTime);
    EXPECT_DOUBLE_EQ(2 * std::sqrt(0.02), probePlan.endTime);
    EXPECT_DOUBLE_EQ(1.0, probePlan.accelDistance);
    EXPECT_DOUBLE_EQ(2.0, probePlan.endDistance);
}

TEST(ProbePlanner, DiagonalWithVelocityClip) {
    setLimits(1000, 50, 100);
    axisLimits.accelerationLimit[1] = 50;
    const double start[6] = {};
    const double end[6] = {10000, 10000, 0, 0, 0, 0};
    telvo_CmdProbe(start, end, 100.0);
    EXPECT_NEAR(50.0, probePlan.velocityVector[0], 1e-12);
    EXPECT_NEAR(50.0, probePlan.velocityVector[1], 1e-12);
    EXPECT_NEAR(50.0, probePlan.accelVector[0], 1e-12);
    EXPECT_NEAR(50.0, probePlan.accelVector[1], 1e-12);
    EXPECT_NEAR(std::sqrt(0.2), probePlan.accelTime, 1e-12);
    EXPECT_NEAR(2 * std::sqrt(0.2), probePlan.endTime, 1e-12);
    EXPECT_EQ(0.0, probePlan.cruiseTime);
}

TEST(ProbePlanner, SamplerCountsShortPlan) {
    // endTime 0.0025: samples at 0, 0.001, 0.002, then the end point.
    probePlan = {};
    probePlan.endTime = 0.0025;
    probePlan.accelTime = 0.00125;
    probePlan.accelRate = 1.0;
    probePlan.cruiseSpeed = 1.0;
    probePlan.endDistance = 1.0;
    probePlan.end[0] = 7.0;
    telvo::probe::probeState.planReady = 1;
    double s[6];
    int n = 0;
    while (telvo::probe::sampleProbeMove(s) == 1) ++n;
    EXPECT_EQ(4, n);
    EXPECT_EQ(7.0, s[0]);
    EXPECT_EQ(0, telvo::probe::sampleProbeMove(s));
}

TEST(ProbePlanner, UnusableInputGivesNoPlan) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double start[6] = {};
    const double end[6] = {1000, 0, 0, 0, 0, 0};
    const double endNan[6] = {nan, 0, 0, 0, 0, 0};
    const double endInf[6] = {inf, 0, 0, 0, 0, 0};
    const double endHuge[6] = {1e308, -1e308, 0, 0, 0, 0};
    const double denormal[6] = {5e-324, 0, 0, 0, 0, 0};

    struct Case {
        const double* end;
        double speed;
        double velocityLimit;
        double accelLimit;
    } cases[] = {
        {start, 10, 50, 100},    // empty move
        {end, 0, 50, 100},       // speed 0
        {end, -1, 50, 100},      // negative speed
        {end, nan, 50, 100},     // speed NaN
        {end, inf, 50, 100},     // infinite speed
        {endNan, 10, 50, 100},   // NaN coordinate
        {endInf, 10, 50, 100},   // infinite coordinate
        {endHuge, 10, 50, 100},  // a line too long to measure
        {end, 10, 0, 100},       // velocity limit 0 on the moving axis
        {end, 10, 50, -1},       // negative acceleration limit
        {denormal, 1e-300, 50, 100},  // times too long for 1 ms steps
    };
    for (const Case& c : cases) {
        setLimits(1000, c.velocityLimit, c.accelLimit);
        telvo::probe::probeState.result = 1;
        telvo::probe::probeState.active = 1;
        EXPECT_EQ(0, telvo_CmdProbe(start, c.end, c.speed));
        EXPECT_EQ(2, telvo_GetProbeResult());
        EXPECT_EQ(0, telvo_IsProbing());
        EXPECT_EQ(0, telvo::probe::probeState.planReady);
    }
    EXPECT_EQ(0, telvo_CmdProbe(nullptr, end, 10.0));
    EXPECT_EQ(2, telvo_GetProbeResult());

    // A limit that is not above 0 on an axis that does not move is harmless.
    setLimits(1000, 50, 100);
    axisLimits.velocityLimit[3] = 0;
    axisLimits.accelerationLimit[4] = -5;
    telvo_CmdProbe(start, end, 10.0);
    EXPECT_EQ(1, telvo::probe::probeState.planReady);
}

TEST(AxisLimits, FromConfiguration) {
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    config.axes[0] = {800, 40000, 200000, 0, 0, 0, 0, 0, 0};
    config.axes[1] = {0, 1000, 0, 0, 0, 0, 0, 0, 0};
    config.axes[2] = {-5, 0, 3000, 0, 0, 0, 0, 0, 0};
    config.axes[3] = {1000, -2000, -4000, 0, 0, 0, 0, 0, 0};
    config.axes[6] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(1, telvo_Init(&config, &io));
    EXPECT_EQ(800.0, axisLimits.stepsPerUnit[0]);
    EXPECT_EQ(50.0, axisLimits.velocityLimit[0]);
    EXPECT_EQ(250.0, axisLimits.accelerationLimit[0]);
    EXPECT_EQ(1e-10, axisLimits.stepsPerUnit[1]);
    EXPECT_EQ(1000.0 / 1e-10, axisLimits.velocityLimit[1]);
    EXPECT_EQ(0.0, axisLimits.accelerationLimit[1]);
    EXPECT_EQ(1e-10, axisLimits.stepsPerUnit[2]);
    EXPECT_EQ(0.0, axisLimits.velocityLimit[2]);
    EXPECT_EQ(3000.0 / 1e-10, axisLimits.accelerationLimit[2]);
    EXPECT_EQ(-2.0, axisLimits.velocityLimit[3]);
    EXPECT_EQ(-4.0, axisLimits.accelerationLimit[3]);
    EXPECT_EQ(0, telvo_Init(nullptr, &io));
    EXPECT_EQ(0, telvo_Init(&config, nullptr));
    EXPECT_EQ(800.0, axisLimits.stepsPerUnit[0]);  // a refused Init changes nothing
}

}  // namespace
