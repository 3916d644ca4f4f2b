// telvo machine [FILE]: print the built-in machine file, or check one.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

#include "files/builtin.h"

namespace telvo::tool {
namespace {

int run(const CommonOptions&, const Arguments& args) {
    const std::string& file = args.file;
    if (file.empty()) {
        fmt::print("{}", tool::kDefaultMachineToml);
        return 0;
    }
    tool::Machine m = tool::loadMachineFile(file);
    fmt::print("{}: {}{}units {}, controller buffer {}\n", file, m.name, m.name.empty() ? "" : ", ",
               m.units, m.bufferSize);
    for (int a = 0; a < tool::kAxisCount; ++a) {
        const tool::AxisSettings& s = m.axes[a];
        if (!s.configured) continue;
        fmt::print("  {}: {} steps/{}, max {:g} {}/s, acceleration {:g} {}/s^2{}\n",
                   tool::kAxisLetters[a], s.stepsPerUnit, m.units,
                   static_cast<double>(s.maxVelocity) / s.stepsPerUnit, m.units,
                   static_cast<double>(s.acceleration) / s.stepsPerUnit, m.units,
                   s.slaveOf ? fmt::format(", follows {}", tool::kAxisLetters[s.slaveOf - 1]) : "");
    }
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "Machine file to check")->check(CLI::ExistingFile);
}

}  // namespace

const Command kMachineCommand = {
    "machine",
    "Print the built-in machine file, or check one and show what it configures",
    {},
    options,
    run};

}  // namespace telvo::tool
