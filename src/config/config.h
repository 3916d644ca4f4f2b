// Machine configuration: the two configuration blocks sent by telvo_Init and
// the per-axis limits the probe planner works with. The state (the stored
// blocks and the limits) is config's own (config/config_state.h).
#pragma once

#include <cstdint>

#include "common/axes.h"
#include "telvo/telvo.h"

namespace telvo::config {

constexpr uint32_t kAxisBlockSize = 262;
constexpr uint32_t kIoBlockSize = 112;

// Per-axis limits in user units (zero until the first Init).
struct AxisLimits {
    double stepsPerUnit[kMotionAxes];       // always > 0 after Init
    double velocityLimit[kMotionAxes];      // units/s
    double accelerationLimit[kMotionAxes];  // units/s^2
};
const AxisLimits& limits();

// Master of axis 3, 4 or 5 as a zero-based index, or -1 when the axis is not
// slaved. A slave byte outside 1..6 names no axis and counts as not slaved.
int masterOf(int axis);

// Block builders, exposed for tests and golden comparisons.
void buildAxisBlock(const MachineConfig& config, uint8_t out[kAxisBlockSize]);
void buildIoBlock(const IoConfig& io, uint8_t out[kIoBlockSize]);
void computeAxisLimits(const MachineConfig& config);

// telvo_Init in two steps, around the homing and probe reset that comes
// between them: storeBlocks builds and keeps both blocks (0, with nothing
// changed, when a record is missing); sendBlocks writes them (codes 9 and
// 11) and computes the limits.
int storeBlocks(const MachineConfig* config, const IoConfig* io);
void sendBlocks(const MachineConfig& config);

// Everything back to the state at load (all zero).
void reset();

}  // namespace telvo::config
