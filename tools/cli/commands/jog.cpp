// telvo jog AXIS: jog one axis for a while.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

namespace telvo::tool {
namespace {

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& axisName = args.axis;
    const double velocity = args.velocity;
    const double seconds = args.seconds;
    tool::Machine m = loadMachine(c);
    int axis = parseAxis(axisName);
    requireAxis(m, axis);
    if (m.axes[axis].slaveOf)
        throw ToolError(fmt::format("axis {} follows another axis and is not jogged on its own",
                                    tool::kAxisLetters[axis]));
    if (!(seconds > 0.0) || !std::isfinite(seconds)) throw ToolError("--time must be above 0");
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        session.configure();
        Vec6 before = session.positionSteps();
        session.jog(axis, velocity, seconds);
        Vec6 after = session.positionSteps();
        fmt::print("jogged {} by {:.3f} {}; position {}\n", tool::kAxisLetters[axis],
                   (after[axis] - before[axis]) / m.axes[axis].stepsPerUnit, m.units,
                   unitsText(m, after));
        session.disconnect();
        session.close();
        session.finishTrace();
    });
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("AXIS", a.axis, "x, y, z, a, b or c")->required();
    sub.add_option("-v,--velocity", a.velocity, "Machine units per second; negative jogs backwards")
        ->required();
    sub.add_option("--time", a.seconds, "Seconds of jogging")->capture_default_str();
}

}  // namespace

const Command kJogCommand = {"jog",
                             "Jog one axis for a while",
                             {kMachineOption | kControllerOption | kTraceOption | kClockOptions},
                             options,
                             run};

}  // namespace telvo::tool
