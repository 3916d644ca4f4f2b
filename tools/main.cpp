// telvo: the host tool. Drives a motion controller through the telvo library
// the way a machine-control host does: configure a machine, home it, run a
// part program, probe, watch the status, and show what happened.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#define TELVO_ISATTY _isatty
#define TELVO_FILENO _fileno
#else
#include <unistd.h>
#define TELVO_ISATTY isatty
#define TELVO_FILENO fileno
#endif

#include "host/builtin.h"
#include "host/csv.h"
#include "host/gcode.h"
#include "host/machine.h"
#include "host/plot.h"
#include "host/runner.h"
#include "host/session.h"
#include "host/trace.h"
#include "host/trajectory.h"

namespace tool = telvo::tool;
using tool::ToolError;
using tool::Vec6;

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr double kDemoSpeed = 2.0;
const char* const kDemoPlot = "telvo-demo.svg";

struct Common {
    std::string machineFile;
    double speed = 1.0;
    std::string trace;
    std::string plot;
    bool quiet = false;
    bool home = false;
    tool::RunOptions program;  // part-program options of `run`
};

volatile std::sig_atomic_t gSignals = 0;

extern "C" void onSignal(int) {
    // A second signal ends the process at once.
    if (gSignals) std::_Exit(kExitInterrupted);
    gSignals = 1;
    tool::requestStop();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

tool::Machine loadMachine(const Common& c) {
    return c.machineFile.empty() ? tool::defaultMachine() : tool::loadMachineFile(c.machineFile);
}

tool::SessionOptions sessionOptions(const Common& c) {
    tool::SessionOptions o;
    o.speed = c.speed;
    o.tracePath = c.trace;
    if (c.quiet) o.progress = tool::ProgressMode::Off;
    else o.progress = TELVO_ISATTY(TELVO_FILENO(stderr)) ? tool::ProgressMode::Live : tool::ProgressMode::Lines;
    return o;
}

int parseAxis(const std::string& name) {
    if (name.size() == 1 && tool::axisIndex(name[0]) >= 0) return tool::axisIndex(name[0]);
    throw ToolError("'" + name + "' is not an axis (x, y, z, a, b or c)");
}

void requireAxis(const tool::Machine& m, int axis) {
    if (!m.axes[axis].configured) throw ToolError(fmt::format("axis {} is not configured on this machine", tool::kAxisLetters[axis]));
}

// "45,35,-2" in machine units, axis order X Y Z A B C; axes not given keep
// the value in `fallback` (steps). Returns steps.
Vec6 parsePoint(const std::string& text, const tool::Machine& m, const Vec6& fallback, const char* option) {
    Vec6 out = fallback;
    std::stringstream in(text);
    std::string field;
    int axis = 0;
    while (std::getline(in, field, ',')) {
        if (axis >= tool::kAxisCount) throw ToolError(fmt::format("{}: at most 6 coordinates", option));
        char* end = nullptr;
        double v = std::strtod(field.c_str(), &end);
        if (field.empty() || *end != '\0' || !std::isfinite(v)) throw ToolError(fmt::format("{}: '{}' is not a number", option, field));
        if (!m.axes[axis].configured) throw ToolError(fmt::format("{}: axis {} is not configured", option, tool::kAxisLetters[axis]));
        out[axis] = v * m.axes[axis].stepsPerUnit;
        ++axis;
    }
    if (axis == 0) throw ToolError(fmt::format("{}: give coordinates as X,Y,Z", option));
    tool::applySlaves(out, fallback, m.limits());
    return out;
}

std::string stepsText(const tool::Machine& m, const std::array<long long, tool::kAxisCount>& v) {
    std::string s;
    for (int a = 0; a < tool::kAxisCount; ++a) {
        if (m.axes[a].configured) s += fmt::format("{}{} {}", s.empty() ? "" : "  ", tool::kAxisLetters[a], v[a]);
    }
    return s;
}

std::string unitsText(const tool::Machine& m, const Vec6& steps) {
    std::string s;
    for (int a = 0; a < tool::kAxisCount; ++a) {
        if (m.axes[a].configured) {
            s += fmt::format("{}{} {:.3f}", s.empty() ? "" : "  ", tool::kAxisLetters[a], steps[a] / m.axes[a].stepsPerUnit);
        }
    }
    return s + " " + m.units;
}

std::array<long long, tool::kAxisCount> toLongs(const std::array<int32_t, tool::kAxisCount>& v) {
    std::array<long long, tool::kAxisCount> out{};
    for (int a = 0; a < tool::kAxisCount; ++a) out[a] = v[a];
    return out;
}

struct Row {
    std::string key, value;
};

void printTable(const std::string& title, const std::vector<Row>& rows) {
    size_t width = 0;
    for (const Row& r : rows) width = std::max(width, r.key.size());
    fmt::print("\n{}\n", title);
    for (const Row& r : rows) fmt::print("  {:<{}}  {}\n", r.key, width, r.value);
    (void)std::fflush(stdout);
}

void addStreamRows(std::vector<Row>& rows, const tool::Machine& m, const tool::StreamStats& s, int bufferSize) {
    rows.push_back({"segments sent", fmt::format("{} of {}", s.sent, s.segments)});
    rows.push_back({"segments executed", fmt::format("{}", s.executed)});
    rows.push_back({"motion blocks", fmt::format("{}", s.blocks)});
    std::string lowest = s.lowestLevel < 0 ? std::string("lowest - (never filled)")
                                           : fmt::format("lowest {} once filled", s.lowestLevel);
    rows.push_back({"buffer level", fmt::format("{}, highest {}, of {}{}", lowest, s.highestLevel, bufferSize,
                                                s.underruns ? fmt::format(" ({} frames ran empty)", s.underruns) : "")});
    rows.push_back({"final position", stepsText(m, toLongs(s.finalPosition)) + " steps"});
    rows.push_back({"program end point", stepsText(m, s.expectedEnd) + " steps"});
    rows.push_back({"end point reached", s.endReached ? "yes" : "NO"});
}

void addErrorRows(std::vector<Row>& rows, tool::Session& session) {
    if (!session.simulated()) {
        rows.push_back({"protocol errors", "not available (real controller)"});
        return;
    }
    std::vector<std::string> errors = session.protocolErrors();
    rows.push_back({"protocol errors", fmt::format("{}", errors.size())});
    for (size_t i = 0; i < errors.size() && i < 5; ++i) rows.push_back({"", errors[i]});
}

std::string probeText(const tool::Machine& m, const tool::ProbeOutcome& p) {
    if (p.triggered) {
        std::array<long long, tool::kAxisCount> steps{};
        for (int a = 0; a < tool::kAxisCount; ++a) steps[a] = std::llround(p.position[a]);
        return fmt::format("triggered at {} ({} steps)", unitsText(m, p.position), stepsText(m, steps));
    }
    if (p.result == 2) return "ended without a trigger";
    return fmt::format("result {}", p.result);
}

void writePlot(tool::Session& session, const std::string& path, const std::string& title) {
    if (path.empty()) return;
    tool::PlotData& data = session.plot();
    data.title = title;
    tool::writeTextFile(path, tool::renderPlot(data));
}

tool::Trajectory loadProgram(const std::string& path, const std::string& format, const tool::Machine& m,
                             const Vec6& startSteps) {
    std::string text = readFile(path);
    bool csv = format == "csv" || (format == "auto" && path.size() >= 4 && path.substr(path.size() - 4) == ".csv");
    tool::MotionLimits limits = m.limits();
    try {
        if (csv) return tool::csvTrajectory(tool::parseCsvTargets(text, limits), startSteps, limits);
        tool::GcodeContext context;
        context.mmPerUnit = m.mmPerUnit();
        for (int a = 0; a < tool::kAxisCount; ++a) {
            context.configured[a] = m.axes[a].configured;
            context.slaveOf[a] = m.axes[a].slaveOf;
            context.start[a] = m.axes[a].configured ? startSteps[a] / m.axes[a].stepsPerUnit : 0.0;
        }
        return tool::interpolate(tool::parseGcode(text, context), startSteps, limits);
    } catch (const tool::LineError& e) {
        throw ToolError(fmt::format("{}:{}: {}", path, e.line(), e.message()));
    }
}

// Runs `body` on an open session; on any failure stops the machine and
// releases the controller before the error is reported.
template <typename Body>
void withSession(tool::Session& session, Body body) {
    try {
        body();
    } catch (...) {
        try {
            session.abort();
        } catch (...) {
        }
        throw;
    }
}

// ---- subcommands --------------------------------------------------------

int cmdInfo(const Common& c) {
    tool::Machine m = loadMachine(c);
    tool::SessionOptions o = sessionOptions(c);
    o.speed = 0.0;  // nothing runs: no clock needed
    tool::Session session(m, o);
    withSession(session, [&] {
        session.open();
        fmt::print("controller  {}\nfirmware    {}\n", session.controllerDescription(), session.firmware());
        session.close();
        session.finishTrace();
    });
    return 0;
}

// A G-code program: checked whole before the controller is opened, then run
// through the interpreter, the planner and the checker.
int cmdRunGcode(const Common& c, const std::string& file) {
    tool::Machine m = loadMachine(c);
    std::string text = readFile(file);
    // Position-independent problems: from machine zero (where homing ends).
    tool::Interpreted pre = tool::checkProgram(text, m, c.program, Vec6{});
    if (!pre.ok()) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}", tool::formatDiagnostics(pre.errors, file, pre.errorsTruncated));
        throw ToolError(fmt::format("{}: {}{} problem{}; nothing was run", file, pre.errors.size(), pre.errorsTruncated ? "+" : "",
                                    pre.errors.size() == 1 ? "" : "s"));
    }
    tool::Session session(m, sessionOptions(c));
    tool::ProgramRun run;
    std::vector<Row> rows;
    withSession(session, [&] {
        session.open();
        rows.push_back({"controller", session.controllerDescription()});
        rows.push_back({"firmware", session.firmware()});
        session.configure();
        if (c.home) session.homeAll();
        session.clearHistory();
        tool::RunOptions options = c.program;
        options.exactTimes = session.simulated() && c.speed <= 0.0;
        run = tool::runProgram(session, m, text, file, options, &pre, Vec6{});
        session.disconnect();
        session.close();
    });
    rows.push_back({"program", fmt::format("{} ({} moves; planned {:.2f} s, feed-limited bound {:.2f} s)", file, run.plan.pieces.size(),
                                           run.plan.seconds(), run.plan.feedBoundSeconds)});
    addStreamRows(rows, m, run.stats, m.bufferSize);
    addErrorRows(rows, session);
    rows.push_back({"check", run.check.summary()});
    for (const std::string& p : run.check.problems) rows.push_back({"", p});
    if (!run.stoppedAt.empty()) rows.push_back({"stopped", run.stoppedAt});
    rows.push_back({"time", fmt::format("{:.2f} s on the {} clock, {:.2f} s wall", run.controllerSeconds,
                                        session.simulated() ? "controller's" : "host's", run.wallSeconds)});
    writePlot(session, c.plot, fmt::format("telvo run {}", file));
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    bool ended = run.stoppedAt.empty() ? run.stats.endReached : true;
    return ended && run.check.ok() && session.protocolErrors().empty() ? 0 : kExitError;
}

