( a program with an instruction outside the subset )
G21 G90
G0 Z2
G0 X10 Y10
G1 Z-1 F300
M3 S12000
G1 X20
