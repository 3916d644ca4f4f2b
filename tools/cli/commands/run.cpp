// telvo run FILE: check a part program, configure the machine, run it
// (interpreter, planner, direct commands, checker) or stream a CSV of 1 ms
// targets, report.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define TELVO_ISATTY _isatty
#define TELVO_FILENO _fileno
#else
#include <poll.h>
#include <unistd.h>
#define TELVO_ISATTY isatty
#define TELVO_FILENO fileno
#endif

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

#include "files/csv.h"
#include "engine/runner.h"
#include "files/targetdump.h"
#include "plan/trajectory.h"
#include "cli/commands/terminal.h"
#include "engine/engine.h"
#include "files/plot.h"

namespace telvo::tool {
namespace {

// Opens the controller and configures the machine; the summary's first rows.
void openMachine(tool::Session& session, std::vector<Row>& rows) {
    session.open();
    rows.push_back({"controller", session.controllerDescription()});
    rows.push_back({"firmware", session.firmware()});
    session.configure();
}

// What a run adds to the summary that every run has.
struct Outcome {
    std::string program;  // the "program" row
    tool::StreamStats stats;
    std::vector<Row> check;  // after the error rows
    double controllerSeconds = 0.0, wallSeconds = 0.0;
    bool passed = false;  // ended where it should and passed its own checks
};

// The summary, plot and trace of a run; the exit code.
int finish(tool::Session& session, const tool::Machine& m, const CommonOptions& c,
           const std::string& file, std::vector<Row>& rows, const Outcome& o) {
    rows.push_back({"program", o.program});
    addStreamRows(rows, m, o.stats, m.bufferSize);
    addErrorRows(rows, session);
    rows.insert(rows.end(), o.check.begin(), o.check.end());
    rows.push_back(
        {"time", fmt::format("{:.2f} s on the {} clock, {:.2f} s wall", o.controllerSeconds,
                             session.simulated() ? "controller's" : "host's", o.wallSeconds)});
    writePlot(session, c.plot, fmt::format("telvo run {}", file));
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    return o.passed && session.protocolErrors().empty() ? 0 : kExitError;
}

// What a run shows while it goes: messages and prompts, a progress line,
// and what the plot and the targets file keep. The plot keeps a bounded
// number of points: every k-th, k doubling whenever it fills up.
class RunMonitor : public EngineObserver {
public:
    RunMonitor(const Machine& m, const CommonOptions& c, const std::string& file,
               tool::TargetDump* dump)
        : m_(m),
          file_(file),
          dump_(dump),
          live_(!c.quiet && TELVO_ISATTY(TELVO_FILENO(stderr))),
          lines_(!c.quiet && !live_) {
        plot_.units = m.units;
        plot_.bufferSize = m.bufferSize;
    }

    void onEvent(const EngineEvent& e) override {
        clearLive();
        std::string where = e.line > 0 ? fmt::format("{}:{}: ", file_, e.line) : "";
        switch (e.kind) {
            case EngineEvent::Kind::Message:
                fmt::print("{}{}{}\n", where, e.line > 0 ? "message: " : "", e.text);
                break;
            case EngineEvent::Kind::Action:
                fmt::print("{}{}\n", where, e.text);
                break;
            case EngineEvent::Kind::Pause:
                waiting_ = true;
                fmt::print("{}{}: press Enter to go on (Ctrl-C: stop)\n", where, e.text);
                break;
            case EngineEvent::Kind::ToolChange:
                waiting_ = true;
                fmt::print("  load tool {} and press Enter to go on (Ctrl-C: stop)\n", e.tool);
                break;
            case EngineEvent::Kind::Error:
                fmt::print(stderr, "{}{}\n", where, e.text);
                break;
            case EngineEvent::Kind::Finished:
                fmt::print("{}{}\n", where, e.text);
                break;
        }
        (void)std::fflush(stdout);
    }
    void onSample(const Sample& s) override {
        if (dump_) dump_->row(s);
        if (++sampleCount_ % sampleStride_ == 0) {
            plot_.commanded.push_back({units(s.steps, 0), units(s.steps, 1)});
            plot_.commandedRapid.push_back(s.rapid ? 1 : 0);
            if (plot_.commanded.size() >= kPlotPoints) {
                thin(plot_.commanded);
                thin(plot_.commandedRapid);
                sampleStride_ *= 2;
            }
        }
    }
    void onFrame(const StatusFields& f, double seconds) override {
        if (++frameCount_ % frameStride_ != 0) return;
        Vec6 steps{};
        for (int a = 0; a < kAxisCount; ++a) steps[a] = f.position[static_cast<size_t>(a)];
        plot_.executed.push_back({units(steps, 0), units(steps, 1)});
        plot_.bufferLevel.push_back({seconds, static_cast<double>(f.bufferLevel)});
        if (plot_.executed.size() >= kPlotPoints) {
            thin(plot_.executed);
            thin(plot_.bufferLevel);
            frameStride_ *= 2;
        }
    }

