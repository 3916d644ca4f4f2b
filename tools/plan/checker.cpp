// Run checker; see checker.h.
#include "plan/checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace telvo::tool {
namespace {

constexpr size_t kMaxProblems = 5;
// Relative slack for rounding in the comparisons with the limits.
constexpr double kSlack = 1e-6;
// Absolute slack of a distance, machine units.
constexpr double kNear = 1e-7;
// Windows for the reported positions: long enough that one step of
// quantisation is small against the limits.
constexpr double kVelocityWindow = 0.010;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Turns of an arc tried for a point with nothing to go by.
constexpr int kMostTurnsTried = 64;

double norm(const Vec6& v) {
    double s = 0.0;
    for (double x : v) s += x * x;
    return std::sqrt(s);
}

double between(const Vec6& p, const Vec6& q) {
    double s = 0.0;
    for (int i = 0; i < kAxisCount; ++i) s += (p[i] - q[i]) * (p[i] - q[i]);
    return std::sqrt(s);
}

double segmentDistance(const Vec6& p, const Vec6& a, const Vec6& b) {
    double ab2 = 0.0, t = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        ab2 += (b[i] - a[i]) * (b[i] - a[i]);
        t += (p[i] - a[i]) * (b[i] - a[i]);
    }
    t = ab2 > 0.0 ? std::clamp(t / ab2, 0.0, 1.0) : 0.0;
    double d2 = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        double q = a[i] + (b[i] - a[i]) * t - p[i];
        d2 += q * q;
    }
    return std::sqrt(d2);
}

// A tolerance with room for rounding.
double slack(double allowed) {
    return allowed * (1.0 + kSlack) + kNear;
}

std::string fixed(double v, int decimals = 4) {
    char buf[64];
    (void)std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

bool stops(OpKind k) {
    return k == OpKind::Dwell || k == OpKind::Spindle || k == OpKind::Coolant ||
           k == OpKind::ToolChange || k == OpKind::Pause || k == OpKind::End;
}

}  // namespace

CheckSettings checkSettings(const PlanSettings& plan) {
    CheckSettings s;
    s.limits = plan.limits;
    s.chordTolerance = plan.chordTolerance;
    return s;
}

std::string CheckReport::summary() const {
    char buf[320];
    (void)std::snprintf(buf, sizeof buf,
                        "%s: velocity %.1f %%, acceleration %.1f %% of the limits; path within "
                        "%.4f of the program; feed %.1f %% of the programmed",
                        ok() ? "passed" : "FAILED", velocityRatio * 100.0,
                        accelerationRatio * 100.0, deviation, feedRatio * 100.0);
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
    if (positionsLate) s += "; " + std::to_string(positionsLate) + " reports too late to check";
    if (!endReached) s += "; end point NOT reached";
    return s;
}

RunChecker::RunChecker(const CheckSettings& settings, const Vec6& startUnits,
                       const Vec6& startSteps)
    : s_(settings) {
    double reach = 0.0, quantum = 0.0;
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisLimit& l = s_.limits[i];
        moves_[i] = l.enabled && l.slaveOf == 0;
        if (!moves_[i]) continue;
        double v = l.maxVelocity / l.stepsPerUnit * kSegmentSeconds;
        reach += v * v;
        quantum += 1.0 / (l.stepsPerUnit * l.stepsPerUnit);
        pos_[i] = startUnits[i];
    }
    reach_ = std::sqrt(reach) * (1.0 + kSlack);
    quantum_ = std::sqrt(quantum);
    startSteps_ = prevSteps_ = startSteps;
    prevUnits_ = toUnits(startSteps);
}

void RunChecker::slaves(const Vec6& steps, double allowed, const std::string& name) {
    for (int i = 0; i < kAxisCount; ++i) {
        int m = s_.limits[i].slaveOf;
        if (!s_.limits[i].enabled || m < 1 || m > kAxisCount) continue;
        double off = steps[i] - (startSteps_[i] + steps[m - 1] - startSteps_[m - 1]);
        if (std::fabs(off) > allowed + 1e-6)
            fault(name + ": axis " + kAxisLetters[i] + " is " + fixed(off, 3) +
                  " steps off its master " + kAxisLetters[m - 1]);
    }
}

Vec6 RunChecker::toUnits(const Vec6& steps) const {
    Vec6 u{};
    for (int i = 0; i < kAxisCount; ++i)
        u[i] = moves_[i] ? steps[i] / s_.limits[i].stepsPerUnit : 0.0;
    return u;
}

void RunChecker::fault(const std::string& text) {
    ++r_.faults;
    if (r_.problems.size() < kMaxProblems) r_.problems.push_back(text);
}

