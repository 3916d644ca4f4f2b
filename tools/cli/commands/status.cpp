// telvo status: watch the controller's status records live.
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
    const double seconds = args.seconds;
    const double everyMs = args.everyMs;
    tool::Machine m = loadMachine(c);
    tool::Session session(m, sessionOptions(c));
    withSession(session, [&] {
        session.open();
        fmt::print("controller {} (firmware {})\n", session.controllerDescription(),
                   session.firmware());
        (void)std::fflush(stdout);
        session.watch(seconds, everyMs, [&](const tool::StatusFields& s, double t) {
            std::string position;
            for (int a = 0; a < tool::kAxisCount; ++a) {
                if (m.axes[a].configured) {
                    position += fmt::format(" {} {:9.3f}", tool::kAxisLetters[a],
                                            s.position[static_cast<size_t>(a)] /
                                                static_cast<double>(m.axes[a].stepsPerUnit));
                }
            }
            fmt::print(
                "{:9.3f} s  state {} event {} flags 0x{:02X} {}  buffer {:4}  tag {}  rpm {:.1f}\n",
                t, s.state, s.event, s.flags, position, s.bufferLevel, s.segmentTag, s.spindleRpm);
            (void)std::fflush(stdout);
        });
        session.close();
        session.finishTrace();
    });
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("--time", a.seconds, "Seconds to watch; 0 = until interrupted")
        ->capture_default_str();
    sub.add_option("--every", a.everyMs, "Milliseconds between printed records")
        ->capture_default_str();
}

}  // namespace

const Command kStatusCommand = {"status",
                                "Watch the controller's status records live",
                                {kMachineOption | kControllerOption | kTraceOption | kClockOptions},
                                options,
                                run};

}  // namespace telvo::tool
