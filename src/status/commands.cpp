// Direct commands: small fixed payloads written at once, outside the motion
// stream. Homing is the one command whose completion the library follows.
#include "common/axes.h"
#include "common/bytes.h"
#include "common/fpconv.h"
#include "frame/frame.h"
#include "link/link.h"
#include "platform/platform.h"
#include "status/homing.h"
#include "status/status.h"

namespace telvo::status {

namespace {
constexpr double kMpgScaleFactor = 10000.0;
constexpr uint8_t kDisconnectStopMode = 3;
constexpr uint32_t kDisconnectPauseMs = 100;
constexpr int kDisconnectPolls = 5;
}  // namespace

// The homing and probe reset that precedes the stop is the caller's (the
// export), which owns the order of the reset points.
int cmdStop(uint8_t stopMode) {
    return link::sendCommand(link::kCmdStop, &stopMode, 1);
}

int cmdSetOutputs(uint16_t outputs, uint16_t outputWord1, uint16_t outputWord2) {
    uint8_t p[8];
    putU16(p + 0, outputs);
    putU16(p + 2, 0);
    putU16(p + 4, outputWord2);
    putU16(p + 6, outputWord1);
    return link::sendCommand(link::kCmdSetOutputs, p, sizeof p);
}

int cmdJogOn(uint8_t axis, int reverse, int speed) {
    uint8_t p[6];
    putU8(p + 0, axis);
    putU8(p + 1, reverse == 0 ? 1 : 0xFF);
    putI32(p + 2, velocityForm(speed));
    return link::sendCommand(link::kCmdJogOn, p, sizeof p);
}

int cmdJogOff(uint8_t axis) {
    return link::sendCommand(link::kCmdJogOff, &axis, 1);
}

int cmdSpindle(uint8_t mode, uint16_t value, int speed) {
    uint8_t p[10];
    putU8(p + 0, mode);
    putU32(p + 1, value);
    putI32(p + 5, velocityForm(speed));
    putU8(p + 9, 0);  // no defined content: sent as 0
    return link::sendCommand(link::kCmdSpindle, p, sizeof p);
}

int cmdHomeAxis(uint8_t axis) {
    if (axis >= kMotionAxes) return 0;
    homingStarted();
    const uint8_t p[2] = {axis, 0};
    return link::sendCommand(link::kCmdHomeAxis, p, sizeof p);
}

int setupMpg(uint8_t axis, double scale, int speed, int enable) {
    uint8_t p[11];
    putU8(p + 0, axis);
    putI32(p + 1, truncToInt32(scale * kMpgScaleFactor));
    putI32(p + 5, velocityForm(speed));
    putU16(p + 9, enable != 0 ? 1 : 0);
    return link::sendCommand(link::kCmdSetupMpg, p, sizeof p);
}

int disconnect() {
    const uint8_t outputsOff[8] = {};
    (void)link::sendCommand(link::kCmdSetOutputs, outputsOff, sizeof outputsOff);
    const uint8_t stopMode = kDisconnectStopMode;
    (void)link::sendCommand(link::kCmdStop, &stopMode, 1);
    platform::sleepMs(kDisconnectPauseMs);
    // The last frames replace the current one only when complete: a corrupt
    // frame must not become the position a later resync starts from.
    uint8_t incoming[frame::kFrameSize];
    for (int i = 0; i < kDisconnectPolls; ++i) {
        if (link::pollStatus(incoming, frame::kFrameSize) == 1 && frame::complete(incoming))
            frame::keep(incoming);
        platform::sleepMs(kDisconnectPauseMs);
    }
    // The homing and probe reset that follows is the caller's.
    return 0;
}

}  // namespace telvo::status