RunChecker::OpRec* RunChecker::find(size_t index) {
    if (ops_.empty() || index < ops_.front().index) return nullptr;
    size_t at = index - ops_.front().index;
    return at < ops_.size() ? &ops_[at] : nullptr;
}

double RunChecker::own(const OpRec& op) const {
    // An arc's chords sag by up to the tolerance, and their corners are
    // rounded within it.
    return op.arc ? 2.0 * s_.chordTolerance : 0.0;
}

double RunChecker::corner(const OpRec& op) const {
    if (op.next == kNone || op.stopAfter) return 0.0;
    if (op.tolerance != 0.0) return std::max(op.tolerance, 0.0);
    // Exact path: bends are blended within half a step of the coarsest
    // axis the two operations move (the planner's rule, trajectory.h).
    const OpRec* next = const_cast<RunChecker*>(this)->find(op.next);
    auto moved = [](const OpRec& o) {
        Vec6 d{};
        for (int i = 0; i < kAxisCount; ++i) d[i] = o.b[i] - o.a[i];
        if (o.arc) d[o.p0] = d[o.p1] = 1.0;
        return d;
    };
    return exactPathTolerance(s_.limits, moved(op), next ? moved(*next) : Vec6{});
}

void RunChecker::addOperation(const Op& op) {
    OpRec o;
    o.index = opsFed_++;
    o.line = op.line;
    o.a = pos_;
    o.b = pos_;
    o.motion = op.kind == OpKind::Rapid || op.kind == OpKind::Linear || op.kind == OpKind::Arc;
    if (o.motion) {
        for (int i = 0; i < kAxisCount; ++i) o.b[i] = moves_[i] ? op.end[i] : 0.0;
        o.rapid = op.kind == OpKind::Rapid;
        o.feed = o.rapid ? 0.0 : op.feed;
        o.tolerance = op.tolerance;
        Vec6 d{};
        for (int i = 0; i < kAxisCount; ++i) d[i] = o.b[i] - o.a[i];
        if (op.kind == OpKind::Arc) {
            o.arc = true;
            o.p0 = op.axis0;
            o.p1 = op.axis1;
            o.cx = op.center0;
            o.cy = op.center1;
            o.r0 = std::hypot(o.a[o.p0] - o.cx, o.a[o.p1] - o.cy);
            o.r1 = std::hypot(o.b[o.p0] - o.cx, o.b[o.p1] - o.cy);
            o.t0 = std::atan2(o.a[o.p1] - o.cy, o.a[o.p0] - o.cx);
            double t1 = std::atan2(o.b[o.p1] - o.cy, o.b[o.p0] - o.cx);
            o.dir = op.ccw ? 1.0 : -1.0;
            // Equal ends make a full circle; P adds whole turns.
            double sweep = o.dir * (t1 - o.t0);
            while (sweep <= 1e-9) sweep += kTwoPi;
            while (sweep > kTwoPi + 1e-9) sweep -= kTwoPi;
            o.sweep = sweep + kTwoPi * op.extraTurns;
            d[o.p0] = d[o.p1] = 0.0;
            o.length = o.sweep * std::max(o.r0, o.r1) > 1e-12 || norm(d) > 1e-12;
        } else {
            o.length = norm(d) > 1e-12;
        }
        pos_ = o.b;
    } else if (stops(op.kind)) {
        stopSince_ = true;
    }
    if (o.length) {
        if (OpRec* last = lastLength_ != kNone ? find(lastLength_) : nullptr) {
            last->next = o.index;
            last->stopAfter = stopSince_;
        }
        lastLength_ = o.index;
        stopSince_ = false;
        anyLength_ = true;
    }
    ops_.push_back(o);
}