int cmdRun(const Common& c, const std::string& file, const std::string& format) {
    bool csv = format == "csv" || (format == "auto" && file.size() >= 4 && file.substr(file.size() - 4) == ".csv");
    if (!csv) return cmdRunGcode(c, file);
    tool::Machine m = loadMachine(c);
    tool::Session session(m, sessionOptions(c));
    tool::StreamStats stats;
    tool::Trajectory trajectory;
    std::vector<Row> rows;
    withSession(session, [&] {
        session.open();
        rows.push_back({"controller", session.controllerDescription()});
        rows.push_back({"firmware", session.firmware()});
        session.configure();
        // Check the program before anything moves, from where it will start:
        // here, or the home position (all counters 0).
        (void)loadProgram(file, format, m, c.home ? Vec6{} : session.positionSteps());
        if (c.home) session.homeAll();
        trajectory = loadProgram(file, format, m, session.positionSteps());
        if (!c.quiet) fmt::print("running {}: {} segments, {:.1f} s of motion\n", file, trajectory.targets.size(), trajectory.seconds());
        (void)std::fflush(stdout);
        stats = session.stream(trajectory, "run");
        session.disconnect();
        session.close();
    });
    rows.push_back({"program", fmt::format("{} ({:.1f} s of motion)", file, trajectory.seconds())});
    addStreamRows(rows, m, stats, m.bufferSize);
    addErrorRows(rows, session);
    rows.push_back({"time", fmt::format("{:.1f} s on the {} clock, {:.1f} s wall", stats.controllerSeconds,
                                        session.simulated() ? "controller's" : "host's", stats.wallSeconds)});
    writePlot(session, c.plot, fmt::format("telvo run {}", file));
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    return stats.endReached && session.protocolErrors().empty() ? 0 : kExitError;
}

