// The status path: each new 60-byte frame becomes the host's 62-byte record,
// with the executing segment's tag, the automatic purge, the homing event and
// the probe hook; without a new frame the probe feeder runs instead.
#include "status/status.h"

#include <cstring>

#include "common/bytes.h"
#include "link/link.h"
#include "motion/motion.h"
#include "probe/probe.h"

namespace telvo::status {

uint8_t currentFrame[kFrameSize];
int32_t homingCount = 0;
ProbeState probeState{};

namespace {

uint8_t incomingFrame[kFrameSize];

constexpr double kSpindleClockHz = 50000000.0;
constexpr double kSecondsPerMinute = 60.0;
constexpr uint8_t kFlagEventConsumed = 0x01;
constexpr uint8_t kEventAxisConsumed = 0x80;

void fillRecord(const uint8_t* f, MachineStatus* record) {
    record->length = kRecordSize;
    record->state = f[frame::kState];
    record->event = f[frame::kEvent];
    record->flags = f[frame::kFlags];
    record->deviceWord0 = getU16(f + frame::kDeviceWord0);
    record->deviceWord1 = getU16(f + frame::kDeviceWord1);
    for (int i = 0; i < 7; ++i) record->position[i] = getI32(f + frame::kPosition + 4 * i);
    record->bufferLevel = getU16(f + frame::kBufferLevel);
    record->deviceInt0 = getU32(f + frame::kDeviceInt0);
    record->deviceInt1 = getU32(f + frame::kDeviceInt1);
    record->deviceInt2 = getU32(f + frame::kDeviceInt2);
    record->deviceByte = f[frame::kDeviceByte];
    record->eventAxis = f[frame::kEventAxis];
    record->deviceWord2 = getU16(f + frame::kDeviceWord2);
}

}  // namespace

uint16_t cachedBufferLevel() { return getU16(currentFrame + frame::kBufferLevel); }
void setCachedBufferLevel(uint16_t level) { putU16(currentFrame + frame::kBufferLevel, level); }
uint8_t currentState() { return currentFrame[frame::kState]; }
int32_t currentPosition(int axis) { return getI32(currentFrame + frame::kPosition + 4 * axis); }

int resetProbeState() {
    homingCount = 0;
    probeState.active = 0;
    probeState.planReady = 0;
    probeState.result = kProbeNone;
    probeState.stopPending = 0;
    probeState.stopCountdown = 0;
    return 0;
}

int getStatus(MachineStatus* record) {
    // Without a record nothing is polled: a frame taken now would be lost.
    if (record == nullptr) return 0;
    if (link::pollStatus(incomingFrame, kFrameSize) == 0 || incomingFrame[frame::kLength] != kFrameSize) {
        probe::feedProbeMove();
        return 0;
    }
    std::memcpy(currentFrame, incomingFrame, kFrameSize);
    fillRecord(currentFrame, record);

    const uint16_t index = getU16(currentFrame + frame::kSegmentIndex);
    record->segmentTag = index < motion::kQueueSlots ? motion::slotTag(index) : 0;

    if (static_cast<int32_t>(record->bufferLevel) >= motion::bufferSize() - motion::kBufferHeadroom &&
        record->state == kStateHalted) {
        (void)cmdPurge(0);
    }

    if (record->event == kEventHomed) {
        homingCount = static_cast<int32_t>(static_cast<uint32_t>(homingCount) - 1u);
        record->flags = static_cast<uint8_t>(record->flags | kFlagEventConsumed);
        record->eventAxis = static_cast<uint8_t>(record->eventAxis | kEventAxisConsumed);
    }

    probe::probeStatusHook(record);

    const uint32_t period = getU32(currentFrame + frame::kSpindlePeriod);
    record->spindleRpm = period == 0
        ? 0.0f
        : static_cast<float>(kSpindleClockHz / static_cast<double>(period) * kSecondsPerMinute);
    return 1;
}

int cmdPurge(int endOfMove) {
    setCachedBufferLevel(0);
    if (endOfMove != 0) return link::sendCommand(link::kCmdPurgeEnd, nullptr, 0);
    const uint8_t zero[4] = {0, 0, 0, 0};
    return link::sendCommand(link::kCmdPurge, zero, sizeof zero);
}

int isHoming() { return homingCount != 0 ? 1 : 0; }
int isProbing() { return probeState.active; }
int probeResult() { return probeState.result; }

}  // namespace telvo::status
