( A rapid round an outside corner under compensation )
G21 G90 G17 G94
T1 M6
G0 X0 Y0 Z1
G41 D1 G1 X10 Y0 F800
G1 X10 Y10
G0 X0 Y10
G0 X0 Y20
G1 X20 Y20
G40 G1 X30 Y30
M2
