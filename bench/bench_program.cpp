// Part programs: the interpreter, the planner and the checker on their own,
// and a whole run (interpret, plan, stream on the stepped simulated
// controller) against streaming the same targets precomputed. The goal is a
// ratio, read in one run: interpreting and planning add at most 25 % to the
// stream.
//
// After the benchmarks, the test programs are planned and compared with the
// classic look-ahead model and the feed-limited bound.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "classic_model.h"
#include "plan/checker.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"
#include "engine/session.h"

using namespace telvo::tool;

namespace {

// 3D surfacing: raster rows of 0.1 mm steps over a wavy surface, starting and
// ending at the same point.
std::string surfacing(int rows) {
    std::string p = "G90 G21 G17 G94 G64 P0.01\nG0 Z5\nG1 Z0 F600\nF2400\n";
    char line[80];
    double y = 0.0;
    for (int r = 0; r < rows; ++r) {
        for (int i = 0; i <= 1000; ++i) {
            double x = (r % 2 ? 1000 - i : i) * 0.1;
            std::snprintf(line, sizeof line, "G1 X%.3f Y%.3f Z%.4f\n", x, y,
                          -1.0 + 0.6 * std::sin(x / 7.0) * std::cos(y / 9.0));
            p += line;
        }
        y += 0.5;
        std::snprintf(line, sizeof line, "G1 Y%.3f\n", y);
        p += line;
    }
    return p + "G0 Z0\nG0 X0 Y0\nM30\n";
}

const Machine& machine() {
    static const Machine m = defaultMachine();
    return m;
}

const std::string& program() {
    static const std::string p = surfacing(40);
    return p;
}

void BM_Interpret(benchmark::State& state) {
    GcodeSetup setup = machine().gcodeSetup();
    size_t lines = 0;
    for (auto _ : state) {
        Interpreted p = interpret(program(), setup, {});
        lines = p.ops.size();
        benchmark::DoNotOptimize(p.ops.data());
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Interpret)->Unit(benchmark::kMillisecond);

void BM_Plan(benchmark::State& state) {
    Interpreted p = interpret(program(), machine().gcodeSetup(), {});
    size_t targets = 0;
    for (auto _ : state) {
        Plan plan = planProgram(p, machine().planSettings(), {});
        targets = plan.targets.size();
        benchmark::DoNotOptimize(plan.targets.data());
    }
    state.counters["segments/s"] = benchmark::Counter(
        static_cast<double>(targets), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Plan)->Unit(benchmark::kMillisecond);

void BM_Check(benchmark::State& state) {
    Interpreted read = interpret(program(), machine().gcodeSetup(), {});
    Plan plan = planProgram(read, machine().planSettings(), {});
    for (auto _ : state) {
        CheckReport r = checkPlan(read, plan, checkSettings(machine().planSettings()));
        if (!r.ok()) state.SkipWithError("the check failed");
    }
    state.counters["segments/s"] = benchmark::Counter(
        static_cast<double>(plan.targets.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond);

// One open session on the stepped simulated controller for the stream
// benchmarks; every run starts and ends at machine zero.
Session& session() {
    static SessionOptions options = [] {
        SessionOptions o;
        o.speed = 0.0;
        return o;
    }();
    static Session s(machine(), options);
    static bool open = [] {
        s.open();
        s.configure();
        return true;
    }();
    (void)open;
    return s;
}

void BM_StreamPrecomputed(benchmark::State& state) {
    Plan plan =
        planProgram(interpret(program(), machine().gcodeSetup(), {}), machine().planSettings(), {});
    Trajectory t;
    t.targets = plan.targets;
    for (auto _ : state) {
        t.start = session().positionSteps();
        StreamStats s = session().stream(t, "bench");
        if (!s.endReached) state.SkipWithError("end point not reached");
        session().clearHistory();
    }
    state.counters["segments/s"] = benchmark::Counter(
        static_cast<double>(t.targets.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StreamPrecomputed)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_InterpretPlanAndStream(benchmark::State& state) {
    size_t targets = 0;
    for (auto _ : state) {
        Plan plan = planProgram(interpret(program(), machine().gcodeSetup(), {}),
                                machine().planSettings(), session().positionSteps());
        Trajectory t;
        t.start = session().positionSteps();
        t.targets = std::move(plan.targets);
        targets = t.targets.size();
        StreamStats s = session().stream(t, "bench");
        if (!s.endReached) state.SkipWithError("end point not reached");
        session().clearHistory();
    }
    state.counters["segments/s"] = benchmark::Counter(
        static_cast<double>(targets), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_InterpretPlanAndStream)->Unit(benchmark::kMillisecond)->Iterations(3);

// The goal as one figure, read in one run: interpreting and planning the
// surfacing program against streaming its targets, each the best of three.
void overheadRatio() {
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    double work = 1e300, stream = 1e300;
    for (int i = 0; i < 3; ++i) {
        auto t0 = Clock::now();
        Plan plan = planProgram(interpret(program(), machine().gcodeSetup(), {}),
                                machine().planSettings(), session().positionSteps());
        auto t1 = Clock::now();
        Trajectory t;
        t.start = session().positionSteps();
        t.targets = std::move(plan.targets);
        auto t2 = Clock::now();
        StreamStats s = session().stream(t, "bench");
        auto t3 = Clock::now();
        session().clearHistory();
        if (!s.endReached) {
            std::printf("\nthe stream did not reach its end point\n");
            return;
        }
        work = std::min(work, ms(t1 - t0));
        stream = std::min(stream, ms(t3 - t2));
    }
    std::printf(
        "\ninterpret+plan %.1f ms, stream %.1f ms: (interpret+plan)/stream = %.2f "
        "(goal: at most 0.25)\n",
        work, stream, work / stream);
}

// The same goal as `telvo run` meets it: a whole run (open, configure,
// stream, disconnect, close) of the targets precomputed against one that
// interprets and plans the program first, each the best of three.
void wholeRunRatio() {
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    session().disconnect();
    session().close();
    SessionOptions options;
    options.speed = 0.0;
    Plan precomputed =
        planProgram(interpret(program(), machine().gcodeSetup(), {}), machine().planSettings(), {});
    auto run = [&](bool planIt) {
        auto t0 = Clock::now();
        Session s(machine(), options);
        s.open();
        s.configure();
        Trajectory t;
        t.start = s.positionSteps();
        if (planIt) {
            t.targets = planProgram(interpret(program(), machine().gcodeSetup(), {}),
                                    machine().planSettings(), t.start)
                            .targets;
        } else {
            t.targets = precomputed.targets;
        }
        StreamStats st = s.stream(t, "bench");
        s.disconnect();
        s.close();
        return st.endReached ? seconds(Clock::now() - t0) : -1.0;
    };
    double plain = 1e300, planned = 1e300;
    for (int i = 0; i < 3; ++i) {
        double a = run(false), b = run(true);
        if (a < 0.0 || b < 0.0) {
            std::printf("\nthe stream did not reach its end point\n");
            return;
        }
        plain = std::min(plain, a);
        planned = std::min(planned, b);
    }
    std::printf(
        "whole runs of %zu segments: precomputed %.3f s, interpreted and planned %.3f s: "
        "added %.1f %% (goal: at most 25 %%)\n",
        precomputed.targets.size(), plain, planned, (planned / plain - 1.0) * 100.0);
}

// The test programs: the planner's time, the classic model's, the bound.
void comparePrograms() {
    std::string dir = TELVO_PROGRAMS_DIR;
    std::printf(
        "\nclassic: junction acceleration limited along the turn's bisector (grbl);\n"
        "held: every axis held to its limit through the turn\n"
        "%-22s %10s %10s %10s %10s %9s %9s %9s\n",
        "program", "planned s", "classic s", "held s", "bound s", "/classic", "/held", "/bound");
    double total = 0.0, classicTotal = 0.0, heldTotal = 0.0, boundTotal = 0.0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        Interpreted p = interpret(text.str(), machine().gcodeSetup(), {});
        Plan plan = planProgram(p, machine().planSettings(), {});
        telvo::bench::ClassicResult c = telvo::bench::classicModel(plan, machine().limits());
        std::printf("%-22s %10.3f %10.3f %10.3f %10.3f %9.3f %9.3f %9.3f\n",
                    entry.path().filename().c_str(), plan.seconds(), c.seconds, c.secondsHeld,
                    plan.feedBoundSeconds, plan.seconds() / c.seconds,
                    plan.seconds() / c.secondsHeld, plan.seconds() / plan.feedBoundSeconds);
        total += plan.seconds();
        classicTotal += c.seconds;
        heldTotal += c.secondsHeld;
        boundTotal += plan.feedBoundSeconds;
    }
    std::printf("%-22s %10.3f %10.3f %10.3f %10.3f %9.3f %9.3f %9.3f\n", "total", total,
                classicTotal, heldTotal, boundTotal, total / classicTotal, total / heldTotal,
                total / boundTotal);
}

}  // namespace

// The library binds its device backend while it loads, before main runs:
// without TELVO_BACKEND the program names the simulated controller beside it
// and starts itself again.
int main(int argc, char** argv) {
    if (std::getenv("TELVO_BACKEND") == nullptr) {
        setenv("TELVO_BACKEND", "libtelvo_sim.so", 1);
        execv("/proc/self/exe", argv);
        std::perror("telvo_program_bench: execv");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    overheadRatio();
    wholeRunRatio();
    comparePrograms();
    return 0;
}
