// The host loop against the simulated controller, in-process: streaming,
// homing, jogging and probing through the library's exports. The clock is
// stepped by the loop (speed 0), so every run is the same.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"
#include "engine/runner.h"
#include "engine/session.h"
#include "files/trace.h"
#include "plan/trajectory.h"
#include "telvo_sim.h"

using namespace telvo::tool;

namespace {

SessionOptions stepped(const std::string& trace = "") {
    SessionOptions o;
    o.speed = 0.0;
    o.tracePath = trace;
    o.progress = ProgressMode::Off;
    return o;
}

// A part program as the tool runs it (interpreter, planner) from where the
// controller stands.
Trajectory program(const Machine& m, const Vec6& startSteps, const char* text) {
    Vec6 start{};
    for (int a = 0; a < kAxisCount; ++a)
        start[a] = m.axes[a].configured ? startSteps[a] / m.axes[a].stepsPerUnit : 0.0;
    // The moves of a program that ends with M2.
    Interpreted p = interpret(std::string(text) + "\nM2\n", m.gcodeSetup(), start);
    EXPECT_TRUE(p.ok()) << formatDiagnostics(p.errors, "program");
    Plan plan = planProgram(p, m.planSettings(), startSteps);
    EXPECT_TRUE(plan.errors.empty()) << formatDiagnostics(plan.errors, "program");
    Trajectory t;
    t.start = startSteps;
    t.targets = std::move(plan.targets);
    return t;
}

// The simulator the library bound: its faults and its record of commands.
struct BoundSim {
    void* module = dlopen("libtelvo_sim.so", RTLD_NOW | RTLD_NOLOAD);
    void (*inject)(tsim_fault, int, int) = nullptr;
    int (*commandCount)(int) = nullptr;
    int (*lastCommand)(int, uint8_t*, int) = nullptr;
    int64_t (*executed)() = nullptr;
    BoundSim() {
        if (!module) return;
        inject = reinterpret_cast<void (*)(tsim_fault, int, int)>(dlsym(module, "tsim_inject"));
        commandCount = reinterpret_cast<int (*)(int)>(dlsym(module, "tsim_command_count"));
        lastCommand = reinterpret_cast<int (*)(int, uint8_t*, int)>(dlsym(module, "tsim_last_command"));
        executed = reinterpret_cast<int64_t (*)()>(dlsym(module, "tsim_executed_count"));
    }
    ~BoundSim() {
        if (module) dlclose(module);
    }
    bool ok() const { return module && inject && commandCount && lastCommand && executed; }
    // The last spindle packet's payload: mode, value (u32), speed (i32), byte 9.
    std::vector<uint8_t> spindle() const {
        std::vector<uint8_t> p(10, 0xEE);
        if (lastCommand(7, p.data(), 10) != 10) p.clear();
        return p;
    }
    // The output word of the last SET_OUTPUTS packet, -1 when none came.
    int outputs() const {
        uint8_t p[8] = {};
        if (lastCommand(6, p, 8) != 8) return -1;
        return p[0] | p[1] << 8;
    }
};

// tests/tool/data/every_key.toml: every key away from its default (spindle
// off is mode 5, mist bit 5, flood bit 9; X 20000 steps per inch, probe
// surface at X 6 inches rising, homing 400 ms).
Machine everyKey() {
    return loadMachineFile(std::string(TELVO_TOOL_TEST_DATA) + "/every_key.toml");
}

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::string("telvo_session_test_") + std::to_string(::getpid()) + name)).string();
}

}  // namespace

