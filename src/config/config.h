// Machine configuration: the two configuration blocks sent by telvo_Init and
// the per-axis limits the probe planner works with.
#pragma once

#include <cstdint>

#include "telvo/telvo.h"

namespace telvo::config {

constexpr uint32_t kAxisBlockSize = 262;
constexpr uint32_t kIoBlockSize = 112;
constexpr int kMotionAxes = 6;

// The stored blocks (zero until the first Init).
extern uint8_t axisConfigBlock[kAxisBlockSize];
extern uint8_t ioConfigBlock[kIoBlockSize];

// Master of axis 3, 4 or 5 as a zero-based index, or -1 when the axis is not
// slaved. A slave byte outside 1..6 names no axis and counts as not slaved.
int masterOf(int axis);

// Per-axis limits in user units (zero until the first Init).
struct AxisLimits {
    double stepsPerUnit[kMotionAxes];       // always > 0 after Init
    double velocityLimit[kMotionAxes];      // units/s
    double accelerationLimit[kMotionAxes];  // units/s^2
};
extern AxisLimits axisLimits;

// Block builders, exposed for tests and golden comparisons.
void buildAxisBlock(const MachineConfig& config, uint8_t out[kAxisBlockSize]);
void buildIoBlock(const IoConfig& io, uint8_t out[kIoBlockSize]);
void computeAxisLimits(const MachineConfig& config);

int init(const MachineConfig* config, const IoConfig* io);

}  // namespace telvo::config
