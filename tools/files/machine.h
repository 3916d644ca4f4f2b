// The machine description: a TOML file (or the built-in default) turned into
// the library's MachineConfig and IoConfig records, the motion limits the
// planner keeps to, and the simulated controller's own settings.
//
// Every value is range-checked and every key must be known, so a typo or a
// wrong value is reported with the key's name and its line instead of
// silently reaching the controller.
#pragma once

#include <telvo/telvo.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/common.h"
#include "gcode/interpreter.h"
#include "plan/planner.h"
#include "plan/trajectory.h"

namespace telvo::tool {

struct AxisSettings {
    bool configured = false;
    int32_t stepsPerUnit = 0;  // steps per machine unit
    int32_t maxVelocity = 0;   // steps/s
    int32_t acceleration = 0;  // steps/s^2
    int slaveOf = 0;           // 0, or 1 + index of the axis this one copies
    int32_t auxVelocity = 0;
    int32_t deviceParam1 = 0, deviceParam2 = 0, deviceParam3 = 0;
    uint8_t deviceParam4 = 0;
    // Soft limits of the travel, machine units.
    std::optional<double> min, max;
};

// How S, M3, M4 and M5 drive telvo_CmdSpindle: mode byte per state, the
// value scaled from 0 at 0 rpm to value_at_max at max_rpm, the speed in
// steps/s (rpm / 60 * steps_per_rev).
struct SpindleSettings {
    bool configured = false;
    int cwMode = 1, ccwMode = 2, offMode = 0;
    double maxRpm = 24000.0;
    int valueAtMax = 65535;
    double stepsPerRev = 0.0;
    double spinUpSeconds = 0.0;
};

// Output bits (of telvo_CmdSetOutputs' first word) for M7 and M8.
struct CoolantSettings {
    bool configured = false;
    int mistBit = -1, floodBit = -1;
};

// Touch-off by probe: defaults the operator may change for one touch-off.
struct TouchOffSettings {
    int axis = 2;
    int direction = -1;
    double distance = 0.0;  // units; 0: 20 mm
    double feed = 0.0;      // units/s; 0: 1 mm/s
    double plate = 0.0;     // thickness of the touch plate, units
    double retract = 0.0;   // units; 0: 2 mm
};

// What part programs may refer to: work offsets, stored positions, tools.
struct ProgramSettings {
    double blendTolerance = 0.0;        // machine units; 0 = 0.01 mm
    double arcTolerance = 0.0;          // chord error of arcs; 0 = 0.001 mm
    std::array<Vec6, 9> workOffsets{};  // G54..G59, G59.1..G59.3
    Vec6 g28{}, g30{};
    std::optional<Vec6> toolChange;
    bool toolChangeQuillUp = false;  // M6: Z to machine 0 before the move there
    std::map<int, ToolEntry> tools;
    // The engine: motion kept ahead of the controller (ms), the height in
    // machine Z that approaches pass at, and their feed (units/s; 0: a
    // quarter of the slowest of X, Y and Z).
    double streamDepthMs = 250.0;
    std::optional<double> safeZ;
    double approachFeed = 0.0;
};

// A probe surface of the simulated controller: the probe input triggers when
// `axis` crosses `at` (machine units) moving in `direction` (+1 or -1).
struct ProbeSurface {
    bool enabled = false;
    int axis = 2;
    double at = 0.0;
    int direction = -1;
};

struct SimulatorSettings {
    int homingTimeMs = -1;  // -1: the simulator's own default
    int probeDecelMs = -1;
    ProbeSurface surface;
};

struct Machine {
    std::string name;
    std::string units = "mm";  // "mm" or "inch"
    std::array<AxisSettings, kAxisCount> axes{};
    int bufferSize = 1000;
    MachineConfig config{};
    IoConfig io{};
    SimulatorSettings simulator;
    SpindleSettings spindle;
    CoolantSettings coolant;
    ProgramSettings program;
    TouchOffSettings touchOff;

    // Limits for the planner and straight moves, in steps.
    MotionLimits limits() const;
    // Millimetres per machine unit (1 or 25.4).
    double mmPerUnit() const { return units == "inch" ? 25.4 : 1.0; }
    // Axis letters of the configured axes, e.g. "XYZA".
    std::string axisList() const;
    // What the interpreter and the planner need to know.
    GcodeSetup gcodeSetup() const;
    PlanSettings planSettings() const;
};

// Parses a machine file. `source` names it in error messages, which read
// "SOURCE:LINE: key: problem".
Machine loadMachine(std::string_view text, const std::string& source);
// Reads and parses a file.
Machine loadMachineFile(const std::string& path);
// The built-in machine.
Machine defaultMachine();

}  // namespace telvo::tool
