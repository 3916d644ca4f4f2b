( Arcs in the G19 plane, Y and Z, with J and K, and with R; clockwise seen from +X )
G21 G90 G19 G94
G0 X0 Y0 Z0
G1 Y5 F500
G2 Y15 Z0 J5 K0
G3 Y25 Z0 J5 K0
G2 Y30 Z-5 R5
G3 Y20 Z-5 J-5 K0
G2 Y10 Z0 R-10
G17 G0 Z5
M2
