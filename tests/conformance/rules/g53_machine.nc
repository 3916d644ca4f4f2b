( G53: machine coordinates for one move, whatever the work offset, G92 and tool length )
G21 G90 G17 G94 G56
T4 M6
G43
G0 X0 Y0 Z0
G92 X5 Y5
G53 G0 X0 Y0 Z20
G53 G1 X10 F800
G0 X0 Y0
G92.1 G49
G54 G0 Z5
M2
