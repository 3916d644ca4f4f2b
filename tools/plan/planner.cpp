// Look-ahead planner; see planner.h.
#include "plan/planner.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace telvo::tool {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Directions closer than this (cosine) are one straight line.
constexpr double kCollinear = 1.0 - 1e-12;
// A turn sharper than this (cosine) is a reversal: a full stop.
constexpr double kReversal = -0.9999;
// Most of the acceleration a blend may give to turning at its top speed.
// Turning and changing speed share the axes' acceleration exactly (see
// pass()), so the whole of it would keep every axis within its limit; the
// 0.1 % left over keeps the blend's top speed clear of the limit by a
// thousand times the checker's slack (1e-6), so rounding in the passes and
// in sampling never shows as a sample over the limit. Measured: 0.999
// against 1.0 changes no test program's time by more than 1 ms.
constexpr double kMaxTurnShare = 0.999;

struct UnitAxes {
    std::array<bool, kAxisCount> moves{};  // configured and not slaved
    std::array<double, kAxisCount> v{}, a{};
};

// A straight piece with everything the passes need.
struct Seg {
    Vec6 u{};  // unit direction
    double length = 0.0;
    double vmax = 0.0;  // path speed limit (feed, axes)
    double amax = 0.0;  // path acceleration limit (axes)
    double feed = 0.0;  // programmed speed for the feed-limited bound (0: rapid)
};

// The corner at the end of a piece: blend arc or stop.
struct Corner {
    double vlim = 0.0;   // 0: full stop
    double accel = 0.0;  // along the blend, with no turning
    double turn = 0.0;   // centripetal acceleration the axes allow (across)
    double trim = 0.0;   // distance cut from both pieces
    double radius = 0.0;
    double angle = 0.0;  // turn angle
    Vec6 normal{};       // towards the centre, in the plane of the turn
    bool stop = true;
};

double dot(const Vec6& x, const Vec6& y) {
    double s = 0.0;
    for (int i = 0; i < kAxisCount; ++i) s += x[i] * y[i];
    return s;
}

void segLimits(Seg& s, const UnitAxes& ax, bool rapid, double feed) {
    // Rapids: as fast as the axes allow.
    s.vmax = rapid ? std::numeric_limits<double>::max() : feed;
    s.amax = kInf;
    for (int i = 0; i < kAxisCount; ++i) {
        double share = std::fabs(s.u[i]);
        if (share <= 1e-15 || !ax.moves[i]) continue;
        s.vmax = std::min(s.vmax, ax.v[i] / share);
        s.amax = std::min(s.amax, ax.a[i] / share);
    }
    if (!(s.vmax < std::numeric_limits<double>::max())) s.vmax = feed > 0.0 ? feed : 1.0;
    if (!std::isfinite(s.amax)) s.amax = 1.0;
}

// Largest |a cos(psi) + b sin(psi)| for psi in [0, phi] (phi < pi): the
// amplitude when the slope changes sign inside (it can only once on an
// interval shorter than pi), else the larger end.
double peakOver(double a, double b, double phi, double cosPhi, double sinPhi) {
    double end = a * cosPhi + b * sinPhi;
    double slope0 = b, slope1 = -a * sinPhi + b * cosPhi;
    if ((slope0 > 0.0 && slope1 < 0.0) || (slope0 < 0.0 && slope1 > 0.0)) return std::hypot(a, b);
    (void)phi;
    return std::max(std::fabs(a), std::fabs(end));
}

