( Work offsets, G92 and tool lengths, stored in inches, under G20 and G21 )
G21 G90 G17 G94
T2 M6
G0 X10 Y10 Z5
G20
G55 G0 X1 Y1
G92 X0 Y0
G0 X0.5 Y-0.5
G43 H2
G0 Z0.5
G21 G0 X5 Y5
G92.1 G49
G54 G0 X0 Y0 Z10
M2
