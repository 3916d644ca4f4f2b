// telvo run FILE: configure the machine, stream a part program, report.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/command.h"
#include "commands/summary.h"

#include "host/csv.h"
#include "host/gcode.h"
#include "host/trajectory.h"

namespace telvo::tool {
namespace {

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

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    const std::string& format = args.format;
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

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "Part program: G-code, or .csv of 1 ms targets in steps")->required()->check(CLI::ExistingFile);
    sub.add_option("--format", a.format, "auto (by extension), gcode or csv")->check(CLI::IsMember({"auto", "gcode", "csv"}));
}

}  // namespace

const Command kRunCommand = {"run", "Configure the machine, stream a part program (G-code or CSV of 1 ms targets), report", {kMachineOption | kControllerOption | kTraceOption | kClockOptions | kPlotOption | kHomeOption}, options, run};

}  // namespace telvo::tool
