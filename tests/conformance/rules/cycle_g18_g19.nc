( Drilling cycles in G18, drilling along Y, and in G19, drilling along X )
G21 G90 G94
G0 X0 Y10 Z0
G18 G98 G81 X5 Z5 Y-2 R2 F300
X10
G80
G0 X20 Y0 Z0
G19 G99 G81 Y5 Z5 X12 R22 F300
G80
G17 G0 Z10
M2
