( F set in millimetres stays the same speed after G20 until a new F )
G21 G90 G17 G94
G0 X0 Y0 Z1
G1 X20 F600
G20
G1 X1.5
G21
G1 X0
M2
