// The run checker: did the motion keep to the machine and to the program?
//
// From the 1 ms targets: every axis's velocity and acceleration within its
// limits, the path within the blending tolerance of the programmed path. From
// the controller's reported positions (XY, with the time of each report): the
// path within the tolerance plus the step quantisation, the velocity within
// limits over windows long enough for the quantisation not to matter. And
// whether the end point was reached.
#pragma once

#include <string>
#include <vector>

#include "planner.h"
#include "svg.h"

namespace telvo::tool {

struct CheckReport {
    double velocityRatio = 0.0;      // highest |v| / limit over axes and targets
    double accelerationRatio = 0.0;  // highest |a| / limit
    double deviation = 0.0;          // largest distance of a target from the path, machine units
    double executedDeviation = 0.0;  // same for reported positions (XY)
    double executedVelocityRatio = 0.0;
    size_t targetsChecked = 0, positionsChecked = 0;
    bool endReached = true;
    std::vector<std::string> problems;  // the first few faults
    size_t faults = 0;
    bool ok() const { return faults == 0 && endReached; }
    std::string summary() const;
};

// Checks the targets of a plan against the axes' limits and the path.
CheckReport checkPlan(const Plan& plan, const MotionLimits& limits);

// Adds the check of the reported positions: XY in machine units, with the
// controller time of each report (seconds, increasing) and the number of
// the plan's targets executed by then (the report lies on the path near
// that target). Without `seconds` (reports read at the host's pace) only the
// path is checked.
void checkExecuted(CheckReport& report, const Plan& plan, const MotionLimits& limits,
                   const std::vector<Point>& xy, const std::vector<double>& seconds,
                   const std::vector<size_t>& segments);

}  // namespace telvo::tool
