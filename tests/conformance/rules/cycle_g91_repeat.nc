( G91 cycles: X Y and R increments, Z from R, L repeats along a line )
G21 G90 G17 G94
G0 X0 Y0 Z5
G91 G98 G81 X10 Y0 Z-3 R-2 L4 F300
X0 Y10 L2
G90 G80
G0 Z10
M2
