// Status and direct commands: the status frame and record, the homing and
// probe state with its reset.
#pragma once

#include <cstdint>

#include "telvo/telvo.h"

namespace telvo::status {

constexpr uint32_t kFrameSize = 60;
constexpr uint8_t kRecordSize = 62;

// Offsets within the 60-byte status frame.
namespace frame {
constexpr int kLength = 0;
constexpr int kState = 1;
constexpr int kEvent = 2;
constexpr int kFlags = 3;
constexpr int kDeviceWord0 = 4;
constexpr int kDeviceWord1 = 6;
constexpr int kPosition = 8;  // 7 x int32
constexpr int kSpindlePeriod = 36;
constexpr int kBufferLevel = 40;
constexpr int kDeviceInt0 = 42;
constexpr int kDeviceInt1 = 46;
constexpr int kDeviceInt2 = 50;
constexpr int kDeviceByte = 54;
constexpr int kEventAxis = 55;
constexpr int kSegmentIndex = 56;
constexpr int kDeviceWord2 = 58;
}  // namespace frame

constexpr uint8_t kStateHalted = 3;  // the controller holds motion to purge
constexpr uint8_t kStateSettled = 0;
constexpr uint8_t kEventHomed = 5;
constexpr uint8_t kEventProbeMissed = 6;
constexpr uint8_t kEventProbeTriggered = 7;

// The last complete frame; its bufferLevel is the cached fill level.
extern uint8_t currentFrame[kFrameSize];

uint16_t cachedBufferLevel();
void setCachedBufferLevel(uint16_t level);
uint8_t currentState();
int32_t currentPosition(int axis);

// Homing and probe state.
extern int32_t homingCount;

struct ProbeState {
    int32_t active;
    int32_t planReady;
    double triggerPos[6];
    int32_t result;
    int32_t stopPending;
    int32_t stopCountdown;
};
extern ProbeState probeState;

enum ProbeResult : int32_t {
    kProbeNone = 0,
    kProbeRunning = 1,
    kProbeFailed = 2,
    kProbeTriggered = 3,
};

// Returns homing and probing to idle. Also clears a settling countdown left
// by an interrupted trigger, so it can never end a later probe.
int resetProbeState();

// Exports of the subsystem.
int getStatus(MachineStatus* record);
int cmdPurge(int endOfMove);
int cmdStop(uint8_t stopMode);
int cmdSetOutputs(uint16_t outputs, uint16_t outputWord1, uint16_t outputWord2);
int cmdJogOn(uint8_t axis, int reverse, int speed);
int cmdJogOff(uint8_t axis);
int cmdSpindle(uint8_t mode, uint16_t value, int speed);
int cmdHomeAxis(uint8_t axis);
int setupMpg(uint8_t axis, double scale, int speed, int enable);
int disconnect();
int isHoming();
int isProbing();
int probeResult();

}  // namespace telvo::status
