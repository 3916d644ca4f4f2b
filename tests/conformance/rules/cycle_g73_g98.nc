( G73 with G98 started above R: the last retract goes to the start level )
G21 G90 G17 G94
G0 X0 Y0 Z10
G98 G73 X5 Y5 Z-3 R1 Q0.8 F400
X15
G80
M2