int cmdDemo(Common c, bool noPlot) {
    if (noPlot) c.plot.clear();
    tool::Machine m = loadMachine(c);
    tool::Session session(m, sessionOptions(c));
    tool::StreamStats stats;
    tool::ProbeOutcome probe;
    std::vector<Row> rows;
    double start = 0.0;
    withSession(session, [&] {
        session.open();
        rows.push_back({"controller", session.controllerDescription()});
        rows.push_back({"firmware", session.firmware()});
        fmt::print("controller {} (firmware {})\n", session.controllerDescription(), session.firmware());
        session.configure();
        start = session.now();
        fmt::print("homing {}\n", m.axisList());
        (void)std::fflush(stdout);
        session.homeAll();

        tool::GcodeContext context;
        context.mmPerUnit = m.mmPerUnit();
        Vec6 here = session.positionSteps();
        for (int a = 0; a < tool::kAxisCount; ++a) {
            context.configured[a] = m.axes[a].configured;
            context.slaveOf[a] = m.axes[a].slaveOf;
            context.start[a] = m.axes[a].configured ? here[a] / m.axes[a].stepsPerUnit : 0.0;
        }
        tool::Program program;
        try {
            program = tool::parseGcode(tool::kDemoProgram, context);
        } catch (const tool::LineError& e) {
            throw ToolError(fmt::format("built-in demo program: {}", e.what()));
        }
        tool::Trajectory trajectory = tool::interpolate(program, here, m.limits());
        fmt::print("running the demo part: {} moves, {} segments, {:.1f} s of motion\n", program.moves.size(),
                   trajectory.targets.size(), trajectory.seconds());
        (void)std::fflush(stdout);
        stats = session.stream(trajectory, "part");

        Vec6 probeStart = session.positionSteps(), probeEnd = probeStart;
        for (int a = 0; a < 3; ++a) {
            if (!m.axes[a].configured) continue;
            probeStart[a] = tool::kDemoProbe.start[a] * m.axes[a].stepsPerUnit;
            probeEnd[a] = tool::kDemoProbe.end[a] * m.axes[a].stepsPerUnit;
        }
        fmt::print("probing from {} towards {}\n", unitsText(m, probeStart), unitsText(m, probeEnd));
        (void)std::fflush(stdout);
        probe = session.probe(probeStart, probeEnd, tool::kDemoProbe.speed);
        // Back up to where the probing move began.
        session.stream(tool::straightMove(session.positionSteps(), probeStart, m.limits()), "retract");
        session.disconnect();
        session.close();
    });
    rows.push_back({"program", fmt::format("built-in demo part ({:.1f} s of motion)", static_cast<double>(stats.segments) / 1000.0)});
    addStreamRows(rows, m, stats, m.bufferSize);
    rows.push_back({"probe", probeText(m, probe)});
    addErrorRows(rows, session);
    rows.push_back({"time", fmt::format("{:.1f} s on the {} clock", session.now() - start,
                                        session.simulated() ? "controller's" : "host's")});
    writePlot(session, c.plot, "telvo demo: built-in machine and part");
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    return stats.endReached && session.protocolErrors().empty() ? 0 : kExitError;
}

