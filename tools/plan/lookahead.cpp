// The streaming look-ahead planner; see lookahead.h.
#include "plan/lookahead.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace telvo::tool {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kT = kSegmentSeconds;
// Directions closer than this (cosine) are one straight line.
constexpr double kCollinear = 1.0 - 1e-12;
// A turn sharper than this (cosine) is a reversal: a full stop.
constexpr double kReversal = -0.9999;
// See planner.cpp: the share of the acceleration a blend may turn with.
constexpr double kTurnShare = 0.999;
// Pieces the window holds at most when the stopping distance would need
// more (tiny pieces at a high feed): about 10 MB.
constexpr size_t kDefaultWindow = 40000;

double dot(const Vec6& x, const Vec6& y) {
    double s = 0.0;
    for (int i = 0; i < kAxisCount; ++i) s += x[i] * y[i];
    return s;
}

// Largest |a cos(psi) + b sin(psi)| for psi in [0, phi], phi < pi.
double peakOver(double a, double b, double cosPhi, double sinPhi) {
    double end = a * cosPhi + b * sinPhi;
    double slope0 = b, slope1 = -a * sinPhi + b * cosPhi;
    if ((slope0 > 0.0 && slope1 < 0.0) || (slope0 < 0.0 && slope1 > 0.0)) return std::hypot(a, b);
    return std::max(std::fabs(a), std::fabs(end));
}

}  // namespace

LookAhead::Profile LookAhead::makeProfile(double length, double v0, double v1, double vmax,
                                          double a) {
    LookAhead::Profile p;
    p.v0 = v0, p.v1 = v1, p.length = length;
    if (!(length > 0.0)) return p;
    if (v0 <= vmax * (1.0 + 1e-12)) {
        // Accelerate (as far as the length allows), cruise, decelerate.
        double peak2 = (2.0 * a * length + v0 * v0 + v1 * v1) / 2.0;
        double vp = std::min(vmax, std::sqrt(std::max(peak2, 0.0)));
        vp = std::max({vp, v0, v1});
        p.vp = vp;
        p.a1 = a, p.a3 = -a;
        p.t1 = (vp - v0) / a;
        p.t3 = (vp - v1) / a;
        p.d1 = (vp * vp - v0 * v0) / (2.0 * a);
        double d3 = (vp * vp - v1 * v1) / (2.0 * a);
        double cruise = length - p.d1 - d3;
        if (cruise > 0.0 && vp > 0.0) {
            p.t2 = cruise / vp;
        } else if (vp > 0.0 && cruise < -1e-9 * std::max(1.0, length) &&
                   peak2 < vp * vp * (1.0 - 1e-12)) {
            // The ends' speeds came from the passes: one ramp, spread evenly.
            double t = 2.0 * length / (v0 + v1 > 0.0 ? v0 + v1 : vp);
            double acc = (v1 - v0) / std::max(t, 1e-12);
            p.vp = v1 >= v0 ? v1 : v0;
            if (v1 >= v0) {
                p.a1 = acc, p.t1 = t, p.d1 = length, p.t3 = 0.0;
            } else {
                p.t1 = 0.0, p.d1 = 0.0, p.a3 = acc, p.t3 = t;
            }
            p.t2 = 0.0;
        }
        return p;
    }
    // Above the top speed (an override was lowered): down to it, cruise,
    // down to v1; or one ramp when the element is too short for that.
    double top = std::max(vmax, v1);
    double d1 = (v0 * v0 - top * top) / (2.0 * a);
    double d3 = (top * top - v1 * v1) / (2.0 * a);
    if (top > v1 || d1 + d3 > length) {
        if (d1 + d3 <= length) {
            p.vp = top;
            p.a1 = -a, p.t1 = (v0 - top) / a, p.d1 = d1;
            p.t2 = (length - d1 - d3) / top;
            p.a3 = -a, p.t3 = (top - v1) / a;
            return p;
        }
    }
    if (vmax >= v1 && d1 + d3 <= length) {
        p.vp = top;
        p.a1 = -a, p.t1 = (v0 - top) / a, p.d1 = d1;
        p.t2 = top > 0.0 ? (length - d1 - d3) / top : 0.0;
        p.a3 = -a, p.t3 = (top - v1) / a;
        return p;
    }
    double t = 2.0 * length / (v0 + v1);
    p.vp = v1;
    p.a1 = (v1 - v0) / t, p.t1 = t, p.d1 = length;
    return p;
}

