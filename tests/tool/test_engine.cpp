// The engine against the simulated controller on the stepped clock (one
// advance() is one simulated millisecond): the operator's controls at
// random moments, judged by what the simulator itself executed; abort and
// jog; MDI's modal state; run from a line; the travel limits of jogs.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "files/builtin.h"
#include "files/machine.h"
#include "telvo_sim.h"

using namespace telvo::tool;

namespace {

const std::string kPrograms = std::string(TELVO_TOOL_TEST_DATA) + "/programs/";

// The simulator the library bound: its clock, counters and executed log.
struct Sim {
    void* module = dlopen("libtelvo_sim.so", RTLD_NOW | RTLD_NOLOAD);
    template <typename F>
    F fn(const char* name) {
        return module ? reinterpret_cast<F>(dlsym(module, name)) : nullptr;
    }
    decltype(&tsim_clock_ms) clock = fn<decltype(&tsim_clock_ms)>("tsim_clock_ms");
    decltype(&tsim_position) position = fn<decltype(&tsim_position)>("tsim_position");
    decltype(&tsim_executed_count) executed =
        fn<decltype(&tsim_executed_count)>("tsim_executed_count");
    decltype(&tsim_executed_get) entry = fn<decltype(&tsim_executed_get)>("tsim_executed_get");
    decltype(&tsim_set_frame_period) framePeriod =
        fn<decltype(&tsim_set_frame_period)>("tsim_set_frame_period");
    decltype(&tsim_protocol_error_count) protocolErrors =
        fn<decltype(&tsim_protocol_error_count)>("tsim_protocol_error_count");
    ~Sim() {
        if (module) dlclose(module);
    }
    bool ok() const {
        return clock && position && executed && entry && framePeriod && protocolErrors;
    }
    std::array<int32_t, TSIM_COUNTERS> at() const {
        std::array<int32_t, TSIM_COUNTERS> p{};
        position(p.data());
        return p;
    }
};

struct Recorder : EngineObserver {
    std::vector<Sample> samples;
    std::vector<EngineEvent> errors;
    void onSample(const Sample& s) override { samples.push_back(s); }
    void onEvent(const EngineEvent& e) override {
        if (e.kind == EngineEvent::Kind::Error) errors.push_back(e);
    }
};

// An engine on the stepped simulated clock, opened.
struct Rig {
    Machine machine;
    Sim sim;
    Recorder rec;
    std::unique_ptr<Engine> engine;
    explicit Rig(EngineOptions o = {}, int framePeriodMs = 1, Machine m = defaultMachine())
        : machine(std::move(m)) {
        o.speed = 0.0;
        o.requireSimulator = true;
        engine = std::make_unique<Engine>(machine, o);
        engine->addObserver(&rec);
        engine->open();
        if (sim.ok()) sim.framePeriod(framePeriodMs);
    }
    Engine& e() { return *engine; }
    EngineMode mode() const { return engine->status().mode; }
    int64_t now() const { return sim.clock(); }
    // Advances until done() holds; false after `limitMs` of simulated time.
    bool until(const std::function<bool()>& done, int64_t limitMs = 120000) {
        for (int64_t end = now() + limitMs; !done();) {
            if (now() >= end) return false;
            engine->advance();
        }
        return true;
    }
    bool untilIdle(int64_t limitMs = 120000) {
        return until([&] { return mode() == EngineMode::Idle; }, limitMs);
    }
    int32_t steps(int axis, double units) const {
        return static_cast<int32_t>(std::lround(units * machine.axes[axis].stepsPerUnit));
    }
};

#define REQUIRE_SIM(rig) \
    ASSERT_TRUE((rig).sim.ok()) << "run with TELVO_BACKEND=libtelvo_sim.so (the simulator)"

std::string writeProgram(const char* name, const std::string& text) {
    auto path = std::filesystem::temp_directory_path() /
                (std::string("telvo_engine_") + std::to_string(::getpid()) + "_" + name);
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path.string();
}

// The simulator executed exactly the targets sent since `from` (its log
// index) and `first` (the recorder's): each once, in order (its queue slots
// consecutive), each on the step of its target, with no protocol error.
void expectExecutedAsSent(Rig& rig, int64_t from, size_t first) {
    const std::vector<Sample>& sent = rig.rec.samples;
    ASSERT_EQ(rig.sim.executed() - from, static_cast<int64_t>(sent.size() - first));
    tsim_executed prev{};
    for (size_t k = 0; first + k < sent.size(); ++k) {
        tsim_executed e{};
        ASSERT_TRUE(rig.sim.entry(from + static_cast<int64_t>(k), &e));
        if (k > 0) {
            ASSERT_EQ(e.slotIndex, (prev.slotIndex + 1) % 5000) << "segment " << k;
        }
        for (int a = 0; a < kAxisCount; ++a)
            if (rig.machine.axes[a].configured) {
                ASSERT_EQ(e.position[a], std::floor(sent[first + k].steps[a] + 0.5))
                    << "segment " << k << " axis " << kAxisLetters[a];
            }
        prev = e;
    }
    EXPECT_EQ(rig.sim.protocolErrors(), 0);
}

void expectCheckerClean(const JobReport& r) {
    EXPECT_EQ(r.check.faults, 0u) << r.check.summary();
    for (const std::string& p : r.check.problems) ADD_FAILURE() << p;
    EXPECT_LE(r.check.velocityRatio, 1.0 + 1e-9);
    EXPECT_LE(r.check.accelerationRatio, 1.0 + 1e-9);
    EXPECT_LE(r.check.feedRatio, 1.0 + 1e-6);
    EXPECT_GT(r.check.targetsChecked, 0u);
}

// ---- 1. the controls at random moments ---------------------------------

struct ControlCase {
    const char* program;
    unsigned seed;
    bool stop;
};

void PrintTo(const ControlCase& c, std::ostream* os) {
    *os << c.program << " seed " << c.seed << (c.stop ? " with a stop" : "");
}

class EngineControls : public ::testing::TestWithParam<ControlCase> {};

// Hold, resume, feed override 1..200 %, rapid override and (in half the
// cases) a stop at random simulated milliseconds.
TEST_P(EngineControls, KeepToTheLimitsAndExecuteEveryTargetOnce) {
    const ControlCase c = GetParam();
    EngineOptions o;
    o.pauses = o.toolChanges = PauseBehaviour::GoOn;
    Rig rig(o);
    REQUIRE_SIM(rig);
    const std::string path = kPrograms + c.program;
    Vec6 programEnd{};
    ProgramCheck pre = rig.e().check(path, [&](const Vec6& p, bool, int) { programEnd = p; });
    ASSERT_TRUE(pre.ok());
    std::mt19937 rng(c.seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    const int64_t from = rig.sim.executed();
    ASSERT_EQ(rig.e().run(path), "");
    const int64_t stopAt =
        c.stop ? rig.now() + pick(300, static_cast<int>(pre.seconds * 450.0)) : INT64_MAX;
    int64_t next = rig.now() + pick(1, 400), heldSince = -1, holdAt = -1;
    int holds = 0, resumes = 0, overrides = 0;
    bool stopped = false;
    std::array<int32_t, TSIM_COUNTERS> restAt{};
    ASSERT_TRUE(rig.until(
        [&] {
            EngineMode m = rig.mode();
            if (m == EngineMode::Idle) return true;
            const int64_t t = rig.now();
            // At rest while held: nothing moves until resumed.
            if (m == EngineMode::Held) {
                if (heldSince < 0) {
                    heldSince = t, restAt = rig.sim.at();
                    // Rest within the stream's depth and the deceleration.
                    EXPECT_LE(t - holdAt, 250 + 400) << "hold took too long";
                }
                EXPECT_EQ(rig.sim.at(), restAt) << "moved while held";
            } else {
                heldSince = -1;
            }
            if (!stopped && t >= stopAt) {
                EXPECT_EQ(rig.e().stop(), "");
                stopped = true;
            } else if (!stopped && t >= next) {
                int r = pick(0, 99);
                if ((m == EngineMode::Held || m == EngineMode::Holding) && r < 60) {
                    EXPECT_EQ(rig.e().resume(), "");
                    ++resumes;
                } else if (m == EngineMode::Running && r < 30) {
                    std::string why = rig.e().hold();
                    if (why.empty()) {
                        ++holds, holdAt = t;
                    } else {
                        EXPECT_EQ(why, "the program is at rest for an action already");
                    }
                } else if (r < 70) {
                    EXPECT_EQ(rig.e().setFeedOverride(pick(1, 200) / 100.0), "");
                    ++overrides;
                } else {
                    const double rapid[] = {0.25, 0.5, 1.0};
                    EXPECT_EQ(rig.e().setRapidOverride(rapid[pick(0, 2)]), "");
                    ++overrides;
                }
                next = t + pick(1, 400);
            }
            return false;
        },
        900000));
    EXPECT_GT(holds, 0);
    EXPECT_GT(resumes, 0);
    EXPECT_GT(overrides, 0);
    EXPECT_EQ(stopped, c.stop);
    EXPECT_TRUE(rig.rec.errors.empty()) << rig.rec.errors.front().text;

    const JobReport& r = rig.e().lastReport();
    expectCheckerClean(r);
    std::array<int32_t, TSIM_COUNTERS> final = rig.sim.at();
    if (c.stop) {
        EXPECT_EQ(r.ended, "stopped");
        for (int a = 0; a < kAxisCount; ++a) {
            EXPECT_EQ(r.finalPosition[a], final[a]) << kAxisLetters[a];
            EXPECT_EQ(r.expectedEnd[a], final[a]) << kAxisLetters[a];
        }
    } else {
        EXPECT_EQ(r.ended, "program finished");
        EXPECT_TRUE(r.checked && r.check.ok()) << r.check.summary();
        for (int a = 0; a < kAxisCount; ++a)
            if (rig.machine.axes[a].configured && !rig.machine.axes[a].slaveOf) {
                EXPECT_EQ(final[a], rig.steps(a, programEnd[a])) << kAxisLetters[a];
            }
    }
    EXPECT_TRUE(r.endReached);
    EXPECT_EQ(r.underruns, 0u);
    expectExecutedAsSent(rig, from, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, EngineControls,
                         ::testing::Values(ControlCase{"grbl_pocket.nc", 11, false},
                                           ControlCase{"grbl_pocket.nc", 12, true},
                                           ControlCase{"inch_r_arcs.nc", 21, false},
                                           ControlCase{"inch_r_arcs.nc", 22, true},
                                           ControlCase{"two_parts.nc", 31, false},
                                           ControlCase{"two_parts.nc", 32, true}),
                         [](const ::testing::TestParamInfo<ControlCase>& p) {
                             std::string name = p.param.program;
                             name = name.substr(0, name.find('.'));
                             return name + "_" + std::to_string(p.param.seed) +
                                    (p.param.stop ? "_stop" : "");
                         });

// Speed of axis X over [t0, t1) of simulated time, units/s, from the
// simulator's counters.
double speedX(Rig& rig, int64_t t0, int64_t t1) {
    EXPECT_TRUE(rig.until([&] { return rig.now() >= t0; }));
    int32_t x0 = rig.sim.at()[0];
    EXPECT_TRUE(rig.until([&] { return rig.now() >= t1; }));
    return std::fabs(rig.sim.at()[0] - x0) / rig.machine.axes[0].stepsPerUnit /
           static_cast<double>(t1 - t0) * 1000.0;
}

// The overrides reach the motion the simulator executes, one stream depth
// later: feed moves at the feed times the override, rapids at the rapid
// override times the axis's top speed.
TEST(Engine, OverridesReachTheExecutedMotion) {
    Rig rig;
    REQUIRE_SIM(rig);
    ASSERT_EQ(rig.e().mdi("G1 X200 F1200"), "");  // 20 mm/s
    const int64_t t = rig.now();
    EXPECT_NEAR(speedX(rig, t + 500, t + 700), 20.0, 0.05);
    ASSERT_EQ(rig.e().setFeedOverride(0.5), "");
    EXPECT_NEAR(speedX(rig, t + 1100, t + 1400), 10.0, 0.05);
    ASSERT_EQ(rig.e().setFeedOverride(2.0), "");
    EXPECT_NEAR(speedX(rig, t + 1800, t + 2000), 40.0, 0.05);
    ASSERT_TRUE(rig.untilIdle());
    ASSERT_EQ(rig.e().setRapidOverride(0.25), "");
    ASSERT_EQ(rig.e().mdi("G0 X0"), "");
    const int64_t u = rig.now();
    EXPECT_NEAR(speedX(rig, u + 1000, u + 2000), 12.5, 0.05);  // 50 mm/s at 25 %
    ASSERT_TRUE(rig.untilIdle());
    expectCheckerClean(rig.e().lastReport());
    EXPECT_EQ(rig.sim.at()[0], 0);
}

// An override lowered while the motion already slows for a slower move
// ahead: the targets until that move is slow enough keep the old scale
// (the checker judges each against the scale it was planned with).
TEST(Engine, AnOverrideLoweredWhileSlowingIsCheckedAgainstTheOldScaleUntilReached) {
    Rig rig;
    REQUIRE_SIM(rig);
    const std::string path = writeProgram("slowing.nc", "G1 X20 F3000\nG1 X22 F60\nM2\n");
    ASSERT_EQ(rig.e().run(path), "");
    bool lowered = false;
    ASSERT_TRUE(rig.until([&] {
        const std::vector<Sample>& s = rig.rec.samples;
        if (!lowered && !s.empty() && s.back().line == 1 && s.back().speed > 0.0 &&
            s.back().speed < 20.0) {
            EXPECT_EQ(rig.e().setFeedOverride(0.5), "");  // 25 and 0.5 mm/s
            lowered = true;
        }
        return rig.mode() == EngineMode::Idle;
    }));
    ASSERT_TRUE(lowered);
    expectCheckerClean(rig.e().lastReport());
    EXPECT_TRUE(rig.e().lastReport().check.ok());
    std::filesystem::remove(path);
}

// ---- 2. abort, then jog -------------------------------------------------

class EngineAbort : public ::testing::TestWithParam<int> {};

// An abort stops the controller and drops what it held: a jog right after
// moves at once, from where the machine really stands.
TEST_P(EngineAbort, AJogAfterAnAbortMovesAtOnceFromWhereTheMachineStands) {
    Rig rig({}, GetParam());
    REQUIRE_SIM(rig);
    ASSERT_EQ(rig.e().run(kPrograms + "grbl_pocket.nc"), "");
    const int64_t start = rig.now();
    ASSERT_TRUE(rig.until([&] { return rig.now() >= start + 4000; }));  // cutting
    ASSERT_EQ(rig.mode(), EngineMode::Running);
    ASSERT_GT(rig.e().status().bufferLevel, 100);
    const int64_t abortedAt = rig.now();
    ASSERT_EQ(rig.e().abort(), "");
    EXPECT_EQ(rig.mode(), EngineMode::Idle);
    EXPECT_FALSE(rig.e().status().positionKnown);
    EXPECT_NE(rig.e().run(kPrograms + "grbl_pocket.nc"), "");
    const std::array<int32_t, TSIM_COUNTERS> stoppedAt = rig.sim.at();
    // The engine knows where the machine stopped, not where it last read.
    for (int a = 0; a < kAxisCount; ++a)
        if (rig.machine.axes[a].configured) {
            EXPECT_EQ(rig.e().status().machine[a] * rig.machine.axes[a].stepsPerUnit, stoppedAt[a])
                << kAxisLetters[a];
        }
    const int64_t logFrom = rig.sim.executed();

    ASSERT_EQ(rig.e().jogStep(0, 5.0, 20.0), "");
    ASSERT_TRUE(rig.until([&] { return rig.sim.executed() > logFrom; }, 2000));
    // Two frames to learn where it stopped, one to send, then it runs (the
    // stepped loop reads a frame every 2 ms at the least); held segments
    // left in the controller would delay it by the stream's depth.
    const int64_t frame = std::max(2, GetParam());
    EXPECT_LE(rig.now() - abortedAt, 3 * frame + 2) << "the jog waited";
    ASSERT_TRUE(rig.untilIdle(5000));
    std::array<int32_t, TSIM_COUNTERS> end = rig.sim.at();
    EXPECT_EQ(end[0], stoppedAt[0] + 4000);
    for (int a = 1; a < kAxisCount; ++a) EXPECT_EQ(end[a], stoppedAt[a]) << kAxisLetters[a];
    ASSERT_TRUE(rig.until([&] { return rig.e().status().machine[0] * 800.0 == end[0]; }, 50));
    // Every executed step of the jog within the axis's speed: no jump.
    int32_t x = stoppedAt[0];
    for (int64_t n = logFrom; n < rig.sim.executed(); ++n) {
        tsim_executed e{};
        ASSERT_TRUE(rig.sim.entry(n, &e));
        EXPECT_LE(std::abs(e.position[0] - x), 20 * 800 / 1000 + 1) << "segment " << n - logFrom;
        x = e.position[0];
    }
    EXPECT_EQ(rig.sim.protocolErrors(), 0);
    expectCheckerClean(rig.e().lastReport());
}

INSTANTIATE_TEST_SUITE_P(FramePeriod, EngineAbort, ::testing::Values(1, 10));

// ---- 3. MDI -------------------------------------------------------------

// Modal words carry from one MDI line to the next; a program still starts
// from the machine's defaults (G90, G21), with the offsets and the tool
// MDI left.
TEST(EngineMdi, ModesCarryBetweenLinesButNotIntoAProgram) {
    EngineOptions o;
    o.toolChanges = PauseBehaviour::GoOn;
    Rig rig(o);
    REQUIRE_SIM(rig);
    auto mdi = [&](const char* line) {
        EXPECT_EQ(rig.e().mdi(line), "") << line;
        rig.e().advance();
        EXPECT_TRUE(rig.untilIdle(20000)) << line;
        return rig.sim.at()[0];
    };
    EXPECT_EQ(mdi("G91"), 0);
    EXPECT_EQ(mdi("G0 X10"), 8000);
    EXPECT_EQ(mdi("G0 X10"), 16000);  // still incremental
    EXPECT_EQ(mdi("G20"), 16000);
    EXPECT_EQ(mdi("G0 X1"), 16000 + 20320);  // one inch more
    mdi("G10 L20 P1 X0 Y0");
    EXPECT_DOUBLE_EQ(rig.e().status().workOffsets[0][0], 45.4);
    ASSERT_EQ(rig.e().jogStep(1, 10.0, 20.0), "");
    ASSERT_TRUE(rig.untilIdle(5000));
    ASSERT_EQ(rig.e().zeroAxis(1), "");  // Y 10 is now Y 0
    mdi("T2 M6");
    EXPECT_EQ(rig.e().status().tool, 2);

    std::string why = rig.e().mdi("G41 D1 G1 X5 F100");
    EXPECT_NE(why.find("cutter compensation"), std::string::npos) << why;
    EXPECT_EQ(rig.mode(), EngineMode::Idle);

    // Absolute millimetres from the work offset MDI set: X 45.4 + 7.
    std::string path = writeProgram("after_mdi.nc", "G0 X5 Y5\nG0 X7\nM2\n");
    ASSERT_EQ(rig.e().run(path), "");
    ASSERT_TRUE(rig.untilIdle());
    EXPECT_EQ(rig.e().lastReport().ended, "program finished");
    EXPECT_EQ(rig.sim.at()[0], rig.steps(0, 52.4));
    EXPECT_EQ(rig.sim.at()[1], rig.steps(1, 15.0));
    EXPECT_EQ(rig.e().status().tool, 2);
    EXPECT_DOUBLE_EQ(rig.e().status().workOffsets[0][0], 45.4);
    EXPECT_DOUBLE_EQ(rig.e().status().workOffsets[0][1], 10.0);
    std::filesystem::remove(path);
}

// ---- 4. run from a line -------------------------------------------------

Machine approachMachine() {
    std::string text = kDefaultMachineToml;
    auto set = [&](const std::string& from, const std::string& to) {
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
    };
    set("# safe_z = 0", "safe_z = 5");
    set("# approach_feed = 600", "approach_feed = 600");
    return loadMachine(text, "approach.toml");
}

// Started at a line, the program runs on from that line as a run from the
// start does: the same offsets, distance mode, feed, and the same targets.
TEST(EngineRunFrom, ALineRunsAsItDoesInTheWholeProgram) {
    const std::string path = writeProgram("from_line.nc",
                                          "G21 G90 G17 G94\n"       // 1
                                          "G10 L2 P2 X30 Y20 Z0\n"  // 2
                                          "G55 M3 S9000\n"          // 3
                                          "G0 X0 Y0 Z2\n"           // 4
                                          "G1 Z-1 F300\n"           // 5
                                          "G92 X10 Y10\n"           // 6
                                          "G91\n"                   // 7
                                          "G1 X5 F900\n"            // 8
                                          "G3 X5 Y5 I0 J5\n"        // 9
                                          "G4 P0.2\n"               // 10
                                          "G1 Y10\n"                // 11
                                          "G2 X-5 Y5 R5\n"          // 12
                                          "G90 G1 X10 Y10\n"        // 13
                                          "G0 Z5\n"                 // 14
                                          "M2\n");
    const int kLine = 11;
    auto run = [&](int fromLine, std::vector<Sample>& out, std::array<int32_t, 7>& end) {
        EngineOptions o;
        o.depthMs = 20;  // the least a machine file may ask for
        Rig rig(o, 1, approachMachine());
        REQUIRE_SIM(rig);
        ASSERT_EQ(rig.e().run(path, fromLine), "");
        ASSERT_TRUE(rig.untilIdle());
        EXPECT_EQ(rig.e().lastReport().ended, "program finished");
        EXPECT_EQ(rig.e().lastReport().underruns, 0u);
        expectCheckerClean(rig.e().lastReport());
        EXPECT_EQ(rig.e().status().spindleDirection, 0);
        for (const Sample& s : rig.rec.samples)
            if (s.line >= kLine) out.push_back(s);
        end = rig.sim.at();
    };
    std::vector<Sample> whole, part;
    std::array<int32_t, 7> wholeEnd{}, partEnd{};
    run(0, whole, wholeEnd);
    run(kLine, part, partEnd);
    ASSERT_FALSE(whole.empty());
    ASSERT_EQ(part.size(), whole.size());
    for (size_t k = 0; k < whole.size(); ++k)
        for (int a = 0; a < 3; ++a)
            ASSERT_NEAR(part[k].steps[a], whole[k].steps[a], 1.0) << "target " << k;
    EXPECT_EQ(partEnd, wholeEnd);
    std::filesystem::remove(path);
}

TEST(EngineRunFrom, RefusedInsideCompensationAndInsideACycle) {
    Rig rig;
    REQUIRE_SIM(rig);
    std::string why = rig.e().run(kPrograms + "fanuc_comp_profile.nc", 14);  // N90, under G41
    EXPECT_NE(why.find("line 14 lies inside cutter compensation"), std::string::npos) << why;
    const std::string path = writeProgram("cycle.nc",
                                          "G21 G90 G17 G94\n"
                                          "G0 Z5\n"
                                          "G81 X10 Y10 Z-1 R2 F300\n"
                                          "X20\n"  // 4: a repeat
                                          "X30\n"
                                          "G80\n"
                                          "G0 X0 Y0\n"  // 7
                                          "M2\n");
    why = rig.e().run(path, 4);
    EXPECT_NE(why.find("line 4 lies inside a canned cycle"), std::string::npos) << why;
    EXPECT_EQ(rig.mode(), EngineMode::Idle);
    EXPECT_EQ(rig.e().run(path, 7), "");
    ASSERT_TRUE(rig.untilIdle());
    EXPECT_EQ(rig.e().lastReport().ended, "program finished");
    std::filesystem::remove(path);
}

// ---- 5. jogs and the travel limits ---------------------------------------

// A continuous jog towards a limit stops on it; a step that would pass a
// limit is refused without motion (the built-in X travel is -100..400 mm).
TEST(EngineJog, StopsAtTheSoftLimitAndRefusesAStepPastIt) {
    Rig rig;
    REQUIRE_SIM(rig);
    const int32_t limit = rig.steps(0, 400.0);
    ASSERT_EQ(rig.e().jogStart(0, +1, 50.0), "");
    EXPECT_EQ(rig.mode(), EngineMode::Jogging);
    int32_t highest = 0;
    ASSERT_TRUE(rig.until(
        [&] {
            highest = std::max(highest, rig.sim.at()[0]);
            return rig.mode() == EngineMode::Idle;
        },
        20000));
    EXPECT_EQ(highest, limit);
    EXPECT_EQ(rig.sim.at()[0], limit);
    expectCheckerClean(rig.e().lastReport());

    std::string why = rig.e().jogStart(0, +1, 10.0);
    EXPECT_NE(why.find("stands at its travel limit"), std::string::npos) << why;
    why = rig.e().jogStep(0, 0.5, 10.0);
    EXPECT_NE(why.find("would leave axis X's travel"), std::string::npos) << why;
    EXPECT_NE(rig.e().jogStep(0, 5.0, 60.0), "");  // above the top speed
    const int64_t executed = rig.sim.executed();
    EXPECT_FALSE(rig.until([] { return false; }, 100));
    EXPECT_EQ(rig.sim.executed(), executed);
    EXPECT_EQ(rig.sim.at()[0], limit);

    // Away from the limit a step runs whole; a continuous jog stopped by
    // hand decelerates and ends inside the travel.
    ASSERT_EQ(rig.e().jogStep(0, -2.5, 10.0), "");
    ASSERT_TRUE(rig.untilIdle(5000));
    EXPECT_EQ(rig.sim.at()[0], limit - 2000);
    ASSERT_EQ(rig.e().jogStart(0, -1, 50.0), "");
    ASSERT_TRUE(rig.until([&] { return rig.sim.at()[0] < limit - 10000; }, 5000));
    ASSERT_EQ(rig.e().jogStop(), "");
    ASSERT_TRUE(rig.untilIdle(1000));
    expectCheckerClean(rig.e().lastReport());
    EXPECT_GT(rig.sim.at()[0], rig.steps(0, -100.0));
    EXPECT_EQ(rig.sim.protocolErrors(), 0);
}

// An engine that ends mid-motion leaves segments in the library's queue;
// the next one sends only its own.
TEST(Engine, ANewEngineSendsNothingTheLastOneLeft) {
    {
        Rig rig;
        REQUIRE_SIM(rig);
        ASSERT_EQ(rig.e().jogStart(0, +1, 50.0), "");
        EXPECT_FALSE(rig.until([] { return false; }, 500));
        ASSERT_GT(rig.e().status().queued + rig.e().status().bufferLevel, 100);
    }
    Rig rig;
    REQUIRE_SIM(rig);
    ASSERT_EQ(rig.sim.at()[0], 0);
    const int64_t from = rig.sim.executed();
    ASSERT_EQ(rig.e().run(kPrograms + "two_parts.nc"), "");
    ASSERT_TRUE(rig.untilIdle());
    expectCheckerClean(rig.e().lastReport());
    expectExecutedAsSent(rig, from, 0);
}

}  // namespace