int cmdProbe(Common c, const std::string& from, const std::string& to, double velocity, const std::string& surface) {
    tool::Machine m = loadMachine(c);
    if (!surface.empty()) {
        size_t eq = surface.find('=');
        if (eq == std::string::npos) throw ToolError("--surface: give AXIS=POSITION, e.g. z=-2.5");
        int axis = parseAxis(surface.substr(0, eq));
        requireAxis(m, axis);
        char* end = nullptr;
        double at = std::strtod(surface.c_str() + eq + 1, &end);
        if (*end != '\0' || eq + 1 == surface.size()) throw ToolError("--surface: '" + surface.substr(eq + 1) + "' is not a number");
        m.simulator.surface = {true, axis, at, m.simulator.surface.enabled ? m.simulator.surface.direction : -1};
    }
    if (!(velocity > 0.0) || !std::isfinite(velocity)) throw ToolError("--velocity must be above 0");
    tool::Session session(m, sessionOptions(c));
    tool::ProbeOutcome outcome;
    std::vector<Row> rows;
    withSession(session, [&] {
        session.open();
        rows.push_back({"controller", session.controllerDescription()});
        session.configure();
        if (c.home) session.homeAll();
        Vec6 here = session.positionSteps();
        Vec6 start = parsePoint(from, m, here, "--start");
        Vec6 end = parsePoint(to, m, start, "--end");
        rows.push_back({"probing move", fmt::format("{} -> {} at {:g} {}/s", unitsText(m, start), unitsText(m, end), velocity, m.units)});
        outcome = session.probe(start, end, velocity);
        session.stream(tool::straightMove(session.positionSteps(), start, m.limits()), "retract");
        session.disconnect();
        session.close();
    });
    rows.push_back({"probe", probeText(m, outcome)});
    addErrorRows(rows, session);
    writePlot(session, c.plot, "telvo probe");
    session.finishTrace();
    printTable("Probe", rows);
    return outcome.triggered ? 0 : kExitError;
}

