// The machine description: a TOML file (or the built-in default) turned into
// the library's MachineConfig and IoConfig records, the motion limits the
// interpolator keeps to, and the simulated controller's own settings.
//
// Every value is range-checked and every key must be known, so a typo or a
// wrong value is reported with the key's name and its line instead of
// silently reaching the controller.
#pragma once

#include <telvo/telvo.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.h"
#include "trajectory.h"

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

    // Limits for the interpolator, in steps.
    MotionLimits limits() const;
    // Millimetres per machine unit (1 or 25.4).
    double mmPerUnit() const { return units == "inch" ? 25.4 : 1.0; }
    // Axis letters of the configured axes, e.g. "XYZA".
    std::string axisList() const;
};

// Parses a machine file. `source` names it in error messages, which read
// "SOURCE:LINE: key: problem".
Machine loadMachine(std::string_view text, const std::string& source);
// Reads and parses a file.
Machine loadMachineFile(const std::string& path);
// The built-in machine.
Machine defaultMachine();

}  // namespace telvo::tool
