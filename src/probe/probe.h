// Probing: the probe move planner, the feeder that streams the plan, the
// watch on each status record for the trigger, and the result. The probe
// subsystem owns the probe state and the plan (probe/probe_state.h) and is
// their only writer.
#pragma once

#include <cstdint>

#include "common/axes.h"
#include "telvo/telvo.h"

namespace telvo::probe {

constexpr double kSamplePeriod = 0.001;  // one sample per millisecond of plan time
constexpr int32_t kSettleFrames = 2;
constexpr uint32_t kProbeCommandSize = 48;

enum ProbeResult : int32_t {
    kProbeNone = 0,
    kProbeRunning = 1,
    kProbeFailed = 2,
    kProbeTriggered = 3,
};

// Plans a move between two points in user units; sets planReady.
void planProbeMove(const double start[kMotionAxes], const double end[kMotionAxes], double speed);
// Writes the next sample of the plan; 0 when no sample is left.
int sampleProbeMove(double out[kMotionAxes]);
// The probe command's payload for the current plan: per axis the
// acceleration figure (slaved axes copied), then 24 reserved zero bytes.
void buildProbeCommand(uint8_t out[kProbeCommandSize]);

// Feeds samples into the queue (a status poll without a new frame).
void feedProbeMove();
// Watches each new status record for the probe events.
void probeStatusHook(MachineStatus* record);

// Exports of the subsystem.
int cmdProbe(const double* start, const double* end, double speed);
int getProbePos(double* pos);
int isProbing();
int probeResult();

// The reset points' part: probing back to idle (active, planReady, result),
// and a settling countdown left by an interrupted trigger cleared, so that
// it can never end a later probe. The trigger position and the plan stay.
void resetProbeState();
// Everything back to the state at load, the plan and trigger position too.
void resetAll();

}  // namespace telvo::probe
