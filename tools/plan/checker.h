// The run checker: did the motion keep to the machine and to the program?
//
// The path is measured against the program's own geometry, recomputed from
// the interpreter's operations (straight moves, arcs and helices exactly),
// never against the planner's pieces, so a planner that bends the path is
// caught. From the 1 ms targets: every axis's velocity and acceleration
// within its limits, the path speed within the programmed feed (times the
// feed scale the target was sampled with), each target within the
// tolerance its operation allows (exact on lines, the chord tolerance on
// arcs, the blending tolerance where it rounds the corner into the next
// operation), short operations passed whole between two targets lying on
// the way, slaved axes on their master's travel, and the end point reached.
// From the controller's reported positions (every configured axis, with the
// controller time of each report): the path within the tolerance plus one
// step (a slaved axis within a step of its master's travel), and each axis's
// velocity over windows long enough for the quantisation not to matter.
//
// The checker is fed online, in order, and holds a bounded window: the
// operations as they are produced, the targets as they are sampled, the
// reports as they come (lagging the targets), then finish(). It keeps only
// the operations still referenced by recent targets or by reports near the
// segment the controller has reached, and constant state otherwise.
#pragma once

#include <cstddef>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/canon.h"
#include "plan/planner.h"
#include "plan/trajectory.h"

namespace telvo::tool {

struct CheckSettings {
    MotionLimits limits{};
    // Arcs are cut into chords within it, and the chords' corners rounded
    // within it: a target may lie twice this far from an arc.
    double chordTolerance = 0.001;  // machine units
    // A report lies on the path near the target it was made at: the
    // operations of this many targets either side are its path.
    size_t reportWindow = 16;
    // Reports may lag the newest target by this many targets; the
    // operations of older targets are let go.
    size_t reportLag = 16384;
    // Operations held at most, however they are referenced.
    size_t maxOps = 1 << 16;
};

// The checker's settings for a plan made with `plan`.
CheckSettings checkSettings(const PlanSettings& plan);

struct CheckReport {
    double velocityRatio = 0.0;      // highest |v| / limit over axes and targets
    double accelerationRatio = 0.0;  // highest |a| / limit
    double feedRatio = 0.0;          // highest path speed / (feed x scale) on feed moves
    double deviation = 0.0;          // largest distance of a target from the program's path
    double executedDeviation = 0.0;  // same for reported positions
    double executedVelocityRatio = 0.0;
    size_t targetsChecked = 0, positionsChecked = 0;
    size_t positionsLate = 0;  // reports older than the held window: not checked
    bool endReached = true;
    std::vector<std::string> problems;  // the first few faults
    size_t faults = 0;
    bool ok() const { return faults == 0 && endReached; }
    std::string summary() const;
};

class RunChecker {
public:
    // `startUnits` is where the program starts (Interpreted::start, machine
    // units), `startSteps` the same point in the controller's steps.
    RunChecker(const CheckSettings& settings, const Vec6& startUnits, const Vec6& startSteps);

    // The next operation of the program (Interpreted::ops, in order). An
    // operation must come before the targets that run along it or blend
    // into it.
    void addOperation(const Op& op);
    // The next 1 ms target (steps). `op` is the index of the operation it
    // runs along or blends out of; `feedScale` scales that operation's
    // feed (an override); `fromRest` starts a new stretch of motion, after
    // one that ended at rest.
    void addTarget(const Vec6& steps, size_t op, double feedScale = 1.0, bool fromRest = false);
    // A position the controller reported (machine units, every axis), after
    // `segment` targets were executed; `seconds` is the controller's time
    // of the report when it has one (its velocity is then checked too).
    void addReport(const Vec6& units, size_t segment, std::optional<double> seconds);
    // The run is over: the last stretch ends at rest, on the program's end.
    const CheckReport& finish();