int cmdHome(const Common& c, const std::string& axisName) {
    tool::Machine m = loadMachine(c);
    bool all = axisName == "all";
    int axis = all ? -1 : parseAxis(axisName);
    if (!all) requireAxis(m, axis);
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        session.configure();
        if (all) session.homeAll();
        else session.home(axis);
        fmt::print("homed {}; position {}\n", all ? m.axisList() : std::string(1, tool::kAxisLetters[axis]),
                   unitsText(m, session.positionSteps()));
        session.disconnect();
        session.close();
        session.finishTrace();
    });
    return 0;
}

int cmdJog(const Common& c, const std::string& axisName, double velocity, double seconds) {
    tool::Machine m = loadMachine(c);
    int axis = parseAxis(axisName);
    requireAxis(m, axis);
    if (m.axes[axis].slaveOf) throw ToolError(fmt::format("axis {} follows another axis and is not jogged on its own", tool::kAxisLetters[axis]));
    if (!(seconds > 0.0) || !std::isfinite(seconds)) throw ToolError("--time must be above 0");
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        session.configure();
        Vec6 before = session.positionSteps();
        session.jog(axis, velocity, seconds);
        Vec6 after = session.positionSteps();
        fmt::print("jogged {} by {:.3f} {}; position {}\n", tool::kAxisLetters[axis],
                   (after[axis] - before[axis]) / m.axes[axis].stepsPerUnit, m.units, unitsText(m, after));
        session.disconnect();
        session.close();
        session.finishTrace();
    });
    return 0;
}

int cmdStatus(const Common& c, double seconds, double everyMs) {
    tool::Machine m = loadMachine(c);
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        fmt::print("controller {} (firmware {})\n", session.controllerDescription(), session.firmware());
        (void)std::fflush(stdout);
        session.watch(seconds, everyMs, [&](const tool::StatusFields& s, double t) {
            std::string position;
            for (int a = 0; a < tool::kAxisCount; ++a) {
                if (m.axes[a].configured) {
                    position += fmt::format(" {} {:9.3f}", tool::kAxisLetters[a],
                                            s.position[static_cast<size_t>(a)] / static_cast<double>(m.axes[a].stepsPerUnit));
                }
            }
            fmt::print("{:9.3f} s  state {} event {} flags 0x{:02X} {}  buffer {:4}  tag {}  rpm {:.1f}\n", t, s.state, s.event,
                       s.flags, position, s.bufferLevel, s.segmentTag, s.spindleRpm);
            (void)std::fflush(stdout);
        });
        session.close();
        session.finishTrace();
    });
    return 0;
}