TEST(Session, StreamsAProgramWithArcsOntoItsEndPoint) {
    Machine m = defaultMachine();
    std::string tracePath = tempPath("stream.trace");
    StreamStats s;
    Vec6 start{}, target{};
    {
        Session session(m, stepped(tracePath));
        if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
        session.open();
        EXPECT_EQ(session.firmware(), "01.23");
        session.configure();
        start = session.positionSteps();
        Trajectory t = program(m, start,
                               "G0 X10 Y5 Z2\nG1 Z-1 F600\nG2 X30 Y5 I10 J0 F2400\nG3 X10 Y5 R10\n"
                               "G91 G1 X-3.3333 Y7.77 F900\nG90 G0 Z5\n");
        target = t.end();
        s = session.stream(t, "test");
        EXPECT_EQ(session.protocolErrors(), std::vector<std::string>{});
        session.disconnect();
        session.close();
        session.finishTrace();
    }
    EXPECT_GT(s.segments, 2000u);
    EXPECT_EQ(s.sent, s.segments);
    EXPECT_EQ(s.executed, static_cast<int64_t>(s.segments));
    EXPECT_GE(s.blocks, static_cast<int64_t>((s.segments + 74) / 75));
    EXPECT_TRUE(s.endReached);
    EXPECT_EQ(s.expectedEnd[0], std::llround(6.6667 * 800));
    EXPECT_EQ(s.expectedEnd[1], std::llround(12.77 * 800));
    EXPECT_EQ(s.expectedEnd[2], 5 * 1600);
    EXPECT_EQ(s.expectedEnd[3], s.expectedEnd[1]);  // A follows Y
    for (int a = 0; a < kAxisCount; ++a) EXPECT_EQ(s.finalPosition[a], s.expectedEnd[a]) << "axis " << a;
    // The loop keeps the controller fed: once filled it never ran dry.
    EXPECT_GE(s.lowestLevel, 1);
    EXPECT_EQ(s.underruns, 0);
    EXPECT_LE(s.highestLevel, 1000);

    // The trace holds every block; their wire travel adds up to the move
    // (to the targets, of which the counters hold the rounded values).
    TraceFile trace = readTraceFile(tracePath);
    (void)std::remove(tracePath.c_str());
    int64_t blocks = 0, wireSegments = 0;
    double travel[kAxisCount] = {};
    int32_t lastTag = 0;
    bool tagsInOrder = true;
    for (const TraceRecord& r : trace.records) {
        if (r.kind == TraceKind::Block) {
            ++blocks;
            size_t n = r.data.size() / kWireSegmentSize;
            wireSegments += static_cast<int64_t>(n);
            for (size_t k = 0; k < n; ++k) {
                for (int a = 0; a < kAxisCount; ++a) {
                    int32_t v;
                    std::memcpy(&v, r.data.data() + k * kWireSegmentSize + 8 * a + 4, 4);
                    travel[a] += v / 1e6;
                }
            }
        } else if (r.kind == TraceKind::Status) {
            MachineStatus st = decodeStatus(r.data.data());
            if (st.segmentTag != 0 && st.segmentTag < lastTag) tagsInOrder = false;
            if (st.segmentTag != 0) lastTag = st.segmentTag;
        }
    }
    EXPECT_EQ(blocks, s.blocks);
    EXPECT_EQ(wireSegments, static_cast<int64_t>(s.segments));
    for (int a = 0; a < 4; ++a) EXPECT_NEAR(travel[a], target[a] - start[a], 1e-3) << "axis " << a;
    EXPECT_TRUE(tagsInOrder);
    EXPECT_GT(lastTag, static_cast<int32_t>(s.segments) - 10);
}

TEST(Session, JogMovesAnAxisAndHomingZeroesIt) {
    Machine m = defaultMachine();
    Session session(m, stepped());
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    session.open();
    session.configure();
    double x0 = session.positionSteps()[0];
    session.jog(0, 10.0, 0.3);  // about 3 mm forwards
    double x1 = session.positionSteps()[0];
    EXPECT_GT(x1 - x0, 2.0 * 800);
    EXPECT_LT(x1 - x0, 4.0 * 800);
    session.jog(0, -5.0, 0.1);
    EXPECT_LT(session.positionSteps()[0], x1);
    EXPECT_THROW(session.jog(0, 51.0, 0.1), ToolError);  // above max_velocity

    session.home(0);
    EXPECT_EQ(session.positionSteps()[0], 0.0);
    // Streaming after homing starts from the new counters.
    StreamStats s = session.stream(straightMove(session.positionSteps(), {800, 0, 0, 0, 0, 0}, m.limits()), "test");
    EXPECT_TRUE(s.endReached);
    EXPECT_EQ(s.finalPosition[0], 800);
    session.disconnect();
    session.close();
}

