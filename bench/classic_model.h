// The classic look-ahead model, as a yardstick for the planner: each piece of
// the path a trapezoid, corner speeds by junction deviation with the
// deviation equal to the blending tolerance, a backward and a forward pass,
// full stops where the program demands them, the same axis limits. It only
// counts time; it produces no targets.
#pragma once

#include "host/planner.h"

namespace telvo::bench {

struct ClassicResult {
    double seconds = 0.0;    // motion and dwells
    double feedBound = 0.0;  // every piece at its feed, no acceleration
};

ClassicResult classicModel(const tool::Plan& plan, const tool::MotionLimits& limits);

}  // namespace telvo::bench
