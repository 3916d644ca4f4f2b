// The controller's status frame: its layout, and the last complete frame the
// library has taken (whose buffer level is the cached fill level of the
// controller). The status path stores frames; the stream and the probe read
// the state, positions and fill level from here.
#pragma once

#include <cstdint>

namespace telvo::frame {

constexpr uint32_t kFrameSize = 60;

// Offsets within the 60-byte status frame.
namespace field {
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
}  // namespace field

// Controller states and events the library reacts to.
constexpr uint8_t kStateSettled = 0;
constexpr uint8_t kStateHalted = 3;  // the controller holds motion to purge
constexpr uint8_t kEventHomed = 5;
constexpr uint8_t kEventProbeMissed = 6;
constexpr uint8_t kEventProbeTriggered = 7;

// Set in the host's record when the library consumed the frame's event.
constexpr uint8_t kFlagEventConsumed = 0x01;
constexpr uint8_t kEventAxisConsumed = 0x80;

// A frame is complete when its length byte says 60.
bool complete(const uint8_t* frame);

// Replaces the last complete frame.
void keep(const uint8_t incoming[kFrameSize]);
// The last complete frame (all zero until the first).
const uint8_t* current();

uint16_t bufferLevel();
void setBufferLevel(uint16_t level);
uint8_t state();
int32_t position(int axis);

// Back to the state at load: no frame yet.
void reset();

}  // namespace telvo::frame
