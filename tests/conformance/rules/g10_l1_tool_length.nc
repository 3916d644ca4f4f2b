( G10 L1 changes a tool length; the next G43 takes it )
G21 G90 G17 G94
T1 M6
G43 H1
G0 X0 Y0 Z10
G10 L1 P1 Z20
G0 Z5
G43 H1
G0 Z5
G49 G0 Z5
M2
