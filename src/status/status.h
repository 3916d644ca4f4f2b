// Status and direct commands: the host's status record made from each new
// frame, the immediate commands, and homing, which the library follows from
// its command to the controller's homed event.
#pragma once

#include <cstdint>

#include "telvo/telvo.h"

namespace telvo::status {

constexpr uint8_t kRecordSize = 62;

// Polls for a new frame. 1 with the record filled from it (segment tag,
// automatic purge and homing event handled); 0 when there is no record or
// no new complete frame.
int getStatus(MachineStatus* record);

// Direct commands (each returns the result of its write).
int cmdPurge(int endOfMove);
int cmdStop(uint8_t stopMode);
int cmdSetOutputs(uint16_t outputs, uint16_t outputWord1, uint16_t outputWord2);
int cmdJogOn(uint8_t axis, int reverse, int speed);
int cmdJogOff(uint8_t axis);
int cmdSpindle(uint8_t mode, uint16_t value, int speed);
int cmdHomeAxis(uint8_t axis);
int setupMpg(uint8_t axis, double scale, int speed, int enable);
// Outputs off, stop, then the last five polls; returns 0.
int disconnect();

// Homing: the count of homing commands whose end the controller has not yet
// reported (below 0 after surplus homed events, until the next reset).
int isHoming();
int32_t homingCount();
void resetHoming();

}  // namespace telvo::status
