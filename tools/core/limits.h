// Each axis's limits as the planner, the checker and the engine use them:
// steps per unit, top velocity and acceleration, slaving; and what follows
// from them alone.
#pragma once

#include <array>

#include "core/common.h"

namespace telvo::tool {

struct AxisLimit {
    bool enabled = false;
    double stepsPerUnit = 1.0;
    double maxVelocity = 0.0;   // steps/s
    double acceleration = 0.0;  // steps/s^2
    int slaveOf = 0;            // 0, or 1 + index of the master axis
};
using MotionLimits = std::array<AxisLimit, kAxisCount>;

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
