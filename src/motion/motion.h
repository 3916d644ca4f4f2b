// Motion stream: the host-side segment queue and its flow-controlled
// streaming to the controller.
#pragma once

#include <cstdint>

#include "common/axes.h"
#include "platform/platform.h"
#include "telvo/telvo.h"

namespace telvo::motion {

constexpr int32_t kQueueSlots = 5000;
constexpr int32_t kQueueCapacity = TELVO_QUEUE_CAPACITY;
constexpr int32_t kMinBufferSize = 300;
constexpr int32_t kMaxBufferSize = 1000;
constexpr int32_t kBufferHeadroom = TELVO_SEND_HEADROOM;  // free controller places needed to send
constexpr int32_t kMaxSegmentsPerBlock = 75;
constexpr uint32_t kWireSegmentSize = 52;

// Serialises queue adds, clears and single removals; created at library load.
extern platform::RecursiveLock queueLock;

// Controller-side buffer size in segments (300..1000).
int32_t bufferSize();

// Tag of a queue slot, read without the lock (the status path).
int32_t slotTag(int32_t slot);

// Exports of the queue.
int bufAdd(const MotionSegment* segment);
// The same add for a caller that already holds queueLock (a batch of adds
// under one lock).
int bufAddLocked(const MotionSegment& segment);
int bufFreeCount();
int bufEmpty();
int bufClear();
int setBufferSize(int size);

// Exports of the streaming.
int bufUpdate();
void posResync();

// The wire conversion of one segment: six targets (six little-endian
// doubles in host order, read through the pointer) against tracked[]
// (steps + 0.5, updated), giving 48 bytes of start phase / travel pairs
// before slaving. convertTargets computes in the current rounding direction
// (callers switch it); convertSegment switches to rounding toward negative
// infinity around it, as the stream does. Exposed for exactness tests and
// benchmarks.
void convertTargets(const void* targets, double tracked[kMotionAxes], uint8_t out[48]);
void convertSegment(const void* targets, double tracked[kMotionAxes], uint8_t out[48]);

// Everything back to the state at load: an empty queue with zeroed slots,
// buffer size 1000, tracked positions 0.
void reset();

}  // namespace telvo::motion
