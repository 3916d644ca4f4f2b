( The entry move into an inside corner: it ends where the offset paths cross )
G21 G90 G17 G94
T1 M6
G0 X0 Y0 Z0
G41 D1 G1 X10 Y0 F800
G1 X10 Y10
G1 X0
G40 G1 X-10 Y20
M2
