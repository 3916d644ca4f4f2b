( G42 round the inside of a pocket: inside corners end where the offset paths cross )
G21 G90 G17 G94
T1 M6
G0 X20 Y20 Z1
G1 Z-1 F300
G42 D1 G1 X10 Y10 F900
X10 Y30
X40
Y10
X10
G40 G1 X20 Y20
G0 Z5
M2