TEST(Session, ProbingReportsTheTriggerOrItsAbsence) {
    Machine m = defaultMachine();  // surface at Z -2.5 mm
    Session session(m, stepped());
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    session.open();
    session.configure();
    Vec6 start{8000, 8000, 0, 8000, 0, 0}, end{8000, 8000, -5 * 1600, 8000, 0, 0};
    ProbeOutcome hit = session.probe(start, end, 2.0);
    EXPECT_EQ(hit.result, 3);
    EXPECT_TRUE(hit.triggered);
    EXPECT_EQ(hit.position[0], 8000);
    EXPECT_NEAR(hit.position[2], -2.5 * 1600, 2.0);
    EXPECT_TRUE(session.plot().probe.has_value());

    // Back up and probe a move that stops above the surface.
    session.stream(straightMove(session.positionSteps(), start, m.limits()), "test");
    ProbeOutcome miss = session.probe(start, {8000, 8000, -1600, 8000, 0, 0}, 2.0);
    EXPECT_EQ(miss.result, 2);
    EXPECT_FALSE(miss.triggered);
    EXPECT_EQ(session.positionSteps()[2], -1600);

    // After probing the stream is resynchronised: a move lands exactly.
    StreamStats s = session.stream(straightMove(session.positionSteps(), {0, 0, 1600, 0, 0, 0}, m.limits()), "test");
    EXPECT_TRUE(s.endReached);
    EXPECT_THROW(session.probe(session.positionSteps(), session.positionSteps(), 2.0), ToolError);
    EXPECT_EQ(session.protocolErrors(), std::vector<std::string>{});
    session.disconnect();
    session.close();
}

// The machine file's simulator keys reach the simulator: the probe surface
// (axis X, at 6 inches, rising) and the homing time.
TEST(Session, TheSimulatorTakesTheMachineFilesSurfaceAndHomingTime) {
    Machine m = everyKey();
    Session session(m, stepped());
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    session.open();
    session.configure();
    const double began = session.now();
    session.home(0);
    EXPECT_GE(session.now() - began, 0.4);
    EXPECT_LT(session.now() - began, 0.5);
    // Below the surface (it is reached from below) nothing triggers.
    ProbeOutcome below = session.probe({4 * 20000, 0, 0, 0, 0, 0}, {5 * 20000, 0, 0, 0, 0, 0}, 2.0);
    EXPECT_FALSE(below.triggered);
    ProbeOutcome hit = session.probe({5 * 20000, 0, 0, 0, 0, 0}, {7 * 20000, 0, 0, 0, 0, 0}, 2.0);
    EXPECT_TRUE(hit.triggered);
    EXPECT_NEAR(hit.position[0], 6 * 20000, 2.0);
    session.disconnect();
    session.close();
}

TEST(Session, RealTimeClockRunsTheSameStream) {
    Machine m = defaultMachine();
    SessionOptions o = stepped();
    o.speed = 20.0;  // the simulator's own thread drives its clock
    Session session(m, o);
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    session.open();
    session.configure();
    StreamStats s = session.stream(straightMove(session.positionSteps(), {4000, -2400, 800, -2400, 0, 0}, m.limits()), "test");
    EXPECT_TRUE(s.endReached);
    EXPECT_EQ(s.executed, static_cast<int64_t>(s.segments));
    session.disconnect();
    session.close();
}

TEST(Session, StopsAtOnceWithTheSpindleOffWhenFramesStop) {
    Machine m = defaultMachine();
    Session session(m, stepped());
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    BoundSim sim;
    ASSERT_TRUE(sim.ok());
    auto inject = sim.inject;
    auto commandCount = sim.commandCount;
    auto lastCommand = sim.lastCommand;
    auto executed = sim.executed;
    session.open();
    session.configure();
    const Vec6 start = session.positionSteps();
    Trajectory t = program(m, start, "G1 X40 F600\n");  // four seconds
    inject(TSIM_FAULT_READ_NEVER_COMPLETES, 500, 0);   // about a second in
    const double began = session.now();
    try {
        session.stream(t, "test");
        FAIL() << "the stream ended although no status frame came";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("no status frame for"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("spindle off"), std::string::npos) << e.what();
    }
    // Prompt: a quarter second of silence, not the stream's own length.
    EXPECT_LT(session.now() - began, 2.0);
    EXPECT_EQ(1, commandCount(7));
    uint8_t spindle[10] = {0xFF};
    ASSERT_EQ(10, lastCommand(7, spindle, sizeof spindle));
    for (uint8_t b : spindle) EXPECT_EQ(0, b);
    EXPECT_EQ(1, commandCount(14));
    const int64_t stoppedAt = executed();
    EXPECT_LT(stoppedAt, static_cast<int64_t>(t.targets.size()));
    // The segments still queued in the library were dropped.
    EXPECT_EQ(telvo_BufEmpty(), 1);
    session.abort();
}

