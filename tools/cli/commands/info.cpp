// telvo info: open the controller, print its firmware version, close.
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

int run(const CommonOptions& c, const Arguments&) {
    // Nothing is configured or moved: the built-in machine serves with any
    // controller.
    tool::Machine m = c.machineFile.empty() ? defaultMachine() : loadMachine(c);
    tool::SessionOptions o = sessionOptions(c);
    o.speed = 0.0;  // nothing runs: no clock needed
    tool::Session session(m, o);
    withSession(session, [&] {
        session.open();
        fmt::print("controller  {}\nfirmware    {}\n", session.controllerDescription(),
                   session.firmware());
        session.close();
        session.finishTrace();
    });
    return 0;
}

}  // namespace

const Command kInfoCommand = {"info",
                              "Open the controller, print its firmware version, close",
                              {kMachineOption | kControllerOption | kTraceOption},
                              nullptr,
                              run};

}  // namespace telvo::tool
