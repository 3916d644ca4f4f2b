( G2 and G3 in G17 with I and J: half circles, quarter arcs, arcs over 180 degrees )
G21 G90 G17 G94
G0 X0 Y0 Z2
G1 Z-1 F300
G2 X20 Y0 I10 J0 F900
G3 X30 Y10 I0 J10
G2 X40 Y0 I10 J0
G3 X30 Y-10 I-10 J0
G2 X14 Y-2 I-6 J8
M2