double RunChecker::arcDistance(const Vec6& p, const OpRec& op, double& turn) const {
    // The circle in the plane (the radius going linearly from the start's
    // to the end's with the angle) and every other axis linear in the
    // angle: the distance at the point's own angle, on the turn nearest the
    // last one, or from the arc's ends when the angle lies outside it.
    double dx = p[op.p0] - op.cx, dy = p[op.p1] - op.cy;
    double rho = std::hypot(dx, dy);
    double phi = std::fmod(op.dir * (std::atan2(dy, dx) - op.t0), kTwoPi);
    if (phi < 0.0) phi += kTwoPi;
    double da = between(p, op.a), db = between(p, op.b);
    double best2 = std::min(da, db);
    best2 *= best2;
    double bestTurn = da <= db ? 0.0 : op.sweep;
    int most = static_cast<int>(op.sweep / kTwoPi) + 1;
    int lo = 0, hi = std::min(most, kMostTurnsTried);
    if (turn >= 0.0) {
        auto m0 = static_cast<int>(std::lround((turn - phi) / kTwoPi));
        lo = std::max(0, m0 - 1);
        hi = std::min(most, m0 + 1);
    }
    for (int m = lo; m <= hi; ++m) {
        double u = phi + kTwoPi * m;
        if (u > op.sweep) break;
        double f = u / op.sweep;
        double e = rho - (op.r0 + (op.r1 - op.r0) * f);
        double d2 = e * e;
        for (int i = 0; i < kAxisCount; ++i) {
            if (i == op.p0 || i == op.p1) continue;
            double h = op.a[i] + (op.b[i] - op.a[i]) * f - p[i];
            d2 += h * h;
        }
        if (d2 < best2) best2 = d2, bestTurn = u;
    }
    turn = bestTurn;
    return std::sqrt(best2);
}

double RunChecker::distance(const Vec6& p, const OpRec& op, double& turn) const {
    if (!op.length) return between(p, op.b);
    if (op.arc) return arcDistance(p, op, turn);
    return segmentDistance(p, op.a, op.b);
}

void RunChecker::endStretch(size_t at) {
    // A stretch ends at rest: the last movement must be one the axes can
    // stop from within a millisecond.
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisLimit& l = s_.limits[i];
        if (!l.enabled) continue;
        double ar = std::fabs(prevVel_[i] / kSegmentSeconds) / l.acceleration;
        r_.accelerationRatio = std::max(r_.accelerationRatio, ar);
        if (ar > 1.0 + kSlack)
            fault(std::string("axis ") + kAxisLetters[i] + " stops too abruptly at target " +
                  std::to_string(at));
    }
    prevVel_ = Vec6{};
}

void RunChecker::addTarget(const Vec6& steps, size_t index, double feedScale, bool fromRest) {
    const double T = kSegmentSeconds;
    const size_t k = targets_++;
    const std::string name = "target " + std::to_string(k + 1);
    if (fromRest && k > 0) endStretch(k);
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisLimit& l = s_.limits[i];
        if (!l.enabled) continue;
        double v = (steps[i] - prevSteps_[i]) / T;
        double a = (v - prevVel_[i]) / T;
        double vr = std::fabs(v) / l.maxVelocity, ar = std::fabs(a) / l.acceleration;
        r_.velocityRatio = std::max(r_.velocityRatio, vr);
        r_.accelerationRatio = std::max(r_.accelerationRatio, ar);
        if (vr > 1.0 + kSlack)
            fault(name + ": axis " + kAxisLetters[i] + " velocity " + std::to_string(std::fabs(v)) +
                  " steps/s over its limit");
        if (ar > 1.0 + kSlack)
            fault(name + ": axis " + kAxisLetters[i] + " acceleration " +
                  std::to_string(std::fabs(a)) + " steps/s^2 over its limit");
        prevVel_[i] = v;
    }
    prevSteps_ = steps;
    slaves(steps, 0.0, name);
    const Vec6 p = toUnits(steps);
    ++r_.targetsChecked;
    OpRec* op = find(index);
    if (!op) {
        fault(name + ": its operation " + std::to_string(index + 1) +
              (index < opsFed_ ? " is no longer held" : " was never given"));
        prevUnits_ = p;
        return;
    }
    if (label_ != kNone && index < label_) {
        fault(name + ": goes back to line " + std::to_string(op->line) + " from line " +
              std::to_string(find(label_) ? find(label_)->line : 0));
    }
    for (size_t j = std::max(assigned_, ops_.front().index); j <= index; ++j) find(j)->first = k;
    assigned_ = std::max(assigned_, index + 1);

    // The feeds the step from the last target may take: the operations it
    // runs along, and the next ones where it blends into them.
    double feed = 0.0;
    bool unlimited = false;
    auto takeFeed = [&](const OpRec* o) {
        if (!o || !o->length) return;
        if (o->rapid)
            unlimited = true;
        else
            feed = std::max(feed, o->feed);
    };
    if (label_ != kNone && label_ <= index) {
        OpRec* last = find(label_);
        takeFeed(last);
        if (last && prevBlend_ && last->next != kNone) takeFeed(find(last->next));
    }
    // Operations passed whole since the last target (too short for a target
    // of their own): their ends must lie on the way, or the motion cut them
    // short.
    for (size_t j = label_ == kNone ? ops_.front().index : label_ + 1; j < index; ++j) {
        OpRec* o = find(j);
        if (!o || !o->length) continue;
        takeFeed(o);
        OpRec* n = o->next != kNone ? find(o->next) : nullptr;
        double allowed = reach_ + std::max(corner(*o), n ? corner(*n) : 0.0) +
                         std::max(own(*o), n ? own(*n) : 0.0);
        double d = between(p, o->b);
        if (d > slack(allowed)) {
            fault(name + ": the corner at the end of line " + std::to_string(o->line) +
                  " was passed " + fixed(d) + " away");
        }
    }
    takeFeed(op);

    // Its distance from its operation, or within the corner's tolerance
    // from the path around the corner into the next one.
    double turn = op->targetTurn;
    double d = distance(p, *op, turn);
    op->targetTurn = turn;
    double allowed = own(*op);
    bool blend = d > slack(allowed);
    if (blend) {
        allowed = corner(*op) + own(*op);
        if (OpRec* n = op->next != kNone ? find(op->next) : nullptr) {
            double nextTurn = n->targetTurn;
            double dn = distance(p, *n, nextTurn);
            if (dn < d) d = dn, n->targetTurn = nextTurn;
            allowed = corner(*op) + std::max(own(*op), own(*n));
            takeFeed(n);
        }
    }
    r_.deviation = std::max(r_.deviation, d);
    if (d > slack(allowed)) {
        fault(name + ": " + fixed(d) + " from the path of line " + std::to_string(op->line) +
              " (allowed " + fixed(allowed) + ")");
    }

    // The path speed against the programmed feed; rapids keep to the axes'
    // limits only.
    if (!unlimited && feed > 0.0) {
        double speed = between(p, prevUnits_) / T;
        double cap = feed * feedScale;
        double ratio = cap > 0.0 ? speed / cap : (speed > kNear ? INFINITY : 0.0);
        r_.feedRatio = std::max(r_.feedRatio, ratio);
        if (ratio > 1.0 + kSlack) {
            fault(name + ": path speed " + fixed(speed, 3) + " units/s, " + fixed(ratio * 100, 1) +
                  " % of the feed of line " + std::to_string(op->line));
        }
    }
    label_ = index;
    prevBlend_ = blend;
    prevUnits_ = p;
    trim();
}

