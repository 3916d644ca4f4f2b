// The streaming look-ahead planner: canonical operations in, 1 ms targets
// out, over a bounded window.
//
// Operations are pushed in program order; arcs become chords as the window
// needs them, so one line with many turns never fills the memory. Corners
// between pieces that may blend are rounded within their tolerance (exact
// path: within half a step); actions and dwells are stops. Corner speeds
// come from a backward pass from the window's end, where the motion must be
// able to stop, and a forward pass from where sampling stands. An element
// is sampled only once its end speed is final: once no further input could
// raise it, because the window ahead already covers the stop from it. So
// the window is sized by the stopping distance, not by a count, and the
// targets equal those of planning the whole program at once; a count cap
// only bounds pathological programs (then the window's end is a stop).
//
// The motion not yet sampled can be changed at any 1 ms sample: feed and
// rapid override, hold (decelerate along the path to rest as soon as the
// axes allow), resume, and discarding the rest after a hold. Every change
// splices a new speed profile onto the current speed, so every axis stays
// within its velocity and acceleration limits across it.
//
// Standard library only.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <utility>
#include <string>
#include <vector>

#include "core/common.h"
#include "core/ring.h"
#include "core/canon.h"
#include "plan/planner.h"
#include "plan/trajectory.h"

namespace telvo::tool {

// One 1 ms target and where it comes from.
struct Sample {
    Vec6 steps{};            // the target, steps
    uint64_t op = 0;         // the operation it runs along (or blends out of)
    int line = 0;            // that operation's source line
    double feedScale = 1.0;  // the feed override the motion was planned with
    double speed = 0.0;      // planned path speed at this target, units/s
    bool rapid = false;
    bool fromRest = false;  // the first target after the motion stood still
};

class LookAhead {
public:
    enum class Next {
        Sample,     // sample() holds the next target
        Action,     // the motion before action() is all sampled and ends at rest
        NeedInput,  // push more operations (or finish()) before the next target
        Held,       // at rest at a hold point; resume() or discard()
        Done,       // finish() was called and everything is sampled
        Error,      // error() says why (a move outside the travel)
    };

    // `window` caps the pieces held (the count cap); 0: the default.
    LookAhead(const PlanSettings& settings, const Vec6& startUnits, const Vec6& startSteps,
              size_t window = 0);

    // Input. wantsInput(): the window has room and wants more to decide
    // the speeds ahead. Motion and actions are pushed the same way.
    bool wantsInput() const;
    void push(const Op& op, uint64_t index);
    void finish();
    bool finished() const { return finished_; }

    // Output, one target at a time (sampling), or whole elements at once for
    // the pre-pass (estimate()). Not both on one planner.
    Next next();
    const Sample& sample() const { return sample_; }
    const Op& action() const { return action_; }
    uint64_t actionIndex() const { return actionIndex_; }
    const Diagnostic& error() const { return error_; }

    // The pre-pass: plans without sampling until it needs input, an action
    // passes (counted, not returned) or the end; machine time accumulates in
    // seconds().
    Next estimate();
    double seconds() const { return seconds_; }
    double feedBoundSeconds() const { return feedBound_; }

    // Controls, applied to the motion not yet sampled.
    void setFeedScale(double scale);   // 0.01 .. 2
    void setRapidScale(double scale);  // 0 < scale <= 1
    double feedScale() const { return feedScale_; }
    double rapidScale() const { return rapidScale_; }
    // Decelerate to rest as soon as possible along the path; next() returns
    // Held there. False when already at rest (nothing to hold).
    bool hold();
    bool holding() const { return holdPending_ || held_; }
    bool held() const { return held_; }
    void resume();
    // After a hold or at rest: drop every operation not yet sampled.
    void discard();

    // Where sampling stands (units) and its planned speed.
    const Vec6& position() const { return here_; }
    double speed() const { return speedNow_; }
    size_t windowPieces() const { return pieces_; }
    size_t highestWindow() const { return highestWindow_; }

private:
    // A speed profile along a straight element: v0 -> vp (accelerating, or
    // decelerating when v0 is above the element's top speed), cruise at vp,
    // vp -> v1.
    struct Profile {
        double v0 = 0.0, v1 = 0.0, vp = 0.0, length = 0.0;
        double a1 = 0.0, a3 = 0.0;  // signed accelerations of the first and last phase
        double t1 = 0.0, t2 = 0.0, t3 = 0.0, d1 = 0.0;
        double total() const { return t1 + t2 + t3; }
        double distance(double t) const {
            if (t <= t1) return v0 * t + 0.5 * a1 * t * t;
            t -= t1;
            if (t <= t2) return d1 + vp * t;
            t -= t2;
            t = std::min(t, t3);
            return std::min(length, d1 + vp * t2 + vp * t + 0.5 * a3 * t * t);
        }
        double speed(double t) const {
            if (t <= t1) return v0 + a1 * t;
            t -= t1;
            if (t <= t2) return vp;
            t -= t2;
            return std::max(0.0, vp + a3 * std::min(t, t3));
        }
    };

    struct Input {
        Op op;
        uint64_t index = 0;
        // Arcs, cut into chords one at a time.
        bool started = false;
        Vec6 from{};
        double t0 = 0.0, sweep = 0.0, r0 = 0.0, r1 = 0.0, dir = 1.0;
        size_t chords = 0, done = 0;
    };

