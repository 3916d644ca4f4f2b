( Helices in G17: Z moves with the angle, half turns and more )
G21 G90 G17 G94
G0 X10 Y0 Z2
G1 Z0 F300
G3 X-10 Y0 Z-2 I-10 J0 F700
G3 X10 Y0 Z-4 R10
G2 X0 Y10 Z-3 I-10 J0
G0 Z5
M2
