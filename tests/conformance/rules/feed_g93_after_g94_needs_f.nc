( A G93 word on a feed move without F: refused )
( conformance: refused )
G21 G90 G17 G94
G0 X0 Y0 Z1
G1 X5 F600
G93 G1 X20
M2
