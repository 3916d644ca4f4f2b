// The planner: limits, tolerances, stops, look-ahead, and the test programs
// against the classic look-ahead model (each plan passing the run checker).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "classic_model.h"
#include "plan/checker.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/lookahead.h"
#include "plan/planner.h"

using namespace telvo::tool;

namespace {

struct Planned {
    Interpreted program;
    Plan plan;
    CheckReport check;
};

Planned planText(const std::string& text, const Machine& m = defaultMachine()) {
    Planned p;
    p.program = interpret(text, m.gcodeSetup(), {});
    EXPECT_TRUE(p.program.ok()) << formatDiagnostics(p.program.errors, "program");
    p.plan = planProgram(p.program, m.planSettings(), {});
    p.check = checkPlan(p.program, p.plan, checkSettings(m.planSettings()));
    return p;
}

// Path speed in mm/s between two targets (X, Y, Z of the built-in machine).
double speedAt(const Plan& plan, size_t k) {
    const Vec6& a = plan.targets[k - 1];
    const Vec6& b = plan.targets[k];
    return std::sqrt(std::pow((b[0] - a[0]) / 800.0, 2) + std::pow((b[1] - a[1]) / 800.0, 2) +
                     std::pow((b[2] - a[2]) / 1600.0, 2)) /
           1e-3;
}

double nearestTo(const Plan& plan, double x, double y) {
    double best = 1e9;
    for (const Vec6& t : plan.targets)
        best = std::min(best, std::hypot(t[0] / 800.0 - x, t[1] / 800.0 - y));
    return best;
}

std::string readProgram(const std::string& name) {
    std::ifstream in(std::string(TELVO_TOOL_TEST_DATA) + "/programs/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(ProgramPlanner, CornersBlendWithinTheToleranceOrStopExactly) {
    // A square corner at (20, 0): how close the path comes to it.
    const char* square = "G1 X20 F1800\nY20\nM30";
    Planned blended = planText(std::string("G64 P0.05\n") + square);
    Planned tight = planText(std::string("G64 P0.005\n") + square);
    Planned exact = planText(std::string("G61.1\n") + square);
    for (const Planned* p : {&blended, &tight, &exact})
        EXPECT_TRUE(p->check.ok()) << p->check.summary();
    double dBlend = nearestTo(blended.plan, 20, 0), dTight = nearestTo(tight.plan, 20, 0);
    // The blend arc's middle lies at the tolerance from the corner.
    EXPECT_NEAR(dBlend, 0.05, 0.005);
    EXPECT_NEAR(dTight, 0.005, 0.001);
    EXPECT_LE(blended.check.deviation, 0.05 + 1e-6);
    // Exact stop passes through the corner at rest.
    EXPECT_LT(nearestTo(exact.plan, 20, 0), 1e-9);
    // A wider tolerance corners faster.
    EXPECT_LT(blended.plan.targets.size(), tight.plan.targets.size());
    EXPECT_LT(tight.plan.targets.size(), exact.plan.targets.size());
    // G61 (exact path) does not slow on a straight continuation; a bend
    // passes within half a step (X: 800 steps/mm), at a crawl when sharp.
    Planned path = planText("G61 G1 X10 F1800\nX20\nY20\nM30");
    Planned oneLine = planText("G61 G1 X20 F1800\nY20\nM30");
    EXPECT_TRUE(path.check.ok()) << path.check.summary();
    EXPECT_EQ(path.plan.targets.size(), oneLine.plan.targets.size());
    EXPECT_LE(path.check.deviation, 0.5 / 800.0 + 1e-9);
    double slowest = 1e9;
    for (size_t k = 1; k < path.plan.targets.size(); ++k) {
        if (std::hypot(path.plan.targets[k][0] / 800.0 - 20, path.plan.targets[k][1] / 800.0) < 0.05)
            slowest = std::min(slowest, speedAt(path.plan, k));
    }
    EXPECT_LT(slowest, 1.0);  // mm/s at a right angle
    // A kink of 0.5 degrees under G61 keeps most of the feed (30 mm/s).
    Planned kink = planText("G61 G1 X10 F1800\nX20 Y0.0873\nM30");
    EXPECT_TRUE(kink.check.ok()) << kink.check.summary();
    double atKink = 1e9;
    for (size_t k = 1; k < kink.plan.targets.size(); ++k) {
        if (std::fabs(kink.plan.targets[k][0] / 800.0 - 10) < 0.1)
            atKink = std::min(atKink, speedAt(kink.plan, k));
    }
    EXPECT_GT(atKink, 10.0);
    EXPECT_LE(kink.check.deviation, 0.5 / 800.0 + 1e-9);
    EXPECT_GT(kink.check.deviation, 0.0);
}

TEST(ProgramPlanner, ShortSegmentsReachTheFeedThroughTheLookAhead) {
    // 2000 segments of 0.05 mm on a gentle curve at 1800 mm/min (30 mm/s):
    // without look-ahead each would start and stop.
    std::string program = "G64 P0.01\nG1 F1800\n";
    double length = 0.0, x = 0.0, y = 0.0;
    for (int k = 1; k <= 2000; ++k) {
        double a = k * 0.0002;
        double nx = x + 0.05 * std::cos(a), ny = y + 0.05 * std::sin(a);
        length += std::hypot(nx - x, ny - y);
        x = nx, y = ny;
        char line[64];
        std::snprintf(line, sizeof line, "X%.5f Y%.5f\n", x, y);
        program += line;
    }
    Planned p = planText(program + "M30\n");
    ASSERT_TRUE(p.check.ok()) << p.check.summary();
    double cruise = length / 30.0;
    // Ramps at both ends cost about v/a = 30/500 s.
    EXPECT_LT(p.plan.seconds(), cruise + 0.1);
    EXPECT_GT(speedAt(p.plan, p.plan.targets.size() / 2), 29.9);
}

TEST(ProgramPlanner, AxisLimitsHoldOnArcsAndRapids) {
    // A small fast circle: the centripetal acceleration limits the speed.
    Planned p = planText("G0 X2\nG3 X2 Y0 I-2 J0 F3000\nG0 X50 Y40 Z5\nM30");
    ASSERT_TRUE(p.check.ok()) << p.check.summary();
    EXPECT_LE(p.check.accelerationRatio, 1.0 + 1e-6);
    EXPECT_LE(p.check.velocityRatio, 1.0 + 1e-6);
    // Around the circle the centripetal acceleration v^2 / r points at the
    // centre; the axis that takes the larger share of it holds it to 500
    // mm/s^2 (r = 2 mm): v^2 / r * max(|cos|, |sin|) <= 500. Away from the
    // ramps at its ends the speed never falls below sqrt(0.9 * 500 * 2):
    // the blends keep only a tenth of the acceleration for changing speed.
    auto onCircle = [&](size_t k) {
        const telvo::tool::Vec6& t = p.plan.targets[k];
        return std::fabs(std::hypot(t[0] / 800.0, t[1] / 800.0) - 2.0) < 0.01 && t[2] == 0.0;
    };
    size_t first = 0, last = 0;
    for (size_t k = 1; k < p.plan.targets.size(); ++k) {
        if (!onCircle(k)) continue;
        if (first == 0) first = k;
        last = k;
    }
    ASSERT_GT(last, first + 300);  // about 0.42 s around
    size_t checked = 0;
    for (size_t k = first; k <= last; ++k) {
        const telvo::tool::Vec6& t = p.plan.targets[k];
        double share = std::max(std::fabs(t[0]), std::fabs(t[1])) / 800.0 / 2.0;
        double v = speedAt(p.plan, k);
        EXPECT_LE(v * v / 2.0 * share, 500.0 * 1.02) << "target " << k;
        if (k > first + (last - first) / 4 && k < last - (last - first) / 4) {
            EXPECT_GE(v, std::sqrt(0.9 * 500.0 * 2.0) - 0.2) << "target " << k;
            ++checked;
        }
    }
    EXPECT_GT(checked, 150u);
    // Rapids run at the axes' own limits: Z 20 mm/s, X and Y 50.
    EXPECT_NEAR(p.check.velocityRatio, 1.0, 1e-3);
}

TEST(ProgramPlanner, DwellsAndActionsStopAndSplitTheStream) {
    Planned p = planText("G1 X10 F600\nG4 P0.25\nX20\nS1000 M3\nX30\nM5\nM30");
    ASSERT_TRUE(p.check.ok()) << p.check.summary();
    // Steps end at the spindle on, the spindle off and the end.
    ASSERT_EQ(p.plan.steps.size(), 3u);
    EXPECT_EQ(p.program.ops[static_cast<size_t>(p.plan.steps[0].op)].kind, OpKind::Spindle);
    EXPECT_EQ(p.program.ops[static_cast<size_t>(p.plan.steps[2].op)].kind, OpKind::End);
    // The first step holds X10 for 250 targets, exactly there.
    size_t held = 0;
    for (size_t k = p.plan.steps[0].firstTarget; k < p.plan.steps[0].endTarget; ++k)
        held += p.plan.targets[k][0] == 8000.0;
    EXPECT_GE(held, 250u);
    EXPECT_LE(held, 252u);
    // Each step ends exactly at its point.
    EXPECT_EQ(p.plan.targets[p.plan.steps[0].endTarget - 1][0], 16000.0);
    EXPECT_EQ(p.plan.targets[p.plan.steps[1].endTarget - 1][0], 24000.0);
    EXPECT_NEAR(p.plan.dwellSeconds, 0.25, 1e-12);
}

TEST(ProgramPlanner, TravelOutsideTheSoftLimitsIsRefusedWithItsLine) {
    Planned p = planText("G0 X10\nG1 X500 F600\nG0 Z-90\nG2 X0 Y0 I-250 J0\nM30");
    ASSERT_EQ(p.plan.errors.size(), 3u);
    EXPECT_EQ(p.plan.errors[0].line, 2);
    EXPECT_EQ(p.plan.errors[0].message,
              "X 500.0000 is outside the machine's travel (X -100.0000 .. 400.0000)");
    EXPECT_EQ(p.plan.errors[1].line, 3);
    EXPECT_EQ(p.plan.errors[2].line, 4);  // the circle swings past Y 300 and Y -100
    EXPECT_TRUE(p.plan.targets.empty());
}

TEST(ProgramPlanner, APlanMustFitInMemory) {
    Machine m = defaultMachine();
    Interpreted p = interpret("G1 X10 F600\nG4 P100\nG2 X10 Y0 I-5 J0\nM30", m.gcodeSetup(), {});
    ASSERT_TRUE(p.ok());
    PlanSettings s = m.planSettings();
    s.maxSeconds = 60.0;
    Plan plan = planProgram(p, s, {});
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_NE(plan.errors[0].message.find("more than the 60 s one run can hold"), std::string::npos)
        << plan.errors[0].message;
    EXPECT_TRUE(plan.targets.empty());
    s = m.planSettings();
    s.maxPieces = 50;  // the circle alone has hundreds of chords
    plan = planProgram(p, s, {});
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_EQ(plan.errors[0].line, 3);
    EXPECT_TRUE(plan.targets.empty());
}

TEST(ProgramPlanner, TestProgramsKeepTheLimitsAndTheClassicModelsTime) {
    Machine m = defaultMachine();
    double total = 0.0, classicTotal = 0.0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(TELVO_TOOL_TEST_DATA) + "/programs")) {
        std::string name = entry.path().filename().string();
        Planned p = planText(readProgram(name), m);
        ASSERT_TRUE(p.plan.errors.empty()) << name;
        EXPECT_TRUE(p.check.ok()) << name << ": " << p.check.summary();
        telvo::bench::ClassicResult classic = telvo::bench::classicModel(p.plan, m.limits());
        // Never faster than every move at its feed; within 5 % of the model.
        EXPECT_GE(p.plan.seconds(), p.plan.feedBoundSeconds) << name;
        EXPECT_LE(p.plan.seconds(), classic.seconds * 1.05) << name;
        EXPECT_NEAR(classic.feedBound, p.plan.feedBoundSeconds, 1e-6 * classic.feedBound) << name;
        total += p.plan.seconds();
        classicTotal += classic.seconds;
    }
    EXPECT_LE(total, classicTotal * 1.03);
}

