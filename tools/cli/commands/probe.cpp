// telvo probe: run a probing move and report where it triggered.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

#include "plan/trajectory.h"

namespace telvo::tool {
namespace {

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& from = args.from;
    const std::string& to = args.to;
    const double velocity = args.velocity;
    const std::string& surface = args.surface;
    tool::Machine m = loadMachine(c);
    if (!surface.empty()) {
        size_t eq = surface.find('=');
        if (eq == std::string::npos) throw ToolError("--surface: give AXIS=POSITION, e.g. z=-2.5");
        int axis = parseAxis(surface.substr(0, eq));
        requireAxis(m, axis);
        char* end = nullptr;
        double at = std::strtod(surface.c_str() + eq + 1, &end);
        if (*end != '\0' || eq + 1 == surface.size())
            throw ToolError("--surface: '" + surface.substr(eq + 1) + "' is not a number");
        m.simulator.surface = {true, axis, at,
                               m.simulator.surface.enabled ? m.simulator.surface.direction : -1};
    }
    if (!(velocity > 0.0) || !std::isfinite(velocity))
        throw ToolError("--velocity must be above 0");
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
        rows.push_back({"probing move", fmt::format("{} -> {} at {:g} {}/s", unitsText(m, start),
                                                    unitsText(m, end), velocity, m.units)});
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

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("--start", a.from,
                   "Start point X,Y,Z[,A,B,C] in machine units (missing axes: where they are)")
        ->required();
    sub.add_option("--end", a.to,
                   "End point X,Y,Z[,A,B,C] in machine units (missing axes: as the start)")
        ->required();
    sub.add_option("-v,--velocity", a.velocity, "Probing speed, machine units per second")
        ->required();
    sub.add_option("--surface", a.surface,
                   "Simulated controller only: probe surface AXIS=POSITION, e.g. z=-2.5");
}

}  // namespace

const Command kProbeCommand = {
    "probe",
    "Run a probing move and report the trigger position",
    {kMachineOption | kControllerOption | kTraceOption | kClockOptions | kPlotOption | kHomeOption},
    options,
    run};

}  // namespace telvo::tool
