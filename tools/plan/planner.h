// The look-ahead planner: interpreted operations become the 1 ms targets.
//
// Arcs are cut into chords within a small tolerance. Every corner between two
// moves that may blend is rounded by an arc that stays within the blending
// tolerance (G64 P) and within half of each neighbouring move; the arc is run
// at constant speed, which the axes' velocity and (centripetal) acceleration
// limits allow, as in junction deviation. Corners that must not blend (G61.1,
// G61 on a bend, dwells, spindle, coolant, tool changes, pauses, reversals)
// are full stops. Speeds at the corners then come from a backward and a
// forward pass over the whole program, so chains of short moves reach their
// feed wherever the corners and the distance allow. Between corners each
// line gets a trapezoidal speed profile within its axes' limits. The path is
// sampled every millisecond on one continuous clock.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"
#include "core/canon.h"
#include "plan/trajectory.h"

namespace telvo::tool {

struct PlanSettings {
    MotionLimits limits{};
    double chordTolerance = 0.001;  // machine units
    std::array<bool, kAxisCount> hasMin{}, hasMax{};
    Vec6 min{}, max{};  // soft limits, machine units
    // What one plan may hold: the targets stay in memory (48 bytes each).
    double maxSeconds = 4.0 * 3600.0;
    size_t maxPieces = 20'000'000;
};

// One straight piece of the programmed path (a line or an arc's chord).
struct PathPiece {
    Vec6 a{}, b{};           // machine units
    double tolerance = 0.0;  // at its end corner: < 0 stop, 0 exact path, > 0 blending
    double feed = 0.0;       // units per second; 0 for rapids
    int line = 0;
    bool rapid = false;
    bool stopAfter = false;  // a dwell or an action follows: full stop
    int op = -1;             // index into Interpreted::ops of the move it belongs to
};

struct PlanStep {
    size_t firstTarget = 0, endTarget = 0;  // motion before the action
    int op = -1;                            // index into Interpreted::ops, or -1
};

struct Plan {
    Vec6 startSteps{};
    std::vector<Vec6> targets;  // steps, 1 ms apart within a step
    std::vector<PlanStep> steps;
    std::vector<PathPiece> pieces;  // the programmed path as planned
    // The first target of each piece: the targets from pieceStart[k] to
    // pieceStart[k + 1] run along piece k and the blend into piece k + 1.
    std::vector<size_t> pieceStart;
    std::vector<std::pair<size_t, bool>> rapidRuns;  // (first target, rapid) where the kind changes
    std::vector<Diagnostic> errors;                  // travel outside the soft limits
    double feedBoundSeconds = 0.0;                   // every move at its feed, no acceleration
    double dwellSeconds = 0.0;
    double seconds() const { return static_cast<double>(targets.size()) * kSegmentSeconds; }
};

// Plans an interpreted program that starts where the controller stands
// (`startSteps`, the same point as program.start).
Plan planProgram(const Interpreted& program, const PlanSettings& settings, const Vec6& startSteps);

}  // namespace telvo::tool