    const CheckReport& report() const { return r_; }
    CheckReport& report() { return r_; }
    size_t operationsHeld() const { return ops_.size(); }
    size_t targetsFed() const { return targets_; }

private:
    static constexpr size_t kNone = std::numeric_limits<size_t>::max();
    struct OpRec {
        size_t index = 0;
        int line = 0;
        bool motion = false;  // a rapid, feed move or arc
        bool length = false;  // it moves the path (zero-length moves do not)
        bool rapid = false;
        bool arc = false;
        bool stopAfter = false;  // a dwell or action before the next motion: exact stop
        double feed = 0.0;       // units per second
        double tolerance = -1.0;
        Vec6 a{}, b{};  // start and end, moving axes only
        // Arcs: plane axes, centre, radii at both ends, start angle, sweep
        // (full turns included), direction (+1 ccw).
        int p0 = 0, p1 = 1;
        double cx = 0.0, cy = 0.0, r0 = 0.0, r1 = 0.0, t0 = 0.0, sweep = 0.0, dir = 1.0;
        size_t next = kNone;   // index of the next operation with length
        size_t first = kNone;  // first target at or beyond it
        // Angle travelled at the last target and report, to pick the turn.
        double targetTurn = -1.0, reportTurn = -1.0;
    };
    OpRec* find(size_t index);
    OpRec* opAt(size_t target);            // the operation a target ran along
    double own(const OpRec& op) const;     // the tolerance along it
    double corner(const OpRec& op) const;  // the tolerance into the next operation
    double distance(const Vec6& p, const OpRec& op, double& turn) const;
    double arcDistance(const Vec6& p, const OpRec& op, double& turn) const;
    void endStretch(size_t at);
    void trim();
    void fault(const std::string& text);
    // Slaved axes follow their master's travel: each one's offset, in steps.
    void slaves(const Vec6& steps, double allowed, const std::string& name);
    Vec6 toUnits(const Vec6& steps) const;

    CheckSettings s_;
    CheckReport r_;
    Vec6 startSteps_{};
    std::array<bool, kAxisCount> moves_{};  // configured and not slaved
    double reach_ = 0.0;                    // farthest the path goes in 1 ms
    double quantum_ = 0.0;                  // one step on every moving axis
    std::deque<OpRec> ops_;
    size_t opsFed_ = 0;
    Vec6 pos_{};                 // end of the operations so far, moving axes
    size_t lastLength_ = kNone;  // last operation with length, awaiting its next
    bool stopSince_ = false;     // a dwell or action since lastLength_
    bool anyLength_ = false;     // the program moves at all
    // Targets.
    size_t targets_ = 0;
    size_t label_ = kNone;  // operation of the last target
    size_t assigned_ = 0;   // operations whose first target is known
    bool prevBlend_ = false;
    Vec6 prevSteps_{}, prevVel_{}, prevUnits_{};
    // Reports.
    size_t reportTarget_ = 0;  // the target the latest report was made at
    bool windowOpen_ = false;
    Vec6 windowUnits_{};
    double windowSeconds_ = 0.0;
    bool finished_ = false;
};

// Feeds a planned program to a checker in order, the way a run produces
// it: each operation before the targets that need it, each target with the
// operation of its piece. The targets are read from the plan, or from where
// a run has lent them (`source`).
class PlanFeed {
public:
    PlanFeed(RunChecker& checker, const Interpreted& program, const Plan& plan);
    // The targets [first, first + targets.size()) are read from `targets`.
    void source(const std::vector<Vec6>& targets, size_t first);
    // Feeds the targets up to `end` (at most to the source's end).
    void upTo(size_t end);
    // The feed scale (override) the targets from here on were sampled with.
    void feedScale(double scale) { scale_ = scale; }
    // Feeds the rest (targets and operations) and finishes the check.
    const CheckReport& finish();
    size_t fed() const { return next_; }

private:
    RunChecker& c_;
    const Interpreted& program_;
    const Plan& plan_;
    const std::vector<Vec6>* targets_;
    size_t base_ = 0;
    size_t next_ = 0, opsFed_ = 0, piece_ = 0, step_ = 0;
    double scale_ = 1.0;
};

// Checks a whole plan of `program` (no reports).
CheckReport checkPlan(const Interpreted& program, const Plan& plan, const CheckSettings& settings);

}  // namespace telvo::tool
