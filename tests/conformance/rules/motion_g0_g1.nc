( G0 and G1 in every direction, F on its own line and on the move )
G21 G90 G17 G94
G0 X10 Y5 Z3
G1 Z-1 F300
G1 X30 Y15 F900
X30 Y-5
G1 X10 Y-5 Z-2
F600
Y5
G0 Z5
X-10 Y-10
M2
