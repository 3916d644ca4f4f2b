( Arcs in the G18 plane, Z and X, with I and K, and with R; clockwise seen from +Y )
G21 G90 G18 G94
G0 X0 Y0 Z0
G1 X5 F500
G2 X15 Z0 I5 K0
G3 X25 Z0 I5 K0
G2 X30 Z-5 R5
G3 X20 Z-5 I-5 K0
G2 X10 Z0 R-10
G17 G0 Z5
M2
