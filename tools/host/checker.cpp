// Run checker; see checker.h.
#include "checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace telvo::tool {
namespace {

constexpr size_t kMaxProblems = 5;
// Relative slack for rounding in the comparisons with the limits.
constexpr double kSlack = 1e-6;
// A reported position is compared with the path this many targets either
// side of the segment it was reported in.
constexpr size_t kReportWindow = 16;
// Windows for the reported positions: long enough that one step of
// quantisation is small against the limits.
constexpr double kVelocityWindow = 0.010;

void fault(CheckReport& r, const std::string& text) {
    ++r.faults;
    if (r.problems.size() < kMaxProblems) r.problems.push_back(text);
}

// Distance of p from the segment a-b over the axes in `use`.
template <size_t N>
double segmentDistance(const std::array<double, N>& p, const std::array<double, N>& a,
                       const std::array<double, N>& b) {
    double ab2 = 0.0, t = 0.0;
    for (size_t i = 0; i < N; ++i) {
        ab2 += (b[i] - a[i]) * (b[i] - a[i]);
        t += (p[i] - a[i]) * (b[i] - a[i]);
    }
    t = ab2 > 0.0 ? std::clamp(t / ab2, 0.0, 1.0) : 0.0;
    double d2 = 0.0;
    for (size_t i = 0; i < N; ++i) {
        double q = a[i] + (b[i] - a[i]) * t - p[i];
        d2 += q * q;
    }
    return std::sqrt(d2);
}

// The programmed path as the plan walked it: which piece each target
// belongs to (from the plan's piece starts), and distances from the pieces.
class PiecePath {
public:
    PiecePath(const Plan& plan, const MotionLimits& limits, bool xyOnly)
        : plan_(plan), limits_(limits), xyOnly_(xyOnly) {}
    bool empty() const { return plan_.pieces.empty(); }
    // The piece target `k` runs along (or blends out of).
    size_t pieceOf(size_t k) const {
        const std::vector<size_t>& starts = plan_.pieceStart;
        auto it = std::upper_bound(starts.begin(), starts.end(), k);
        size_t j = it == starts.begin() ? 0 : static_cast<size_t>(it - starts.begin()) - 1;
        return std::min(j, plan_.pieces.size() - 1);
    }
    // Nearest distance of p from the pieces first..last (and the blend out
    // of the last into the next); `allowed` is the tolerance there and
    // `at` the nearest piece.
    double distance(const Vec6& p, size_t first, size_t last, double& allowed, size_t& at) const {
        last = std::min(last + 1, plan_.pieces.size() - 1);
        double best = dist(p, first);
        at = first;
        allowed = tolerance(first);
        for (size_t j = first + 1; j <= last; ++j) {
            double d = dist(p, j);
            allowed = std::max(allowed, tolerance(j));
            if (d < best) best = d, at = j;
        }
        return best;
    }
    double tolerance(size_t j) const {
        double tol = cornerTolerance(j);
        if (j > 0) tol = std::max(tol, cornerTolerance(j - 1));
        return tol * (1.0 + kSlack) + 1e-7;
    }
    // Distance of p from the corner at the end of piece j.
    double fromCorner(const Vec6& p, size_t j) const {
        const Vec6& c = plan_.pieces[j].b;
        double d2 = 0.0;
        for (int i = 0; i < (xyOnly_ ? 2 : kAxisCount); ++i) d2 += (p[i] - c[i]) * (p[i] - c[i]);
        return std::sqrt(d2);
    }
    int line(size_t j) const { return plan_.pieces[j].line; }

private:
    // What the corner at the end of piece j may deviate: its blending
    // tolerance, or under exact path the resolution the planner blends in.
    double cornerTolerance(size_t j) const {
        const PathPiece& s = plan_.pieces[j];
        if (s.tolerance != 0.0 || j + 1 >= plan_.pieces.size()) return std::max(s.tolerance, 0.0);
        return exactPathTolerance(limits_, direction(s), direction(plan_.pieces[j + 1]));
    }
    static Vec6 direction(const PathPiece& s) {
        Vec6 d{};
        for (int i = 0; i < kAxisCount; ++i) d[i] = s.b[i] - s.a[i];
        return d;
    }
    double dist(const Vec6& p, size_t j) const {
        const PathPiece& s = plan_.pieces[j];
        if (xyOnly_) return segmentDistance<2>({p[0], p[1]}, {s.a[0], s.a[1]}, {s.b[0], s.b[1]});
        return segmentDistance<kAxisCount>(p, s.a, s.b);
    }
    const Plan& plan_;
    const MotionLimits& limits_;
    bool xyOnly_;
};

}  // namespace

