( Moves of Z alone under compensation wait at the end of the move before them )
G21 G90 G17 G94
T1 M6
G0 X-5 Y-5 Z5
G41 D1 G0 X0 Y0
G1 Z-1 F300
G1 X20 F800
Y20
G0 Z5
G1 Z-1
X0
G40 G1 X-5 Y25
G0 Z10
M2
