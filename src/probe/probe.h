// Probing: the probe move planner and the execution that feeds and watches it.
#pragma once

#include <cstdint>

#include "telvo/telvo.h"

namespace telvo::probe {

using Vec6 = double[6];

struct ProbePlan {
    double start[6];
    double end[6];
    double velocityVector[6];
    double accelVector[6];
    double cruiseSpeed;
    double accelRate;
    double accelTime;
    double cruiseTime;
    double endTime;
    double clock;
    double accelDistance;
    double endDistance;
};
extern ProbePlan probePlan;

constexpr double kSamplePeriod = 0.001;  // one sample per millisecond of plan time
constexpr int32_t kSettleFrames = 2;

// Plans a move between two points in user units; sets planReady.
void planProbeMove(const double start[6], const double end[6], double speed);
// Writes the next sample of the plan; 0 when no sample is left.
int sampleProbeMove(double out[6]);
// Feeds samples into the queue (status path, no new frame).
void feedProbeMove();
// Watches each new status record for the probe events.
void probeStatusHook(MachineStatus* record);

// The 48-byte payload of the probe command for the current plan: per axis
// the acceleration figure (slaved axes copied), then 24 reserved zero bytes.
void buildProbeCommand(uint8_t out[48]);

int cmdProbe(const double* start, const double* end, double speed);
int getProbePos(double* pos);

}  // namespace telvo::probe