std::string CheckReport::summary() const {
    char buf[320];
    (void)std::snprintf(
        buf, sizeof buf,
        "%s: velocity %.1f %%, acceleration %.1f %% of the limits; path within %.4f of the program",
        ok() ? "passed" : "FAILED", velocityRatio * 100.0, accelerationRatio * 100.0, deviation);
    std::string s = buf;
    if (positionsChecked) {
        if (executedVelocityRatio > 0.0) {
            (void)std::snprintf(buf, sizeof buf,
                                "; reported positions within %.4f, velocity %.1f %%",
                                executedDeviation, executedVelocityRatio * 100.0);
        } else {
            (void)std::snprintf(buf, sizeof buf, "; reported positions within %.4f",
                                executedDeviation);
        }
        s += buf;
    }
    if (!endReached) s += "; end point NOT reached";
    return s;
}

CheckReport checkPlan(const Plan& plan, const MotionLimits& limits) {
    CheckReport r;
    const double T = kSegmentSeconds;
    std::vector<Vec6> units;
    PiecePath path(plan, limits, false);
    // The farthest the path can go in one millisecond: every axis at its
    // limit. Corners passed between two targets lie within this (and their
    // tolerance) of the later one.
    double reach = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        if (limits[i].enabled && limits[i].slaveOf == 0) {
            double v = limits[i].maxVelocity / limits[i].stepsPerUnit * T;
            reach += v * v;
        }
    }
    reach = std::sqrt(reach) * (1.0 + kSlack);
    size_t lastPiece = 0;
    Vec6 prev = plan.startSteps, prevVel{};
    auto toUnits = [&](const Vec6& s) {
        Vec6 u{};
        for (int i = 0; i < kAxisCount; ++i)
            u[i] =
                limits[i].enabled && limits[i].slaveOf == 0 ? s[i] / limits[i].stepsPerUnit : 0.0;
        return u;
    };
    Vec6 pieceScale{};
    for (int i = 0; i < kAxisCount; ++i)
        pieceScale[i] = limits[i].enabled && limits[i].slaveOf == 0 ? 1.0 : 0.0;
    for (const PlanStep& step : plan.steps) {
        prevVel = Vec6{};  // every step starts at rest
        for (size_t k = step.firstTarget; k < step.endTarget; ++k) {
            const Vec6& t = plan.targets[k];
            for (int i = 0; i < kAxisCount; ++i) {
                if (!limits[i].enabled) continue;
                double v = (t[i] - prev[i]) / T;
                double a = (v - prevVel[i]) / T;
                double vr = std::fabs(v) / limits[i].maxVelocity,
                       ar = std::fabs(a) / limits[i].acceleration;
                r.velocityRatio = std::max(r.velocityRatio, vr);
                r.accelerationRatio = std::max(r.accelerationRatio, ar);
                if (vr > 1.0 + kSlack) {
                    fault(r, "target " + std::to_string(k + 1) + ": axis " + kAxisLetters[i] +
                                 " velocity " + std::to_string(std::fabs(v)) +
                                 " steps/s over its limit");
                }
                if (ar > 1.0 + kSlack) {
                    fault(r, "target " + std::to_string(k + 1) + ": axis " + kAxisLetters[i] +
                                 " acceleration " + std::to_string(std::fabs(a)) +
                                 " steps/s^2 over its limit");
                }
                prevVel[i] = v;
            }
            prev = t;
            Vec6 p = toUnits(t);
            for (int i = 0; i < kAxisCount; ++i) p[i] *= pieceScale[i];
            if (!path.empty()) {
                size_t piece = path.pieceOf(k);
                // Pieces passed whole since the last target (too short for a
                // target of their own): their corners must lie on the way,
                // or the motion cut them short.
                for (size_t j = lastPiece + 1; j < piece; ++j) {
                    double d = path.fromCorner(p, j);
                    if (d > path.tolerance(j + 1) + reach) {
                        fault(r, "target " + std::to_string(k + 1) +
                                     ": the corner at the end of line " +
                                     std::to_string(path.line(j)) + " was passed " +
                                     std::to_string(d) + " away");
                    }
                }
                lastPiece = piece;
                double allowed = 0.0;
                size_t at = piece;
                double d = path.distance(p, piece, piece, allowed, at);
                r.deviation = std::max(r.deviation, d);
                if (d > allowed) {
                    fault(r, "target " + std::to_string(k + 1) + ": " + std::to_string(d) +
                                 " from the path of line " + std::to_string(path.line(at)) +
                                 " (allowed " + std::to_string(allowed) + ")");
                }
            }
            ++r.targetsChecked;
        }
        // The step ends at rest: the last movement must be one the axes
        // can stop from within a millisecond.
        for (int i = 0; i < kAxisCount; ++i) {
            if (!limits[i].enabled) continue;
            double ar = std::fabs(prevVel[i] / T) / limits[i].acceleration;
            r.accelerationRatio = std::max(r.accelerationRatio, ar);
            if (ar > 1.0 + kSlack)
                fault(r, std::string("axis ") + kAxisLetters[i] + " stops too abruptly at target " +
                             std::to_string(step.endTarget));
        }
    }
    // The last target is the program's end.
    if (!plan.pieces.empty()) {
        Vec6 end = toUnits(plan.targets.empty() ? plan.startSteps : plan.targets.back());
        const Vec6& want = plan.pieces.back().b;
        for (int i = 0; i < kAxisCount; ++i) {
            if (limits[i].enabled && limits[i].slaveOf == 0 &&
                std::fabs(end[i] - want[i]) * limits[i].stepsPerUnit > 1e-6) {
                r.endReached = false;
            }
        }
    }
    return r;
}

