// Straight moves through the planner, slaved axes, end counters.
#include "trajectory.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "planner.h"

namespace telvo::tool {

void applySlaves(Vec6& steps, const Vec6& startSteps, const MotionLimits& limits) {
    for (int k = 3; k < kAxisCount; ++k) {
        int m = limits[k].slaveOf;
        if (m >= 1 && m <= kAxisCount)
            steps[k] = startSteps[k] + (steps[m - 1] - startSteps[m - 1]);
    }
}

std::array<long long, kAxisCount> endSteps(const Vec6& target, const Vec6& startSteps,
                                           const MotionLimits& limits) {
    std::array<long long, kAxisCount> out{};
    for (int i = 0; i < kAxisCount; ++i)
        out[i] = static_cast<long long>(std::floor(target[i] + 0.5));
    for (int k = 3; k < kAxisCount; ++k) {
        int m = limits[k].slaveOf;
        if (m >= 1 && m <= kAxisCount) {
            out[k] = static_cast<long long>(std::floor(startSteps[k] + 0.5)) +
                     (out[m - 1] - static_cast<long long>(std::floor(startSteps[m - 1] + 0.5)));
        }
    }
    return out;
}

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

double exactPathTolerance(const MotionLimits& limits, const Vec6& u0, const Vec6& u1) {
    double coarsest = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisLimit& l = limits[i];
        if (!l.enabled || l.slaveOf != 0 || !(l.stepsPerUnit > 0.0)) continue;
        if (std::fabs(u0[i]) > 1e-12 || std::fabs(u1[i]) > 1e-12)
            coarsest = std::max(coarsest, 0.5 / l.stepsPerUnit);
    }
    return coarsest;
}

}  // namespace telvo::tool
