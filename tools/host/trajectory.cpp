// Trapezoidal interpolation of lines and XY arcs into 1 ms targets.
#include "trajectory.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace telvo::tool {
namespace {

// Share of an arc's acceleration budget given to the centripetal part; the
// rest goes to speeding up and slowing down along the path.
constexpr double kCentripetalShare = 0.5;

// Speed profile along a path of length L: accelerate at a up to v, cruise,
// decelerate; a triangle when L is too short to reach v.
struct Profile {
    double length = 0.0, v = 0.0, a = 0.0, ta = 0.0, tc = 0.0;
    double total() const { return 2.0 * ta + tc; }
    double distance(double t) const {
        double da = 0.5 * a * ta * ta;
        if (t <= 0.0) return 0.0;
        if (t < ta) return 0.5 * a * t * t;
        if (t < ta + tc) return da + v * (t - ta);
        double rest = total() - t;
        if (rest <= 0.0) return length;
        return std::min(length, length - 0.5 * a * rest * rest);
    }
};

Profile makeProfile(double length, double v, double a) {
    Profile p;
    p.length = length;
    p.a = a;
    p.v = v;
    p.ta = v / a;
    double da = 0.5 * a * p.ta * p.ta;
    if (2.0 * da > length) {
        p.ta = std::sqrt(length / a);
        p.v = a * p.ta;
        p.tc = 0.0;
    } else {
        p.tc = (length - 2.0 * da) / v;
    }
    return p;
}

// Unit-space limits of each axis.
struct UnitLimits {
    std::array<double, kAxisCount> v{}, a{};
};

UnitLimits unitLimits(const MotionLimits& limits) {
    UnitLimits u;
    for (int i = 0; i < kAxisCount; ++i) {
        u.v[i] = limits[i].maxVelocity / limits[i].stepsPerUnit;
        u.a[i] = limits[i].acceleration / limits[i].stepsPerUnit;
    }
    return u;
}

// Geometry of one move: position at path distance s.
struct Geometry {
    Vec6 start{}, end{};
    double length = 0.0;
    bool arc = false;
    double cx = 0.0, cy = 0.0, r0 = 0.0, r1 = 0.0, theta0 = 0.0, sweep = 0.0;  // signed sweep
    double planar = 0.0;                                                       // arc length in XY

