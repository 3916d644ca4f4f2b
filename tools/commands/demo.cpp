// telvo demo: the built-in machine and part, homed, run, probed, summarised and plotted.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/command.h"
#include "commands/summary.h"

#include "host/builtin.h"
#include "host/gcode.h"
#include "host/trajectory.h"

namespace telvo::tool {
namespace {

constexpr double kDemoSpeed = 2.0;
const char* const kDemoPlot = "telvo-demo.svg";

int run(const CommonOptions& common, const Arguments& args) {
    CommonOptions c = common;
    if (args.noPlot) c.plot.clear();
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
        fmt::print("controller {} (firmware {})\n", session.controllerDescription(),
                   session.firmware());
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
        fmt::print("running the demo part: {} moves, {} segments, {:.1f} s of motion\n",
                   program.moves.size(), trajectory.targets.size(), trajectory.seconds());
        (void)std::fflush(stdout);
        stats = session.stream(trajectory, "part");

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
    rows.push_back({"program", fmt::format("built-in demo part ({:.1f} s of motion)",
                                           static_cast<double>(stats.segments) / 1000.0)});
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
