// Part programs given as 1 ms targets: a CSV file whose rows are the
// absolute positions in steps at the end of each millisecond.
//
// An optional header names the columns by axis letter ("x,y,z"); without it
// the columns are X, Y, Z, A, B, C in order (one to six of them). '#' starts
// a comment line. Axes without a column stay where they are. Every step
// between rows is checked against the axis's max_velocity, so a file cannot
// ask the controller for more than the machine allows.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "core/common.h"
#include "plan/trajectory.h"

namespace telvo::tool {

struct CsvTargets {
    std::array<int, kAxisCount> column{};  // column of each axis, or -1
    std::vector<Vec6> rows;                // steps; axes without a column are 0
    std::vector<int> lines;                // source line of each row
};

// Parses and checks the rows among themselves; throws LineError.
CsvTargets parseCsvTargets(std::string_view text, const MotionLimits& limits);

// The targets as a trajectory from the controller's position: axes without a
// column keep their start, slaved axes follow; the first row is checked
// against the start position.
Trajectory csvTrajectory(const CsvTargets& csv, const Vec6& startSteps, const MotionLimits& limits);

}  // namespace telvo::tool
