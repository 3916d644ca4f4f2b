// The built-in machine: a small gantry mill in millimetres whose Y axis is
// driven by two motors (axis A copies Y), with a probe surface for the
// simulated controller. `telvo machine` prints it as a starting point for
// one's own file.
#include "builtin.h"

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

[axis.y]
steps_per_unit = 800
max_velocity = 40000
acceleration = 400000

[axis.z]
steps_per_unit = 1600
max_velocity = 32000        # 20 mm/s
acceleration = 320000       # 200 mm/s^2

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
