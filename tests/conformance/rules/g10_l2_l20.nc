( G10 L2 sets a work system's origin; G10 L20 makes the current point the given coordinates )
G21 G90 G17 G94
G0 X5 Y5 Z5
G10 L2 P2 X30 Y20 Z-5
G55 G0 X0 Y0 Z0
G10 L20 P0 X10 Y10
G0 X0 Y0
G10 L2 P0 Z10
G0 Z0
G10 L20 P1 X0 Y0 Z0
G54 G0 X5 Y5 Z5
M2