RunChecker::OpRec* RunChecker::opAt(size_t target) {
    // The last operation whose first target is at or before `target`.
    auto it = std::upper_bound(ops_.begin(), ops_.end(), target,
                               [](size_t t, const OpRec& o) { return t < o.first; });
    return it == ops_.begin() ? nullptr : &*(it - 1);
}

void RunChecker::addReport(const Vec6& units, size_t segment, std::optional<double> seconds) {
    const size_t n = r_.positionsChecked + r_.positionsLate + 1;
    // Velocity of every axis over windows of at least kVelocityWindow.
    if (seconds) {
        if (!windowOpen_) {
            windowOpen_ = true;
            windowUnits_ = units;
            windowSeconds_ = *seconds;
        } else if (*seconds - windowSeconds_ >= kVelocityWindow) {
            double dt = *seconds - windowSeconds_;
            for (int i = 0; i < kAxisCount; ++i) {
                const AxisLimit& l = s_.limits[i];
                if (!l.enabled) continue;
                double steps = std::fabs(units[i] - windowUnits_[i]) * l.stepsPerUnit;
                // One step of quantisation at either end of the window.
                double v = std::max(0.0, steps - 2.0) / dt;
                double ratio = v / l.maxVelocity;
                r_.executedVelocityRatio = std::max(r_.executedVelocityRatio, ratio);
                if (ratio > 1.0 + kSlack) {
                    fault("reported positions near " + fixed(*seconds, 3) + " s: axis " +
                          kAxisLetters[i] + " faster than its limit");
                }
            }
            windowUnits_ = units;
            windowSeconds_ = *seconds;
        }
    }

    // Slaved axes within a step of their master's travel; the others
    // measured from the path.
    Vec6 steps{};
    for (int i = 0; i < kAxisCount; ++i) steps[i] = units[i] * s_.limits[i].stepsPerUnit;
    slaves(steps, 1.0, "reported position " + std::to_string(n));
    Vec6 q{};
    for (int i = 0; i < kAxisCount; ++i) q[i] = moves_[i] ? units[i] : 0.0;
    // The operations of the targets around the one executed last.
    if (targets_ == 0 || ops_.empty()) {
        ++r_.positionsLate;
        return;
    }
    const size_t w = s_.reportWindow;
    size_t g = std::min(segment > 0 ? segment - 1 : 0, targets_ - 1);
    OpRec* lo = opAt(g > w ? g - w : 0);
    OpRec* hi = opAt(std::min(g + w, targets_ - 1));
    if (!hi) {
        ++r_.positionsLate;
        return;
    }
    if (!lo) lo = &ops_.front();
    double best = INFINITY, allowedCorner = 0.0, allowedOwn = 0.0, bestTurn = -1.0;
    OpRec* at = lo;
    auto consider = [&](OpRec& o) {
        double turn = o.reportTurn;
        double d = distance(q, o, turn);
        allowedOwn = std::max(allowedOwn, own(o));
        if (d < best) best = d, at = &o, bestTurn = turn;
    };
    for (size_t j = lo->index; j <= hi->index; ++j) {
        OpRec* o = find(j);
        consider(*o);
        allowedCorner = std::max(allowedCorner, corner(*o));
    }
    if (OpRec* nx = hi->next != kNone ? find(hi->next) : nullptr) consider(*nx);
    at->reportTurn = bestTurn;
    double allowed = allowedCorner + allowedOwn + quantum_;
    r_.executedDeviation = std::max(r_.executedDeviation, best);
    if (best > slack(allowed)) {
        fault("reported position " + std::to_string(n) +
              (seconds ? " at " + fixed(*seconds, 3) + " s" : "") + ": " + fixed(best) +
              " from the path of line " + std::to_string(at->line));
    }
    ++r_.positionsChecked;
    reportTarget_ = std::max(reportTarget_, g);
    trim();
}

