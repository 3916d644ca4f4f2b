( L under G90: the same hole several times )
G21 G90 G17 G94
G0 X0 Y0 Z5
G99 G81 X10 Y10 Z-2 R1 L3 F300
G80
M2