LookAhead::LookAhead(const PlanSettings& settings, const Vec6& startUnits, const Vec6& startSteps,
                     size_t window)
    : settings_(settings),
      startUnits_(startUnits),
      startSteps_(startSteps),
      cap_(window ? window : kDefaultWindow) {
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisLimit& l = settings.limits[i];
        moves_[i] = l.enabled && l.slaveOf == 0;
        axisV_[i] = l.maxVelocity / l.stepsPerUnit;
        axisA_[i] = l.acceleration / l.stepsPerUnit;
        slaved_ = slaved_ || l.slaveOf != 0;
    }
    tail_ = here_ = startUnits;
    node_.emplace_back();
    node_.back().stop = true;
}

bool LookAhead::wantsInput() const {
    if (finished_ || failed_) return false;
    if (!input_.empty()) return false;
    return pieces_ < cap_;
}

void LookAhead::push(const Op& op, uint64_t index) {
    Input in;
    in.op = op;
    in.index = index;
    input_.push_back(in);
    expandInput();
}

void LookAhead::finish() {
    finished_ = true;
    expandInput();
}

double LookAhead::softLimit(const Element& e) const {
    double v = kInf;
    for (int k = 0; k < 2; ++k) {
        double s =
            e.rapid[k] ? e.axisV[k] * rapidScale_ : std::min(e.axisV[k], e.feed[k] * feedScale_);
        v = std::min(v, s);
    }
    return v;
}

double LookAhead::hardCap(size_t i) const {
    const Node& n = node_[i];
    if (n.stop || n.hold) return 0.0;
    return n.hard;
}

double LookAhead::cap(size_t i) const {
    double hard = hardCap(i);
    if (hard == 0.0) return 0.0;
    double soft = kInf;
    if (i > 0) soft = std::min(soft, el_[i - 1].soft);
    if (i < el_.size()) soft = std::min(soft, el_[i].soft);
    return std::min(hard, std::max(soft, node_[i].floor));
}

namespace {
// The highest speed at one end of an element reachable from `other` at the
// other end (see planner.cpp).
double passUp(double length, double accel, double radius, double turn, double other) {
    double gain = 2.0 * accel * length;
    double shrink = turn > 0.0 ? 1.0 + gain / (radius * turn) : 1.0;
    return std::sqrt((other * other + gain) / shrink);
}
// The lowest speed reachable at the far end decelerating from v.
double passDown(double length, double accel, double radius, double turn, double v) {
    double share = turn > 0.0 ? std::max(0.0, 1.0 - v * v / (radius * turn)) : 1.0;
    return std::sqrt(std::max(0.0, v * v - 2.0 * accel * length * share));
}
}  // namespace

// The backward pass from the window's end, where the motion must be able to
// stop. While the last piece's end corner is open, its line is taken as
// short as the corner could still make it (a blend trims at most half of
// it), so that later input only ever raises these speeds: a speed found
// final stays final. `full`: every node (the limits changed); otherwise
// only until a node keeps its value (a piece was appended).
void LookAhead::backward(bool full) {
    size_t last = el_.size();
    node_[last].bwd = 0.0;
    node_[last].open = !node_[last].stop && !node_[last].hold;
    passLength_ = 0;
    addedSincePass_ = 0;
    for (size_t i = last; i-- > 0;) {
        ++passLength_;
        const Element& e = el_[i];
        double length = e.length;
        if (i + 1 == last && tailOpen_ && !e.blend) length = std::max(0.0, length - trimBound_);
        double up = passUp(length, e.accel, e.radius, e.turn, node_[i + 1].bwd);
        double c = cap(i);
        double v = std::min(c, up);
        // Limited by the window's end only when the pass, not the cap, binds.
        bool open = up < c && node_[i + 1].open;
        if (!full && v == node_[i].bwd && open == node_[i].open) break;
        node_[i].bwd = v;
        node_[i].open = open;
    }
    dirty_ = false;
}

