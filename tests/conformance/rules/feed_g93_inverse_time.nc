( G93: F is the inverse of the move's time in minutes, on every feed move )
G21 G90 G17 G94
G0 X0 Y0 Z1
G93 G1 X20 F30
G2 X30 Y10 I0 J10 F60
G1 Y30 Z0 F12
G0 X0
G94 G1 X5 F600
M2
