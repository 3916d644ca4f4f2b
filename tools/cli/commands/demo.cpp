// telvo demo: the built-in machine and part, homed, run, probed, summarised and
// plotted. The part runs the way `telvo run` runs a program: interpreter,
// planner, checker.
#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

#include "files/builtin.h"
#include "engine/runner.h"
#include "plan/trajectory.h"

namespace telvo::tool {
namespace {

constexpr double kDemoSpeed = 2.0;
const char* const kDemoPlot = "telvo-demo.svg";
// How the part is named in the tool's messages.
const char* const kDemoName = "built-in demo part";

int run(const CommonOptions& common, const Arguments& args) {
    CommonOptions c = common;
    if (args.noPlot) c.plot.clear();
    tool::Machine m = loadMachine(c);
    // The part is read whole before the controller is opened, from machine
    // zero, where homing ends; a machine file it does not fit is said here.
    tool::RunOptions options;
    tool::Interpreted pre = tool::checkProgram(tool::kDemoProgram, m, options, Vec6{});
    if (!pre.ok()) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}",
                   tool::formatDiagnostics(pre.errors, kDemoName, pre.errorsTruncated));
        throw ToolError(
            fmt::format("the {} does not fit this machine; nothing was run", kDemoName));
    }
    tool::Session session(m, sessionOptions(c));
    tool::ProgramRun part;
    tool::ProbeOutcome probe;
    std::vector<Row> rows;
    double start = 0.0;
    withSession(session, [&] {
        session.open();
        rows.push_back({"controller", session.controllerDescription()});
        rows.push_back({"firmware", session.firmware()});
        fmt::print("controller {} (firmware {})\n", session.controllerDescription(),
                   session.firmware());
        session.configure();
        start = session.now();
        fmt::print("homing {}\n", m.axisList());
        (void)std::fflush(stdout);
        session.homeAll();

        options.exactTimes = session.simulated() && c.speed <= 0.0;
        part = tool::runProgram(session, m, tool::kDemoProgram, kDemoName, options, &pre, Vec6{});

        Vec6 probeStart = session.positionSteps(), probeEnd = probeStart;
        for (int a = 0; a < 3; ++a) {
            if (!m.axes[a].configured) continue;
            probeStart[a] = tool::kDemoProbe.start[a] * m.axes[a].stepsPerUnit;
            probeEnd[a] = tool::kDemoProbe.end[a] * m.axes[a].stepsPerUnit;
        }
        fmt::print("probing from {} towards {}\n", unitsText(m, probeStart),
                   unitsText(m, probeEnd));
        (void)std::fflush(stdout);
        probe = session.probe(probeStart, probeEnd, tool::kDemoProbe.speed);
        // Back up to where the probing move began.
        session.stream(tool::straightMove(session.positionSteps(), probeStart, m.limits()),
                       "retract");
        session.disconnect();
        session.close();
    });
    rows.push_back(
        {"program",
         fmt::format("{} ({} moves; planned {:.2f} s, feed-limited bound {:.2f} s)", kDemoName,
                     part.moves, part.plan.seconds(), part.plan.feedBoundSeconds)});
    addStreamRows(rows, m, part.stats, m.bufferSize);
    rows.push_back({"probe", probeText(m, probe)});
    addErrorRows(rows, session);
    rows.push_back({"check", part.check.summary()});
    for (const std::string& p : part.check.problems) rows.push_back({"", p});
    rows.push_back({"time", fmt::format("{:.1f} s on the {} clock", session.now() - start,
                                        session.simulated() ? "controller's" : "host's")});
    writePlot(session, c.plot, "telvo demo: built-in machine and part");
    if (!c.plot.empty()) rows.push_back({"plot", c.plot});
    if (!c.trace.empty()) rows.push_back({"trace", c.trace});
    session.finishTrace();
    printTable("Summary", rows);
    return part.stats.endReached && part.check.ok() && session.protocolErrors().empty()
               ? 0
               : kExitError;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_flag("--no-plot", a.noPlot, "Write no plot");
}

}  // namespace

const Command kDemoCommand = {
    "demo",
    "Configure the built-in machine, home, run the built-in part, probe, report and plot",
    {kMachineOption | kControllerOption | kTraceOption | kClockOptions | kPlotOption, kDemoSpeed,
     kDemoPlot},
    options,
    run};

}  // namespace telvo::tool
