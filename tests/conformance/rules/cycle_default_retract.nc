( A cycle with neither G98 nor G99 given: the default retract mode )
G21 G90 G17 G94
G0 X0 Y0 Z10
G81 X10 Y10 Z-2 R2 F300
X20
G80
M2
