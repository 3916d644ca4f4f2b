// The probe subsystem's state: written only by probe/ (the planner, the
// feeder, the status watch and the reset). White-box tests read and seed it.
#pragma once

#include <cstdint>

#include "common/axes.h"

namespace telvo::probe {

struct ProbeState {
    int32_t active;     // a probe is in progress (what IsProbing returns)
    int32_t planReady;  // the plan still has samples to give
    double triggerPos[kMotionAxes];
    int32_t result;  // ProbeResult
    int32_t stopPending;
    int32_t stopCountdown;
};

struct ProbePlan {
    double start[kMotionAxes];
    double end[kMotionAxes];
    double velocityVector[kMotionAxes];
    double accelVector[kMotionAxes];
    double cruiseSpeed;
    double accelRate;
    double accelTime;
    double cruiseTime;
    double endTime;
    double clock;
    double accelDistance;
    double endDistance;
};

extern ProbeState probeState;
extern ProbePlan probePlan;

}  // namespace telvo::probe
