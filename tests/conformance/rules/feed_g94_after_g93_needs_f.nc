( After G93, G94 needs a new F before the next feed move: refused without it )
( conformance: refused )
G21 G90 G17 G94
G0 X0 Y0 Z1
G1 X5 F600
G93 G1 X20 F30
G94
G1 X30
M2
