( Full circles: equal ends, P turns, a helix over several turns, in each plane )
G21 G90 G17 G94
G0 X10 Y0 Z0
G2 X10 Y0 I-10 J0 F900
G3 X10 Y0 I-10 J0 P2
G2 X10 Y0 Z-3 I-10 J0 P3
G3 X-10 Y0 Z-4 I-10 J0 P2
G18 G2 X-10 Z-4 I5 K0
G19 G3 Y0 Z-4 J0 K3 P2
G17 G0 Z5
M2
