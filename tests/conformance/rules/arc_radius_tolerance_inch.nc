( In inches the arc end may miss the start radius by 0.0005 inch )
G20 G90 G17 G94
G0 X0 Y0 Z0.1
G2 X0.4004 Y0 I0.2 J0 F20
G1 X0.6
M2
