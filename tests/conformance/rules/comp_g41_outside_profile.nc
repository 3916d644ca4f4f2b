( G41 round the outside of a square with an arc corner: outside corners are arcs round the corner )
G21 G90 G17 G94
T2 M6
G0 X-10 Y-10 Z1
G1 Z-1 F300
G41 D2 G1 X0 Y0 F900
Y30
G2 X10 Y40 I10 J0
G1 X40
Y0
X0
G40 G1 X-10 Y-10
G0 Z5
M2
