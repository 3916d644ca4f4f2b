// The built-in machine: a small gantry mill in millimetres whose Y axis is
// driven by two motors (axis A copies Y), with a probe surface for the
// simulated controller. `telvo machine` prints it as a starting point for
// one's own file.
#include "files/builtin.h"

namespace telvo::tool {

const char* const kDefaultMachineToml = R"(# telvo machine file: the built-in demo machine.
# Velocities are in steps per second, accelerations in steps per second
# squared; positions elsewhere are in the machine's units.

[machine]
name = "demo gantry mill"
units = "mm"                # "mm" or "inch": what steps_per_unit counts

[controller]
buffer_size = 1000          # segments the controller holds (300..1000)

[axis.x]
steps_per_unit = 800        # 800 steps per mm
max_velocity = 40000        # 50 mm/s
acceleration = 400000       # 500 mm/s^2
min = -100                  # soft limits of the travel, mm (optional)
max = 400

[axis.y]
steps_per_unit = 800
max_velocity = 40000
acceleration = 400000
min = -100
max = 300

[axis.z]
steps_per_unit = 1600
max_velocity = 32000        # 20 mm/s
acceleration = 320000       # 200 mm/s^2
min = -80
max = 80

[axis.a]                    # second motor of the Y gantry
steps_per_unit = 800
max_velocity = 40000
acceleration = 400000
slave_of = "y"

[io]
values = [0, 0, 0, 0]

[[io.pin]]                  # entries 28..39: two per axis, axis x first
entry = 28
pin = 10
flags = 1

[[io.pin]]
entry = 29
pin = 11
flags = 1

[motion]
blend_tolerance = 0.01      # G64 without P: corners stay within 0.01 mm
arc_tolerance = 0.001       # arcs are cut into chords within 0.001 mm
stream_depth = 250          # ms of motion kept ahead of the controller (hold and override latency)
# safe_z = 0                # machine Z that approaches pass at (run from a line, back after a jog)
# approach_feed = 600       # their feed, units/min (default: a quarter of the slowest of X, Y, Z)

[offsets]                   # machine coordinates, X Y Z A B C
g54 = [0, 0, 0]             # G54..G59, g59_1..g59_3 for G59.1..G59.3 (G10 L2/L20 change them for a run)
g28 = [0, 0, 0]             # G28 and G30 stored positions
g30 = [0, 0, 0]
# tool_change = [0, 0, 50]  # where M6 goes (one straight rapid); without it M6 makes no motion
# tool_change_quill_up = true  # M6 first raises Z to machine 0, then goes there

[[tool]]                    # the tool table: T and H numbers
number = 1
length = 0                  # added to Z under G43
diameter = 3.175

[[tool]]
number = 2
length = 0
diameter = 6

[spindle]                   # S, M3, M4, M5 -> telvo_CmdSpindle(mode, value, speed)
cw_mode = 1
ccw_mode = 2
off_mode = 0
max_rpm = 24000             # value = S / max_rpm * value_at_max
value_at_max = 65535
steps_per_rev = 0           # speed = S / 60 * steps_per_rev
spin_up = 0                 # seconds of dwell after M3/M4

[coolant]                   # M7, M8, M9 -> telvo_CmdSetOutputs bits
mist_bit = 0
flood_bit = 1

[touch_off]                 # touch-off by probe: the defaults the operator starts from
axis = "z"
direction = -1              # probe downwards
distance = 20               # at most this far, units
feed = 60                   # units/min
plate = 0                   # thickness of the touch plate, units
retract = 2                 # back off this far after contact

[simulator]                 # only for the simulated controller
homing_time_ms = 250

[simulator.probe_surface]   # the workpiece top, 2.5 mm below Z zero
axis = "z"
at = -2.5
direction = -1
)";

const char* const kDemoProgram = R"(%
( telvo demo part: a rounded rectangle and a circle, cut 1 mm deep )
N10 G21 G90 G17
N20 G0 Z5
N30 G0 X20 Y10
N40 G1 Z-1 F300             ; plunge
N50 G1 X70 F1800
N60 G3 X80 Y20 I0 J10       ; rounded corners, counterclockwise
N70 G1 Y50
N80 G3 X70 Y60 I-10 J0
N90 G1 X20
N100 G3 X10 Y50 I0 J-10
N110 G1 Y20
N120 G3 X20 Y10 I10 J0
N130 G0 Z5
N140 G0 X33 Y35
N150 G1 Z-1 F300
N160 G2 X33 Y35 I12 J0 F1200 ; full circle, clockwise
N170 G91 G0 Z6              ; relative retract
N180 G90 G0 X45 Y35
%
)";

const DemoProbe kDemoProbe = {{45.0, 35.0, 5.0}, {45.0, 35.0, -10.0}, 4.0};

}  // namespace telvo::tool
