// The classic look-ahead model, as a yardstick for the planner: each piece of
// the path a trapezoid, corner speeds by junction deviation with the
// deviation equal to the blending tolerance, a backward and a forward pass,
// full stops where the program demands them, the same axis limits. It only
// counts time; it produces no targets.
#pragma once

#include "plan/planner.h"

namespace telvo::bench {

struct ClassicResult {
    // Motion and dwells, with the junction acceleration limited along the
    // bisector of the turn only (as grbl does): at the ends of the turn an
    // axis may take up to sqrt(2) times its limit.
    double seconds = 0.0;
    // The same with every axis held to its limit through the whole turn.
    double secondsHeld = 0.0;
    double feedBound = 0.0;  // every piece at its feed, no acceleration
};

ClassicResult classicModel(const tool::Plan& plan, const tool::MotionLimits& limits);

}  // namespace telvo::bench