void RunChecker::trim() {
    // Targets to come reference the last target's operation and later ones;
    // reports to come, the operations of targets from `keep` on.
    size_t keep = targets_ > s_.reportLag ? targets_ - s_.reportLag : 0;
    keep = std::max(keep, reportTarget_ > s_.reportWindow ? reportTarget_ - s_.reportWindow : 0);
    while (ops_.size() > 1 && label_ != kNone && ops_.front().index < label_) {
        const OpRec& second = ops_[1];
        bool needed = second.first == kNone || second.first > keep;
        if (needed && ops_.size() <= s_.maxOps) break;
        ops_.pop_front();
    }
}

const CheckReport& RunChecker::finish() {
    if (finished_) return r_;
    finished_ = true;
    endStretch(targets_);
    // The last target is the program's end.
    if (anyLength_) {
        Vec6 end = toUnits(prevSteps_);
        for (int i = 0; i < kAxisCount; ++i) {
            if (moves_[i] && std::fabs(end[i] - pos_[i]) * s_.limits[i].stepsPerUnit > 1e-6)
                r_.endReached = false;
        }
    }
    return r_;
}

PlanFeed::PlanFeed(RunChecker& checker, const Interpreted& program, const Plan& plan)
    : c_(checker), program_(program), plan_(plan), targets_(&plan.targets) {}

void PlanFeed::source(const std::vector<Vec6>& targets, size_t first) {
    targets_ = &targets;
    base_ = first;
}

void PlanFeed::upTo(size_t end) {
    end = std::min(end, base_ + targets_->size());
    const std::vector<PathPiece>& pieces = plan_.pieces;
    const std::vector<size_t>& starts = plan_.pieceStart;
    const std::vector<PlanStep>& steps = plan_.steps;
    while (next_ < end && next_ >= base_) {
        while (piece_ + 1 < pieces.size() && piece_ + 1 < starts.size() &&
               starts[piece_ + 1] <= next_)
            ++piece_;
        size_t op = pieces.empty() ? 0 : static_cast<size_t>(pieces[piece_].op);
        // The operations up to the next piece's: the corner ahead blends
        // into it.
        size_t need = piece_ + 1 < pieces.size() ? static_cast<size_t>(pieces[piece_ + 1].op) : op;
        need = std::max(need, op);
        while (opsFed_ <= need && opsFed_ < program_.ops.size())
            c_.addOperation(program_.ops[opsFed_++]);
        while (step_ < steps.size() && steps[step_].endTarget <= next_) ++step_;
        bool fromRest = step_ < steps.size() && steps[step_].firstTarget == next_;
        c_.addTarget((*targets_)[next_ - base_], op, scale_, fromRest);
        ++next_;
    }
}

const CheckReport& PlanFeed::finish() {
    upTo(base_ + targets_->size());
    while (opsFed_ < program_.ops.size()) c_.addOperation(program_.ops[opsFed_++]);
    return c_.finish();
}

CheckReport checkPlan(const Interpreted& program, const Plan& plan, const CheckSettings& settings) {
    RunChecker checker(settings, program.start, plan.startSteps);
    PlanFeed feed(checker, program, plan);
    return feed.finish();
}

}  // namespace telvo::tool