void LookAhead::recomputeAll() {
    backward(true);
}

// Turns pending input into pieces while the window wants them.
void LookAhead::expandInput() {
    while (!input_.empty() && !failed_) {
        if (pieces_ >= cap_) return;
        Input& in = input_.front();
        const Op& op = in.op;
        switch (op.kind) {
            case OpKind::Rapid:
            case OpKind::Linear:
                addPiece(op.end, op, in.index, op.tolerance);
                input_.pop_front();
                break;
            case OpKind::Arc: {
                if (!in.started) {
                    in.started = true;
                    in.from = tail_;
                    int a0 = op.axis0, a1 = op.axis1;
                    double cx = op.center0, cy = op.center1;
                    in.r0 = std::hypot(tail_[a0] - cx, tail_[a1] - cy);
                    in.r1 = std::hypot(op.end[a0] - cx, op.end[a1] - cy);
                    in.t0 = std::atan2(tail_[a1] - cy, tail_[a0] - cx);
                    double t1 = std::atan2(op.end[a1] - cy, op.end[a0] - cx);
                    constexpr double twoPi = 2.0 * std::numbers::pi;
                    double sweep = op.ccw ? t1 - in.t0 : in.t0 - t1;
                    while (sweep <= 1e-9) sweep += twoPi;  // equal ends: a full circle
                    while (sweep > twoPi + 1e-9) sweep -= twoPi;
                    in.sweep = sweep + twoPi * op.extraTurns;
                    double r = std::max(in.r0, in.r1);
                    double tol = settings_.chordTolerance;
                    double step = r > tol ? 2.0 * std::acos(1.0 - tol / r) : std::numbers::pi / 2.0;
                    step = std::min(step, std::numbers::pi / 4.0);
                    in.chords =
                        std::max<size_t>(1, static_cast<size_t>(std::ceil(in.sweep / step)));
                    in.dir = op.ccw ? 1.0 : -1.0;
                }
                ++in.done;
                if (in.done >= in.chords) {
                    addPiece(op.end, op, in.index, op.tolerance);
                    input_.pop_front();
                    break;
                }
                double f = static_cast<double>(in.done) / static_cast<double>(in.chords);
                double angle = in.t0 + in.dir * in.sweep * f;
                double rr = in.r0 + (in.r1 - in.r0) * f;
                Vec6 p{};
                for (int i = 0; i < kAxisCount; ++i)
                    p[i] = in.from[i] + (op.end[i] - in.from[i]) * f;
                p[op.axis0] = op.center0 + rr * std::cos(angle);
                p[op.axis1] = op.center1 + rr * std::sin(angle);
                // Chord corners inside an arc blend within the chord tolerance.
                addPiece(p, op, in.index, settings_.chordTolerance);
                break;
            }
            default: {
                // Actions and dwells stop the path where they come; messages
                // are passed on where they come without stopping it.
                Node& n = node_.back();
                n.actions.emplace_back(op, in.index);
                if (node_.size() == 1) nodeDone_ = false;  // sampling stands on it
                if (op.kind != OpKind::Message && !n.stop) {
                    n.stop = true;
                    tailOpen_ = false;
                    backward(true);
                }
                input_.pop_front();
                break;
            }
        }
    }
    if (finished_ && input_.empty() && !node_.back().stop) {
        node_.back().stop = true;
        tailOpen_ = false;
        backward(true);
    }
}

