// telvo home AXIS: home one axis or all.
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
    tool::Machine m = loadMachine(c);
    bool all = axisName == "all";
    int axis = all ? -1 : parseAxis(axisName);
    if (!all) requireAxis(m, axis);
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        session.configure();
        if (all)
            session.homeAll();
        else
            session.home(axis);
        fmt::print("homed {}; position {}\n",
                   all ? m.axisList() : std::string(1, tool::kAxisLetters[axis]),
                   unitsText(m, session.positionSteps()));
        session.disconnect();
        session.close();
        session.finishTrace();
    });
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("AXIS", a.axis, "x, y, z, a, b, c or all")->required();
}

}  // namespace

const Command kHomeCommand = {"home",
                              "Home one axis (x, y, z, a, b, c) or all",
                              {kMachineOption | kControllerOption | kTraceOption | kClockOptions},
                              options,
                              run};

}  // namespace telvo::tool
