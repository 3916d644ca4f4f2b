// Trajectories: the 1 ms position targets, in steps, that a stream sends,
// the axes' limits they keep to, and the straight moves the host makes
// between programs (approach, retract), planned like any program move.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/limits.h"

namespace telvo::tool {

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

}  // namespace telvo::tool
