// The probe move planner: a straight six-axis line in user units with a
// trapezoidal (or, for short lines, triangular) speed profile held within
// every axis's velocity and acceleration limits, and the probe command that
// arms the controller.
#include <cmath>
#include <limits>

#include "common/bytes.h"
#include "common/fpconv.h"
#include "config/config.h"
#include "link/link.h"
#include "probe/probe.h"
#include "probe/probe_state.h"

namespace telvo::probe {

ProbePlan probePlan{};

namespace {

constexpr int kAxes = kMotionAxes;
constexpr int kReservedOffset = 4 * kAxes;
constexpr double kFigureScaleA = 1.6e-11;
constexpr double kFigureScaleB = 2.5e8;

double length(const double v[kAxes]) {
    double sum = 0.0;
    for (int i = 0; i < kAxes; ++i) sum += v[i] * v[i];
    return std::sqrt(sum);
}

void scale(double v[kAxes], double factor) {
    for (int i = 0; i < kAxes; ++i) v[i] *= factor;
}

// Running minimum: a component replaces the current one only when the
// current one is strictly greater.
double minimum(const double v[kAxes]) {
    double m = v[0];
    for (int i = 1; i < kAxes; ++i) {
        if (m > v[i]) m = v[i];
    }
    return m;
}

// Component-wise limit / |velocity|. An axis that does not move gives an
// infinite ratio and never limits, whatever its limit (also 0 or negative).
void ratios(const double limit[kAxes], const double velocity[kAxes], double out[kAxes]) {
    for (int i = 0; i < kAxes; ++i) {
        out[i] = velocity[i] == 0.0 ? std::numeric_limits<double>::infinity()
                                    : limit[i] / std::fabs(velocity[i]);
    }
}

bool allFinite(const double v[kAxes]) {
    for (int i = 0; i < kAxes; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

// The limits of every axis that moves must be usable: a plan over a zero or
// negative limit has zero, infinite or undefined times.
bool limitsUsable(const double d[kAxes]) {
    for (int i = 0; i < kAxes; ++i) {
        if (d[i] == 0.0) continue;
        if (!(config::limits().velocityLimit[i] > 0.0) ||
            !(config::limits().accelerationLimit[i] > 0.0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void planProbeMove(const double start[kAxes], const double end[kAxes], double speed) {
    ProbePlan& plan = probePlan;
    double d[kAxes];
    for (int i = 0; i < kAxes; ++i) {
        plan.start[i] = start[i];
        plan.end[i] = end[i];
        d[i] = end[i] - start[i];
    }
    const double lineLength = length(d);
    // Refused: an empty line, a speed that is not above 0, a non-finite
    // coordinate or speed, or unusable limits on a moving axis. No plan is
    // handed to the sampler that could keep it running forever.
    if (lineLength == 0.0 || !(speed > 0.0) || !std::isfinite(speed) || !allFinite(d) ||
        !allFinite(start) || !allFinite(end) || !std::isfinite(lineLength) || !limitsUsable(d)) {
        probeState.planReady = 0;
        return;
    }

    double velocity[kAxes];
    for (int i = 0; i < kAxes; ++i) velocity[i] = d[i];
    scale(velocity, speed / lineLength);

    double r[kAxes];
    ratios(config::limits().velocityLimit, velocity, r);
    const double rv = minimum(r);
    if (rv < 1.0) scale(velocity, rv);

    ratios(config::limits().accelerationLimit, velocity, r);
    const double ra = minimum(r);
    double accel[kAxes];
    for (int i = 0; i < kAxes; ++i) accel[i] = velocity[i] * ra;

    double accelTime = length(velocity) / length(accel);
    double p[kAxes];
    for (int i = 0; i < kAxes; ++i) p[i] = accel[i] * (0.5 * accelTime * accelTime);
    const double dist = length(p);

    if (0.5 * lineLength < dist) {
        for (int i = 0; i < kAxes; ++i) p[i] = d[i] * 0.5;
        accelTime = std::sqrt(lineLength / length(accel));
    }

    double cruise[kAxes];
    for (int i = 0; i < kAxes; ++i) cruise[i] = d[i] - 2.0 * p[i];
    const double cruiseTime = length(cruise) / length(velocity);

    // Times so extreme that the sampler could not step through them in
    // 1 ms increments are no usable plan either.
    const double endTime = accelTime + accelTime + cruiseTime;
    if (!std::isfinite(endTime) || !(endTime + kSamplePeriod > endTime)) {
        probeState.planReady = 0;
        return;
    }

    for (int i = 0; i < kAxes; ++i) {
        plan.velocityVector[i] = velocity[i];
        plan.accelVector[i] = accel[i];
    }
    plan.accelTime = accelTime;
    plan.cruiseTime = cruiseTime;
    plan.clock = 0.0;
    plan.endTime = endTime;
    plan.accelRate = length(accel);
    plan.cruiseSpeed = length(velocity);
    probeState.planReady = 1;
    plan.accelDistance = plan.accelRate * plan.accelTime * plan.accelTime * 0.5;
    plan.endDistance =
        plan.cruiseSpeed * plan.cruiseTime + plan.accelRate * plan.accelTime * plan.accelTime;
}

void buildProbeCommand(uint8_t out[kProbeCommandSize]) {
    int32_t figure[kAxes];
    int32_t reserved[kAxes] = {};
    for (int i = 0; i < kAxes; ++i) {
        const double a = config::limits().stepsPerUnit[i] * probePlan.accelVector[i];
        // Each product is a double of its own before the truncation.
        const double scaled = std::fabs(a * kFigureScaleA);
        const double product = scaled * kFigureScaleB;
        figure[i] = truncToInt32(product);
    }
    for (int j = kFirstSlavedAxis; j < kAxes; ++j) {
        const int master = config::masterOf(j);
        if (master >= 0) {
            figure[j] = figure[master];
            reserved[j] = reserved[master];
        }
    }
    for (int i = 0; i < kAxes; ++i) {
        putI32(out + 4 * i, figure[i]);
        putI32(out + kReservedOffset + 4 * i, reserved[i]);
    }
}

int cmdProbe(const double* start, const double* end, double speed) {
    ProbeState& state = probeState;
    // A new probe never inherits a settling countdown of an earlier one.
    state.stopPending = 0;
    state.stopCountdown = 0;
    if (start == nullptr || end == nullptr) {
        state.planReady = 0;
        state.active = 0;
        state.result = kProbeFailed;
        return 0;
    }

    double s[kAxes];
    double e[kAxes];
    for (int i = 0; i < kAxes; ++i) {
        const double stepsPerUnit = std::fabs(config::limits().stepsPerUnit[i]);
        s[i] = start[i] / stepsPerUnit;
        e[i] = end[i] / stepsPerUnit;
    }
    planProbeMove(s, e, speed);
    if (state.planReady == 0) {
        state.active = 0;
        state.result = kProbeFailed;
        return 0;
    }

    uint8_t payload[kProbeCommandSize];
    buildProbeCommand(payload);
    state.active = 1;
    state.result = kProbeRunning;
    return link::sendCommand(link::kCmdProbe, payload, kProbeCommandSize);
}

}  // namespace telvo::probe