// Appends the piece from the tail to `to`; the corner between the previous
// piece and this one is settled now.
bool LookAhead::addPiece(const Vec6& to, const Op& op, uint64_t index, double tolAtEnd) {
    // Travel: every piece end within the soft limits.
    for (int i = 0; i < kAxisCount; ++i) {
        if (!moves_[i]) continue;
        double v = to[i];
        bool below = settings_.hasMin[i] && v < settings_.min[i] - 1e-9;
        bool above = settings_.hasMax[i] && v > settings_.max[i] + 1e-9;
        if (!below && !above) continue;
        char low[32] = "-", high[32] = "-", buf[160];
        if (settings_.hasMin[i]) (void)std::snprintf(low, sizeof low, "%.4f", settings_.min[i]);
        if (settings_.hasMax[i]) (void)std::snprintf(high, sizeof high, "%.4f", settings_.max[i]);
        (void)std::snprintf(buf, sizeof buf,
                            "%c %.4f is outside the machine's travel (%c %s .. %s)",
                            kAxisLetters[i], v, kAxisLetters[i], low, high);
        error_ = {op.line, std::string(1, kAxisLetters[i]), buf, ""};
        failed_ = true;
        return false;
    }
    Vec6 u{};
    double l2 = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        double d = moves_[i] ? to[i] - tail_[i] : 0.0;
        u[i] = d;
        l2 += d * d;
    }
    double length = std::sqrt(l2);
    if (!(length > 1e-12)) {
        tail_ = to;
        return true;
    }
    for (double& x : u) x /= length;
    bool rapid = op.kind == OpKind::Rapid;
    double feed = rapid ? 0.0 : op.feed;
    double axisV = kInf, amax = kInf;
    for (int i = 0; i < kAxisCount; ++i) {
        double share = std::fabs(u[i]);
        if (share <= 1e-15 || !moves_[i]) continue;
        axisV = std::min(axisV, axisV_[i] / share);
        amax = std::min(amax, axisA_[i] / share);
    }
    if (!std::isfinite(axisV)) axisV = feed > 0.0 ? feed : 1.0;
    if (!std::isfinite(amax)) amax = 1.0;
    if (!rapid && !(feed > 0.0)) feed = 1.0;  // the interpreter refuses these; never divide by 0
    feedBound_ += length / (rapid ? axisV : std::min(axisV, feed));

    double startTrim = 0.0;
    if (tailOpen_ && !node_.back().stop) {
        closeCorner(u, length, rapid, feed, axisV, amax, last_.tol);
        startTrim = trimIn_;
    }
    Element& e = el_.emplace_back();
    e.length = std::max(length - startTrim, 0.0);
    e.accel = amax;
    e.hard = axisV;
    e.feed[0] = e.feed[1] = feed;
    e.axisV[0] = e.axisV[1] = axisV;
    e.rapid[0] = e.rapid[1] = rapid;
    e.a = tail_;
    e.u = u;
    e.d0 = startTrim;
    e.op = index;
    e.line = op.line;
    e.pieceStart = true;
    e.endPoint = to;
    e.soft = softLimit(e);
    node_.emplace_back();
    ++pieces_;
    highestWindow_ = std::max(highestWindow_, pieces_);
    last_ = {u, length, axisV, amax, feed, tolAtEnd, rapid};
    tail_ = to;
    tailOpen_ = true;
    trimBound_ = 0.5 * length;
    dirty_ = true;  // the backward pass runs when the front needs it (frontReady)
    ++addedSincePass_;
    return true;
}

