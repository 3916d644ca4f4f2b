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
// The search for the next piece looks this far ahead of the current one.
constexpr size_t kLookAhead = 24;
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

// Follows the programmed path piece by piece and measures how far points
// lie from it; returns the distance and the tolerance that applies there.
class PathCursor {
public:
    PathCursor(const std::vector<PathPiece>& pieces, bool xyOnly)
        : pieces_(pieces), xyOnly_(xyOnly) {}
    void restart(size_t piece) { k_ = std::min(piece, pieces_.empty() ? 0 : pieces_.size() - 1); }
    size_t piece() const { return k_; }
    double distance(const Vec6& p, double& allowed) {
        if (pieces_.empty()) {
            allowed = 0.0;
            return 0.0;
        }
        // The cursor stays on its piece while the point lies within that
        // piece's tolerance, and otherwise moves to the earliest later piece
        // that holds it. Taking the nearest piece instead would let a path
        // that comes back over itself (a retract beside the next move, a
        // closed contour, a crossing) pull the cursor ahead of the motion,
        // and every later point would then be measured against the wrong
        // piece.
        double here = dist(p, k_);
        allowed = tolerance(k_);
        if (here <= allowed) return here;
        size_t nearest = k_;
        double best = here;
        for (size_t j = k_ + 1; j < pieces_.size() && j <= k_ + kLookAhead; ++j) {
            double d = dist(p, j);
            if (d <= tolerance(j)) {
                k_ = j;
                allowed = tolerance(j);
                return d;
            }
            if (d < best - 1e-9) best = d, nearest = j;
        }
        // Nowhere within its tolerance: a fault, measured from the nearest
        // piece ahead (or the current one).
        k_ = nearest;
        allowed = tolerance(k_);
        return best;
    }

private:
    double tolerance(size_t j) const {
        double tol = std::max(pieces_[j].tolerance, 0.0);
        if (j > 0) tol = std::max(tol, pieces_[j - 1].tolerance);
        return tol * (1.0 + kSlack) + 1e-7;
    }
    double dist(const Vec6& p, size_t j) const {
        const PathPiece& s = pieces_[j];
        if (xyOnly_) return segmentDistance<2>({p[0], p[1]}, {s.a[0], s.a[1]}, {s.b[0], s.b[1]});
        return segmentDistance<kAxisCount>(p, s.a, s.b);
    }
    const std::vector<PathPiece>& pieces_;
    bool xyOnly_;
    size_t k_ = 0;
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
    PathCursor cursor(plan.pieces, false);
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
            double allowed = 0.0;
            double d = cursor.distance(p, allowed);
            r.deviation = std::max(r.deviation, d);
            if (d > allowed) {
                fault(r, "target " + std::to_string(k + 1) + ": " + std::to_string(d) +
                             " from the path of line " +
                             std::to_string(plan.pieces[cursor.piece()].line) + " (allowed " +
                             std::to_string(allowed) + ")");
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
                   const std::vector<Point>& xy, const std::vector<double>& seconds) {
    if (xy.empty() || !limits[0].enabled || !limits[1].enabled) return;
    PathCursor cursor(plan.pieces, true);
    // One step of quantisation on each axis.
    double quantum = std::hypot(1.0 / limits[0].stepsPerUnit, 1.0 / limits[1].stepsPerUnit);
    size_t windowStart = 0;
    for (size_t k = 0; k < xy.size(); ++k) {
        Vec6 p{};
        p[0] = xy[k].x;
        p[1] = xy[k].y;
        double allowed = 0.0;
        double d = cursor.distance(p, allowed);
        r.executedDeviation = std::max(r.executedDeviation, d);
        if (d > allowed + quantum + 1e-7) {
            fault(r, "reported position " + std::to_string(k + 1) + " at " +
                         std::to_string(seconds[k]) + " s: " + std::to_string(d) +
                         " from the path of line " +
                         std::to_string(plan.pieces[cursor.piece()].line));
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
