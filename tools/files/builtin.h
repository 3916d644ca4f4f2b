// The built-in machine and the demo's part program.
#pragma once

namespace telvo::tool {

extern const char* const kDefaultMachineToml;
extern const char* const kDemoProgram;

// The demo's probing move, machine units: straight down from above the
// circle's centre, slower than cutting.
struct DemoProbe {
    double start[3];
    double end[3];
    double speed;  // units per second
};
extern const DemoProbe kDemoProbe;

}  // namespace telvo::tool
