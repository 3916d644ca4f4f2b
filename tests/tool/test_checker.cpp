// The run checker measures against the program, not the planner: each case
// corrupts a correct plan (or its targets, or the reports) the way a
// plausible planner or controller fault would, and the checker alone must
// catch it, naming the fault.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "plan/checker.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"

using namespace telvo::tool;

namespace {

const Machine& machine() {
    static const Machine m = defaultMachine();
    return m;
}

Interpreted read(const std::string& text) {
    Interpreted p = interpret(text, machine().gcodeSetup(), {});
    EXPECT_TRUE(p.ok()) << formatDiagnostics(p.errors, "program");
    return p;
}

Plan plan(const Interpreted& program) {
    Plan p = planProgram(program, machine().planSettings(), {});
    EXPECT_TRUE(p.errors.empty());
    return p;
}

CheckReport check(const Interpreted& program, const Plan& p) {
    return checkPlan(program, p, checkSettings(machine().planSettings()));
}

// The check failed, and every problem it lists contains `kind`.
testing::AssertionResult failsWith(const CheckReport& r, const std::string& kind) {
    if (r.ok()) return testing::AssertionFailure() << "passed: " << r.summary();
    if (r.problems.empty()) return testing::AssertionFailure() << "no problem listed";
    for (const std::string& p : r.problems) {
        if (p.find(kind) == std::string::npos)
            return testing::AssertionFailure() << "other problem: " << p;
    }
    return testing::AssertionSuccess();
}

// The same program with every motion operation changed by `change`.
Interpreted altered(Interpreted p, const std::function<void(Op&)>& change) {
    for (Op& op : p.ops) {
        if (op.kind == OpKind::Rapid || op.kind == OpKind::Linear || op.kind == OpKind::Arc)
            change(op);
    }
    return p;
}

// The chords of an arc in G17 with the helix axes taken from the last
// chord's end instead of the arc's start: the planner fault that drove a
// helix to its depth far too early.
std::vector<Vec6> chordsFromTheLastEnd(const Vec6& start, const Op& arc, double tol) {
    double cx = arc.center0, cy = arc.center1;
    double r = std::hypot(start[0] - cx, start[1] - cy);
    double t0 = std::atan2(start[1] - cy, start[0] - cx);
    double t1 = std::atan2(arc.end[1] - cy, arc.end[0] - cx);
    double sweep = arc.ccw ? t1 - t0 : t0 - t1;
    while (sweep <= 1e-9) sweep += 2.0 * std::numbers::pi;
    auto n = static_cast<size_t>(std::ceil(sweep / (2.0 * std::acos(1.0 - tol / r))));
    std::vector<Vec6> out;
    Vec6 from = start;
    for (size_t k = 1; k < n; ++k) {
        double f = static_cast<double>(k) / static_cast<double>(n);
        double angle = t0 + (arc.ccw ? 1.0 : -1.0) * sweep * f;
        Vec6 p{};
        for (int i = 0; i < kAxisCount; ++i) p[i] = from[i] + (arc.end[i] - from[i]) * f;
        p[0] = cx + r * std::cos(angle);
        p[1] = cy + r * std::sin(angle);
        out.push_back(p);
        from = p;
    }
    out.push_back(arc.end);
    return out;
}

// Reports as the controller makes them: whole steps, in machine units.
Vec6 reported(const Vec6& steps) {
    Vec6 u{};
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisSettings& a = machine().axes[i];
        u[i] = a.configured ? std::round(steps[i]) / a.stepsPerUnit : 0.0;
    }
    return u;
}

}  // namespace

