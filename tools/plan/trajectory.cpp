// Straight moves through the planner, slaved axes, end counters.
#include "plan/trajectory.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "plan/planner.h"

namespace telvo::tool {

Trajectory straightMove(const Vec6& fromSteps, const Vec6& toSteps, const MotionLimits& limits,
                        double feed) {
    // One move of a program that starts here, with an exact stop at its end.
    Interpreted program;
    Op move;
    move.kind = feed > 0.0 ? OpKind::Linear : OpKind::Rapid;
    move.feed = feed > 0.0 ? feed : 0.0;
    move.tolerance = -1.0;
    for (int i = 0; i < kAxisCount; ++i) {
        bool moves = limits[i].enabled && limits[i].slaveOf == 0;
        program.start[i] = moves ? fromSteps[i] / limits[i].stepsPerUnit : 0.0;
        move.end[i] = moves ? toSteps[i] / limits[i].stepsPerUnit : 0.0;
    }
    program.ops.push_back(move);
    PlanSettings settings;
    settings.limits = limits;
    Plan plan = planProgram(program, settings, fromSteps);
    if (!plan.errors.empty()) throw ToolError("straight move: " + plan.errors.front().message);
    Trajectory t;
    t.start = fromSteps;
    t.targets = std::move(plan.targets);
    // The end point in steps exactly as asked, not through units and back.
    if (!t.targets.empty()) {
        Vec6& last = t.targets.back();
        for (int i = 0; i < kAxisCount; ++i) {
            if (limits[i].enabled && limits[i].slaveOf == 0) last[i] = toSteps[i];
        }
        applySlaves(last, fromSteps, limits);
    }
    return t;
}

}  // namespace telvo::tool