int cmdDecode(const std::string& file, bool brief) {
    tool::TraceFile trace = tool::readTraceFile(file);
    std::string text = tool::decodeTrace(trace, brief);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) throw ToolError("could not write the decoded trace");
    return 0;
}

int cmdMachine(const std::string& file) {
    if (file.empty()) {
        fmt::print("{}", tool::kDefaultMachineToml);
        return 0;
    }
    tool::Machine m = tool::loadMachineFile(file);
    fmt::print("{}: {}{}units {}, controller buffer {}\n", file, m.name, m.name.empty() ? "" : ", ", m.units, m.bufferSize);
    for (int a = 0; a < tool::kAxisCount; ++a) {
        const tool::AxisSettings& s = m.axes[a];
        if (!s.configured) continue;
        fmt::print("  {}: {} steps/{}, max {:g} {}/s, acceleration {:g} {}/s^2{}\n", tool::kAxisLetters[a], s.stepsPerUnit, m.units,
                   static_cast<double>(s.maxVelocity) / s.stepsPerUnit, m.units, static_cast<double>(s.acceleration) / s.stepsPerUnit,
                   m.units, s.slaveOf ? fmt::format(", follows {}", tool::kAxisLetters[s.slaveOf - 1]) : "");
    }
    return 0;
}

void addMachineOption(CLI::App* sub, Common& c) {
    sub->add_option("-m,--machine", c.machineFile, "Machine file (TOML); default: the built-in machine")->check(CLI::ExistingFile);
}

void addRunOptions(CLI::App* sub, Common& c, double defaultSpeed) {
    addMachineOption(sub, c);
    c.speed = defaultSpeed;
    sub->add_option("-s,--speed", c.speed,
                    "Simulated controller's clock: times real time; 0 = as fast as possible, stepped by the tool")
        ->check(CLI::Range(0.0, 1000.0))
        ->capture_default_str();
    sub->add_option("-t,--trace", c.trace, "Record packets, blocks and status records to FILE (read with `telvo decode`)");
    sub->add_flag("-q,--quiet", c.quiet, "No progress line");
}

}  // namespace

