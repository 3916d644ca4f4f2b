// Probe execution: the feeder samples the plan every millisecond of plan time
// into the segment queue; the status hook watches each new record for the
// trigger (event 7) and the untriggered end (event 6), and settles the
// trigger over a few frames before it reports the position.
#include <cstring>

#include "config/config.h"
#include "link/link.h"
#include "motion/motion.h"
#include "probe/probe.h"
#include "status/status.h"

namespace telvo::probe {

namespace {
constexpr uint8_t kFlagEventConsumed = 0x01;
constexpr int kFeedBatch = 32;  // samples added per hold of the queue lock
}

int sampleProbeMove(double out[6]) {
    ProbePlan& plan = probePlan;
    if (status::probeState.planReady == 0) return 0;
    if (!(plan.clock < plan.endTime)) {
        plan.clock = plan.endTime;
        status::probeState.planReady = 0;
        for (int i = 0; i < 6; ++i) out[i] = plan.end[i];
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
    for (int i = 0; i < 6; ++i) out[i] = plan.start[i] + plan.velocityVector[i] * along;
    plan.clock = plan.clock + kSamplePeriod;
    return 1;
}

void feedProbeMove() {
    status::ProbeState& state = status::probeState;
    if (state.active == 0) return;
    if (state.planReady == 0) {
        if (status::currentState() == status::kStateHalted) (void)status::cmdPurge(0);
        return;
    }
    MotionSegment segment{};
    double sample[6];
    double target[6];
    // Samples are added in batches under one hold of the queue lock: without
    // a lock operation between them, consecutive samples' arithmetic
    // overlaps. A batch holds the lock for well under a microsecond, and the
    // room is still asked for before every sample.
    while (motion::bufFreeCount() > 0 && state.planReady == 1) {
        platform::LockGuard guard(motion::queueLock);
        for (int n = 0; n < kFeedBatch && motion::bufFreeCount() > 0 && state.planReady == 1; ++n) {
            (void)sampleProbeMove(sample);
            for (int i = 0; i < 6; ++i) target[i] = sample[i] * config::axisLimits.stepsPerUnit[i];
            std::memcpy(&segment, target, sizeof target);
            (void)motion::bufAddLocked(segment);
        }
    }
}

void probeStatusHook(MachineStatus* record) {
    status::ProbeState& state = status::probeState;
    if (state.active == 0) return;

    bool completed = false;
    if (state.stopPending == 1 && record->state == status::kStateSettled) {
        if (state.stopCountdown != 0) {
            --state.stopCountdown;
        } else {
            state.stopPending = 0;
            (void)link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
            record->flags = static_cast<uint8_t>(record->flags | kFlagEventConsumed);
            state.active = 0;
            state.result = status::kProbeTriggered;
            completed = true;
        }
    }

    // Once the countdown has completed the probe in this frame, the frame's
    // other events no longer concern it.
    if (completed) return;

    if (record->event == status::kEventProbeMissed && record->state == status::kStateSettled) {
        record->flags = static_cast<uint8_t>(record->flags | kFlagEventConsumed);
        state.active = 0;
        state.planReady = 0;
        (void)link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
        state.result = status::kProbeFailed;
        // A trigger still settling is abandoned with the probe.
        state.stopPending = 0;
        state.stopCountdown = 0;
        return;
    }

    if (record->event == status::kEventProbeTriggered) {
        (void)motion::bufClear();
        state.stopPending = 1;
        state.planReady = 0;
        state.stopCountdown = kSettleFrames;
        for (int i = 0; i < 6; ++i) state.triggerPos[i] = static_cast<double>(record->position[i]);
        for (int j = 3; j < 6; ++j) {
            const int master = config::masterOf(j);
            if (master >= 0) state.triggerPos[j] = state.triggerPos[master];
        }
    }
}

int getProbePos(double* pos) {
    if (pos == nullptr || status::probeState.result != status::kProbeTriggered) return 0;
    for (int i = 0; i < 6; ++i) pos[i] = status::probeState.triggerPos[i];
    return 1;
}

}  // namespace telvo::probe