// Corner between two pieces that may blend within `tol`.
Corner makeCorner(const Seg& s0, const Seg& s1, double tol, const UnitAxes& ax) {
    Corner c;
    double cosPhi = std::clamp(dot(s0.u, s1.u), -1.0, 1.0);
    if (tol < 0.0 || cosPhi < kReversal) return c;
    if (cosPhi > kCollinear) {
        c.stop = false;
        c.vlim = std::min(s0.vmax, s1.vmax);
        return c;
    }
    if (tol == 0.0) return c;
    double phi = std::acos(cosPhi);
    double sinPhi = std::sqrt(std::max(0.0, 1.0 - cosPhi * cosPhi));
    double half = phi / 2.0;
    double cosHalf = std::cos(half), tanHalf = std::tan(half);
    double rTol = tol * cosHalf / (1.0 - cosHalf);
    double rLen = 0.5 * std::min(s0.length, s1.length) / tanHalf;
    double r = std::min(rTol, rLen);
    if (!(r > 0.0) || !std::isfinite(r)) return c;
    Vec6 n{};
    for (int i = 0; i < kAxisCount; ++i) n[i] = s1.u[i] - cosPhi * s0.u[i];
    double nl = std::sqrt(dot(n, n));
    if (!(nl > 1e-15)) return c;
    for (double& x : n) x /= nl;
    // Along the blend the direction (u0 cos + n sin) and the centripetal
    // acceleration (n cos - u0 sin) turn by phi in the plane of u0 and n:
    // each axis is held to the largest share it takes on the way.
    double v = std::min(s0.vmax, s1.vmax);
    double ac = kInf, at = kInf;
    for (int i = 0; i < kAxisCount; ++i) {
        if (!ax.moves[i]) continue;
        double along = peakOver(s0.u[i], n[i], phi, cosPhi, sinPhi);
        double across = peakOver(n[i], -s0.u[i], phi, cosPhi, sinPhi);
        if (along > 1e-15) v = std::min(v, ax.v[i] / along), at = std::min(at, ax.a[i] / along);
        if (across > 1e-15) ac = std::min(ac, ax.a[i] / across);
    }
    if (!std::isfinite(ac) || !std::isfinite(at)) return c;
    // The axes' acceleration is shared between turning and changing speed
    // along the blend: at speed v the turn takes v^2 / (r * ac) of it, and
    // the passes give the change of speed what is left (see pass()). The
    // top speed leaves some, so chains of short blended moves can still
    // speed up and slow down.
    v = std::min(v, std::sqrt(kMaxTurnShare * ac * r));
    if (!(v > 0.0)) return c;
    c.stop = false;
    c.accel = at;
    c.turn = ac;
    c.vlim = v;
    c.radius = r;
    c.angle = phi;
    c.trim = r * tanHalf;
    c.normal = n;
    return c;
}

// Speed profile of one line between corners: v0 -> peak/cruise -> v1.
struct Profile {
    double v0 = 0.0, v1 = 0.0, vp = 0.0, a = 0.0, length = 0.0;
    double ta = 0.0, tc = 0.0, td = 0.0, da = 0.0;
    double total() const { return ta + tc + td; }
    double distance(double t) const {
        if (t <= ta) return v0 * t + 0.5 * a * t * t;
        t -= ta;
        if (t <= tc) return da + vp * t;
        t -= tc;
        t = std::min(t, td);
        return std::min(length, da + vp * tc + vp * t - 0.5 * a * t * t);
    }
};

Profile makeProfile(double length, double v0, double v1, double vmax, double a) {
    Profile p;
    p.v0 = v0;
    p.v1 = v1;
    p.a = a;
    p.length = length;
    if (length <= 0.0) return p;
    double peak2 = (2.0 * a * length + v0 * v0 + v1 * v1) / 2.0;
    double vp = std::min(vmax, std::sqrt(std::max(peak2, 0.0)));
    vp = std::max({vp, v0, v1});
    p.vp = vp;
    p.ta = (vp - v0) / a;
    p.td = (vp - v1) / a;
    p.da = (vp * vp - v0 * v0) / (2.0 * a);
    double dd = (vp * vp - v1 * v1) / (2.0 * a);
    double cruise = length - p.da - dd;
    if (cruise > 0.0 && vp > 0.0) {
        p.tc = cruise / vp;
    } else if (vp > 0.0 && cruise < -1e-9 * std::max(1.0, length) &&
               peak2 < vp * vp * (1.0 - 1e-12)) {
        // Rounding: the ends' speeds came from the passes, so the whole line
        // is one ramp. Spread it evenly.
        double t = 2.0 * length / (v0 + v1 > 0.0 ? v0 + v1 : vp);
        p.a = std::fabs(v1 - v0) / std::max(t, 1e-12);
        p.vp = std::max(v0, v1);
        if (v1 >= v0) {
            p.ta = t, p.td = 0.0, p.da = length;
        } else {
            p.ta = 0.0, p.td = t, p.da = 0.0;
            p.vp = v0;
        }
        p.tc = 0.0;
    }
    return p;
}

