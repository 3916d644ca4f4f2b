// Probe execution: the feeder samples the plan every millisecond of plan time
// into the segment queue; the status hook watches each new record for the
// trigger (event 7) and the untriggered end (event 6), and settles the
// trigger over a few frames before it reports the position.
#include <cstring>

#include "config/config.h"
#include "frame/frame.h"
#include "link/link.h"
#include "motion/motion.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "probe/probe_state.h"
#include "status/status.h"

namespace telvo::probe {

ProbeState probeState{};

namespace {
constexpr int kFeedBatch = 32;  // samples added per hold of the queue lock
}

int sampleProbeMove(double out[kMotionAxes]) {
    ProbePlan& plan = probePlan;
    if (probeState.planReady == 0) return 0;
    if (!(plan.clock < plan.endTime)) {
        plan.clock = plan.endTime;
        probeState.planReady = 0;
        for (int i = 0; i < kMotionAxes; ++i) out[i] = plan.end[i];
        return 1;
    }
    const double t = plan.clock;
    double s;
    if (t < plan.accelTime) {
        s = plan.accelRate * t * t * 0.5;
    } else if (t < plan.cruiseTime + plan.accelTime) {
        s = (t - plan.accelTime) * plan.cruiseSpeed + plan.accelDistance;
    } else {
        const double remaining = plan.endTime - t;
        s = plan.endDistance - remaining * remaining * plan.accelRate * 0.5;
    }
    const double along = s / plan.cruiseSpeed;
    for (int i = 0; i < kMotionAxes; ++i) out[i] = plan.start[i] + plan.velocityVector[i] * along;
    plan.clock = plan.clock + kSamplePeriod;
    return 1;
}

void feedProbeMove() {
    ProbeState& state = probeState;
    if (state.active == 0) return;
    if (state.planReady == 0) {
        if (frame::state() == frame::kStateHalted) (void)status::cmdPurge(0);
        return;
    }
    MotionSegment segment{};
    double sample[kMotionAxes];
    double target[kMotionAxes];
    // Samples are added in batches under one hold of the queue lock: without
    // a lock operation between them, consecutive samples' arithmetic
    // overlaps. A batch holds the lock for well under a microsecond, and the
    // room is still asked for before every sample.
    while (motion::bufFreeCount() > 0 && state.planReady == 1) {
        platform::LockGuard guard(motion::queueLock);
        for (int n = 0; n < kFeedBatch && motion::bufFreeCount() > 0 && state.planReady == 1; ++n) {
            (void)sampleProbeMove(sample);
            for (int i = 0; i < kMotionAxes; ++i)
                target[i] = sample[i] * config::limits().stepsPerUnit[i];
            std::memcpy(&segment, target, sizeof target);
            (void)motion::bufAddLocked(segment);
        }
    }
}

void probeStatusHook(MachineStatus* record) {
    ProbeState& state = probeState;
    if (state.active == 0) return;

    bool completed = false;
    if (state.stopPending == 1 && record->state == frame::kStateSettled) {
        if (state.stopCountdown != 0) {
            --state.stopCountdown;
        } else {
            state.stopPending = 0;
            (void)link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
            record->flags = static_cast<uint8_t>(record->flags | frame::kFlagEventConsumed);
            state.active = 0;
            state.result = kProbeTriggered;
            completed = true;
        }
    }

    // Once the countdown has completed the probe in this frame, the frame's
    // other events no longer concern it.
    if (completed) return;

    if (record->event == frame::kEventProbeMissed && record->state == frame::kStateSettled) {
        record->flags = static_cast<uint8_t>(record->flags | frame::kFlagEventConsumed);
        state.active = 0;
        state.planReady = 0;
        (void)link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
        state.result = kProbeFailed;
        // A trigger still settling is abandoned with the probe.
        state.stopPending = 0;
        state.stopCountdown = 0;
        return;
    }

    if (record->event == frame::kEventProbeTriggered) {
        (void)motion::bufClear();
        state.stopPending = 1;
        state.planReady = 0;
        state.stopCountdown = kSettleFrames;
        for (int i = 0; i < kMotionAxes; ++i)
            state.triggerPos[i] = static_cast<double>(record->position[i]);
        for (int j = kFirstSlavedAxis; j < kMotionAxes; ++j) {
            const int master = config::masterOf(j);
            if (master >= 0) state.triggerPos[j] = state.triggerPos[master];
        }
    }
}

int getProbePos(double* pos) {
    if (pos == nullptr || probeState.result != kProbeTriggered) return 0;
    for (int i = 0; i < kMotionAxes; ++i) pos[i] = probeState.triggerPos[i];
    return 1;
}

int isProbing() {
    return probeState.active;
}
int probeResult() {
    return probeState.result;
}

void resetProbeState() {
    probeState.active = 0;
    probeState.planReady = 0;
    probeState.result = kProbeNone;
    probeState.stopPending = 0;
    probeState.stopCountdown = 0;
}

void resetAll() {
    probeState = ProbeState{};
    probePlan = ProbePlan{};
}

}  // namespace telvo::probe
