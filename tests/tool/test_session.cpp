// The host loop against the simulated controller, in-process: streaming,
// homing, jogging and probing through the library's exports. The clock is
// stepped by the loop (speed 0), so every run is the same.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include <dlfcn.h>
#include <unistd.h>

#include "host/interp.h"
#include "host/machine.h"
#include "host/planner.h"
#include "host/session.h"
#include "host/trace.h"
#include "host/trajectory.h"
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
    Interpreted p = interpret(text, m.gcodeSetup(), start);
    EXPECT_TRUE(p.ok()) << formatDiagnostics(p.errors, "program");
    Plan plan = planProgram(p, m.planSettings(), startSteps);
    EXPECT_TRUE(plan.errors.empty()) << formatDiagnostics(plan.errors, "program");
    Trajectory t;
    t.start = startSteps;
    t.targets = std::move(plan.targets);
    return t;
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
    // The simulator the library bound, to make its status reads hang.
    void* module = dlopen("libtelvo_sim.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto inject = reinterpret_cast<void (*)(tsim_fault, int, int)>(dlsym(module, "tsim_inject"));
    auto commandCount = reinterpret_cast<int (*)(int)>(dlsym(module, "tsim_command_count"));
    auto lastCommand = reinterpret_cast<int (*)(int, uint8_t*, int)>(dlsym(module, "tsim_last_command"));
    auto executed = reinterpret_cast<int64_t (*)()>(dlsym(module, "tsim_executed_count"));
    ASSERT_TRUE(inject && commandCount && lastCommand && executed);
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
    session.abort();
    dlclose(module);
}