    // The progress line: in place on a terminal, one line per tenth otherwise.
    void progress(const EngineStatus& st, bool final) {
        if (!live_ && !lines_) return;
        double total = st.estimate > 0.0 ? st.estimate : 1.0;
        double percent = std::clamp(100.0 * st.elapsed / total, 0.0, 100.0);
        if (final) percent = 100.0;
        auto now = std::chrono::steady_clock::now();
        int decile = static_cast<int>(percent / 10.0);
        if (live_ && !final && now - lastShown_ < std::chrono::milliseconds(100)) return;
        if (lines_ && !final && decile == lastDecile_) return;
        lastShown_ = now;
        lastDecile_ = decile;
        std::string position;
        for (int a = 0; a < kAxisCount; ++a)
            if (m_.axes[a].configured)
                position += fmt::format(" {} {:.3f}", kAxisLetters[a], st.machine[a]);
        std::string line = fmt::format(
            "run [{:5.1f}%] line {:<6} {:.1f} s  remaining {:.1f} s  buffer {:4}  feed {:3.0f}%  "
            "{}{}",
            percent, st.line, st.elapsed, std::max(0.0, total - st.elapsed), st.bufferLevel,
            st.feedOverride * 100.0, modeName(st.mode), position);
        if (live_) {
            width_ = std::max(width_, line.size());
            fmt::print(stderr, "\r{:<{}}", line, width_);
            if (final) fmt::print(stderr, "\n"), width_ = 0;
        } else {
            fmt::print(stderr, "{}\n", line);
        }
        (void)std::fflush(stderr);
    }
    void clearLive() {
        if (live_ && width_ > 0) {
            fmt::print(stderr, "\r{:<{}}\r", "", width_);
            (void)std::fflush(stderr);
        }
    }

    PlotData& plot() { return plot_; }
    bool waiting_ = false;

private:
    static constexpr size_t kPlotPoints = 200000;
    template <typename T>
    static void thin(std::vector<T>& v) {
        size_t k = 0;
        for (size_t i = 0; i < v.size(); i += 2) v[k++] = v[i];
        v.resize(k);
    }
    double units(const Vec6& steps, int a) const {
        return m_.axes[a].configured ? steps[a] / m_.axes[a].stepsPerUnit : 0.0;
    }

