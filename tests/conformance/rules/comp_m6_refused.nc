( conformance: refused )
( A tool change while cutter compensation is on: refused )
G21 G90 G17 G94
T1 M6
G0 X0 Y0 Z1
G41 D1 G1 X10 F800
T2 M6
G1 Y10
G40 G1 X0
M2
