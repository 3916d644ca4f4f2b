// Machine files: what reaches the library's records, and errors that name
// the key and its line.
#include <gtest/gtest.h>

#include <string>

#include "gcode/interpreter.h"
#include "files/machine.h"

using namespace telvo::tool;

namespace {

// A copy of a field: fields of the library's packed records must not be
// bound to the references the assertion macros take.
template <typename T>
T val(T v) {
    return v;
}

const char* const kMinimal = R"([axis.x]
steps_per_unit = 100
max_velocity = 1000
acceleration = 5000
)";

std::string errorOf(const std::string& text) {
    try {
        loadMachine(text, "m.toml");
    } catch (const ToolError& e) {
        return e.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(Machine, DefaultMachineFillsTheLibraryRecords) {
    Machine m = defaultMachine();
    EXPECT_EQ(m.units, "mm");
    EXPECT_EQ(m.bufferSize, 1000);
    EXPECT_EQ(m.axisList(), "XYZA");
    const MachineConfig& c = m.config;
    EXPECT_EQ(val(c.axes[0].stepsPerUnit), 800);
    EXPECT_EQ(val(c.axes[0].maxVelocity), 40000);
    EXPECT_EQ(val(c.axes[0].acceleration), 400000);
    EXPECT_EQ(val(c.axes[2].stepsPerUnit), 1600);
    EXPECT_EQ(val(c.axes[3].slaveOf), 2);  // A copies Y: one-based
    EXPECT_EQ(val(c.axes[4].stepsPerUnit), 0);
    EXPECT_EQ(val(c.axes[6].stepsPerUnit), 0);
    EXPECT_EQ(val(m.io.pins[28].pin), 10);
    EXPECT_EQ(val(m.io.pins[28].pinFlags), 1);
    EXPECT_EQ(val(m.io.pins[29].pin), 11);
    EXPECT_EQ(val(m.io.pins[0].pin), 0);
    EXPECT_TRUE(m.simulator.surface.enabled);
    EXPECT_EQ(m.simulator.surface.axis, 2);
    EXPECT_DOUBLE_EQ(m.simulator.surface.at, -2.5);
    EXPECT_EQ(m.simulator.surface.direction, -1);
    EXPECT_EQ(m.simulator.homingTimeMs, 250);

    MotionLimits l = m.limits();
    EXPECT_TRUE(l[3].enabled);
    EXPECT_EQ(l[3].slaveOf, 2);
    EXPECT_FALSE(l[4].enabled);
    EXPECT_DOUBLE_EQ(l[2].maxVelocity, 32000);
    EXPECT_DOUBLE_EQ(l[2].stepsPerUnit, 1600);
}

TEST(Machine, EveryKeyReachesItsField) {
    Machine m = loadMachine(R"(
[machine]
name = "lathe"
units = "inch"
[controller]
buffer_size = 512
machine_param1 = 7
machine_param2 = -2
machine_param3 = 3
machine_param4 = 2147483647
machine_param5 = 255
machine_param6 = 9
machine_switch1 = 1
machine_switch2 = 1
[axis.x]
steps_per_unit = 4000
max_velocity = 524287
acceleration = 2147483647
aux_velocity = 1000
device_param1 = -1
device_param2 = 2
device_param3 = 3
device_param4 = 4
[axis.c]
steps_per_unit = 10
max_velocity = 100
acceleration = 1000
slave_of = "x"
[io]
values = [1, 2, 65535]
[[io.pin]]
entry = 46
pin = 200
flags = 3
[simulator]
homing_time_ms = 0
probe_decel_ms = 3
[simulator.probe_surface]
axis = "x"
at = 1
direction = 1
)",
                            "lathe.toml");
    EXPECT_EQ(m.name, "lathe");
    EXPECT_DOUBLE_EQ(m.mmPerUnit(), 25.4);
    // The inch machine's programs: millimetres and inches both become
    // inches, feeds inches per second.
    Interpreted p = interpret("G21 G1 X25.4 F254\nG20 X2 F10\nM30", m.gcodeSetup(), {});
    ASSERT_TRUE(p.ok()) << formatDiagnostics(p.errors, "lathe");
    ASSERT_EQ(p.ops.size(), 3u);
    EXPECT_NEAR(p.ops[0].end[0], 1.0, 1e-12);
    EXPECT_NEAR(p.ops[0].feed, 10.0 / 60.0, 1e-12);  // 254 mm/min = 10 in/min
    EXPECT_NEAR(p.ops[1].end[0], 2.0, 1e-12);
    EXPECT_NEAR(p.ops[1].feed, 10.0 / 60.0, 1e-12);
    // Without Y there is no XY plane to turn in.
    Interpreted arc = interpret("G2 X1 I0.5 F10\nM30", m.gcodeSetup(), {});
    ASSERT_FALSE(arc.ok());
    EXPECT_EQ(arc.errors[0].line, 1);
    EXPECT_NE(arc.errors[0].message.find("need axes X and Y"), std::string::npos)
        << arc.errors[0].message;
    EXPECT_EQ(m.bufferSize, 512);
    const MachineConfig& c = m.config;
    EXPECT_EQ(val(c.machineParam1), 7);
    EXPECT_EQ(val(c.machineParam2), -2);
    EXPECT_EQ(val(c.machineParam3), 3);
    EXPECT_EQ(val(c.machineParam4), 2147483647);
    EXPECT_EQ(val(c.machineParam5), 255);
    EXPECT_EQ(val(c.machineParam6), 9);
    EXPECT_EQ(val(c.machineSwitch1), 1);
    EXPECT_EQ(val(c.machineSwitch2), 1);
    EXPECT_EQ(val(c.axes[0].maxVelocity), 524287);
    EXPECT_EQ(val(c.axes[0].acceleration), 2147483647);
    EXPECT_EQ(val(c.axes[0].auxVelocity), 1000);
    EXPECT_EQ(val(c.axes[0].deviceParam1), -1);
    EXPECT_EQ(val(c.axes[0].deviceParam2), 2);
    EXPECT_EQ(val(c.axes[0].deviceParam3), 3);
    EXPECT_EQ(val(c.axes[0].deviceParam4), 4);
    EXPECT_EQ(val(c.axes[5].slaveOf), 1);
    EXPECT_EQ(val(m.io.ioValues[0]), 1);
    EXPECT_EQ(val(m.io.ioValues[2]), 65535);
    EXPECT_EQ(val(m.io.ioValues[3]), 0);
    EXPECT_EQ(val(m.io.pins[46].pin), 200);
    EXPECT_EQ(val(m.io.pins[46].pinFlags), 3);
    EXPECT_EQ(m.simulator.homingTimeMs, 0);
    EXPECT_EQ(m.simulator.probeDecelMs, 3);
    EXPECT_EQ(m.simulator.surface.direction, 1);
    EXPECT_EQ(m.axisList(), "XC");
}

// tests/tool/data/every_key.toml sets every key to a value other than its
// default: each lands in its own field, and reaches what the interpreter,
// the planner and the host loop are given.
TEST(Machine, TheFileWithEveryKeySetLandsEachWhereItBelongs) {
    Machine m = loadMachineFile(std::string(TELVO_TOOL_TEST_DATA) + "/every_key.toml");
    EXPECT_EQ(m.name, "every key");
    EXPECT_EQ(m.units, "inch");
    EXPECT_EQ(m.bufferSize, 640);
    const MachineConfig& c = m.config;
    EXPECT_EQ(val(c.machineParam1), 3);
    EXPECT_EQ(val(c.machineParam2), -7);
    EXPECT_EQ(val(c.machineParam3), 11);
    EXPECT_EQ(val(c.machineParam4), 123456);
    EXPECT_EQ(val(c.machineParam5), 200);
    EXPECT_EQ(val(c.machineParam6), 9);
    EXPECT_EQ(val(c.machineSwitch1), 1);
    EXPECT_EQ(val(c.machineSwitch2), 1);
    EXPECT_EQ(m.axisList(), "XYZB");
    const int spu[kAxisCount] = {20000, 16000, 25000, 0, 16000, 0};
    const int velocity[kAxisCount] = {200000, 160000, 100000, 0, 160000, 0};
    const int acceleration[kAxisCount] = {2000000, 1600000, 1000000, 0, 1600000, 0};
    for (int a = 0; a < kAxisCount; ++a) {
        EXPECT_EQ(val(c.axes[a].stepsPerUnit), spu[a]) << a;
        EXPECT_EQ(val(c.axes[a].maxVelocity), velocity[a]) << a;
        EXPECT_EQ(val(c.axes[a].acceleration), acceleration[a]) << a;
    }
    EXPECT_EQ(val(c.axes[0].auxVelocity), 2000);
    EXPECT_EQ(val(c.axes[0].deviceParam1), -5);
    EXPECT_EQ(val(c.axes[0].deviceParam2), 6);
    EXPECT_EQ(val(c.axes[0].deviceParam3), 7);
    EXPECT_EQ(val(c.axes[0].deviceParam4), 8);
    EXPECT_EQ(val(c.axes[4].slaveOf), 2);  // B copies Y
    EXPECT_EQ(val(m.io.ioValues[4]), 5);
    EXPECT_EQ(val(m.io.ioValues[5]), 0);
    EXPECT_EQ(val(m.io.pins[30].pin), 7);
    EXPECT_EQ(val(m.io.pins[30].pinFlags), 2);
    EXPECT_EQ(val(m.io.pins[0].pin), 255);
    EXPECT_EQ(val(m.io.pins[0].pinFlags), 3);
    EXPECT_EQ(m.simulator.homingTimeMs, 400);
    EXPECT_EQ(m.simulator.probeDecelMs, 8);
    EXPECT_TRUE(m.simulator.surface.enabled);
    EXPECT_EQ(m.simulator.surface.axis, 0);
    EXPECT_EQ(m.simulator.surface.at, 6.0);
    EXPECT_EQ(m.simulator.surface.direction, 1);

    // Soft limits and tolerances, as the planner gets them.
    PlanSettings plan = m.planSettings();
    EXPECT_EQ(plan.chordTolerance, 0.0002);
    const double min[3] = {-2, -1.5, -4}, max[3] = {14, 10, 3};
    for (int a = 0; a < 3; ++a) {
        EXPECT_TRUE(plan.hasMin[a] && plan.hasMax[a]) << a;
        EXPECT_EQ(plan.min[a], min[a]) << a;
        EXPECT_EQ(plan.max[a], max[a]) << a;
    }
    EXPECT_FALSE(plan.hasMin[4] || plan.hasMax[4]);
    EXPECT_EQ(plan.limits[4].slaveOf, 2);

    // Offsets, stored positions, tools, spindle and coolant, as the
    // interpreter gets them: machine units (inches), unscaled.
    GcodeSetup g = m.gcodeSetup();
    EXPECT_EQ(g.mmPerUnit, 25.4);
    EXPECT_EQ(g.blendTolerance, 0.002);
    for (size_t k = 0; k < 9; ++k) {
        double n = static_cast<double>(k);
        Vec6 expected = k == 0 ? Vec6{0.5, 0.25, 0.25, 0, 0, 0}
                               : Vec6{n + 1.0, 0.5 + 0.5 * n, -0.75 - 0.25 * n, 0, 0, 0};
        EXPECT_EQ(g.workOffsets[k], expected) << "G5x number " << k + 1;
    }
    EXPECT_EQ(g.g28, (Vec6{1, 2, 2.5, 0, 0, 0}));
    EXPECT_EQ(g.g30, (Vec6{12, 8, 1.5, 0, 0, 0}));
    ASSERT_TRUE(g.toolChange.has_value());
    EXPECT_EQ(*g.toolChange, (Vec6{13, 0.5, 2.75, 0, 0, 0}));
    EXPECT_TRUE(g.toolChangeQuillUp);
    ASSERT_EQ(g.tools.size(), 2u);
    EXPECT_EQ(g.tools.at(2).length, 1.25);
    EXPECT_EQ(g.tools.at(2).diameter, 0.25);
    EXPECT_EQ(g.tools.at(7).length, -0.5);
    EXPECT_EQ(g.tools.at(7).diameter, 0.5);
    EXPECT_TRUE(g.spindleConfigured);
    EXPECT_TRUE(g.coolantConfigured);
    EXPECT_EQ(g.spinUpSeconds, 0.75);
    EXPECT_EQ(g.maxRpm, 6000.0);
    EXPECT_EQ(g.slaveOf[4], 2);
    EXPECT_TRUE(g.configured[4]);
    EXPECT_FALSE(g.configured[3]);
    const SpindleSettings& s = m.spindle;
    EXPECT_EQ(s.cwMode, 3);
    EXPECT_EQ(s.ccwMode, 4);
    EXPECT_EQ(s.offMode, 5);
    EXPECT_EQ(s.maxRpm, 6000.0);
    EXPECT_EQ(s.valueAtMax, 4000);
    EXPECT_EQ(s.stepsPerRev, 400.0);
    EXPECT_EQ(s.spinUpSeconds, 0.75);
    EXPECT_EQ(m.coolant.mistBit, 5);
    EXPECT_EQ(m.coolant.floodBit, 9);
}

TEST(Machine, BadFilesNameTheKeyAndTheLine) {
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {std::string("speed = 3\n") + kMinimal, "m.toml:1: speed: unknown key"},
        {std::string(kMinimal) + "[axis.y]\nsteps_per_unit = 100\nmax_velocity = 600000\nacceleration = 1\n",
         "m.toml:7: axis.y.max_velocity: must be from 1 to 524287 (got 600000)"},
        {"[axis.x]\nsteps_per_unit = \"800\"\nmax_velocity = 1\nacceleration = 1\n",
         "m.toml:2: axis.x.steps_per_unit: must be an integer"},
        {"[axis.x]\nsteps_per_unit = 1.5\nmax_velocity = 1\nacceleration = 1\n",
         "m.toml:2: axis.x.steps_per_unit: must be an integer"},
        {"\n[axis.x]\nmax_velocity = 1\nacceleration = 1\n", "m.toml:2: axis.x.steps_per_unit: missing"},
        {std::string(kMinimal) + "stepz = 4\n", "m.toml:5: axis.x.stepz: unknown key"},
        {std::string(kMinimal) + "slave_of = \"y\"\n", "m.toml:5: axis.x.slave_of: only axes a, b and c"},
        {std::string(kMinimal) + "[axis.a]\nsteps_per_unit = 1\nmax_velocity = 1\nacceleration = 1\nslave_of = \"y\"\n",
         "m.toml:9: axis.a.slave_of: follows an axis that is not configured"},
        {std::string(kMinimal) + "[axis.a]\nsteps_per_unit = 1\nmax_velocity = 1\nacceleration = 1\nslave_of = \"w\"\n",
         "m.toml:9: axis.a.slave_of: must be one of"},
        {std::string(kMinimal) + "[axis.q]\n", "m.toml:5: axis.q: unknown key"},
        {std::string("[machine]\nunits = \"cm\"\n") + kMinimal, "m.toml:2: machine.units: must be \"mm\" or \"inch\""},
        {std::string("[controller]\nbuffer_size = 200\n") + kMinimal, "m.toml:2: controller.buffer_size: must be from 300 to 1000"},
        {std::string(kMinimal) + "[[io.pin]]\nentry = 47\n", "m.toml:6: io.pin.entry: must be from 0 to 46"},
        {std::string(kMinimal) + "[[io.pin]]\nentry = 3\n[[io.pin]]\nentry = 3\n", "m.toml:8: io.pin.entry: entry 3 is given twice"},
        {std::string(kMinimal) + "[[io.pin]]\nentry = 3\nflags = 4\n", "m.toml:7: io.pin.flags: must be from 0 to 3"},
        {std::string(kMinimal) + "[io]\nvalues = [1, 2, 70000]\n", "m.toml:6: io.values: must be from 0 to 65535"},
        {std::string(kMinimal) + "[simulator.probe_surface]\naxis = \"z\"\nat = 1\n",
         "m.toml:6: simulator.probe_surface.axis: is not a configured axis"},
        {std::string(kMinimal) + "[simulator.probe_surface]\naxis = \"x\"\nat = 1\ndirection = 0\n",
         "m.toml:8: simulator.probe_surface.direction: must be 1 or -1"},
        {"[machine]\nname = \"no axes\"\n", "m.toml:1: axis: missing"},
        {std::string(kMinimal) + "max_velocity = 3\n", "m.toml:5:"},  // duplicate key: a syntax error
        {"[axis.x\nsteps_per_unit = 1\n", "m.toml:1:"},
    };
    for (const Case& k : cases) {
        std::string error = errorOf(k.text);
        EXPECT_EQ(error.rfind(k.expected, 0), 0u) << "file:\n" << k.text << "\nerror: " << error;
    }
}