// The corner at the end of the last piece, now that the next one is known:
// a blend (the last element shortened, a blend element added), a straight
// continuation, or a stop. Sets trimIn_, what the next piece loses.
void LookAhead::closeCorner(const Vec6& u1, double length1, bool rapid1, double feed1,
                            double axisV1, double amax1, double tol) {
    trimIn_ = 0.0;
    tailOpen_ = false;
    const Tail& s0 = last_;
    const size_t k = el_.size() - 1;  // the last piece's line element
    Node& end = node_.back();
    double cosPhi = std::clamp(dot(s0.u, u1), -1.0, 1.0);
    // The last element is being sampled already: it runs to its end.
    bool frozen = k == 0 && profiled_;
    if (tol < 0.0 || cosPhi < kReversal || frozen) {
        end.stop = true;
        return;
    }
    if (cosPhi > kCollinear) {
        end.hard = std::min(s0.axisV, axisV1);
        return;
    }
    if (tol == 0.0) tol = exactPathTolerance(settings_.limits, s0.u, u1);
    double phi = std::acos(cosPhi);
    double sinPhi = std::sqrt(std::max(0.0, 1.0 - cosPhi * cosPhi));
    double half = phi / 2.0;
    double cosHalf = std::cos(half), tanHalf = std::tan(half);
    double rTol = tol * cosHalf / (1.0 - cosHalf);
    // Within half of each neighbour: the last one's other half may be its
    // own start corner's already.
    // A line cut by a hold is shorter than its piece.
    double avail = el_[k].pieceStart ? s0.length : 2.0 * el_[k].length;
    double rLen = 0.5 * std::min(avail, length1) / tanHalf;
    double r = std::min(rTol, rLen);
    Vec6 n{};
    for (int i = 0; i < kAxisCount; ++i) n[i] = u1[i] - cosPhi * s0.u[i];
    double nl = std::sqrt(dot(n, n));
    if (!(r > 0.0) || !std::isfinite(r) || !(nl > 1e-15)) {
        end.stop = true;
        return;
    }
    for (double& x : n) x /= nl;
    double v = std::min(s0.axisV, axisV1);
    double ac = kInf, at = kInf;
    for (int i = 0; i < kAxisCount; ++i) {
        if (!moves_[i]) continue;
        double along = peakOver(s0.u[i], n[i], cosPhi, sinPhi);
        double across = peakOver(n[i], -s0.u[i], cosPhi, sinPhi);
        if (along > 1e-15) v = std::min(v, axisV_[i] / along), at = std::min(at, axisA_[i] / along);
        if (across > 1e-15) ac = std::min(ac, axisA_[i] / across);
    }
    if (!std::isfinite(ac) || !std::isfinite(at)) {
        end.stop = true;
        return;
    }
    v = std::min(v, std::sqrt(kTurnShare * ac * r));
    if (!(v > 0.0)) {
        end.stop = true;
        return;
    }
    double trim = r * tanHalf;
    Element& line = el_[k];
    line.length = std::max(line.length - trim, 0.0);
    end.hard = v;
    Element b;
    b.blend = true;
    b.length = r * phi;
    b.accel = at;
    b.hard = v;
    b.radius = r;
    b.turn = ac;
    b.feed[0] = line.feed[0], b.axisV[0] = line.axisV[0], b.rapid[0] = line.rapid[0];
    b.feed[1] = rapid1 ? 0.0 : feed1, b.axisV[1] = axisV1, b.rapid[1] = rapid1;
    b.u = s0.u;
    for (int i = 0; i < kAxisCount; ++i) {
        double start = tail_[i] - s0.u[i] * trim;
        b.centre[i] = start + n[i] * r;
    }
    b.normal = n;
    b.op = line.op;
    b.line = line.line;
    b.soft = softLimit(b);
    el_.push_back(b);
    node_.emplace_back();
    node_.back().hard = v;
    trimIn_ = trim;
    (void)amax1;
}

Vec6 LookAhead::toSteps(const Vec6& u) const {
    Vec6 s{};
    for (int i = 0; i < kAxisCount; ++i) {
        s[i] = moves_[i] ? (u[i] == startUnits_[i] ? startSteps_[i]
                                                   : u[i] * settings_.limits[i].stepsPerUnit)
                         : startSteps_[i];
    }
    if (slaved_) applySlaves(s, startSteps_, settings_.limits);
    return s;
}

Vec6 LookAhead::pointAt(const Element& e, double d) const {
    Vec6 q{};
    if (!e.blend) {
        for (int i = 0; i < kAxisCount; ++i)
            q[i] = moves_[i] ? e.a[i] + e.u[i] * (e.d0 + d) : e.a[i];
        return q;
    }
    double psi = e.psi0 + d / e.radius;
    double cs = std::cos(psi), sn = std::sin(psi);
    for (int i = 0; i < kAxisCount; ++i)
        q[i] = e.centre[i] + e.radius * (e.u[i] * sn - e.normal[i] * cs);
    return q;
}