// Cuts an arc operation into chords; calls out(point) for each chord end.
// `from` is a copy: the caller's position moves on with every chord, and
// the helix axes must stay linear in the angle from the arc's own start.
template <typename Out>
void chords(const Vec6 from, const Op& op, double tol, size_t most, Out out) {
    int a0 = op.axis0, a1 = op.axis1;
    double cx = op.center0, cy = op.center1;
    double r0 = std::hypot(from[a0] - cx, from[a1] - cy);
    double r1 = std::hypot(op.end[a0] - cx, op.end[a1] - cy);
    double t0 = std::atan2(from[a1] - cy, from[a0] - cx);
    double t1 = std::atan2(op.end[a1] - cy, op.end[a0] - cx);
    constexpr double twoPi = 2.0 * std::numbers::pi;
    double sweep = op.ccw ? t1 - t0 : t0 - t1;
    while (sweep <= 1e-9) sweep += twoPi;  // equal ends: a full circle
    while (sweep > twoPi + 1e-9) sweep -= twoPi;
    sweep += twoPi * op.extraTurns;
    double r = std::max(r0, r1);
    double step = r > tol ? 2.0 * std::acos(1.0 - tol / r) : std::numbers::pi / 2.0;
    step = std::min(step, std::numbers::pi / 4.0);
    auto n = static_cast<size_t>(std::ceil(sweep / step));
    n = std::clamp<size_t>(n, 1, std::max<size_t>(most, 1));
    double dir = op.ccw ? 1.0 : -1.0;
    for (size_t k = 1; k < n; ++k) {
        double f = static_cast<double>(k) / static_cast<double>(n);
        double angle = t0 + dir * sweep * f;
        double rr = r0 + (r1 - r0) * f;
        Vec6 p{};
        for (int i = 0; i < kAxisCount; ++i) p[i] = from[i] + (op.end[i] - from[i]) * f;
        p[a0] = cx + rr * std::cos(angle);
        p[a1] = cy + rr * std::sin(angle);
        out(p);
    }
    out(op.end);
}

}  // namespace

