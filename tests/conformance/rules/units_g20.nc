( G20: inch coordinates, feeds, arc offsets and radii )
G20 G90 G17 G94
G0 X0.5 Y0.5 Z0.1
G1 Z-0.02 F10
G1 X1.5 F40
G2 X2.0 Y1.0 I0 J0.5
G3 X1.5 Y1.5 R0.5
G21 G1 X20 Y20 F500
G20 G0 Z0.2
M2