// ---- sampling ------------------------------------------------------------

// Whether the front element's end speed is settled: no further input could
// raise it (the window ahead covers the stop from it), or none can come.
//
// The backward pass runs lazily: values it left before later input are only
// ever lower than the current ones, so a node they show final is final. Only
// when they do not, and enough input came since the last look (half the
// window again), is the pass run anew: over a long program that costs a
// constant per piece instead of one window per piece.
bool LookAhead::frontReady(double& v1) {
    const Element& e = el_.front();
    if (node_[1].stop || node_[1].hold) {
        v1 = 0.0;
        return true;
    }
    bool last = (finished_ && input_.empty()) || pieces_ >= cap_;
    for (int pass = 0; pass < 2; ++pass) {
        double f = std::min(cap(1), passUp(e.length, e.accel, e.radius, e.turn, v0_));
        double b = node_[1].bwd;
        if (!node_[1].open || b >= f * (1.0 - 1e-12) || (last && !dirty_)) {
            v1 = std::min(f, b);
            return true;
        }
        // Not yet final: look again once input half as long as the stretch
        // the last pass had to cover has come.
        if (!dirty_ || (!last && addedSincePass_ < std::max<size_t>(8, passLength_ / 2)))
            return false;
        backward(false);
    }
    return false;
}

void LookAhead::startFront(double v1) {
    Element& e = el_.front();
    e.va = v0_;
    e.vb = v1;
    e.useProfile = false;
    if (!e.blend) {
        e.profile = makeProfile(e.length, v0_, v1, std::min(e.hard, e.soft), e.accel);
        e.duration = e.profile.total();
    } else if (v0_ + v1 > 0.0) {
        // Steady change of speed along the blend: the mean speed gives the
        // time (the squares' difference would lose it when they are close).
        e.duration = 2.0 * e.length / (v0_ + v1);
        e.acc = (v1 - v0_) / e.duration;
    } else {
        // From rest to rest on a blend (after a hold in it): half the
        // acceleration each for turning and for the speed.
        e.useProfile = true;
        e.profile =
            makeProfile(e.length, 0.0, 0.0, std::sqrt(e.radius * e.turn / 2.0), e.accel / 2.0);
        e.duration = e.profile.total();
    }
    profiled_ = true;
}

void LookAhead::emit(const Element& e, double d, double speed) {
    const double before = speedNow_;  // the speed this millisecond starts from
    here_ = pointAt(e, d);
    speedNow_ = speed;
    sample_.steps = toSteps(here_);
    sample_.op = e.op;
    sample_.line = e.line;
    sample_.speed = speed;
    sample_.rapid = e.rapid[0];
    if (tagScale_ != feedScale_) {
        double feed = std::max(e.rapid[0] ? 0.0 : e.feed[0], e.rapid[1] ? 0.0 : e.feed[1]);
        // The step to this target is the mean speed over the millisecond:
        // under the new limit only once both ends are, on a feed move, and
        // once no node ahead may still be passed above it (its floor).
        if (feed > 0.0 && std::max(before, speed) <= feed * feedScale_ * (1.0 + 1e-9) &&
            !floorsAbove())
            tagScale_ = feedScale_;
    }
    sample_.feedScale = tagScale_;
    sample_.fromRest = rested_;
    rested_ = false;
    lastOp_ = e.op, lastLine_ = e.line, lastRapid_ = e.rapid[0];
}

// At rest on a point: the last sample lands exactly on it.
bool LookAhead::settle() {
    bool sampled = false;
    if (elapsed_ > clock_ + 1e-12) {
        clock_ += kT;
        speedNow_ = 0.0;
        sample_.steps = toSteps(here_);
        sample_.op = lastOp_;
        sample_.line = lastLine_;
        sample_.speed = 0.0;
        sample_.rapid = lastRapid_;
        sample_.feedScale = tagScale_;
        sample_.fromRest = rested_;
        sampled = true;
    }
    elapsed_ = clock_;
    rested_ = true;
    return sampled;
}