// Homing, probing and jogging wait on the controller too: silence stops the
// machine there as it does a stream, with the machine file's spindle-off
// mode, instead of waiting for the wait's own end (homing's two minutes).
TEST(Session, EveryWaitStopsWithTheSpindleOffWhenFramesStop) {
    Machine m = everyKey();
    BoundSim sim;
    struct Path {
        const char* name;
        std::function<void(Session&)> run;
    } paths[] = {
        {"homing", [](Session& s) { s.home(1); }},
        {"probing", [](Session& s) {
             s.probe(s.positionSteps(), {10 * 20000, 0, 0, 0, 0, 0}, 0.5);  // 20 s
         }},
        {"jogging", [](Session& s) { s.jog(2, 0.5, 3.0); }},
    };
    for (const Path& path : paths) {
        Session session(m, stepped());
        if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
        ASSERT_TRUE(sim.ok());
        session.open();
        session.configure();
        sim.inject(TSIM_FAULT_READ_NEVER_COMPLETES, 100, 0);
        const double began = session.now();
        try {
            path.run(session);
            ADD_FAILURE() << path.name << " ended although no status frame came";
        } catch (const ToolError& e) {
            EXPECT_NE(std::string(e.what()).find("no status frame for"), std::string::npos)
                << path.name << ": " << e.what();
        }
        // A quarter second after the last frame, not the wait's own length.
        EXPECT_LT(session.now() - began, 1.0) << path.name;
        EXPECT_EQ(sim.commandCount(7), 1) << path.name;
        EXPECT_EQ(sim.spindle(), (std::vector<uint8_t>{5, 0, 0, 0, 0, 0, 0, 0, 0, 0})) << path.name;
        EXPECT_EQ(sim.commandCount(14), 1) << path.name;
        EXPECT_EQ(telvo_BufEmpty(), 1) << path.name;
        session.abort();
    }
}

// A run that fails in the middle (here: the controller falls silent during
// the cut) leaves the spindle and the coolant off, in the machine file's
// terms, before the controller is let go.
TEST(Session, AFailedRunSwitchesTheSpindleAndCoolantOff) {
    Machine m = everyKey();
    BoundSim sim;
    Session session(m, stepped());
    if (!session.simulated()) GTEST_SKIP() << "no simulated controller beside the library";
    ASSERT_TRUE(sim.ok());
    session.open();
    session.configure();
    // M7, then M3 and its 0.75 s spin-up, then ten seconds of cutting: the
    // fault lands in the cut.
    sim.inject(TSIM_FAULT_READ_NEVER_COMPLETES, 1500, 0);
    RunOptions quiet;
    quiet.log = std::fopen("/dev/null", "w");
    ASSERT_NE(quiet.log, nullptr);
    try {
        runProgram(session, m, "M7\nS1200 M3\nG1 X10 F60\nM30\n", "cut.nc", quiet);
        ADD_FAILURE() << "the run ended although no status frame came";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("no status frame for"), std::string::npos) << e.what();
    }
    (void)std::fclose(quiet.log);
    const double x = session.positionUnits()[0];
    EXPECT_GT(x, 0.1);  // it was cutting
    EXPECT_LT(x, 9.0);
    EXPECT_EQ(sim.spindle(), (std::vector<uint8_t>{5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sim.outputs(), 0);
    EXPECT_GE(sim.commandCount(6), 2);  // on, then off
    EXPECT_EQ(telvo_BufEmpty(), 1);
    session.abort();
}
