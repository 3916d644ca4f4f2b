// telvo run FILE: check a part program, configure the machine, run it
// (interpreter, planner, direct commands, checker) or stream a CSV of 1 ms
// targets, report.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/command.h"
#include "commands/summary.h"

#include "host/csv.h"
#include "host/runner.h"
#include "host/trajectory.h"

namespace telvo::tool {
namespace {

tool::Trajectory loadCsv(const std::string& path, const tool::Machine& m, const Vec6& startSteps) {
    std::string text = readFile(path);
    tool::MotionLimits limits = m.limits();
    try {
        return tool::csvTrajectory(tool::parseCsvTargets(text, limits), startSteps, limits);
    } catch (const tool::LineError& e) {
        throw ToolError(fmt::format("{}:{}: {}", path, e.line(), e.message()));
    }
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
        tool::RunOptions options = args.program;
        options.exactTimes = session.simulated() && c.speed <= 0.0;
        run = tool::runProgram(session, m, text, file, options, &pre, Vec6{});
        session.disconnect();
        session.close();
    });
    rows.push_back(
        {"program",
         fmt::format("{} ({} moves; planned {:.2f} s, feed-limited bound {:.2f} s)", file,
                     run.plan.pieces.size(), run.plan.seconds(), run.plan.feedBoundSeconds)});
    addStreamRows(rows, m, run.stats, m.bufferSize);
    addErrorRows(rows, session);
    rows.push_back({"check", run.check.summary()});
    for (const std::string& p : run.check.problems) rows.push_back({"", p});
    if (!run.stoppedAt.empty()) rows.push_back({"stopped", run.stoppedAt});
    rows.push_back(
        {"time", fmt::format("{:.2f} s on the {} clock, {:.2f} s wall", run.controllerSeconds,
                             session.simulated() ? "controller's" : "host's", run.wallSeconds)});
    writePlot(session, c.plot, fmt::format("telvo run {}", file));
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    bool ended = run.stoppedAt.empty() ? run.stats.endReached : true;
    return ended && run.check.ok() && session.protocolErrors().empty() ? 0 : kExitError;
}

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    const std::string& format = args.format;
    bool csv = format == "csv" ||
               (format == "auto" && file.size() >= 4 && file.substr(file.size() - 4) == ".csv");
    if (!csv) return runGcode(c, args);
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
        // Check the targets before anything moves, from where they will start:
        // here, or the home position (all counters 0).
        (void)loadCsv(file, m, c.home ? Vec6{} : session.positionSteps());
        if (c.home) session.homeAll();
        trajectory = loadCsv(file, m, session.positionSteps());
        if (!c.quiet)
            fmt::print("running {}: {} segments, {:.1f} s of motion\n", file,
                       trajectory.targets.size(), trajectory.seconds());
        (void)std::fflush(stdout);
        stats = session.stream(trajectory, "run");
        session.disconnect();
        session.close();
    });
    rows.push_back({"program", fmt::format("{} ({:.1f} s of motion)", file, trajectory.seconds())});
    addStreamRows(rows, m, stats, m.bufferSize);
    addErrorRows(rows, session);
    rows.push_back(
        {"time", fmt::format("{:.1f} s on the {} clock, {:.1f} s wall", stats.controllerSeconds,
                             session.simulated() ? "controller's" : "host's", stats.wallSeconds)});
    writePlot(session, c.plot, fmt::format("telvo run {}", file));
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    return stats.endReached && session.protocolErrors().empty() ? 0 : kExitError;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "Part program: G-code, or .csv of 1 ms targets in steps")
        ->required()
        ->check(CLI::ExistingFile);
    sub.add_option("--format", a.format, "auto (by extension), gcode or csv")
        ->check(CLI::IsMember({"auto", "gcode", "csv"}));
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
