// The status path: each new 60-byte frame becomes the host's 62-byte record,
// with the executing segment's tag, the automatic purge and the homing event.
// (The probe watches the same records; the exports call it after this.)
#include "status/status.h"

#include "common/bytes.h"
#include "frame/frame.h"
#include "link/link.h"
#include "motion/motion.h"
#include "status/homing.h"

namespace telvo::status {

namespace {

using namespace frame::field;

uint8_t incomingFrame[frame::kFrameSize];

constexpr double kSpindleClockHz = 50000000.0;
constexpr double kSecondsPerMinute = 60.0;
constexpr int kPositionWords = 7;

void fillRecord(const uint8_t* f, MachineStatus* record) {
    record->length = kRecordSize;
    record->state = f[kState];
    record->event = f[kEvent];
    record->flags = f[kFlags];
    record->deviceWord0 = getU16(f + kDeviceWord0);
    record->deviceWord1 = getU16(f + kDeviceWord1);
    for (int i = 0; i < kPositionWords; ++i) record->position[i] = getI32(f + kPosition + 4 * i);
    record->bufferLevel = getU16(f + kBufferLevel);
    record->deviceInt0 = getU32(f + kDeviceInt0);
    record->deviceInt1 = getU32(f + kDeviceInt1);
    record->deviceInt2 = getU32(f + kDeviceInt2);
    record->deviceByte = f[kDeviceByte];
    record->eventAxis = f[kEventAxis];
    record->deviceWord2 = getU16(f + kDeviceWord2);
}

}  // namespace

int getStatus(MachineStatus* record) {
    // Without a record nothing is polled: a frame taken now would be lost.
    if (record == nullptr) return 0;
    if (link::pollStatus(incomingFrame, frame::kFrameSize) == 0 || !frame::complete(incomingFrame))
        return 0;
    frame::keep(incomingFrame);
    const uint8_t* current = frame::current();
    fillRecord(current, record);

    const uint16_t index = getU16(current + kSegmentIndex);
    record->segmentTag = index < motion::kQueueSlots ? motion::slotTag(index) : 0;

    if (static_cast<int32_t>(record->bufferLevel) >=
            motion::bufferSize() - motion::kBufferHeadroom &&
        record->state == frame::kStateHalted) {
        (void)cmdPurge(0);
    }

    if (record->event == frame::kEventHomed) {
        homingFinished();
        record->flags = static_cast<uint8_t>(record->flags | frame::kFlagEventConsumed);
        record->eventAxis = static_cast<uint8_t>(record->eventAxis | frame::kEventAxisConsumed);
    }

    const uint32_t period = getU32(current + kSpindlePeriod);
    record->spindleRpm =
        period == 0
            ? 0.0f
            : static_cast<float>(kSpindleClockHz / static_cast<double>(period) * kSecondsPerMinute);
    return 1;
}

int cmdPurge(int endOfMove) {
    frame::setBufferLevel(0);
    if (endOfMove != 0) return link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
    const uint8_t zero[4] = {0, 0, 0, 0};
    return link::sendCommand(link::kCmdPurge, zero, sizeof zero);
}

}  // namespace telvo::status