namespace {

int runTool(int argc, char** argv) {
    CLI::App app{"telvo: drive a motion controller through the telvo library", "telvo"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "telvo tool 1.0");

    // One set of common options per subcommand: their defaults differ.
    Common infoC, runC, probeC, homeC, jogC, statusC, demoC;
    std::string file, format = "auto", from, to, surface, axis;
    double velocity = 0.0, seconds = 1.0, everyMs = 100.0;
    bool brief = false, noPlot = false;

    CLI::App* info = app.add_subcommand("info", "Open the controller, print its firmware version, close");
    addMachineOption(info, infoC);
    info->add_option("-t,--trace", infoC.trace, "Record what was exchanged to FILE");

    CLI::App* run = app.add_subcommand("run", "Configure the machine, stream a part program (G-code or CSV of 1 ms targets), report");
    run->add_option("FILE", file, "Part program: G-code, or .csv of 1 ms targets in steps")->required()->check(CLI::ExistingFile);
    addRunOptions(run, runC, 1.0);
    run->add_option("--format", format, "auto (by extension), gcode or csv")->check(CLI::IsMember({"auto", "gcode", "csv"}));
    run->add_option("-p,--plot", runC.plot, "Write the toolpath and buffer plot to FILE.svg");
    run->add_flag("--home", runC.home, "Home all axes before running");
    run->add_flag("--block-delete", runC.program.blockDelete, "Skip the lines that start with '/'");
    run->add_flag("--stop-at-pause", runC.program.stopAtPause, "End the run at M0/M1 (default: log them and go on)");
    run->add_flag("--pause-at-tool-change", runC.program.pauseAtToolChange, "Wait for Enter at every tool change (M6)");

    CLI::App* probe = app.add_subcommand("probe", "Run a probing move and report the trigger position");
    addRunOptions(probe, probeC, 1.0);
    probe->add_option("--start", from, "Start point X,Y,Z[,A,B,C] in machine units (missing axes: where they are)")->required();
    probe->add_option("--end", to, "End point X,Y,Z[,A,B,C] in machine units (missing axes: as the start)")->required();
    probe->add_option("-v,--velocity", velocity, "Probing speed, machine units per second")->required();
    probe->add_option("--surface", surface, "Simulated controller only: probe surface AXIS=POSITION, e.g. z=-2.5");
    probe->add_option("-p,--plot", probeC.plot, "Write the plot to FILE.svg");
    probe->add_flag("--home", probeC.home, "Home all axes first");

    CLI::App* home = app.add_subcommand("home", "Home one axis (x, y, z, a, b, c) or all");
    home->add_option("AXIS", axis, "x, y, z, a, b, c or all")->required();
    addRunOptions(home, homeC, 1.0);

    CLI::App* jog = app.add_subcommand("jog", "Jog one axis for a while");
    jog->add_option("AXIS", axis, "x, y, z, a, b or c")->required();
    jog->add_option("-v,--velocity", velocity, "Machine units per second; negative jogs backwards")->required();
    jog->add_option("--time", seconds, "Seconds of jogging")->capture_default_str();
    addRunOptions(jog, jogC, 1.0);

    CLI::App* status = app.add_subcommand("status", "Watch the controller's status records live");
    status->add_option("--time", seconds, "Seconds to watch; 0 = until interrupted")->capture_default_str();
    status->add_option("--every", everyMs, "Milliseconds between printed records")->capture_default_str();
    addRunOptions(status, statusC, 1.0);

    CLI::App* demo = app.add_subcommand("demo", "Configure the built-in machine, home, run the built-in part, probe, report and plot");
    addRunOptions(demo, demoC, kDemoSpeed);
    demoC.plot = kDemoPlot;
    demo->add_option("-p,--plot", demoC.plot, "Plot file")->capture_default_str();
    demo->add_flag("--no-plot", noPlot, "Write no plot");

    CLI::App* decode = app.add_subcommand("decode", "Print a trace file decoded");
    decode->add_option("FILE", file, "Trace written with --trace")->required()->check(CLI::ExistingFile);
    decode->add_flag("--brief", brief, "One line per motion block instead of one per segment");

    CLI::App* machine = app.add_subcommand("machine", "Print the built-in machine file, or check one and show what it configures");
    machine->add_option("FILE", file, "Machine file to check")->check(CLI::ExistingFile);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        fmt::print(stderr, "telvo: error: {} (see telvo --help)\n", message);
        return kExitUsage;
    }

    (void)std::signal(SIGINT, onSignal);
    (void)std::signal(SIGTERM, onSignal);
    try {
        if (*info) return cmdInfo(infoC);
        if (*run) return cmdRun(runC, file, format);
        if (*probe) return cmdProbe(probeC, from, to, velocity, surface);
        if (*home) return cmdHome(homeC, axis);
        if (*jog) return cmdJog(jogC, axis, velocity, seconds);
        if (*status) return cmdStatus(statusC, seconds, everyMs);
        if (*demo) return cmdDemo(demoC, noPlot);
        if (*decode) return cmdDecode(file, brief);
        if (*machine) return cmdMachine(file);
    } catch (const tool::Interrupted&) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "\ntelvo: interrupted; machine stopped and controller released\n");
        return kExitInterrupted;
    } catch (const std::exception& e) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "telvo: error: {}\n", e.what());
        return kExitError;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing escapes as a crash, not even a failure to set up the parser.
    try {
        return runTool(argc, argv);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "telvo: error: %s\n", e.what());
    } catch (...) {
        (void)std::fprintf(stderr, "telvo: error: unexpected failure\n");
    }
    return kExitError;
}
