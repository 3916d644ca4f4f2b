// Segment streaming: absolute targets in steps become the controller's wire
// segments (a start phase and a travel per axis), sent in blocks of up to 75
// as the controller's buffer drains.
//
// The conversion is defined by double arithmetic under rounding toward
// negative infinity. The direction is switched once per segment around the
// six axes (MXCSR on x86, see platform/rounding.h); this file is compiled
// with -frounding-math so the compiler does not assume the default direction.
#include <cmath>
#include <cstring>

#include "common/bytes.h"
#include "common/fpconv.h"
#include "config/config.h"
#include "frame/frame.h"
#include "link/link.h"
#include "motion/motion.h"
#include "motion/queue_state.h"
#include "platform/rounding.h"

namespace telvo::motion {

double trackedPosition[kMotionAxes];

namespace {

constexpr double kMicrosPerStep = 1000000.0;  // travel unit: a millionth of a step
constexpr int32_t kPhaseScale = 250;          // start phase unit: 1/250 000 000 step
constexpr double kHalfStep = 0.5;

uint8_t swapNibbles(uint8_t code) {
    return static_cast<uint8_t>((code >> 4) | ((code << 4) & 0xF0));
}

}  // namespace

void convertTargets(const void* targets, double tracked[kMotionAxes], uint8_t out[48]) {
    double t[kMotionAxes];
    std::memcpy(t, targets, sizeof t);
    int32_t words[2 * kMotionAxes];
    for (int a = 0; a < kMotionAxes; ++a) {
        const double d = tracked[a];
        const int32_t base = floorToInt32(d);
        const double baseD = static_cast<double>(base);
        const int32_t s = floorToInt32((d - baseD) * kMicrosPerStep);
        int32_t travel = 0;
        // A target that is not a number holds the axis where it is instead of
        // poisoning every later segment of the axis.
        if (std::isfinite(t[a])) {
            const double v = t[a] + kHalfStep;
            const int32_t e = floorToInt32((v - baseD) * kMicrosPerStep);
            travel = wrapSub(e, s);
            tracked[a] = v;
        }
        words[2 * a] = wrapMul(s, kPhaseScale);
        words[2 * a + 1] = travel;
    }
    for (int i = 0; i < 2 * kMotionAxes; ++i) putI32(out + 4 * i, words[i]);
}

// Kept out of line so that every load of its inputs follows the switch and
// every store of its results precedes the restore: the switch statements
// clobber memory, and the inputs and outputs are reached only through
// pointers. The stream itself switches once around a whole block.
__attribute__((noinline)) void convertSegment(const void* targets, double tracked[kMotionAxes],
                                              uint8_t out[48]) {
    const platform::RoundingState previous = platform::roundDownBegin();
    convertTargets(targets, tracked, out);
    platform::roundRestore(previous);
}

int bufUpdate() {
    const int32_t size = bufferSize();
    if (static_cast<int32_t>(frame::bufferLevel()) > size - kBufferHeadroom) return 0;
    int32_t n = queue.count.load(std::memory_order_relaxed);
    if (n == 0) return 0;
    if (n > kMaxSegmentsPerBlock) n = kMaxSegmentsPerBlock;

    link::beginBlock();
    int32_t sent = 0;
    // One switch for the block: switching costs more than converting, and
    // nothing between the switch and the restore but the conversion does
    // floating-point arithmetic. Slots and tracked positions are loaded after
    // the switch (it clobbers memory), and every result is stored before the
    // restore.
    const platform::RoundingState previous = platform::roundDownBegin();
    uint8_t wire[kWireSegmentSize];
    for (int32_t i = 0; i < n; ++i) {
        platform::LockGuard guard(queueLock);
        // Another thread may have cleared the queue since n was taken.
        const int32_t held = queue.count.load(std::memory_order_relaxed);
        if (held == 0) break;
        const int32_t k = queue.readIndex;
        const MotionSegment& segment = queue.slots[k];
        putU16(wire + 48, static_cast<uint32_t>(k));
        wire[50] = swapNibbles(segment.segmentCode);
        wire[51] = segment.segmentAux;

        convertTargets(&segment, trackedPosition, wire);

        for (int axis = kFirstSlavedAxis; axis < kMotionAxes; ++axis) {
            const int master = config::masterOf(axis);
            if (master >= 0) std::memmove(wire + 8 * axis, wire + 8 * master, 8);
        }
        link::appendToBlock(wire, kWireSegmentSize);
        queue.readIndex = (k + 1) % kQueueSlots;
        queue.count.store(held - 1, std::memory_order_relaxed);
        ++sent;
    }
    platform::roundRestore(previous);
    if (sent == 0) return 0;
    // Until the next frame or purge the controller counts as full: at most
    // one block per status frame.
    frame::setBufferLevel(static_cast<uint16_t>(size));
    link::sendBlock();
    return sent;
}

void posResync() {
    for (int a = 0; a < kMotionAxes; ++a) {
        trackedPosition[a] = static_cast<double>(frame::position(a)) + kHalfStep;
    }
}

}  // namespace telvo::motion