// The streaming planner a run uses and the whole-program planner agree on
// every test program: the same 1 ms targets, so a run's machine time is the
// whole-program planner's, and the window costs nothing.
TEST(ProgramPlanner, TheStreamingWindowPlansLikeTheWholeProgram) {
    const Machine& m = defaultMachine();
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(TELVO_TOOL_TEST_DATA) + "/programs")) {
        const std::string name = entry.path().filename().string();
        Planned whole = planText(readProgram(name), m);
        ASSERT_TRUE(whole.plan.errors.empty()) << name;
        LookAhead la(m.planSettings(), whole.program.start, {});
        size_t next = 0, k = 0;
        double worst = 0.0;
        bool done = false;
        while (!done) {
            switch (la.next()) {
                case LookAhead::Next::Sample:
                    ASSERT_LT(k, whole.plan.targets.size()) << name << ": more targets";
                    for (int a = 0; a < kAxisCount; ++a)
                        worst = std::max(worst, std::fabs(la.sample().steps[a] - whole.plan.targets[k][a]));
                    ++k;
                    break;
                case LookAhead::Next::NeedInput:
                    if (next < whole.program.ops.size()) {
                        la.push(whole.program.ops[next], next);
                        ++next;
                    } else {
                        la.finish();
                    }
                    break;
                case LookAhead::Next::Action:
                    break;
                case LookAhead::Next::Done:
                    done = true;
                    break;
                default:
                    FAIL() << name << ": the window held or failed";
            }
        }
        EXPECT_EQ(k, whole.plan.targets.size()) << name;
        EXPECT_LT(worst, 1e-6) << name << ": steps apart";
    }
}