TEST(RunChecker, MeasuresAHelixAgainstTheProgramNotThePlannersChords) {
    // From (10, 0, 0) a quarter turn down to Z -2, then two full turns
    // (P2) down to Z -6; exact path, so only the chords leave the helix.
    Interpreted program =
        read("G61 G1 X10 F600\nG2 X0 Y-10 Z-2 I-10 J0\nG2 X0 Y-10 Z-6 I0 J10 P2\nM30");
    ASSERT_EQ(program.ops[1].kind, OpKind::Arc);
    CheckReport good = check(program, plan(program));
    ASSERT_TRUE(good.ok()) << good.summary();
    // Chords within the tolerance, their corners rounded within it.
    EXPECT_LE(good.deviation, 2 * 0.001 + 1e-6);

    // The first helix planned along the faulty chords (lines blended like
    // chords): its own pieces pass, the program's helix does not.
    const double tol = machine().planSettings().chordTolerance;
    Interpreted bent = program;
    std::vector<Op> chords;
    for (const Vec6& p : chordsFromTheLastEnd(program.ops[0].end, program.ops[1], tol)) {
        Op line = program.ops[1];
        line.kind = OpKind::Linear;
        line.end = p;
        line.tolerance = tol;
        chords.push_back(line);
    }
    chords.back().tolerance = program.ops[1].tolerance;
    bent.ops.erase(bent.ops.begin() + 1);
    bent.ops.insert(bent.ops.begin() + 1, chords.begin(), chords.end());
    Plan bentPlan = plan(bent);
    ASSERT_TRUE(check(bent, bentPlan).ok()) << check(bent, bentPlan).summary();
    for (PathPiece& piece : bentPlan.pieces) {
        auto op = static_cast<size_t>(piece.op);
        piece.op = static_cast<int>(op <= chords.size() ? std::min<size_t>(op, 1)
                                                        : op - chords.size() + 1);
    }
    CheckReport r = check(program, bentPlan);
    EXPECT_TRUE(failsWith(r, "from the path of line 2"));
    // Its 56 chords reach full depth at about 41 % of the sweep, up to
    // 1.3 mm above the helix.
    EXPECT_GT(r.deviation, 1.25);
    EXPECT_LT(r.deviation, 1.35);
}

TEST(RunChecker, CatchesAnArcOffItsCentreOrItsRadius) {
    // The end misses the start's radius by 0.004 (accepted): the path
    // spirals from radius 10 to 9.996.
    Interpreted program = read("G0 X20 Y10\nG3 X0.004 Y10 I-10 J0 F900\nG1 Y20\nM30");
    Plan good = plan(program);
    ASSERT_TRUE(check(program, good).ok()) << check(program, good).summary();

    // A centre 0.05 off: a smooth arc through the right ends, within the
    // axes' limits, off the program's by up to 0.05.
    Interpreted moved = altered(program, [](Op& op) { op.center1 += 0.05; });
    Plan off = plan(moved);
    ASSERT_TRUE(check(moved, off).ok());
    CheckReport r = check(program, off);
    EXPECT_TRUE(failsWith(r, "from the path of line 2"));
    EXPECT_NEAR(r.deviation, 0.05, 0.005);

    // A radius 0.2 % too small in the middle of the arc, shrinking and
    // growing back smoothly, so no limit and not the feed notices.
    Plan wide = good;
    size_t first = 0, end = 0;
    for (size_t j = 0; j < wide.pieces.size(); ++j) {
        if (wide.pieces[j].op != 1) continue;
        if (first == 0) first = wide.pieceStart[j];
        end = j + 1 < wide.pieces.size() ? wide.pieceStart[j + 1] : wide.targets.size();
    }
    ASSERT_GT(end, first + 100);
    for (size_t k = first; k < end; ++k) {
        double f = static_cast<double>(k - first) / static_cast<double>(end - first);
        double grow = 1.0 - 0.002 * std::sin(std::numbers::pi * f);
        wide.targets[k][0] = 8000.0 + (wide.targets[k][0] - 8000.0) * grow;
        wide.targets[k][1] = 8000.0 + (wide.targets[k][1] - 8000.0) * grow;
        wide.targets[k][3] = wide.targets[k][1];  // A, slaved, follows Y
    }
    r = check(program, wide);
    EXPECT_TRUE(failsWith(r, "from the path of line 2"));
    EXPECT_NEAR(r.deviation, 0.02, 0.002);
}

TEST(RunChecker, HoldsACannedCycleToItsExactPathCorners) {
    // Under G61 the cycle's bends are exact (tolerance 0): a planner that
    // rounds them as under G64 P0.05 leaves the program's path.
    Interpreted program = read("G61 G0 Z5\nG81 X10 Y10 Z-2 R1 F300\nX20\nG80\nM30");
    ASSERT_TRUE(check(program, plan(program)).ok());
    Interpreted blending = altered(program, [](Op& op) {
        if (op.tolerance == 0.0) op.tolerance = 0.05;
    });
    Plan rounded = plan(blending);
    ASSERT_TRUE(check(blending, rounded).ok());
    CheckReport r = check(program, rounded);
    // Exact path allows half a step of the coarsest axis (X: 800 steps/mm).
    EXPECT_TRUE(failsWith(r, "(allowed 0.0006)"));
    EXPECT_GT(r.deviation, 0.03);
}

