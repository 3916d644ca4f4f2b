// Trajectories: the 1 ms position targets, in steps, that a stream sends,
// the axes' limits they keep to, and the straight moves the host makes
// between programs (approach, retract), planned like any program move.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "common.h"

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

// A straight move at the highest speed the axes allow (feed 0) or at `feed`
// units per second, from one position in steps to another: accelerate,
// cruise, stop, every axis within its limits. The last target is `toSteps`
// exactly on the axes that move; slaved axes follow their master. Throws
// ToolError for a move too long to hold in memory.
Trajectory straightMove(const Vec6& fromSteps, const Vec6& toSteps, const MotionLimits& limits,
                        double feed = 0.0);

// How far an exact-path (G61) bend between directions u0 and u1 may leave
// the programmed corner: half a step of the coarsest programmable axis that
// either direction moves, below what the machine can position.
double exactPathTolerance(const MotionLimits& limits, const Vec6& u0, const Vec6& u1);

// A slaved axis (3, 4, 5, in that order) moves by its master's motion: its
// target is its start plus the master's travel from the master's start.
void applySlaves(Vec6& steps, const Vec6& startSteps, const MotionLimits& limits);

// The step counters the controller ends on for a final target: the step in
// which the target lies after rounding half up; a slaved axis ends on its
// starting counter plus its master's travel in whole steps.
std::array<long long, kAxisCount> endSteps(const Vec6& target, const Vec6& startSteps,
                                           const MotionLimits& limits);

}  // namespace telvo::tool
