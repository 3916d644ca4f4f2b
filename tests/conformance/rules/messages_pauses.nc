( Messages and pauses do not change the path )
G21 G90 G17 G94
(MSG, first part)
G0 X10 Y10 Z1
G1 X20 F900
M0
(MSG, second part)
G1 Y20
M1
G1 X10
M2
