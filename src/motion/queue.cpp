// The segment queue: a 5000-slot ring that holds at most 4000 segments.
//
// The 1000 spare slots are the largest controller buffer: a slot is
// overwritten only after 1000 later segments were sent, so the slot the
// controller reports as executing still holds that segment's tag.
#include <cstring>

#include "motion/motion.h"
#include "motion/queue_state.h"

namespace telvo::motion {

QueueState queue{};

namespace {
int32_t bufferSizeValue = kMaxBufferSize;
}

int32_t bufferSize() {
    return bufferSizeValue;
}

// Taken under the lock: an add from another thread may be writing a slot.
int32_t slotTag(int32_t slot) {
    if (slot < 0 || slot >= kQueueSlots) return 0;
    platform::LockGuard guard(queueLock);
    return queue.slots[slot].tag;
}

int bufAddLocked(const MotionSegment& segment) {
    const int32_t held = queue.count.load(std::memory_order_relaxed);
    if (held >= kQueueCapacity) return 0;
    std::memcpy(&queue.slots[queue.writeIndex], &segment, sizeof(MotionSegment));
    queue.writeIndex = (queue.writeIndex + 1) % kQueueSlots;
    queue.count.store(held + 1, std::memory_order_relaxed);
    return 1;
}

int bufAdd(const MotionSegment* segment) {
    if (segment == nullptr) return 0;
    platform::LockGuard guard(queueLock);
    return bufAddLocked(*segment);
}

int bufFreeCount() {
    return (kQueueCapacity - 1) - queue.count.load(std::memory_order_relaxed);
}

int bufEmpty() {
    return queue.count.load(std::memory_order_relaxed) == 0 ? 1 : 0;
}

int bufClear() {
    platform::LockGuard guard(queueLock);
    queue.writeIndex = 0;
    queue.readIndex = 0;
    queue.count.store(0, std::memory_order_relaxed);
    return 1;
}

void reset() {
    platform::LockGuard guard(queueLock);
    queue.writeIndex = 0;
    queue.readIndex = 0;
    queue.count.store(0, std::memory_order_relaxed);
    std::memset(queue.slots, 0, sizeof queue.slots);
    bufferSizeValue = kMaxBufferSize;
    for (double& p : trackedPosition) p = 0.0;
}

int setBufferSize(int size) {
    if (size < kMinBufferSize) size = kMinBufferSize;
    if (size > kMaxBufferSize) size = kMaxBufferSize;
    bufferSizeValue = size;
    return size;
}

}  // namespace telvo::motion
