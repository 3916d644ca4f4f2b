// The shared vocabulary's few functions: diagnostics as text, and the
// facts of the axis limits that planning, checking and files all use.
#include <algorithm>
#include <cmath>

#include "core/canon.h"
#include "core/limits.h"

namespace telvo::tool {

std::string formatDiagnostics(const std::vector<Diagnostic>& list, const std::string& file,
                              bool truncated) {
    std::string s;
    for (const Diagnostic& d : list) {
        s += file + ":" + std::to_string(d.line) + ": ";
        if (!d.word.empty()) s += d.word + ": ";
        s += d.message;
        if (!d.hint.empty()) s += " (" + d.hint + ")";
        s += "\n";
    }
    if (truncated) s += file + ": more problems follow; fix these first\n";
    return s;
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

}  // namespace telvo::tool
