// The interpolator: moves become 1 ms position targets in steps.
//
// Every move gets its own trapezoidal speed profile (accelerate, cruise,
// decelerate; a triangle when the move is too short to reach its speed) and
// stops exactly at its end point. The profile's speed and acceleration are
// chosen so that every axis stays within its own limits in steps: for a line
// the axis's share of the path speed, for an arc in XY also the centripetal
// acceleration. The profile is then stretched to a whole number of
// milliseconds, which only lowers speed and acceleration, and the last sample
// of a move is its end point exactly.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "common.h"
#include "gcode.h"

namespace telvo::tool {

struct AxisLimit {
    bool enabled = false;
    double stepsPerUnit = 1.0;
    double maxVelocity = 0.0;   // steps/s
    double acceleration = 0.0;  // steps/s^2
    int slaveOf = 0;            // 0, or 1 + index of the master axis
};
using MotionLimits = std::array<AxisLimit, kAxisCount>;

struct Trajectory {
    Vec6 start{};               // steps
    std::vector<Vec6> targets;  // steps, the end of each 1 ms segment
    Vec6 end() const { return targets.empty() ? start : targets.back(); }
    double seconds() const { return static_cast<double>(targets.size()) * kSegmentSeconds; }
};

// Interpolates a program whose start is `startSteps` (the controller's
// counters; the program's start in units must be the same point).
Trajectory interpolate(const Program& program, const Vec6& startSteps, const MotionLimits& limits);

// A straight move at the highest speed the axes allow (feed 0) or at `feed`
// units per second, from one position in steps to another.
Trajectory straightMove(const Vec6& fromSteps, const Vec6& toSteps, const MotionLimits& limits,
                        double feed = 0.0);

// A slaved axis (3, 4, 5, in that order) moves by its master's motion: its
// target is its start plus the master's travel from the master's start.
void applySlaves(Vec6& steps, const Vec6& startSteps, const MotionLimits& limits);

// The step counters the controller ends on for a final target: the step in
// which the target lies after rounding half up; a slaved axis ends on its
// starting counter plus its master's travel in whole steps.
std::array<long long, kAxisCount> endSteps(const Vec6& target, const Vec6& startSteps,
                                           const MotionLimits& limits);

}  // namespace telvo::tool