Plan planProgram(const Interpreted& program, const PlanSettings& settings, const Vec6& startSteps) {
    Plan plan;
    plan.startSteps = startSteps;
    const MotionLimits& lim = settings.limits;
    UnitAxes ax;
    for (int i = 0; i < kAxisCount; ++i) {
        ax.moves[i] = lim[i].enabled && lim[i].slaveOf == 0;
        ax.v[i] = lim[i].maxVelocity / lim[i].stepsPerUnit;
        ax.a[i] = lim[i].acceleration / lim[i].stepsPerUnit;
    }

    // 1. Pieces, and the events between them in program order: actions
    // (spindle, coolant, tool change, pause, end) and dwells. A message is
    // shown when its stretch of motion starts and does not stop the path.
    struct Event {
        size_t afterPiece;  // number of pieces before it
        int op;
    };
    std::vector<Event> events;
    std::vector<Seg> segs;
    size_t arcs = 0;
    for (const Op& op : program.ops) arcs += op.kind == OpKind::Arc;
    plan.pieces.reserve(program.ops.size() + 64 * arcs);
    segs.reserve(program.ops.size() + 64 * arcs);
    Vec6 pos = program.start;
    bool tooMany = false;
    auto addPiece = [&](const Vec6& to, const Op& op, double tolAtEnd) {
        if (plan.pieces.size() >= settings.maxPieces) {
            if (!tooMany)
                plan.errors.push_back({op.line, "",
                                       "the program has more than " +
                                           std::to_string(settings.maxPieces) +
                                           " moves and arc chords, more than one run can hold",
                                       "split it into several files"});
            tooMany = true;
            return;
        }
        Seg s;
        double l2 = 0.0;
        for (int i = 0; i < kAxisCount; ++i) {
            double d = ax.moves[i] ? to[i] - pos[i] : 0.0;
            s.u[i] = d;
            l2 += d * d;
        }
        s.length = std::sqrt(l2);
        if (!(s.length > 1e-12)) return;
        for (double& x : s.u) x /= s.length;
        bool rapid = op.kind == OpKind::Rapid;
        s.feed = rapid ? 0.0 : op.feed;
        segLimits(s, ax, rapid, op.feed);
        plan.pieces.push_back({pos, to, tolAtEnd, rapid ? 0.0 : op.feed, op.line, rapid, false,
                               static_cast<int>(&op - program.ops.data())});
        segs.push_back(s);
        pos = to;
    };
    for (size_t k = 0; k < program.ops.size(); ++k) {
        const Op& op = program.ops[k];
        switch (op.kind) {
            case OpKind::Rapid:
            case OpKind::Linear:
                addPiece(op.end, op, op.tolerance);
                break;
            case OpKind::Arc: {
                // Chord corners inside an arc always blend within the chord
                // tolerance; the arc's own end takes the program's mode.
                size_t before = plan.pieces.size();
                chords(pos, op, settings.chordTolerance, settings.maxPieces + 1,
                       [&](const Vec6& p) { addPiece(p, op, settings.chordTolerance); });
                if (plan.pieces.size() > before) plan.pieces.back().tolerance = op.tolerance;
                break;
            }
            case OpKind::Message:
                break;
            case OpKind::Dwell:
                plan.dwellSeconds += op.seconds;
                events.push_back({plan.pieces.size(), static_cast<int>(k)});
                break;
            default:
                events.push_back({plan.pieces.size(), static_cast<int>(k)});
                break;
        }
    }

    if (tooMany) return plan;
    // Travel: every piece end inside the soft limits.
    for (const PathPiece& p : plan.pieces) {
        for (int i = 0; i < kAxisCount; ++i) {
            if (!ax.moves[i]) continue;
            double v = p.b[i];
            bool below = settings.hasMin[i] && v < settings.min[i] - 1e-9;
            bool above = settings.hasMax[i] && v > settings.max[i] + 1e-9;
            if (!below && !above) continue;
            if (plan.errors.size() >= 20) break;
            char lowText[32] = "-", highText[32] = "-";
            if (settings.hasMin[i])
                (void)std::snprintf(lowText, sizeof lowText, "%.4f", settings.min[i]);
            if (settings.hasMax[i])
                (void)std::snprintf(highText, sizeof highText, "%.4f", settings.max[i]);
            char buf[160];
            (void)std::snprintf(buf, sizeof buf,
                                "%c %.4f is outside the machine's travel (%c %s .. %s)",
                                kAxisLetters[i], v, kAxisLetters[i], lowText, highText);
            if (plan.errors.empty() || plan.errors.back().line != p.line)
                plan.errors.push_back({p.line, std::string(1, kAxisLetters[i]), buf, ""});
        }
    }
    if (!plan.errors.empty()) return plan;

    const size_t n = segs.size();
    // 2. Corners. corner[k] is at the end of piece k; a stop where an
    // action or a dwell comes between pieces, and at the very end.
    std::vector<char> forcedStop(n, 0);
    for (const Event& e : events) {
        if (e.afterPiece > 0)
            forcedStop[e.afterPiece - 1] = 1, plan.pieces[e.afterPiece - 1].stopAfter = true;
    }
    std::vector<Corner> corner(n);
    for (size_t k = 0; k + 1 < n; ++k) {
        if (forcedStop[k]) continue;
        double tol = plan.pieces[k].tolerance;
        // Exact path: a bend is still blended within half a step of the
        // coarsest axis it moves, which no machine can tell from the
        // corner; near-tangent kinks then pass at speed instead of
        // stopping, sharp bends all but stop.
        if (tol == 0.0) tol = exactPathTolerance(lim, segs[k].u, segs[k + 1].u);
        corner[k] = makeCorner(segs[k], segs[k + 1], tol, ax);
    }
    // The two corners of a piece share its length; the trims of makeCorner
    // already keep each within half.

    // 3. The path as elements: each piece's line between its corners'
    // trims, and each blend. Speeds at the nodes between elements come from
    // a backward and a forward pass.
    auto effective = [&](size_t k) {
        double l = segs[k].length - (k > 0 ? corner[k - 1].trim : 0.0) - corner[k].trim;
        return std::max(l, 0.0);
    };
    auto blended = [&](size_t k) { return k + 1 < n && !corner[k].stop && corner[k].radius > 0.0; };
    // An element's change of speed: |v1^2 - v0^2| <= 2 * accel * length *
    // (1 - vtop^2 / (radius * turn)) with vtop the larger end; lines do not
    // turn (turn 0).
    struct Element {
        double length, accel, vmax, radius = 0.0, turn = 0.0;
    };
    std::vector<Element> el;
    std::vector<double> v;  // node speeds: v[i] before element i
    el.reserve(2 * n);
    v.reserve(2 * n + 1);
    v.push_back(0.0);
    for (size_t k = 0; k < n; ++k) {
        el.push_back({effective(k), segs[k].amax, segs[k].vmax});
        const Corner& c = corner[k];
        if (blended(k)) {
            v.push_back(c.vlim);
            el.push_back({c.radius * c.angle, c.accel, c.vlim, c.radius, c.turn});
            v.push_back(c.vlim);
        } else {
            v.push_back(k + 1 < n && !c.stop ? c.vlim : 0.0);
        }
    }
    // The highest speed at one end of an element reachable from `other` at
    // the other end. Solved for the larger end as the top speed; never
    // below `other`, since other^2 <= radius * turn.
    auto pass = [](const Element& e, double other) {
        double gain = 2.0 * e.accel * e.length;
        double shrink = e.turn > 0.0 ? 1.0 + gain / (e.radius * e.turn) : 1.0;
        return std::sqrt((other * other + gain) / shrink);
    };
    for (size_t i = el.size(); i-- > 0;) v[i] = std::min(v[i], pass(el[i], v[i + 1]));
    for (size_t i = 0; i < el.size(); ++i) v[i + 1] = std::min(v[i + 1], pass(el[i], v[i]));

    // The whole time before any target is made: a plan must fit in memory.
    double total = plan.dwellSeconds;
    {
        size_t i = 0;
        for (size_t k = 0; k < n; ++k) {
            total += makeProfile(el[i].length, v[i], v[i + 1], segs[k].vmax, segs[k].amax).total();
            ++i;
            if (blended(k)) {
                total += 2.0 * el[i].length / (v[i] + v[i + 1]);
                ++i;
            }
        }
    }
    if (!(total <= settings.maxSeconds)) {
        char buf[160];
        (void)std::snprintf(buf, sizeof buf,
                            "the program runs %.0f s, more than the %.0f s one run can hold", total,
                            settings.maxSeconds);
        plan.errors.push_back({plan.pieces.empty() ? 0 : plan.pieces.back().line, "", buf,
                               "split it into several files"});
        return plan;
    }

    // Feed-limited bound: each piece at its programmed speed (rapids at the
    // axes' limit), no acceleration.
    for (size_t k = 0; k < n; ++k) plan.feedBoundSeconds += segs[k].length / segs[k].vmax;
    plan.feedBoundSeconds += plan.dwellSeconds;

    // 4. Sampling on one clock, restarting at every action.
    std::array<double, kAxisCount> spu{};
    for (int i = 0; i < kAxisCount; ++i) spu[i] = lim[i].stepsPerUnit;
    const Vec6 startUnits = program.start;
    bool slaved = false;
    for (int i = 0; i < kAxisCount; ++i) slaved = slaved || lim[i].slaveOf != 0;
    auto toSteps = [&](const Vec6& u) {
        Vec6 s{};
        for (int i = 0; i < kAxisCount; ++i) {
            s[i] = ax.moves[i] ? (u[i] == startUnits[i] ? startSteps[i] : u[i] * spu[i])
                               : startSteps[i];
        }
        if (slaved) applySlaves(s, startSteps, lim);
        return s;
    };
    // One target per millisecond of the planned time, plus at most one at
    // every stop and action where the clock restarts.
    size_t stops = events.size() + 1;
    for (size_t k = 0; k < n; ++k) stops += corner[k].stop ? 1 : 0;
    plan.targets.reserve(
        std::min<size_t>(static_cast<size_t>(total * 1000.0) + stops + 64, 200'000'000));
    size_t nextEvent = 0;
    size_t stepStart = 0;
    double clock = 0.0;    // time of the last emitted sample, relative to the step's start
    double elapsed = 0.0;  // time at the start of the current element
    Vec6 here = program.start;
    // Emits samples at every 1 ms mark inside [elapsed, elapsed + duration),
    // evaluated by `at(t)` with t relative to the element.
    auto runElement = [&](double duration, auto&& at) {
        double end = elapsed + duration;
        while (clock + kSegmentSeconds <= end + 1e-12) {
            clock += kSegmentSeconds;
            plan.targets.push_back(toSteps(at(clock - elapsed)));
        }
        elapsed = end;
    };
    // At a stop: the last sample lands exactly on the point.
    auto settle = [&](const Vec6& p) {
        if (elapsed > clock + 1e-12) {
            clock += kSegmentSeconds;
            plan.targets.push_back(toSteps(p));
        }
        elapsed = clock;
    };
    auto flushEvents = [&](size_t pieceCount) {
        while (nextEvent < events.size() && events[nextEvent].afterPiece == pieceCount) {
            int index = events[nextEvent].op;
            const Op& op = program.ops[static_cast<size_t>(index)];
            settle(here);
            if (op.kind == OpKind::Dwell) {
                auto holds = static_cast<size_t>(std::llround(op.seconds * 1000.0));
                for (size_t h = 0; h < holds; ++h) plan.targets.push_back(toSteps(here));
                clock += static_cast<double>(holds) * kSegmentSeconds;
                elapsed = clock;
            } else {
                plan.steps.push_back({stepStart, plan.targets.size(), index});
                stepStart = plan.targets.size();
                clock = elapsed = 0.0;
            }
            ++nextEvent;
        }
    };
    flushEvents(0);
    plan.pieceStart.reserve(n);
    size_t e = 0;  // element index
    for (size_t k = 0; k < n; ++k) {
        const PathPiece& piece = plan.pieces[k];
        plan.pieceStart.push_back(plan.targets.size());
        const Seg& s = segs[k];
        double t0 = k > 0 ? corner[k - 1].trim : 0.0;
        Profile p = makeProfile(el[e].length, v[e], v[e + 1], s.vmax, s.amax);
        ++e;
        if (plan.rapidRuns.empty() || plan.rapidRuns.back().second != piece.rapid)
            plan.rapidRuns.emplace_back(plan.targets.size(), piece.rapid);
        Vec6 a = piece.a;
        runElement(p.total(), [&](double t) {
            double d = t0 + p.distance(t);
            Vec6 q{};
            for (int i = 0; i < kAxisCount; ++i) q[i] = a[i] + s.u[i] * d;
            return q;
        });
        here = piece.b;
        const Corner& c = corner[k];
        if (blended(k)) {
            // The blend from the tangent point on this piece to the one on
            // the next, at a steady change of speed.
            Vec6 start{}, centre{};
            for (int i = 0; i < kAxisCount; ++i) {
                start[i] = piece.b[i] - s.u[i] * c.trim;
                centre[i] = start[i] + c.normal[i] * c.radius;
            }
            double va = v[e], vb = v[e + 1], length = el[e].length;
            ++e;
            // Steady change of speed: the mean speed gives the time (the
            // squares' difference would lose it when the speeds are close).
            double duration = 2.0 * length / (va + vb);
            double acc = (vb - va) / duration;
            runElement(duration, [&](double t) {
                double d = std::min(va * t + 0.5 * acc * t * t, length);
                double psi = d / c.radius;
                double cs = std::cos(psi), sn = std::sin(psi);
                Vec6 q{};
                for (int i = 0; i < kAxisCount; ++i)
                    q[i] = centre[i] + c.radius * (s.u[i] * sn - c.normal[i] * cs);
                return q;
            });
        } else if (v[e] == 0.0) {
            settle(piece.b);
        }
        flushEvents(k + 1);
    }
    settle(here);
    if (stepStart < plan.targets.size() || plan.steps.empty())
        plan.steps.push_back({stepStart, plan.targets.size(), -1});
    return plan;
}

}  // namespace telvo::tool