    Vec6 at(double s) const {
        double f = length > 0.0 ? s / length : 1.0;
        Vec6 p{};
        for (int i = 0; i < kAxisCount; ++i) p[i] = start[i] + (end[i] - start[i]) * f;
        if (arc) {
            double angle = theta0 + sweep * f;
            double r = r0 + (r1 - r0) * f;
            p[0] = cx + r * std::cos(angle);
            p[1] = cy + r * std::sin(angle);
        }
        return p;
    }
};

Geometry makeGeometry(const Vec6& from, const Move& move) {
    Geometry g;
    g.start = from;
    g.end = move.end;
    bool isArc = move.kind == MoveKind::ArcCw || move.kind == MoveKind::ArcCcw;
    double other = 0.0;
    for (int i = isArc ? 2 : 0; i < kAxisCount; ++i)
        other += (g.end[i] - g.start[i]) * (g.end[i] - g.start[i]);
    if (!isArc) {
        g.length = std::sqrt(other);
        return g;
    }
    g.arc = true;
    g.cx = move.centerX;
    g.cy = move.centerY;
    g.r0 = std::hypot(from[0] - g.cx, from[1] - g.cy);
    g.r1 = std::hypot(g.end[0] - g.cx, g.end[1] - g.cy);
    g.theta0 = std::atan2(from[1] - g.cy, from[0] - g.cx);
    double theta1 = std::atan2(g.end[1] - g.cy, g.end[0] - g.cx);
    constexpr double twoPi = 2.0 * std::numbers::pi;
    double sweep = move.kind == MoveKind::ArcCcw ? theta1 - g.theta0 : g.theta0 - theta1;
    while (sweep <= 1e-12) sweep += twoPi;  // equal ends: a full circle
    while (sweep > twoPi + 1e-12) sweep -= twoPi;
    g.sweep = move.kind == MoveKind::ArcCcw ? sweep : -sweep;
    g.planar = sweep * 0.5 * (g.r0 + g.r1);
    g.length = std::sqrt(g.planar * g.planar + other);
    return g;
}

// Highest path speed and acceleration that keep every axis within limits.
void pathLimits(const Geometry& g, const Move& move, const UnitLimits& u, double& v, double& a) {
    v = move.kind == MoveKind::Rapid || move.feed <= 0.0 ? std::numeric_limits<double>::infinity()
                                                         : move.feed;
    a = std::numeric_limits<double>::infinity();
    int firstLinear = g.arc ? 2 : 0;
    for (int i = firstLinear; i < kAxisCount; ++i) {
        double share = std::fabs(g.end[i] - g.start[i]) / g.length;
        if (share <= 0.0) continue;
        v = std::min(v, u.v[i] / share);
        a = std::min(a, u.a[i] / share);
    }
    if (g.arc) {
        // X and Y each move at up to the full planar speed somewhere on the
        // arc, and also carry the centripetal acceleration.
        double share = g.planar / g.length;
        double r = std::max(std::min(g.r0, g.r1), 1e-12);
        double vxy = std::min(u.v[0], u.v[1]);
        double axy = std::min(u.a[0], u.a[1]);
        v = std::min(v, vxy / share);
        v = std::min(v, std::sqrt(kCentripetalShare * axy * r) / share);
        a = std::min(a, (1.0 - kCentripetalShare) * axy / share);
    }
}

void appendMove(Trajectory& out, const Geometry& g, double v, double a, const MotionLimits& limits,
                const Vec6& startSteps, const Vec6& startUnits) {
    Profile p = makeProfile(g.length, v, a);
    double total = p.total();
    auto samples = static_cast<size_t>(std::ceil(total / kSegmentSeconds - 1e-9));
    if (samples < 1) samples = 1;
    auto toSteps = [&](const Vec6& units) {
        Vec6 steps{};
        for (int i = 0; i < kAxisCount; ++i) {
            // Axes the program does not move keep their counters exactly.
            steps[i] = limits[i].enabled && limits[i].slaveOf == 0
                           ? (units[i] == startUnits[i] ? startSteps[i]
                                                        : units[i] * limits[i].stepsPerUnit)
                           : startSteps[i];
        }
        applySlaves(steps, startSteps, limits);
        return steps;
    };
    for (size_t k = 1; k <= samples; ++k) {
        if (k == samples) {
            out.targets.push_back(toSteps(g.end));
        } else {
            double t = total * static_cast<double>(k) / static_cast<double>(samples);
            out.targets.push_back(toSteps(g.at(p.distance(t))));
        }
    }
}

}  // namespace

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

Trajectory interpolate(const Program& program, const Vec6& startSteps, const MotionLimits& limits) {
    Trajectory out;
    out.start = startSteps;
    UnitLimits u = unitLimits(limits);
    Vec6 from = program.start;
    for (const Move& move : program.moves) {
        Geometry g = makeGeometry(from, move);
        if (g.length > 0.0) {
            double v = 0.0, a = 0.0;
            pathLimits(g, move, u, v, a);
            appendMove(out, g, v, a, limits, startSteps, program.start);
        }
        from = move.end;
    }
    return out;
}

Trajectory straightMove(const Vec6& fromSteps, const Vec6& toSteps, const MotionLimits& limits,
                        double feed) {
    Program program;
    for (int i = 0; i < kAxisCount; ++i) {
        bool moves = limits[i].enabled && limits[i].slaveOf == 0;
        program.start[i] = moves ? fromSteps[i] / limits[i].stepsPerUnit : 0.0;
    }
    Move move;
    move.kind = feed > 0.0 ? MoveKind::Linear : MoveKind::Rapid;
    move.feed = feed;
    move.end = program.start;
    for (int i = 0; i < kAxisCount; ++i) {
        if (limits[i].enabled && limits[i].slaveOf == 0)
            move.end[i] = toSteps[i] / limits[i].stepsPerUnit;
    }
    program.moves.push_back(move);
    Trajectory t = interpolate(program, fromSteps, limits);
    // The end point in steps exactly as asked, not through units and back.
    if (!t.targets.empty()) {
        for (int i = 0; i < kAxisCount; ++i) {
            if (limits[i].enabled && limits[i].slaveOf == 0) t.targets.back()[i] = toSteps[i];
        }
        applySlaves(t.targets.back(), fromSteps, limits);
    }
    return t;
}

}  // namespace telvo::tool
