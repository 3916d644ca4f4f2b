( G61.1: exact stop at the end of every move, tangent or not )
G21 G90 G17 G94 G61.1
G0 X0 Y0 Z1
G1 X20 F1500
G3 X30 Y10 I0 J10
G1 Y20
X0
M2
