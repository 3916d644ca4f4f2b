// The queue's state, shared by the two halves of the motion subsystem (the
// queue and the streaming); not used outside it.
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

}  // namespace telvo::motion