void LookAhead::popFront() {
    const Element& e = el_.front();
    elapsed_ += e.duration;
    v0_ = e.vb;
    here_ = !e.blend && v0_ == 0.0 ? e.endPoint : pointAt(e, e.length);
    lastOp_ = e.op, lastLine_ = e.line, lastRapid_ = e.rapid[0];
    if (e.pieceStart) --pieces_;
    el_.pop_front();
    node_.pop_front();
    profiled_ = false;
    nodeDone_ = false;
    actionPos_ = 0;
    expandInput();
}

LookAhead::Next LookAhead::next() {
    return step(true);
}
LookAhead::Next LookAhead::estimate() {
    return step(false);
}

// One step of sampling (or of the pre-pass, which counts time instead).
LookAhead::Next LookAhead::step(bool sampling) {
    if (failed_) return Next::Error;
    for (;;) {
        if (dwellLeft_ > 0) {
            if (!sampling) {
                clock_ += static_cast<double>(dwellLeft_) * kT;
                dwellLeft_ = 0;
                elapsed_ = clock_;
                continue;
            }
            --dwellLeft_;
            clock_ += kT;
            elapsed_ = clock_;
            speedNow_ = 0.0;
            sample_.steps = toSteps(here_);
            sample_.speed = 0.0;
            sample_.fromRest = false;
            return Next::Sample;
        }
        if (!nodeDone_) {
            Node& n = node_.front();
            if (v0_ == 0.0) {
                if (sampling) {
                    if (settle()) return Next::Sample;
                } else {
                    if (elapsed_ > clock_ + 1e-12) clock_ += kT;
                    elapsed_ = clock_;
                }
            }
            if (n.hold) {
                held_ = true;
                holdPending_ = false;
                return Next::Held;
            }
            if (held_) return Next::Held;
            if (actionPos_ < n.actions.size()) {
                const auto& [op, index] = n.actions[actionPos_++];
                if (op.kind == OpKind::Dwell) {
                    dwellLeft_ = static_cast<size_t>(std::llround(op.seconds * 1000.0));
                    continue;
                }
                action_ = op;
                actionIndex_ = index;
                if (op.kind != OpKind::Message) {
                    seconds_ += clock_;
                    clock_ = elapsed_ = 0.0;
                }
                if (!sampling) continue;
                return Next::Action;
            }
            nodeDone_ = true;
        }
        if (held_) return Next::Held;
        if (el_.empty()) {
            if (finished_ && input_.empty()) {
                seconds_ += clock_;
                clock_ = elapsed_ = 0.0;
                return Next::Done;
            }
            return Next::NeedInput;
        }
        if (!profiled_) {
            double v1 = 0.0;
            if (!frontReady(v1)) {
                if (!input_.empty()) expandInput();
                if (!frontReady(v1)) return failed_ ? Next::Error : Next::NeedInput;
            }
            startFront(v1);
        }
        Element& e = el_.front();
        double end = elapsed_ + e.duration;
        if (sampling) {
            if (clock_ + kT <= end + 1e-12) {
                clock_ += kT;
                double t = clock_ - elapsed_;
                emit(e, e.distance(t), e.speed(t));
                return Next::Sample;
            }
        } else {
            while (clock_ + kT <= end + 1e-12) clock_ += kT;
        }
        popFront();
        if (failed_) return Next::Error;
    }
}

// ---- controls ------------------------------------------------------------

// Cuts the front element where sampling stands, so that a new profile can
// start from the current speed.
void LookAhead::splitFront() {
    if (el_.empty() || !profiled_) return;
    Element& e = el_.front();
    double t = clock_ - elapsed_;
    double d = e.distance(t), v = e.speed(t);
    if (e.blend)
        e.psi0 += d / e.radius;
    else
        e.d0 += d;
    e.length = std::max(0.0, e.length - d);
    elapsed_ = clock_;
    v0_ = v;
    profiled_ = false;
    nodeDone_ = true;
}