    struct Element {
        bool blend = false;
        double length = 0.0;
        double accel = 0.0;  // along the path, no turning
        double hard = 0.0;   // top speed the axes allow
        double soft = 0.0;   // top speed the feeds allow under the overrides (softLimit)
        // The feed limits of the one or two pieces it belongs to.
        double feed[2] = {0.0, 0.0}, axisV[2] = {0.0, 0.0};
        bool rapid[2] = {false, false};
        double radius = 0.0, turn = 0.0;
        Vec6 a{}, u{};    // line: a + u * (d0 + d); blend: u incoming
        double d0 = 0.0;  // line: distance into its piece where it starts
        Vec6 centre{}, normal{};
        double psi0 = 0.0;  // blend: angle already passed
        uint64_t op = 0;
        int line = 0;
        bool pieceStart = false;  // the line element of a piece (counted in the window)
        Vec6 endPoint{};          // line: where it ends when it ends at rest (exact)
        // Set when it becomes the front.
        Profile profile;
        bool useProfile = false;  // blends: from rest to rest, a profile too
        double va = 0.0, vb = 0.0, duration = 0.0, acc = 0.0;
        double distance(double t) const {
            if (!blend || useProfile) return profile.distance(t);
            return std::min(va * t + 0.5 * acc * t * t, length);
        }
        double speed(double t) const {
            if (!blend || useProfile) return profile.speed(t);
            return std::max(0.0, va + acc * std::min(t, duration));
        }
    };

    struct Node {
        double hard =
            std::numeric_limits<double>::infinity();  // what the corner or the axes allow here
        double floor = 0.0;  // a lowered override cannot slow the motion below this yet
        double bwd = 0.0;    // the backward pass: highest speed that can still stop ahead
        bool stop = false;   // an action, a dwell, a reversal or the end: at rest
        bool hold = false;   // the hold point
        bool open = true;    // bwd depends on the window's end: more input may raise it
        std::vector<std::pair<Op, uint64_t>> actions;  // reached here, in order
    };

    static Profile makeProfile(double length, double v0, double v1, double vmax, double a);
    void expandInput();
    bool addPiece(const Vec6& to, const Op& op, uint64_t index, double tolAtEnd);
    void closeCorner(const Vec6& nextU, double nextLength, bool nextRapid, double nextFeed,
                     double nextAxisV, double nextAmax, double tol);
    void backward(bool full);
    void recomputeAll();
    double softLimit(const Element& e) const;
    double hardCap(size_t node) const;
    double cap(size_t node) const;
    bool frontReady(double& v1);
    void startFront(double v1);
    Vec6 pointAt(const Element& e, double d) const;
    Vec6 toSteps(const Vec6& units) const;
    void emit(const Element& e, double d, double speed);
    bool settle();
    void splitFront();
    void splitAt(size_t i, double d, bool hold);
    void popFront();
    void lowerFloors();
    // A lowered override's floors still let a node ahead be passed above
    // its new limit.
    bool floorsAbove() const;
    Next step(bool sampling);

    PlanSettings settings_;
    std::array<bool, kAxisCount> moves_{};
    std::array<double, kAxisCount> axisV_{}, axisA_{};
    bool slaved_ = false;
    Vec6 startUnits_{}, startSteps_{};
    size_t cap_ = 0;

    Ring<Input> input_;
    Ring<Element> el_;
    Ring<Node> node_;  // node_[i] before el_[i]; one more than el_
    size_t pieces_ = 0, highestWindow_ = 0;
    bool finished_ = false;
    Vec6 tail_{};                // where the last piece ends (units)
    bool tailOpen_ = false;      // the last piece's end corner is not yet known
    double trimIn_ = 0.0;        // what closeCorner() took from the next piece's start
    double trimBound_ = 0.0;     // the most the open corner can still take from the last line
    bool dirty_ = false;         // pieces came since the last backward pass
    size_t passLength_ = 0;      // elements the last backward pass went through
    size_t addedSincePass_ = 0;  // pieces appended since
    struct Tail {
        Vec6 u{};
        double length = 0.0, axisV = 0.0, amax = 0.0, feed = 0.0, tol = 0.0;
        bool rapid = false;
    } last_;

    // Sampling.
    bool profiled_ = false;
    double elapsed_ = 0.0, clock_ = 0.0;  // element start and last sample, s
    Sample sample_;
    Vec6 here_{};
    double speedNow_ = 0.0;
    Op action_;
    uint64_t actionIndex_ = 0;
    Diagnostic error_;
    bool failed_ = false;
    bool holdPending_ = false;  // a hold point lies ahead
    bool held_ = false;         // at rest on it
    double v0_ = 0.0;           // speed at the front element's start
    bool nodeDone_ = false;     // the front node's stop and actions are dealt with
    size_t actionPos_ = 0;      // next action of the front node
    size_t dwellLeft_ = 0;      // 1 ms holds of a dwell still to give
    double tagScale_ = 1.0;     // feed scale the samples are checked against
    int lastLine_ = 0;
    uint64_t lastOp_ = 0;
    bool lastRapid_ = false;
    bool rested_ = true;  // the motion stood still since the last target

    double feedScale_ = 1.0, rapidScale_ = 1.0;
    double seconds_ = 0.0, feedBound_ = 0.0;
};

}  // namespace telvo::tool
