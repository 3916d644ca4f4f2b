( T and M6 on a machine without a tool-change position: no motion )
G21 G90 G17 G94
G0 X10 Y10 Z5
T3
M6
G0 X20
T1 M6
G43 H1
G0 Z5
M2