TEST(RunChecker, CatchesAUnitOrOffsetSlip) {
    Interpreted program = read("G20 G0 X1 Y0.5\nG1 X2 F20\nY1\nM30");
    ASSERT_TRUE(check(program, plan(program)).ok());
    // Inches taken for millimetres.
    Interpreted mm = altered(program, [](Op& op) {
        for (double& v : op.end) v /= 25.4;
    });
    CheckReport r = check(program, plan(mm));
    EXPECT_FALSE(r.endReached);
    EXPECT_TRUE(failsWith(r, "from the path of line"));
    // A work offset 0.01 mm off on Y.
    Interpreted shifted = altered(program, [](Op& op) { op.end[1] += 0.01; });
    r = check(program, plan(shifted));
    EXPECT_FALSE(r.endReached);
    EXPECT_TRUE(failsWith(r, "from the path of line"));
    EXPECT_GT(r.deviation, 0.009);
}

TEST(RunChecker, HoldsEveryMoveToItsFeedTimesTheScale) {
    Interpreted program = read("G1 X5 F60\nY5 F120\nG2 X10 Y5 I2.5 J0 F90\nG0 X0 Y0\nM30");
    CheckReport r = check(program, plan(program));
    ASSERT_TRUE(r.ok()) << r.summary();
    EXPECT_GT(r.feedRatio, 0.99);
    EXPECT_LE(r.feedRatio, 1.0 + 1e-6);
    // Planned at 16 times the feed: every axis within its limits, the path
    // on the program, the feed not.
    Interpreted fast = altered(program, [](Op& op) { op.feed *= 16.0; });
    Plan p = plan(fast);
    r = check(program, p);
    EXPECT_TRUE(failsWith(r, "% of the feed of line"));
    EXPECT_NEAR(r.feedRatio, 16.0, 0.01);
    EXPECT_LE(r.velocityRatio, 1.0 + 1e-6);
    // The same targets sampled under a 16-fold override pass.
    CheckSettings s = checkSettings(machine().planSettings());
    RunChecker checker(s, program.start, p.startSteps);
    PlanFeed feed(checker, program, p);
    feed.feedScale(16.0);
    r = feed.finish();
    EXPECT_TRUE(r.ok()) << r.summary();
    EXPECT_NEAR(r.feedRatio, 1.0, 0.01);
}

TEST(RunChecker, ChecksReportedPositionsOnEveryAxis) {
    // A diagonal in X and Z, then Z alone.
    Interpreted program = read("G1 X10 Z-5 F600\nZ-10\nM30");
    Plan p = plan(program);
    const CheckSettings s = checkSettings(machine().planSettings());
    const size_t n = p.targets.size();
    // Reports: the position of target `at(k)` at k ms after `segment(k)`
    // targets, fed the way a run feeds them.
    auto run = [&](const std::function<Vec6(size_t)>& position,
                   const std::function<size_t(size_t)>& segment) {
        RunChecker checker(s, program.start, p.startSteps);
        PlanFeed feed(checker, program, p);
        for (size_t k = 0; segment(k) <= n; ++k) {
            feed.upTo(segment(k) + s.reportWindow + 1);
            checker.addReport(position(k), segment(k), static_cast<double>(k) * 1e-3);
        }
        return feed.finish();
    };
    auto target = [&](size_t j) { return reported(p.targets[std::min(j, n - 1)]); };
    const CheckReport good =
        run([&](size_t k) { return target(k); }, [](size_t k) { return k + 1; });
    ASSERT_TRUE(good.ok()) << good.summary();
    EXPECT_EQ(good.positionsChecked, n);
    EXPECT_GT(good.executedVelocityRatio, 0.4);
    // Z running 40 ms ahead of X on the diagonal: off the path, though
    // every axis keeps its speed.
    CheckReport r = run(
        [&](size_t k) {
            Vec6 u = target(k);
            u[2] = target(k + 40)[2];
            return u;
        },
        [](size_t k) { return k + 1; });
    EXPECT_TRUE(failsWith(r, "from the path of line 1"));
    EXPECT_LT(r.executedVelocityRatio, 1.0);
    // The gantry's second motor (A, slaved to Y) two steps ahead of Y.
    r = run(
        [&](size_t k) {
            Vec6 u = target(k);
            if (k > n / 2) u[3] += 2.0 / 800.0;
            return u;
        },
        [](size_t k) { return k + 1; });
    EXPECT_TRUE(failsWith(r, "axis A is 2.000 steps off its master Y"));
    // Three segments executed per millisecond: on the path, but Z alone
    // runs at 30 mm/s, over its 20.
    r = run([&](size_t k) { return target(3 * k); }, [](size_t k) { return 3 * k + 1; });
    EXPECT_TRUE(failsWith(r, "axis Z faster than its limit"));
    EXPECT_LE(r.executedDeviation, good.executedDeviation + 0.002);
}

