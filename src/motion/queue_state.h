// The motion subsystem's state, shared by its two halves (the queue and the
// streaming) and written only by them. White-box tests read it.
#pragma once

#include <atomic>

#include "motion/motion.h"

namespace telvo::motion {

struct QueueState {
    MotionSegment slots[kQueueSlots];
    int32_t writeIndex;
    int32_t readIndex;
    // Changed under queueLock; read without it by the free-count and empty
    // queries, which may see a value one operation old.
    std::atomic<int32_t> count;
};
extern QueueState queue;

// The stream's tracked positions (steps + 0.5).
extern double trackedPosition[kMotionAxes];

}  // namespace telvo::motion
