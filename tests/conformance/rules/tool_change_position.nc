( conformance: toolchange )
( M6 with a tool-change position: the machine goes there; the next move starts from there )
G21 G90 G17 G94
G0 X10 Y10 Z5
T2 M6
G0 X20 Y20 Z10
G1 Z0 F500
T1 M6
G43 H1
G0 X0 Y0 Z5
M2
