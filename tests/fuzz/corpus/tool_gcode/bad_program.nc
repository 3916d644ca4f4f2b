( a program with several problems: all of them are listed, nothing moves )
G21 G90
G0 Z2
G0 X10 Y10 #1
G1 Z-1
G41 X5
M3 S12000
G2 X20 Y10 I3 J0 F200
O100 sub
G1 X20 Y20 Z[1+2]
G1 X30 *45
G33 Z-2 K1
G18 G17 X1
G1 B5
M30
