( The entry move into an outside corner: LinuxCNC adds an arc round the programmed point )
G21 G90 G17 G94
T1 M6
G0 X0 Y0 Z0
G41 D1 G1 X10 Y0 F800
G1 X10 Y-10
G1 X20
G40 G1 X30 Y-10
M2