void checkExecuted(CheckReport& r, const Plan& plan, const MotionLimits& limits,
                   const std::vector<Point>& xy, const std::vector<double>& seconds,
                   const std::vector<size_t>& segments) {
    if (xy.empty() || !limits[0].enabled || !limits[1].enabled || plan.pieces.empty()) return;
    PiecePath path(plan, limits, true);
    // One step of quantisation on each axis.
    double quantum = std::hypot(1.0 / limits[0].stepsPerUnit, 1.0 / limits[1].stepsPerUnit);
    size_t windowStart = 0;
    const size_t targets = plan.targets.size();
    for (size_t k = 0; k < xy.size() && k < segments.size(); ++k) {
        Vec6 p{};
        p[0] = xy[k].x;
        p[1] = xy[k].y;
        // The pieces around the segment the report came in.
        size_t g = std::min(segments[k], targets);
        size_t first = path.pieceOf(g > kReportWindow ? g - kReportWindow : 0);
        size_t last = path.pieceOf(std::min(g + kReportWindow, targets > 0 ? targets - 1 : 0));
        double allowed = 0.0;
        size_t at = first;
        double d = path.distance(p, first, last, allowed, at);
        r.executedDeviation = std::max(r.executedDeviation, d);
        if (d > allowed + quantum + 1e-7) {
            fault(r, "reported position " + std::to_string(k + 1) +
                         (k < seconds.size() ? " at " + std::to_string(seconds[k]) + " s" : "") +
                         ": " + std::to_string(d) + " from the path of line " +
                         std::to_string(path.line(at)));
        }
        if (k < seconds.size() && windowStart < seconds.size() &&
            seconds[k] - seconds[windowStart] >= kVelocityWindow) {
            double dt = seconds[k] - seconds[windowStart];
            for (int i = 0; i < 2; ++i) {
                double delta = i == 0 ? xy[k].x - xy[windowStart].x : xy[k].y - xy[windowStart].y;
                double steps = std::fabs(delta) * limits[i].stepsPerUnit;
                // One step of quantisation at either end of the window.
                double v = std::max(0.0, steps - 2.0) / dt;
                double ratio = v / limits[i].maxVelocity;
                r.executedVelocityRatio = std::max(r.executedVelocityRatio, ratio);
                if (ratio > 1.0 + kSlack) {
                    fault(r, "reported positions near " + std::to_string(seconds[k]) + " s: axis " +
                                 kAxisLetters[i] + " faster than its limit");
                }
            }
            windowStart = k;
        }
        ++r.positionsChecked;
    }
}

}  // namespace telvo::tool