    const Machine& m_;
    std::string file_;
    tool::TargetDump* dump_;
    bool live_, lines_;
    PlotData plot_;
    uint64_t sampleCount_ = 0, frameCount_ = 0, sampleStride_ = 1, frameStride_ = 1;
    std::chrono::steady_clock::time_point lastShown_{};
    int lastDecile_ = -1;
    size_t width_ = 0;
};

// Waits for the operator at a pause or a tool change: Enter or Space on a
// terminal, a line on a pipe; false when the input ended without one.
class OperatorInput {
public:
    explicit OperatorInput(TerminalKeys& keys) : keys_(keys) {}
    // -1: nothing yet, 0: the input ended, else the key.
    int poll() {
        if (keys_.active()) return keys_.poll();
        if (ended_) return 0;
#if defined(_WIN32)
        int c = std::fgetc(stdin);
        if (c == EOF) ended_ = true;
        return c == EOF ? 0 : c;
#else
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return -1;
        char c = 0;
        ssize_t n = ::read(0, &c, 1);
        if (n <= 0) {
            ended_ = true;
            return 0;
        }
        return c;
#endif
    }

private:
    TerminalKeys& keys_;
    bool ended_ = false;
};

// A G-code program: read whole before the controller is opened (the
// problems that do not depend on where the machine stands), then through
// the engine, which checks it again from where the machine stands and
// streams it. On a terminal: Space holds and resumes, + and - change the
// feed override by 10 %, Ctrl-C stops with deceleration, a second Ctrl-C
// aborts.
int runGcode(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    tool::Machine m = loadMachine(c);
    GcodeSetup setup = m.gcodeSetup();
    setup.blockDelete = args.program.blockDelete;
    ProgramCheck pre = Engine::read(file, setup);
    if (!pre.ok()) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}", tool::formatDiagnostics(pre.errors, file, pre.truncated));
        throw ToolError(fmt::format("{}: {}{} problem{}; nothing was run", file, pre.errors.size(),
                                    pre.truncated ? "+" : "", pre.errors.size() == 1 ? "" : "s"));
    }
    std::optional<tool::TargetDump> dump;
    if (!args.targets.empty()) dump.emplace(args.targets, m);
    TerminalKeys keys;
    OperatorInput input(keys);
    EngineOptions eo;
    eo.speed = c.speed;
    eo.tracePath = c.trace;
    eo.requireSimulator = c.controller == ControllerChoice::Sim;
    eo.blockDelete = args.program.blockDelete;
    eo.pauses = args.program.stopAtPause
                    ? PauseBehaviour::End
                    : (keys.active() ? PauseBehaviour::Wait : PauseBehaviour::GoOn);
    eo.toolChanges = args.program.pauseAtToolChange ? PauseBehaviour::Wait : PauseBehaviour::GoOn;
    Engine engine(m, eo);
    RunMonitor monitor(m, c, file, dump ? &*dump : nullptr);
    engine.addObserver(&monitor);
    std::vector<Row> rows;
    bool interrupted = false;
    auto until = [&](const std::function<bool()>& done) {
        while (!done()) {
            engine.advance();
            engine.sleepUntilNextCycle();
            if (stopRequests() > 0) throw Interrupted();
        }
    };
    try {
        engine.open();
        rows.push_back({"controller", engine.controllerDescription()});
        rows.push_back({"firmware", engine.firmware()});
        if (c.home) {
            std::string why = engine.home(-1);
            if (!why.empty()) throw ToolError(why);
            until([&] { return engine.status().mode != EngineMode::Homing; });
        }
        if (dump) {
            Vec6 start{};
            for (int a = 0; a < kAxisCount; ++a)
                start[a] = m.axes[a].configured
                               ? std::round(engine.status().machine[a] * m.axes[a].stepsPerUnit)
                               : 0.0;
            dump->begin(start);
        }
        ProgramCheck here = engine.check(file);
        if (!here.ok()) {
            (void)std::fflush(stdout);
            fmt::print(stderr, "{}", tool::formatDiagnostics(here.errors, file, here.truncated));
            throw ToolError(fmt::format(
                "{}: the program leaves the machine's travel from where the machine stands; "
                "nothing was run",
                file));
        }
        for (const Diagnostic& n : here.notes)
            fmt::print("{}:{}: note: {}\n", file, n.line, n.message);
        fmt::print(
            "{}: {} moves: {:.2f} s of motion and dwells planned (feed-limited bound {:.2f} s)\n",
            file, here.moves, here.seconds, here.feedBoundSeconds);
        (void)std::fflush(stdout);
        std::string why = engine.run(file);
        if (!why.empty()) throw ToolError(why);
        int stops = 0;
        while (engine.status().mode != EngineMode::Idle &&
               engine.status().mode != EngineMode::Fault) {
            engine.advance();
            monitor.progress(engine.status(), false);
            // Ctrl-C: stop with deceleration, then abort.
            int requests = stopRequests();
            if (requests > stops) {
                stops = requests;
                interrupted = true;
                monitor.clearLive();
                if (stops == 1) {
                    fmt::print(stderr, "stopping: decelerating to rest (Ctrl-C again aborts)\n");
                    (void)engine.stop();
                } else {
                    fmt::print(stderr, "aborted\n");
                    (void)engine.abort();
                }
            }
            EngineMode mode = engine.status().mode;
            int key = keys.active() || mode == EngineMode::Paused ? input.poll() : -1;
            if (mode == EngineMode::Paused && key == 0) {
                monitor.clearLive();
                bool tool = engine.status().waiting == WaitReason::ToolChange;
                int line = engine.status().line;
                (void)engine.stop();
                throw ToolError(fmt::format("{}:{}: stopped at the {} (no answer on the input)",
                                            file, line, tool ? "tool change" : "pause"));
            }
            if (key == ' ' || key == '\n' || key == '\r') {
                if (mode == EngineMode::Running)
                    (void)engine.hold();
                else if (mode == EngineMode::Held || mode == EngineMode::Paused ||
                         mode == EngineMode::Holding)
                    (void)engine.resume();
            } else if (key == '+' || key == '=') {
                (void)engine.setFeedOverride(std::min(2.0, engine.status().feedOverride + 0.1));
            } else if (key == '-') {
                (void)engine.setFeedOverride(std::max(0.1, engine.status().feedOverride - 0.1));
            }
            engine.sleepUntilNextCycle();
        }
        monitor.progress(engine.status(), true);
        engine.close();
    } catch (...) {
        engine.close();
        throw;
    }
    if (dump) dump->close();
    const JobReport& r = engine.lastReport();
    rows.push_back({"program", fmt::format("{} ({} moves; planned {:.2f} s)", file, pre.moves,
                                           engine.status().estimate)});
    rows.push_back({"segments sent", fmt::format("{}", r.segments)});
    rows.push_back(
        {"segments executed", r.executed >= 0 ? fmt::format("{}", r.executed) : std::string("-")});
    rows.push_back({"motion blocks", fmt::format("{}", r.blocks)});
    rows.push_back(
        {"buffer level",
         fmt::format("{}, highest {}, of {}{}",
                     r.lowestLevel < 0 ? std::string("lowest -")
                                       : fmt::format("lowest {} once at depth", r.lowestLevel),
                     r.highestLevel, m.bufferSize,
                     r.underruns ? fmt::format(" ({} frames ran empty)", r.underruns) : "")});
    std::array<long long, kAxisCount> final{};
    for (int a = 0; a < kAxisCount; ++a) final[a] = r.finalPosition[a];
    rows.push_back({"final position", stepsText(m, final) + " steps"});
    rows.push_back({"program end point", stepsText(m, r.expectedEnd) + " steps"});
    bool stopped = r.ended != "program finished";
    rows.push_back(
        {"end point reached", stopped ? "no: the run was stopped" : (r.endReached ? "yes" : "NO")});
    std::vector<std::string> errors = engine.protocolErrors();
    rows.push_back({"protocol errors", engine.simulated()
                                           ? fmt::format("{}", errors.size())
                                           : std::string("not available (real controller)")});
    for (size_t i = 0; i < errors.size() && i < 5; ++i) rows.push_back({"", errors[i]});
    rows.push_back({"check", r.check.summary()});
    for (const std::string& p : r.check.problems) rows.push_back({"", p});
    if (stopped)
        rows.push_back({"stopped", r.ended.find(" line ") != std::string::npos
                                       ? r.ended
                                       : fmt::format("{} at line {}", r.ended, r.line)});
    rows.push_back(
        {"time", fmt::format("{:.2f} s on the {} clock, {:.2f} s wall", r.controllerSeconds,
                             engine.simulated() ? "controller's" : "host's", r.wallSeconds)});
    if (!c.plot.empty()) {
        monitor.plot().title = fmt::format("telvo run {}", file);
        writeTextFile(c.plot, renderPlot(monitor.plot()));
        rows.push_back({"plot", c.plot});
    }
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    if (dump) rows.push_back({"targets", args.targets});
    printTable("Summary", rows);
    if (interrupted) {
        fmt::print(stderr, "telvo: interrupted; machine stopped and controller released\n");
        return kExitInterrupted;
    }
    bool passed = (stopped ? !r.failed : r.endReached) && r.check.ok() && errors.empty();
    return passed ? 0 : kExitError;
}