// Splits element i at distance d into two with a node between them (the
// hold point when `hold`).
void LookAhead::splitAt(size_t i, double d, bool hold) {
    Element first = el_[i];
    Element second = el_[i];
    first.length = d;
    first.endPoint = pointAt(el_[i], d);
    if (second.blend)
        second.psi0 += d / second.radius;
    else
        second.d0 += d;
    second.length = std::max(0.0, second.length - d);
    second.pieceStart = false;
    el_[i] = first;
    el_.insert(i + 1, second);
    Node n;
    n.hard = first.hard;
    n.hold = hold;
    node_.insert(i + 1, n);
}

bool LookAhead::hold() {
    if (held_ || holdPending_) return true;
    splitFront();
    if (el_.empty() && v0_ == 0.0) return false;
    // The earliest point the axes can stop at, decelerating from here.
    double v = v0_;
    for (size_t i = 0; i < el_.size(); ++i) {
        if (i > 0 && (node_[i].stop || v == 0.0)) {
            node_[i].hold = true;
            holdPending_ = true;
            break;
        }
        const Element& e = el_[i];
        double share =
            e.blend && e.turn > 0.0 ? std::max(0.0, 1.0 - v * v / (e.radius * e.turn)) : 1.0;
        double k = 2.0 * e.accel * share;
        double d = k > 0.0 ? v * v / k * (1.0 + 1e-9) : kInf;
        if (d < e.length) {
            splitAt(i, d, true);
            holdPending_ = true;
            break;
        }
        v = passDown(e.length, e.accel, e.radius, e.turn, v);
    }
    if (!holdPending_) {
        node_.back().hold = true;  // the window's end, where the motion stops anyway
        holdPending_ = true;
    }
    recomputeAll();
    return true;
}

void LookAhead::resume() {
    if (!held_ && !holdPending_) return;
    splitFront();
    for (size_t i = 0; i < node_.size(); ++i) node_[i].hold = false;
    if (held_) nodeDone_ = false;  // the node's actions (if any) still come
    held_ = false;
    holdPending_ = false;
    recomputeAll();
}

void LookAhead::discard() {
    splitFront();
    el_.clear();
    Node front = node_.front();
    node_.clear();
    front.actions.clear();
    front.stop = true;
    front.hold = false;
    node_.push_back(front);
    input_.clear();
    pieces_ = 0;
    tailOpen_ = false;
    tail_ = here_;
    held_ = holdPending_ = false;
    finished_ = false;
    dwellLeft_ = 0;
    actionPos_ = 0;
    nodeDone_ = false;
    v0_ = 0.0;
}

// After an override was lowered: the motion slows at the axes' rate, so the
// nodes ahead may not yet be reached below the new limits.
void LookAhead::lowerFloors() {
    double f = v0_;
    for (size_t i = 0; i < node_.size(); ++i) {
        node_[i].floor = std::max(0.0, f);
        if (i < el_.size()) {
            const Element& e = el_[i];
            f = passDown(e.length, e.accel, e.radius, e.turn, f);
        }
    }
}

bool LookAhead::floorsAbove() const {
    for (size_t i = 1; i < node_.size(); ++i) {
        double soft = el_[i - 1].soft;
        if (i < el_.size()) soft = std::min(soft, el_[i].soft);
        if (node_[i].floor > soft * (1.0 + 1e-9)) return true;
    }
    return false;
}

void LookAhead::setFeedScale(double scale) {
    scale = std::clamp(scale, 0.01, 2.0);
    if (scale == feedScale_) return;
    splitFront();
    if (scale < feedScale_) tagScale_ = std::max(tagScale_, feedScale_);
    feedScale_ = scale;
    for (size_t i = 0; i < el_.size(); ++i) el_[i].soft = softLimit(el_[i]);
    lowerFloors();
    recomputeAll();
}

void LookAhead::setRapidScale(double scale) {
    scale = std::clamp(scale, 0.01, 1.0);
    if (scale == rapidScale_) return;
    splitFront();
    rapidScale_ = scale;
    for (size_t i = 0; i < el_.size(); ++i) el_[i].soft = softLimit(el_[i]);
    lowerFloors();
    recomputeAll();
}

}  // namespace telvo::tool
