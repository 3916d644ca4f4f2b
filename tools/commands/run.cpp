// telvo run FILE: check a part program, configure the machine, run it
// (interpreter, planner, direct commands, checker) or stream a CSV of 1 ms
// targets, report.
#include <fmt/format.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands/command.h"
#include "commands/summary.h"

#include "host/csv.h"
#include "host/runner.h"
#include "host/targetdump.h"
#include "host/trajectory.h"

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

// A G-code program: checked whole before the controller is opened, then run
// through the interpreter, the planner and the checker.
int runGcode(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    tool::Machine m = loadMachine(c);
    std::string text = readFile(file);
    // Position-independent problems: from machine zero (where homing ends).
    tool::Interpreted pre = tool::checkProgram(text, m, args.program, Vec6{});
    if (!pre.ok()) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}", tool::formatDiagnostics(pre.errors, file, pre.errorsTruncated));
        throw ToolError(fmt::format("{}: {}{} problem{}; nothing was run", file, pre.errors.size(),
                                    pre.errorsTruncated ? "+" : "",
                                    pre.errors.size() == 1 ? "" : "s"));
    }
    std::optional<tool::TargetDump> dump;
    if (!args.targets.empty()) dump.emplace(args.targets, m);
    tool::Session session(m, sessionOptions(c));
    tool::ProgramRun run;
    std::vector<Row> rows;
    withSession(session, [&] {
        openMachine(session, rows);
        if (c.home) session.homeAll();
        session.clearHistory();
        tool::RunOptions options = args.program;
        options.exactTimes = session.simulated() && c.speed <= 0.0;
        options.targets = dump ? &*dump : nullptr;
        run = tool::runProgram(session, m, text, file, options, &pre, Vec6{});
        session.disconnect();
        session.close();
    });
    if (dump) dump->close();
    Outcome o;
    o.program = fmt::format("{} ({} moves; planned {:.2f} s, feed-limited bound {:.2f} s)", file,
                            run.moves, run.plan.seconds(), run.plan.feedBoundSeconds);
    o.stats = run.stats;
    o.check.push_back({"check", run.check.summary()});
    for (const std::string& p : run.check.problems) o.check.push_back({"", p});
    if (!run.stoppedAt.empty()) o.check.push_back({"stopped", run.stoppedAt});
    o.controllerSeconds = run.controllerSeconds;
    o.wallSeconds = run.wallSeconds;
    // A run stopped at M0/M1 on request ends where it stopped.
    o.passed = (run.stoppedAt.empty() ? run.stats.endReached : true) && run.check.ok();
    if (dump) o.check.push_back({"targets", args.targets});
    return finish(session, m, c, file, rows, o);
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