// A CSV of 1 ms targets: read and checked among themselves (and from the
// home position when the run homes) before the controller is opened, then
// from where the controller stands before anything moves.
int runCsv(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    if (!args.targets.empty()) throw ToolError("--targets applies to G-code programs, not CSV");
    tool::Machine m = loadMachine(c);
    tool::MotionLimits limits = m.limits();
    std::string text = readFile(file);
    tool::CsvTargets targets;
    auto fromHere = [&](const Vec6& startSteps) {
        try {
            return tool::csvTrajectory(targets, startSteps, limits);
        } catch (const tool::LineError& e) {
            throw ToolError(fmt::format("{}:{}: {}", file, e.line(), e.message()));
        }
    };
    try {
        targets = tool::parseCsvTargets(text, limits);
    } catch (const tool::LineError& e) {
        throw ToolError(fmt::format("{}:{}: {}", file, e.line(), e.message()));
    }
    if (c.home) (void)fromHere(Vec6{});  // homing ends with all counters 0
    tool::Session session(m, sessionOptions(c));
    tool::Trajectory trajectory;
    tool::StreamStats stats;
    std::vector<Row> rows;
    withSession(session, [&] {
        openMachine(session, rows);
        if (c.home) session.homeAll();
        trajectory = fromHere(session.positionSteps());
        if (!c.quiet)
            fmt::print("running {}: {} segments, {:.1f} s of motion\n", file,
                       trajectory.targets.size(), trajectory.seconds());
        (void)std::fflush(stdout);
        stats = session.stream(trajectory, "run");
        session.disconnect();
        session.close();
    });
    Outcome o;
    o.program = fmt::format("{} ({:.1f} s of motion)", file, trajectory.seconds());
    o.stats = stats;
    o.controllerSeconds = stats.controllerSeconds;
    o.wallSeconds = stats.wallSeconds;
    o.passed = stats.endReached;
    return finish(session, m, c, file, rows, o);
}

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    const std::string& format = args.format;
    bool csv = format == "csv" ||
               (format == "auto" && file.size() >= 4 && file.substr(file.size() - 4) == ".csv");
    return csv ? runCsv(c, args) : runGcode(c, args);
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "Part program: G-code, or .csv of 1 ms targets in steps")
        ->required()
        ->check(CLI::ExistingFile);
    sub.add_option("--format", a.format, "auto (by extension), gcode or csv")
        ->check(CLI::IsMember({"auto", "gcode", "csv"}));
    sub.add_option("--targets", a.targets,
                   "Write every 1 ms target sent, with its program line, to FILE (G-code)");
    sub.add_flag("--block-delete", a.program.blockDelete, "Skip the lines that start with '/'");
    sub.add_flag("--stop-at-pause", a.program.stopAtPause,
                 "End the run at M0/M1 (default: log them and go on)");
    sub.add_flag("--pause-at-tool-change", a.program.pauseAtToolChange,
                 "Wait for Enter at every tool change (M6)");
}

}  // namespace

const Command kRunCommand = {
    "run",
    "Check a part program, configure the machine, run it (G-code, or a CSV of 1 ms targets), "
    "report",
    {kMachineOption | kControllerOption | kTraceOption | kClockOptions | kPlotOption | kHomeOption},
    options,
    run};

}  // namespace telvo::tool