TEST(RunChecker, CatchesLimitCornerAndEndFaults) {
    Interpreted program = read("G1 X10 Y5 F1200\nX20\nM30");
    Plan good = plan(program);
    ASSERT_TRUE(check(program, good).ok());
    // A jump of 50 steps in one millisecond, held to the end.
    Plan jumped = good;
    for (size_t k = jumped.targets.size() / 2; k < jumped.targets.size(); ++k)
        jumped.targets[k][0] += 50.0;
    CheckReport r = check(program, jumped);
    EXPECT_GT(r.velocityRatio, 1.0);
    EXPECT_FALSE(r.endReached);
    // The slaved axis (A) a hundredth of a step off its master (Y).
    Plan loose = good;
    loose.targets[loose.targets.size() / 2][3] += 0.01;
    EXPECT_TRUE(failsWith(check(program, loose), "axis A is 0.010 steps off its master Y"));
    // A stream that stops dead from speed.
    Plan cut = good;
    cut.targets.resize(cut.targets.size() / 2);
    cut.steps.back().endTarget = cut.targets.size();
    r = check(program, cut);
    EXPECT_GT(r.accelerationRatio, 1.0);
    EXPECT_FALSE(r.ok());
    // An excursion the motion left out (X10 -> Y5 -> back to Y0): every
    // target lies on a move it is said to follow.
    Interpreted line = read("G1 X10 F1200\nX20\nM30");
    Interpreted excursion = read("G1 X10 F1200\nY5\nY0\nX20\nM30");
    Plan skipped = plan(line);
    ASSERT_TRUE(check(line, skipped).ok());
    for (PathPiece& piece : skipped.pieces) piece.op = piece.op == 0 ? 0 : 3;
    r = check(excursion, skipped);
    EXPECT_TRUE(failsWith(r, "the corner at the end of line 2 was passed 5.0"));
}

TEST(RunChecker, HoldsABoundedWindowOfOperations) {
    // 8000 moves of 0.04 mm on a gentle wave, one per millisecond at
    // 40 mm/s; the reports lag the targets by 3000.
    std::string text = "G64 P0.01 G1 F2400\n";
    double x = 0.0, y = 0.0;
    for (int k = 1; k <= 8000; ++k) {
        double a = 0.5 * std::sin(k * 0.001);
        x += 0.04 * std::cos(a);
        y += 0.04 * std::sin(a);
        char line[64];
        std::snprintf(line, sizeof line, "X%.5f Y%.5f\n", x, y);
        text += line;
    }
    Interpreted program = read(text + "M30\n");
    Plan p = plan(program);
    const size_t lag = 3000, n = p.targets.size();
    ASSERT_GT(n, 2 * lag);
    auto run = [&](size_t reportLag, size_t& most) {
        CheckSettings s = checkSettings(machine().planSettings());
        s.reportLag = reportLag;
        RunChecker checker(s, program.start, p.startSteps);
        PlanFeed feed(checker, program, p);
        most = 0;
        for (size_t k = 0; k < n; ++k) {
            feed.upTo(k + 1);
            if (k >= lag)
                checker.addReport(reported(p.targets[k - lag]), k - lag + 1,
                                  static_cast<double>(k) * 1e-3);
            most = std::max(most, checker.operationsHeld());
        }
        return feed.finish();
    };
    size_t most = 0;
    CheckReport r = run(16384, most);
    EXPECT_TRUE(r.ok()) << r.summary();
    EXPECT_EQ(r.positionsChecked, n - lag);
    EXPECT_EQ(r.positionsLate, 0u);
    // The operations of the last 3000 targets, not the program's 8000.
    EXPECT_LE(most, lag + 64);
    EXPECT_GE(most, lag * 8 / 10);
    // Allowed to lag by 1000 targets only: the window shrinks, and reports
    // too late for it are counted, not checked.
    r = run(1000, most);
    EXPECT_LE(most, 1000u + 64);
    EXPECT_EQ(r.positionsLate + r.positionsChecked, n - lag);
    EXPECT_GT(r.positionsLate, 0u);
    EXPECT_EQ(r.faults, 0u);
}
